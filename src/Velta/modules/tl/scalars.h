// Scalars in both directions: integers, doubles, byte strings, wide ints.
// Part of the one translation unit tl.cpp, which includes it after the parts it
// relies on; see the code map there.
#ifndef VELTA_TL_SCALARS_H
#define VELTA_TL_SCALARS_H

namespace {

// ---- the output buffer -------------------------------------------------------

int Writer::_ensure_buffer(size_t needed) {
    Operation op("Velta.tl.TLParser._ensure_buffer");
    const size_t required = position_ + needed;
    if (required < position_) {  // size_t wrapped: no buffer can hold it
        PyErr_SetString(PyExc_MemoryError, msg::kBufferGrowth);
        return op.fail(__LINE__);
    }
    if (buffer_.capacity >= required) return 0;
    size_t new_size = buffer_.capacity;
    do {
        if (new_size > SIZE_MAX / 2) {
            PyErr_SetString(PyExc_MemoryError, msg::kBufferGrowth);
            return op.fail(__LINE__);
        }
        new_size *= 2;
    } while (new_size < required);
    auto* grown = static_cast<unsigned char*>(realloc(buffer_.data, new_size));
    if (!grown) {
        PyErr_SetString(PyExc_MemoryError, msg::kBufferGrowth);
        return op.fail(__LINE__);
    }
    buffer_ = {grown, new_size};
    return 0;
}

int Writer::defer(size_t at, PyObject* owner, const char* data, size_t size) {
    if (!deferred_.append(1, DeferredBytes{at, Py_NewRef(owner), data, size})) {
        Py_DECREF(owner);
        PyErr_NoMemory();
        return -1;
    }
    deferred_size_ += size;
    return 0;
}

// ---- 32- and 64-bit integers (Bool, bare or boxed, is a 32-bit word too) -----

// An `int` field takes -2**31 .. 2**32-1: signed values, and the unsigned
// values unpack yields, written as their 32-bit pattern.
int convert_int32(PyObject* value, int32_t* out) {
    long long small;
    if (velta::compact_int_value(value, &small) && small >= INT32_MIN && small <= 0xFFFFFFFFll) {
        *out = static_cast<int32_t>(static_cast<uint32_t>(small));
        return 0;
    }
    PyRef number = PyLong_CheckExact(value) ? PyRef::borrow(value) : PyRef(integer_of(value));
    long long v;
    if (!number || int_in_range(number.get(), INT32_MIN, 0xFFFFFFFFll, "int32_t", &v) < 0) return -1;
    *out = static_cast<int32_t>(static_cast<uint32_t>(v));
    return 0;
}

int convert_uint64(PyObject* value, uint64_t* out) {
    long long small;
    if (velta::compact_int_value(value, &small) && small >= 0) {
        *out = static_cast<uint64_t>(small);
        return 0;
    }
    PyRef number = PyLong_CheckExact(value) ? PyRef::borrow(value) : PyRef(integer_of(value));
    if (!number) return -1;
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(number.get(), &overflow);
    if (v == -1 && PyErr_Occurred()) return -1;
    if (overflow < 0 || (overflow == 0 && v < 0)) {
        PyErr_Format(PyExc_OverflowError, msg::kNegativeUnsigned, "uint64_t");
        return -1;
    }
    if (overflow == 0) {
        *out = static_cast<uint64_t>(v);
        return 0;
    }
    const unsigned long long big = PyLong_AsUnsignedLongLong(number.get());
    if (big == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return -1;
    *out = big;
    return 0;
}

// Standard mode: a `long` takes -2**63 .. 2**64-1, signed values and the
// unsigned ones alike, written as their 64-bit pattern.
int convert_int64_either(PyObject* value, uint64_t* out) {
    PyRef number = PyLong_CheckExact(value) ? PyRef::borrow(value) : PyRef(integer_of(value));
    if (!number) return -1;
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(number.get(), &overflow);
    if (v == -1 && PyErr_Occurred()) return -1;
    if (overflow == 0) {
        *out = static_cast<uint64_t>(v);
        return 0;
    }
    const unsigned long long big = overflow > 0 ? PyLong_AsUnsignedLongLong(number.get()) : 0;
    if (overflow < 0 || (big == static_cast<unsigned long long>(-1) && PyErr_Occurred())) {
        PyErr_Clear();
        PyErr_Format(PyExc_OverflowError, msg::kIntRange, "int64_t");
        return -1;
    }
    *out = big;
    return 0;
}

int Writer::_write_int32(int32_t value) {
    Operation op("Velta.tl.TLParser._write_int32");
    unsigned char* at = claim(4);
    if (VELTA_UNLIKELY(!at)) return op.fail(__LINE__);
    velta::store_le32(at, static_cast<uint32_t>(value));
    return 0;
}

uint32_t Reader::read_int32() {
    const unsigned char* at = take(4);
    return at ? velta::load_le32(at) : 0;
}

int Writer::_write_int64(uint64_t value) {
    Operation op("Velta.tl.TLParser._write_int64");
    unsigned char* at = claim(8);
    if (VELTA_UNLIKELY(!at)) return op.fail(__LINE__);
    velta::store_le64(at, value);
    return 0;
}

uint64_t Reader::read_int64() {
    const unsigned char* at = take(8);
    return at ? velta::load_le64(at) : 0;
}

PyObject* Reader::read_boxed_bool() {
    const unsigned char* at = take(4);
    if (!at) Py_RETURN_FALSE;
    const uint32_t id = velta::load_le32(at);
    if (id == velta::kBoolTrueId) Py_RETURN_TRUE;
    if (id == velta::kBoolFalseId) Py_RETURN_FALSE;
    PyErr_Format(PyExc_ValueError, msg::kBoolId, id);
    return nullptr;
}

// ---- doubles -----------------------------------------------------------------

int Writer::_write_double(double value) {
    Operation op("Velta.tl.TLParser._write_double");
    unsigned char* at = claim(8);
    if (VELTA_UNLIKELY(!at)) return op.fail(__LINE__);
    uint64_t bits;
    memcpy(&bits, &value, sizeof bits);
    velta::store_le64(at, bits);
    return 0;
}

double Reader::read_double() {
    const unsigned char* at = take(8);
    if (!at) return 0.0;
    const uint64_t bits = velta::load_le64(at);
    double value;
    memcpy(&value, &bits, sizeof value);
    return value;
}

// ---- byte strings: bytes and string ------------------------------------------

// Appends one byte string: length prefix, data, zero padding to a multiple of
// 4 bytes from the start of the message. `owner` keeps `data` alive; a long
// string is deferred instead of copied.
int Writer::write_byte_string(const char* data, size_t length, PyObject* owner) {
    if (length > velta::kMaxByteStringLength) {
        PyErr_Format(PyExc_ValueError, msg::kBytesTooLong, length, velta::kMaxByteStringLength);
        return -1;
    }
    const bool deferred = length >= kDeferredBytesMin;
    // Room for the longest prefix, the data and the padding.
    constexpr size_t kPrefixAndPadding = 4 + (velta::kAlignment - 1);
    if (!has_room((deferred ? 0 : length) + kPrefixAndPadding) &&
        _ensure_buffer((deferred ? 0 : length) + kPrefixAndPadding) < 0)
        return -1;
    unsigned char* out = buffer_.data + position_;
    size_t at = 0;
    if (length <= velta::kShortStringMax) {
        out[at++] = static_cast<unsigned char>(length);
    } else {
        out[at++] = velta::kLongStringMarker;
        out[at++] = static_cast<unsigned char>(length & 0xFF);
        out[at++] = static_cast<unsigned char>((length >> 8) & 0xFF);
        out[at++] = static_cast<unsigned char>((length >> 16) & 0xFF);
    }
    if (deferred) {
        if (defer(position_ + at, owner, data, length) < 0) return -1;
    } else {
        if (length) memcpy(out + at, data, length);
        at += length;
    }
    while ((position_ + deferred_size_ + at) % velta::kAlignment) out[at++] = 0;
    position_ += at;
    return 0;
}

// Reads the prefix of a byte string and bounds-checks its data. On success
// *data/*length describe the bytes and the cursor stands after the padding
// (which is not checked: it may stand up to 3 bytes past the input). On short
// input it records the shortage and leaves the cursor after what prefix was
// read.
bool Reader::read_byte_string(const unsigned char** data, size_t* length) {
    const size_t start = position_;
    if (start >= size_) {
        error_ = true;
        return false;
    }
    size_t len = input_[start];
    position_ = start + 1;
    if (len == velta::kLongStringMarker) {
        if (start + 4 > size_) {
            error_ = true;
            return false;
        }
        const unsigned char* p = input_ + start;
        len = static_cast<size_t>(p[1]) | (static_cast<size_t>(p[2]) << 8) | (static_cast<size_t>(p[3]) << 16);
        position_ = start + 4;
    }
    if (len > size_ - position_) {
        error_ = true;
        return false;
    }
    *data = input_ + position_;
    *length = len;
    position_ += len;
    position_ += (velta::kAlignment - position_ % velta::kAlignment) % velta::kAlignment;
    return true;
}

int Writer::_write_bytes(PyObject* data) {
    Operation op("Velta.tl.TLParser._write_bytes");
    if (data == Py_None) {
        raise_none_length();
        return op.fail(__LINE__);
    }
    if (!PyBytes_Check(data)) {
        raise_expected("bytes", data);
        return op.fail(__LINE__);
    }
    if (write_byte_string(PyBytes_AS_STRING(data), static_cast<size_t>(PyBytes_GET_SIZE(data)), data) < 0)
        return op.fail(__LINE__);
    return 0;
}

// A bytes field that takes more than bytes: any bytes-like object, written
// as its bytes, or a mapping, written as the boxed serialization of the
// object it describes (by a writer of its own, so that the object's padding
// counts from its own start).
int Writer::write_bytes_or_object(PyObject* value) {
    if (PyBytes_Check(value) || value == Py_None) return _write_bytes(value);
    if (PyObject_CheckBuffer(value)) {
        Py_buffer view;
        if (PyObject_GetBuffer(value, &view, PyBUF_SIMPLE) < 0) return -1;
        // Only immutable bytes may wait to be copied (see defer): a long
        // buffer is copied into a bytes object of its own first.
        const size_t length = static_cast<size_t>(view.len);
        PyRef copy(length >= kDeferredBytesMin ? PyBytes_FromStringAndSize(static_cast<const char*>(view.buf), view.len)
                                               : nullptr);
        int status = -1;
        if (copy) status = write_byte_string(PyBytes_AS_STRING(copy.get()), length, copy.get());
        else if (length < kDeferredBytesMin) status = write_byte_string(static_cast<const char*>(view.buf), length, value);
        PyBuffer_Release(&view);
        return status;
    }
    const int mapping = PyDict_Check(value) ? 1 : PyObject_IsInstance(value, module_state.mapping_abc);
    if (mapping < 0) return -1;
    if (!mapping) return raise_expected("bytes", value);
    // On the heap: a writer holds its first buffer inline, and objects held
    // in bytes fields may nest as deep as the recursion limit allows.
    std::unique_ptr<Writer> inner(new (std::nothrow) Writer(parser_));
    if (!inner) {
        PyErr_NoMemory();
        return -1;
    }
    if (inner->start() < 0 || inner->_write_object(value) < 0) {
        path.adopt(inner->path);
        return -1;
    }
    PyRef data(inner->result());
    if (!data) return -1;
    return write_byte_string(PyBytes_AS_STRING(data.get()), static_cast<size_t>(PyBytes_GET_SIZE(data.get())), data.get());
}

PyObject* Reader::_read_bytes() {
    Operation op("Velta.tl.TLParser._read_bytes");
    const unsigned char* data;
    size_t length;
    if (!read_byte_string(&data, &length)) return Py_NewRef(module_state.empty_bytes);
    PyObject* result = PyBytes_FromStringAndSize(reinterpret_cast<const char*>(data), static_cast<Py_ssize_t>(length));
    return result ? result : op.fail(__LINE__);
}

int Writer::_write_string(PyObject* data) {
    Operation op("Velta.tl.TLParser._write_string");
    if (data == Py_None) {
        raise_none_attribute("encode");
        return op.fail(__LINE__);
    }
    if (!PyUnicode_Check(data)) {
        raise_expected("str", data);
        return op.fail(__LINE__);
    }
    // An ASCII str is its own UTF-8.
    const bool ascii = velta::str_readable(data) && PyUnicode_IS_ASCII(data);
    Py_ssize_t size = ascii ? PyUnicode_GET_LENGTH(data) : 0;
    const char* utf8 = ascii ? static_cast<const char*>(PyUnicode_DATA(data)) : PyUnicode_AsUTF8AndSize(data, &size);
    if (!utf8 || write_byte_string(utf8, static_cast<size_t>(size), data) < 0) return op.fail(__LINE__);
    return 0;
}

PyObject* Reader::_read_string() {
    Operation op("Velta.tl.TLParser._read_string");
    const unsigned char* data;
    size_t length;
    if (!read_byte_string(&data, &length) || length == 0) return Py_NewRef(module_state.empty_str);
    PyObject* result = PyUnicode_DecodeUTF8(reinterpret_cast<const char*>(data), static_cast<Py_ssize_t>(length), "strict");
    if (!result) {
        // Peers declare binary fields "string" too: say how to read them.
        if (PyErr_ExceptionMatches(PyExc_UnicodeDecodeError)) velta::add_note_to_pending(module_state.str_strings_note, module_state.str_add_note);
        return op.fail(__LINE__);
    }
    return result;
}

// strings="bytes": a "string" is any bytes-like object, written as it is,
// or a str, written as its UTF-8.
int Writer::_write_string_bytes(PyObject* data) {
    Operation op("Velta.tl.TLParser._write_string_bytes");
    if (PyBytes_Check(data)) {
        if (write_byte_string(PyBytes_AS_STRING(data), static_cast<size_t>(PyBytes_GET_SIZE(data)), data) < 0)
            return op.fail(__LINE__);
        return 0;
    }
    if (data == Py_None || PyUnicode_Check(data)) return _write_string(data) < 0 ? op.fail(__LINE__) : 0;
    if (!PyObject_CheckBuffer(data)) {
        raise_expected("bytes", data);
        return op.fail(__LINE__);
    }
    // Copied once: the exporter may change its memory when code runs later.
    PyRef copy(PyBytes_FromObject(data));
    if (!copy || write_byte_string(PyBytes_AS_STRING(copy.get()), static_cast<size_t>(PyBytes_GET_SIZE(copy.get())), copy.get()) < 0)
        return op.fail(__LINE__);
    return 0;
}

// ---- wide ints: int128 and int256 --------------------------------------------

// The wide ints, by kind: their width, the bounds of what pack takes
// (-2**(n-1) .. 2**n-1; the mask is the highest value) and the name in
// messages.
struct WideInt {
    size_t width;
    PyObject* ModuleState::*low;
    PyObject* ModuleState::*mask;
    const char* name;
};
constexpr WideInt kInt128 = {16, &ModuleState::int128_low, &ModuleState::int128_mask, "int128"};
constexpr WideInt kInt256 = {32, &ModuleState::int256_low, &ModuleState::int256_mask, "int256"};
constexpr const WideInt& wide_int(TLType kind) {
    return kind == TL_TYPE_INT128 || kind == TL_TYPE_INT128_BYTES ? kInt128 : kInt256;
}

// An int is written as the n-bit two's complement pattern, little-endian; a
// bytes-like object of exactly the width as its bytes, in wire order.
int Writer::write_wide(PyObject* value, TLType kind) {
    const WideInt& wide = wide_int(kind);
    if (!PyLong_Check(value) && PyObject_CheckBuffer(value)) {
        Py_buffer view;
        if (PyObject_GetBuffer(value, &view, PyBUF_SIMPLE) < 0) return -1;
        const Py_ssize_t given = view.len;
        unsigned char* at = nullptr;
        if (given != static_cast<Py_ssize_t>(wide.width)) {
            wide_refused_ = {wide.name, wide.width, given};
            PyErr_Format(PyExc_ValueError, msg::kWideIntBytes, wide.name, wide.width, given);
        } else if ((at = claim(wide.width))) {
            memcpy(at, view.buf, wide.width);
        }
        PyBuffer_Release(&view);
        return at ? 0 : -1;
    }
    PyObject* const low = module_state.*wide.low;
    PyObject* const mask = module_state.*wide.mask;
    PyRef number(integer_of(value));
    if (!number) return -1;
    const int below = PyObject_RichCompareBool(number.get(), low, Py_LT);
    const int above = below ? below : PyObject_RichCompareBool(number.get(), mask, Py_GT);
    if (below < 0 || above < 0) return -1;
    if (below || above) {
        PyErr_Format(PyExc_OverflowError, msg::kIntRange, wide.name);
        return -1;
    }
    PyRef pattern(PyNumber_And(number.get(), mask));
    PyRef data(pattern ? PyObject_CallMethod(pattern.get(), "to_bytes", "nO", static_cast<Py_ssize_t>(wide.width),
                                             module_state.str_little)
                       : nullptr);
    if (!data) return -1;
    unsigned char* at = claim(wide.width);
    if (!at) return -1;
    memcpy(at, PyBytes_AS_STRING(data.get()), wide.width);
    return 0;
}

// wide_ints="bytes": the wire bytes themselves.
PyObject* Reader::read_wide_bytes(TLType kind) {
    const size_t width = wide_int(kind).width;
    const unsigned char* at = take(width);
    if (!at) return Py_NewRef(module_state.empty_bytes);
    return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(at), static_cast<Py_ssize_t>(width));
}

// Read signed.
PyObject* Reader::read_wide(TLType kind) {
    const size_t width = wide_int(kind).width;
    const unsigned char* at = take(width);
    if (!at) return Py_NewRef(module_state.int_zero);
    PyRef data(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(at), static_cast<Py_ssize_t>(width)));
    PyRef args(data ? PyTuple_Pack(2, data.get(), module_state.str_little) : nullptr);
    return args ? PyObject_Call(module_state.int_from_bytes, args.get(), module_state.signed_kwargs) : nullptr;
}

}  // namespace

#endif  // VELTA_TL_SCALARS_H
