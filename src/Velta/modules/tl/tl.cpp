// Velta.tl: schema-driven TL binary encoding for Python.
//
// Two exported types live here:
//   TLSchemaCompiler  turns a JSON schema into a table of constructor records
//                     (declared in tl.h) indexed by id and by name;
//   TLParser          owns a private compiler and one reusable byte buffer,
//                     and converts dicts to TL bytes (pack) and back (unpack).
//
// Conventions used throughout:
//   * Every type has a fixed table of internal operations; internal calls go
//     through it.
//   * An operation that returns an object returns null on failure; the others
//     return 0 on success and -1 on failure. Either way exactly one exception
//     is pending on failure, and the failing operation adds a traceback entry
//     "Velta.tl.<Type>.<operation>" before returning.
//   * Short input is not an exception while reading: the reader sets
//     `_error`, yields a zero value and reading goes on; unpack turns the flag
//     into "Parse error at position N" at the end.
#include "tl.h"
#include "support.h"

#include <frameobject.h>

#include <climits>
#include <cstdlib>
#include <new>
#include <string>
#include <unordered_map>

using velta::PyRef;
using velta::SavedException;
using velta::TypeText;

// The two exported static types, defined further down.
extern PyTypeObject TLSchemaCompilerType;
extern PyTypeObject TLParserType;

namespace {

constexpr const char kSourceFile[] = "src/Velta/modules/tl/tl.cpp";
constexpr const char kModuleName[] = "Velta.tl";
constexpr const char kReduceMessage[] = "no default __reduce__ due to non-trivial __cinit__";

// ---------------------------------------------------------------------------
// Module-wide state: created once by the first successful initialisation and
// kept until the process ends (the module refuses to live in a second
// interpreter, so process-wide statics are safe).

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

    // Small constants.
    PyObject* empty_str = nullptr;
    PyObject* empty_bytes = nullptr;
    PyObject* empty_tuple = nullptr;
    PyObject* float_zero = nullptr;
    PyObject* int_zero = nullptr;
    PyObject* mask32 = nullptr;  // 0xFFFFFFFF
};

ModuleState S;

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
        {&S.str_add_note, "add_note"},
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
    return 0;
}

// ---------------------------------------------------------------------------
// Traceback entries. Each internal operation that fails adds one entry naming
// itself, so a failure deep inside a nested message shows the whole road.

// `own_globals` gives the entry a namespace of its own: needed where the
// module's may belong to another interpreter.
void add_traceback(const char* funcname, int lineno, bool own_globals = false) {
    PyCodeObject* code = nullptr;
    PyFrameObject* frame = nullptr;
    {
        SavedException pending;  // the new objects must not see the exception
        PyObject* globals = own_globals ? nullptr : S.globals;
        PyRef fallback_globals;
        if (!globals) {
            fallback_globals.reset(PyDict_New());
            globals = fallback_globals.get();
        }
        if (globals) {
            code = PyCode_NewEmpty(kSourceFile, funcname, lineno);
            if (code) frame = PyFrame_New(PyThreadState_Get(), code, globals, nullptr);
        }
        // An entry is decoration: if it cannot be made, the original
        // exception still goes out, unchanged.
        PyErr_Clear();
    }
    if (frame) PyTraceBack_Here(frame);
    Py_XDECREF(reinterpret_cast<PyObject*>(frame));
    Py_XDECREF(reinterpret_cast<PyObject*>(code));
}

// Marks a failure at this line of an operation and jumps to its error exit.
#define FAIL()              \
    do {                    \
        fail_line = __LINE__; \
        goto error;         \
    } while (0)

// ---------------------------------------------------------------------------
// Exact-type checks with the module's standard message.

int raise_expected(const char* expected, PyObject* got) {
    PyErr_Format(PyExc_TypeError, "Expected %.42s, got %.200s", expected, Py_TYPE(got)->tp_name);
    return -1;
}

void raise_none_attribute(const char* attribute) {
    PyErr_Format(PyExc_AttributeError, "'NoneType' object has no attribute '%.30s'", attribute);
}

// ---------------------------------------------------------------------------
// Argument binding shared by every public callable. Parameters may be given by
// position or by name; the messages are fixed by the module, not borrowed
// from the interpreter, so they read the same on every Python version.

class ArgBinder {
public:
    ArgBinder(const char* func, PyObject* const* params, Py_ssize_t nparams, PyObject** out)
        : func_(func), params_(params), nparams_(nparams), out_(out) {}

    int positional(PyObject* const* args, Py_ssize_t nargs) {
        nargs_ = nargs;
        if (nargs > nparams_) return wrong_count();
        for (Py_ssize_t i = 0; i < nparams_; ++i) out_[i] = i < nargs ? args[i] : nullptr;
        return 0;
    }

    int keyword(PyObject* key, PyObject* value) {
        if (!PyUnicode_Check(key)) {
            PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", func_);
            return -1;
        }
        for (Py_ssize_t i = 0; i < nparams_; ++i) {
            int same = key == params_[i];
            if (!same) {
                same = PyUnicode_Compare(key, params_[i]) == 0;
                if (PyErr_Occurred()) return -1;
            }
            if (!same) continue;
            if (out_[i]) {
                PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'",
                             func_, key);
                return -1;
            }
            out_[i] = value;
            return 0;
        }
        PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", func_, key);
        return -1;
    }

    int finish() {
        for (Py_ssize_t i = 0; i < nparams_; ++i)
            if (!out_[i]) return wrong_count();
        return 0;
    }

    // Binds a vectorcall-style argument list in one go.
    int bind_vector(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
        if (positional(args, nargs) < 0) return -1;
        const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
        for (Py_ssize_t i = 0; i < nkw; ++i)
            if (keyword(PyTuple_GET_ITEM(kwnames, i), args[nargs + i]) < 0) return -1;
        return finish();
    }

    // Binds a classic (tuple, dict) argument list.
    int bind_classic(PyObject* args, PyObject* kwargs) {
        if (positional(PySequence_Fast_ITEMS(args), PyTuple_GET_SIZE(args)) < 0) return -1;
        if (kwargs) {
            Py_ssize_t pos = 0;
            PyObject* key;
            PyObject* value;
            while (PyDict_Next(kwargs, &pos, &key, &value))
                if (keyword(key, value) < 0) return -1;
        }
        return finish();
    }

private:
    int wrong_count() {
        PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
                     func_, "exactly", nparams_, nparams_ == 1 ? "" : "s", nargs_);
        return -1;
    }

    const char* func_;
    PyObject* const* params_;
    Py_ssize_t nparams_;
    PyObject** out_;
    Py_ssize_t nargs_ = 0;
};

// A METH_FASTCALL | METH_KEYWORDS function as the PyCFunction a method
// table stores.
template <typename Function>
PyCFunction as_method(Function function) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(function));
}

// Pickling and copying are refused for both types: an instance is only ever
// made by calling its type.
PyObject* refuse_reduce(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    ArgBinder binder("__reduce__", nullptr, 0, nullptr);
    if (binder.bind_vector(args, nargs, kwnames) < 0) return nullptr;
    PyErr_SetString(PyExc_TypeError, kReduceMessage);
    return nullptr;
}

PyObject* refuse_setstate(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

// The tail of both method tables.
#define VELTA_PICKLING_REFUSED                                                        \
    {"__reduce__", as_method(refuse_reduce), METH_FASTCALL | METH_KEYWORDS, nullptr},     \
    {"__setstate__", as_method(refuse_setstate), METH_FASTCALL | METH_KEYWORDS, nullptr}, \
    {nullptr, nullptr, 0, nullptr}

PyObject* refuse_setstate(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* state = nullptr;
    ArgBinder binder("__setstate__", &S.str_state, 1, &state);
    if (binder.bind_vector(args, nargs, kwnames) < 0) return nullptr;
    PyErr_SetString(PyExc_TypeError, kReduceMessage);
    return nullptr;
}

// Calls `type` with a vectorcall argument list through the classic protocol;
// used when a subclass reaches a vectorcall slot meant for the base type.
PyObject* call_type_classic(PyObject* type, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    PyRef tuple(PyTuple_New(nargs));
    if (!tuple) return nullptr;
    for (Py_ssize_t i = 0; i < nargs; ++i) PyTuple_SET_ITEM(tuple.get(), i, Py_NewRef(args[i]));
    PyRef kwargs;
    if (kwnames && PyTuple_GET_SIZE(kwnames)) {
        kwargs.reset(PyDict_New());
        if (!kwargs) return nullptr;
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(kwnames); ++i)
            if (PyDict_SetItem(kwargs.get(), PyTuple_GET_ITEM(kwnames, i), args[nargs + i]) < 0)
                return nullptr;
    }
    return PyType_Type.tp_call(type, tuple.get(), kwargs.get());
}

}  // namespace

// ===========================================================================
// TLSchemaCompiler

