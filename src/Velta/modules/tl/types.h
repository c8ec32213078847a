// The two exported types, TLSchemaCompiler and TLParser, and their public methods.
// Part of the one translation unit tl.cpp, which includes it after the parts it
// relies on; see the code map there.
#ifndef VELTA_TL_TYPES_H
#define VELTA_TL_TYPES_H

namespace {

// The two types


// ---- TLSchemaCompiler --------------------------------------------------------

PyObject* compiler_alloc(PyTypeObject* type) {
    PyObject* obj = type->tp_alloc(type, 0);
    if (!obj) return nullptr;
    auto* self = reinterpret_cast<TLSchemaCompilerObject*>(obj);
    self->_schema = nullptr;
    self->_name_map = nullptr;
    self->_conventions = conventions_row(false);
    new (&self->_id_map) IdMap();
    new (&self->_name_table) NameTable();
    new (&self->_state) std::atomic<int>(kCompilerIdle);
    return obj;
}

// The compiler takes no parameters: whatever a call passes is ignored.
PyObject* compiler_new(PyTypeObject* type, PyObject*, PyObject*) { return compiler_alloc(type); }

PyObject* compiler_vectorcall(PyObject* type, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    if (type != reinterpret_cast<PyObject*>(&TLSchemaCompilerType))
        return call_type_classic(type, args, nargsf, kwnames);
    return compiler_alloc(&TLSchemaCompilerType);
}

void compiler_dealloc(PyObject* obj) {
    auto* self = reinterpret_cast<TLSchemaCompilerObject*>(obj);
    {
        SavedException pending;  // releasing the table runs no interpreter code
        compiler_free_schema(self);
    }
    self->_id_map.~IdMap();
    self->_name_table.~NameTable();
    Py_TYPE(obj)->tp_free(obj);
}

PyObject* compiler_compile(PyObject* obj, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* json_data = nullptr;
    ArgBinder binder("compile", &module_state.str_json_data, 1, &json_data);
    if (binder.bind_vector(args, nargs, kwnames) < 0) return nullptr;
    auto* self = reinterpret_cast<TLSchemaCompilerObject*>(obj);
    int state = kCompilerIdle;
    if (!self->_state.compare_exchange_strong(state, kCompilerCompiling, std::memory_order_acq_rel)) {
        PyErr_SetString(PyExc_RuntimeError, state == kCompilerCompiling ? msg::kCompilerBusy : msg::kCompilerInUse);
        return nullptr;
    }
    const int status = compiler_parse_json_schema(self, json_data);
    self->_state.store(kCompilerIdle, std::memory_order_release);
    if (status < 0) {
        add_traceback("Velta.tl.TLSchemaCompiler.compile", __LINE__);
        return nullptr;
    }
    Py_RETURN_NONE;
}

PyMethodDef compiler_methods[] = {
    {"compile", as_method(compiler_compile),
     METH_FASTCALL | METH_KEYWORDS,
     PyDoc_STR("compile($self, /, json_data)\n--\n\n"
               "Build the constructor table from a schema.\n\n"
               "json_data is JSON text (a str) or an already decoded dict with the lists\n"
               "\"constructors\" and \"methods\". Each entry has \"predicate\" (or \"method\"),\n"
               "\"id\", \"type\" and \"params\" ([{\"name\": ..., \"type\": ...}, ...]). A later\n"
               "entry with the same id or name replaces an earlier one. The caller's dict\n"
               "is not modified. Compiling again replaces the whole table.\n\n"
               "Raises TypeError, ValueError, AttributeError, KeyError or OverflowError for\n"
               "a malformed schema, and the JSON decoder's error for invalid text.")},
    VELTA_PICKLING_REFUSED,
};

void setup_compiler_type(PyTypeObject* type) {
    type->tp_name = "Velta.tl.TLSchemaCompiler";
    type->tp_basicsize = sizeof(TLSchemaCompilerObject);
    type->tp_dealloc = compiler_dealloc;
    type->tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE;
    type->tp_doc = PyDoc_STR("TLSchemaCompiler(*args, **kwargs)\n--\n\n"
                             "Compiles a JSON TL schema into the table a TLParser works from.\n"
                             "Arguments are accepted and ignored; see compile().");
    type->tp_methods = compiler_methods;
    type->tp_new = compiler_new;
    type->tp_vectorcall = compiler_vectorcall;
}

// ---- TLParser ----------------------------------------------------------------

// A buffer export, released when the call ends.
struct BufferView {
    Py_buffer buffer;
    bool held = false;
    BufferView() = default;
    BufferView(const BufferView&) = delete;
    BufferView& operator=(const BufferView&) = delete;
    ~BufferView() {
        if (held) PyBuffer_Release(&buffer);
    }
};

int check_ready(const TLParserObject* self, const char* method) {
    if (VELTA_UNLIKELY(self->_compiler == Py_None || !self->_schema)) {
        PyErr_Format(PyExc_RuntimeError, msg::kNoSchema, method);
        return -1;
    }
    return 0;
}

// The keyword-only options of TLParser, as given (null when left out).
struct ParserOptions {
    PyObject* standard = nullptr;
    PyObject* strings = nullptr;
    PyObject* wide_ints = nullptr;
    PyObject* strict = nullptr;
    PyObject* max_inflated = nullptr;
};

// max_inflated=: a non-negative int (bytes); larger than any buffer can be
// means no bound.
int max_inflated_option(PyObject* given, size_t* out) {
    if (!given) return 0;
    if (!PyLong_Check(given) || PyBool_Check(given)) {
        raise_expected("int", given);
        return -1;
    }
    int overflow = 0;
    const long long value = PyLong_AsLongLongAndOverflow(given, &overflow);
    if (value == -1 && !overflow && PyErr_Occurred()) return -1;
    if (overflow < 0 || (!overflow && value < 0)) {
        PyErr_SetString(PyExc_ValueError, msg::kMaxInflatedNegative);
        return -1;
    }
    // Room for one byte more than the bound is asked of zlib, as a Py_ssize_t.
    constexpr long long kLargest = PY_SSIZE_T_MAX - 1;
    *out = static_cast<size_t>(overflow || value > kLargest ? kLargest : value);
    return 0;
}

// Which of two str choices `given` is: 0 for `first` (also when left out), 1
// for `second`; -1 with ValueError (TypeError for a non-str) otherwise.
int option_choice(PyObject* given, const char* option, PyObject* first, PyObject* second, const char* choices) {
    if (!given) return 0;
    if (!PyUnicode_Check(given)) {
        raise_expected("str", given);
        return -1;
    }
    for (PyObject* choice : {first, second}) {
        const int equal = PyObject_RichCompareBool(given, choice, Py_EQ);
        if (equal < 0) return -1;
        if (equal) return choice == second;
    }
    PyErr_Format(PyExc_ValueError, msg::kOptionChoice, option, choices, given);
    return -1;
}

// The conventions a parser's table is compiled for: its mode's row, with
// the columns that its options set.
int conventions_of(const ParserOptions& options, TLConventions* out) {
    const int standard = options.standard ? PyObject_IsTrue(options.standard) : 0;
    if (standard < 0) return -1;
    TLConventions conventions = conventions_row(standard);
    const int strings = option_choice(options.strings, "strings", module_state.str_str, module_state.str_bytes,
                                      "'str' or 'bytes'");
    if (strings < 0) return -1;
    const int wide_ints = option_choice(options.wide_ints, "wide_ints", module_state.str_int, module_state.str_bytes,
                                        "'int' or 'bytes'");
    if (wide_ints < 0) return -1;
    const int strict = options.strict ? PyObject_IsTrue(options.strict) : 0;
    if (strict < 0) return -1;
    if (wide_ints && !conventions.typed_texts) {
        PyErr_SetString(PyExc_ValueError, msg::kWideIntsStandard);
        return -1;
    }
    conventions.strings_as_bytes = strings;
    conventions.wide_ints_as_bytes = wide_ints;
    conventions.strict = strict;
    if (max_inflated_option(options.max_inflated, &conventions.max_inflated) < 0) return -1;
    *out = conventions;
    return 0;
}

PyObject* parser_create(PyTypeObject* type, PyObject* schema_json, const ParserOptions& options) {
    Operation op("Velta.tl.TLParser.__cinit__");
    PyRef obj(type->tp_alloc(type, 0));
    if (!obj) return op.fail(__LINE__);
    auto* self = reinterpret_cast<TLParserObject*>(obj.get());
    self->_compiler = Py_NewRef(Py_None);
    PyObject* compiler = PyObject_CallNoArgs(reinterpret_cast<PyObject*>(&TLSchemaCompilerType));
    if (!compiler) return op.fail(__LINE__);
    Py_SETREF(self->_compiler, compiler);
    if (conventions_of(options, &reinterpret_cast<TLSchemaCompilerObject*>(compiler)->_conventions) < 0)
        return op.fail(__LINE__);
    PyRef compiled(PyObject_CallMethodOneArg(compiler, module_state.str_compile, schema_json));
    if (!compiled) return op.fail(__LINE__);
    // From here on the table serves this parser and must not be replaced.
    auto* owned = reinterpret_cast<TLSchemaCompilerObject*>(compiler);
    int state = kCompilerIdle;
    if (!owned->_state.compare_exchange_strong(state, kCompilerInUse, std::memory_order_acq_rel)) {
        PyErr_SetString(PyExc_RuntimeError, msg::kCompilerBusy);
        return op.fail(__LINE__);
    }
    self->_schema = owned->_schema;
    return obj.release();
}

// TLParser(schema_json, *, standard=False, strings="str", wide_ints="int", strict=False,
//          max_inflated=16 MiB).
struct ParserArguments {
    static constexpr Py_ssize_t kCount = 6;
    PyObject* names[kCount] = {module_state.str_schema_json, module_state.str_standard, module_state.str_strings,
                               module_state.str_wide_ints, module_state.str_strict, module_state.str_max_inflated};
    PyObject* values[kCount] = {};
    ArgBinder binder{"__cinit__", names, kCount, values, 1, 1};
    ParserOptions options() const {
        ParserOptions given;
        given.standard = values[1];
        given.strings = values[2];
        given.wide_ints = values[3];
        given.strict = values[4];
        given.max_inflated = values[5];
        return given;
    }
};

PyObject* parser_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    ParserArguments bound;
    if (bound.binder.bind_classic(args, kwargs) < 0) return nullptr;
    return parser_create(type, bound.values[0], bound.options());
}

