// The writer: values, vectors and objects into TL bytes (pack).
// Part of the one translation unit tl.cpp, which includes it after the parts it
// relies on; see the code map there.
#ifndef VELTA_TL_WRITER_H
#define VELTA_TL_WRITER_H

namespace {

Writer::~Writer() {
    // Give the buffer back for the next call; if another call gave one back
    // meanwhile, the one that was there goes.
    if (!holder_ && buffer_.data) holder_ = static_cast<OutputBuffer*>(malloc(sizeof(OutputBuffer)));
    if (holder_) {
        *holder_ = buffer_;
        if (OutputBuffer* old = std::atomic_ref(parser_->_spare_buffer).exchange(holder_, std::memory_order_acq_rel)) {
            free(old->data);
            free(old);
        }
    } else {
        free(buffer_.data);
    }
    // Owners go last: dropping one may run interpreter code.
    for (size_t i = 0; i < deferred_.size(); ++i) Py_CLEAR(deferred_[i].owner);
}

int Writer::start() {
    if ((holder_ = std::atomic_ref(parser_->_spare_buffer).exchange(nullptr, std::memory_order_acq_rel))) buffer_ = *holder_;
    if (buffer_.capacity >= kInitialOutput) return 0;
    auto* grown = static_cast<unsigned char*>(realloc(buffer_.data, kInitialOutput));
    if (!grown) {
        PyErr_NoMemory();
        return -1;
    }
    buffer_ = {grown, kInitialOutput};
    return 0;
}

// The packed message: the buffer, with the deferred byte strings copied
// into their places.
PyObject* Writer::result() const {
    const char* buffer = reinterpret_cast<const char*>(buffer_.data);
    if (!deferred_.size()) return PyBytes_FromStringAndSize(buffer, static_cast<Py_ssize_t>(position_));
    const size_t total = position_ + deferred_size_;
    if (total > static_cast<size_t>(PY_SSIZE_T_MAX)) return PyErr_NoMemory();
    PyObject* result = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(total));
    if (!result) return nullptr;
    char* out = PyBytes_AS_STRING(result);
    size_t from = 0;
    for (size_t i = 0; i < deferred_.size(); ++i) {
        const DeferredBytes& item = deferred_[i];
        memcpy(out, buffer + from, item.at - from);
        out += item.at - from;
        from = item.at;
        memcpy(out, item.data, item.size);
        out += item.size;
    }
    memcpy(out, buffer + from, position_ - from);
    return result;
}

