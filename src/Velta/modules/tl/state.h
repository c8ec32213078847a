// Module state: the interned names and constants made once at initialisation.
// Part of the one translation unit tl.cpp, which includes it after the parts it
// relies on; see the code map there.
#ifndef VELTA_TL_STATE_H
#define VELTA_TL_STATE_H

namespace {

// Module state

constexpr const char kSourceFile[] = "src/Velta/modules/tl/tl.cpp";
constexpr const char kModuleName[] = "Velta.tl";


// Created once by the first successful initialisation and kept until the
// process ends. The module refuses to live in a second interpreter, so
// process-wide statics are safe; after initialisation they are only read.
struct ModuleState {
    PyObject* module = nullptr;   // strong; the one instance of Velta.tl
    PyObject* globals = nullptr;  // borrowed from module
    PyObject* builtins = nullptr; // strong; the builtins module
    int64_t main_interpreter_id = -1;

    // Interned names and keys.
    PyObject* str_underscore = nullptr;  // "_"
    PyObject* str_constructors = nullptr;
    PyObject* str_methods = nullptr;
    PyObject* str_predicate = nullptr;
    PyObject* str_method = nullptr;
    PyObject* str_type = nullptr;
    PyObject* str_id = nullptr;
    PyObject* str_params = nullptr;
    PyObject* str_name = nullptr;
    PyObject* str_get = nullptr;
    PyObject* str_compile = nullptr;
    PyObject* str_loads = nullptr;
    PyObject* str_json = nullptr;
    PyObject* str_json_data = nullptr;
    PyObject* str_schema_json = nullptr;
    PyObject* str_data = nullptr;
    PyObject* str_value = nullptr;
    PyObject* str_state = nullptr;
    PyObject* str_add_note = nullptr;
    PyObject* str_standard = nullptr;
    PyObject* str_buffer = nullptr;
    PyObject* str_offset = nullptr;
    PyObject* str_little = nullptr;
    PyObject* str_strings = nullptr;
    PyObject* str_wide_ints = nullptr;
    PyObject* str_strict = nullptr;
    PyObject* str_str = nullptr;
    PyObject* str_bytes = nullptr;
    PyObject* str_int = nullptr;
    PyObject* str_results = nullptr;
    PyObject* str_method_name = nullptr;
    PyObject* str_packed_data = nullptr;
    PyObject* str_strings_note = nullptr;  // the note on a string that is not UTF-8
    PyObject* str_difflib = nullptr;            // the close names of an unknown
    PyObject* str_get_close_matches = nullptr;  // constructor name
    PyObject* str_max_inflated = nullptr;
    PyCFunction dict_get = nullptr;  // the C function of dict.get, to tell a subclass that keeps it
    PyObject* dict_getitem = nullptr;   // dict.__getitem__, likewise
    PyObject* dict_contains = nullptr;  // dict.__contains__
    PyObject* str_getitem = nullptr;
    PyObject* str_contains = nullptr;

    // The JSON decoder found at initialisation (strong): while the module's
    // `json.loads` is still this one, schema text of the usual shape may be
    // read without it.
    PyObject* json_module = nullptr;
    PyObject* json_loads = nullptr;

    // Small constants.
    PyObject* empty_str = nullptr;
    PyObject* empty_bytes = nullptr;
    PyObject* empty_tuple = nullptr;
    PyObject* float_zero = nullptr;
    PyObject* int_zero = nullptr;
    PyObject* mask32 = nullptr;  // 0xFFFFFFFF