PyObject* parser_vectorcall(PyObject* type, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    if (type != reinterpret_cast<PyObject*>(&TLParserType)) return call_type_classic(type, args, nargsf, kwnames);
    ParserArguments bound;
    if (bound.binder.bind_vector(args, PyVectorcall_NARGS(nargsf), kwnames) < 0) return nullptr;
    return parser_create(&TLParserType, bound.values[0], bound.options());
}

// Whether an optional argument was given (and is not None).
bool given(PyObject* argument) { return argument && argument != Py_None; }

// The `results=` mapping of a call (borrowed), or null: none given, or a
// TypeError pending for one that is no mapping.
PyObject* results_of(PyObject* results) {
    if (!given(results)) return nullptr;
    if (!PyMapping_Check(results) || PyUnicode_Check(results) || PyBytes_Check(results)) return raise_expected("mapping", results);
    return results;
}

// The result type text of the method named `name`, as the table holds it.
PyObject* parser_result_type(PyObject* obj, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    auto* self = reinterpret_cast<TLParserObject*>(obj);
    PyObject* name = nullptr;
    ArgBinder binder("result_type", &module_state.str_method_name, 1, &name);
    if (binder.bind_vector(args, nargs, kwnames) < 0) return nullptr;
    if (check_ready(self, "result_type") < 0) return nullptr;
    if (!PyUnicode_Check(name)) return raise_expected("str", name);
    const TLSchemaCompilerObject* compiler = parser_compiler(self);
    PyObject* index = PyDict_GetItemWithError(compiler->_name_map, name);
    if (!index && PyErr_Occurred()) return nullptr;
    const long at = index ? PyLong_AsLong(index) : -1;
    if (at < compiler->_schema->constructor_entries || at >= compiler->_schema->constructor_count) {
        PyErr_Format(PyExc_ValueError, msg::kUnknownMethod, name);
        return nullptr;
    }
    return PyUnicode_FromString(compiler->_schema->constructors[at].type);
}

