// Small building blocks shared by the tl module: an owned-reference wrapper,
// heap arrays, comparing strs by text, little-endian loads and stores, the
// text helper that strips a condition, and the wire constants.
#ifndef VELTA_TL_SUPPORT_H
#define VELTA_TL_SUPPORT_H

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "compat.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <utility>

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

// Whether two exact strs hold the same text, compared in place: keys that
// are equal to the schema's names but other objects (dicts decoded from
// JSON, say) are compared once per field.
VELTA_ALWAYS_INLINE bool same_text(PyObject* a, PyObject* b) {
    if (PyUnicode_IS_COMPACT_ASCII(a) && PyUnicode_IS_COMPACT_ASCII(b)) {  // names mostly are
        const Py_ssize_t length = PyUnicode_GET_LENGTH(a);
        return length == PyUnicode_GET_LENGTH(b) &&
               memcmp(PyUnicode_DATA(a), PyUnicode_DATA(b), static_cast<size_t>(length)) == 0;
    }
    if (!str_readable(a) || !str_readable(b)) return PyUnicode_Compare(a, b) == 0;
    const Py_ssize_t length = PyUnicode_GET_LENGTH(a);
    const int kind = PyUnicode_KIND(a);
    return length == PyUnicode_GET_LENGTH(b) && kind == PyUnicode_KIND(b) &&
           memcmp(PyUnicode_DATA(a), PyUnicode_DATA(b), static_cast<size_t>(length) * static_cast<size_t>(kind)) == 0;
}

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
