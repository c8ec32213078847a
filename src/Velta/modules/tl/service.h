// The service layer in both directions: rpc_result by the pending request's
// type, the container's message with its length, gzip_packed from a value.
// Part of the one translation unit tl.cpp, which includes it after the parts it
// relies on; see the code map there.
#ifndef VELTA_TL_SERVICE_H
#define VELTA_TL_SERVICE_H

namespace {

// The fields of the service records, by position (see kServiceLayer).
constexpr int32_t kReqMsgId = 0, kResult = 1;
constexpr int32_t kMsgId = 0, kSeqno = 1, kBytes = 2, kBody = 3;
constexpr int32_t kPackedData = 0;

// The type that `results` gives the result of request `req_msg_id` (an
// int): a type text, or a method name standing for its result type. Null
// with nothing pending when the mapping has no entry; null with an
// exception on failure.
const TLValueType* result_type_for(const TLSchemaCompilerObject* compiler, PyObject* results, CallTypes* types,
                                   PyObject* req_msg_id) {
    if (!results) return nullptr;
    PyObject* found = nullptr;
    if (PyDict_CheckExact(results)) {
        if (velta::dict_get_ref(results, req_msg_id, &found) <= 0) return nullptr;
    } else if (!(found = PyObject_GetItem(results, req_msg_id))) {
        if (PyErr_ExceptionMatches(PyExc_KeyError)) PyErr_Clear();
        return nullptr;
    }
    PyRef entry(found);
    if (PyUnicode_CheckExact(entry.get())) {
        PyObject* index = PyDict_GetItemWithError(compiler->_name_map, entry.get());
        if (!index && PyErr_Occurred()) return nullptr;
        const long at = index ? PyLong_AsLong(index) : -1;
        const TLSchema* schema = compiler->_schema;
        if (at >= schema->constructor_entries && at < schema->constructor_count &&
            schema->constructors[at].service == kServiceNone && at < schema->constructor_count - static_cast<long>(kServiceEntries)) {
            PyRef text(PyUnicode_FromString(schema->constructors[at].type));
            return text ? types->resolve(text.get()) : nullptr;
        }
    }
    return types->resolve(entry.get());
}

// ---- unpack ------------------------------------------------------------------

PyObject* Reader::read_result(PyObject* req_msg_id) {
    const TLValueType* as = result_type_for(compiler_, results, types, req_msg_id);
    if (!as && PyErr_Occurred()) return nullptr;
    const bool gzip = position_ + 4 <= size_ && velta::load_le32(input_ + position_) == velta::kGzipPackedId;
    if (as) {
        if (gzip && as->kind != TL_TYPE_OBJECT) {
            position_ += 4;
            return read_gzip_packed(as);
        }
        return _read_value(as);
    }
    if (gzip) {
        position_ += 4;
        return read_gzip_packed(nullptr, true);
    }
    // No entry: a boxed object when it is one; else (a vector, whose
    // element type only the request knows) the result's exact bytes.
    if (position_ + 4 <= size_ && compiler_->_id_map.contains(velta::load_le32(input_ + position_))) return _read_object();
    const size_t left = position_ < size_ ? size_ - position_ : 0;
    PyObject* raw = PyBytes_FromStringAndSize(reinterpret_cast<const char*>(input_ + position_), static_cast<Py_ssize_t>(left));
    position_ += left;
    return raw;
}

VELTA_COLD PyObject* Reader::_read_service(TLConstructor* constr) {
    Operation op("Velta.tl.TLParser._read_service");
    PyObject* tmpl = object_template(constr);
    PyRef result(tmpl ? PyDict_Copy(tmpl) : nullptr);
    if (!result) return op.fail(__LINE__);
    const bool error_at_start = error_;
    // Sets field `index` to `value` (taken over); false on failure.
    auto set = [&](int32_t index, PyObject* value) {
        PyRef owned(value);
        if (owned && PyDict_SetItem(result.get(), constr->fields[index].py_name_interned, owned.get()) == 0) return true;
        path.record_root(constr);
        return false;
    };
    if (constr->service == kServiceRpcResult) {
        const size_t start = position_;
        PyRef req_msg_id(PyLong_FromLongLong(static_cast<int64_t>(read_int64())));
        if (!req_msg_id || !set(kReqMsgId, Py_NewRef(req_msg_id.get()))) return op.fail(__LINE__);
        if (error_) {
            if (!error_at_start) path.record_field(constr->fields[kReqMsgId], start);
            path.record_root(constr);
            return result.release();
        }
        const size_t result_start = position_;
        PyObject* value = read_result(req_msg_id.get());
        if (!value) {
            path.record_field(constr->fields[kResult], result_start);
            path.record_root(constr);
            return op.fail(__LINE__);
        }
        if (!set(kResult, value)) return op.fail(__LINE__);
        if (error_ && !error_at_start) {
            path.record_field(constr->fields[kResult], result_start);
            path.record_root(constr);
        }
        return result.release();
    }
    // The container's message: its body takes exactly `bytes` bytes.
    const size_t head = position_;
    const int64_t msg_id = static_cast<int64_t>(read_int64());
    const int32_t seqno = static_cast<int32_t>(read_int32());
    const int32_t length = static_cast<int32_t>(read_int32());
    if (!set(kMsgId, PyLong_FromLongLong(msg_id)) || !set(kSeqno, PyLong_FromLong(seqno)) ||
        !set(kBytes, PyLong_FromLong(length)))
        return op.fail(__LINE__);
    if (error_) {
        if (!error_at_start) path.record_field(constr->fields[kMsgId], head);
        path.record_root(constr);
        return result.release();
    }
    const size_t start = position_;
    const size_t left = size_ - position_;
    if (length < 0 || static_cast<size_t>(length) > left) {
        PyErr_Format(PyExc_ValueError, msg::kMessageBytesLeft, static_cast<long long>(msg_id), length, left);
        path.record_field(constr->fields[kBytes], head + 12);
        path.record_root(constr);
        return op.fail(__LINE__);
    }
    // Inside the body, only the body's bytes are there to read, and none of
    // them is claimed by the vectors around the message.
    const size_t outer_size = std::exchange(size_, start + static_cast<size_t>(length));
    const size_t outer_reserved = std::exchange(reserved_, 0);
    PyObject* body = _read_object();
    size_ = outer_size;
    reserved_ = outer_reserved;
    if (!body) {
        path.record_field(constr->fields[kBody], start);
        path.record_root(constr);
        return op.fail(__LINE__);
    }
    if (!set(kBody, body)) return op.fail(__LINE__);
    if (error_ || position_ != start + static_cast<size_t>(length)) {
        // Too few bytes for the body inside its length, or some left over.
        error_ = error_at_start;
        PyErr_Format(PyExc_ValueError, msg::kMessageBytes, static_cast<long long>(msg_id), length);
        path.record_field(constr->fields[kBody], start);
        path.record_root(constr);
        return op.fail(__LINE__);
    }
    return result.release();
}

// ---- pack --------------------------------------------------------------------

// The given value of field `index`, or null (with nothing pending when
// absent, or None).
PyObject* service_field(PyObject* value, bool exact_dict, const TLConstructor* constr, int32_t index) {
    PyRef found;
    if (lookup_field(value, exact_dict, constr->fields[index].py_name, &found) <= 0 || found.get() == Py_None)
        return nullptr;
    return found.release();
}

// Whether `value` is a dict-like gzip_packed whose packed_data is a value
// to pack (not its bytes); sets *inner to that value.
int gzip_of_value(PyObject* value, PyObject** inner) {
    *inner = nullptr;
    if (!PyDict_Check(value)) return 0;
    PyObject* name = nullptr;
    if (velta::dict_get_ref(value, module_state.str_underscore, &name) < 0) return -1;
    PyRef owned(name);
    if (!name || !PyUnicode_Check(name) || PyUnicode_CompareWithASCIIString(name, "gzip_packed") != 0) return 0;
    PyObject* data = nullptr;
    if (velta::dict_get_ref(value, module_state.str_packed_data, &data) < 0) return -1;
    if (!data || PyObject_CheckBuffer(data) || data == Py_None) {
        Py_XDECREF(data);
        return 0;
    }
    *inner = data;
    return 1;
}

// gzip_packed holding `inner` packed as `as` (null: a boxed object).
int Writer::write_gzip(PyObject* inner, const TLValueType* as) {
    Writer plain(parser_);
    plain.results = results;
    plain.types = types;
    if (plain.start() < 0 || (as ? plain._write_value(inner, as) : plain._write_object(inner)) < 0) return -1;
    PyRef data(plain.result());
    PyRef packed(data ? PyObject_CallFunction(module_state.zlib_compress, "Oii", data.get(), 9, 31) : nullptr);
    if (!packed || _write_int32(static_cast<int32_t>(velta::kGzipPackedId)) < 0) return -1;
    return _write_bytes(packed.get());
}

// A result of the type `as`; without one, the bytes of a result given as
// bytes, a Bool for True and False, or a boxed object.
int Writer::write_result(PyObject* result, const TLValueType* as) {
    PyObject* inner;
    const int gzip = gzip_of_value(result, &inner);
    PyRef owned(inner);
    if (gzip < 0) return -1;
    if (gzip) return write_gzip(inner, as);
    if (as) return _write_value(result, as);
    if (PyBool_Check(result)) return _write_int32(static_cast<int32_t>(result == Py_True ? velta::kBoolTrueId : velta::kBoolFalseId));
    if (PyBytes_Check(result)) {
        const size_t size = static_cast<size_t>(PyBytes_GET_SIZE(result));
        unsigned char* at = claim(size);
        if (!at) return -1;
        memcpy(at, PyBytes_AS_STRING(result), size);
        return 0;
    }
    return _write_object(result);
}

VELTA_COLD int Writer::_write_service(PyObject* value, bool exact_dict, const TLConstructor* constr, const TLConstructor* bare) {
    Operation op("Velta.tl.TLParser._write_service");
    PyRef fields[4];
    for (int32_t i = 0; i < constr->field_count; ++i) {
        fields[i].reset(service_field(value, exact_dict, constr, i));
        if (!fields[i] && PyErr_Occurred()) {
            path.record_field(constr->fields[i], 0);
            return op.fail(__LINE__);
        }
    }
    // A missing number is 0, as for any field.
    for (int32_t i = 0; i < constr->field_count; ++i)
        if (!fields[i] && constr->fields[i].value_type->kind != TL_TYPE_OBJECT &&
            !(fields[i] = PyRef(default_value(constr->fields[i].value_type))))
            return op.fail(__LINE__);
    if (constr->service == kServiceGzip) {
        PyObject* data = fields[kPackedData].get();
        if (PyObject_CheckBuffer(data)) {
            if (_write_int32(static_cast<int32_t>(constr->id)) < 0 || _write_string_bytes(data) < 0) {
                path.record_field(constr->fields[kPackedData], 0);
                return op.fail(__LINE__);
            }
            return 0;
        }
        if (write_gzip(data, nullptr) < 0) {
            path.record_field(constr->fields[kPackedData], 0);
            return op.fail(__LINE__);
        }
        return 0;
    }
    if (!bare && _write_int32(static_cast<int32_t>(constr->id)) < 0) return op.fail(__LINE__);
    const int32_t first = constr->service == kServiceRpcResult ? kReqMsgId : kMsgId;
    if (_write_value(fields[first].get(), constr->fields[first].value_type) < 0) {
        path.record_field(constr->fields[first], 0);
        return op.fail(__LINE__);
    }
    if (constr->service == kServiceRpcResult) {
        PyRef req_msg_id(integer_of(fields[kReqMsgId].get()));
        const TLValueType* as = req_msg_id ? result_type_for(compiler_, results, types, req_msg_id.get()) : nullptr;
        if (!as && PyErr_Occurred()) return op.fail(__LINE__);
        if (!fields[kResult] && !as) {
            PyErr_SetString(PyExc_ValueError, msg::kNoResult);
            path.record_field(constr->fields[kResult], 0);
            return op.fail(__LINE__);
        }
        if (!fields[kResult]) fields[kResult] = PyRef(default_value(as));
        if (!fields[kResult] || write_result(fields[kResult].get(), as) < 0) {
            path.record_field(constr->fields[kResult], 0);
            return op.fail(__LINE__);
        }
        return 0;
    }
    // The message: `bytes` is the length of the body as packed.
    if (_write_value(fields[kSeqno].get(), constr->fields[kSeqno].value_type) < 0) {
        path.record_field(constr->fields[kSeqno], 0);
        return op.fail(__LINE__);
    }
    const size_t length_at = position_;
    if (_write_int32(0) < 0) return op.fail(__LINE__);
    const size_t body_start = position_ + deferred_size_;
    if (!fields[kBody]) {
        PyErr_SetString(PyExc_ValueError, msg::kNoBody);
        path.record_field(constr->fields[kBody], 0);
        return op.fail(__LINE__);
    }
    if (_write_object(fields[kBody].get()) < 0) {
        path.record_field(constr->fields[kBody], 0);
        return op.fail(__LINE__);
    }
    const size_t length = position_ + deferred_size_ - body_start;
    if (length > INT32_MAX) {
        PyErr_Format(PyExc_ValueError, msg::kBodyTooLong, length);
        return op.fail(__LINE__);
    }
    velta::store_le32(buffer_.data + length_at, static_cast<uint32_t>(length));
    return 0;
}

}  // namespace

#endif  // VELTA_TL_SERVICE_H
