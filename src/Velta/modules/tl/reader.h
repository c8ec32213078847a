// The reader: TL bytes into values, vectors and objects (unpack), driven by read_one.
// Part of the one translation unit tl.cpp, which includes it after the parts it
// relies on; see the code map there.
#ifndef VELTA_TL_READER_H
#define VELTA_TL_READER_H

namespace {

// The reader: one per unpack.

// Decoded dicts name things with the interned twins of the schema's names:
// without the GIL, interned strings take no reference counting, so threads
// that share a parser do not contend for its names.
//
// The dict every decoded object of `constr` starts from: "_" and then each
// field key in wire order, holding what an absent field reads as. Copying it
// and replacing values is much cheaper than growing a fresh dict key by key,
// and it fixes the key order. Calls on several threads may build it at once;
// the first to publish it wins.
PyObject* object_template(TLConstructor* constr) {
    std::atomic_ref<PyObject*> slot(constr->py_template);
    if (PyObject* ready = slot.load(std::memory_order_acquire)) return ready;
    PyRef dict(PyDict_New());
    if (!dict || PyDict_SetItem(dict.get(), module_state.str_underscore, constr->py_name_interned) < 0) return nullptr;
    Py_ssize_t named_fields = 1;
    for (int32_t i = 0; i < constr->field_count; ++i) {
        const TLField& field = constr->fields[i];
        if (field.flags_word && !field.word_valued) continue;
        ++named_fields;
        // A field whose value is only its bit reads False unless the bit is
        // set, so a copy needs a store only for a set bit.
        if (PyDict_SetItem(dict.get(), field.py_name_interned, field.bit_only ? Py_False : Py_None) < 0) return nullptr;
    }
    // Every builder computes the same value; it is published with the
    // template's release below.
    std::atomic_ref(constr->distinct_names).store(PyDict_GET_SIZE(dict.get()) == named_fields, std::memory_order_relaxed);
    PyObject* expected = nullptr;
    if (slot.compare_exchange_strong(expected, dict.get(), std::memory_order_acq_rel)) return dict.release();
    return expected;  // another call published first; ours goes
}

PyObject* Reader::_read_value(const TLValueType* type) {
    Operation op("Velta.tl.TLParser._read_value");
    PyObject* result;
    switch (type->kind) {
        case TL_TYPE_INT:
            return PyLong_FromUnsignedLong(read_int32());
        case TL_TYPE_SIGNED_INT:
            return PyLong_FromLong(static_cast<int32_t>(read_int32()));
        case TL_TYPE_LONG:
            return PyLong_FromUnsignedLongLong(read_int64());
        case TL_TYPE_SIGNED_LONG:
            return PyLong_FromLongLong(static_cast<int64_t>(read_int64()));
        case TL_TYPE_DOUBLE:
            return PyFloat_FromDouble(read_double());
        case TL_TYPE_BOOL:
            return PyBool_FromLong(read_int32() != 0);
        case TL_TYPE_BOXED_BOOL:
            result = read_boxed_bool();
            break;
        case TL_TYPE_TRUE:
            if (!charge_zero_size()) return op.fail(__LINE__);
            Py_RETURN_TRUE;
        case TL_TYPE_STRING:
            result = _read_string();
            break;
        case TL_TYPE_BYTES:
        case TL_TYPE_BYTES_OR_OBJECT:
        case TL_TYPE_STRING_BYTES:
            result = _read_bytes();
            break;
        case TL_TYPE_VECTOR:
        case TL_TYPE_BARE_VECTOR:
            result = _read_vector(type);
            break;
        case TL_TYPE_OBJECT:
            result = _read_object();
            break;
        case TL_TYPE_BARE_OBJECT:
            result = _read_object(type->bare);
            break;
        case TL_TYPE_INT128:
        case TL_TYPE_INT256:
            result = read_wide(type->kind);
            break;
        case TL_TYPE_INT128_BYTES:
        case TL_TYPE_INT256_BYTES:
            result = read_wide_bytes(type->kind);
            break;
        default:
            Py_UNREACHABLE();
    }
    return result ? result : op.fail(__LINE__);
}

PyObject* Reader::_read_vector(const TLValueType* type) {
    Operation op("Velta.tl.TLParser._read_vector");
    RecursionGuard guard(" while unpacking a TL vector");
    if (!guard.entered()) return op.fail(__LINE__);
    if (type->kind == TL_TYPE_VECTOR) {
        const uint32_t vector_id = read_int32();
        if (VELTA_UNLIKELY(error_)) Py_RETURN_NONE;  // cut off: nothing more is read
        if (vector_id != velta::kVectorId) {
            error_ = true;
            PyErr_Format(PyExc_ValueError, msg::kVectorId, vector_id);
            return op.fail(__LINE__);
        }
    }
    const int32_t count = static_cast<int32_t>(read_int32());
    const TLValueType* element = type->element;
    const size_t remaining = position_ < size_ ? size_ - position_ : 0;
    // A count of values that take no bytes beyond what is left of their
    // budget cannot be read: refused before the list is made.
    if (count < 0 || (element->min_size == 0 && static_cast<size_t>(count) > *zero_size_budget_)) {
        PyErr_Format(PyExc_ValueError, msg::kVectorLength, count);
        return op.fail(__LINE__);
    }

    // Every other element takes at least 4 bytes of cursor, and only the
    // last one may end past the input; the unread elements of the enclosing
    // vectors need theirs too. A count beyond that cannot be read: the
    // unpack must fail and this list is never seen. It is not allocated, so
    // no nesting of claimed counts can allocate more than the input
    // justifies; the elements are still read in turn, so the reported
    // position and any exception are exactly those of reading each one.
    const size_t unit = element->min_size ? velta::kAlignment : 0;
    const size_t available = remaining + 3 > reserved_ ? remaining + 3 - reserved_ : 0;
    const bool fits = !unit || static_cast<size_t>(count) <= available / unit;
    PyRef result(PyList_New(fits ? count : 0));
    if (!result) return op.fail(__LINE__);
    const size_t reserved_before = reserved_;
    if (fits) reserved_ += unit * static_cast<size_t>(count);
    for (int32_t i = 0; i < count; ++i) {
        const size_t before = position_;
        if (fits) reserved_ -= unit;
        PyObject* item = _read_value(element);
        if (!item) {
            reserved_ = reserved_before;
            path.record_index(i, before);
            return op.fail(__LINE__);
        }
        if (fits) PyList_SET_ITEM(result.get(), i, item);
        else Py_DECREF(item);
        if (VELTA_UNLIKELY(error_)) {
            // Out of input: nothing after the short read is decoded, and the
            // rest of the list stays None (the unpack fails; the list is never
            // seen, but it must be whole to be freed).
            path.record_index(i, before);
            if (fits)
                for (int32_t j = i + 1; j < count; ++j) PyList_SET_ITEM(result.get(), j, Py_NewRef(Py_None));
            break;
        }
    }
    reserved_ = reserved_before;
    return result.release();
}

// ---- objects ---------------------------------------------------------------

// Inflates gzip data as gzip.decompress reads it: one member, then more
// members, each after any zero bytes that follow the one before, up to the
// end of the data. At most `room` bytes come out; the output is a new bytes
// object, or null with ValueError("gzip_packed: ...") (or MemoryError).
//
// A member gets all the rest of the data at once only when it is the first;
// later ones get pieces that double in size, so that what zlib copies of
// the input left over after a member (its unused_data) stays in proportion
// to the member, however many small members the data holds.
PyObject* inflate_members(const unsigned char* data, size_t length, size_t room, size_t max_inflated) {
    PyRef pieces(PyList_New(0));
    if (!pieces) return nullptr;
    size_t produced = 0;
    size_t at = 0;  // the next input byte
    bool first = true;
    do {
        PyRef inflater(PyObject_CallFunction(module_state.zlib_decompressobj, "i", 31));
        if (!inflater) return nullptr;
        size_t piece = first ? length : 256;
        for (;;) {
            const size_t take = std::min(piece, length - at);
            PyRef input(PyMemoryView_FromMemory(const_cast<char*>(reinterpret_cast<const char*>(data + at)),
                                                static_cast<Py_ssize_t>(take), PyBUF_READ));
            if (!input) return nullptr;
            at += take;
            PyRef out(PyObject_CallMethod(inflater.get(), "decompress", "On", input.get(),
                                          static_cast<Py_ssize_t>(room - produced + 1)));
            if (!out) {
                if (PyErr_ExceptionMatches(module_state.zlib_error)) {
                    PyErr_Clear();
                    PyErr_SetString(PyExc_ValueError, msg::kGzipInvalid);
                }
                return nullptr;
            }
            produced += static_cast<size_t>(PyBytes_GET_SIZE(out.get()));
            if (produced > room) {
                PyErr_Format(PyExc_ValueError, msg::kGzipTooLarge, max_inflated);
                return nullptr;
            }
            if (PyBytes_GET_SIZE(out.get()) && PyList_Append(pieces.get(), out.get()) < 0) return nullptr;
            PyRef finished(PyObject_GetAttrString(inflater.get(), "eof"));
            if (!finished) return nullptr;
            if (finished.get() == Py_True) break;
            // Short of room, zlib keeps unread input back; only then could
            // it stop before the input ends, and that was refused above.
            if (at == length) {
                PyErr_SetString(PyExc_ValueError, msg::kGzipIncomplete);
                return nullptr;
            }
            piece = piece > length / 2 ? length : piece * 2;
        }
        PyRef unused(PyObject_GetAttrString(inflater.get(), "unused_data"));
        if (!unused) return nullptr;
        if (!PyBytes_Check(unused.get())) return raise_expected("bytes", unused.get());
        at -= static_cast<size_t>(PyBytes_GET_SIZE(unused.get()));
        while (at < length && data[at] == 0) ++at;
        first = false;
    } while (at < length);
    if (PyList_GET_SIZE(pieces.get()) == 1) return Py_NewRef(PyList_GET_ITEM(pieces.get(), 0));
    return PyObject_CallMethod(module_state.empty_bytes, "join", "O", pieces.get());
}

// Standard mode: a gzip_packed object stands for the one object its data
// inflates to. Inflation is bounded, so a small input cannot ask for
// gigabytes.
PyObject* Reader::read_gzip_packed(const TLValueType* as, bool raw_unknown) {
    const unsigned char* data;
    size_t length;
    if (!read_byte_string(&data, &length)) Py_RETURN_NONE;  // short input: reported at the end
    const size_t max_inflated = compiler_->_schema->conventions.max_inflated;
    PyRef inflated(inflate_members(data, length, max_inflated - *inflated_total_, max_inflated));
    if (!inflated) return nullptr;
    const size_t size = static_cast<size_t>(PyBytes_GET_SIZE(inflated.get()));
    *inflated_total_ += size;
    Reader inner(compiler_, reinterpret_cast<const unsigned char*>(PyBytes_AS_STRING(inflated.get())), size);
    inner.inflated_total_ = inflated_total_;
    inner.zero_size_budget_ = zero_size_budget_;
    inner.results = results;
    inner.types = types;
    if (raw_unknown && (size < 4 || !compiler_->_id_map.contains(velta::load_le32(inner.input_)) ||
                        velta::load_le32(inner.input_) == velta::kGzipPackedId))
        return Py_NewRef(inflated.get());
    PyRef object(as ? inner._read_value(as) : inner._read_object());
    if (!object) return nullptr;
    if (inner.error_ || inner.position_ < size) {
        PyErr_SetString(PyExc_ValueError, msg::kGzipNotOneObject);
        return nullptr;
    }
    return object.release();
}

PyObject* Reader::_read_object(TLConstructor* bare) {
    Operation op("Velta.tl.TLParser._read_object");
    RecursionGuard guard(" while unpacking a TL object");
    if (!guard.entered()) return op.fail(__LINE__);
    TLConstructor* constr = bare;
    if (!constr) {
        const unsigned char* id_bytes = take(4);
        if (!id_bytes) Py_RETURN_NONE;
        const uint32_t constructor_id = velta::load_le32(id_bytes);
        // Where gzip_packed is inflated, it is whatever the schema says.
        if (VELTA_UNLIKELY(constructor_id == velta::kGzipPackedId) && inflate_gzip_) {
            PyObject* inner = read_gzip_packed();
            return inner ? inner : op.fail(__LINE__);
        }
        const auto found = compiler_->_id_map.find(constructor_id);
        if (found == compiler_->_id_map.end()) {
            PyErr_Format(PyExc_ValueError, msg::kUnknownId, constructor_id);
            return op.fail(__LINE__);
        }
        constr = found->second;
    }
    if (VELTA_UNLIKELY(constr->service != kServiceNone)) {
        PyObject* service = _read_service(constr);
        return service ? service : op.fail(__LINE__);
    }
    PyRef result;
    bool distinct_names = false;  // whether the value a key starts with may stay
    if constexpr (velta::kObjectsFromTemplate) {
        PyObject* tmpl = object_template(constr);
        if (!tmpl || !(result = PyRef(PyDict_Copy(tmpl)))) return op.fail(__LINE__);
        distinct_names = std::atomic_ref(constr->distinct_names).load(std::memory_order_relaxed);
    } else {
        result.reset(PyDict_New());
        if (!result || PyDict_SetItem(result.get(), module_state.str_underscore, constr->py_name_interned) < 0)
            return op.fail(__LINE__);
    }
    velta::HeapFrame<uint32_t> words(words_, static_cast<size_t>(constr->word_count), 0u);
    if (!words.ok()) {
        PyErr_NoMemory();
        return op.fail(__LINE__);
    }

    const size_t start = position_;
    for (int32_t i = 0; i < constr->field_count; ++i) {
        const TLField& field = constr->fields[i];
        if (field.flags_word) {
            const size_t word_start = position_;
            const uint32_t word = words[field.flags_word - 1] = read_int32();
            if (VELTA_UNLIKELY(error_)) {
                path.record_field(field, word_start);
                path.record_root(constr);
                return result.release();
            }
            if (field.word_valued) {
                PyRef value(PyLong_FromUnsignedLong(word));
                if (!value || PyDict_SetItem(result.get(), field.py_name_interned, value.get()) < 0) {
                    path.record_root(constr);
                    return op.fail(__LINE__);
                }
            }
            continue;
        }
        if (field.is_optional) {
            const bool present = (words[field.flag_info.flags_index] & field.flag_mask) != 0;
            if (field.bit_only || !present) {
                PyObject* marker = field.bit_only ? (present ? Py_True : Py_False) : Py_None;
                if ((marker == Py_True || !distinct_names) &&
                    PyDict_SetItem(result.get(), field.py_name_interned, marker) < 0) {
                    path.record_root(constr);
                    return op.fail(__LINE__);
                }
                continue;
            }
        }
        const size_t field_start = position_;
        PyRef value(_read_value(field.value_type));
        if (!value) {
            path.record_field(field, field_start);
            path.record_root(constr);
            return op.fail(__LINE__);
        }
        if (error_) {
            // The first read that finds too few bytes ends the run: the rest
            // of this object and of every open one is not read, and read_one
            // reports the shortage with this read's path.
            path.record_field(field, field_start);
            path.record_root(constr);
            return result.release();
        }
        if (PyDict_SetItem(result.get(), field.py_name_interned, value.get()) < 0) {
            path.record_root(constr);
            return op.fail(__LINE__);
        }
    }
    if (bare && position_ == start && !charge_zero_size()) return op.fail(__LINE__);
    return result.release();
}


// Reads one object from `size` bytes at `input`, which stand `base` bytes
// into what the caller gave; positions in errors count from there. *end
// is where the object ends, counted the same way.
// `as`: the type of the value; null for a boxed object.
PyObject* read_one(const TLParserObject* self, const unsigned char* input, size_t size, size_t base, size_t* end,
                   const TLValueType* as = nullptr, PyObject* results = nullptr, CallTypes* types = nullptr) {
    Reader reader(parser_compiler(self), input, size);
    reader.results = results;
    reader.types = types;
    PyRef parsed(as ? reader._read_value(as) : reader._read_object());
    if (parsed && reader.ran_out()) {
        parsed.reset();
        PyErr_Format(PyExc_RuntimeError, msg::kParseError, base + reader.position());
    }
    if (!parsed) {
        reader.path.attach("unpacking", true, base);
        return nullptr;
    }
    // A byte string's padding may be cut off at the very end of the input;
    // the object still ends where the input does.
    *end = base + std::min(reader.position(), size);
    return parsed.release();
}

}  // namespace

#endif  // VELTA_TL_READER_H
