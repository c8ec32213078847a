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
};

ModuleState S;

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
    if (make_bounds(128, &S.int128_mask, &S.int128_low) < 0 || make_bounds(256, &S.int256_mask, &S.int256_low) < 0)
        return -1;
    if (!S.int_from_bytes && !(S.int_from_bytes = PyObject_GetAttrString(reinterpret_cast<PyObject*>(&PyLong_Type), "from_bytes")))
        return -1;
    if (!S.signed_kwargs) {
        PyRef kwargs(PyDict_New());
        if (!kwargs || PyDict_SetItemString(kwargs.get(), "signed", Py_True) < 0) return -1;
        S.signed_kwargs = kwargs.release();
    }
    if (!S.zlib_decompressobj) {
        PyRef zlib(PyImport_ImportModule("zlib"));
        if (!zlib) return -1;
        S.zlib_error = PyObject_GetAttrString(zlib.get(), "error");
        S.zlib_decompressobj = PyObject_GetAttrString(zlib.get(), "decompressobj");
        if (!S.zlib_error || !S.zlib_decompressobj) return -1;
    }
    return 0;
}

int init_constants() {
    struct Interned {
        PyObject** slot;
        const char* text;
    };
    const Interned names[] = {
        {&S.str_underscore, "_"},         {&S.str_constructors, "constructors"},
        {&S.str_methods, "methods"},      {&S.str_predicate, "predicate"},
        {&S.str_method, "method"},        {&S.str_type, "type"},
        {&S.str_id, "id"},                {&S.str_params, "params"},
        {&S.str_name, "name"},            {&S.str_get, "get"},
        {&S.str_compile, "compile"},      {&S.str_loads, "loads"},
        {&S.str_json, "json"},            {&S.str_json_data, "json_data"},
        {&S.str_schema_json, "schema_json"}, {&S.str_data, "data"},
        {&S.str_value, "value"},          {&S.str_state, "state"},
        {&S.str_add_note, "add_note"},    {&S.str_standard, "standard"},
        {&S.str_buffer, "buffer"},        {&S.str_offset, "offset"},
        {&S.str_little, "little"},
    };
    for (const Interned& entry : names) {
        if (*entry.slot) continue;
        *entry.slot = PyUnicode_InternFromString(entry.text);
        if (!*entry.slot) return -1;
    }
    if (!S.empty_str && !(S.empty_str = PyUnicode_FromStringAndSize("", 0))) return -1;
    if (!S.empty_bytes && !(S.empty_bytes = PyBytes_FromStringAndSize("", 0))) return -1;
    if (!S.empty_tuple && !(S.empty_tuple = PyTuple_New(0))) return -1;
    if (!S.float_zero && !(S.float_zero = PyFloat_FromDouble(0.0))) return -1;
    if (!S.int_zero && !(S.int_zero = PyLong_FromLong(0))) return -1;
    if (!S.mask32 && !(S.mask32 = PyLong_FromUnsignedLong(0xFFFFFFFFul))) return -1;
    return init_standard_constants();
}

}  // namespace

#endif  // VELTA_TL_STATE_H