int Writer::_write_value(PyObject* value, const TLValueType* type) {
    Operation op("Velta.tl.TLParser._write_value");
    switch (type->kind) {
        case TL_TYPE_INT:
        case TL_TYPE_SIGNED_INT: {
            int32_t v;
            if (convert_int32(value, &v) < 0 || _write_int32(v) < 0) return op.fail(__LINE__);
            return 0;
        }
        case TL_TYPE_LONG: {
            uint64_t v;
            if (convert_uint64(value, &v) < 0 || _write_int64(v) < 0) return op.fail(__LINE__);
            return 0;
        }
        case TL_TYPE_SIGNED_LONG: {
            uint64_t v;
            if (convert_int64_either(value, &v) < 0 || _write_int64(v) < 0) return op.fail(__LINE__);
            return 0;
        }
        case TL_TYPE_DOUBLE: {
            const double v = PyFloat_CheckExact(value) ? PyFloat_AS_DOUBLE(value) : PyFloat_AsDouble(value);
            if ((v == -1.0 && PyErr_Occurred()) || _write_double(v) < 0) return op.fail(__LINE__);
            return 0;
        }
        case TL_TYPE_STRING:
            return _write_string(value) < 0 ? op.fail(__LINE__) : 0;
        case TL_TYPE_BYTES:
            return _write_bytes(value) < 0 ? op.fail(__LINE__) : 0;
        case TL_TYPE_BYTES_OR_OBJECT:
            return write_bytes_or_object(value) < 0 ? op.fail(__LINE__) : 0;
        case TL_TYPE_STRING_BYTES:
            return _write_string_bytes(value) < 0 ? op.fail(__LINE__) : 0;
        case TL_TYPE_BOOL:
        case TL_TYPE_BOXED_BOOL: {
            int truth;
            if (value == Py_True) truth = 1;
            else if (value == Py_False || value == Py_None) truth = 0;
            else if ((truth = PyObject_IsTrue(value)) < 0) return op.fail(__LINE__);
            const uint32_t word = type->kind == TL_TYPE_BOOL ? static_cast<uint32_t>(truth)
                                  : truth                    ? velta::kBoolTrueId
                                                             : velta::kBoolFalseId;
            return _write_int32(static_cast<int32_t>(word)) < 0 ? op.fail(__LINE__) : 0;
        }
        case TL_TYPE_VECTOR:
        case TL_TYPE_BARE_VECTOR:
            return _write_vector(value, type) < 0 ? op.fail(__LINE__) : 0;
        case TL_TYPE_OBJECT:
            return _write_object(value) < 0 ? op.fail(__LINE__) : 0;
        case TL_TYPE_BARE_OBJECT:
            return _write_object(value, type->bare) < 0 ? op.fail(__LINE__) : 0;
        case TL_TYPE_INT128:
        case TL_TYPE_INT256:
        case TL_TYPE_INT128_BYTES:
        case TL_TYPE_INT256_BYTES:
            return write_wide(value, type->kind) < 0 ? op.fail(__LINE__) : 0;
        case TL_TYPE_TRUE:
            return 0;  // the type says it all
    }
    Py_UNREACHABLE();
}

// Whether writing `item` as a value of `kind` runs no interpreter code: it
// is of a built-in type the writer reads directly.
bool written_without_code(PyObject* item, TLType kind) {
    switch (kind) {
        case TL_TYPE_INT:
        case TL_TYPE_SIGNED_INT:
        case TL_TYPE_LONG:
        case TL_TYPE_SIGNED_LONG:
            return PyLong_Check(item);
        case TL_TYPE_DOUBLE:
            return PyFloat_Check(item) || PyLong_CheckExact(item);
        case TL_TYPE_STRING:
            return PyUnicode_Check(item);
        case TL_TYPE_BYTES:
        case TL_TYPE_BYTES_OR_OBJECT:
            return PyBytes_Check(item);
        case TL_TYPE_STRING_BYTES:
            return PyBytes_Check(item) || PyUnicode_Check(item);
        case TL_TYPE_BOOL:
        case TL_TYPE_BOXED_BOOL:
            return PyBool_Check(item) || item == Py_None || PyLong_CheckExact(item);
        case TL_TYPE_TRUE:
            return true;
        default:
            return false;  // objects and vectors, whatever they hold; int128
                           // and int256, whose bytes come from int.to_bytes
    }
}