namespace {

// Heterogeneous lookup: the codec looks names up by string_view without
// building a std::string per call.
struct NameHash {
    using is_transparent = void;
    size_t operator()(std::string_view s) const noexcept { return std::hash<std::string_view>{}(s); }
};
using IdMap = std::unordered_map<uint32_t, TLConstructor*>;
using NameMap = std::unordered_map<std::string, TLConstructor*, NameHash, std::equal_to<>>;

struct TLSchemaCompilerObject;

struct TLSchemaCompilerOps {
    void (*_free_schema)(TLSchemaCompilerObject* self);
    int (*_parse_json_schema)(TLSchemaCompilerObject* self, PyObject* json_data);
    TLConstructor* (*_create_constructor)(TLSchemaCompilerObject* self, PyObject* constr_data, int32_t index);
    TLType (*_parse_type)(TLSchemaCompilerObject* self, PyObject* type_str);
    TLSchema* (*get_schema)(TLSchemaCompilerObject* self);
};

struct TLSchemaCompilerObject {
    PyObject_HEAD
    const TLSchemaCompilerOps* ops;
    TLSchema* _schema;
    IdMap _id_map;
    NameMap _name_map;
    // A compile runs interpreter code (the JSON decoder, int() of ids) that
    // could start another compile on the same compiler; and the table of a
    // compiler that serves a parser must outlive every pointer into it.
    // Both would free a table that is in use, so both are refused.
    int _compiling;
    int _in_use;  // set once a TLParser has taken the table
};


// Classifies a type text into a field kind; a condition prefix W.N? is
// ignored, nothing is trimmed and case matters.
TLType classify_type_text(std::string_view text) noexcept {
    const std::string_view kept = velta::strip_condition(text);
    if (kept == "int" || kept == "#") return TL_TYPE_INT;
    if (kept == "long") return TL_TYPE_LONG;
    if (kept == "double") return TL_TYPE_DOUBLE;
    if (kept == "string") return TL_TYPE_STRING;
    if (kept == "bytes" || kept == "byte") return TL_TYPE_BYTES;
    if (kept == "Bool" || kept == "true") return TL_TYPE_BOOL;
    if (kept.starts_with("Vector")) return TL_TYPE_VECTOR;
    return TL_TYPE_OBJECT;
}

// A heap copy of the UTF-8 form of `text`, up to its first NUL; null with
// MemoryError (or the encoding error) pending on failure.
char* copy_utf8(PyObject* text) {
    Py_ssize_t size;
    const char* utf8 = PyUnicode_AsUTF8AndSize(text, &size);
    if (!utf8) return nullptr;
    char* copy = strdup(utf8);
    if (!copy) PyErr_NoMemory();
    return copy;
}

// `mapping.get(key, default)` for an exact dict, as a new reference.
PyRef dict_get(PyObject* dict, PyObject* key, PyObject* fallback) {
    PyObject* found = PyDict_GetItemWithError(dict, key);
    if (found) return PyRef::borrow(found);
    if (PyErr_Occurred()) return PyRef();
    return PyRef::borrow(fallback);
}

bool is_str_or_none(PyObject* obj) { return obj == Py_None || PyUnicode_CheckExact(obj); }

void compiler_free_schema(TLSchemaCompilerObject* self) {
    TLSchema* schema = self->_schema;
    if (schema) {
        if (schema->constructors) {
            for (int32_t i = 0; i < schema->constructor_count; ++i) {
                TLConstructor& constr = schema->constructors[i];
                if (constr.fields) {
                    for (int32_t j = 0; j < constr.field_count; ++j) {
                        TLField& field = constr.fields[j];
                        free(field.name);
                        free(field.type_name);
                        Py_CLEAR(field.py_name);
                    }
                    free(constr.fields);
                }
                free(constr.name);
                free(constr.type);
                Py_CLEAR(constr.py_name);
                Py_CLEAR(constr.py_template);
            }
            free(schema->constructors);
        }
        free(schema);
        self->_schema = nullptr;
    }
    self->_id_map.clear();
    self->_name_map.clear();
}

TLType compiler_parse_type(TLSchemaCompilerObject*, PyObject* type_str) {
    int fail_line = 0;
    Py_ssize_t size;
    const char* utf8;
    if (type_str == Py_None) {
        PyErr_SetString(PyExc_TypeError, "argument of type 'NoneType' is not iterable");
        FAIL();
    }
    utf8 = PyUnicode_AsUTF8AndSize(type_str, &size);
    if (!utf8) FAIL();
    return classify_type_text(std::string_view(utf8, static_cast<size_t>(size)));
error:
    add_traceback("Velta.tl.TLSchemaCompiler._parse_type", fail_line);
    return TL_TYPE_INT;
}

// The value of the int `number` when it lies in [low, high]; otherwise
// OverflowError "value too large to convert to <ctype>".
int int_in_range(PyObject* number, long long low, long long high, const char* ctype, long long* out) {
    int overflow = 0;
    const long long value = PyLong_AsLongLongAndOverflow(number, &overflow);
    if (value == -1 && PyErr_Occurred()) return -1;
    if (overflow || value < low || value > high) {
        PyErr_Format(PyExc_OverflowError, "value too large to convert to %.200s", ctype);
        return -1;
    }
    *out = value;
    return 0;
}

int parse_bit_text(std::string_view bit_text, long* out);

// The common case of a bit number: one to four ASCII digits, nothing else.
bool parse_small_decimal(std::string_view text, long* out) {
    if (text.empty() || text.size() > 4) return false;
    long value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') return false;
        value = value * 10 + (c - '0');
    }
    *out = value;
    return true;
}

// Fills the condition of a conditional field from the text before the first
// "?" of its type text: "W.N" names flags word W and bit N.
int parse_condition(TLConstructor* constr, TLField* field, std::string_view condition) {
    const size_t dot = condition.find('.');
    if (dot == std::string_view::npos) return 0;  // optional, but tied to no word
    if (condition.find('.', dot + 1) != std::string_view::npos) {
        PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %zd)", (Py_ssize_t)2);
        return -1;
    }
    const std::string_view word = condition.substr(0, dot);
    const std::string_view bit_text = condition.substr(dot + 1);
    long bit = 0;
    if (!parse_small_decimal(bit_text, &bit) && parse_bit_text(bit_text, &bit) < 0) return -1;
    field->flag_info.bit_position = static_cast<int32_t>(bit);
    if (word == "flags2") {
        constr->has_flags2 = 1;
        field->flag_info.flags_index = 1;
    } else {
        constr->has_flags = 1;
        field->flag_info.flags_index = 0;
    }
    return 0;
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

// Converts an entry's "id" to the unsigned 32-bit wire identifier: any value
// int() accepts, negatives reduced modulo 2**32, positives must fit.
int convert_constructor_id(PyObject* raw, uint32_t* out) {
    PyRef number = PyLong_CheckExact(raw) ? PyRef::borrow(raw) : PyRef(PyNumber_Long(raw));
    if (!number) return -1;
    const int negative = PyObject_RichCompareBool(number.get(), S.int_zero, Py_LT);
    if (negative < 0) return -1;
    if (negative) {
        number.reset(PyNumber_And(number.get(), S.mask32));
        if (!number) return -1;
    }
    long long value;
    if (int_in_range(number.get(), 0, 0xFFFFFFFFll, "uint32_t", &value) < 0) return -1;
    *out = static_cast<uint32_t>(value);
    return 0;
}

// Builds field `field` of `constr` from one parameter object.
int build_field(TLSchemaCompilerObject* self, TLConstructor* constr, TLField* field, PyObject* param) {
    if (param != Py_None && !PyDict_CheckExact(param)) return raise_expected("dict", param);
    if (param == Py_None) {
        PyErr_SetString(PyExc_TypeError, "'NoneType' object is not subscriptable");
        return -1;
    }
    PyRef name = PyRef::borrow(PyDict_GetItemWithError(param, S.str_name));
    if (!name) {
        if (!PyErr_Occurred()) PyErr_SetObject(PyExc_KeyError, S.str_name);
        return -1;
    }
    if (!is_str_or_none(name.get())) return raise_expected("str", name.get());
    PyRef type_text = PyRef::borrow(PyDict_GetItemWithError(param, S.str_type));
    if (!type_text) {
        if (!PyErr_Occurred()) PyErr_SetObject(PyExc_KeyError, S.str_type);
        return -1;
    }
    if (!is_str_or_none(type_text.get())) return raise_expected("str", type_text.get());
    if (name.get() == Py_None) {
        raise_none_attribute("encode");
        return -1;
    }
    if (!(field->name = copy_utf8(name.get()))) return -1;
    field->py_name = Py_NewRef(name.get());
    if (strcmp(field->name, "flags") == 0) field->flags_word = 1;
    else if (strcmp(field->name, "flags2") == 0) field->flags_word = 2;

    field->type = self->ops->_parse_type(self, type_text.get());
    if (PyErr_Occurred()) return -1;
    if (!(field->type_name = copy_utf8(type_text.get()))) return -1;

    Py_ssize_t size;
    const char* utf8 = PyUnicode_AsUTF8AndSize(type_text.get(), &size);
    if (!utf8) return -1;
    const std::string_view text(utf8, static_cast<size_t>(size));
    const size_t question = text.find('?');
    if (question == std::string_view::npos) return 0;
    field->is_optional = 1;
    if (parse_condition(constr, field, text.substr(0, question)) < 0) return -1;
    const int32_t bit = field->flag_info.bit_position;
    field->flag_mask = bit >= 0 && bit < 32 ? (1u << bit) : 0u;
    return 0;
}

TLConstructor* compiler_create_constructor(TLSchemaCompilerObject* self, PyObject* constr_data, int32_t index) {
    int fail_line = 0;
    TLConstructor* constr = &self->_schema->constructors[index];
    PyRef name, result_type, params, raw_id;
    Py_ssize_t count = 0;

    if (constr_data == Py_None) {
        raise_none_attribute("get");
        FAIL();
    }
    // The name falls back by presence of the key: predicate, method, type.
    name = dict_get(constr_data, S.str_type, S.empty_str);
    if (!name) FAIL();
    name = dict_get(constr_data, S.str_method, name.get());
    if (!name) FAIL();
    name = dict_get(constr_data, S.str_predicate, name.get());
    if (!name) FAIL();
    if (!is_str_or_none(name.get())) {
        raise_expected("str", name.get());
        FAIL();
    }
    result_type = dict_get(constr_data, S.str_type, S.empty_str);
    if (!result_type) FAIL();
    if (!is_str_or_none(result_type.get())) {
        raise_expected("str", result_type.get());
        FAIL();
    }
    {
        PyObject* found = PyDict_GetItemWithError(constr_data, S.str_params);
        if (found) params = PyRef::borrow(found);
        else if (PyErr_Occurred()) FAIL();
        else params.reset(PyList_New(0));
        if (!params) FAIL();
    }
    if (params.get() != Py_None && !PyList_CheckExact(params.get())) {
        raise_expected("list", params.get());
        FAIL();
    }
    if (name.get() == Py_None) {
        raise_none_attribute("encode");
        FAIL();
    }
    if (!(constr->name = copy_utf8(name.get()))) FAIL();
    // The "_" of decoded objects: the name itself, unless a NUL cut the copy.
    if (static_cast<Py_ssize_t>(strlen(constr->name)) == PyUnicode_GET_LENGTH(name.get()) &&
        PyUnicode_IS_ASCII(name.get()))
        constr->py_name = Py_NewRef(name.get());
    else
        constr->py_name = PyUnicode_DecodeUTF8(constr->name, static_cast<Py_ssize_t>(strlen(constr->name)), "strict");
    if (!constr->py_name) FAIL();
    if (result_type.get() != Py_None && PyUnicode_GET_LENGTH(result_type.get()) > 0)
        constr->type = copy_utf8(result_type.get());
    else
        constr->type = strdup(constr->name);
    if (!constr->type) {
        if (!PyErr_Occurred()) PyErr_NoMemory();
        FAIL();
    }

    raw_id = dict_get(constr_data, S.str_id, S.int_zero);
    if (!raw_id) FAIL();
    if (convert_constructor_id(raw_id.get(), &constr->id) < 0) FAIL();

    if (params.get() == Py_None) {
        PyErr_SetString(PyExc_TypeError, "object of type 'NoneType' has no len()");
        FAIL();
    }
    count = PyList_GET_SIZE(params.get());
    if (count > INT32_MAX) {
        PyErr_SetString(PyExc_OverflowError, "too many params for one constructor");
        FAIL();
    }
    constr->field_count = static_cast<int32_t>(count);
    if (count == 0) return constr;
    constr->fields = static_cast<TLField*>(calloc(static_cast<size_t>(count), sizeof(TLField)));
    if (!constr->fields) {
        PyErr_NoMemory();
        FAIL();
    }
    for (Py_ssize_t i = 0; i < count; ++i) {
        // Interpreter code can run while a field is built (a str subclass key
        // comparing itself); the list must keep the length the array has.
        if (PyList_GET_SIZE(params.get()) != count) {
            PyErr_SetString(PyExc_RuntimeError, "params list changed size during compile");
            FAIL();
        }
        PyRef param = PyRef::borrow(PyList_GET_ITEM(params.get(), i));
        if (build_field(self, constr, &constr->fields[i], param.get()) < 0) FAIL();
    }
    return constr;
error:
    add_traceback("Velta.tl.TLSchemaCompiler._create_constructor", fail_line);
    return nullptr;
}

