// The compiler, entry by entry: one schema entry and its params into one record.
// Part of the one translation unit tl.cpp, which includes it after the parts it
// relies on; see the code map there.
#ifndef VELTA_TL_COMPILER_ENTRIES_H
#define VELTA_TL_COMPILER_ENTRIES_H

namespace {


// `mapping.get(key, default)` for an exact dict, as a new reference (the
// schema dict is the caller's, so nothing borrowed from it is kept).
PyRef dict_get(PyObject* dict, PyObject* key, PyObject* fallback) {
    PyObject* found;
    const int present = velta::dict_get_ref(dict, key, &found);
    if (present < 0) return PyRef();
    return present ? PyRef(found) : PyRef::borrow(fallback);
}

// d[key] for an exact dict, with KeyError when absent.
PyRef dict_item(PyObject* dict, PyObject* key) {
    PyObject* found;
    const int present = velta::dict_get_ref(dict, key, &found);
    if (present == 0) PyErr_SetObject(PyExc_KeyError, key);
    return PyRef(present > 0 ? found : nullptr);
}

bool is_str_or_none(PyObject* obj) { return obj == Py_None || PyUnicode_CheckExact(obj); }

void compiler_free_schema(TLSchemaCompilerObject* self) {
    if (TLSchema* schema = std::exchange(self->_schema, nullptr)) {
        for (int32_t i = 0; schema->constructors && i < schema->constructor_count; ++i) {
            TLConstructor& constr = schema->constructors[i];
            for (int32_t j = 0; constr.fields && j < constr.field_count; ++j) {
                TLField& field = constr.fields[j];
                Py_CLEAR(field.py_name);
                Py_CLEAR(field.py_name_interned);
            }
            free(constr.fields);
            free(constr.name_index);
            Py_CLEAR(constr.py_name);
            Py_CLEAR(constr.py_name_interned);
            Py_CLEAR(constr.py_template);
        }
        free(schema->constructors);
        for (TLValueType* type = schema->value_types; type;) free(std::exchange(type, type->next));
        free_text_blocks(schema);
        free(schema);
    }
    self->_id_map.clear();
    self->_name_table.clear();
    Py_CLEAR(self->_name_map);
}

TLType compiler_parse_type(TLSchemaCompilerObject*, PyObject* type_str) {
    Operation op("Velta.tl.TLSchemaCompiler._parse_type");
    if (type_str == Py_None) {
        PyErr_SetString(PyExc_TypeError, msg::kNoneNotIterable);
        op.fail(__LINE__);
        return TL_TYPE_INT;
    }
    Py_ssize_t size;
    const char* utf8 = PyUnicode_AsUTF8AndSize(type_str, &size);
    if (!utf8) {
        op.fail(__LINE__);
        return TL_TYPE_INT;
    }
    return classify_type_text(std::string_view(utf8, static_cast<size_t>(size)));
}

// The common case of a bit number: one to four ASCII digits, nothing else.
bool parse_small_decimal(std::string_view text, long* out) {
    constexpr size_t kMaxDigits = 4;
    if (text.empty() || text.size() > kMaxDigits) return false;
    long value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') return false;
        value = value * 10 + (c - '0');
    }
    *out = value;
    return true;
}

// The bit number of a condition the way int() reads it: sign, white space,
// underscores and non-ASCII digits included; it must fit a 32-bit int.
int parse_bit_text(std::string_view bit_text, long* out) {
    PyRef text(PyUnicode_DecodeUTF8(bit_text.data(), static_cast<Py_ssize_t>(bit_text.size()), "strict"));
    if (!text) return -1;
    PyRef number(PyLong_FromUnicodeObject(text.get(), 10));
    long long bit;
    if (!number || int_in_range(number.get(), INT32_MIN, INT32_MAX, "int", &bit) < 0) return -1;
    *out = static_cast<long>(bit);
    return 0;
}

