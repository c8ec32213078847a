// What a strict pack refuses, and the closest names for an unknown constructor.
// Part of the one translation unit tl.cpp, which includes it after the parts it
// relies on; see the code map there.
//
// strict=True checks each object once its values are gathered and before any
// of it is written: every key names a field (flags words included), every
// unconditional field is given, and a field that is only a flag bit is given
// True, False or None. The checks are a walk of their own, out of the plain
// pack's way: a parser without strict= pays one predictable branch per object.
#ifndef VELTA_TL_WRITER_STRICT_H
#define VELTA_TL_WRITER_STRICT_H

namespace {

// ---- unknown constructor names -----------------------------------------------
// (declared in codec.h: the writer's constructor_for raises the error)

// "'a', 'b' or 'c'": the names in `names` closest to `name` (difflib's
// choice, at most three), or null when none is close or on error.
PyObject* close_names(PyObject* name, PyObject* name_map) {
    // Interned names: a fresh str per call would fill the interpreter's
    // attribute caches with strings that each error leaves behind.
    PyRef difflib(PyImport_Import(module_state.str_difflib));
    PyRef known(difflib ? PyDict_Keys(name_map) : nullptr);
    PyRef most(known ? PyLong_FromLong(3) : nullptr);
    PyRef matches(most ? PyObject_CallMethodObjArgs(difflib.get(), module_state.str_get_close_matches, name,
                                                    known.get(), most.get(), nullptr)
                       : nullptr);
    if (!matches || !PyList_Check(matches.get())) return nullptr;
    const Py_ssize_t count = PyList_GET_SIZE(matches.get());
    PyRef text;
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyRef quoted(PyObject_Repr(PyList_GET_ITEM(matches.get(), i)));
        if (!quoted) return nullptr;
        if (i == 0) text = std::move(quoted);
        else text.reset(PyUnicode_FromFormat("%U%s%U", text.get(), i + 1 == count ? " or " : ", ", quoted.get()));
        if (!text) return nullptr;
    }
    return text.release();
}

// Adds to the pending error about the unknown constructor name `name` a note
// with the closest names the schema has. Computed on this error path only;
// when no name is close or the note cannot be made, the error goes out as
// it is.
void note_close_names(PyObject* name, PyObject* name_map) {
    if (failing_for_memory()) return;
    PyRef note;
    {
        SavedException pending;
        PyRef names(close_names(name, name_map));
        if (names) note.reset(PyUnicode_FromFormat(msg::kDidYouMean, names.get()));
        PyErr_Clear();
    }
    if (note) velta::add_note_to_pending(note.get(), module_state.str_add_note);
}

void raise_unknown_name(PyObject* name, PyObject* name_map) {
    PyErr_Format(PyExc_ValueError, msg::kUnknownName, name);
    note_close_names(name, name_map);
}

// ---- strict packing ----------------------------------------------------------

// What a field that is only its flag bit may be given.
bool bit_value(PyObject* item) { return item == Py_True || item == Py_False || item == Py_None; }

// The field of `constr` that `key`, an exact str, names (flags words
// included), or -1. Keys mostly come in schema order, with the fields left
// out skipped: the search goes on from `next`, the field after the last
// match, and wraps around. Runs no interpreter code.
int32_t strict_field_named(const TLConstructor* constr, PyObject* key, int32_t next) {
    const TLField* fields = constr->fields;
    if (next < constr->field_count && (key == fields[next].py_name || key == fields[next].py_name_interned))
        return next;
    const Py_hash_t hash = PyObject_Hash(key);  // an exact str: cached, never fails
    // Not names_field: that one stays inlined where the plain pack uses it.
    auto names = [key, hash](const TLField& field) {
        return field.py_name == key || field.py_name_interned == key ||
               (field.name_hash == hash && PyUnicode_Compare(field.py_name, key) == 0);
    };
    for (int32_t i = next; i < constr->field_count; ++i)
        if (names(fields[i])) return i;
    for (int32_t i = 0; i < next && i < constr->field_count; ++i)
        if (names(fields[i])) return i;
    return -1;
}

int refuse_unknown_key(const TLConstructor* constr, PyObject* key) {
    PyErr_Format(PyExc_ValueError, msg::kStrictUnknownKey, constr->py_name, key);
    return -1;
}

// The keys of any mapping (or of a dict with keys that are not exact strs),
// compared by equality as a look-up would: from a list of them taken once,
// since comparing may run code that changes the mapping.
// The counting instance of gather, out of line, so that the plain one stays
// inlined in _write_object as it was.
[[gnu::noinline]] int Writer::gather_strict(PyObject* value, bool exact_dict, const TLConstructor* constr,
                                            Gathered& given, const NameSeen& seen) {
    return gather<true>(value, exact_dict, constr, given, seen);
}