// Looks up a module global the way Python code in the module would: the
// module's namespace first, then the built-ins.
PyObject* lookup_global(PyObject* name) {
    PyObject* found = S.globals ? PyDict_GetItemWithError(S.globals, name) : nullptr;
    if (found) return Py_NewRef(found);
    if (PyErr_Occurred()) return nullptr;
    PyObject* builtins = S.builtins ? PyModule_GetDict(S.builtins) : nullptr;
    found = builtins ? PyDict_GetItemWithError(builtins, name) : nullptr;
    if (found) return Py_NewRef(found);
    if (!PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    return nullptr;
}

// The entry list of a schema: every "constructors" entry, then every
// "methods" entry, in a private list so the caller's dict is left alone.
PyObject* combined_entries(PyObject* schema_dict) {
    PyRef constructors;
    PyObject* found = PyDict_GetItemWithError(schema_dict, S.str_constructors);
    if (found) constructors = PyRef::borrow(found);
    else if (PyErr_Occurred()) return nullptr;
    else constructors.reset(PyList_New(0));
    if (!constructors) return nullptr;
    if (constructors.get() != Py_None && !PyList_CheckExact(constructors.get())) {
        raise_expected("list", constructors.get());
        return nullptr;
    }
    if (constructors.get() == Py_None) {
        raise_none_attribute("extend");
        return nullptr;
    }
    PyRef entries(PyList_GetSlice(constructors.get(), 0, PyList_GET_SIZE(constructors.get())));
    if (!entries) return nullptr;
    PyRef methods = PyRef::borrow(PyDict_GetItemWithError(schema_dict, S.str_methods));
    if (!methods) return PyErr_Occurred() ? nullptr : entries.release();
    PyRef iterator(PyObject_GetIter(methods.get()));
    if (!iterator) return nullptr;
    while (PyRef item{PyIter_Next(iterator.get())})
        if (PyList_Append(entries.get(), item.get()) < 0) return nullptr;
    if (PyErr_Occurred()) return nullptr;
    return entries.release();
}

// Enters a built record into both maps; a later entry with the same key wins.
int index_constructor(TLSchemaCompilerObject* self, TLConstructor* constr) {
    try {
        self->_id_map.insert_or_assign(constr->id, constr);
        if (!constr->name) {
            PyErr_SetString(PyExc_RuntimeError, "basic_string: construction from null is not valid");
            return -1;
        }
        self->_name_map.insert_or_assign(std::string(constr->name), constr);
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return -1;
    }
    return 0;
}

int compiler_parse_json_schema(TLSchemaCompilerObject* self, PyObject* json_data) {
    int fail_line = 0;
    PyRef schema_dict, entries;
    Py_ssize_t count = 0;
    TLSchema* schema = nullptr;

    if (PyUnicode_Check(json_data)) {
        PyRef json(lookup_global(S.str_json));
        if (!json) FAIL();
        PyRef loads(PyObject_GetAttr(json.get(), S.str_loads));
        if (!loads) FAIL();
        schema_dict.reset(PyObject_CallOneArg(loads.get(), json_data));
        if (!schema_dict) FAIL();
    } else {
        schema_dict = PyRef::borrow(json_data);
    }
    if (schema_dict.get() != Py_None && !PyDict_CheckExact(schema_dict.get())) {
        raise_expected("dict", schema_dict.get());
        FAIL();
    }
    if (schema_dict.get() == Py_None) {
        raise_none_attribute("get");
        FAIL();
    }
    entries.reset(combined_entries(schema_dict.get()));
    if (!entries) FAIL();

    // A compiler holds one table: an earlier one is released before the next.
    self->ops->_free_schema(self);
    schema = static_cast<TLSchema*>(calloc(1, sizeof(TLSchema)));
    self->_schema = schema;
    if (!schema) {
        PyErr_SetString(PyExc_MemoryError, "Cannot allocate memory for schema");
        FAIL();
    }
    count = PyList_GET_SIZE(entries.get());
    if (count > INT32_MAX) {
        PyErr_SetString(PyExc_MemoryError, "Cannot allocate memory for constructors");
        FAIL();
    }
    schema->constructor_count = static_cast<int32_t>(count);
    // calloc(0) may legitimately return null; one spare record keeps "no
    // memory" unambiguous.
    schema->constructors = static_cast<TLConstructor*>(calloc(static_cast<size_t>(count) + 1, sizeof(TLConstructor)));
    if (!schema->constructors) {
        free(schema);
        self->_schema = nullptr;
        PyErr_SetString(PyExc_MemoryError, "Cannot allocate memory for constructors");
        FAIL();
    }
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyRef constr_data = PyRef::borrow(PyList_GET_ITEM(entries.get(), i));
        if (constr_data.get() != Py_None && !PyDict_CheckExact(constr_data.get())) {
            raise_expected("dict", constr_data.get());
            FAIL();
        }
        TLConstructor* constr = self->ops->_create_constructor(self, constr_data.get(), static_cast<int32_t>(i));
        if (PyErr_Occurred()) FAIL();
        if (!constr) continue;
        if (index_constructor(self, constr) < 0) FAIL();
    }
    return 0;
error:
    add_traceback("Velta.tl.TLSchemaCompiler._parse_json_schema", fail_line);
    return -1;
}

TLSchema* compiler_get_schema(TLSchemaCompilerObject* self) { return self->_schema; }

const TLSchemaCompilerOps kCompilerOps = {
    compiler_free_schema,
    compiler_parse_json_schema,
    compiler_create_constructor,
    compiler_parse_type,
    compiler_get_schema,
};

PyObject* compiler_alloc(PyTypeObject* type) {
    PyObject* obj = type->tp_alloc(type, 0);
    if (!obj) return nullptr;
    auto* self = reinterpret_cast<TLSchemaCompilerObject*>(obj);
    self->ops = &kCompilerOps;
    new (&self->_id_map) IdMap();
    new (&self->_name_map) NameMap();
    self->_schema = nullptr;
    self->_compiling = self->_in_use = 0;
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
        SavedException pending;
        // Keep the instance alive while its table is released.
        Py_SET_REFCNT(obj, Py_REFCNT(obj) + 1);
        self->ops->_free_schema(self);
        if (PyErr_Occurred()) {
            PyRef context(PyUnicode_FromString("Velta.tl.TLSchemaCompiler.__dealloc__"));
            PyErr_WriteUnraisable(context.get());
        }
        Py_SET_REFCNT(obj, Py_REFCNT(obj) - 1);
    }
    self->_id_map.~IdMap();
    self->_name_map.~NameMap();
    Py_TYPE(obj)->tp_free(obj);
}

PyObject* compiler_compile(PyObject* obj, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* json_data = nullptr;
    ArgBinder binder("compile", &S.str_json_data, 1, &json_data);
    if (binder.bind_vector(args, nargs, kwnames) < 0) return nullptr;
    auto* self = reinterpret_cast<TLSchemaCompilerObject*>(obj);
    if (self->_compiling || self->_in_use) {
        PyErr_SetString(PyExc_RuntimeError,
                        self->_compiling ? "TLSchemaCompiler.compile() called while this compiler is compiling"
                                         : "TLSchemaCompiler.compile() called on the compiler of a TLParser, "
                                           "whose table is in use");
        return nullptr;
    }
    self->_compiling = 1;
    const int status = self->ops->_parse_json_schema(self, json_data);
    self->_compiling = 0;
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

}  // namespace

// Static types: the head is initialised here, every slot in the setup
// functions below, before the type is readied.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
PyTypeObject TLSchemaCompilerType = {PyVarObject_HEAD_INIT(nullptr, 0)};
PyTypeObject TLParserType = {PyVarObject_HEAD_INIT(nullptr, 0)};
#pragma GCC diagnostic pop

namespace {

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

}  // namespace

// ===========================================================================
// TLParser