// The flags words among the fields of one entry built so far, so that each
// condition finds its word at once, however many fields came before it.
// Fields are built in order; each is added once its condition is read.
class FieldWords {
public:
    // Default mode: whether a field named "flags" ("flags2") came before.
    bool declares(bool second) const { return second ? flags2_ : flags_; }
    // Standard mode: the slot of the latest "#" field named `word`, or -1.
    int32_t slot(std::string_view word) const {
        const auto found = slots_.find(word);
        return found == slots_.end() ? -1 : found->second;
    }
    // False with MemoryError when the field cannot be noted.
    bool add(const TLField& field, bool words_by_type) {
        const std::string_view name(field.name);  // up to a NUL, as conditions compare it
        if (!words_by_type) {
            flags_ = flags_ || name == "flags";
            flags2_ = flags2_ || name == "flags2";
            return true;
        }
        if (!field.flags_word) return true;
        try {
            slots_.insert_or_assign(name, field.flags_word - 1);
        } catch (const std::bad_alloc&) {
            PyErr_NoMemory();
            return false;
        }
        return true;
    }

private:
    bool flags_ = false;
    bool flags2_ = false;
    std::unordered_map<std::string_view, int32_t> slots_;  // names point into the field texts
};

// Where every "#" field is a word, the word of a condition is one declared earlier.
int refuse_condition_word(const TLField* field, std::string_view word) {
    PyErr_Format(PyExc_ValueError, msg::kConditionWord,
                 field->py_name, std::string(word).c_str());
    return -1;
}

// Fills the condition of field `index` from the text before the first "?"
// of its type text: "W.N" names flags word W and bit N.
int parse_condition(TLConstructor* constr, int32_t index, std::string_view condition, bool words_by_type,
                    const FieldWords& words) {
    TLField* field = &constr->fields[index];
    const size_t dot = condition.find('.');
    if (dot == std::string_view::npos) {  // optional, but tied to no word
        return words_by_type ? refuse_condition_word(field, condition) : 0;
    }
    if (condition.find('.', dot + 1) != std::string_view::npos) {
        PyErr_Format(PyExc_ValueError, msg::kTooManyDots, static_cast<Py_ssize_t>(2));
        return -1;
    }
    const std::string_view word = condition.substr(0, dot);
    const std::string_view bit_text = condition.substr(dot + 1);
    long bit = 0;
    if (!parse_small_decimal(bit_text, &bit) && parse_bit_text(bit_text, &bit) < 0) return -1;
    field->flag_info.bit_position = static_cast<int32_t>(bit);
    if (words_by_type) {
        const int32_t slot = words.slot(word);
        if (slot < 0) return refuse_condition_word(field, word);
        field->flag_info.flags_index = slot;
        (slot == 0 ? constr->has_flags : constr->has_flags2) = 1;
        return 0;
    }
    field->flag_info.flags_index = word == "flags2" ? 1 : 0;
    (word == "flags2" ? constr->has_flags2 : constr->has_flags) = 1;
    return 0;
}

using velta::schema_text::parse_plain_decimal;
using velta::schema_text::wire_id_of;

// The id of an exact int or of an exact ASCII str of plain decimal digits,
// read without the interpreter's number protocol; false for anything else.
bool plain_constructor_id(PyObject* raw, uint32_t* out) {
    long long value;
    if (PyLong_CheckExact(raw)) {
        int overflow = 0;
        value = PyLong_AsLongLongAndOverflow(raw, &overflow);
        if (overflow) return false;  // cannot fail otherwise for an exact int
    } else if (PyUnicode_CheckExact(raw) && velta::str_readable(raw) && PyUnicode_IS_ASCII(raw)) {
        const auto* digits = static_cast<const char*>(PyUnicode_DATA(raw));
        if (!parse_plain_decimal(std::string_view(digits, static_cast<size_t>(PyUnicode_GET_LENGTH(raw))), &value))
            return false;
    } else {
        return false;
    }
    return wire_id_of(value, out);
}