int Writer::check_strict_keys(PyObject* value, const TLConstructor* constr) {
    PyRef keys(PyMapping_Keys(value));
    if (!keys) return -1;
    if (!PyList_CheckExact(keys.get())) return raise_expected("list", keys.get());
    for (Py_ssize_t k = 0; k < PyList_GET_SIZE(keys.get()); ++k) {
        PyRef key(velta::list_item_ref(keys.get(), k));
        if (!key) break;  // the list is private: it cannot shrink
        const int is_name = PyObject_RichCompareBool(key.get(), module_state.str_underscore, Py_EQ);
        if (is_name < 0) return -1;
        if (is_name) continue;
        int32_t at = -1;
        for (int32_t i = 0; i < constr->field_count && at < 0; ++i) {
            const int same = PyObject_RichCompareBool(key.get(), constr->fields[i].py_name, Py_EQ);
            if (same < 0) return -1;
            if (same) at = i;
        }
        if (at < 0) return refuse_unknown_key(constr, key.get());
        const TLField& field = constr->fields[at];
        if (!field.bit_only) continue;
        PyRef item(PyObject_GetItem(value, key.get()));
        if (!item) return -1;
        if (!bit_value(item.get())) {
            PyErr_Format(PyExc_ValueError, msg::kStrictBitOnly, constr->py_name, field.py_name,
                         Py_TYPE(item.get())->tp_name);
            path.record_field(field, 0);
            return -1;
        }
    }
    return 0;
}

int Writer::check_strict(PyObject* value, bool exact_dict, bool named, const TLConstructor* constr,
                         Gathered& given) {
    // Gathering matched every key but "_" to a field, and saw no odd bit:
    // nothing to refuse among the keys. Otherwise (a flags word given, a
    // key unknown, or a field named twice) they are walked again, to find
    // which key is wrong if any.
    if (exact_dict && !given.odd_bit && given.taken == PyDict_Size(value) - named) {
        // the keys are fine; on to the missing fields
    } else if (exact_dict) {
        // Under the dict's lock no interpreter code may run: what is refused
        // is noted, and raised once the walk is done.
        bool by_equality = false;
        PyObject* unknown = nullptr;      // strong, when found
        PyObject* bit_type = nullptr;     // strong: the type of a bit's bad value
        int32_t bit_field = -1;
        Py_BEGIN_CRITICAL_SECTION(value);
        Py_ssize_t position = 0;
        PyObject *key, *item;
        int32_t next = 0;
        while (PyDict_Next(value, &position, &key, &item)) {
            if (key == module_state.str_underscore) continue;
            if (!PyUnicode_CheckExact(key)) {
                by_equality = true;
                break;
            }
            const int32_t at = strict_field_named(constr, key, next);
            if (at < 0) {
                if (PyUnicode_Compare(key, module_state.str_underscore) == 0) continue;
                unknown = Py_NewRef(key);
                break;
            }
            if (constr->fields[at].bit_only && !bit_value(item)) {
                bit_field = at;
                bit_type = Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(item)));
                break;
            }
            next = at + 1;
        }
        Py_END_CRITICAL_SECTION();
        PyRef unknown_key(unknown), bad_type(bit_type);
        if (by_equality) {
            if (check_strict_keys(value, constr) < 0) return -1;
        } else if (unknown_key) {
            return refuse_unknown_key(constr, unknown_key.get());
        } else if (bad_type) {
            const TLField& field = constr->fields[bit_field];
            PyErr_Format(PyExc_ValueError, msg::kStrictBitOnly, constr->py_name, field.py_name,
                         reinterpret_cast<PyTypeObject*>(bad_type.get())->tp_name);
            path.record_field(field, 0);
            return -1;
        }
    } else if (check_strict_keys(value, constr) < 0) {
        return -1;
    }
    // Every unconditional field was kept when given; flags words are
    // computed, and a bare `true` has no value to give.
    if (given.unconditional == constr->unconditional_count) return 0;
    for (int32_t i = 0; i < constr->field_count; ++i) {
        const TLField& field = constr->fields[i];
        if (field.is_optional || field.flags_word || field.value_type->kind == TL_TYPE_TRUE || given.values[i])
            continue;
        PyErr_Format(PyExc_ValueError, msg::kStrictMissing, constr->py_name, field.py_name);
        path.record_field(field, 0);
        return -1;
    }
    return 0;
}

}  // namespace

#endif  // VELTA_TL_WRITER_STRICT_H