PyObject* parser_unpack(PyObject* obj, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    auto* self = reinterpret_cast<TLParserObject*>(obj);
    PyObject* names[3] = {module_state.str_data, module_state.str_type, module_state.str_results};
    PyObject* values[3] = {nullptr, nullptr, nullptr};
    ArgBinder binder("unpack", names, 3, values, 1, 1);
    if (binder.bind_vector(args, nargs, kwnames) < 0) return nullptr;
    PyObject* data = values[0];
    if (data != Py_None && !PyBytes_CheckExact(data)) {
        PyErr_Format(PyExc_TypeError, msg::kArgIncorrectType, "data", "bytes", Py_TYPE(data)->tp_name);
        return nullptr;
    }
    if (data == Py_None) return raise_none_length();
    if (check_ready(self, "unpack") < 0) return nullptr;

    CallTypes types(parser_compiler(self));
    const TLValueType* as = nullptr;
    if (given(values[1]) && !(as = types.resolve(values[1]))) return nullptr;
    PyObject* results = results_of(values[2]);
    if (!results && PyErr_Occurred()) return nullptr;
    Operation op("Velta.tl.TLParser.unpack");
    size_t end;
    PyObject* parsed = read_one(self, reinterpret_cast<const unsigned char*>(PyBytes_AS_STRING(data)),
                                static_cast<size_t>(PyBytes_GET_SIZE(data)), 0, &end, as, results, &types);
    return parsed ? parsed : op.fail(__LINE__);
}

