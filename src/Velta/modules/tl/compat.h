// Every version and free-threading gate of the tl module, and nothing else:
// the rest of the code calls these helpers and reads these constants, so it
// has no #if of its own.
#ifndef VELTA_TL_COMPAT_H
#define VELTA_TL_COMPAT_H

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#define VELTA_PY_AT_LEAST(major, minor) (PY_VERSION_HEX >= (((major) << 24) | ((minor) << 16)))

// Critical sections exist from 3.13 on (and do something only without the
// GIL); before, a dict walk needs no lock.
#if !VELTA_PY_AT_LEAST(3, 13)
#define Py_BEGIN_CRITICAL_SECTION(op) {
#define Py_END_CRITICAL_SECTION() }
#endif

#if defined(__GNUC__)
#define VELTA_ALWAYS_INLINE [[gnu::always_inline]] inline
#define VELTA_COLD [[gnu::cold, gnu::noinline]]
#define VELTA_LIKELY(x) __builtin_expect(!!(x), 1)
#define VELTA_UNLIKELY(x) __builtin_expect(!!(x), 0)
#else
#define VELTA_ALWAYS_INLINE inline
#define VELTA_COLD
#define VELTA_LIKELY(x) (x)
#define VELTA_UNLIKELY(x) (x)
#endif

namespace velta {

// ---- free-threading choices ----------------------------------------------
// Without the GIL, other threads may change a caller's dicts and lists while
// a call reads them, and shared objects cost atomic reference counts; each
// place that chooses differently for that names its choice here.
#ifdef Py_GIL_DISABLED
inline constexpr bool kFreeThreaded = true;
#else
inline constexpr bool kFreeThreaded = false;
#endif
// A list of scalars is read in place; without the GIL it is copied first,
// since another thread may shrink it between a size check and a read.
inline constexpr bool kListsReadInPlace = !kFreeThreaded;
// A dict's "_" may be read from its first entry, without hashing; without
// the GIL the entry may change under the read.
inline constexpr bool kNameFromFirstEntry = !kFreeThreaded;
// Decoded objects start as copies of a template dict; without the GIL a copy
// holds the template's lock, which would serialise threads, so each object
// is built key by key instead.
inline constexpr bool kObjectsFromTemplate = !kFreeThreaded;

// ---- the pending exception --------------------------------------------------
// Holds the pending exception aside while other API calls run, so that they
// neither see it nor clobber it.
class SavedException {
public:
    SavedException() noexcept {
#if VELTA_PY_AT_LEAST(3, 12)
        exc_ = PyErr_GetRaisedException();
#else
        PyErr_Fetch(&type_, &value_, &traceback_);
#endif
    }
    SavedException(const SavedException&) = delete;
    SavedException& operator=(const SavedException&) = delete;
    // Puts the exception back as the pending one.
    ~SavedException() {
#if VELTA_PY_AT_LEAST(3, 12)
        PyErr_SetRaisedException(exc_);
#else
        PyErr_Restore(type_, value_, traceback_);
#endif
    }

private:
#if VELTA_PY_AT_LEAST(3, 12)
    PyObject* exc_;
#else
    PyObject* type_;
    PyObject* value_;
    PyObject* traceback_;
#endif
};

// Adds `note` to the pending exception (PEP 678) by calling its method
// `add_note` (an interned "add_note": a fresh string per call would fill the
// interpreter's method cache). The exception itself is left as it was when
// the note cannot be added.
inline void add_note_to_pending(PyObject* note, PyObject* add_note) {
#if VELTA_PY_AT_LEAST(3, 12)
    PyObject* exc = PyErr_GetRaisedException();
    if (!exc) return;
    PyObject* result = PyObject_CallMethodOneArg(exc, add_note, note);
    if (result) Py_DECREF(result);
    else PyErr_Clear();
    PyErr_SetRaisedException(exc);
#else
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    if (!type) return;
    PyErr_NormalizeException(&type, &value, &traceback);
    if (traceback && value) PyException_SetTraceback(value, traceback);
    PyObject* result = value ? PyObject_CallMethodOneArg(value, add_note, note) : nullptr;
    if (result) Py_DECREF(result);
    else PyErr_Clear();
    PyErr_Restore(type, value, traceback);
#endif
}

// A strong reference to d[key]: 1 found, 0 absent, -1 error. Borrowed
// references into a dict that another thread may change are not safe
// without the GIL, so values taken from callers' dicts are always owned.
inline int dict_get_ref(PyObject* dict, PyObject* key, PyObject** out) {
#if VELTA_PY_AT_LEAST(3, 13)
    return PyDict_GetItemRef(dict, key, out);
#else
    PyObject* found = PyDict_GetItemWithError(dict, key);
    *out = found ? Py_NewRef(found) : nullptr;
    return found ? 1 : (PyErr_Occurred() ? -1 : 0);
#endif
}

// Whether a str's characters can be read in place (PyUnicode_DATA and
// friends): always from 3.12 on; before, a str made through the old
// wide-character API may not be ready yet.
inline bool str_readable(PyObject* text) {
#if VELTA_PY_AT_LEAST(3, 12)
    (void)text;
    return true;
#else
    return PyUnicode_IS_READY(text);
#endif
}

// The value of an exact int small enough for one internal digit, read in
// place; false for any other object, which then takes the general way.
inline bool compact_int_value(PyObject* value, long long* out) {
#if VELTA_PY_AT_LEAST(3, 12)
    if (!PyLong_CheckExact(value) || !PyUnstable_Long_IsCompact(reinterpret_cast<PyLongObject*>(value))) return false;
    *out = PyUnstable_Long_CompactValue(reinterpret_cast<PyLongObject*>(value));
    return true;
#else
    (void)value;
    (void)out;
    return false;
#endif
}

// A strong reference to list[index], or null when the index is out of range
// (no exception set). Without the GIL another thread may shrink the list
// between a size check and the read, so the read itself must check.
inline PyObject* list_item_ref(PyObject* list, Py_ssize_t index) {
#ifdef Py_GIL_DISABLED
    PyObject* item = PyList_GetItemRef(list, index);
    if (!item && PyErr_ExceptionMatches(PyExc_IndexError)) PyErr_Clear();
    return item;
#else
    return index < PyList_GET_SIZE(list) ? Py_NewRef(PyList_GET_ITEM(list, index)) : nullptr;
#endif
}

}  // namespace velta

#endif  // VELTA_TL_COMPAT_H
