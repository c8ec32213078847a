// Small building blocks shared by the tl module: an owned-reference wrapper,
// saving and restoring the pending exception across versions, little-endian
// loads and stores, and the text helpers used to classify type names.
#ifndef VELTA_TL_SUPPORT_H
#define VELTA_TL_SUPPORT_H

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <utility>

// Version gates live here and nowhere else.
#define VELTA_PY_AT_LEAST(major, minor) (PY_VERSION_HEX >= (((major) << 24) | ((minor) << 16)))

// Critical sections exist from 3.13 on (and do something only without the
// GIL); before, a dict walk needs no lock.
#if !VELTA_PY_AT_LEAST(3, 13)
#define Py_BEGIN_CRITICAL_SECTION(op) {
#define Py_END_CRITICAL_SECTION() }
#endif

#if defined(__GNUC__)
#define VELTA_ALWAYS_INLINE [[gnu::always_inline]] inline
#define VELTA_LIKELY(x) __builtin_expect(!!(x), 1)
#define VELTA_UNLIKELY(x) __builtin_expect(!!(x), 0)
#else
#define VELTA_ALWAYS_INLINE inline
#define VELTA_LIKELY(x) (x)
#define VELTA_UNLIKELY(x) (x)
#endif

namespace velta {

// One owned (strong) reference, released when the wrapper goes out of scope.
class PyRef {
public:
    PyRef() noexcept = default;
    // Takes over a new reference (which may be null after a failed call).
    explicit PyRef(PyObject* owned) noexcept : ptr_(owned) {}
    static PyRef borrow(PyObject* borrowed) noexcept {
        Py_XINCREF(borrowed);
        return PyRef(borrowed);
    }
    PyRef(const PyRef&) = delete;
    PyRef& operator=(const PyRef&) = delete;
    PyRef(PyRef&& other) noexcept : ptr_(std::exchange(other.ptr_, nullptr)) {}
    PyRef& operator=(PyRef&& other) noexcept {
        if (this != &other) {
            PyObject* old = std::exchange(ptr_, std::exchange(other.ptr_, nullptr));
            Py_XDECREF(old);
        }
        return *this;
    }
    ~PyRef() { Py_XDECREF(ptr_); }

    PyObject* get() const noexcept { return ptr_; }
    explicit operator bool() const noexcept { return ptr_ != nullptr; }
    // Hands the reference to the caller.
    PyObject* release() noexcept { return std::exchange(ptr_, nullptr); }
    void reset(PyObject* owned = nullptr) noexcept {
        PyObject* old = std::exchange(ptr_, owned);
        Py_XDECREF(old);
    }

private:
    PyObject* ptr_ = nullptr;
};

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

// ---- version gates -------------------------------------------------------
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

// ---- a growable array ------------------------------------------------------
// For plain data only. The first `Inline` elements live in the object itself
// (most calls never need more), the rest on the C heap. Growth reports
// failure instead of throwing, so callers turn it into MemoryError like every
// other allocation failure.
template <typename T, size_t Inline = 16>
class HeapArray {
public:
    HeapArray() noexcept = default;
    HeapArray(const HeapArray&) = delete;
    HeapArray& operator=(const HeapArray&) = delete;
    ~HeapArray() {
        if (data_ != inline_) free(data_);
    }

    size_t size() const noexcept { return size_; }
    T& operator[](size_t i) noexcept { return data_[i]; }
    const T& operator[](size_t i) const noexcept { return data_[i]; }

    // Appends `count` copies of `fill`; false when memory runs out.
    bool append(size_t count, const T& fill) noexcept {
        if (count > capacity_ - size_ && !reserve(size_ + count)) return false;
        for (size_t i = 0; i < count; ++i) data_[size_++] = fill;
        return true;
    }
    void truncate(size_t size) noexcept {
        if (size < size_) size_ = size;
    }

private:
    bool reserve(size_t wanted) noexcept {
        size_t capacity = capacity_;
        while (capacity < wanted) {
            if (capacity > SIZE_MAX / 2 / sizeof(T)) return false;
            capacity *= 2;
        }
        T* grown = static_cast<T*>(malloc(capacity * sizeof(T)));
        if (!grown) return false;
        memcpy(static_cast<void*>(grown), data_, size_ * sizeof(T));
        if (data_ != inline_) free(data_);
        data_ = grown;
        capacity_ = capacity;
        return true;
    }