// Converts an entry's "id" to the unsigned 32-bit wire identifier: any value
// int() accepts, negatives reduced modulo 2**32, positives must fit.
int convert_constructor_id(PyObject* raw, uint32_t* out) {
    if (plain_constructor_id(raw, out)) return 0;
    PyRef number = PyLong_CheckExact(raw) ? PyRef::borrow(raw) : PyRef(PyNumber_Long(raw));
    if (!number) return -1;
    const int negative = PyObject_RichCompareBool(number.get(), module_state.int_zero, Py_LT);
    if (negative < 0) return -1;
    if (negative) {
        number.reset(PyNumber_And(number.get(), module_state.mask32));
        if (!number) return -1;
    }
    long long value;
    if (int_in_range(number.get(), 0, 0xFFFFFFFFll, "uint32_t", &value) < 0) return -1;
    *out = static_cast<uint32_t>(value);
    return 0;
}

// Completes field `index` of `constr`, whose names, kind and type text are
// set, from the whole type text: its flags word and its condition. `words`
// holds the fields before it and takes this one.
int finish_field(TLSchemaCompilerObject* self, TLConstructor* constr, int32_t index, std::string_view text,
                 FieldWords& words) {
    TLField* field = &constr->fields[index];
    const TLConventions& conventions = self->_conventions;
    // Flags words: every "#" field, each a word of its own, or the fields
    // named "flags" and "flags2".
    if (conventions.words_by_type) {
        if (text == "#") {
            field->flags_word = ++constr->word_count;
            field->word_valued = conventions.words_have_values;
        }
    } else if (strcmp(field->name, "flags") == 0) {
        field->flags_word = 1;
    } else if (strcmp(field->name, "flags2") == 0) {
        field->flags_word = 2;
    }
    const size_t question = text.find('?');
    if (question == std::string_view::npos) return words.add(*field, conventions.words_by_type) ? 0 : -1;
    field->is_optional = 1;
    ++constr->conditional_count;
    field->bit_only = velta::strip_condition(text) == "true" ||
                      (conventions.bool_condition_bit_only && field->type == TL_TYPE_BOOL);
    if (parse_condition(constr, index, text.substr(0, question), conventions.words_by_type, words) < 0) return -1;
    const int32_t bit = field->flag_info.bit_position;
    field->flag_mask = bit >= 0 && bit < velta::kFlagsWordBits ? (1u << bit) : 0u;
    // The bit lives in the word named "flags" (or "flags2"), which pack
    // writes where that field stands and unpack reads there. Unless it stands
    // before this field, a reader decides on this field before it has the
    // word: such a value cannot be packed. (Where every "#" field is a word,
    // such a schema is refused outright.)
    field->word_declared = conventions.words_by_type || words.declares(field->flag_info.flags_index != 0);
    return words.add(*field, conventions.words_by_type) ? 0 : -1;
}

// Builds field `index` of `constr` from one parameter object.
int build_field(TLSchemaCompilerObject* self, TextCache& texts, TLConstructor* constr, int32_t index, PyObject* param,
                FieldWords& words) {
    TLField* field = &constr->fields[index];
    if (param == Py_None) {
        PyErr_SetString(PyExc_TypeError, msg::kNoneNotSubscriptable);
        return -1;
    }
    if (!PyDict_CheckExact(param)) return raise_expected("dict", param);
    PyRef name = dict_item(param, module_state.str_name);
    if (!name) return -1;
    if (!is_str_or_none(name.get())) return raise_expected("str", name.get());
    PyRef type_text = dict_item(param, module_state.str_type);
    if (!type_text) return -1;
    if (!is_str_or_none(type_text.get())) return raise_expected("str", type_text.get());
    if (name.get() == Py_None) return raise_none_attribute("encode");
    const std::string_view name_utf8 = utf8_of(name.get());
    TextCache::Text* name_text = name_utf8.data() ? texts.find(name_utf8) : nullptr;
    if (!name_text) return -1;
    field->name = name_text->copy;  // read as a C string: up to a NUL
    field->py_name = Py_NewRef(name.get());
    // Dict keys are mostly this very object (from unpack, or from the schema
    // the caller built) or its interned twin (literals in code).
    PyObject* twin = TextCache::name(name_text, name.get());
    if (!twin) return -1;
    field->py_name_interned = Py_NewRef(twin);
    field->name_hash = name_text->hash;  // equal exact strs hash alike

    if (type_text.get() == Py_None) {
        compiler_parse_type(self, type_text.get());  // raises what a None type text raises
        return -1;
    }
    const std::string_view text = utf8_of(type_text.get());
    if (!text.data()) {
        // A type text that has no UTF-8 is the type parser's failure, as it
        // was when the parser read every type text itself.
        Operation op("Velta.tl.TLSchemaCompiler._parse_type");
        return op.fail(__LINE__);
    }
    TextCache::Text* type = texts.find(text);
    if (!type) return -1;
    field->type = TextCache::kind(type);
    field->type_name = type->copy;
    return finish_field(self, constr, index, text, words);
}