    // Standard mode: int128 and int256 bounds (the masks are the highest
    // values), int.from_bytes with signed=True, and zlib for gzip_packed.
    PyObject* int128_low = nullptr;
    PyObject* int128_mask = nullptr;
    PyObject* int256_low = nullptr;
    PyObject* int256_mask = nullptr;
    PyObject* int_from_bytes = nullptr;
    PyObject* signed_kwargs = nullptr;  // {"signed": True}; never changed
    PyObject* zlib_decompressobj = nullptr;
    PyObject* zlib_error = nullptr;
    PyObject* mapping_abc = nullptr;  // collections.abc.Mapping: what a bytes field packs as an object
    PyObject* zlib_compress = nullptr;
};

ModuleState module_state;

// 2**bits - 1 and -2**(bits-1), from text: no private long API needed.
int make_bounds(int bits, PyObject** mask, PyObject** low) {
    if (*mask) return 0;
    PyRef one(PyLong_FromLong(1)), shift(PyLong_FromLong(bits)), half(PyLong_FromLong(bits - 1));
    PyRef top(one && shift ? PyNumber_Lshift(one.get(), shift.get()) : nullptr);
    PyRef bottom(one && half ? PyNumber_Lshift(one.get(), half.get()) : nullptr);
    if (!top || !bottom) return -1;
    *mask = PyNumber_Subtract(top.get(), one.get());
    *low = PyNumber_Negative(bottom.get());
    return *mask && *low ? 0 : -1;
}

int init_standard_constants() {
    if (make_bounds(128, &module_state.int128_mask, &module_state.int128_low) < 0 || make_bounds(256, &module_state.int256_mask, &module_state.int256_low) < 0)
        return -1;
    if (!module_state.int_from_bytes && !(module_state.int_from_bytes = PyObject_GetAttrString(reinterpret_cast<PyObject*>(&PyLong_Type), "from_bytes")))
        return -1;
    if (!module_state.signed_kwargs) {
        PyRef kwargs(PyDict_New());
        if (!kwargs || PyDict_SetItemString(kwargs.get(), "signed", Py_True) < 0) return -1;
        module_state.signed_kwargs = kwargs.release();
    }
    if (!module_state.zlib_decompressobj) {
        PyRef zlib(PyImport_ImportModule("zlib"));
        if (!zlib) return -1;
        module_state.zlib_error = PyObject_GetAttrString(zlib.get(), "error");
        module_state.zlib_decompressobj = PyObject_GetAttrString(zlib.get(), "decompressobj");
        module_state.zlib_compress = PyObject_GetAttrString(zlib.get(), "compress");
        if (!module_state.zlib_error || !module_state.zlib_decompressobj || !module_state.zlib_compress) return -1;
    }
    if (!module_state.mapping_abc) {
        PyRef abc(PyImport_ImportModule("collections.abc"));
        if (!abc || !(module_state.mapping_abc = PyObject_GetAttrString(abc.get(), "Mapping"))) return -1;
    }
    return 0;
}

int init_constants() {
    struct Interned {
        PyObject** slot;
        const char* text;
    };
    const Interned names[] = {
        {&module_state.str_underscore, "_"},         {&module_state.str_constructors, "constructors"},
        {&module_state.str_methods, "methods"},      {&module_state.str_predicate, "predicate"},
        {&module_state.str_method, "method"},        {&module_state.str_type, "type"},
        {&module_state.str_id, "id"},                {&module_state.str_params, "params"},
        {&module_state.str_name, "name"},            {&module_state.str_get, "get"},
        {&module_state.str_compile, "compile"},      {&module_state.str_loads, "loads"},
        {&module_state.str_json, "json"},            {&module_state.str_json_data, "json_data"},
        {&module_state.str_schema_json, "schema_json"}, {&module_state.str_data, "data"},
        {&module_state.str_value, "value"},          {&module_state.str_state, "state"},
        {&module_state.str_add_note, "add_note"},    {&module_state.str_standard, "standard"},
        {&module_state.str_buffer, "buffer"},        {&module_state.str_offset, "offset"},
        {&module_state.str_little, "little"},
        {&module_state.str_strings, "strings"},      {&module_state.str_wide_ints, "wide_ints"},
        {&module_state.str_strict, "strict"},        {&module_state.str_str, "str"},
        {&module_state.str_bytes, "bytes"},          {&module_state.str_int, "int"},
        {&module_state.str_results, "results"},      {&module_state.str_method_name, "method_name"},
        {&module_state.str_packed_data, "packed_data"},
        {&module_state.str_strings_note, msg::kStringsNote},
        {&module_state.str_difflib, "difflib"},      {&module_state.str_get_close_matches, "get_close_matches"},
        {&module_state.str_max_inflated, "max_inflated"},
        {&module_state.str_getitem, "__getitem__"},  {&module_state.str_contains, "__contains__"},
    };
    for (const Interned& entry : names) {
        if (*entry.slot) continue;
        *entry.slot = PyUnicode_InternFromString(entry.text);
        if (!*entry.slot) return -1;
    }
    if (!module_state.empty_str && !(module_state.empty_str = PyUnicode_FromStringAndSize("", 0))) return -1;
    if (!module_state.empty_bytes && !(module_state.empty_bytes = PyBytes_FromStringAndSize("", 0))) return -1;
    if (!module_state.empty_tuple && !(module_state.empty_tuple = PyTuple_New(0))) return -1;
    if (!module_state.float_zero && !(module_state.float_zero = PyFloat_FromDouble(0.0))) return -1;
    if (!module_state.int_zero && !(module_state.int_zero = PyLong_FromLong(0))) return -1;
    if (!module_state.mask32 && !(module_state.mask32 = PyLong_FromUnsignedLong(0xFFFFFFFFul))) return -1;
    if (!module_state.dict_get) {
        PyRef dict(PyDict_New());
        PyRef get(dict ? PyObject_GetAttr(dict.get(), module_state.str_get) : nullptr);
        if (!get || !(module_state.dict_get = PyCFunction_GetFunction(get.get()))) return -1;
    }
    PyObject* dict_type = reinterpret_cast<PyObject*>(&PyDict_Type);
    if (!module_state.dict_getitem && !(module_state.dict_getitem = PyObject_GetAttr(dict_type, module_state.str_getitem)))
        return -1;
    if (!module_state.dict_contains &&
        !(module_state.dict_contains = PyObject_GetAttr(dict_type, module_state.str_contains)))
        return -1;
    return init_standard_constants();
}

}  // namespace

#endif  // VELTA_TL_STATE_H