int Writer::_write_vector(PyObject* vector, const TLValueType* type) {
    Operation op("Velta.tl.TLParser._write_vector");
    RecursionGuard guard(" while packing a TL vector");
    if (!guard.entered()) return op.fail(__LINE__);
    // The elements written are those of one moment: code that runs while an
    // element is written (a __index__, a mapping's get, another thread) may
    // change the list, so the writer works from a private copy once that
    // can happen. Scalars of built-in types run no code: a list of them is
    // read in place (without the GIL, other threads run anyway: always a copy).
    PyRef items;
    bool private_copy = true;
    if (PyList_CheckExact(vector)) {
        // Elements that may run code (objects, vectors) could change the
        // list while it is read, so those lists are read from a copy.
        const bool in_place = velta::kListsReadInPlace && type->element->kind != TL_TYPE_OBJECT &&
                              type->element->kind != TL_TYPE_BARE_OBJECT && type->element->kind != TL_TYPE_VECTOR &&
                              type->element->kind != TL_TYPE_BARE_VECTOR;
        items = in_place ? PyRef::borrow(vector) : PyRef(PyList_GetSlice(vector, 0, PY_SSIZE_T_MAX));
        private_copy = !in_place;
    } else if (PyList_Check(vector)) {
        raise_expected("list", vector);
        return op.fail(__LINE__);
    } else {
        items.reset(PySequence_List(vector));
    }
    if (!items) return op.fail(__LINE__);
    const Py_ssize_t count = PyList_GET_SIZE(items.get());
    if (count > INT32_MAX) {
        PyErr_Format(PyExc_ValueError, msg::kVectorTooLong, count);
        return op.fail(__LINE__);
    }
    if (type->kind == TL_TYPE_VECTOR && _write_int32(static_cast<int32_t>(velta::kVectorId)) < 0) return op.fail(__LINE__);
    if (_write_int32(static_cast<int32_t>(count)) < 0) return op.fail(__LINE__);
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyRef item(velta::list_item_ref(items.get(), i));
        if (!private_copy && !written_without_code(item.get(), type->element->kind)) {
            // No code has run since the count was taken, so the list is as
            // it was: copy it now, before this element's code runs.
            item.reset();
            items.reset(PyList_GetSlice(items.get(), 0, PY_SSIZE_T_MAX));
            if (!items) return op.fail(__LINE__);
            private_copy = true;
            item.reset(velta::list_item_ref(items.get(), i));
        }
        if (!item || PyList_GET_SIZE(items.get()) != count) {  // cannot happen to a list as it was
            PyErr_SetString(PyExc_RuntimeError, msg::kListChanged);
            return op.fail(__LINE__);
        }
        if (_write_value(item.get(), type->element) < 0) {
            path.record_index(i, 0);
            return op.fail(__LINE__);
        }
    }
    return 0;
}

// ---- objects ---------------------------------------------------------------

// Field access on the value being packed: an exact dict is read directly,
// anything else through the mapping protocol (`in`, then item lookup).
// Returns 1 with *out set when the key is present, 0 when absent, -1 on error.
int lookup_field(PyObject* value, bool exact_dict, PyObject* key, PyRef* out) {
    PyObject* found = nullptr;
    int present;
    if (exact_dict) {
        present = velta::dict_get_ref(value, key, &found);
    } else {
        present = PySequence_Contains(value, key);
        if (present > 0 && !(found = PyObject_GetItem(value, key))) present = -1;
    }
    out->reset(found);
    return present;
}

// The default written for a missing field, as a new reference.
PyObject* default_value(const TLValueType* type) {
    switch (type->kind) {
        case TL_TYPE_INT:
        case TL_TYPE_SIGNED_INT:
        case TL_TYPE_LONG:
        case TL_TYPE_SIGNED_LONG:
            return Py_NewRef(module_state.int_zero);
        case TL_TYPE_DOUBLE:
            return Py_NewRef(module_state.float_zero);
        case TL_TYPE_STRING:
            return Py_NewRef(module_state.empty_str);
        case TL_TYPE_BYTES:
        case TL_TYPE_BYTES_OR_OBJECT:
        case TL_TYPE_STRING_BYTES:
            return Py_NewRef(module_state.empty_bytes);
        case TL_TYPE_BOOL:
        case TL_TYPE_BOXED_BOOL:
            return Py_NewRef(Py_False);
        case TL_TYPE_TRUE:
            return Py_NewRef(Py_True);
        case TL_TYPE_VECTOR:
        case TL_TYPE_BARE_VECTOR:
            return PyList_New(0);
        case TL_TYPE_OBJECT:
        case TL_TYPE_BARE_OBJECT:  // a bare one is its constructor's, with every default
            return PyDict_New();
        case TL_TYPE_INT128:
        case TL_TYPE_INT256:
        case TL_TYPE_INT128_BYTES:
        case TL_TYPE_INT256_BYTES:
            return Py_NewRef(module_state.int_zero);
    }
    Py_UNREACHABLE();
}