// Whether no two fields share a name and none is "_" (checked for the usual
// sizes; larger entries are taken as not distinct, which is only slower).
bool names_are_distinct(const TLConstructor* constr) {
    constexpr int32_t kMostChecked = 256;
    if (constr->field_count > kMostChecked) return false;
    for (int32_t i = 0; i < constr->field_count; ++i) {
        PyObject* name = constr->fields[i].py_name_interned;
        if (name == module_state.str_underscore) return false;
        for (int32_t j = 0; j < i; ++j)  // equal interned strings are one object
            if (constr->fields[j].py_name_interned == name) return false;
    }
    return true;
}

// The entry's name as the str that names it in dicts: the name itself, or
// its text up to a NUL (where the C copy stops).
PyObject* name_object(PyObject* name, const char* copied) {
    const Py_ssize_t length = static_cast<Py_ssize_t>(strlen(copied));
    if (length == PyUnicode_GET_LENGTH(name) && PyUnicode_IS_ASCII(name)) return Py_NewRef(name);
    return PyUnicode_DecodeUTF8(copied, length, "strict");
}

// Gives `constr` room for `count` zeroed fields (none when 0).
int allocate_fields(TLConstructor* constr, Py_ssize_t count) {
    if (count > INT32_MAX) {
        PyErr_SetString(PyExc_OverflowError, msg::kTooManyParams);
        return -1;
    }
    constr->field_count = static_cast<int32_t>(count);
    if (count == 0) return 0;
    constr->fields = static_cast<TLField*>(calloc(static_cast<size_t>(count), sizeof(TLField)));
    if (!constr->fields) {
        PyErr_NoMemory();
        return -1;
    }
    return 0;
}

// The bits of each word that its conditional fields decide, gathered per
// word slot first so that this stays linear in the number of fields.
void note_used_bits(TLConstructor* constr) {
    int32_t slots = 0;
    for (int32_t i = 0; i < constr->field_count; ++i) {
        const TLField& field = constr->fields[i];
        slots = std::max(slots, static_cast<int32_t>(field.flags_word));
        if (field.is_optional && field.flag_mask) slots = std::max(slots, field.flag_info.flags_index + 1);
    }
    if (slots == 0) return;
    std::vector<uint32_t> bits;
    try {
        bits.assign(static_cast<size_t>(slots), 0u);
    } catch (const std::bad_alloc&) {
        // Without room for the table, the same answer the long way.
        for (int32_t i = 0; i < constr->field_count; ++i) {
            const TLField& field = constr->fields[i];
            if (!field.is_optional || !field.flag_mask) continue;
            for (int32_t j = 0; j < constr->field_count; ++j)
                if (constr->fields[j].flags_word == field.flag_info.flags_index + 1)
                    constr->fields[j].used_bits |= field.flag_mask;
        }
        return;
    }
    for (int32_t i = 0; i < constr->field_count; ++i) {
        const TLField& field = constr->fields[i];
        if (field.is_optional && field.flag_mask) bits[static_cast<size_t>(field.flag_info.flags_index)] |= field.flag_mask;
    }
    for (int32_t j = 0; j < constr->field_count; ++j)
        if (constr->fields[j].flags_word) constr->fields[j].used_bits |= bits[constr->fields[j].flags_word - 1u];
}

