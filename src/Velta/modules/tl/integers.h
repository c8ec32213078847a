// Interpreter ints to C integers, with the module's own range messages.
// Part of the one translation unit tl.cpp, which includes it after the parts it
// relies on; see the code map there.
#ifndef VELTA_TL_INTEGERS_H
#define VELTA_TL_INTEGERS_H

namespace {

// ---- integers --------------------------------------------------------------

// The value of the int `number` when it lies in [low, high]; otherwise
// OverflowError "value too large to convert to <ctype>".
int int_in_range(PyObject* number, long long low, long long high, const char* ctype, long long* out) {
    int overflow = 0;
    const long long value = PyLong_AsLongLongAndOverflow(number, &overflow);
    if (value == -1 && PyErr_Occurred()) return -1;
    if (overflow || value < low || value > high) {
        PyErr_Format(PyExc_OverflowError, msg::kIntRange, ctype);
        return -1;
    }
    *out = value;
    return 0;
}

// A new reference to the int that `value` converts to through its type's
// integer conversion (__int__, or __index__ where that is all it has).
PyObject* integer_of(PyObject* value) {
    if (PyLong_Check(value)) return Py_NewRef(value);
    PyNumberMethods* number = Py_TYPE(value)->tp_as_number;
    PyObject* result;
    const char* method;
    if (number && number->nb_int) {
        result = number->nb_int(value);
        method = "__int__";
    } else if (number && number->nb_index) {
        result = number->nb_index(value);
        method = "__index__";
    } else {
        PyErr_SetString(PyExc_TypeError, msg::kIntegerRequired);
        return nullptr;
    }
    if (result && !PyLong_Check(result)) {
        PyErr_Format(PyExc_TypeError, msg::kNonInt, method, Py_TYPE(result)->tp_name);
        Py_CLEAR(result);
    }
    return result;
}

}  // namespace

#endif  // VELTA_TL_INTEGERS_H