namespace {

struct TLParserObject;

struct TLParserOps {
    PyObject* (*_read_object)(TLParserObject* self);
    PyObject* (*_read_value)(TLParserObject* self, TLType field_type, TypeText type_name);
    PyObject* (*_read_vector)(TLParserObject* self, TypeText type_name);
    uint32_t (*_read_int32)(TLParserObject* self);
    uint64_t (*_read_int64)(TLParserObject* self);
    double (*_read_double)(TLParserObject* self);
    PyObject* (*_read_bytes)(TLParserObject* self);
    PyObject* (*_read_string)(TLParserObject* self);
    int (*_write_object)(TLParserObject* self, PyObject* value);
    int (*_write_value)(TLParserObject* self, PyObject* value, TLType field_type, TypeText type_name);
    int (*_write_vector)(TLParserObject* self, PyObject* vector, TypeText type_name);
    int (*_write_int32)(TLParserObject* self, int32_t value);
    int (*_write_int64)(TLParserObject* self, uint64_t value);
    int (*_write_double)(TLParserObject* self, double value);
    int (*_write_bytes)(TLParserObject* self, PyObject* data);
    int (*_write_string)(TLParserObject* self, PyObject* data);
    int (*_ensure_buffer)(TLParserObject* self, size_t needed);
};

struct TLParserObject {
    PyObject_HEAD
    const TLParserOps* ops;
    TLSchema* _schema;      // borrowed from _compiler
    PyObject* _compiler;    // owned; None before construction and after a clear
    unsigned char* _buffer;
    size_t _buffer_alloc_size;
    const unsigned char* _input;  // the bytes being unpacked, read in place
    size_t _buffer_size;          // length of _input
    size_t _reserved;             // input bytes that the unread elements of
                                  // the open vectors need at the least
    size_t _position;
    int _error;
    int _busy;              // a pack or unpack is running on this parser
    // Long byte strings are not copied into the buffer while packing: they
    // are kept by reference and copied once, straight into the result.
    // `_position` stays the offset in `_buffer`; the message is `_deferred`
    // bytes longer.
    struct DeferredBytes {
        size_t at;         // offset in _buffer where the data belongs
        PyObject* owner;   // strong; the bytes or str that holds `data`
        const char* data;
        size_t size;
    }* _deferred_items;
    size_t _deferred_count;
    size_t _deferred_capacity;
    size_t _deferred;
    // Where a failing pack or unpack was, recorded only while unwinding
    // from a failure: path steps innermost first (".field", "[3]"), the
    // outermost constructor's name, and the offset of the innermost field.
    PyObject* _error_path;    // list or null
    PyObject* _error_root;    // str or null
    size_t _error_offset;
    // Messages name their constructors with the same few str objects again
    // and again: a small cache keyed by object identity skips the hashing of
    // the name. Entries hold strong references.
    struct NameCacheEntry {
        PyObject* name;
        TLConstructor* constructor;
    } _name_cache[32];
};

constexpr size_t kNameCacheSize = 32;

TLParserObject::NameCacheEntry& name_cache_slot(TLParserObject* self, PyObject* name) {
    return self->_name_cache[(reinterpret_cast<uintptr_t>(name) >> 4) % kNameCacheSize];
}


// The operations, declared ahead so that the table can be a constant: calls
// through it resolve at compile time and can be inlined.
PyObject* parser_read_object(TLParserObject* self);
PyObject* parser_read_value(TLParserObject* self, TLType field_type, TypeText type_name);
PyObject* parser_read_vector(TLParserObject* self, TypeText type_name);
uint32_t parser_read_int32(TLParserObject* self);
uint64_t parser_read_int64(TLParserObject* self);
double parser_read_double(TLParserObject* self);
PyObject* parser_read_bytes(TLParserObject* self);
PyObject* parser_read_string(TLParserObject* self);
int parser_write_object(TLParserObject* self, PyObject* value);
int parser_write_value(TLParserObject* self, PyObject* value, TLType field_type, TypeText type_name);
int parser_write_vector(TLParserObject* self, PyObject* vector, TypeText type_name);
int parser_write_int32(TLParserObject* self, int32_t value);
int parser_write_int64(TLParserObject* self, uint64_t value);
int parser_write_double(TLParserObject* self, double value);
int parser_write_bytes(TLParserObject* self, PyObject* data);
int parser_write_string(TLParserObject* self, PyObject* data);
int parser_ensure_buffer(TLParserObject* self, size_t needed);

constexpr TLParserOps kParserOps = {
    parser_read_object,  parser_read_value,   parser_read_vector,  parser_read_int32,
    parser_read_int64,   parser_read_double,  parser_read_bytes,   parser_read_string,
    parser_write_object, parser_write_value,  parser_write_vector, parser_write_int32,
    parser_write_int64,  parser_write_double, parser_write_bytes,  parser_write_string,
    parser_ensure_buffer,
};

TLSchemaCompilerObject* parser_compiler(TLParserObject* self) {
    return reinterpret_cast<TLSchemaCompilerObject*>(self->_compiler);
}

// The type text handed to the value codec: only vectors look at it.
TypeText field_type_text(const TLField& field) {
    return field.type == TL_TYPE_VECTOR && field.type_name ? TypeText(field.type_name) : TypeText();
}

// The element type of a vector type text: the text inside the outermost
// "Vector<...>" once a condition prefix is removed. A text of another shape
// keeps what is left after removing every "Vector<" and ">". No text at all
// means 32-bit integer elements.
struct ElementType {
    TLType kind;
    TypeText text;
};

ElementType element_type_of(TypeText type_name, std::string& storage) {
    if (!type_name.data()) return {TL_TYPE_INT, TypeText()};
    const std::string_view kept = velta::strip_condition(type_name);
    constexpr std::string_view open = "Vector<";
    if (kept.size() > open.size() && kept.starts_with(open) && kept.ends_with('>')) {
        const TypeText inner = kept.substr(open.size(), kept.size() - open.size() - 1);
        return {classify_type_text(inner), inner};
    }
    storage.assign(kept);
    for (size_t at; (at = storage.find(open)) != std::string::npos;) storage.erase(at, open.size());
    for (size_t at; (at = storage.find('>')) != std::string::npos;) storage.erase(at, 1);
    return {classify_type_text(storage), TypeText(storage.data(), storage.size())};
}

// Keeps a nesting level inside the interpreter's recursion limit; deep input
// or a self-referencing value ends in RecursionError, not a native crash.
class RecursionGuard {
public:
    explicit RecursionGuard(const char* where) : entered_(Py_EnterRecursiveCall(where) == 0) {}
    RecursionGuard(const RecursionGuard&) = delete;
    RecursionGuard& operator=(const RecursionGuard&) = delete;
    ~RecursionGuard() {
        if (entered_) Py_LeaveRecursiveCall();
    }
    bool entered() const { return entered_; }

private:
    bool entered_;
};

// ---- where a failure happened ----------------------------------------------

// Out of memory, a note could not be made, and the interpreter may hand out
// one shared MemoryError instance that must not collect notes.
bool failing_for_memory() { return PyErr_Occurred() && PyErr_ExceptionMatches(PyExc_MemoryError); }

// Records one step of the path to a failure; called on failure paths only.
// `offset` is kept from the innermost step.
void record_step(TLParserObject* self, PyObject* step, size_t offset) {
    if (!step) return;
    SavedException pending;
    if (!self->_error_path) {
        self->_error_path = PyList_New(0);
        self->_error_offset = offset;
    }
    if (self->_error_path) PyList_Append(self->_error_path, step);
    Py_DECREF(step);
    PyErr_Clear();
}

void record_field(TLParserObject* self, const TLField& field, size_t offset) {
    if (failing_for_memory()) return;
    SavedException pending;
    PyObject* step = PyUnicode_FromFormat(".%s", field.name);
    PyErr_Clear();
    record_step(self, step, offset);
}

void record_index(TLParserObject* self, Py_ssize_t index, size_t offset) {
    if (failing_for_memory()) return;
    SavedException pending;
    PyObject* step = PyUnicode_FromFormat("[%zd]", index);
    PyErr_Clear();
    record_step(self, step, offset);
}

// Called by each object level that a failure passes through; the outermost
// one names the root of the path.
void record_root(TLParserObject* self, const TLConstructor* constr) {
    if (!self->_error_path) return;
    Py_XSETREF(self->_error_root, Py_NewRef(constr->py_name));
}

void forget_error_path(TLParserObject* self) {
    Py_CLEAR(self->_error_path);
    Py_CLEAR(self->_error_root);
}

// The note for a recorded path, such as "while unpacking
// messages.messages.messages[3].entities[0].offset at byte 116"; null if it
// cannot be made. Runs with the failure set aside.
PyObject* describe_error_path(TLParserObject* self, const char* verb, bool with_offset) {
    SavedException pending;
    PyRef steps(PySequence_List(self->_error_path));
    if (!steps || PyList_Reverse(steps.get()) < 0) {
        PyErr_Clear();
        return nullptr;
    }
    // A path as deep as the recursion limit is cut in the middle.
    constexpr Py_ssize_t kKeep = 20;
    const Py_ssize_t count = PyList_GET_SIZE(steps.get());
    if (count > 2 * kKeep) {
        PyRef ellipsis(PyUnicode_FromString("..."));
        if (!ellipsis || PyList_SetSlice(steps.get(), kKeep, count - kKeep, nullptr) < 0 ||
            PyList_Insert(steps.get(), kKeep, ellipsis.get()) < 0) {
            PyErr_Clear();
            return nullptr;
        }
    }
    PyRef path(PyUnicode_Join(S.empty_str, steps.get()));
    PyObject* root = self->_error_root ? self->_error_root : S.empty_str;
    PyObject* note = !path ? nullptr
                     : with_offset ? PyUnicode_FromFormat("while %s %U%U at byte %zu", verb, root, path.get(),
                                                          self->_error_offset)
                                   : PyUnicode_FromFormat("while %s %U%U", verb, root, path.get());
    PyErr_Clear();
    return note;
}

// Adds the recorded path, if any, as a note to the pending exception.
void attach_error_path(TLParserObject* self, const char* verb, bool with_offset) {
    if (!self->_error_path) return;
    if (failing_for_memory()) {
        forget_error_path(self);
        return;
    }
    PyRef note(describe_error_path(self, verb, with_offset));
    forget_error_path(self);
    if (note) velta::add_note_to_pending(note.get(), S.str_add_note);
}

// ---- buffer and scalars ----------------------------------------------------

// Whether `needed` more bytes fit without growing: the common case, checked
// inline before calling _ensure_buffer.
inline bool has_room(const TLParserObject* self, size_t needed) {
    return self->_buffer_alloc_size - self->_position >= needed;
}

int parser_ensure_buffer(TLParserObject* self, size_t needed) {
    int fail_line = 0;
    const size_t required = self->_position + needed;
    size_t new_size = self->_buffer_alloc_size;
    unsigned char* grown;
    if (required < self->_position) {  // size_t wrapped: no buffer can hold it
        PyErr_SetString(PyExc_MemoryError, "Cannot reallocate buffer");
        FAIL();
    }
    if (self->_buffer_alloc_size >= required) return 0;
    do {
        if (new_size > SIZE_MAX / 2) {
            PyErr_SetString(PyExc_MemoryError, "Cannot reallocate buffer");
            FAIL();
        }
        new_size *= 2;
    } while (new_size < required);
    grown = static_cast<unsigned char*>(realloc(self->_buffer, new_size));
    if (!grown) {
        PyErr_SetString(PyExc_MemoryError, "Cannot reallocate buffer");
        FAIL();
    }
    self->_buffer = grown;
    self->_buffer_alloc_size = new_size;
    return 0;
error:
    add_traceback("Velta.tl.TLParser._ensure_buffer", fail_line);
    return -1;
}

// Room for `width` more bytes at the cursor, claimed; null with MemoryError
// pending when the buffer cannot grow.
inline unsigned char* claim_output(TLParserObject* self, size_t width) {
    if (VELTA_UNLIKELY(!has_room(self, width)) && kParserOps._ensure_buffer(self, width) < 0) return nullptr;
    unsigned char* at = self->_buffer + self->_position;
    self->_position += width;
    return at;
}

int parser_write_int32(TLParserObject* self, int32_t value) {
    unsigned char* at = claim_output(self, 4);
    if (VELTA_UNLIKELY(!at)) {
        add_traceback("Velta.tl.TLParser._write_int32", __LINE__);
        return -1;
    }
    velta::store_le32(at, static_cast<uint32_t>(value));
    return 0;
}

int parser_write_int64(TLParserObject* self, uint64_t value) {
    unsigned char* at = claim_output(self, 8);
    if (VELTA_UNLIKELY(!at)) {
        add_traceback("Velta.tl.TLParser._write_int64", __LINE__);
        return -1;
    }
    velta::store_le64(at, value);
    return 0;
}

int parser_write_double(TLParserObject* self, double value) {
    unsigned char* at = claim_output(self, 8);
    if (VELTA_UNLIKELY(!at)) {
        add_traceback("Velta.tl.TLParser._write_double", __LINE__);
        return -1;
    }
    uint64_t bits;
    memcpy(&bits, &value, sizeof bits);
    velta::store_le64(at, bits);
    return 0;
}

// Byte strings at least this long are copied once, into the result, rather
// than into the buffer and again into the result.
constexpr size_t kDeferredBytesMin = 64 * 1024;

int defer_bytes(TLParserObject* self, size_t at, PyObject* owner, const char* data, size_t size) {
    if (self->_deferred_count == self->_deferred_capacity) {
        const size_t capacity = self->_deferred_capacity ? 2 * self->_deferred_capacity : 4;
        void* grown = realloc(self->_deferred_items, capacity * sizeof *self->_deferred_items);
        if (!grown) {
            PyErr_NoMemory();
            return -1;
        }
        self->_deferred_items = static_cast<TLParserObject::DeferredBytes*>(grown);
        self->_deferred_capacity = capacity;
    }
    self->_deferred_items[self->_deferred_count++] = {at, Py_NewRef(owner), data, size};
    self->_deferred += size;
    return 0;
}

void release_deferred(TLParserObject* self) {
    // Detach first: dropping an owner may run interpreter code.
    const size_t count = std::exchange(self->_deferred_count, 0);
    self->_deferred = 0;
    for (size_t i = 0; i < count; ++i) Py_CLEAR(self->_deferred_items[i].owner);
}

// The packed message as a new bytes object: the buffer, with the deferred
// byte strings copied into their places.
PyObject* packed_message(TLParserObject* self) {
    const char* buffer = reinterpret_cast<const char*>(self->_buffer);
    if (!self->_deferred_count) return PyBytes_FromStringAndSize(buffer, static_cast<Py_ssize_t>(self->_position));
    const size_t total = self->_position + self->_deferred;
    if (total > static_cast<size_t>(PY_SSIZE_T_MAX)) return PyErr_NoMemory();
    PyObject* result = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(total));
    if (!result) return nullptr;
    char* out = PyBytes_AS_STRING(result);
    size_t from = 0;
    for (size_t i = 0; i < self->_deferred_count; ++i) {
        const TLParserObject::DeferredBytes& item = self->_deferred_items[i];
        memcpy(out, buffer + from, item.at - from);
        out += item.at - from;
        from = item.at;
        memcpy(out, item.data, item.size);
        out += item.size;
    }
    memcpy(out, buffer + from, self->_position - from);
    return result;
}