// Constructors with more fields than this get a name index; the fields of
// the others are scanned.
constexpr int32_t kIndexedFieldsFrom = 9;

// The fields of a walkable constructor by the hash of their names (see
// TLConstructor::name_index). Without memory for it, keys are matched by a
// scan instead, so a failed allocation is no error.
void index_field_names(TLConstructor* constr) {
    free(std::exchange(constr->name_index, nullptr));
    constr->name_index_mask = 0;
    if (!constr->walkable || constr->field_count < kIndexedFieldsFrom) return;
    uint32_t size = 16;
    while (size < 2u * static_cast<uint32_t>(constr->field_count)) size *= 2;  // at most half full
    auto* slots = static_cast<uint16_t*>(calloc(size, sizeof(uint16_t)));
    if (!slots) return;
    for (int32_t i = 0; i < constr->field_count; ++i) {
        uint32_t at = static_cast<uint32_t>(constr->fields[i].name_hash);
        while (slots[at & (size - 1)]) ++at;
        slots[at & (size - 1)] = static_cast<uint16_t>(i + 1);
    }
    constr->name_index = slots;
    constr->name_index_mask = size - 1;
}

// What is derived from all the fields of an entry that has some.
void finish_constructor(TLSchemaCompilerObject* self, TLConstructor* constr) {
    constr->walkable = names_are_distinct(constr);
    index_field_names(constr);
    // By default the words are "flags" and "flags2", whichever are there.
    if (!self->_conventions.words_by_type && (constr->conditional_count || constr->has_flags || constr->has_flags2)) constr->word_count = 2;
    for (int32_t i = 0; !self->_conventions.words_by_type && i < constr->field_count; ++i)
        if (constr->fields[i].flags_word) constr->word_count = 2;
    note_used_bits(constr);
}

TLConstructor* compiler_create_constructor(TLSchemaCompilerObject* self, PyObject* constr_data, int32_t index,
                                           TextCache& texts) {
    Operation op("Velta.tl.TLSchemaCompiler._create_constructor");
    TLConstructor* constr = &self->_schema->constructors[index];

    if (constr_data == Py_None) {
        raise_none_attribute("get");
        return op.fail(__LINE__);
    }
    // The name falls back by presence of the key: predicate, method, type.
    PyRef result_type = dict_get(constr_data, module_state.str_type, module_state.empty_str);
    if (!result_type) return op.fail(__LINE__);
    PyRef name = dict_get(constr_data, module_state.str_method, result_type.get());
    if (!name) return op.fail(__LINE__);
    name = dict_get(constr_data, module_state.str_predicate, name.get());
    if (!name) return op.fail(__LINE__);
    if (!is_str_or_none(name.get())) {
        raise_expected("str", name.get());
        return op.fail(__LINE__);
    }
    if (!is_str_or_none(result_type.get())) {
        raise_expected("str", result_type.get());
        return op.fail(__LINE__);
    }
    PyRef params = dict_get(constr_data, module_state.str_params, nullptr);
    if (!params && !PyErr_Occurred()) params.reset(PyList_New(0));
    if (!params) return op.fail(__LINE__);
    if (params.get() != Py_None && !PyList_CheckExact(params.get())) {
        raise_expected("list", params.get());
        return op.fail(__LINE__);
    }
    if (name.get() == Py_None) {
        raise_none_attribute("encode");
        return op.fail(__LINE__);
    }
    if (!(constr->name = copy_utf8(self->_schema, name.get()))) return op.fail(__LINE__);
    if (!(constr->py_name = name_object(name.get(), constr->name))) return op.fail(__LINE__);
    constr->py_name_interned = interned(constr->py_name);
    const bool typed = result_type.get() != Py_None && PyUnicode_GET_LENGTH(result_type.get()) > 0;
    // Without a result type the entry is its own type: the text is shared.
    if (!(constr->type = typed ? copy_utf8(self->_schema, result_type.get()) : constr->name)) return op.fail(__LINE__);

    PyRef raw_id = dict_get(constr_data, module_state.str_id, module_state.int_zero);
    if (!raw_id || convert_constructor_id(raw_id.get(), &constr->id) < 0) return op.fail(__LINE__);

    if (params.get() == Py_None) {
        raise_none_length();
        return op.fail(__LINE__);
    }
    const Py_ssize_t count = PyList_GET_SIZE(params.get());
    if (allocate_fields(constr, count) < 0) return op.fail(__LINE__);
    if (count == 0) return constr;
    FieldWords words;
    for (Py_ssize_t i = 0; i < count; ++i) {
        // Interpreter code can run while a field is built (a str subclass key
        // comparing itself); the list must keep the length the array has.
        PyRef param(velta::list_item_ref(params.get(), i));
        if (!param || PyList_GET_SIZE(params.get()) != count) {
            PyErr_SetString(PyExc_RuntimeError, msg::kParamsChanged);
            return op.fail(__LINE__);
        }
        if (build_field(self, texts, constr, static_cast<int32_t>(i), param.get(), words) < 0) return op.fail(__LINE__);
    }
    finish_constructor(self, constr);
    return constr;
}