// Whether `key` is the "_" key: the interned "_" mostly, but a dict may
// hold any exact str of that text.
VELTA_ALWAYS_INLINE bool is_name_key(PyObject* key) {
    return key == module_state.str_underscore ||
           (PyUnicode_CheckExact(key) && PyUnicode_GET_LENGTH(key) == 1 && PyUnicode_READ_CHAR(key, 0) == '_');
}

// Writes the bytes default_value(type) packs to, for the kinds whose zero
// value has fixed bytes: 1 when written, 0 when the default must be packed
// as a value (objects, wide ints), -1 on error. Fields that code leaves out
// are mostly of these kinds, and need no value object then.
int Writer::write_zero(const TLValueType* type) {
    switch (type->kind) {
        case TL_TYPE_INT:
        case TL_TYPE_SIGNED_INT:
        case TL_TYPE_BOOL:            // false is 0
        case TL_TYPE_STRING:          // empty: a zero length byte and three of padding
        case TL_TYPE_BYTES:
        case TL_TYPE_BYTES_OR_OBJECT:
        case TL_TYPE_STRING_BYTES:
        case TL_TYPE_BARE_VECTOR:     // no elements
            return _write_int32(0) < 0 ? -1 : 1;
        case TL_TYPE_LONG:
        case TL_TYPE_SIGNED_LONG:
        case TL_TYPE_DOUBLE:          // 0.0 is all zero bits
            return _write_int64(0) < 0 ? -1 : 1;
        case TL_TYPE_BOXED_BOOL:
            return _write_int32(static_cast<int32_t>(velta::kBoolFalseId)) < 0 ? -1 : 1;
        case TL_TYPE_VECTOR:
            return _write_int32(static_cast<int32_t>(velta::kVectorId)) < 0 || _write_int32(0) < 0 ? -1 : 1;
        case TL_TYPE_TRUE:
            return 1;
        default:
            return 0;
    }
}

// The "_" entry of an exact dict, borrowed (null when absent, or on error).
// Code mostly writes "_" first, and unpack does: then the first entry holds
// it, with no hashing, and the walk over the fields may start after it.
PyObject* name_entry(PyObject* dict, Py_ssize_t* walk_from) {
    if constexpr (velta::kNameFromFirstEntry) {
        Py_ssize_t position = 0;
        PyObject *key, *item;
        if (PyDict_Next(dict, &position, &key, &item) && is_name_key(key)) {  // a JSON decoder's "_" too
            *walk_from = position;
            return item;
        }
    }
    return PyDict_GetItemWithError(dict, module_state.str_underscore);
}