// Appends one byte string: length prefix, data, zero padding to a multiple of
// 4 bytes from the start of the message. `owner` keeps `data` alive; when
// given, a long string is deferred instead of copied.
int write_byte_string(TLParserObject* self, const char* data, size_t length, PyObject* owner) {
    if (length > velta::kMaxByteStringLength) {
        PyErr_Format(PyExc_ValueError, "bytes value too long for TL encoding: %zu bytes (at most %zu)",
                     length, velta::kMaxByteStringLength);
        return -1;
    }
    const bool deferred = owner && length >= kDeferredBytesMin;
    if (kParserOps._ensure_buffer(self, (deferred ? 0 : length) + 16) < 0) return -1;
    unsigned char* out = self->_buffer + self->_position;
    size_t at = 0;
    if (length <= 253) {
        out[at++] = static_cast<unsigned char>(length);
    } else {
        out[at++] = 254;
        out[at++] = static_cast<unsigned char>(length & 0xFF);
        out[at++] = static_cast<unsigned char>((length >> 8) & 0xFF);
        out[at++] = static_cast<unsigned char>((length >> 16) & 0xFF);
    }
    if (deferred) {
        if (defer_bytes(self, self->_position + at, owner, data, length) < 0) return -1;
    } else {
        if (length) memcpy(out + at, data, length);
        at += length;
    }
    while ((self->_position + self->_deferred + at) % 4) out[at++] = 0;
    self->_position += at;
    return 0;
}

int parser_write_bytes(TLParserObject* self, PyObject* data) {
    int fail_line = 0;
    if (data == Py_None) {
        PyErr_SetString(PyExc_TypeError, "object of type 'NoneType' has no len()");
        FAIL();
    }
    if (!PyBytes_Check(data)) {
        raise_expected("bytes", data);
        FAIL();
    }
    if (write_byte_string(self, PyBytes_AS_STRING(data), static_cast<size_t>(PyBytes_GET_SIZE(data)), data) < 0)
        FAIL();
    return 0;
error:
    add_traceback("Velta.tl.TLParser._write_bytes", fail_line);
    return -1;
}

int parser_write_string(TLParserObject* self, PyObject* data) {
    int fail_line = 0;
    Py_ssize_t size;
    const char* utf8;
    if (data == Py_None) {
        raise_none_attribute("encode");
        FAIL();
    }
    if (!PyUnicode_Check(data)) {
        raise_expected("str", data);
        FAIL();
    }
    utf8 = PyUnicode_AsUTF8AndSize(data, &size);
    if (!utf8) FAIL();
    if (write_byte_string(self, utf8, static_cast<size_t>(size), data) < 0) FAIL();
    return 0;
error:
    add_traceback("Velta.tl.TLParser._write_string", fail_line);
    return -1;
}

// The next `width` input bytes, consumed; null when fewer remain, with
// `_error` set and the cursor left where it was.
inline const unsigned char* take_input(TLParserObject* self, size_t width) {
    if (VELTA_UNLIKELY(self->_buffer_size < width || self->_position > self->_buffer_size - width)) {
        self->_error = 1;
        return nullptr;
    }
    const unsigned char* at = self->_input + self->_position;
    self->_position += width;
    return at;
}

uint32_t parser_read_int32(TLParserObject* self) {
    const unsigned char* at = take_input(self, 4);
    return at ? velta::load_le32(at) : 0;
}

uint64_t parser_read_int64(TLParserObject* self) {
    const unsigned char* at = take_input(self, 8);
    return at ? velta::load_le64(at) : 0;
}

double parser_read_double(TLParserObject* self) {
    const unsigned char* at = take_input(self, 8);
    if (!at) return 0.0;
    const uint64_t bits = velta::load_le64(at);
    double value;
    memcpy(&value, &bits, sizeof value);
    return value;
}

// Reads the prefix of a byte string and bounds-checks its data. On success
// *data/*length describe the bytes and the cursor stands after the padding
// (which is not checked: it may stand up to 3 bytes past the input). On short
// input it sets `_error` and leaves the cursor after what prefix was read.
bool read_byte_string(TLParserObject* self, const unsigned char** data, size_t* length) {
    const size_t start = self->_position;
    const size_t size = self->_buffer_size;
    if (start >= size) {
        self->_error = 1;
        return false;
    }
    size_t len = self->_input[start];
    self->_position = start + 1;
    if (len == 254) {
        if (start + 4 > size) {
            self->_error = 1;
            return false;
        }
        const unsigned char* p = self->_input + start;
        len = static_cast<size_t>(p[1]) | (static_cast<size_t>(p[2]) << 8) | (static_cast<size_t>(p[3]) << 16);
        self->_position = start + 4;
    }
    if (len > size - self->_position) {
        self->_error = 1;
        return false;
    }
    *data = self->_input + self->_position;
    *length = len;
    self->_position += len;
    self->_position += (4 - self->_position % 4) % 4;
    return true;
}

PyObject* parser_read_bytes(TLParserObject* self) {
    const unsigned char* data;
    size_t length;
    if (!read_byte_string(self, &data, &length)) return Py_NewRef(S.empty_bytes);
    PyObject* result = PyBytes_FromStringAndSize(reinterpret_cast<const char*>(data), static_cast<Py_ssize_t>(length));
    if (!result) add_traceback("Velta.tl.TLParser._read_bytes", __LINE__);
    return result;
}

PyObject* parser_read_string(TLParserObject* self) {
    const unsigned char* data;
    size_t length;
    if (!read_byte_string(self, &data, &length) || length == 0) return Py_NewRef(S.empty_str);
    PyObject* result = PyUnicode_DecodeUTF8(reinterpret_cast<const char*>(data), static_cast<Py_ssize_t>(length), "strict");
    if (!result) add_traceback("Velta.tl.TLParser._read_string", __LINE__);
    return result;
}

// ---- values and vectors ----------------------------------------------------

// A new reference to the int that `value` converts to through its type's
// integer conversion (__int__, or __index__ where that is all it has).
PyObject* integer_of(PyObject* value) {
    if (PyLong_Check(value)) return Py_NewRef(value);
    PyNumberMethods* number = Py_TYPE(value)->tp_as_number;
    PyObject* result;
    const char* method;
    if (number && number->nb_int) {
        result = number->nb_int(value);
        method = "__int__";
    } else if (number && number->nb_index) {
        result = number->nb_index(value);
        method = "__index__";
    } else {
        PyErr_SetString(PyExc_TypeError, "an integer is required");
        return nullptr;
    }
    if (result && !PyLong_Check(result)) {
        PyErr_Format(PyExc_TypeError, "%s returned non-int (type %.200s)", method, Py_TYPE(result)->tp_name);
        Py_CLEAR(result);
    }
    return result;
}

// An `int` field takes -2**31 .. 2**32-1: signed values, and the unsigned
// values unpack yields, written as their 32-bit pattern.
int convert_int32(PyObject* value, int32_t* out) {
    PyRef number = PyLong_CheckExact(value) ? PyRef::borrow(value) : PyRef(integer_of(value));
    long long v;
    if (!number || int_in_range(number.get(), INT32_MIN, 0xFFFFFFFFll, "int32_t", &v) < 0) return -1;
    *out = static_cast<int32_t>(static_cast<uint32_t>(v));
    return 0;
}