PyObject* parser_unpack_from(PyObject* obj, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    auto* self = reinterpret_cast<TLParserObject*>(obj);
    PyObject* names[4] = {module_state.str_buffer, module_state.str_offset, module_state.str_type, module_state.str_results};
    PyObject* values[4] = {nullptr, nullptr, nullptr, nullptr};
    ArgBinder binder("unpack_from", names, 4, values, 2, 1);
    if (binder.bind_vector(args, nargs, kwnames) < 0) return nullptr;
    Py_ssize_t offset = 0;
    if (values[1]) {
        if (!PyLong_Check(values[1])) return raise_expected("int", values[1]);
        // Reads the int's own value (no __index__ or comparison of a
        // subclass runs); beyond 64 bits only the sign matters.
        int overflow = 0;
        const long long wide = PyLong_AsLongLongAndOverflow(values[1], &overflow);
        if (wide == -1 && !overflow && PyErr_Occurred()) return nullptr;
        offset = overflow ? (overflow < 0 ? -1 : PY_SSIZE_T_MAX)
                 : wide > PY_SSIZE_T_MAX ? PY_SSIZE_T_MAX : wide < -1 ? -1 : static_cast<Py_ssize_t>(wide);
    }
    if (check_ready(self, "unpack_from") < 0) return nullptr;
    CallTypes types(parser_compiler(self));
    const TLValueType* as = nullptr;
    if (given(values[2]) && !(as = types.resolve(values[2]))) return nullptr;
    PyObject* results = results_of(values[3]);
    if (!results && PyErr_Occurred()) return nullptr;
    // Held for the whole call: the exporter may not resize or free it.
    BufferView view;
    if (PyObject_GetBuffer(values[0], &view.buffer, PyBUF_SIMPLE) < 0) return nullptr;
    view.held = true;
    if (offset < 0 || offset > view.buffer.len) {
        PyErr_SetString(PyExc_ValueError, msg::kOffsetRange);
        return nullptr;
    }
    Operation op("Velta.tl.TLParser.unpack_from");
    const auto* start = static_cast<const unsigned char*>(view.buffer.buf);
    size_t end;
    PyRef parsed(read_one(self, start + offset, static_cast<size_t>(view.buffer.len - offset), static_cast<size_t>(offset), &end, as, results, &types));
    if (!parsed) return op.fail(__LINE__);
    PyRef end_object(PyLong_FromSize_t(end));
    PyObject* pair = end_object ? PyTuple_Pack(2, parsed.get(), end_object.get()) : nullptr;
    return pair ? pair : op.fail(__LINE__);
}