// The constructor named by value["_"], or null with an exception pending.
// A bare value may leave "_" out (or None); if it names one, it must be
// the bare constructor.
const TLConstructor* Writer::constructor_for(PyObject* value, bool exact_dict, const TLConstructor* bare,
                                             NameSeen* seen) {
    PyRef name;
    if (exact_dict) {
        // A name the table knows needs no reference of its own: without the
        // GIL, counting references to a name shared by threads makes them
        // contend.
        const TLConstructor* known = nullptr;
        PyObject* found = nullptr;
        Py_BEGIN_CRITICAL_SECTION(value);
        PyObject* borrowed = name_entry(value, &seen->walk_from);
        // Alive while the dict's lock is held; kept for gather's checks.
        if constexpr (velta::kFreeThreaded) seen->name = PyRef::borrow(borrowed);
        seen->named = borrowed != nullptr;
        if (borrowed && !(known = bare ? nullptr : compiler_->_name_table.get(borrowed))) found = Py_NewRef(borrowed);
        Py_END_CRITICAL_SECTION();
        if (known) return known;
        if (!found && PyErr_Occurred()) return nullptr;
        name.reset(found ? found : Py_NewRef(Py_None));
    } else {
        PyRef get(PyObject_GetAttr(value, module_state.str_get));
        if (!get) return nullptr;
        name.reset(PyObject_CallOneArg(get.get(), module_state.str_underscore));
        if (!name) return nullptr;
    }
    if (name.get() != Py_None && !PyUnicode_CheckExact(name.get())) return raise_expected("str", name.get());
    if (bare) {
        if (name.get() == Py_None) return bare;
        const int same = PyUnicode_Compare(name.get(), bare->py_name);
        if (same == 0) return bare;
        if (!PyErr_Occurred())
            PyErr_Format(PyExc_ValueError, msg::kBareMismatch, bare->py_name, name.get());
        return nullptr;
    }
    // The table holds no empty name, so "" falls through to the refusal.
    if (name.get() == Py_None || PyUnicode_GET_LENGTH(name.get()) == 0) {
        PyErr_SetString(PyExc_ValueError, msg::kNoConstructor);
        return nullptr;
    }
    if (TLConstructor* known = compiler_->_name_table.get(name.get())) return known;
    if (TLConstructor* known = compiler_->_name_table.get_by_text(name.get())) return known;
    // An exact str key: the look-up runs no interpreter code, and the map is
    // never changed once compiled, so the borrowed index is safe to read.
    PyObject* index = PyDict_GetItemWithError(compiler_->_name_map, name.get());
    if (!index) {
        if (!PyErr_Occurred()) raise_unknown_name(name.get(), compiler_->_name_map);
        return nullptr;
    }
    return &compiler_->_schema->constructors[PyLong_AsLong(index)];
}

// Whether `key`, an exact str with hash `hash`, names `field`.
VELTA_ALWAYS_INLINE bool names_field(PyObject* key, Py_hash_t hash, const TLField& field) {
    return field.py_name == key || field.py_name_interned == key ||
           (field.name_hash == hash && velta::same_text(field.py_name, key));
}

// Whether `key` is the very name object of `field`.
VELTA_ALWAYS_INLINE bool is_field_name(PyObject* key, const TLField& field) {
    return key == field.py_name_interned || key == field.py_name;
}

// Fields that code leaves out sit between those it gives: the walk looks
// this many fields past the one it expects before it hashes the key.
constexpr int kFieldsLookedAhead = 4;

// Out of line: the walk's in-step match stays a few instructions in the
// loop, which keys in schema order never leave (measured: inlined, the
// larger loop cost the interned page 4 % in time at the same instructions).
// Matched by the key's address when it is a schema name (interned, as
// literal keys are), else by its hash and text; a key matched by its text
// becomes its name's alias for the rest of the call, which the walk tries
// by address at the field it expects.
[[gnu::noinline]] int32_t Writer::find_field(const TLConstructor* constr, PyObject* key, int32_t next) {
    if (key == module_state.str_underscore) return -1;
    int32_t at = next;
    if (PyUnicode_CHECK_INTERNED(key)) {  // else no name is this very object
        for (int step = 0; step < kFieldsLookedAhead && at < constr->field_count; ++step, at = constr->fields[at].next_named)
            if (is_field_name(key, constr->fields[at])) return at;
    }
    const Py_hash_t hash = PyObject_Hash(key);  // cached in the str after the first time
    if (next < constr->field_count && names_field(key, hash, constr->fields[next])) {
        at = next;
    } else if (const uint16_t* index = constr->name_index) {
        at = -1;
        for (uint32_t slot = static_cast<uint32_t>(hash);; ++slot) {
            const uint16_t entry = index[slot & constr->name_index_mask];
            if (!entry) break;
            if (names_field(key, hash, constr->fields[entry - 1])) {
                at = entry - 1;
                break;
            }
        }
    } else {
        at = -1;
        for (int32_t i = 0; i < constr->field_count; ++i)
            if (names_field(key, hash, constr->fields[i])) {
                at = i;
                break;
            }
    }
    if (at >= 0 && !is_field_name(key, constr->fields[at])) aliases_.put(constr->fields[at].name_id, key);
    return at;
}