// Looks up a module global the way Python code in the module would: the
// module's namespace first, then the built-ins.
PyObject* lookup_global(PyObject* name) {
    PyObject* found = nullptr;
    if (module_state.globals && velta::dict_get_ref(module_state.globals, name, &found) != 0) return found;
    PyObject* builtins = module_state.builtins ? PyModule_GetDict(module_state.builtins) : nullptr;
    if (builtins && velta::dict_get_ref(builtins, name, &found) != 0) return found;
    if (!PyErr_Occurred()) PyErr_Format(PyExc_NameError, msg::kNameUndefined, name);
    return nullptr;
}

// The entry list of a schema: every "constructors" entry, then every
// "methods" entry, in a private list so the caller's dict is left alone.
PyObject* combined_entries(PyObject* schema_dict, Py_ssize_t* constructor_entries) {
    PyRef constructors = dict_get(schema_dict, module_state.str_constructors, nullptr);
    if (!constructors && !PyErr_Occurred()) constructors.reset(PyList_New(0));
    if (!constructors) return nullptr;
    if (constructors.get() != Py_None && !PyList_CheckExact(constructors.get())) return raise_expected("list", constructors.get());
    if (constructors.get() == Py_None) return raise_none_attribute("extend");
    PyRef entries(PyList_GetSlice(constructors.get(), 0, PY_SSIZE_T_MAX));
    if (!entries) return nullptr;
    *constructor_entries = PyList_GET_SIZE(entries.get());
    PyRef methods = dict_get(schema_dict, module_state.str_methods, nullptr);
    if (!methods) return PyErr_Occurred() ? nullptr : entries.release();
    PyRef iterator(PyObject_GetIter(methods.get()));
    if (!iterator) return nullptr;
    while (PyRef item{PyIter_Next(iterator.get())})
        if (PyList_Append(entries.get(), item.get()) < 0) return nullptr;
    if (PyErr_Occurred()) return nullptr;
    return entries.release();
}

// Enters record `index` into both maps; a later entry with the same key wins.
int index_constructor(TLSchemaCompilerObject* self, int32_t index) {
    TLConstructor* constr = &self->_schema->constructors[index];
    try {
        self->_id_map.insert_or_assign(constr->id, constr);
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return -1;
    }
    PyRef position(PyLong_FromLong(index));
    if (!position) return -1;
    return PyDict_SetItem(self->_name_map, constr->py_name, position.get());
}

}  // namespace

#endif  // VELTA_TL_COMPILER_ENTRIES_H
