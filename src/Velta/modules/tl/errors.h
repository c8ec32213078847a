// Failure plumbing: traceback entries, exact-type messages, nesting guard, error paths.
// Part of the one translation unit tl.cpp, which includes it after the parts it
// relies on; see the code map there.
#ifndef VELTA_TL_ERRORS_H
#define VELTA_TL_ERRORS_H

namespace {

// Shared helpers

// ---- traceback entries -----------------------------------------------------
// Each internal operation that fails adds one entry naming itself, so a
// failure deep inside a nested message shows the whole road.

// `own_globals` gives the entry a namespace of its own: needed where the
// module's may belong to another interpreter.
void add_traceback(const char* funcname, int lineno, bool own_globals = false) {
    PyCodeObject* code = nullptr;
    PyFrameObject* frame = nullptr;
    {
        SavedException pending;  // the new objects must not see the exception
        PyObject* globals = own_globals ? nullptr : module_state.globals;
        PyRef fallback_globals;
        if (!globals) {
            fallback_globals.reset(PyDict_New());
            globals = fallback_globals.get();
        }
        if (globals) {
            code = PyCode_NewEmpty(kSourceFile, funcname, lineno);
            if (code) frame = PyFrame_New(PyThreadState_Get(), code, globals, nullptr);
        }
        // An entry is decoration: if it cannot be made, the original
        // exception still goes out, unchanged.
        PyErr_Clear();
    }
    if (frame) PyTraceBack_Here(frame);
    Py_XDECREF(reinterpret_cast<PyObject*>(frame));
    Py_XDECREF(reinterpret_cast<PyObject*>(code));
}

// The failure value of an operation: -1 where it returns a status, null
// where it returns a pointer.
struct Failure {
    operator int() const noexcept { return -1; }
    template <typename T>
    operator T*() const noexcept { return nullptr; }
};

// The traceback entry of one internal operation. `fail(__LINE__)` marks the
// failing line; the entry is added when the operation's scope ends, after
// its owned references are released. Declare it first in the operation.
class Operation {
public:
    explicit Operation(const char* name) noexcept : name_(name) {}
    Operation(const Operation&) = delete;
    Operation& operator=(const Operation&) = delete;
    ~Operation() {
        if (line_) add_traceback(name_, line_);
    }
    Failure fail(int line) noexcept {
        line_ = line;
        return Failure();
    }

private:
    const char* name_;
    int line_ = 0;
};

// ---- exact-type checks with the module's standard messages -----------------

Failure raise_expected(const char* expected, PyObject* got) {
    PyErr_Format(PyExc_TypeError, msg::kExpectedType, expected, Py_TYPE(got)->tp_name);
    return Failure();
}

Failure raise_none_attribute(const char* attribute) {
    PyErr_Format(PyExc_AttributeError, msg::kNoneAttribute, attribute);
    return Failure();
}

Failure raise_none_length() {
    PyErr_SetString(PyExc_TypeError, msg::kNoneLength);
    return Failure();
}

// Out of memory, a note could not be made, and the interpreter may hand out
// one shared MemoryError instance that must not collect notes.
bool failing_for_memory() { return PyErr_Occurred() && PyErr_ExceptionMatches(PyExc_MemoryError); }

// ---- nesting ---------------------------------------------------------------

// Keeps a nesting level inside the interpreter's recursion limit; deep input
// or a self-referencing value ends in RecursionError, not a native crash.
class RecursionGuard {
public:
    explicit RecursionGuard(const char* where) : entered_(Py_EnterRecursiveCall(where) == 0) {}
    RecursionGuard(const RecursionGuard&) = delete;
    RecursionGuard& operator=(const RecursionGuard&) = delete;
    ~RecursionGuard() {
        if (entered_) Py_LeaveRecursiveCall();
    }
    bool entered() const { return entered_; }

private:
    bool entered_;
};

// ---- where a failure happened ----------------------------------------------
// Each level that a failure unwinds through records a step; the finished
// path becomes a note on the exception, such as "while unpacking
// messages.messages.messages[3].entities[0].offset at byte 116". Nothing is
// recorded on the way in: a call that succeeds never touches this.

class ErrorPath {
public:
    ErrorPath() = default;
    ErrorPath(const ErrorPath&) = delete;
    ErrorPath& operator=(const ErrorPath&) = delete;
    ~ErrorPath() { forget(); }