// Takes in `item` (borrowed), the value given for field `index`: a
// condition's value sets its bit, and only a value that will be written is
// kept. A condition that cannot be written is noted in `refused` (the first
// such field in wire order is the one refused) and raised once gathering is
// done, so that failing look-ups come first as they always did.
template <bool kStrict>
VELTA_ALWAYS_INLINE void Writer::take_given(const TLConstructor* constr, int32_t index, PyObject* item, Gathered& given) {
    const TLField& field = constr->fields[index];  // a flags word only when it is a value too
    if constexpr (kStrict) {
        ++given.taken;
        given.unconditional += !field.is_optional && !field.flags_word;  // a word may be a value too
    }
    if (field.is_optional) {
        if (!conditional_present(field, item)) {
            if constexpr (kStrict) given.odd_bit |= field.bit_only && item != Py_False && item != Py_None;
            return;
        }
        if (VELTA_UNLIKELY(!field.flag_mask || !field.word_declared)) {
            given.refused = std::min(given.refused, index);
            return;
        }
        given.words[field.flag_info.flags_index] |= field.flag_mask;
        if (field.bit_only) return;
    }
    given.values.keep(index, Py_NewRef(item));
}

// The refusal of a given conditional field that take_given noted.
int refuse_condition(const TLField& field) {
    if (!field.flag_mask) PyErr_Format(PyExc_ValueError, msg::kFlagBitRange, field.py_name, field.flag_info.bit_position);
    else PyErr_Format(PyExc_ValueError, msg::kFlagWordMissing, field.py_name);
    return -1;
}

// Gathers the given value of every field and the flags words they decide.
// Without the GIL another thread may change a dict between the reading of
// its "_" and of its fields; the object is then gathered again, this many
// times at most.
constexpr int kMaxGatherRetries = 8;
constexpr int kGatherAgain = 1;

// Inlined where it is used, as the one gather there was: the plain instance
// in _write_object, the strict one in gather_strict.
template <bool kStrict>
VELTA_ALWAYS_INLINE int Writer::gather(PyObject* value, bool exact_dict, const TLConstructor* constr, Gathered& given,
                   [[maybe_unused]] const NameSeen& seen) {
    if (exact_dict && constr->walkable) {
        // Dicts mostly hold their keys in schema order (unpack makes them so,
        // and so do literals), as the very name objects of the schema: a walk
        // over the entries in step with the fields finds each without hashing.
        // A key that is not an exact str could equal a name by its own
        // __eq__, which only a look-up honours.
        bool walked = true;
        [[maybe_unused]] bool name_changed = false;
        [[maybe_unused]] bool name_passed = false;
        int32_t next = constr->first_named;
        Py_BEGIN_CRITICAL_SECTION(value);
        // With the GIL, no interpreter code has run since "_" was read: the
        // dict is as it was, and the entries before seen.walk_from are "_"
        // alone. Without it, the walk starts at the first entry and checks
        // that "_" is still the name read, under the same lock as the fields,
        // so that all come from one moment.
        Py_ssize_t position = seen.walk_from;
        PyObject *key, *item;
        while (PyDict_Next(value, &position, &key, &item)) {
            int32_t at;
            if constexpr (velta::kFreeThreaded) {
                if (is_name_key(key)) {
                    name_passed = true;
                    if (item == seen.name.get()) continue;
                    walked = false;
                    name_changed = true;
                    break;
                }
            }
            if (next < constr->field_count &&
                (is_field_name(key, constr->fields[next]) || aliases_.is(constr->fields[next].name_id, key))) {
                at = next;
            } else if (PyUnicode_CheckExact(key)) {
                // A flags word is computed, whatever is given, unless it is a value too.
                if ((at = find_field(constr, key, next)) < 0 ||
                    (constr->fields[at].flags_word && !constr->fields[at].word_valued))
                    continue;
            } else {
                walked = false;
                break;
            }
            take_given<kStrict>(constr, at, item, given);
            next = constr->fields[at].next_named;
        }
        Py_END_CRITICAL_SECTION();
        if constexpr (velta::kFreeThreaded) {
            if (walked && !name_passed && seen.name) {  // "_" went away after it was read
                walked = false;
                name_changed = true;
            }
        }
        if (walked) return 0;
        given.reset();
        if (name_changed) return kGatherAgain;
    }
    // Without the GIL, look-ups work on a copy of the dict taken under its
    // lock, whose "_" must be the name read: one moment again. (A key's own
    // __eq__ may run during the look-ups; it cannot reach the copy.)
    PyRef snapshot;
    if constexpr (velta::kFreeThreaded) {
        if (exact_dict) {
            if (!(snapshot = PyRef(PyDict_Copy(value)))) return -1;
            PyObject* name = PyDict_GetItemWithError(snapshot.get(), module_state.str_underscore);
            if (!name && PyErr_Occurred()) return -1;
            if (name != seen.name.get()) return kGatherAgain;
            value = snapshot.get();
        }
    }
    for (int32_t i = constr->first_named; i < constr->field_count; i = constr->fields[i].next_named) {
        const TLField& field = constr->fields[i];
        PyRef field_value;
        const int present = lookup_field(value, exact_dict, field.py_name, &field_value);
        if (present < 0) {
            path.record_field(field, 0);
            return -1;
        }
        if (present) take_given<kStrict>(constr, i, field_value.get(), given);
    }
    return 0;
}

