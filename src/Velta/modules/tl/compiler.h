// The compiler's driver: a whole schema (dict or text) into the table.
// Part of the one translation unit tl.cpp, which includes it after the parts it
// relies on; see the code map there.
#ifndef VELTA_TL_COMPILER_H
#define VELTA_TL_COMPILER_H

namespace {

// ---- the service layer -------------------------------------------------------

// The records the service layer adds after the schema's own, which they
// replace in both maps: a schema line with one of these names or ids changes
// nothing. The message is in neither map, so a schema's own `message`
// keeps its name; only the container (and msg_copy) hold it, as "%Message".
struct ServiceEntry {
    const char* name;
    uint32_t id;
    const char* type;
    TLService service;
    const char* params[4][2];
};
constexpr ServiceEntry kServiceLayer[] = {
    {"message", 0x5BB8E511u, "Message", kServiceMessage,
     {{"msg_id", "long"}, {"seqno", "int"}, {"bytes", "int"}, {"body", "Object"}}},
    {"rpc_result", 0xF35C6D01u, "RpcResult", kServiceRpcResult, {{"req_msg_id", "long"}, {"result", "Object"}}},
    {"msg_container", 0x73F1F8DCu, "MessageContainer", kServiceNone, {{"messages", "vector<%Message>"}}},
    {"msg_copy", 0xE06046B2u, "MessageCopy", kServiceNone, {{"orig_message", "%Message"}}},
    {"gzip_packed", velta::kGzipPackedId, "Object", kServiceGzip, {{"packed_data", "bytes"}}},
};
constexpr size_t kServiceEntries = sizeof kServiceLayer / sizeof kServiceLayer[0];

int add_service_layer(TLSchemaCompilerObject* self) {
    TLSchema* schema = self->_schema;
    TextCache texts(schema);
    const int32_t first = schema->constructor_count - static_cast<int32_t>(kServiceEntries);
    for (size_t i = 0; i < kServiceEntries; ++i) {
        const ServiceEntry& entry = kServiceLayer[i];
        PyRef params(PyList_New(0));
        if (!params) return -1;
        for (const auto& param : entry.params) {
            if (!param[0]) break;
            PyRef item(Py_BuildValue("{s:s,s:s}", "name", param[0], "type", param[1]));
            if (!item || PyList_Append(params.get(), item.get()) < 0) return -1;
        }
        PyRef data(Py_BuildValue("{s:s,s:k,s:s,s:O}", "predicate", entry.name, "id", static_cast<unsigned long>(entry.id),
                                 "type", entry.type, "params", params.get()));
        const int32_t index = first + static_cast<int32_t>(i);
        if (!data || !compiler_create_constructor(self, data.get(), index, texts)) return -1;
        TLConstructor* constr = &schema->constructors[index];
        constr->service = entry.service;
        if (entry.service == kServiceMessage) schema->service_message = constr;
        else if (index_constructor(self, index) < 0) return -1;
    }
    return 0;
}

// Replaces the compiler's table with an empty one for `count` entries, the
// first `constructor_entries` of them from "constructors".
int start_table(TLSchemaCompilerObject* self, size_t count, size_t constructor_entries) {
    if (self->_conventions.service_layer) count += kServiceEntries;
    // A compiler holds one table: an earlier one is released before the next.
    compiler_free_schema(self);
    TLSchema* schema = static_cast<TLSchema*>(calloc(1, sizeof(TLSchema)));
    if (!schema) {
        PyErr_SetString(PyExc_MemoryError, msg::kSchemaMemory);
        return -1;
    }
    self->_schema = schema;
    // calloc(0) may legitimately return null; one spare record keeps "no
    // memory" unambiguous.
    if (count > INT32_MAX || !(schema->constructors = static_cast<TLConstructor*>(calloc(count + 1, sizeof(TLConstructor))))) {
        compiler_free_schema(self);
        PyErr_SetString(PyExc_MemoryError, msg::kConstructorsMemory);
        return -1;
    }
    schema->constructor_count = static_cast<int32_t>(count);
    schema->constructor_entries = static_cast<int32_t>(constructor_entries);
    schema->conventions = self->_conventions;
    return (self->_name_map = PyDict_New()) ? 0 : -1;
}

// What is derived once every record is built and indexed.
int finish_table(TLSchemaCompilerObject* self) {
    if (self->_conventions.service_layer && add_service_layer(self) < 0) return -1;
    if (resolve_value_types(self) < 0) return -1;
    TLSchema* schema = self->_schema;
    link_fields(schema);
    if (!self->_name_table.build(schema->constructors, schema->constructor_count, self->_name_map)) {
        PyErr_NoMemory();
        return -1;
    }
    return 0;
}

// ---- schema text read directly ---------------------------------------------
// Text of the usual shape (see schema_text.h) is read without the JSON
// decoder: no tree of interpreter objects is built and thrown away, and each
// distinct name becomes one interned str however often it appears.

// The name an entry goes by: "predicate", else "method", else "type", else
// empty, by presence of the key (an empty predicate still wins).
std::string_view entry_name(const velta::schema_text::Entry& entry) {
    if (entry.predicate.data()) return entry.predicate;
    if (entry.method.data()) return entry.method;
    if (entry.type.data()) return entry.type;
    return std::string_view("", 0);
}

int build_plain_field(TLSchemaCompilerObject* self, TextCache& texts, TLConstructor* constr, int32_t index,
                      const velta::schema_text::Param& param, FieldWords& words) {
    TLField* field = &constr->fields[index];
    TextCache::Text* name_text = texts.find(param.name);
    PyObject* name = name_text ? TextCache::name(name_text, nullptr) : nullptr;
    if (!name) return -1;
    field->name = name_text->copy;
    field->py_name = Py_NewRef(name);
    field->py_name_interned = Py_NewRef(name);
    field->name_hash = name_text->hash;
    TextCache::Text* type = texts.find(param.type);
    if (!type) return -1;
    field->type = TextCache::kind(type);
    field->type_name = type->copy;
    return finish_field(self, constr, index, param.type, words);
}

int build_plain_constructor(TLSchemaCompilerObject* self, TextCache& texts, const velta::schema_text::Schema& read,
                            const velta::schema_text::Entry& entry, int32_t index) {
    // Failures show the same traceback entry as those of an entry given as a dict.
    Operation op("Velta.tl.TLSchemaCompiler._create_constructor");
    TLConstructor* constr = &self->_schema->constructors[index];
    const std::string_view name = entry_name(entry);
    TextCache::Text* name_text = texts.find(name);
    PyObject* py_name = name_text ? TextCache::name(name_text, nullptr) : nullptr;
    if (!py_name) return op.fail(__LINE__);
    constr->name = name_text->copy;
    constr->py_name = Py_NewRef(py_name);
    constr->py_name_interned = Py_NewRef(py_name);
    // Without a result type the entry is its own type.
    TextCache::Text* type = entry.type.empty() ? name_text : texts.find(entry.type);
    if (!type) return op.fail(__LINE__);
    constr->type = type->copy;
    constr->id = entry.id;
    if (allocate_fields(constr, entry.param_count) < 0) return op.fail(__LINE__);
    if (entry.param_count == 0) return 0;
    FieldWords words;
    for (uint32_t i = 0; i < entry.param_count; ++i)
        if (build_plain_field(self, texts, constr, static_cast<int32_t>(i), read.params[entry.first_param + i], words) < 0)
            return op.fail(__LINE__);
    finish_constructor(self, constr);
    return 0;
}

// Compiles a schema given as exact str text of the usual shape: 1 when done,
// -1 with an exception set, 0 when the text is of another shape and must go
// to the JSON decoder (then nothing is changed and nothing is set).
int compile_plain_text(TLSchemaCompilerObject* self, PyObject* text) {
    if (!velta::str_readable(text) || !PyUnicode_IS_ASCII(text)) return 0;
    const std::string_view chars(static_cast<const char*>(PyUnicode_DATA(text)), static_cast<size_t>(PyUnicode_GET_LENGTH(text)));
    velta::schema_text::Schema read;
    switch (velta::schema_text::Reader(chars).read(&read)) {
        case velta::schema_text::Outcome::kRead:
            break;
        case velta::schema_text::Outcome::kDeclined:
            return 0;
        case velta::schema_text::Outcome::kNoMemory:
            PyErr_NoMemory();
            return -1;
    }
    const size_t constructors = read.constructors.size();
    if (start_table(self, constructors + read.methods.size(), constructors) < 0) return -1;
    TextCache texts(self->_schema);
    int32_t index = 0;
    for (const auto* entries : {&read.constructors, &read.methods}) {
        for (size_t i = 0; i < entries->size(); ++i) {
            const velta::schema_text::Entry& entry = (*entries)[i];
            if (build_plain_constructor(self, texts, read, entry, index) < 0 || index_constructor(self, index) < 0)
                return -1;
            ++index;
        }
    }
    return finish_table(self) < 0 ? -1 : 1;
}

// Whether the module's `json` and its `loads` are still the ones it found at
// initialisation: a replacement must be called, so text goes to it.
bool json_decoder_is_ours(PyObject* json, PyObject* loads) {
    return json == module_state.json_module && loads == module_state.json_loads;
}

int compiler_parse_json_schema(TLSchemaCompilerObject* self, PyObject* json_data) {
    Operation op("Velta.tl.TLSchemaCompiler._parse_json_schema");
    PyRef schema_dict;
    if (PyUnicode_Check(json_data)) {
        PyRef json(lookup_global(module_state.str_json));
        if (!json) return op.fail(__LINE__);
        PyRef loads(PyObject_GetAttr(json.get(), module_state.str_loads));
        if (!loads) return op.fail(__LINE__);
        if (PyUnicode_CheckExact(json_data) && json_decoder_is_ours(json.get(), loads.get())) {
            const int compiled = compile_plain_text(self, json_data);
            if (compiled != 0) return compiled < 0 ? op.fail(__LINE__) : 0;
        }
        schema_dict.reset(PyObject_CallOneArg(loads.get(), json_data));
        if (!schema_dict) return op.fail(__LINE__);
    } else {
        schema_dict = PyRef::borrow(json_data);
    }
    if (schema_dict.get() != Py_None && !PyDict_CheckExact(schema_dict.get())) {
        raise_expected("dict", schema_dict.get());
        return op.fail(__LINE__);
    }
    if (schema_dict.get() == Py_None) {
        raise_none_attribute("get");
        return op.fail(__LINE__);
    }
    Py_ssize_t constructor_entries = 0;
    PyRef entries(combined_entries(schema_dict.get(), &constructor_entries));
    if (!entries) return op.fail(__LINE__);
    const Py_ssize_t count = PyList_GET_SIZE(entries.get());
    if (start_table(self, static_cast<size_t>(count), static_cast<size_t>(constructor_entries)) < 0)
        return op.fail(__LINE__);
    TextCache texts(self->_schema);
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject* constr_data = PyList_GET_ITEM(entries.get(), i);  // the list is ours
        if (constr_data != Py_None && !PyDict_CheckExact(constr_data)) {
            raise_expected("dict", constr_data);
            return op.fail(__LINE__);
        }
        if (!compiler_create_constructor(self, constr_data, static_cast<int32_t>(i), texts)) return op.fail(__LINE__);
        if (index_constructor(self, static_cast<int32_t>(i)) < 0) return op.fail(__LINE__);
    }
    if (finish_table(self) < 0) return op.fail(__LINE__);
    return 0;
}

}  // namespace

#endif  // VELTA_TL_COMPILER_H