    void record_field(const TLField& field, size_t offset) {
        if (failing_for_memory()) return;
        SavedException pending;
        record_step(PyUnicode_FromFormat(".%s", field.name), offset);
    }

    void record_index(Py_ssize_t index, size_t offset) {
        if (failing_for_memory()) return;
        SavedException pending;
        record_step(PyUnicode_FromFormat("[%zd]", index), offset);
    }

    // Called by each object level that a failure passes through; the
    // outermost one names the root of the path.
    void record_root(const TLConstructor* constr) {
        if (steps_) Py_XSETREF(root_, Py_NewRef(constr->py_name));
    }

    // Takes over the path that `inner`, the writer of a value nested in this
    // one's current value, recorded: this one's steps go around it.
    void adopt(ErrorPath& inner) {
        if (!inner.steps_ || steps_) return;
        steps_ = std::exchange(inner.steps_, nullptr);
        offset_ = inner.offset_;
        inner.forget();
    }

    // Adds the recorded path, if any, as a note to the pending exception;
    // offsets count from `base`.
    void attach(const char* verb, bool with_offset, size_t base = 0) {
        if (!steps_) return;
        offset_ += base;
        if (!failing_for_memory()) {
            PyRef note(describe(verb, with_offset));
            if (note) velta::add_note_to_pending(note.get(), module_state.str_add_note);
        }
        forget();
    }

private:
    // Takes the reference to `step`; runs with the failure set aside.
    void record_step(PyObject* step, size_t offset) {
        PyRef owned(step);
        if (owned) {
            if (!steps_) {
                steps_ = PyList_New(0);
                offset_ = offset;
            }
            if (steps_) PyList_Append(steps_, owned.get());
        }
        PyErr_Clear();
    }

    void forget() {
        Py_CLEAR(steps_);
        Py_CLEAR(root_);
    }

    // The note text, or null if it cannot be made.
    PyObject* describe(const char* verb, bool with_offset) {
        SavedException pending;
        PyRef steps(PySequence_List(steps_));
        if (!steps || PyList_Reverse(steps.get()) < 0) {
            PyErr_Clear();
            return nullptr;
        }
        // A path as deep as the recursion limit is cut in the middle.
        static constexpr char kPathCut[] = "...";
        constexpr Py_ssize_t kKeepAtEachEnd = 20;
        const Py_ssize_t count = PyList_GET_SIZE(steps.get());
        if (count > 2 * kKeepAtEachEnd) {
            PyRef ellipsis(PyUnicode_FromString(kPathCut));
            if (!ellipsis || PyList_SetSlice(steps.get(), kKeepAtEachEnd, count - kKeepAtEachEnd, nullptr) < 0 ||
                PyList_Insert(steps.get(), kKeepAtEachEnd, ellipsis.get()) < 0) {
                PyErr_Clear();
                return nullptr;
            }
        }
        PyRef path(PyUnicode_Join(module_state.empty_str, steps.get()));
        PyObject* root = root_ ? root_ : module_state.empty_str;
        PyObject* note = !path        ? nullptr
                         : with_offset ? PyUnicode_FromFormat("while %s %U%U at byte %zu", verb, root, path.get(), offset_)
                                       : PyUnicode_FromFormat("while %s %U%U", verb, root, path.get());
        PyErr_Clear();
        return note;
    }

    PyObject* steps_ = nullptr;  // innermost first: ".field", "[3]"
    PyObject* root_ = nullptr;   // the outermost constructor's name
    size_t offset_ = 0;          // where the innermost step began
};

}  // namespace

#endif  // VELTA_TL_ERRORS_H