// Whether `value` is read as a dict: an exact dict, or an instance of a dict
// subclass that keeps dict's own get, `in` and [] (what a mapping is read
// through), whose entries are then read the way an exact dict's are, in
// place and under its lock; -1 on error.
int reads_as_dict(PyObject* value) {
    if (PyDict_CheckExact(value)) return 1;
    if (!PyDict_Check(value)) return 0;
    // `in` and [] find their methods on the class (a subclass's slots call
    // them by name even when they are dict's own).
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(value));
    for (PyObject* const* method : {&module_state.dict_getitem, &module_state.dict_contains}) {
        PyRef found(PyObject_GetAttr(type, method == &module_state.dict_getitem ? module_state.str_getitem
                                                                                  : module_state.str_contains));
        if (!found) return -1;
        if (found.get() != *method) return 0;
    }
    // dict's get bound to this very value: neither the class nor the
    // instance put another in its place.
    PyRef get(PyObject_GetAttr(value, module_state.str_get));
    if (!get) return -1;
    return PyCFunction_Check(get.get()) && PyCFunction_GET_SELF(get.get()) == value &&
           PyCFunction_GetFunction(get.get()) == module_state.dict_get;
}

int Writer::_write_object(PyObject* value, const TLConstructor* bare) {
    Operation op("Velta.tl.TLParser._write_object");
    RecursionGuard guard(" while packing a TL object");
    if (!guard.entered()) return op.fail(__LINE__);
    const int as_dict = reads_as_dict(value);
    if (as_dict < 0) return op.fail(__LINE__);
    const bool exact_dict = as_dict;
    for (int attempt = 0;; ++attempt) {
        NameSeen seen;
        const TLConstructor* constr = constructor_for(value, exact_dict, bare, &seen);
        if (!constr) return op.fail(__LINE__);
        if (VELTA_UNLIKELY(constr->service != kServiceNone)) {
            if (_write_service(value, exact_dict, constr, bare) < 0) {
                path.record_root(constr);
                return op.fail(__LINE__);
            }
            return 0;
        }
        Gathered given(*this, constr);
        if (!given.ok()) {
            PyErr_NoMemory();
            return op.fail(__LINE__);
        }
        // strict=True gathers with the counting instance, out of line, and
        // checks what it gathered before anything is written (writer_strict.h).
        const int gathered = VELTA_UNLIKELY(strict_) ? gather_strict(value, exact_dict, constr, given, seen)
                                                     : gather<false>(value, exact_dict, constr, given, seen);
        if (gathered == kGatherAgain) {
            if (attempt < kMaxGatherRetries) continue;
            PyErr_SetString(PyExc_RuntimeError, msg::kDictChanged);
            return op.fail(__LINE__);
        }
        if (gathered < 0 ||
            (VELTA_UNLIKELY(strict_) && check_strict(value, exact_dict, seen.named, constr, given) < 0) ||
            write_fields(constr, given, bare) < 0) {
            path.record_root(constr);
            return op.fail(__LINE__);
        }
        return 0;
    }
}