PyObject* parser_pack(PyObject* obj, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    auto* self = reinterpret_cast<TLParserObject*>(obj);
    PyObject* names[3] = {module_state.str_value, module_state.str_type, module_state.str_results};
    PyObject* values[3] = {nullptr, nullptr, nullptr};
    ArgBinder binder("pack", names, 3, values, 1, 1);
    if (binder.bind_vector(args, nargs, kwnames) < 0) return nullptr;
    PyObject* value = values[0];
    if (check_ready(self, "pack") < 0) return nullptr;
    CallTypes types(parser_compiler(self));
    const TLValueType* as = nullptr;
    if (given(values[1]) && !(as = types.resolve(values[1]))) return nullptr;
    PyObject* results = results_of(values[2]);
    if (!results && PyErr_Occurred()) return nullptr;

    Operation op("Velta.tl.TLParser.pack");
    Writer writer(self);
    writer.results = results;
    writer.types = &types;
    const bool written = writer.start() == 0 && (as ? writer._write_value(value, as) : writer._write_object(value)) == 0;
    PyRef packed(written ? writer.result() : nullptr);
    if (!packed) {
        writer.path.attach("packing", false);
        return op.fail(__LINE__);
    }
    return packed.release();
}

int parser_traverse(PyObject* obj, visitproc visit, void* arg) {
    Py_VISIT(reinterpret_cast<TLParserObject*>(obj)->_compiler);
    return 0;
}

int parser_clear(PyObject* obj) {
    auto* self = reinterpret_cast<TLParserObject*>(obj);
    Py_SETREF(self->_compiler, Py_NewRef(Py_None));
    return 0;
}

void parser_dealloc(PyObject* obj) {
    auto* self = reinterpret_cast<TLParserObject*>(obj);
    PyObject_GC_UnTrack(obj);
    if (OutputBuffer* spare = std::exchange(self->_spare_buffer, nullptr)) {
        free(spare->data);
        free(spare);
    }
    Py_CLEAR(self->_compiler);
    Py_TYPE(obj)->tp_free(obj);
}

PyMethodDef parser_methods[] = {
    {"unpack", as_method(parser_unpack),
     METH_FASTCALL | METH_KEYWORDS,
     PyDoc_STR("unpack($self, /, data, *, type=None, results=None)\n--\n\n"
               "Decode one boxed TL object from `data` (exactly bytes) into a dict, or a\n"
               "value of `type`, any type text a field can have (\"Vector<long>\", \"Bool\").\n"
               "`results` maps the req_msg_id of each pending request to a type text or a\n"
               "method name: every rpc_result met reads its result as that type (one\n"
               "with no entry reads as a boxed object, or as its bytes when it is none).\n\n"
               "The dict has \"_\" (the constructor name) first, then one key per field in\n"
               "schema order; flags words are consumed, absent conditional fields are None\n"
               "(False for `true` fields), vectors are lists, nested objects are dicts,\n"
               "`int` reads unsigned (0..2**32-1). Bytes after the object are ignored.\n\n"
               "Raises RuntimeError(\"Parse error at position N\") for input that ends too\n"
               "early, ValueError for an unknown constructor id or a bad vector header,\n"
               "UnicodeDecodeError for invalid text, RecursionError for nesting deeper than\n"
               "the interpreter allows. Failures inside nested values carry a note naming\n"
               "the field and its byte offset.")},
    {"unpack_from", as_method(parser_unpack_from),
     METH_FASTCALL | METH_KEYWORDS,
     PyDoc_STR("unpack_from($self, /, buffer, offset=0, *, type=None, results=None)\n--\n\n"
               "Decode one boxed TL object from `buffer` at `offset`; return (value, end).\n\n"
               "`buffer` is any C-contiguous buffer (bytes, bytearray, memoryview, mmap),\n"
               "read in place and held for the call; `end` is the offset just past the\n"
               "object, so concatenated messages parse in a loop. Byte-string padding\n"
               "counts from `offset`; positions in errors count from the buffer's start.\n"
               "Raises ValueError(\"offset out of range\") for an offset below 0 or past\n"
               "the end, and otherwise what unpack raises.")},
    {"pack", as_method(parser_pack),
     METH_FASTCALL | METH_KEYWORDS,
     PyDoc_STR("pack($self, /, value, *, type=None, results=None)\n--\n\n"
               "Encode `value`, a dict whose \"_\" names a constructor, into TL bytes;\n"
               "with `type` (a type text), a value of that type. `results` as for unpack:\n"
               "rpc_result results are written as the type of their request. Each\n"
               "container message's bytes is its packed body's length; gzip_packed\n"
               "whose packed_data is a value (not bytes) is that value, compressed.\n\n"
               "Fields are looked up by name; keys that name no field are ignored and the\n"
               "flags words are computed from which conditional fields are present (not\n"
               "None; exactly True for `true` fields). A missing unconditional field is\n"
               "written as the zero value of its kind. Vectors take any iterable except\n"
               "a list subclass; `int` takes -2**31..2**32-1; `long` 0..2**64-1.\n\n"
               "With strict=True, raises ValueError for a key that names no field, a\n"
               "missing unconditional field, or a flag-bit field given anything but\n"
               "True, False or None.\n\n"
               "Raises ValueError for a missing or unknown constructor (with a note of\n"
               "the closest names) or a conditional\n"
               "field whose flags word is not declared before it, TypeError or\n"
               "OverflowError for values of the wrong type or range, RecursionError for\n"
               "self-referencing values. Failures inside nested values carry a note\n"
               "naming the field.")},
    {"result_type", as_method(parser_result_type),
     METH_FASTCALL | METH_KEYWORDS,
     PyDoc_STR("result_type($self, /, method_name)\n--\n\n"
               "The result type text of a method, such as \"Vector<long>\"; ValueError\n"
               "for a name that is no method of the schema.")},
    VELTA_PICKLING_REFUSED,
};