int convert_uint64(PyObject* value, uint64_t* out) {
    PyRef number = PyLong_CheckExact(value) ? PyRef::borrow(value) : PyRef(integer_of(value));
    if (!number) return -1;
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(number.get(), &overflow);
    if (v == -1 && PyErr_Occurred()) return -1;
    if (overflow < 0 || (overflow == 0 && v < 0)) {
        PyErr_Format(PyExc_OverflowError, "can't convert negative value to %.200s", "uint64_t");
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

PyObject* parser_read_value(TLParserObject* self, TLType field_type, TypeText type_name) {
    PyObject* result;
    switch (field_type) {
        case TL_TYPE_INT:
            return PyLong_FromUnsignedLong(kParserOps._read_int32(self));
        case TL_TYPE_LONG:
            return PyLong_FromUnsignedLongLong(kParserOps._read_int64(self));
        case TL_TYPE_DOUBLE:
            return PyFloat_FromDouble(kParserOps._read_double(self));
        case TL_TYPE_STRING:
            result = kParserOps._read_string(self);
            break;
        case TL_TYPE_BYTES:
            result = kParserOps._read_bytes(self);
            break;
        case TL_TYPE_BOOL:
            return PyBool_FromLong(kParserOps._read_int32(self) != 0);
        case TL_TYPE_VECTOR:
            result = kParserOps._read_vector(self, type_name);
            break;
        case TL_TYPE_OBJECT:
            result = kParserOps._read_object(self);
            break;
        default:
            self->_error = 1;
            PyErr_Format(PyExc_ValueError, "Unknown type: %u", static_cast<unsigned>(field_type));
            result = nullptr;
            break;
    }
    if (!result) add_traceback("Velta.tl.TLParser._read_value", __LINE__);
    return result;
}

PyObject* parser_read_vector(TLParserObject* self, TypeText type_name) {
    int fail_line = 0;
    RecursionGuard guard(" while unpacking a TL vector");
    uint32_t vector_id;
    int32_t count;
    size_t remaining;
    std::string storage;
    ElementType element;
    PyRef result;

    if (!guard.entered()) FAIL();
    vector_id = kParserOps._read_int32(self);
    if (vector_id != velta::kVectorId) {
        self->_error = 1;
        PyErr_Format(PyExc_ValueError, "Invalid vector ID: 0x%08x", vector_id);
        FAIL();
    }
    count = static_cast<int32_t>(kParserOps._read_int32(self));
    if (count < 0) {
        PyErr_Format(PyExc_ValueError, "Invalid vector length: %d", count);
        FAIL();
    }
    try {
        element = element_type_of(type_name, storage);
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        FAIL();
    }
    remaining = self->_position < self->_buffer_size ? self->_buffer_size - self->_position : 0;
    {
        // Every element takes at least 4 bytes of cursor, and only the last
        // one may end past the input; the unread elements of the enclosing
        // vectors need theirs too. A count beyond that cannot be read: the
        // unpack must fail and this list is never seen. It is not allocated,
        // so no nesting of claimed counts can allocate more than the input
        // justifies; the elements are still read in turn, so the reported
        // position and any exception are exactly those of reading each one.
        const size_t available = remaining + 3 > self->_reserved ? remaining + 3 - self->_reserved : 0;
        const bool fits = static_cast<size_t>(count) <= available / 4;
        const size_t reserved_before = self->_reserved;
        int error_seen = self->_error;
        result.reset(PyList_New(fits ? count : 0));
        if (!result) FAIL();
        if (fits) self->_reserved += 4 * static_cast<size_t>(count);
        for (int32_t i = 0; i < count; ++i) {
            const size_t before = self->_position;
            if (fits) self->_reserved -= 4;
            PyObject* item = kParserOps._read_value(self, element.kind, element.text);
            if (!item) {
                self->_reserved = reserved_before;
                record_index(self, i, before);
                FAIL();
            }
            if (fits) PyList_SET_ITEM(result.get(), i, item);
            else Py_DECREF(item);
            if (VELTA_UNLIKELY(self->_error)) {
                if (!error_seen) {
                    record_index(self, i, before);
                    error_seen = 1;
                }
                if (self->_position == before) {
                    // Out of input: every later element reads as the same
                    // zero value without moving the cursor.
                    if (fits)
                        for (int32_t j = i + 1; j < count; ++j) PyList_SET_ITEM(result.get(), j, Py_NewRef(Py_None));
                    break;
                }
            }
        }
        self->_reserved = reserved_before;
    }
    return result.release();
error:
    add_traceback("Velta.tl.TLParser._read_vector", fail_line);
    return nullptr;
}

int parser_write_value(TLParserObject* self, PyObject* value, TLType field_type, TypeText type_name) {
    int fail_line = 0;
    switch (field_type) {
        case TL_TYPE_INT: {
            int32_t v;
            if (convert_int32(value, &v) < 0 || kParserOps._write_int32(self, v) < 0) FAIL();
            return 0;
        }
        case TL_TYPE_LONG: {
            uint64_t v;
            if (convert_uint64(value, &v) < 0 || kParserOps._write_int64(self, v) < 0) FAIL();
            return 0;
        }
        case TL_TYPE_DOUBLE: {
            const double v = PyFloat_CheckExact(value) ? PyFloat_AS_DOUBLE(value) : PyFloat_AsDouble(value);
            if (v == -1.0 && PyErr_Occurred()) FAIL();
            if (kParserOps._write_double(self, v) < 0) FAIL();
            return 0;
        }
        case TL_TYPE_STRING:
            if (kParserOps._write_string(self, value) < 0) FAIL();
            return 0;
        case TL_TYPE_BYTES:
            if (kParserOps._write_bytes(self, value) < 0) FAIL();
            return 0;
        case TL_TYPE_BOOL: {
            int truth;
            if (value == Py_True) truth = 1;
            else if (value == Py_False || value == Py_None) truth = 0;
            else if ((truth = PyObject_IsTrue(value)) < 0) FAIL();
            if (kParserOps._write_int32(self, truth) < 0) FAIL();
            return 0;
        }
        case TL_TYPE_VECTOR:
            if (kParserOps._write_vector(self, value, type_name) < 0) FAIL();
            return 0;
        case TL_TYPE_OBJECT:
            if (kParserOps._write_object(self, value) < 0) FAIL();
            return 0;
    }
    PyErr_Format(PyExc_ValueError, "Unknown type: %u", static_cast<unsigned>(field_type));
    FAIL();
error:
    add_traceback("Velta.tl.TLParser._write_value", fail_line);
    return -1;
}

int parser_write_vector(TLParserObject* self, PyObject* vector, TypeText type_name) {
    int fail_line = 0;
    RecursionGuard guard(" while packing a TL vector");
    PyRef items;
    Py_ssize_t count = 0;
    std::string storage;
    ElementType element;

    if (!guard.entered()) FAIL();
    if (PyList_CheckExact(vector)) {
        items = PyRef::borrow(vector);
    } else if (PyList_Check(vector)) {
        raise_expected("list", vector);
        FAIL();
    } else {
        items.reset(PySequence_List(vector));
        if (!items) FAIL();
    }
    count = PyList_GET_SIZE(items.get());
    if (count > INT32_MAX) {
        PyErr_Format(PyExc_ValueError, "vector too long for TL encoding: %zd elements", count);
        FAIL();
    }
    try {
        element = element_type_of(type_name, storage);
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        FAIL();
    }
    if (kParserOps._write_int32(self, static_cast<int32_t>(velta::kVectorId)) < 0) FAIL();
    if (kParserOps._write_int32(self, static_cast<int32_t>(count)) < 0) FAIL();
    for (Py_ssize_t i = 0; i < count; ++i) {
        // Element conversions run interpreter code that may change the list;
        // the count is already on the wire, so a change cannot be honoured.
        if (PyList_GET_SIZE(items.get()) != count) {
            PyErr_SetString(PyExc_RuntimeError, "list changed size during pack");
            FAIL();
        }
        PyRef item = PyRef::borrow(PyList_GET_ITEM(items.get(), i));
        if (kParserOps._write_value(self, item.get(), element.kind, element.text) < 0) {
            record_index(self, i, 0);
            FAIL();
        }
    }
    if (PyList_GET_SIZE(items.get()) != count) {
        PyErr_SetString(PyExc_RuntimeError, "list changed size during pack");
        FAIL();
    }
    return 0;
error:
    add_traceback("Velta.tl.TLParser._write_vector", fail_line);
    return -1;
}

// ---- objects ---------------------------------------------------------------

// The dict every decoded object of `constr` starts from: "_" and then each
// field key in wire order. Copying it and replacing values is much cheaper
// than growing a fresh dict key by key, and it fixes the key order.
PyObject* object_template(TLConstructor* constr) {
    if (constr->py_template) return constr->py_template;
    PyRef dict(PyDict_New());
    if (!dict || PyDict_SetItem(dict.get(), S.str_underscore, constr->py_name) < 0) return nullptr;
    for (int32_t i = 0; i < constr->field_count; ++i) {
        const TLField& field = constr->fields[i];
        if (!field.flags_word && PyDict_SetItem(dict.get(), field.py_name, Py_None) < 0) return nullptr;
    }
    Py_ssize_t named_fields = 1;
    for (int32_t i = 0; i < constr->field_count; ++i) named_fields += !constr->fields[i].flags_word;
    constr->distinct_names = PyDict_GET_SIZE(dict.get()) == named_fields;
    constr->py_template = dict.release();
    return constr->py_template;
}

PyObject* parser_read_object(TLParserObject* self) {
    int fail_line = 0;
    RecursionGuard guard(" while unpacking a TL object");
    uint32_t constructor_id;
    TLConstructor* constr = nullptr;
    PyRef result;
    int32_t flags = 0, flags2 = 0;
    const int error_at_start = self->_error;

    if (!guard.entered()) FAIL();
    if (self->_buffer_size < 4 || self->_position > self->_buffer_size - 4) {
        self->_error = 1;
        Py_RETURN_NONE;
    }
    constructor_id = kParserOps._read_int32(self);
    {
        const IdMap& ids = parser_compiler(self)->_id_map;
        const auto found = ids.find(constructor_id);
        if (found == ids.end()) {
            PyErr_Format(PyExc_ValueError, "Unknown constructor ID: 0x%08x", constructor_id);
            FAIL();
        }
        constr = found->second;
    }
    {
        PyObject* tmpl = object_template(constr);
        if (!tmpl) FAIL();
        result.reset(PyDict_Copy(tmpl));
        if (!result) FAIL();
    }

    for (int32_t i = 0; i < constr->field_count; ++i) {
        const TLField& field = constr->fields[i];
        if (field.flags_word) {
            (field.flags_word == 2 ? flags2 : flags) = static_cast<int32_t>(kParserOps._read_int32(self));
            continue;
        }
        if (field.is_optional) {
            const uint32_t word = static_cast<uint32_t>(field.flag_info.flags_index == 0 ? flags : flags2);
            const bool present = (word & field.flag_mask) != 0;
            if (field.type == TL_TYPE_BOOL || !present) {
                PyObject* marker = field.type == TL_TYPE_BOOL ? (present ? Py_True : Py_False) : Py_None;
                if ((marker != Py_None || !constr->distinct_names) &&
                    PyDict_SetItem(result.get(), field.py_name, marker) < 0)
                    FAIL();
                continue;
            }
        }
        const size_t field_start = self->_position;
        PyRef value(kParserOps._read_value(self, field.type, field_type_text(field)));
        if (!value) {
            record_field(self, field, field_start);
            FAIL();
        }
        if (self->_error) {
            // Reading goes on after input runs out; only the object where it
            // ran out, and those around it, are on the path.
            if (!error_at_start) record_field(self, field, field_start);
            record_root(self, constr);
            return result.release();
        }
        if (PyDict_SetItem(result.get(), field.py_name, value.get()) < 0) FAIL();
    }
    return result.release();
error:
    if (constr) record_root(self, constr);
    add_traceback("Velta.tl.TLParser._read_object", fail_line);
    return nullptr;
}

// Field access on the value being packed: an exact dict is read directly,
// anything else through the mapping protocol (`in`, then item lookup).
// Returns 1 with *out set when the key is present, 0 when absent, -1 on error.
int lookup_field(PyObject* value, bool exact_dict, PyObject* key, PyRef* out) {
    if (exact_dict) {
        PyObject* found = PyDict_GetItemWithError(value, key);
        if (!found) return PyErr_Occurred() ? -1 : 0;
        *out = PyRef::borrow(found);
        return 1;
    }
    const int present = PySequence_Contains(value, key);
    if (present <= 0) return present;
    out->reset(PyObject_GetItem(value, key));
    return *out ? 1 : -1;
}

// The default written for a missing unconditional field, as a new reference.
PyObject* default_value(TLType kind) {
    switch (kind) {
        case TL_TYPE_INT:
        case TL_TYPE_LONG:
            return Py_NewRef(S.int_zero);
        case TL_TYPE_DOUBLE:
            return Py_NewRef(S.float_zero);
        case TL_TYPE_STRING:
            return Py_NewRef(S.empty_str);
        case TL_TYPE_BYTES:
            return Py_NewRef(S.empty_bytes);
        case TL_TYPE_BOOL:
            return Py_NewRef(Py_False);
        case TL_TYPE_VECTOR:
            return PyList_New(0);
        case TL_TYPE_OBJECT:
            return PyDict_New();
    }
    return Py_NewRef(Py_None);
}

// The constructor named by value["_"], or null with an exception pending.
TLConstructor* constructor_for(TLParserObject* self, PyObject* value, bool exact_dict) {
    PyRef constr_name;
    if (exact_dict) {
        PyObject* found = PyDict_GetItemWithError(value, S.str_underscore);
        if (!found && PyErr_Occurred()) return nullptr;
        constr_name = PyRef::borrow(found ? found : Py_None);
    } else {
        PyRef get(PyObject_GetAttr(value, S.str_get));
        if (!get) return nullptr;
        constr_name.reset(PyObject_CallOneArg(get.get(), S.str_underscore));
        if (!constr_name) return nullptr;
    }
    TLParserObject::NameCacheEntry& cached = name_cache_slot(self, constr_name.get());
    if (cached.name == constr_name.get()) return cached.constructor;
    if (constr_name.get() != Py_None && !PyUnicode_CheckExact(constr_name.get())) {
        raise_expected("str", constr_name.get());
        return nullptr;
    }
    if (constr_name.get() == Py_None || PyUnicode_GET_LENGTH(constr_name.get()) == 0) {
        PyErr_SetString(PyExc_ValueError, "Object must have '_' field");
        return nullptr;
    }
    Py_ssize_t size;
    const char* utf8 = PyUnicode_AsUTF8AndSize(constr_name.get(), &size);
    if (!utf8) return nullptr;
    const NameMap& names = parser_compiler(self)->_name_map;
    const auto found = names.find(std::string_view(utf8));  // up to the first NUL
    if (found == names.end()) {
        PyErr_Format(PyExc_ValueError, "Unknown constructor: %U", constr_name.get());
        return nullptr;
    }
    Py_XSETREF(cached.name, constr_name.release());
    cached.constructor = found->second;
    return found->second;
}

// The values of conditional fields that the first pass of _write_object
// found present, kept (as strong references) for the second pass so each is
// looked up once. Constructors with more fields than fit look up twice.
class PresentValues {
public:
    static constexpr int32_t kCapacity = 48;
    explicit PresentValues(int32_t field_count) : count_(field_count <= kCapacity ? field_count : 0) {
        for (int32_t i = 0; i < count_; ++i) values_[i] = nullptr;
    }
    PresentValues(const PresentValues&) = delete;
    PresentValues& operator=(const PresentValues&) = delete;
    ~PresentValues() {
        for (int32_t i = 0; i < count_; ++i) Py_XDECREF(values_[i]);
    }
    bool enabled() const { return count_ > 0; }
    void keep(int32_t index, PyRef& value) {
        if (index < count_) values_[index] = value.release();
    }
    // A new reference to the kept value, or null when the field was absent.
    PyObject* take(int32_t index) { return std::exchange(values_[index], nullptr); }

private:
    int32_t count_;
    PyObject* values_[kCapacity];
};

int parser_write_object(TLParserObject* self, PyObject* value) {
    int fail_line = 0;
    RecursionGuard guard(" while packing a TL object");
    const bool exact_dict = PyDict_CheckExact(value);
    TLConstructor* constr = nullptr;
    uint32_t flags = 0, flags2 = 0;

    if (!guard.entered()) FAIL();
    if (!(constr = constructor_for(self, value, exact_dict))) FAIL();
    {
        PresentValues present_values(constr->field_count);

        // First pass: the flags words, from which conditional fields are present.
        for (int32_t i = 0; i < constr->field_count; ++i) {
            const TLField& field = constr->fields[i];
            if (!field.is_optional || field.flags_word) continue;
            PyRef field_value;
            const int found = lookup_field(value, exact_dict, field.py_name, &field_value);
            if (found < 0) {
                record_field(self, field, 0);
                FAIL();
            }
            if (!found) continue;
            const bool present = field.type == TL_TYPE_BOOL ? field_value.get() == Py_True : field_value.get() != Py_None;
            if (!present) continue;
            const uint32_t mask = field.flag_mask;
            if (!mask) {
                PyErr_Format(PyExc_ValueError, "Field '%U' uses flag bit %d, outside 0..31", field.py_name,
                             field.flag_info.bit_position);
                record_field(self, field, 0);
                FAIL();
            }
            (field.flag_info.flags_index == 0 ? flags : flags2) |= mask;
            if (field.type != TL_TYPE_BOOL) present_values.keep(i, field_value);
        }

        if (kParserOps._write_int32(self, static_cast<int32_t>(constr->id)) < 0) FAIL();

        // Second pass: emit the fields in schema order.
        for (int32_t i = 0; i < constr->field_count; ++i) {
            const TLField& field = constr->fields[i];
            if (field.flags_word) {
                if (kParserOps._write_int32(self, static_cast<int32_t>(field.flags_word == 2 ? flags2 : flags)) < 0) FAIL();
                continue;
            }
            if (field.is_optional) {
                const uint32_t word = field.flag_info.flags_index == 0 ? flags : flags2;
                if (field.type == TL_TYPE_BOOL || !(word & field.flag_mask)) continue;
            }
            PyRef field_value;
            if (field.is_optional && present_values.enabled()) {
                // Present in the first pass, or (None or missing) skipped.
                field_value.reset(present_values.take(i));
                if (!field_value) continue;
            } else {
                const int found = lookup_field(value, exact_dict, field.py_name, &field_value);
                if (found < 0) {
                    record_field(self, field, 0);
                    FAIL();
                }
                if (!found) {
                    if (field.is_optional) continue;
                    field_value.reset(default_value(field.type));
                    if (!field_value) FAIL();
                } else if (field.is_optional && field_value.get() == Py_None) {
                    continue;
                }
            }
            if (kParserOps._write_value(self, field_value.get(), field.type, field_type_text(field)) < 0) {
                record_field(self, field, 0);
                FAIL();
            }
        }
    }
    return 0;
error:
    if (constr) record_root(self, constr);
    add_traceback("Velta.tl.TLParser._write_object", fail_line);
    return -1;
}


// ---- the parser object -----------------------------------------------------

// Marks the parser busy for the length of one pack or unpack. Interpreter
// code that runs inside a call (a mapping's get, a __float__, a generator, a
// finaliser) must not start another call on the same buffer and cursor.
class BusyScope {
public:
    explicit BusyScope(TLParserObject* self) : self_(self) { self_->_busy = 1; }
    ~BusyScope() { self_->_busy = 0; }

private:
    TLParserObject* self_;
};

int check_ready(TLParserObject* self, const char* method) {
    if (VELTA_UNLIKELY(self->_busy)) {
        PyErr_Format(PyExc_RuntimeError,
                     "TLParser.%s() called while this parser is already busy with another pack() or unpack()",
                     method);
        return -1;
    }
    if (VELTA_UNLIKELY(self->_compiler == Py_None || !self->_schema)) {
        PyErr_Format(PyExc_RuntimeError, "TLParser.%s() called on a parser without a schema", method);
        return -1;
    }
    return 0;
}

PyObject* parser_create(PyTypeObject* type, PyObject* schema_json) {
    int fail_line = 0;
    PyRef obj(type->tp_alloc(type, 0));
    TLParserObject* self;
    PyObject* compiler;
    PyRef compiled;
    if (!obj) FAIL();
    self = reinterpret_cast<TLParserObject*>(obj.get());
    self->ops = &kParserOps;
    self->_compiler = Py_NewRef(Py_None);

    compiler = PyObject_CallNoArgs(reinterpret_cast<PyObject*>(&TLSchemaCompilerType));
    if (!compiler) FAIL();
    Py_SETREF(self->_compiler, compiler);
    compiled.reset(PyObject_CallMethodOneArg(compiler, S.str_compile, schema_json));
    if (!compiled) FAIL();
    self->_schema = parser_compiler(self)->ops->get_schema(parser_compiler(self));
    if (PyErr_Occurred()) FAIL();
    parser_compiler(self)->_in_use = 1;
    self->_buffer = nullptr;
    self->_buffer_alloc_size = self->_buffer_size = self->_position = 0;
    self->_error = 0;
    return obj.release();
error:
    add_traceback("Velta.tl.TLParser.__cinit__", fail_line);
    return nullptr;
}

PyObject* parser_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    PyObject* schema_json = nullptr;
    ArgBinder binder("__cinit__", &S.str_schema_json, 1, &schema_json);
    if (binder.bind_classic(args, kwargs) < 0) return nullptr;
    return parser_create(type, schema_json);
}

PyObject* parser_vectorcall(PyObject* type, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    if (type != reinterpret_cast<PyObject*>(&TLParserType)) return call_type_classic(type, args, nargsf, kwnames);
    PyObject* schema_json = nullptr;
    ArgBinder binder("__cinit__", &S.str_schema_json, 1, &schema_json);
    if (binder.bind_vector(args, PyVectorcall_NARGS(nargsf), kwnames) < 0) return nullptr;
    return parser_create(&TLParserType, schema_json);
}

PyObject* parser_unpack(PyObject* obj, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    auto* self = reinterpret_cast<TLParserObject*>(obj);
    PyObject* data = nullptr;
    ArgBinder binder("unpack", &S.str_data, 1, &data);
    if (binder.bind_vector(args, nargs, kwnames) < 0) return nullptr;
    if (data != Py_None && !PyBytes_CheckExact(data)) {
        PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", "data",
                     "bytes", Py_TYPE(data)->tp_name);
        return nullptr;
    }
    if (data == Py_None) {
        PyErr_SetString(PyExc_TypeError, "object of type 'NoneType' has no len()");
        return nullptr;
    }
    if (check_ready(self, "unpack") < 0) return nullptr;

    int fail_line = 0;
    PyRef parsed;
    if (VELTA_UNLIKELY(self->_error_path != nullptr)) forget_error_path(self);
    // The input is read where it lies: bytes are immutable and the caller
    // keeps `data` alive for the length of the call.
    self->_input = reinterpret_cast<const unsigned char*>(PyBytes_AS_STRING(data));
    self->_buffer_size = static_cast<size_t>(PyBytes_GET_SIZE(data));
    self->_position = 0;
    self->_reserved = 0;
    self->_error = 0;
    {
        BusyScope busy(self);
        parsed.reset(kParserOps._read_object(self));
        self->_input = nullptr;
    }
    if (!parsed) FAIL();
    if (self->_error) {
        PyErr_Format(PyExc_RuntimeError, "Parse error at position %zu", self->_position);
        FAIL();
    }
    return parsed.release();
error:
    attach_error_path(self, "unpacking", true);
    add_traceback("Velta.tl.TLParser.unpack", fail_line);
    return nullptr;
}