    T inline_[Inline];
    T* data_ = inline_;
    size_t size_ = 0;
    size_t capacity_ = Inline;
};

// A stretch of a HeapArray claimed by one nesting level and given back when
// the level ends; levels nest, so the stretches form a stack.
template <typename T, size_t Inline = 16>
class HeapFrame {
public:
    HeapFrame(HeapArray<T, Inline>& array, size_t count, const T& fill) noexcept
        : array_(array), base_(array.size()), ok_(array.append(count, fill)), count_(ok_ ? count : 0) {}
    HeapFrame(const HeapFrame&) = delete;
    HeapFrame& operator=(const HeapFrame&) = delete;
    ~HeapFrame() { array_.truncate(base_); }
    // False when memory ran out: the frame holds nothing then.
    bool ok() const noexcept { return ok_; }
    // By index, not by pointer: a deeper level may move the array.
    T& operator[](size_t i) noexcept { return array_[base_ + i]; }
    size_t size() const noexcept { return count_; }

private:
    HeapArray<T, Inline>& array_;
    size_t base_;
    bool ok_;
    size_t count_;
};

// TL numbers are little-endian whatever the host; compilers turn these into
// single loads and stores on little-endian machines.
inline void store_le32(unsigned char* p, uint32_t v) noexcept {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<unsigned char>(v >> (8 * i));
}
inline void store_le64(unsigned char* p, uint64_t v) noexcept {
    for (int i = 0; i < 8; ++i) p[i] = static_cast<unsigned char>(v >> (8 * i));
}
inline uint32_t load_le32(const unsigned char* p) noexcept {
    uint32_t v = 0;
    for (int i = 3; i >= 0; --i) v = (v << 8) | p[i];
    return v;
}
inline uint64_t load_le64(const unsigned char* p) noexcept {
    uint64_t v = 0;
    for (int i = 7; i >= 0; --i) v = (v << 8) | p[i];
    return v;
}

// A field's type text as seen by the codec. A null data() means "no type text".
using TypeText = std::string_view;

// The part of a type text that names the value type: for a conditional text
// W.N?T it is T (up to a further "?", if any); otherwise the whole text.
inline std::string_view strip_condition(std::string_view text) noexcept {
    const size_t q = text.find('?');
    if (q == std::string_view::npos) return text;
    std::string_view rest = text.substr(q + 1);
    const size_t q2 = rest.find('?');
    return q2 == std::string_view::npos ? rest : rest.substr(0, q2);
}

// ---- wire constants --------------------------------------------------------
// The wire identifier of every vector.
constexpr uint32_t kVectorId = 0x1CB5C415u;

// Byte strings: lengths up to kShortStringMax take a one-byte prefix; longer
// ones take kLongStringMarker and three length bytes, which caps the length
// at kMaxByteStringLength (16 MiB - 1).
constexpr size_t kShortStringMax = 253;
constexpr unsigned char kLongStringMarker = 254;
constexpr size_t kMaxByteStringLength = 0xFFFFFFu;

// Standard mode: the boxed Bool constructors, and the wrapper of compressed
// objects, whatever the schema says.
constexpr uint32_t kBoolTrueId = 0x997275B5u;
constexpr uint32_t kBoolFalseId = 0xBC799737u;
constexpr uint32_t kGzipPackedId = 0x3072CFA1u;

// Every item starts and ends at a multiple of this many bytes.
constexpr size_t kAlignment = 4;

// A flags word has this many bits; conditions on other bits can never be set.
constexpr int32_t kFlagsWordBits = 32;

}  // namespace velta

#endif  // VELTA_TL_SUPPORT_H