void setup_parser_type(PyTypeObject* type) {
    type->tp_name = "Velta.tl.TLParser";
    type->tp_basicsize = sizeof(TLParserObject);
    type->tp_dealloc = parser_dealloc;
    type->tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC;
    type->tp_doc = PyDoc_STR("TLParser(schema_json, *, standard=False, strings='str', wide_ints='int', strict=False, max_inflated=16777216)\n"
                             "--\n\n"
                             "Packs dicts into TL bytes and unpacks them, driven by a schema given\n"
                             "as JSON text or as an already decoded dict (see\n"
                             "TLSchemaCompiler.compile). Every call keeps its state to itself, so\n"
                             "one parser may serve any number of threads at once.\n\n"
                             "standard=False (the default): Bool is a bare 32-bit 1/0 and\n"
                             "flags.N?Bool only a bit, int and long read unsigned, flags words are\n"
                             "the fields named flags and flags2, and every other type is a boxed\n"
                             "object.\n"
                             "standard=True: the TL that deployed peers speak. Bool is boxed\n"
                             "(boolTrue/boolFalse) and flags.N?Bool carries a value; int and long\n"
                             "read signed; int128 and int256 are 16- and 32-byte ints; %Type,\n"
                             "vector<T> and lowercase constructor names are bare (no id); every\n"
                             "'#' field is a flags word that a later condition may name, and a\n"
                             "value too (pack keeps the bits no conditional field uses); bytes\n"
                             "fields pack from any bytes-like object, or from a mapping as that\n"
                             "object's boxed serialization; and gzip_packed objects are inflated\n"
                             "(at most max_inflated bytes in all per unpack, 16 MiB unless given).\n"
                             "The service layer (rpc_result,\n"
                             "msg_container, msg_copy, gzip_packed) is known without schema lines.\n"
                             "strings='bytes': every string field reads as bytes and packs from any\n"
                             "bytes-like object or str.\n"
                             "wide_ints='bytes' (standard mode only): int128 and int256 unpack as\n"
                             "their 16/32 wire bytes; pack takes an int or bytes of that width.\n"
                             "strict=True: pack refuses, with ValueError, a key that names no\n"
                             "field, a missing unconditional field and a flag-bit field given\n"
                             "anything but True, False or None.");
    type->tp_traverse = parser_traverse;
    type->tp_clear = parser_clear;
    type->tp_methods = parser_methods;
    type->tp_new = parser_new;
    type->tp_vectorcall = parser_vectorcall;
}

}  // namespace

// Static types: the head is initialised here, every slot in the setup
// functions above, before the type is readied.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
PyTypeObject TLSchemaCompilerType = {PyVarObject_HEAD_INIT(nullptr, 0)};
PyTypeObject TLParserType = {PyVarObject_HEAD_INIT(nullptr, 0)};
#pragma GCC diagnostic pop

#endif  // VELTA_TL_TYPES_H