PyObject* parser_pack(PyObject* obj, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    auto* self = reinterpret_cast<TLParserObject*>(obj);
    PyObject* value = nullptr;
    ArgBinder binder("pack", &S.str_value, 1, &value);
    if (binder.bind_vector(args, nargs, kwnames) < 0) return nullptr;
    if (check_ready(self, "pack") < 0) return nullptr;

    int fail_line = 0;
    int status;
    if (VELTA_UNLIKELY(self->_error_path != nullptr)) forget_error_path(self);
    if (self->_buffer_alloc_size < 1024) {
        auto* grown = static_cast<unsigned char*>(realloc(self->_buffer, 1024));
        if (!grown) {
            PyErr_NoMemory();
            FAIL();
        }
        self->_buffer = grown;
        self->_buffer_alloc_size = 1024;
    }
    self->_position = 0;
    self->_error = 0;
    {
        // Busy until the deferred byte strings are let go: dropping them may
        // run interpreter code, which must not start a call on this parser.
        BusyScope busy(self);
        status = kParserOps._write_object(self, value);
        PyRef packed(status < 0 ? nullptr : packed_message(self));
        release_deferred(self);
        if (packed) return packed.release();
    }
    FAIL();
error:
    attach_error_path(self, "packing", false);
    add_traceback("Velta.tl.TLParser.pack", fail_line);
    return nullptr;
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
    // A subclass finaliser runs first (it may resurrect the instance); for
    // subclasses the interpreter has already done this before calling us.
    if (Py_TYPE(obj)->tp_finalize && Py_TYPE(obj)->tp_dealloc == parser_dealloc && !PyObject_GC_IsFinalized(obj)) {
        if (PyObject_CallFinalizerFromDealloc(obj) < 0) return;
    }
    PyObject_GC_UnTrack(obj);
    {
        SavedException pending;
        free(self->_buffer);
        self->_buffer = nullptr;
    }
    Py_CLEAR(self->_compiler);
    for (auto& entry : self->_name_cache) Py_CLEAR(entry.name);
    forget_error_path(self);
    release_deferred(self);
    free(self->_deferred_items);
    self->_deferred_items = nullptr;
    Py_TYPE(obj)->tp_free(obj);
}

