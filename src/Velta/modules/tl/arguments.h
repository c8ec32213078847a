// Argument binding for every public callable, and the refusal of pickling.
// Part of the one translation unit tl.cpp, which includes it after the parts it
// relies on; see the code map there.
#ifndef VELTA_TL_ARGUMENTS_H
#define VELTA_TL_ARGUMENTS_H

namespace {

// ---- argument binding ------------------------------------------------------
// Shared by every public callable. Parameters may be given by position or by
// name; the messages are fixed by the module, not borrowed from the
// interpreter, so they read the same on every Python version.

class ArgBinder {
public:
    // The first `npositional` parameters may come by position; the first
    // `nrequired` must be given; the rest are keyword-only.
    ArgBinder(const char* func, PyObject* const* params, Py_ssize_t nparams, PyObject** out)
        : ArgBinder(func, params, nparams, out, nparams, nparams) {}
    ArgBinder(const char* func, PyObject* const* params, Py_ssize_t nparams, PyObject** out, Py_ssize_t npositional,
              Py_ssize_t nrequired)
        : func_(func), params_(params), nparams_(nparams), out_(out), npositional_(npositional), nrequired_(nrequired) {}

    // Binds a vectorcall-style argument list in one go.
    int bind_vector(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
        if (positional(args, nargs) < 0) return -1;
        const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
        for (Py_ssize_t i = 0; i < nkw; ++i)
            if (keyword(PyTuple_GET_ITEM(kwnames, i), args[nargs + i]) < 0) return -1;
        return finish();
    }

    // Binds a classic (tuple, dict) argument list.
    int bind_classic(PyObject* args, PyObject* kwargs) {
        if (positional(PySequence_Fast_ITEMS(args), PyTuple_GET_SIZE(args)) < 0) return -1;
        if (kwargs) {
            Py_ssize_t pos = 0;
            PyObject* key;
            PyObject* value;
            while (PyDict_Next(kwargs, &pos, &key, &value))
                if (keyword(key, value) < 0) return -1;
        }
        return finish();
    }

private:
    int positional(PyObject* const* args, Py_ssize_t nargs) {
        nargs_ = nargs;
        if (nargs > npositional_) return wrong_count(nrequired_ == npositional_ ? "exactly" : "at most", npositional_);
        for (Py_ssize_t i = 0; i < nparams_; ++i) out_[i] = i < nargs ? args[i] : nullptr;
        return 0;
    }

    int keyword(PyObject* key, PyObject* value) {
        if (!PyUnicode_Check(key)) {
            PyErr_Format(PyExc_TypeError, msg::kArgKeywordType, func_);
            return -1;
        }
        for (Py_ssize_t i = 0; i < nparams_; ++i) {
            int same = key == params_[i];
            if (!same) {
                same = PyUnicode_Compare(key, params_[i]) == 0;
                if (PyErr_Occurred()) return -1;
            }
            if (!same) continue;
            if (out_[i]) {
                PyErr_Format(PyExc_TypeError, msg::kArgTwice, func_, key);
                return -1;
            }
            out_[i] = value;
            return 0;
        }
        PyErr_Format(PyExc_TypeError, msg::kArgUnexpected, func_, key);
        return -1;
    }

    int finish() {
        for (Py_ssize_t i = 0; i < nrequired_; ++i)
            if (!out_[i]) return wrong_count(nrequired_ == npositional_ ? "exactly" : "at least", nrequired_);
        return 0;
    }

    int wrong_count(const char* how, Py_ssize_t count) {
        PyErr_Format(PyExc_TypeError, msg::kArgCount, func_, how, count, count == 1 ? "" : "s", nargs_);
        return -1;
    }

    const char* func_;
    PyObject* const* params_;
    Py_ssize_t nparams_;
    PyObject** out_;
    Py_ssize_t npositional_;
    Py_ssize_t nrequired_;
    Py_ssize_t nargs_ = 0;
};

// A METH_FASTCALL | METH_KEYWORDS function as the PyCFunction a method
// table stores.
template <typename Function>
PyCFunction as_method(Function function) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(function));
}

// Pickling and copying are refused for both types: an instance is only ever
// made by calling its type.
PyObject* refuse_reduce(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    ArgBinder binder("__reduce__", nullptr, 0, nullptr);
    if (binder.bind_vector(args, nargs, kwnames) < 0) return nullptr;
    PyErr_SetString(PyExc_TypeError, msg::kReduce);
    return nullptr;
}

PyObject* refuse_setstate(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* state = nullptr;
    ArgBinder binder("__setstate__", &S.str_state, 1, &state);
    if (binder.bind_vector(args, nargs, kwnames) < 0) return nullptr;
    PyErr_SetString(PyExc_TypeError, msg::kReduce);
    return nullptr;
}

// The tail of both method tables.
#define VELTA_PICKLING_REFUSED                                                        \
    {"__reduce__", as_method(refuse_reduce), METH_FASTCALL | METH_KEYWORDS, nullptr},     \
    {"__setstate__", as_method(refuse_setstate), METH_FASTCALL | METH_KEYWORDS, nullptr}, \
    {nullptr, nullptr, 0, nullptr}

// Calls `type` with a vectorcall argument list through the classic protocol;
// used when a subclass reaches a vectorcall slot meant for the base type.
PyObject* call_type_classic(PyObject* type, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    PyRef tuple(PyTuple_New(nargs));
    if (!tuple) return nullptr;
    for (Py_ssize_t i = 0; i < nargs; ++i) PyTuple_SET_ITEM(tuple.get(), i, Py_NewRef(args[i]));
    PyRef kwargs;
    if (kwnames && PyTuple_GET_SIZE(kwnames)) {
        kwargs.reset(PyDict_New());
        if (!kwargs) return nullptr;
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(kwnames); ++i)
            if (PyDict_SetItem(kwargs.get(), PyTuple_GET_ITEM(kwnames, i), args[nargs + i]) < 0)
                return nullptr;
    }
    return PyType_Type.tp_call(type, tuple.get(), kwargs.get());
}

}  // namespace

#endif  // VELTA_TL_ARGUMENTS_H