// A flags word that is a value too: the bits of `given` (a new reference,
// or null when it was not given) that no conditional field uses join the
// bits in *word, which the conditional fields' presence decided.
int Writer::write_word_value(const TLField& field, PyObject* given, uint32_t* word) {
    PyRef value(given);
    if (!value || value.get() == Py_None) return 0;
    int32_t bits;
    if (convert_int32(value.get(), &bits) < 0) {
        path.record_field(field, 0);
        return -1;
    }
    *word |= static_cast<uint32_t>(bits) & ~field.used_bits;
    return 0;
}

// A wide int of the wrong width that write_wide refused inside this field
// (itself, or an element of it): the message names the field.
void Writer::name_wide_refusal(const TLField& field) {
    if (!wide_refused_.width) return;
    PyErr_Format(PyExc_ValueError, msg::kWideIntWidth, field.py_name, wide_refused_.name, wide_refused_.width,
                 wide_refused_.given);
    wide_refused_ = {};
}

// The object's id (unless it is bare) and fields, from the values gathered.
int Writer::write_fields(const TLConstructor* constr, Gathered& given, const TLConstructor* bare) {
    if (VELTA_UNLIKELY(given.refused < constr->field_count)) {
        const TLField& field = constr->fields[given.refused];
        path.record_field(field, 0);
        return refuse_condition(field);
    }
    if (!bare && _write_int32(static_cast<int32_t>(constr->id)) < 0) return -1;
    // Fields that are only a bit have no bytes: their bits are in the words.
    for (int32_t i = constr->first_written; i < constr->field_count; i = constr->fields[i].next_written) {
        const TLField& field = constr->fields[i];
        if (field.flags_word) {
            uint32_t& word = given.words[field.flags_word - 1];
            if (field.word_valued && write_word_value(field, given.values.take(i), &word) < 0) return -1;
            if (_write_int32(static_cast<int32_t>(word)) < 0) return -1;
            continue;
        }
        if (field.is_optional) {
            // A reader takes the field as present when its bit is set in the
            // word as read so far: never, unless the word comes first. (A
            // value is kept only for a field whose bit it set.)
            const bool bit_set = (given.words[field.flag_info.flags_index] & field.flag_mask) != 0;
            if (!bit_set || !field.word_declared) continue;
        }
        PyRef field_value(given.values.take(i));
        if (!field_value) {
            // Another field set the bit this one shares (this one was not
            // given, or was None, so nothing was kept): a reader will expect
            // this one's bytes too, so it gets its zero value, as a missing
            // unconditional field does. A boxed object has none.
            if (field.is_optional && field.value_type->kind == TL_TYPE_OBJECT) {
                PyErr_Format(PyExc_ValueError, msg::kSharedBitObject, field.py_name);
                path.record_field(field, 0);
                return -1;
            }
            const int zero = write_zero(field.value_type);
            if (zero < 0) {
                path.record_field(field, 0);
                return -1;
            }
            if (zero) continue;
            if (!(field_value = PyRef(default_value(field.value_type)))) return -1;
        }
        if (_write_value(field_value.get(), field.value_type) < 0) {
            name_wide_refusal(field);
            path.record_field(field, 0);
            return -1;
        }
    }
    return 0;
}

}  // namespace

#endif  // VELTA_TL_WRITER_H