PyMethodDef parser_methods[] = {
    {"unpack", as_method(parser_unpack),
     METH_FASTCALL | METH_KEYWORDS,
     PyDoc_STR("unpack($self, /, data)\n--\n\n"
               "Decode one boxed TL object from `data` (exactly bytes) into a dict.\n\n"
               "The dict has \"_\" (the constructor name) first, then one key per field in\n"
               "schema order; flags words are consumed, absent conditional fields are None\n"
               "(False for `true` fields), vectors are lists, nested objects are dicts,\n"
               "`int` reads unsigned (0..2**32-1). Bytes after the object are ignored.\n\n"
               "Raises RuntimeError(\"Parse error at position N\") for input that ends too\n"
               "early, ValueError for an unknown constructor id or a bad vector header,\n"
               "UnicodeDecodeError for invalid text, RecursionError for nesting deeper than\n"
               "the recursion limit. Failures inside nested values carry a note naming\n"
               "the field and its byte offset.")},
    {"pack", as_method(parser_pack),
     METH_FASTCALL | METH_KEYWORDS,
     PyDoc_STR("pack($self, /, value)\n--\n\n"
               "Encode `value`, a dict whose \"_\" names a constructor, into TL bytes.\n\n"
               "Fields are looked up by name; keys that name no field are ignored and the\n"
               "flags words are computed from which conditional fields are present (not\n"
               "None; exactly True for `true` fields). A missing unconditional field is\n"
               "written as the zero value of its kind. Vectors take any iterable except\n"
               "a list subclass; `int` takes -2**31..2**32-1; `long` 0..2**64-1.\n\n"
               "Raises ValueError for a missing or unknown constructor, TypeError or\n"
               "OverflowError for values of the wrong type or range, RecursionError for\n"
               "self-referencing values. Failures inside nested values carry a note\n"
               "naming the field.")},
    VELTA_PICKLING_REFUSED,
};

}  // namespace

namespace {

void setup_parser_type(PyTypeObject* type) {
    type->tp_name = "Velta.tl.TLParser";
    type->tp_basicsize = sizeof(TLParserObject);
    type->tp_dealloc = parser_dealloc;
    type->tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC;
    type->tp_doc = PyDoc_STR("TLParser(schema_json)\n--\n\n"
                             "Packs dicts into TL bytes and unpacks them, driven by a schema given\n"
                             "as JSON text or as an already decoded dict (see\n"
                             "TLSchemaCompiler.compile). A parser keeps one reusable buffer and\n"
                             "serves one call at a time: use one parser per thread.");
    type->tp_traverse = parser_traverse;
    type->tp_clear = parser_clear;
    type->tp_methods = parser_methods;
    type->tp_new = parser_new;
    type->tp_vectorcall = parser_vectorcall;
}

}  // namespace

// ===========================================================================
// Module initialisation (multi-phase: create, then exec).

namespace {

// Copies spec.<attr> into the module namespace as `key`. A missing attribute
// is skipped; `skip_none` also skips a None value.
int copy_spec_attribute(PyObject* spec, PyObject* globals, const char* attr, const char* key, bool skip_none) {
    PyRef value(PyObject_GetAttrString(spec, attr));
    if (!value) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
        PyErr_Clear();
        return 0;
    }
    if (skip_none && value.get() == Py_None) return 0;
    return PyDict_SetItemString(globals, key, value.get());
}

PyObject* create_module_object(PyObject* spec) {
    PyInterpreterState* interp = PyInterpreterState_Get();
    const int64_t current = PyInterpreterState_GetID(interp);
    if (current == -1 && PyErr_Occurred()) return nullptr;
    if (S.main_interpreter_id == -1) {
        S.main_interpreter_id = current;
    } else if (current != S.main_interpreter_id) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into one interpreter per "
                        "process.");
        return nullptr;
    }
    if (S.module) return Py_NewRef(S.module);

    PyRef name(PyObject_GetAttrString(spec, "name"));
    if (!name) return nullptr;
    PyRef module(PyModule_NewObject(name.get()));
    if (!module) return nullptr;
    PyObject* globals = PyModule_GetDict(module.get());
    if (!globals) return nullptr;
    if (copy_spec_attribute(spec, globals, "loader", "__loader__", false) < 0) return nullptr;
    if (copy_spec_attribute(spec, globals, "origin", "__file__", false) < 0) return nullptr;
    if (copy_spec_attribute(spec, globals, "parent", "__package__", false) < 0) return nullptr;
    if (copy_spec_attribute(spec, globals, "submodule_search_locations", "__path__", true) < 0) return nullptr;
    return module.release();
}

PyObject* module_create(PyObject* spec, PyModuleDef*) {
    PyObject* module = create_module_object(spec);
    if (!module) {
        add_traceback("init Velta.tl", __LINE__, true);
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_ImportError, "init Velta.tl");
    }
    return module;
}

// Warns when the running interpreter is not the one the headers came from.
int check_runtime_version() {
    const int major = static_cast<int>((Py_Version >> 24) & 0xFF);
    const int minor = static_cast<int>((Py_Version >> 16) & 0xFF);
    if (major == PY_MAJOR_VERSION && minor == PY_MINOR_VERSION) return 0;
    return PyErr_WarnFormat(nullptr, 1, "compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d",
                            PY_MAJOR_VERSION, PY_MINOR_VERSION, kModuleName, "does not match", major, minor);
}

// The type object must be at least as large as the headers say.
int check_type_size() {
    const Py_ssize_t expected = static_cast<Py_ssize_t>(sizeof(PyHeapTypeObject));
    const Py_ssize_t actual = PyType_Type.tp_basicsize;
    const char* format = "%.200s.%.200s size changed, may indicate binary incompatibility. "
                         "Expected %zd from C header, got %zd from PyObject";
    if (actual < expected) {
        PyErr_Format(PyExc_ValueError, format, "builtins", "type", expected, actual);
        return -1;
    }
    if (actual > expected) return PyErr_WarnFormat(nullptr, 0, format, "builtins", "type", expected, actual);
    return 0;
}

int publish_type(PyObject* module, PyTypeObject* type, void (*setup)(PyTypeObject*), const char* name) {
    if (!(type->tp_flags & Py_TPFLAGS_READY)) {
        setup(type);
        if (PyType_Ready(type) < 0) return -1;
    }
    return PyModule_AddObjectRef(module, name, reinterpret_cast<PyObject*>(type));
}

// Registers the module under its full name unless an entry is already there.
int register_module(PyObject* module) {
    PyObject* modules = PyImport_GetModuleDict();
    PyRef key(PyUnicode_FromString(kModuleName));
    if (!key) return -1;
    const int present = PyDict_Contains(modules, key.get());
    if (present != 0) return present < 0 ? -1 : 0;
    return PyDict_SetItem(modules, key.get(), module);
}

int module_exec(PyObject* module) {
    int fail_line = 0;
    if (S.module) {
        if (S.module == module) return 0;
        PyErr_SetString(PyExc_RuntimeError,
                        "Module 'tl' has already been imported. Re-initialisation is not supported.");
        return -1;
    }
    S.module = Py_NewRef(module);
    S.globals = PyModule_GetDict(module);
    if (!S.globals) FAIL();
    if (!S.builtins && !(S.builtins = PyImport_ImportModule("builtins"))) FAIL();
    if (PyModule_AddObjectRef(module, "__builtins__", S.builtins) < 0) FAIL();
    if (check_runtime_version() < 0) FAIL();
    if (init_constants() < 0) FAIL();
    if (register_module(module) < 0) FAIL();
    if (publish_type(module, &TLSchemaCompilerType, setup_compiler_type, "TLSchemaCompiler") < 0) FAIL();
    if (publish_type(module, &TLParserType, setup_parser_type, "TLParser") < 0) FAIL();
    if (check_type_size() < 0) FAIL();
    {
        PyRef json(PyImport_ImportModule("json"));
        if (!json || PyDict_SetItem(S.globals, S.str_json, json.get()) < 0) FAIL();
        PyRef test_dict(PyDict_New());
        if (!test_dict || PyDict_SetItemString(S.globals, "__test__", test_dict.get()) < 0) FAIL();
    }
    return 0;
error:
    add_traceback("init Velta.tl", fail_line);
    S.globals = nullptr;
    Py_CLEAR(S.module);
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_ImportError, "init Velta.tl");
    return -1;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(module_create)},
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "tl",     // m_name
    nullptr,  // m_doc
    0,        // m_size
    nullptr,  // m_methods
    module_slots,
    nullptr,  // m_traverse
    nullptr,  // m_clear
    nullptr,  // m_free
};

}  // namespace

PyMODINIT_FUNC PyInit_tl(void) { return PyModuleDef_Init(&module_def); }
