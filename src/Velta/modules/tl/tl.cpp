// Velta.tl: schema-driven TL binary encoding for Python.
//
// Two exported types live here:
//   TLSchemaCompiler  turns a JSON schema into a table of constructor records
//                     (declared in tl.h) indexed by id and by name;
//   TLParser          owns a private compiler and converts dicts to TL bytes
//                     (pack) and back (unpack).
//
// The file reads top to bottom: module state and the messages callers rely
// on, shared helpers, the compiler, the writer (pack), the reader (unpack),
// the two types, and module initialisation.
//
// Conventions used throughout:
//   * A failing internal operation returns -1 (or null) with exactly one
//     exception pending, and its `Operation` scope adds a traceback entry
//     "Velta.tl.<Type>.<operation>" with the failing line on the way out.
//     Owned references are `PyRef`s, so an early return releases them.
//   * Every call keeps its state on its own stack: a `Writer` for pack, a
//     `Reader` for unpack. What parsers and compilers share is immutable once
//     built (or published atomically), so one parser serves any number of
//     threads at once, and calls that re-enter it from interpreter code.
//   * Short input is not an exception while reading: the reader records it,
//     yields a zero value and reading goes on; unpack turns it into
//     "Parse error at position N" at the end.
#include "tl.h"
#include "schema_text.h"
#include "support.h"

#include <frameobject.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <deque>
#include <cstdlib>
#include <new>
#include <string>
#include <unordered_map>
#include <vector>

using velta::HeapArray;
using velta::PyRef;
using velta::SavedException;
using velta::TypeText;

// The two exported static types, defined further down.
extern PyTypeObject TLSchemaCompilerType;
extern PyTypeObject TLParserType;

namespace {

// ===========================================================================
// Module state

constexpr const char kSourceFile[] = "src/Velta/modules/tl/tl.cpp";
constexpr const char kModuleName[] = "Velta.tl";

// Messages of the module's own errors. They are part of the interface:
// callers and their tests match on these texts, so they stay word for word.
namespace msg {
constexpr const char kReduce[] = "no default __reduce__ due to non-trivial __cinit__";
constexpr const char kExpectedType[] = "Expected %.42s, got %.200s";
constexpr const char kNoneAttribute[] = "'NoneType' object has no attribute '%.30s'";
constexpr const char kNoneLength[] = "object of type 'NoneType' has no len()";
constexpr const char kArgCount[] = "%.200s() takes %.8s %zd positional argument%.1s (%zd given)";
constexpr const char kArgUnexpected[] = "%s() got an unexpected keyword argument '%U'";
constexpr const char kArgTwice[] = "%s() got multiple values for keyword argument '%U'";
constexpr const char kArgKeywordType[] = "%.200s() keywords must be strings";
constexpr const char kArgIncorrectType[] = "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)";
constexpr const char kIntRange[] = "value too large to convert to %.200s";
constexpr const char kNegativeUnsigned[] = "can't convert negative value to %.200s";
constexpr const char kParseError[] = "Parse error at position %zu";
constexpr const char kUnknownId[] = "Unknown constructor ID: 0x%08x";
constexpr const char kUnknownName[] = "Unknown constructor: %U";
constexpr const char kNoConstructor[] = "Object must have '_' field";
constexpr const char kVectorId[] = "Invalid vector ID: 0x%08x";
constexpr const char kVectorLength[] = "Invalid vector length: %d";
constexpr const char kFlagBitRange[] = "Field '%U' uses flag bit %d, outside 0..31";
constexpr const char kBoolId[] = "Invalid Bool constructor ID: 0x%08x";
constexpr const char kBareMismatch[] = "Expected constructor '%U' for a bare value, got '%U'";
constexpr const char kOffsetRange[] = "offset out of range";
constexpr const char kFlagWordMissing[] =
    "Field '%U' is conditional on a flags word that is not a field declared before it, so its "
    "presence cannot be written";
constexpr const char kBufferGrowth[] = "Cannot reallocate buffer";
constexpr const char kBytesTooLong[] = "bytes value too long for TL encoding: %zu bytes (at most %zu)";
constexpr const char kListChanged[] = "list changed size during pack";
constexpr const char kCompilerBusy[] = "TLSchemaCompiler.compile() called while this compiler is compiling";
constexpr const char kCompilerInUse[] =
    "TLSchemaCompiler.compile() called on the compiler of a TLParser, whose table is in use";
constexpr const char kInterpreterChange[] =
    "Interpreter change detected - this module can only be loaded into one interpreter per process.";
constexpr const char kReinitialised[] = "Module 'tl' has already been imported. Re-initialisation is not supported.";
constexpr const char kIntegerRequired[] = "an integer is required";
constexpr const char kNonInt[] = "%s returned non-int (type %.200s)";
constexpr const char kNoneNotIterable[] = "argument of type 'NoneType' is not iterable";
constexpr const char kConditionWord[] = "Field '%U' is conditional on '%.200s', which is not a '#' field declared before it";
constexpr const char kTooManyDots[] = "too many values to unpack (expected %zd)";
constexpr const char kNoneNotSubscriptable[] = "'NoneType' object is not subscriptable";
constexpr const char kTooManyParams[] = "too many params for one constructor";
constexpr const char kParamsChanged[] = "params list changed size during compile";
constexpr const char kNameUndefined[] = "name '%U' is not defined";
constexpr const char kBareType[] = "Bare type '%s' needs exactly one constructor of type '%s'; the schema has %d";
constexpr const char kSchemaMemory[] = "Cannot allocate memory for schema";
constexpr const char kConstructorsMemory[] = "Cannot allocate memory for constructors";
constexpr const char kVectorTooLong[] = "vector too long for TL encoding: %zd elements";
constexpr const char kGzipInvalid[] = "gzip_packed: the data is not a valid gzip stream";
constexpr const char kGzipTooLarge[] = "gzip_packed: inflates to more than %zu bytes";
constexpr const char kGzipIncomplete[] = "gzip_packed: the gzip stream is incomplete";
constexpr const char kGzipNotOneObject[] = "gzip_packed: the inflated data is not one complete object";
constexpr const char kTypeTooDeep[] = "type text nests more than %d types deep";
constexpr const char kZeroSizeBudget[] =
    "the input holds more values that take no bytes than its size allows";
constexpr const char kDictChanged[] = "dict changed too often during pack";
constexpr const char kSharedBitObject[] =
    "Field '%U' shares its flag bit with a field that is given, so it must be given too";
constexpr const char kNoSchema[] = "TLParser.%s() called on a parser without a schema";
}  // namespace msg

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

// ===========================================================================
// Shared helpers

// ---- traceback entries -----------------------------------------------------
// Each internal operation that fails adds one entry naming itself, so a
// failure deep inside a nested message shows the whole road.

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

// The failure value of an operation: -1 where it returns a status, null
// where it returns a pointer.
struct Failure {
    operator int() const noexcept { return -1; }
    template <typename T>
    operator T*() const noexcept { return nullptr; }
};

// The traceback entry of one internal operation. `fail(__LINE__)` marks the
// failing line; the entry is added when the operation's scope ends, after
// its owned references are released. Declare it first in the operation.
class Operation {
public:
    explicit Operation(const char* name) noexcept : name_(name) {}
    Operation(const Operation&) = delete;
    Operation& operator=(const Operation&) = delete;
    ~Operation() {
        if (line_) add_traceback(name_, line_);
    }
    Failure fail(int line) noexcept {
        line_ = line;
        return Failure();
    }

private:
    const char* name_;
    int line_ = 0;
};

// ---- exact-type checks with the module's standard messages -----------------

Failure raise_expected(const char* expected, PyObject* got) {
    PyErr_Format(PyExc_TypeError, msg::kExpectedType, expected, Py_TYPE(got)->tp_name);
    return Failure();
}

Failure raise_none_attribute(const char* attribute) {
    PyErr_Format(PyExc_AttributeError, msg::kNoneAttribute, attribute);
    return Failure();
}

Failure raise_none_length() {
    PyErr_SetString(PyExc_TypeError, msg::kNoneLength);
    return Failure();
}

// Out of memory, a note could not be made, and the interpreter may hand out
// one shared MemoryError instance that must not collect notes.
bool failing_for_memory() { return PyErr_Occurred() && PyErr_ExceptionMatches(PyExc_MemoryError); }

// ---- argument binding ------------------------------------------------------
// Shared by every public callable. Parameters may be given by position or by
// name; the messages are fixed by the module, not borrowed from the
// interpreter, so they read the same on every Python version.

class ArgBinder {
public:
    // The first `npositional` parameters may come by position; the first
    // `nrequired` must be given; the rest are keyword-only.
    ArgBinder(const char* func, PyObject* const* params, Py_ssize_t nparams, PyObject** out)
        : ArgBinder(func, params, nparams, out, nparams, nparams) {}
    ArgBinder(const char* func, PyObject* const* params, Py_ssize_t nparams, PyObject** out, Py_ssize_t npositional,
              Py_ssize_t nrequired)
        : func_(func), params_(params), nparams_(nparams), out_(out), npositional_(npositional), nrequired_(nrequired) {}

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
    int positional(PyObject* const* args, Py_ssize_t nargs) {
        nargs_ = nargs;
        if (nargs > npositional_) return wrong_count(nrequired_ == npositional_ ? "exactly" : "at most", npositional_);
        for (Py_ssize_t i = 0; i < nparams_; ++i) out_[i] = i < nargs ? args[i] : nullptr;
        return 0;
    }

    int keyword(PyObject* key, PyObject* value) {
        if (!PyUnicode_Check(key)) {
            PyErr_Format(PyExc_TypeError, msg::kArgKeywordType, func_);
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
                PyErr_Format(PyExc_TypeError, msg::kArgTwice, func_, key);
                return -1;
            }
            out_[i] = value;
            return 0;
        }
        PyErr_Format(PyExc_TypeError, msg::kArgUnexpected, func_, key);
        return -1;
    }

    int finish() {
        for (Py_ssize_t i = 0; i < nrequired_; ++i)
            if (!out_[i]) return wrong_count(nrequired_ == npositional_ ? "exactly" : "at least", nrequired_);
        return 0;
    }

    int wrong_count(const char* how, Py_ssize_t count) {
        PyErr_Format(PyExc_TypeError, msg::kArgCount, func_, how, count, count == 1 ? "" : "s", nargs_);
        return -1;
    }

    const char* func_;
    PyObject* const* params_;
    Py_ssize_t nparams_;
    PyObject** out_;
    Py_ssize_t npositional_;
    Py_ssize_t nrequired_;
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
    PyErr_SetString(PyExc_TypeError, msg::kReduce);
    return nullptr;
}

PyObject* refuse_setstate(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* state = nullptr;
    ArgBinder binder("__setstate__", &S.str_state, 1, &state);
    if (binder.bind_vector(args, nargs, kwnames) < 0) return nullptr;
    PyErr_SetString(PyExc_TypeError, msg::kReduce);
    return nullptr;
}

// The tail of both method tables.
#define VELTA_PICKLING_REFUSED                                                        \
    {"__reduce__", as_method(refuse_reduce), METH_FASTCALL | METH_KEYWORDS, nullptr},     \
    {"__setstate__", as_method(refuse_setstate), METH_FASTCALL | METH_KEYWORDS, nullptr}, \
    {nullptr, nullptr, 0, nullptr}

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

// ---- integers --------------------------------------------------------------

// The value of the int `number` when it lies in [low, high]; otherwise
// OverflowError "value too large to convert to <ctype>".
int int_in_range(PyObject* number, long long low, long long high, const char* ctype, long long* out) {
    int overflow = 0;
    const long long value = PyLong_AsLongLongAndOverflow(number, &overflow);
    if (value == -1 && PyErr_Occurred()) return -1;
    if (overflow || value < low || value > high) {
        PyErr_Format(PyExc_OverflowError, msg::kIntRange, ctype);
        return -1;
    }
    *out = value;
    return 0;
}

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
        PyErr_SetString(PyExc_TypeError, msg::kIntegerRequired);
        return nullptr;
    }
    if (result && !PyLong_Check(result)) {
        PyErr_Format(PyExc_TypeError, msg::kNonInt, method, Py_TYPE(result)->tp_name);
        Py_CLEAR(result);
    }
    return result;
}

// ---- nesting ---------------------------------------------------------------

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
// Each level that a failure unwinds through records a step; the finished
// path becomes a note on the exception, such as "while unpacking
// messages.messages.messages[3].entities[0].offset at byte 116". Nothing is
// recorded on the way in: a call that succeeds never touches this.

class ErrorPath {
public:
    ErrorPath() = default;
    ErrorPath(const ErrorPath&) = delete;
    ErrorPath& operator=(const ErrorPath&) = delete;
    ~ErrorPath() { forget(); }

    void record_field(const TLField& field, size_t offset) {
        if (failing_for_memory()) return;
        SavedException pending;
        record_step(PyUnicode_FromFormat(".%s", field.name), offset);
    }

    void record_index(Py_ssize_t index, size_t offset) {
        if (failing_for_memory()) return;
        SavedException pending;
        record_step(PyUnicode_FromFormat("[%zd]", index), offset);
    }

    // Called by each object level that a failure passes through; the
    // outermost one names the root of the path.
    void record_root(const TLConstructor* constr) {
        if (steps_) Py_XSETREF(root_, Py_NewRef(constr->py_name));
    }

    // Adds the recorded path, if any, as a note to the pending exception;
    // offsets count from `base`.
    void attach(const char* verb, bool with_offset, size_t base = 0) {
        if (!steps_) return;
        offset_ += base;
        if (!failing_for_memory()) {
            PyRef note(describe(verb, with_offset));
            if (note) velta::add_note_to_pending(note.get(), S.str_add_note);
        }
        forget();
    }

private:
    // Takes the reference to `step`; runs with the failure set aside.
    void record_step(PyObject* step, size_t offset) {
        PyRef owned(step);
        if (owned) {
            if (!steps_) {
                steps_ = PyList_New(0);
                offset_ = offset;
            }
            if (steps_) PyList_Append(steps_, owned.get());
        }
        PyErr_Clear();
    }

    void forget() {
        Py_CLEAR(steps_);
        Py_CLEAR(root_);
    }

    // The note text, or null if it cannot be made.
    PyObject* describe(const char* verb, bool with_offset) {
        SavedException pending;
        PyRef steps(PySequence_List(steps_));
        if (!steps || PyList_Reverse(steps.get()) < 0) {
            PyErr_Clear();
            return nullptr;
        }
        // A path as deep as the recursion limit is cut in the middle.
        constexpr Py_ssize_t kKeepAtEachEnd = 20;
        const Py_ssize_t count = PyList_GET_SIZE(steps.get());
        if (count > 2 * kKeepAtEachEnd) {
            PyRef ellipsis(PyUnicode_FromString("..."));
            if (!ellipsis || PyList_SetSlice(steps.get(), kKeepAtEachEnd, count - kKeepAtEachEnd, nullptr) < 0 ||
                PyList_Insert(steps.get(), kKeepAtEachEnd, ellipsis.get()) < 0) {
                PyErr_Clear();
                return nullptr;
            }
        }
        PyRef path(PyUnicode_Join(S.empty_str, steps.get()));
        PyObject* root = root_ ? root_ : S.empty_str;
        PyObject* note = !path        ? nullptr
                         : with_offset ? PyUnicode_FromFormat("while %s %U%U at byte %zu", verb, root, path.get(), offset_)
                                       : PyUnicode_FromFormat("while %s %U%U", verb, root, path.get());
        PyErr_Clear();
        return note;
    }

    PyObject* steps_ = nullptr;  // innermost first: ".field", "[3]"
    PyObject* root_ = nullptr;   // the outermost constructor's name
    size_t offset_ = 0;          // where the innermost step began
};

}  // namespace

// ===========================================================================
// The compiler: JSON schema -> table of constructor records

// One block of a schema's texts (see copy_text below); declared in tl.h.
struct TLTextBlock {
    TLTextBlock* next;
    size_t used;
    size_t capacity;  // bytes of text room after this header
    char* room() { return reinterpret_cast<char*>(this + 1); }
};

namespace {

using IdMap = std::unordered_map<uint32_t, TLConstructor*>;

struct TLSchemaCompilerObject;
class TextCache;

struct TLSchemaCompilerOps {
    void (*_free_schema)(TLSchemaCompilerObject* self);
    int (*_parse_json_schema)(TLSchemaCompilerObject* self, PyObject* json_data);
    TLConstructor* (*_create_constructor)(TLSchemaCompilerObject* self, PyObject* constr_data, int32_t index,
                                          TextCache& texts);
    TLType (*_parse_type)(TLSchemaCompilerObject* self, PyObject* type_str);
    TLSchema* (*get_schema)(TLSchemaCompilerObject* self);
};

// What a compiler may be doing. A compile runs interpreter code (the JSON
// decoder, int() of ids) that could start another compile on the same
// compiler, possibly from another thread; and the table of a compiler that
// serves a parser must outlive every call of that parser. Either would free
// a table that is in use, so compile claims the compiler with an atomic
// compare-exchange and refuses when it is not idle.
enum CompilerState : int { kCompilerIdle = 0, kCompilerCompiling = 1, kCompilerInUse = 2 };

// Constructor names by the identity of the name object: messages name their
// constructors with the same few str objects again and again (the "_" of
// unpacked dicts, interned literals), and a pointer compare skips hashing
// the text. Built once per compile and never changed after, so every
// thread reads it freely; a name it does not hold goes to the name map.
class NameTable {
public:
    NameTable() = default;
    NameTable(const NameTable&) = delete;
    NameTable& operator=(const NameTable&) = delete;
    ~NameTable() { free(slots_); }

    // Enters every record that holds its name in `name_map` under both of
    // its name objects (a record that a later one with the same name
    // replaced stays out, as it is out of the map); false when memory runs
    // out.
    bool build(TLConstructor* constructors, int32_t count, PyObject* name_map) {
        clear();
        size_t size = 8;
        while (size < 4 * static_cast<size_t>(count)) size *= 2;  // two names each
        slots_ = static_cast<Slot*>(calloc(size, sizeof(Slot)));
        if (!slots_) return false;
        mask_ = size - 1;
        for (int32_t i = 0; i < count; ++i) {
            PyObject* holder = PyDict_GetItemWithError(name_map, constructors[i].py_name);
            if (!holder || PyLong_AsLong(holder) != i) {
                PyErr_Clear();  // exact str keys: nothing can fail but memory
                continue;
            }
            for (PyObject* name : {constructors[i].py_name, constructors[i].py_name_interned}) {
                Slot* slot = find(name);
                *slot = {name, &constructors[i]};
            }
        }
        return true;
    }
    void clear() {
        free(std::exchange(slots_, nullptr));
        mask_ = 0;
    }
    // The record named by exactly this object, or null.
    TLConstructor* get(PyObject* name) const {
        return slots_ ? find(name)->constructor : nullptr;
    }

private:
    struct Slot {
        PyObject* name;
        TLConstructor* constructor;
    };
    Slot* find(PyObject* name) const {
        size_t at = (reinterpret_cast<uintptr_t>(name) >> 4) * 0x9E3779B97F4A7C15ull >> 20;
        while (true) {
            Slot* slot = &slots_[at & mask_];
            if (slot->name == name || !slot->name) return slot;
            ++at;
        }
    }

    Slot* slots_ = nullptr;
    size_t mask_ = 0;
};

struct TLSchemaCompilerObject {
    PyObject_HEAD
    const TLSchemaCompilerOps* ops;
    TLSchema* _schema;
    IdMap _id_map;          // wire id -> record; read-only once compiled
    PyObject* _name_map;    // dict: constructor name (str) -> index in the table
                            // (int); read-only once compiled. Names with a NUL
                            // are keyed by their text up to it, so a "_" that
                            // holds a NUL never matches.
    NameTable _name_table;    // records by name object; read-only once compiled
    std::atomic<int> _state;  // a CompilerState
    int _standard;            // compile for the standard TL conventions (set
                              // by a TLParser made with standard=True)
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

// ---- the table's texts ------------------------------------------------------
// A schema holds thousands of short names and type texts that all live and
// die with its table, so they are copied into a few large blocks the schema
// owns instead of taking one heap allocation each.

constexpr size_t kTextBlockBytes = 64 * 1024;
// A text at least this long gets a block of its own, so that it does not
// end the block that the short texts are filling.
constexpr size_t kOwnBlockText = kTextBlockBytes / 8;

// A new empty block for at least `wanted` bytes; null with MemoryError set.
TLTextBlock* new_text_block(size_t wanted) {
    const size_t capacity = std::max(wanted, kTextBlockBytes - sizeof(TLTextBlock));
    if (capacity > static_cast<size_t>(PY_SSIZE_T_MAX) - sizeof(TLTextBlock)) {
        PyErr_NoMemory();
        return nullptr;
    }
    auto* block = static_cast<TLTextBlock*>(PyMem_Malloc(sizeof(TLTextBlock) + capacity));
    if (!block) {
        PyErr_NoMemory();
        return nullptr;
    }
    *block = {nullptr, 0, capacity};
    return block;
}

// A NUL-terminated copy of `size` bytes at `text`, kept by the schema; null
// with MemoryError pending on failure.
char* copy_text(TLSchema* schema, const char* text, size_t size) {
    TLTextBlock* block = schema->text_blocks;
    if (size >= kOwnBlockText) {
        // Chained behind the block being filled, which stays the newest.
        if (!(block = new_text_block(size + 1))) return nullptr;
        TLTextBlock** link = schema->text_blocks ? &schema->text_blocks->next : &schema->text_blocks;
        block->next = *link;
        *link = block;
    } else if (!block || block->capacity - block->used <= size) {
        if (!(block = new_text_block(size + 1))) return nullptr;
        block->next = schema->text_blocks;
        schema->text_blocks = block;
    }
    char* copy = block->room() + block->used;
    memcpy(copy, text, size);
    copy[size] = '\0';
    block->used += size + 1;
    return copy;
}

void free_text_blocks(TLSchema* schema) {
    for (TLTextBlock* block = schema->text_blocks; block;) PyMem_Free(std::exchange(block, block->next));
    schema->text_blocks = nullptr;
}

// A copy kept by the schema of the UTF-8 form of `text`, up to its first
// NUL; null with MemoryError (or the encoding error) pending on failure.
char* copy_utf8(TLSchema* schema, PyObject* text) {
    Py_ssize_t size;
    const char* utf8 = PyUnicode_AsUTF8AndSize(text, &size);
    if (!utf8) return nullptr;
    const void* nul = memchr(utf8, '\0', static_cast<size_t>(size));
    const size_t kept = nul ? static_cast<size_t>(static_cast<const char*>(nul) - utf8) : static_cast<size_t>(size);
    return copy_text(schema, utf8, kept);
}

// A new reference to the interned str equal to `text`.
PyObject* interned(PyObject* text) {
    PyObject* twin = Py_NewRef(text);
    PyUnicode_InternInPlace(&twin);
    return twin;
}

// One copy, kept by the schema, of each distinct text of a compile, with what
// is derived from the text once: the interned str of a name and its hash,
// the kind of a type text. Schemas repeat a few names and types thousands of
// times ("flags", "id", "int", ...).
class TextCache {
public:
    struct Text {
        char* copy;        // NUL-terminated; null: the slot is free
        size_t size;
        uint64_t key;      // hash of the text, to skip most comparisons
        PyObject* name;    // interned str equal to the text (strong); null
                           // until the text is used as a name
        Py_hash_t hash;    // of name
        int kind;          // a TLType once used as a type text, else -1
    };

    explicit TextCache(TLSchema* schema) : schema_(schema) {}
    TextCache(const TextCache&) = delete;
    TextCache& operator=(const TextCache&) = delete;
    ~TextCache() {
        for (size_t i = 0; slots_ && i <= mask_; ++i) Py_XDECREF(slots_[i].name);
        PyMem_Free(slots_);
    }

    // The entry of `text`, made (with the schema's copy) when new; null
    // with MemoryError set.
    Text* find(std::string_view text) {
        const uint64_t key = key_of(text);
        Text* slot = slots_ ? probe(key, text) : nullptr;
        if (slot && slot->copy) return slot;
        if (!slots_ || 2 * (used_ + 1) > mask_ + 1) {  // kept at most half full
            if (!grow()) return nullptr;
            slot = probe(key, text);
        }
        char* copy = copy_text(schema_, text.data(), text.size());
        if (!copy) return nullptr;
        *slot = {copy, text.size(), key, nullptr, 0, -1};
        ++used_;
        return slot;
    }

    // The interned str equal to the text (borrowed from the cache): `given`
    // interned, an exact str equal to the text, when the text is new as a
    // name; made from the copy when `given` is null. Null with an exception
    // set on failure.
    static PyObject* name(Text* text, PyObject* given) {
        if (text->name) return text->name;
        PyObject* name = given ? interned(given) : new_interned(text);
        if (!name) return nullptr;
        if ((text->hash = PyObject_Hash(name)) == -1) {
            Py_DECREF(name);
            return nullptr;
        }
        return text->name = name;
    }

    static TLType kind(Text* text) {
        if (text->kind < 0) text->kind = classify_type_text(std::string_view(text->copy, text->size));
        return static_cast<TLType>(text->kind);
    }

private:
    static constexpr size_t kFirstSlots = 1024;

    static PyObject* new_interned(const Text* text) {
        PyObject* name = PyUnicode_DecodeUTF8(text->copy, static_cast<Py_ssize_t>(text->size), "strict");
        if (name) PyUnicode_InternInPlace(&name);
        return name;
    }

    static uint64_t key_of(std::string_view text) noexcept {
        uint64_t key = 0xcbf29ce484222325ull;  // FNV-1a
        for (const char c : text) key = (key ^ static_cast<unsigned char>(c)) * 0x100000001b3ull;
        return key;
    }

    Text* probe(uint64_t key, std::string_view text) const noexcept {
        for (size_t at = key;; ++at) {
            Text* slot = &slots_[at & mask_];
            if (!slot->copy || (slot->key == key && slot->size == text.size() && memcmp(slot->copy, text.data(), text.size()) == 0))
                return slot;
        }
    }

    // Doubles the table (or makes the first); false with MemoryError set.
    bool grow() {
        const size_t size = slots_ ? 2 * (mask_ + 1) : kFirstSlots;
        auto* slots = static_cast<Text*>(PyMem_Calloc(size, sizeof(Text)));
        if (!slots) {
            PyErr_NoMemory();
            return false;
        }
        Text* old = std::exchange(slots_, slots);
        const size_t old_size = old ? mask_ + 1 : 0;
        mask_ = size - 1;
        for (size_t i = 0; i < old_size; ++i)
            if (old[i].copy) *probe(old[i].key, std::string_view(old[i].copy, old[i].size)) = old[i];
        PyMem_Free(old);
        return true;
    }

    TLSchema* schema_;
    Text* slots_ = nullptr;
    size_t mask_ = 0;
    size_t used_ = 0;
};

// The UTF-8 form of an exact str, as a view; a null view with the encoding
// error (or MemoryError) set on failure.
std::string_view utf8_of(PyObject* text) {
    Py_ssize_t size;
    const char* utf8 = PyUnicode_AsUTF8AndSize(text, &size);
    return utf8 ? std::string_view(utf8, static_cast<size_t>(size)) : std::string_view();
}


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

// Whether a field named `word` is among the first `count` fields.
bool declares_field(const TLConstructor* constr, int32_t count, std::string_view word) {
    for (int32_t i = 0; i < count; ++i)
        if (constr->fields[i].name && word == constr->fields[i].name) return true;
    return false;
}

// The slot of the latest "#" field named `word` before field `index`, or -1.
int32_t word_slot(const TLConstructor* constr, int32_t index, std::string_view word) {
    for (int32_t i = index - 1; i >= 0; --i) {
        const TLField& field = constr->fields[i];
        if (field.flags_word && word == field.name) return field.flags_word - 1;
    }
    return -1;
}

// Standard mode: the word of a condition is a "#" field declared earlier.
int refuse_condition_word(const TLField* field, std::string_view word) {
    PyErr_Format(PyExc_ValueError, msg::kConditionWord,
                 field->py_name, std::string(word).c_str());
    return -1;
}

// Fills the condition of field `index` from the text before the first "?"
// of its type text: "W.N" names flags word W and bit N.
int parse_condition(TLConstructor* constr, int32_t index, std::string_view condition, bool standard) {
    TLField* field = &constr->fields[index];
    const size_t dot = condition.find('.');
    if (dot == std::string_view::npos) {  // optional, but tied to no word
        return standard ? refuse_condition_word(field, condition) : 0;
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
    if (standard) {
        const int32_t slot = word_slot(constr, index, word);
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

// Completes field `index` of `constr`, whose names, kind and type text are
// set, from the whole type text: its flags word and its condition.
int finish_field(TLSchemaCompilerObject* self, TLConstructor* constr, int32_t index, std::string_view text) {
    TLField* field = &constr->fields[index];
    const bool standard = self->_standard;
    // Flags words: by name ("flags", "flags2") by default; every "#" field,
    // each with a word of its own, in standard mode.
    if (standard) {
        if (text == "#") field->flags_word = ++constr->word_count;
    } else if (strcmp(field->name, "flags") == 0) {
        field->flags_word = 1;
    } else if (strcmp(field->name, "flags2") == 0) {
        field->flags_word = 2;
    }
    const size_t question = text.find('?');
    if (question == std::string_view::npos) return 0;
    field->is_optional = 1;
    ++constr->conditional_count;
    field->bit_only = standard ? velta::strip_condition(text) == "true" : field->type == TL_TYPE_BOOL;
    if (parse_condition(constr, index, text.substr(0, question), standard) < 0) return -1;
    const int32_t bit = field->flag_info.bit_position;
    field->flag_mask = bit >= 0 && bit < velta::kFlagsWordBits ? (1u << bit) : 0u;
    // The bit lives in the word named "flags" (or "flags2"), which pack
    // writes where that field stands and unpack reads there. Unless it stands
    // before this field, a reader decides on this field before it has the
    // word: such a value cannot be packed. (Standard mode refuses such a
    // schema outright.)
    field->word_declared = standard || declares_field(constr, index, field->flag_info.flags_index ? "flags2" : "flags");
    return 0;
}

// Builds field `index` of `constr` from one parameter object.
int build_field(TLSchemaCompilerObject* self, TextCache& texts, TLConstructor* constr, int32_t index, PyObject* param) {
    TLField* field = &constr->fields[index];
    if (param == Py_None) {
        PyErr_SetString(PyExc_TypeError, msg::kNoneNotSubscriptable);
        return -1;
    }
    if (!PyDict_CheckExact(param)) return raise_expected("dict", param);
    PyRef name = dict_item(param, S.str_name);
    if (!name) return -1;
    if (!is_str_or_none(name.get())) return raise_expected("str", name.get());
    PyRef type_text = dict_item(param, S.str_type);
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
        self->ops->_parse_type(self, type_text.get());  // raises what a None type text raises
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
    return finish_field(self, constr, index, text);
}

// Whether no two fields share a name and none is "_" (checked for the usual
// sizes; larger entries are taken as not distinct, which is only slower).
bool names_are_distinct(const TLConstructor* constr) {
    constexpr int32_t kMostChecked = 256;
    if (constr->field_count > kMostChecked) return false;
    for (int32_t i = 0; i < constr->field_count; ++i) {
        PyObject* name = constr->fields[i].py_name_interned;
        if (name == S.str_underscore) return false;
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

// What is derived from all the fields of an entry that has some.
void finish_constructor(TLSchemaCompilerObject* self, TLConstructor* constr) {
    constr->walkable = names_are_distinct(constr);
    // By default the words are "flags" and "flags2", whichever are there.
    if (!self->_standard && (constr->conditional_count || constr->has_flags || constr->has_flags2)) constr->word_count = 2;
    for (int32_t i = 0; !self->_standard && i < constr->field_count; ++i)
        if (constr->fields[i].flags_word) constr->word_count = 2;
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
    PyRef result_type = dict_get(constr_data, S.str_type, S.empty_str);
    if (!result_type) return op.fail(__LINE__);
    PyRef name = dict_get(constr_data, S.str_method, result_type.get());
    if (!name) return op.fail(__LINE__);
    name = dict_get(constr_data, S.str_predicate, name.get());
    if (!name) return op.fail(__LINE__);
    if (!is_str_or_none(name.get())) {
        raise_expected("str", name.get());
        return op.fail(__LINE__);
    }
    if (!is_str_or_none(result_type.get())) {
        raise_expected("str", result_type.get());
        return op.fail(__LINE__);
    }
    PyRef params = dict_get(constr_data, S.str_params, nullptr);
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

    PyRef raw_id = dict_get(constr_data, S.str_id, S.int_zero);
    if (!raw_id || convert_constructor_id(raw_id.get(), &constr->id) < 0) return op.fail(__LINE__);

    if (params.get() == Py_None) {
        raise_none_length();
        return op.fail(__LINE__);
    }
    const Py_ssize_t count = PyList_GET_SIZE(params.get());
    if (allocate_fields(constr, count) < 0) return op.fail(__LINE__);
    if (count == 0) return constr;
    for (Py_ssize_t i = 0; i < count; ++i) {
        // Interpreter code can run while a field is built (a str subclass key
        // comparing itself); the list must keep the length the array has.
        PyRef param(velta::list_item_ref(params.get(), i));
        if (!param || PyList_GET_SIZE(params.get()) != count) {
            PyErr_SetString(PyExc_RuntimeError, msg::kParamsChanged);
            return op.fail(__LINE__);
        }
        if (build_field(self, texts, constr, static_cast<int32_t>(i), param.get()) < 0) return op.fail(__LINE__);
    }
    finish_constructor(self, constr);
    return constr;
}

// Looks up a module global the way Python code in the module would: the
// module's namespace first, then the built-ins.
PyObject* lookup_global(PyObject* name) {
    PyObject* found = nullptr;
    if (S.globals && velta::dict_get_ref(S.globals, name, &found) != 0) return found;
    PyObject* builtins = S.builtins ? PyModule_GetDict(S.builtins) : nullptr;
    if (builtins && velta::dict_get_ref(builtins, name, &found) != 0) return found;
    if (!PyErr_Occurred()) PyErr_Format(PyExc_NameError, msg::kNameUndefined, name);
    return nullptr;
}

// The entry list of a schema: every "constructors" entry, then every
// "methods" entry, in a private list so the caller's dict is left alone.
PyObject* combined_entries(PyObject* schema_dict, Py_ssize_t* constructor_entries) {
    PyRef constructors = dict_get(schema_dict, S.str_constructors, nullptr);
    if (!constructors && !PyErr_Occurred()) constructors.reset(PyList_New(0));
    if (!constructors) return nullptr;
    if (constructors.get() != Py_None && !PyList_CheckExact(constructors.get())) return raise_expected("list", constructors.get());
    if (constructors.get() == Py_None) return raise_none_attribute("extend");
    PyRef entries(PyList_GetSlice(constructors.get(), 0, PY_SSIZE_T_MAX));
    if (!entries) return nullptr;
    *constructor_entries = PyList_GET_SIZE(entries.get());
    PyRef methods = dict_get(schema_dict, S.str_methods, nullptr);
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

// The element type of a vector type text: the text inside the outermost
// "Vector<...>" once a condition prefix is removed. A text of another shape
// keeps what is left after removing every "Vector<" and ">". No text at all
// means 32-bit integer elements. `storage` holds the text in the odd case.
struct ElementType {
    TLType kind;
    TypeText text;
};

int element_type_of(TypeText type_name, std::string& storage, ElementType* out) {
    if (!type_name.data()) {
        *out = {TL_TYPE_INT, TypeText()};
        return 0;
    }
    const std::string_view kept = velta::strip_condition(type_name);
    constexpr std::string_view open = "Vector<";
    if (kept.size() > open.size() && kept.starts_with(open) && kept.ends_with('>')) {
        const TypeText inner = kept.substr(open.size(), kept.size() - open.size() - 1);
        *out = {classify_type_text(inner), inner};
        return 0;
    }
    try {
        // One pass, so that a long odd text costs time in proportion to it:
        // drop every "Vector<", then every ">" of what is left.
        std::string without_open;
        for (size_t at = 0; at < kept.size();) {
            if (kept.substr(at).starts_with(open)) {
                at += open.size();
            } else {
                without_open += kept[at++];
            }
        }
        storage.clear();
        for (const char c : without_open)
            if (c != '>') storage += c;
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return -1;
    }
    *out = {classify_type_text(storage), TypeText(storage.data(), storage.size())};
    return 0;
}

// Heterogeneous look-up by string_view in maps keyed by std::string.
struct TextHash {
    using is_transparent = void;
    size_t operator()(std::string_view s) const noexcept { return std::hash<std::string_view>{}(s); }
};

// Vectors of vectors nest at most this deep in a type text: the codec could
// not go deeper in a message either, and the compiler must not recurse
// without bound on a hostile schema.
constexpr int kMaxTypeNesting = 256;

// Turns the type texts of a compiled table into the value types the codec
// works from, each text once. Runs after every record is built and indexed,
// since bare types name other records. Throws std::bad_alloc.
class TypeResolver {
public:
    explicit TypeResolver(TLSchemaCompilerObject* self) : self_(self), schema_(self->_schema) {}

    // The value type of `text` (its condition already removed), which must
    // stay valid as long as the resolver: a field's own type text, a part
    // of one, or a text the resolver keeps. Null with ValueError pending for
    // a bare type that names no single constructor, or nesting too deep.
    TLValueType* resolve(std::string_view text) {
        const auto found = by_text_.find(text);
        if (found != by_text_.end()) return found->second;
        if (depth_ >= kMaxTypeNesting) {
            PyErr_Format(PyExc_ValueError, msg::kTypeTooDeep, kMaxTypeNesting);
            return nullptr;
        }
        auto* type = static_cast<TLValueType*>(calloc(1, sizeof(TLValueType)));
        if (!type) throw std::bad_alloc();
        type->next = std::exchange(schema_->value_types, type);
        // Entered before its element is resolved: "Vector" and its odd
        // shapes may name themselves.
        by_text_.emplace(text, type);
        ++depth_;
        const int status = schema_->standard ? fill_standard(type, text) : fill_default(type, text);
        --depth_;
        return status < 0 ? nullptr : type;
    }

    // Gives every value type its least size, each sized as its own root.
    static void set_min_sizes(TLValueType* types) {
        for (TLValueType* type = types; type; type = type->next) type->min_size = kUnknownSize;
        Sizing sizing;
        std::vector<int32_t> sizes;
        for (TLValueType* type = types; type; type = type->next) {
            bool cut = false;
            sizes.push_back(min_size(type, 0, sizing, &cut));
        }
        size_t at = 0;
        for (TLValueType* type = types; type; type = type->next) type->min_size = sizes[at++];
    }

private:
    static constexpr int32_t kUnknownSize = -1, kSizing = -2;
    static constexpr int kDeepestSizing = 64;
    static constexpr long kMostSizingSteps = 100000;
    struct Sizing {
        long steps = 0;
    };

    // Bytes a value takes at the least. A bare type met again while it is
    // being sized (it holds itself), met deeper than kDeepestSizing, or met
    // once the sizing has taken too many steps (a hostile schema) counts as
    // none and sets *cut: the safe side, since values that take no bytes are
    // the ones held to a budget. Only sizes no cut touched are kept, so a
    // type's size does not depend on the order the types are sized in.
    static int32_t min_size(TLValueType* type, int depth, Sizing& sizing, bool* cut) {
        if (type->kind != TL_TYPE_BARE_OBJECT) return own_min_size(type, depth, sizing, cut);
        if (type->min_size >= 0) return type->min_size;
        if (type->min_size == kSizing || depth > kDeepestSizing || ++sizing.steps > kMostSizingSteps) {
            *cut = true;
            return 0;
        }
        type->min_size = kSizing;
        bool inner_cut = false;
        const int32_t size = own_min_size(type, depth, sizing, &inner_cut);
        type->min_size = inner_cut ? kUnknownSize : size;
        *cut = *cut || inner_cut;
        return size;
    }

    static int32_t own_min_size(TLValueType* type, int depth, Sizing& sizing, bool* cut) {
        switch (type->kind) {
            case TL_TYPE_LONG:
            case TL_TYPE_DOUBLE:
                return 8;
            case TL_TYPE_INT128:
                return 16;
            case TL_TYPE_INT256:
                return 32;
            case TL_TYPE_TRUE:
                return 0;
            case TL_TYPE_BARE_OBJECT: {
                int64_t total = 0;
                const TLConstructor* constr = type->bare;
                for (int32_t i = 0; i < constr->field_count && total < INT32_MAX; ++i) {
                    const TLField& field = constr->fields[i];
                    if (field.flags_word) total += 4;
                    else if (!field.is_optional)
                        total += min_size(const_cast<TLValueType*>(field.value_type), depth + 1, sizing, cut);
                }
                return total > INT32_MAX ? INT32_MAX : static_cast<int32_t>(total);
            }
            default:
                return 4;
        }
    }

    int fill_default(TLValueType* type, std::string_view text) {
        type->kind = classify_type_text(text);
        if (type->kind != TL_TYPE_VECTOR) return 0;
        std::string storage;
        ElementType element;
        if (element_type_of(text, storage, &element) < 0) return -1;
        std::string_view element_text = element.text;
        if (element_text.data() == storage.data()) {  // an odd shape: a text of its own
            owned_texts_.push_back(std::move(storage));
            element_text = owned_texts_.back();
        }
        return (type->element = resolve(element_text)) ? 0 : -1;
    }

    int fill_standard(TLValueType* type, std::string_view text) {
        constexpr std::string_view boxed_vector = "Vector<", bare_vector = "vector<";
        if (text == "int128" || text == "int256") {
            type->kind = text == "int128" ? TL_TYPE_INT128 : TL_TYPE_INT256;
            return 0;
        }
        if (text == "true") {
            type->kind = TL_TYPE_TRUE;
            return 0;
        }
        if ((text.starts_with(bare_vector) || text.starts_with("%Vector<")) && text.ends_with('>')) {
            const size_t open = text.find('<');
            type->kind = TL_TYPE_BARE_VECTOR;
            return (type->element = resolve(text.substr(open + 1, text.size() - open - 2))) ? 0 : -1;
        }
        if (text.size() > boxed_vector.size() && text.starts_with(boxed_vector) && text.ends_with('>')) {
            type->kind = TL_TYPE_VECTOR;
            return (type->element = resolve(text.substr(boxed_vector.size(), text.size() - boxed_vector.size() - 1))) ? 0 : -1;
        }
        if (text.starts_with('%')) {
            const std::string_view named = text.substr(1);
            if (named == "int128" || named == "int256") return fill_standard(type, named);
            const TLType kind = classify_type_text(named);
            if (kind != TL_TYPE_OBJECT && kind != TL_TYPE_VECTOR && kind != TL_TYPE_BOOL) {
                type->kind = kind;  // a scalar is bare already
                return 0;
            }
            type->kind = TL_TYPE_BARE_OBJECT;
            return (type->bare = only_constructor_of(named, text)) ? 0 : -1;
        }
        type->kind = classify_type_text(text);
        if (type->kind == TL_TYPE_VECTOR) return fill_default(type, text);
        if (type->kind == TL_TYPE_OBJECT) {
            if (TLConstructor* bare = bare_constructor_named(text)) {
                type->kind = TL_TYPE_BARE_OBJECT;
                type->bare = bare;
            }
        }
        return 0;
    }

    // The record that holds `name` in the name map, if it came from the
    // "constructors" list (methods are not types).
    TLConstructor* constructor_named(std::string_view name) {
        PyRef key(PyUnicode_DecodeUTF8(name.data(), static_cast<Py_ssize_t>(name.size()), "strict"));
        PyObject* index = key ? PyDict_GetItemWithError(self_->_name_map, key.get()) : nullptr;
        PyErr_Clear();  // a text that is not a name names nothing
        const long at = index ? PyLong_AsLong(index) : -1;
        return at >= 0 && at < schema_->constructor_entries ? &schema_->constructors[at] : nullptr;
    }

    // A constructor named with a lowercase first letter (after its
    // namespace) is that constructor, bare.
    TLConstructor* bare_constructor_named(std::string_view text) {
        const size_t dot = text.rfind('.');
        const std::string_view last = dot == std::string_view::npos ? text : text.substr(dot + 1);
        if (last.empty() || last[0] < 'a' || last[0] > 'z') return nullptr;
        return constructor_named(text);
    }

    // The one constructor whose result type is `type_name`.
    TLConstructor* only_constructor_of(std::string_view type_name, std::string_view text) {
        if (by_type_.empty()) {
            for (int32_t i = 0; i < schema_->constructor_entries; ++i) {
                TLConstructor* constr = &schema_->constructors[i];
                if (constructor_named(constr->name) != constr) continue;  // replaced by a later entry
                auto& slot = by_type_[std::string(constr->type)];
                slot.first = constr;
                ++slot.second;
            }
        }
        const auto found = by_type_.find(type_name);
        if (found != by_type_.end() && found->second.second == 1) return found->second.first;
        const int count = found == by_type_.end() ? 0 : found->second.second;
        PyErr_Format(PyExc_ValueError, msg::kBareType,
                     std::string(text).c_str(), std::string(type_name).c_str(), count);
        return nullptr;
    }

    TLSchemaCompilerObject* self_;
    TLSchema* schema_;
    // Keyed by views into the fields' own type texts (kept by the table) or
    // into owned_texts_, so that nested texts are not copied level by level.
    std::unordered_map<std::string_view, TLValueType*> by_text_;
    std::deque<std::string> owned_texts_;
    int depth_ = 0;
    std::unordered_map<std::string, std::pair<TLConstructor*, int>, TextHash, std::equal_to<>> by_type_;
};

// The links of every field to the next ones the codec's loops visit.
void link_fields(TLSchema* schema) {
    for (int32_t c = 0; c < schema->constructor_count; ++c) {
        TLConstructor& constr = schema->constructors[c];
        int32_t next_named = constr.field_count, next_written = constr.field_count;
        for (int32_t i = constr.field_count - 1; i >= 0; --i) {
            TLField& field = constr.fields[i];
            field.next_named = next_named;
            field.next_written = next_written;
            // A flags word is written whatever else its type says.
            if (!field.flags_word) next_named = i;
            if (field.flags_word || !field.bit_only) next_written = i;
        }
        constr.first_named = next_named;
        constr.first_written = next_written;
    }
}

// Gives every field its value type, then every value type its least size.
int resolve_value_types(TLSchemaCompilerObject* self) {
    TLSchema* schema = self->_schema;
    try {
        TypeResolver resolver(self);
        for (int32_t i = 0; i < schema->constructor_count; ++i) {
            TLConstructor& constr = schema->constructors[i];
            for (int32_t j = 0; j < constr.field_count; ++j) {
                TLField& field = constr.fields[j];
                if (!(field.value_type = resolver.resolve(velta::strip_condition(field.type_name)))) return -1;
            }
        }
        TypeResolver::set_min_sizes(schema->value_types);
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return -1;
    }
    return 0;
}

// Replaces the compiler's table with an empty one for `count` entries, the
// first `constructor_entries` of them from "constructors".
int start_table(TLSchemaCompilerObject* self, size_t count, size_t constructor_entries) {
    // A compiler holds one table: an earlier one is released before the next.
    self->ops->_free_schema(self);
    TLSchema* schema = static_cast<TLSchema*>(calloc(1, sizeof(TLSchema)));
    if (!schema) {
        PyErr_SetString(PyExc_MemoryError, msg::kSchemaMemory);
        return -1;
    }
    self->_schema = schema;
    // calloc(0) may legitimately return null; one spare record keeps "no
    // memory" unambiguous.
    if (count > INT32_MAX || !(schema->constructors = static_cast<TLConstructor*>(calloc(count + 1, sizeof(TLConstructor))))) {
        self->ops->_free_schema(self);
        PyErr_SetString(PyExc_MemoryError, msg::kConstructorsMemory);
        return -1;
    }
    schema->constructor_count = static_cast<int32_t>(count);
    schema->constructor_entries = static_cast<int32_t>(constructor_entries);
    schema->standard = self->_standard;
    return (self->_name_map = PyDict_New()) ? 0 : -1;
}

// What is derived once every record is built and indexed.
int finish_table(TLSchemaCompilerObject* self) {
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
                      const velta::schema_text::Param& param) {
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
    return finish_field(self, constr, index, param.type);
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
    for (uint32_t i = 0; i < entry.param_count; ++i)
        if (build_plain_field(self, texts, constr, static_cast<int32_t>(i), read.params[entry.first_param + i]) < 0)
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
    return json == S.json_module && loads == S.json_loads;
}

int compiler_parse_json_schema(TLSchemaCompilerObject* self, PyObject* json_data) {
    Operation op("Velta.tl.TLSchemaCompiler._parse_json_schema");
    PyRef schema_dict;
    if (PyUnicode_Check(json_data)) {
        PyRef json(lookup_global(S.str_json));
        if (!json) return op.fail(__LINE__);
        PyRef loads(PyObject_GetAttr(json.get(), S.str_loads));
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
        if (!self->ops->_create_constructor(self, constr_data, static_cast<int32_t>(i), texts)) return op.fail(__LINE__);
        if (index_constructor(self, static_cast<int32_t>(i)) < 0) return op.fail(__LINE__);
    }
    if (finish_table(self) < 0) return op.fail(__LINE__);
    return 0;
}

TLSchema* compiler_get_schema(TLSchemaCompilerObject* self) { return self->_schema; }

const TLSchemaCompilerOps kCompilerOps = {
    compiler_free_schema,
    compiler_parse_json_schema,
    compiler_create_constructor,
    compiler_parse_type,
    compiler_get_schema,
};

}  // namespace

// ===========================================================================
// Shared by the writer and the reader

namespace {

// The parser object. It shares only what is immutable once built (the
// compiled table) and one spare output buffer that calls take and give back
// with atomic exchanges; everything else a call needs lives on its stack.
struct OutputBuffer {
    unsigned char* data;
    size_t capacity;
};

struct TLParserObject {
    PyObject_HEAD
    TLSchema* _schema;      // borrowed from _compiler
    PyObject* _compiler;    // owned; None before construction and after a clear
    OutputBuffer* _spare_buffer;  // owned; taken by one pack at a time, or null
};

const TLSchemaCompilerObject* parser_compiler(const TLParserObject* self) {
    return reinterpret_cast<const TLSchemaCompilerObject*>(self->_compiler);
}


// ===========================================================================
// The writer: one per pack

// The output starts with this much room; it grows by doubling.
constexpr size_t kInitialOutput = 1024;

// Byte strings at least this long are not copied into the buffer: they are
// kept by reference and copied once, straight into the result.
constexpr size_t kDeferredBytesMin = 64 * 1024;

// Whether the value of a conditional field counts as given: exactly True for
// fields whose value is only the bit, anything but None for the others.
bool conditional_present(const TLField& field, PyObject* value) {
    return field.bit_only ? value == Py_True : value != Py_None;
}

class Writer {
public:
    Writer(TLParserObject* parser)
        : parser_(parser), compiler_(parser_compiler(parser)), standard_(compiler_->_schema->standard) {}
    Writer(const Writer&) = delete;
    Writer& operator=(const Writer&) = delete;
    ~Writer();

    // Takes the parser's spare buffer, or a new one, of at least
    // kInitialOutput bytes; MemoryError (with no message) when there is none.
    int start();
    // The message written so far as a new bytes object.
    PyObject* result() const;

    // `bare`: the constructor of a bare value, whose id is not written.
    int _write_object(PyObject* value, const TLConstructor* bare = nullptr);
    int _write_value(PyObject* value, const TLValueType* type);
    int _write_vector(PyObject* vector, const TLValueType* type);
    int _write_int32(int32_t value);
    int _write_int64(uint64_t value);
    int _write_double(double value);
    int _write_bytes(PyObject* data);
    int _write_string(PyObject* data);
    int _ensure_buffer(size_t needed);

    ErrorPath path;

private:
    // A byte string whose data is copied into the result only: it belongs at
    // `at` in the buffer, and the message is `deferred_size_` bytes longer
    // than the buffer says.
    struct DeferredBytes {
        size_t at;
        PyObject* owner;  // strong; the bytes or str that holds `data`
        const char* data;
        size_t size;
    };

    // The values of one object's fields as they were given, gathered before
    // anything is written, so that what is written is exactly what decided
    // the flags words. They live on the writer's heap stack, not the C
    // stack: an object level must stay small, whatever its size.
    // Room for the kept values of a few nested objects without the heap.
    static constexpr size_t kInlineKept = 64;
    class KeptValues : public velta::HeapFrame<PyObject*, kInlineKept> {
    public:
        KeptValues(Writer& writer, int32_t count) : HeapFrame(writer.kept_, static_cast<size_t>(count), nullptr) {}
        ~KeptValues() { clear(); }
        // Takes over the reference to `value`.
        void keep(int32_t index, PyObject* value) {
            PyObject* old = std::exchange((*this)[index], value);
            if (old) Py_DECREF(old);  // a field is given once; kept for safety
            else ++outstanding_;
        }
        void clear() {
            for (size_t i = 0; outstanding_ && i < size(); ++i) {
                if (PyObject* value = std::exchange((*this)[i], nullptr)) {
                    --outstanding_;
                    Py_DECREF(value);
                }
            }
        }
        // A new reference to the kept value, or null when none was kept.
        PyObject* take(int32_t index) {
            PyObject* value = std::exchange((*this)[index], nullptr);
            outstanding_ -= value != nullptr;
            return value;
        }

    private:
        size_t outstanding_ = 0;  // kept and not yet taken: most objects end with none
    };
    using Words = velta::HeapFrame<uint32_t>;  // one object's flags words

    // What gathering one object yields.
    struct Gathered {
        Gathered(Writer& writer, const TLConstructor* constr)
            : values(writer, constr->field_count),
              words(writer.words_, static_cast<size_t>(constr->word_count), 0u),
              refused(constr->field_count) {}
        bool ok() const { return values.ok() && words.ok(); }
        void reset() {
            values.clear();
            for (size_t i = 0; i < words.size(); ++i) words[i] = 0;
            refused = static_cast<int32_t>(values.size());
        }
        KeptValues values;  // what will be written, by field
        Words words;
        int32_t refused;    // the first given condition that cannot be
                            // written, or field_count
    };
    // Where the "_" of a dict was read: the name object (compared by
    // identity only) and the walk's start past it.
    struct NameSeen {
        PyObject* name = nullptr;
        Py_ssize_t walk_from = 0;
    };

    bool has_room(size_t needed) const { return buffer_.capacity - position_ >= needed; }
    // Room for `width` more bytes at the cursor, claimed; null with
    // MemoryError pending when the buffer cannot grow.
    unsigned char* claim(size_t width) {
        if (VELTA_UNLIKELY(!has_room(width)) && _ensure_buffer(width) < 0) return nullptr;
        unsigned char* at = buffer_.data + position_;
        position_ += width;
        return at;
    }
    int write_byte_string(const char* data, size_t length, PyObject* owner);
    int defer(size_t at, PyObject* owner, const char* data, size_t size);
    const TLConstructor* constructor_for(PyObject* value, bool exact_dict, const TLConstructor* bare, NameSeen* seen);
    void take_given(const TLConstructor* constr, int32_t index, PyObject* item, Gathered& given);
    int gather(PyObject* value, bool exact_dict, const TLConstructor* constr, Gathered& given, const NameSeen& seen);
    int write_fields(const TLConstructor* constr, Gathered& given, const TLConstructor* bare);
    int write_wide(PyObject* value, TLType kind);

    TLParserObject* parser_;
    const TLSchemaCompilerObject* compiler_;
    OutputBuffer* holder_ = nullptr;  // the record buffer_ goes back in
    OutputBuffer buffer_ = {nullptr, 0};
    size_t position_ = 0;  // bytes written to buffer_.data
    HeapArray<DeferredBytes, 4> deferred_;
    size_t deferred_size_ = 0;
    HeapArray<PyObject*, kInlineKept> kept_;
    HeapArray<uint32_t> words_;
    const bool standard_;
};

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

// ---- buffer and scalars ----------------------------------------------------

int Writer::_ensure_buffer(size_t needed) {
    Operation op("Velta.tl.TLParser._ensure_buffer");
    const size_t required = position_ + needed;
    if (required < position_) {  // size_t wrapped: no buffer can hold it
        PyErr_SetString(PyExc_MemoryError, msg::kBufferGrowth);
        return op.fail(__LINE__);
    }
    if (buffer_.capacity >= required) return 0;
    size_t new_size = buffer_.capacity;
    do {
        if (new_size > SIZE_MAX / 2) {
            PyErr_SetString(PyExc_MemoryError, msg::kBufferGrowth);
            return op.fail(__LINE__);
        }
        new_size *= 2;
    } while (new_size < required);
    auto* grown = static_cast<unsigned char*>(realloc(buffer_.data, new_size));
    if (!grown) {
        PyErr_SetString(PyExc_MemoryError, msg::kBufferGrowth);
        return op.fail(__LINE__);
    }
    buffer_ = {grown, new_size};
    return 0;
}

int Writer::_write_int32(int32_t value) {
    Operation op("Velta.tl.TLParser._write_int32");
    unsigned char* at = claim(4);
    if (VELTA_UNLIKELY(!at)) return op.fail(__LINE__);
    velta::store_le32(at, static_cast<uint32_t>(value));
    return 0;
}

int Writer::_write_int64(uint64_t value) {
    Operation op("Velta.tl.TLParser._write_int64");
    unsigned char* at = claim(8);
    if (VELTA_UNLIKELY(!at)) return op.fail(__LINE__);
    velta::store_le64(at, value);
    return 0;
}

int Writer::_write_double(double value) {
    Operation op("Velta.tl.TLParser._write_double");
    unsigned char* at = claim(8);
    if (VELTA_UNLIKELY(!at)) return op.fail(__LINE__);
    uint64_t bits;
    memcpy(&bits, &value, sizeof bits);
    velta::store_le64(at, bits);
    return 0;
}

int Writer::defer(size_t at, PyObject* owner, const char* data, size_t size) {
    if (!deferred_.append(1, DeferredBytes{at, Py_NewRef(owner), data, size})) {
        Py_DECREF(owner);
        PyErr_NoMemory();
        return -1;
    }
    deferred_size_ += size;
    return 0;
}

// Appends one byte string: length prefix, data, zero padding to a multiple of
// 4 bytes from the start of the message. `owner` keeps `data` alive; a long
// string is deferred instead of copied.
int Writer::write_byte_string(const char* data, size_t length, PyObject* owner) {
    if (length > velta::kMaxByteStringLength) {
        PyErr_Format(PyExc_ValueError, msg::kBytesTooLong, length, velta::kMaxByteStringLength);
        return -1;
    }
    const bool deferred = length >= kDeferredBytesMin;
    // Room for the longest prefix, the data and the padding.
    constexpr size_t kPrefixAndPadding = 4 + (velta::kAlignment - 1);
    if (!has_room((deferred ? 0 : length) + kPrefixAndPadding) &&
        _ensure_buffer((deferred ? 0 : length) + kPrefixAndPadding) < 0)
        return -1;
    unsigned char* out = buffer_.data + position_;
    size_t at = 0;
    if (length <= velta::kShortStringMax) {
        out[at++] = static_cast<unsigned char>(length);
    } else {
        out[at++] = velta::kLongStringMarker;
        out[at++] = static_cast<unsigned char>(length & 0xFF);
        out[at++] = static_cast<unsigned char>((length >> 8) & 0xFF);
        out[at++] = static_cast<unsigned char>((length >> 16) & 0xFF);
    }
    if (deferred) {
        if (defer(position_ + at, owner, data, length) < 0) return -1;
    } else {
        if (length) memcpy(out + at, data, length);
        at += length;
    }
    while ((position_ + deferred_size_ + at) % velta::kAlignment) out[at++] = 0;
    position_ += at;
    return 0;
}

int Writer::_write_bytes(PyObject* data) {
    Operation op("Velta.tl.TLParser._write_bytes");
    if (data == Py_None) {
        raise_none_length();
        return op.fail(__LINE__);
    }
    if (!PyBytes_Check(data)) {
        raise_expected("bytes", data);
        return op.fail(__LINE__);
    }
    if (write_byte_string(PyBytes_AS_STRING(data), static_cast<size_t>(PyBytes_GET_SIZE(data)), data) < 0)
        return op.fail(__LINE__);
    return 0;
}

int Writer::_write_string(PyObject* data) {
    Operation op("Velta.tl.TLParser._write_string");
    if (data == Py_None) {
        raise_none_attribute("encode");
        return op.fail(__LINE__);
    }
    if (!PyUnicode_Check(data)) {
        raise_expected("str", data);
        return op.fail(__LINE__);
    }
    // An ASCII str is its own UTF-8.
    const bool ascii = velta::str_readable(data) && PyUnicode_IS_ASCII(data);
    Py_ssize_t size = ascii ? PyUnicode_GET_LENGTH(data) : 0;
    const char* utf8 = ascii ? static_cast<const char*>(PyUnicode_DATA(data)) : PyUnicode_AsUTF8AndSize(data, &size);
    if (!utf8 || write_byte_string(utf8, static_cast<size_t>(size), data) < 0) return op.fail(__LINE__);
    return 0;
}

// ---- values and vectors ----------------------------------------------------

// An `int` field takes -2**31 .. 2**32-1: signed values, and the unsigned
// values unpack yields, written as their 32-bit pattern.
int convert_int32(PyObject* value, int32_t* out) {
    long long small;
    if (velta::compact_int_value(value, &small) && small >= INT32_MIN && small <= 0xFFFFFFFFll) {
        *out = static_cast<int32_t>(static_cast<uint32_t>(small));
        return 0;
    }
    PyRef number = PyLong_CheckExact(value) ? PyRef::borrow(value) : PyRef(integer_of(value));
    long long v;
    if (!number || int_in_range(number.get(), INT32_MIN, 0xFFFFFFFFll, "int32_t", &v) < 0) return -1;
    *out = static_cast<int32_t>(static_cast<uint32_t>(v));
    return 0;
}

int convert_uint64(PyObject* value, uint64_t* out) {
    long long small;
    if (velta::compact_int_value(value, &small) && small >= 0) {
        *out = static_cast<uint64_t>(small);
        return 0;
    }
    PyRef number = PyLong_CheckExact(value) ? PyRef::borrow(value) : PyRef(integer_of(value));
    if (!number) return -1;
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(number.get(), &overflow);
    if (v == -1 && PyErr_Occurred()) return -1;
    if (overflow < 0 || (overflow == 0 && v < 0)) {
        PyErr_Format(PyExc_OverflowError, msg::kNegativeUnsigned, "uint64_t");
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

// Standard mode: a `long` takes -2**63 .. 2**64-1, signed values and the
// unsigned ones alike, written as their 64-bit pattern.
int convert_int64_either(PyObject* value, uint64_t* out) {
    PyRef number = PyLong_CheckExact(value) ? PyRef::borrow(value) : PyRef(integer_of(value));
    if (!number) return -1;
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(number.get(), &overflow);
    if (v == -1 && PyErr_Occurred()) return -1;
    if (overflow == 0) {
        *out = static_cast<uint64_t>(v);
        return 0;
    }
    const unsigned long long big = overflow > 0 ? PyLong_AsUnsignedLongLong(number.get()) : 0;
    if (overflow < 0 || (big == static_cast<unsigned long long>(-1) && PyErr_Occurred())) {
        PyErr_Clear();
        PyErr_Format(PyExc_OverflowError, msg::kIntRange, "int64_t");
        return -1;
    }
    *out = big;
    return 0;
}

// int128 and int256: -2**(n-1) .. 2**n-1, written as the n-bit two's
// complement pattern, little-endian.
int Writer::write_wide(PyObject* value, TLType kind) {
    const bool narrow = kind == TL_TYPE_INT128;
    const size_t width = narrow ? 16 : 32;
    PyRef number(integer_of(value));
    if (!number) return -1;
    const int below = PyObject_RichCompareBool(number.get(), narrow ? S.int128_low : S.int256_low, Py_LT);
    const int above = below ? below : PyObject_RichCompareBool(number.get(), narrow ? S.int128_mask : S.int256_mask, Py_GT);
    if (below < 0 || above < 0) return -1;
    if (below || above) {
        PyErr_Format(PyExc_OverflowError, msg::kIntRange, narrow ? "int128" : "int256");
        return -1;
    }
    PyRef pattern(PyNumber_And(number.get(), narrow ? S.int128_mask : S.int256_mask));
    PyRef data(pattern ? PyObject_CallMethod(pattern.get(), "to_bytes", "nO", static_cast<Py_ssize_t>(width), S.str_little)
                       : nullptr);
    if (!data) return -1;
    unsigned char* at = claim(width);
    if (!at) return -1;
    memcpy(at, PyBytes_AS_STRING(data.get()), width);
    return 0;
}

int Writer::_write_value(PyObject* value, const TLValueType* type) {
    Operation op("Velta.tl.TLParser._write_value");
    switch (type->kind) {
        case TL_TYPE_INT: {
            int32_t v;
            if (convert_int32(value, &v) < 0 || _write_int32(v) < 0) return op.fail(__LINE__);
            return 0;
        }
        case TL_TYPE_LONG: {
            uint64_t v;
            if ((standard_ ? convert_int64_either(value, &v) : convert_uint64(value, &v)) < 0 || _write_int64(v) < 0)
                return op.fail(__LINE__);
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
        case TL_TYPE_BOOL: {
            int truth;
            if (value == Py_True) truth = 1;
            else if (value == Py_False || value == Py_None) truth = 0;
            else if ((truth = PyObject_IsTrue(value)) < 0) return op.fail(__LINE__);
            const uint32_t word = !standard_ ? static_cast<uint32_t>(truth) : truth ? velta::kBoolTrueId : velta::kBoolFalseId;
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
        case TL_TYPE_LONG:
            return PyLong_Check(item);
        case TL_TYPE_DOUBLE:
            return PyFloat_Check(item) || PyLong_CheckExact(item);
        case TL_TYPE_STRING:
            return PyUnicode_Check(item);
        case TL_TYPE_BYTES:
            return PyBytes_Check(item);
        case TL_TYPE_BOOL:
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
#ifdef Py_GIL_DISABLED
        items.reset(PyList_GetSlice(vector, 0, PY_SSIZE_T_MAX));
#else
        private_copy = type->element->kind != TL_TYPE_OBJECT && type->element->kind != TL_TYPE_BARE_OBJECT &&
                       type->element->kind != TL_TYPE_VECTOR && type->element->kind != TL_TYPE_BARE_VECTOR;
        items = private_copy ? PyRef::borrow(vector) : PyRef(PyList_GetSlice(vector, 0, PY_SSIZE_T_MAX));
        private_copy = !private_copy;
#endif
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
            return Py_NewRef(S.int_zero);
    }
    Py_UNREACHABLE();
}

// The "_" entry of an exact dict, borrowed (null when absent, or on error).
// Code mostly writes "_" first, and unpack does: then the first entry holds
// it, with no hashing, and the walk over the fields may start after it.
PyObject* name_entry(PyObject* dict, Py_ssize_t* walk_from) {
#ifndef Py_GIL_DISABLED
    Py_ssize_t position = 0;
    PyObject *key, *item;
    if (PyDict_Next(dict, &position, &key, &item) && key == S.str_underscore) {
        *walk_from = position;
        return item;
    }
#endif
    return PyDict_GetItemWithError(dict, S.str_underscore);
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
        seen->name = borrowed;  // compared by identity only, never used
        if (borrowed && !(known = bare ? nullptr : compiler_->_name_table.get(borrowed))) found = Py_NewRef(borrowed);
        Py_END_CRITICAL_SECTION();
        if (known) return known;
        if (!found && PyErr_Occurred()) return nullptr;
        name.reset(found ? found : Py_NewRef(Py_None));
    } else {
        PyRef get(PyObject_GetAttr(value, S.str_get));
        if (!get) return nullptr;
        name.reset(PyObject_CallOneArg(get.get(), S.str_underscore));
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
    if (TLConstructor* known = compiler_->_name_table.get(name.get())) return known;
    if (name.get() == Py_None || PyUnicode_GET_LENGTH(name.get()) == 0) {
        PyErr_SetString(PyExc_ValueError, msg::kNoConstructor);
        return nullptr;
    }
    // An exact str key: the look-up runs no interpreter code, and the map is
    // never changed once compiled, so the borrowed index is safe to read.
    PyObject* index = PyDict_GetItemWithError(compiler_->_name_map, name.get());
    if (!index) {
        if (!PyErr_Occurred()) PyErr_Format(PyExc_ValueError, msg::kUnknownName, name.get());
        return nullptr;
    }
    return &compiler_->_schema->constructors[PyLong_AsLong(index)];
}

// Whether two exact strs of equal hash hold the same text: compared in
// place, as keys that are equal but not the same object (dicts decoded from
// JSON, say) are compared once per field.
bool same_text(PyObject* a, PyObject* b) {
    if (!velta::str_readable(a) || !velta::str_readable(b)) return PyUnicode_Compare(a, b) == 0;
    const Py_ssize_t length = PyUnicode_GET_LENGTH(a);
    const int kind = PyUnicode_KIND(a);
    return length == PyUnicode_GET_LENGTH(b) && kind == PyUnicode_KIND(b) &&
           memcmp(PyUnicode_DATA(a), PyUnicode_DATA(b), static_cast<size_t>(length) * static_cast<size_t>(kind)) == 0;
}

// Whether `key`, an exact str with hash `hash`, names `field`.
bool names_field(PyObject* key, Py_hash_t hash, const TLField& field) {
    return field.py_name == key || field.py_name_interned == key ||
           (field.name_hash == hash && same_text(field.py_name, key));
}

// The field of `constr` named by `key` (an exact str), or -1; `next` is the
// field expected next.
int32_t find_field(const TLConstructor* constr, PyObject* key, int32_t next) {
    if (key == S.str_underscore) return -1;
    const Py_hash_t hash = PyObject_Hash(key);  // cached in the str after the first time
    if (next < constr->field_count && names_field(key, hash, constr->fields[next])) return next;
    for (int32_t i = 0; i < constr->field_count; ++i)
        if (names_field(key, hash, constr->fields[i])) return i;
    return -1;
}

// Takes in `item` (borrowed), the value given for field `index`: a
// condition's value sets its bit, and only a value that will be written is
// kept. A condition that cannot be written is noted in `refused` (the first
// such field in wire order is the one refused) and raised once gathering is
// done, so that failing look-ups come first as they always did.
VELTA_ALWAYS_INLINE void Writer::take_given(const TLConstructor* constr, int32_t index, PyObject* item, Gathered& given) {
    const TLField& field = constr->fields[index];  // never a flags word: see gather
    if (field.is_optional) {
        if (!conditional_present(field, item)) return;
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

int Writer::gather(PyObject* value, bool exact_dict, const TLConstructor* constr, Gathered& given,
                   [[maybe_unused]] const NameSeen& seen) {
#ifdef Py_GIL_DISABLED
    // The fields must come from the moment "_" came from: a walk checks "_"
    // as it passes it, and look-ups work on a copy taken under the dict's
    // lock.
    PyRef snapshot;
    if (exact_dict && !constr->walkable) {
        if (!(snapshot = PyRef(PyDict_Copy(value)))) return -1;
        PyObject* name = PyDict_GetItemWithError(snapshot.get(), S.str_underscore);
        if (!name && PyErr_Occurred()) return -1;
        if (name != seen.name) return kGatherAgain;
        value = snapshot.get();
    }
#endif
    if (exact_dict && constr->walkable) {
        // Dicts mostly hold their keys in schema order (unpack makes them so,
        // and so do literals), as the very name objects of the schema: a walk
        // over the entries in step with the fields finds each without hashing.
        // A key that is not an exact str could equal a name by its own
        // __eq__, which only a look-up honours.
        bool walked = true;
        [[maybe_unused]] bool name_changed = false;
        int32_t next = constr->first_named;
        Py_BEGIN_CRITICAL_SECTION(value);
        // No interpreter code has run since "_" was read: the dict is as it
        // was, and the entries before seen.walk_from are "_" alone.
        Py_ssize_t position = seen.walk_from;
        PyObject *key, *item;
        while (PyDict_Next(value, &position, &key, &item)) {
            int32_t at;
#ifdef Py_GIL_DISABLED
            if (key == S.str_underscore && item != seen.name) {
                walked = false;
                name_changed = true;
                break;
            }
#endif
            if (next < constr->field_count &&
                (key == constr->fields[next].py_name || key == constr->fields[next].py_name_interned)) {
                at = next;
            } else if (PyUnicode_CheckExact(key)) {
                // A flags word is computed, whatever is given.
                if ((at = find_field(constr, key, next)) < 0 || constr->fields[at].flags_word) continue;
            } else {
                walked = false;
                break;
            }
            take_given(constr, at, item, given);
            next = constr->fields[at].next_named;
        }
        Py_END_CRITICAL_SECTION();
        if (walked) return 0;
        given.reset();
#ifdef Py_GIL_DISABLED
        if (name_changed) return kGatherAgain;
#endif
    }
    for (int32_t i = constr->first_named; i < constr->field_count; i = constr->fields[i].next_named) {
        const TLField& field = constr->fields[i];
        PyRef field_value;
        const int present = lookup_field(value, exact_dict, field.py_name, &field_value);
        if (present < 0) {
            path.record_field(field, 0);
            return -1;
        }
        if (present) take_given(constr, i, field_value.get(), given);
    }
    return 0;
}

int Writer::_write_object(PyObject* value, const TLConstructor* bare) {
    Operation op("Velta.tl.TLParser._write_object");
    RecursionGuard guard(" while packing a TL object");
    if (!guard.entered()) return op.fail(__LINE__);
    const bool exact_dict = PyDict_CheckExact(value);
    for (int attempt = 0;; ++attempt) {
        NameSeen seen;
        const TLConstructor* constr = constructor_for(value, exact_dict, bare, &seen);
        if (!constr) return op.fail(__LINE__);
        Gathered given(*this, constr);
        if (!given.ok()) {
            PyErr_NoMemory();
            return op.fail(__LINE__);
        }
        const int gathered = gather(value, exact_dict, constr, given, seen);
        if (gathered == kGatherAgain) {
            if (attempt < kMaxGatherRetries) continue;
            PyErr_SetString(PyExc_RuntimeError, msg::kDictChanged);
            return op.fail(__LINE__);
        }
        if (gathered < 0 || write_fields(constr, given, bare) < 0) {
            path.record_root(constr);
            return op.fail(__LINE__);
        }
        return 0;
    }
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
            if (_write_int32(static_cast<int32_t>(given.words[field.flags_word - 1])) < 0) return -1;
            continue;
        }
        PyRef field_value(given.values.take(i));
        if (field.is_optional) {
            // A reader takes the field as present when its bit is set in the
            // word as read so far: never, unless the word comes first.
            const bool bit_set = (given.words[field.flag_info.flags_index] & field.flag_mask) != 0;
            if (!bit_set || !field.word_declared) continue;
            // Another field set the bit this one shares (this one was not
            // given, or was None, so nothing was kept): a reader will expect
            // this one's bytes too, so it gets its zero value, as a missing
            // unconditional field does. A boxed object has none.
            if (!field_value && field.value_type->kind == TL_TYPE_OBJECT) {
                PyErr_Format(PyExc_ValueError, msg::kSharedBitObject, field.py_name);
                path.record_field(field, 0);
                return -1;
            }
        }
        if (!field_value && !(field_value = PyRef(default_value(field.value_type)))) {
            return -1;
        }
        if (_write_value(field_value.get(), field.value_type) < 0) {
            path.record_field(field, 0);
            return -1;
        }
    }
    return 0;
}

}  // namespace

// ===========================================================================
// The reader: one per unpack

namespace {

// Decoded dicts name things with the interned twins of the schema's names:
// without the GIL, interned strings take no reference counting, so threads
// that share a parser do not contend for its names.
//
// The dict every decoded object of `constr` starts from: "_" and then each
// field key in wire order, holding what an absent field reads as. Copying it and replacing values is much cheaper
// than growing a fresh dict key by key, and it fixes the key order. Calls on
// several threads may build it at once; the first to publish it wins.
// Without the GIL a copy holds the template's lock, which would serialise
// the threads, so there each object is built key by key instead.
#ifdef Py_GIL_DISABLED
constexpr bool kObjectsFromTemplate = false;
#else
constexpr bool kObjectsFromTemplate = true;
#endif

PyObject* object_template(TLConstructor* constr) {
    std::atomic_ref<PyObject*> slot(constr->py_template);
    if (PyObject* ready = slot.load(std::memory_order_acquire)) return ready;
    PyRef dict(PyDict_New());
    if (!dict || PyDict_SetItem(dict.get(), S.str_underscore, constr->py_name_interned) < 0) return nullptr;
    Py_ssize_t named_fields = 1;
    for (int32_t i = 0; i < constr->field_count; ++i) {
        const TLField& field = constr->fields[i];
        if (field.flags_word) continue;
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

// Inflated gzip_packed content may come to this much in one unpack, in all.
constexpr size_t kMaxInflated = 16u << 20;

// Values that take no bytes (bare `true`, a bare constructor without
// fields) cannot run out of input, so they are held to a budget instead:
// per unpack, this many for each input byte, and kZeroSizeSlack more. The
// budget covers every value read, nested ones and those inside gzip_packed
// included, so no nesting of them multiplies what an input can build.
constexpr size_t kZeroSizePerByte = 4;
constexpr size_t kZeroSizeSlack = 4096;

class Reader {
public:
    Reader(const TLSchemaCompilerObject* compiler, const unsigned char* input, size_t size)
        : compiler_(compiler),
          input_(input),
          size_(size),
          standard_(compiler->_schema->standard),
          zero_size_left_(size > (SIZE_MAX - kZeroSizeSlack) / kZeroSizePerByte ? SIZE_MAX
                                                                             : size * kZeroSizePerByte + kZeroSizeSlack) {}
    Reader(const Reader&) = delete;
    Reader& operator=(const Reader&) = delete;

    // `bare`: the constructor of a bare value, whose id is not on the wire.
    PyObject* _read_object(TLConstructor* bare = nullptr);
    PyObject* _read_value(const TLValueType* type);
    PyObject* _read_vector(const TLValueType* type);
    uint32_t _read_int32();
    uint64_t _read_int64();
    double _read_double();
    PyObject* _read_bytes();
    PyObject* _read_string();

    bool ran_out() const { return error_; }
    size_t position() const { return position_; }

    ErrorPath path;

private:
    // The next `width` input bytes, consumed; null when fewer remain, with
    // the shortage recorded and the cursor left where it was.
    const unsigned char* take(size_t width) {
        if (VELTA_UNLIKELY(size_ < width || position_ > size_ - width)) {
            error_ = true;
            return nullptr;
        }
        const unsigned char* at = input_ + position_;
        position_ += width;
        return at;
    }
    bool read_byte_string(const unsigned char** data, size_t* length);
    // Counts one value that took no bytes; false with ValueError when the
    // budget is spent.
    bool charge_zero_size() {
        if (*zero_size_budget_ == 0) {
            PyErr_SetString(PyExc_ValueError, msg::kZeroSizeBudget);
            return false;
        }
        --*zero_size_budget_;
        return true;
    }
    PyObject* read_boxed_bool();
    PyObject* read_wide(TLType kind);
    PyObject* read_gzip_packed();

    const TLSchemaCompilerObject* compiler_;
    const unsigned char* input_;  // read in place; the caller keeps the
    size_t size_;                 // memory alive and unchanged for the call
    const bool standard_;
    size_t position_ = 0;
    // Shared with the readers of gzip_packed content, which count against
    // the outermost reader's limits.
    size_t zero_size_left_;        // values that take no bytes, still allowed
    size_t* zero_size_budget_ = &zero_size_left_;
    size_t inflated_ = 0;          // gzip_packed output so far, against kMaxInflated
    size_t* inflated_total_ = &inflated_;
    HeapArray<uint32_t> words_;
    // Input bytes that the unread elements of the open vectors need at the
    // least, so that nested counts cannot claim the same bytes twice.
    size_t reserved_ = 0;
    bool error_ = false;  // a read found too few bytes
};

// ---- scalars ---------------------------------------------------------------

uint32_t Reader::_read_int32() {
    const unsigned char* at = take(4);
    return at ? velta::load_le32(at) : 0;
}

uint64_t Reader::_read_int64() {
    const unsigned char* at = take(8);
    return at ? velta::load_le64(at) : 0;
}

double Reader::_read_double() {
    const unsigned char* at = take(8);
    if (!at) return 0.0;
    const uint64_t bits = velta::load_le64(at);
    double value;
    memcpy(&value, &bits, sizeof value);
    return value;
}

// Reads the prefix of a byte string and bounds-checks its data. On success
// *data/*length describe the bytes and the cursor stands after the padding
// (which is not checked: it may stand up to 3 bytes past the input). On short
// input it records the shortage and leaves the cursor after what prefix was
// read.
bool Reader::read_byte_string(const unsigned char** data, size_t* length) {
    const size_t start = position_;
    if (start >= size_) {
        error_ = true;
        return false;
    }
    size_t len = input_[start];
    position_ = start + 1;
    if (len == velta::kLongStringMarker) {
        if (start + 4 > size_) {
            error_ = true;
            return false;
        }
        const unsigned char* p = input_ + start;
        len = static_cast<size_t>(p[1]) | (static_cast<size_t>(p[2]) << 8) | (static_cast<size_t>(p[3]) << 16);
        position_ = start + 4;
    }
    if (len > size_ - position_) {
        error_ = true;
        return false;
    }
    *data = input_ + position_;
    *length = len;
    position_ += len;
    position_ += (velta::kAlignment - position_ % velta::kAlignment) % velta::kAlignment;
    return true;
}

PyObject* Reader::_read_bytes() {
    Operation op("Velta.tl.TLParser._read_bytes");
    const unsigned char* data;
    size_t length;
    if (!read_byte_string(&data, &length)) return Py_NewRef(S.empty_bytes);
    PyObject* result = PyBytes_FromStringAndSize(reinterpret_cast<const char*>(data), static_cast<Py_ssize_t>(length));
    return result ? result : op.fail(__LINE__);
}

PyObject* Reader::_read_string() {
    Operation op("Velta.tl.TLParser._read_string");
    const unsigned char* data;
    size_t length;
    if (!read_byte_string(&data, &length) || length == 0) return Py_NewRef(S.empty_str);
    PyObject* result = PyUnicode_DecodeUTF8(reinterpret_cast<const char*>(data), static_cast<Py_ssize_t>(length), "strict");
    return result ? result : op.fail(__LINE__);
}

// ---- values and vectors ----------------------------------------------------

PyObject* Reader::read_boxed_bool() {
    const unsigned char* at = take(4);
    if (!at) Py_RETURN_FALSE;
    const uint32_t id = velta::load_le32(at);
    if (id == velta::kBoolTrueId) Py_RETURN_TRUE;
    if (id == velta::kBoolFalseId) Py_RETURN_FALSE;
    PyErr_Format(PyExc_ValueError, msg::kBoolId, id);
    return nullptr;
}

PyObject* Reader::read_wide(TLType kind) {
    const size_t width = kind == TL_TYPE_INT128 ? 16 : 32;
    const unsigned char* at = take(width);
    if (!at) return Py_NewRef(S.int_zero);
    PyRef data(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(at), static_cast<Py_ssize_t>(width)));
    PyRef args(data ? PyTuple_Pack(2, data.get(), S.str_little) : nullptr);
    return args ? PyObject_Call(S.int_from_bytes, args.get(), S.signed_kwargs) : nullptr;
}

PyObject* Reader::_read_value(const TLValueType* type) {
    Operation op("Velta.tl.TLParser._read_value");
    PyObject* result;
    switch (type->kind) {
        case TL_TYPE_INT: {
            const uint32_t v = _read_int32();
            return standard_ ? PyLong_FromLong(static_cast<int32_t>(v)) : PyLong_FromUnsignedLong(v);
        }
        case TL_TYPE_LONG: {
            const uint64_t v = _read_int64();
            return standard_ ? PyLong_FromLongLong(static_cast<int64_t>(v)) : PyLong_FromUnsignedLongLong(v);
        }
        case TL_TYPE_DOUBLE:
            return PyFloat_FromDouble(_read_double());
        case TL_TYPE_BOOL:
            if (!standard_) return PyBool_FromLong(_read_int32() != 0);
            result = read_boxed_bool();
            break;
        case TL_TYPE_TRUE:
            if (!charge_zero_size()) return op.fail(__LINE__);
            Py_RETURN_TRUE;
        case TL_TYPE_STRING:
            result = _read_string();
            break;
        case TL_TYPE_BYTES:
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
        const uint32_t vector_id = _read_int32();
        if (vector_id != velta::kVectorId) {
            error_ = true;
            PyErr_Format(PyExc_ValueError, msg::kVectorId, vector_id);
            return op.fail(__LINE__);
        }
    }
    const int32_t count = static_cast<int32_t>(_read_int32());
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
    bool error_seen = error_;
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
            if (!error_seen) {
                path.record_index(i, before);
                error_seen = true;
            }
            if (position_ == before && unit) {
                // Out of input: every later element reads as the same zero
                // value without moving the cursor.
                if (fits)
                    for (int32_t j = i + 1; j < count; ++j) PyList_SET_ITEM(result.get(), j, Py_NewRef(Py_None));
                break;
            }
        }
    }
    reserved_ = reserved_before;
    return result.release();
}

// ---- objects ---------------------------------------------------------------

// Standard mode: a gzip_packed object stands for the one object its data
// inflates to. Inflation is bounded, so a small input cannot ask for
// gigabytes.
PyObject* Reader::read_gzip_packed() {
    const unsigned char* data;
    size_t length;
    if (!read_byte_string(&data, &length)) Py_RETURN_NONE;  // short input: reported at the end
    PyRef packed(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(data), static_cast<Py_ssize_t>(length)));
    PyRef inflater(packed ? PyObject_CallFunction(S.zlib_decompressobj, "i", 31) : nullptr);
    if (!inflater) return nullptr;
    const size_t room = kMaxInflated - *inflated_total_;
    PyRef inflated(PyObject_CallMethod(inflater.get(), "decompress", "On", packed.get(), static_cast<Py_ssize_t>(room + 1)));
    if (!inflated) {
        if (PyErr_ExceptionMatches(S.zlib_error)) {
            PyErr_Clear();
            PyErr_SetString(PyExc_ValueError, msg::kGzipInvalid);
        }
        return nullptr;
    }
    const size_t size = static_cast<size_t>(PyBytes_GET_SIZE(inflated.get()));
    if (size > room) {
        PyErr_Format(PyExc_ValueError, msg::kGzipTooLarge, kMaxInflated);
        return nullptr;
    }
    PyRef finished(PyObject_GetAttrString(inflater.get(), "eof"));
    if (!finished) return nullptr;
    if (finished.get() != Py_True) {
        PyErr_SetString(PyExc_ValueError, msg::kGzipIncomplete);
        return nullptr;
    }
    *inflated_total_ += size;
    Reader inner(compiler_, reinterpret_cast<const unsigned char*>(PyBytes_AS_STRING(inflated.get())), size);
    inner.inflated_total_ = inflated_total_;
    inner.zero_size_budget_ = zero_size_budget_;
    PyRef object(inner._read_object());
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
        const auto found = compiler_->_id_map.find(constructor_id);
        if (found == compiler_->_id_map.end()) {
            if (standard_ && constructor_id == velta::kGzipPackedId) {
                PyObject* inner = read_gzip_packed();
                return inner ? inner : op.fail(__LINE__);
            }
            PyErr_Format(PyExc_ValueError, msg::kUnknownId, constructor_id);
            return op.fail(__LINE__);
        }
        constr = found->second;
        if (standard_ && constructor_id == velta::kGzipPackedId) {
            PyObject* inner = read_gzip_packed();
            return inner ? inner : op.fail(__LINE__);
        }
    }
    PyRef result;
    bool distinct_names = false;  // whether the value a key starts with may stay
    if (kObjectsFromTemplate) {
        PyObject* tmpl = object_template(constr);
        if (!tmpl || !(result = PyRef(PyDict_Copy(tmpl)))) return op.fail(__LINE__);
        distinct_names = std::atomic_ref(constr->distinct_names).load(std::memory_order_relaxed);
    } else {
        result.reset(PyDict_New());
        if (!result || PyDict_SetItem(result.get(), S.str_underscore, constr->py_name_interned) < 0)
            return op.fail(__LINE__);
    }
    velta::HeapFrame<uint32_t> words(words_, static_cast<size_t>(constr->word_count), 0u);
    if (!words.ok()) {
        PyErr_NoMemory();
        return op.fail(__LINE__);
    }

    const bool error_at_start = error_;
    const size_t start = position_;
    for (int32_t i = 0; i < constr->field_count; ++i) {
        const TLField& field = constr->fields[i];
        if (field.flags_word) {
            words[field.flags_word - 1] = _read_int32();
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
            // Reading goes on after input runs out; only the object where it
            // ran out, and those around it, are on the path.
            if (!error_at_start) path.record_field(field, field_start);
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

}  // namespace

// ===========================================================================
// The two types

namespace {

// ---- TLSchemaCompiler --------------------------------------------------------

PyObject* compiler_alloc(PyTypeObject* type) {
    PyObject* obj = type->tp_alloc(type, 0);
    if (!obj) return nullptr;
    auto* self = reinterpret_cast<TLSchemaCompilerObject*>(obj);
    self->ops = &kCompilerOps;
    self->_schema = nullptr;
    self->_name_map = nullptr;
    self->_standard = 0;
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
        self->ops->_free_schema(self);
    }
    self->_id_map.~IdMap();
    self->_name_table.~NameTable();
    Py_TYPE(obj)->tp_free(obj);
}

PyObject* compiler_compile(PyObject* obj, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* json_data = nullptr;
    ArgBinder binder("compile", &S.str_json_data, 1, &json_data);
    if (binder.bind_vector(args, nargs, kwnames) < 0) return nullptr;
    auto* self = reinterpret_cast<TLSchemaCompilerObject*>(obj);
    int state = kCompilerIdle;
    if (!self->_state.compare_exchange_strong(state, kCompilerCompiling, std::memory_order_acq_rel)) {
        PyErr_SetString(PyExc_RuntimeError, state == kCompilerCompiling ? msg::kCompilerBusy : msg::kCompilerInUse);
        return nullptr;
    }
    const int status = self->ops->_parse_json_schema(self, json_data);
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

// Reads one object from `size` bytes at `input`, which stand `base` bytes
// into what the caller gave; positions in errors count from there. *end
// is where the object ends, counted the same way.
PyObject* read_one(const TLParserObject* self, const unsigned char* input, size_t size, size_t base, size_t* end) {
    Reader reader(parser_compiler(self), input, size);
    PyRef parsed(reader._read_object());
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

int check_ready(const TLParserObject* self, const char* method) {
    if (VELTA_UNLIKELY(self->_compiler == Py_None || !self->_schema)) {
        PyErr_Format(PyExc_RuntimeError, msg::kNoSchema, method);
        return -1;
    }
    return 0;
}

PyObject* parser_create(PyTypeObject* type, PyObject* schema_json, PyObject* standard) {
    Operation op("Velta.tl.TLParser.__cinit__");
    PyRef obj(type->tp_alloc(type, 0));
    if (!obj) return op.fail(__LINE__);
    auto* self = reinterpret_cast<TLParserObject*>(obj.get());
    self->_compiler = Py_NewRef(Py_None);
    PyObject* compiler = PyObject_CallNoArgs(reinterpret_cast<PyObject*>(&TLSchemaCompilerType));
    if (!compiler) return op.fail(__LINE__);
    Py_SETREF(self->_compiler, compiler);
    const int standard_mode = standard ? PyObject_IsTrue(standard) : 0;
    if (standard_mode < 0) return op.fail(__LINE__);
    reinterpret_cast<TLSchemaCompilerObject*>(compiler)->_standard = standard_mode;
    PyRef compiled(PyObject_CallMethodOneArg(compiler, S.str_compile, schema_json));
    if (!compiled) return op.fail(__LINE__);
    // From here on the table serves this parser and must not be replaced.
    auto* owned = reinterpret_cast<TLSchemaCompilerObject*>(compiler);
    int state = kCompilerIdle;
    if (!owned->_state.compare_exchange_strong(state, kCompilerInUse, std::memory_order_acq_rel)) {
        PyErr_SetString(PyExc_RuntimeError, msg::kCompilerBusy);
        return op.fail(__LINE__);
    }
    self->_schema = owned->ops->get_schema(owned);
    return obj.release();
}

// TLParser(schema_json, *, standard=False)
struct ParserArguments {
    PyObject* names[2] = {S.str_schema_json, S.str_standard};
    PyObject* values[2] = {nullptr, nullptr};
    ArgBinder binder{"__cinit__", names, 2, values, 1, 1};
};

PyObject* parser_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    ParserArguments bound;
    if (bound.binder.bind_classic(args, kwargs) < 0) return nullptr;
    return parser_create(type, bound.values[0], bound.values[1]);
}

PyObject* parser_vectorcall(PyObject* type, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    if (type != reinterpret_cast<PyObject*>(&TLParserType)) return call_type_classic(type, args, nargsf, kwnames);
    ParserArguments bound;
    if (bound.binder.bind_vector(args, PyVectorcall_NARGS(nargsf), kwnames) < 0) return nullptr;
    return parser_create(&TLParserType, bound.values[0], bound.values[1]);
}

PyObject* parser_unpack(PyObject* obj, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    auto* self = reinterpret_cast<TLParserObject*>(obj);
    PyObject* data = nullptr;
    ArgBinder binder("unpack", &S.str_data, 1, &data);
    if (binder.bind_vector(args, nargs, kwnames) < 0) return nullptr;
    if (data != Py_None && !PyBytes_CheckExact(data)) {
        PyErr_Format(PyExc_TypeError, msg::kArgIncorrectType, "data", "bytes", Py_TYPE(data)->tp_name);
        return nullptr;
    }
    if (data == Py_None) return raise_none_length();
    if (check_ready(self, "unpack") < 0) return nullptr;

    Operation op("Velta.tl.TLParser.unpack");
    size_t end;
    PyObject* parsed = read_one(self, reinterpret_cast<const unsigned char*>(PyBytes_AS_STRING(data)),
                                static_cast<size_t>(PyBytes_GET_SIZE(data)), 0, &end);
    return parsed ? parsed : op.fail(__LINE__);
}

PyObject* parser_unpack_from(PyObject* obj, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    auto* self = reinterpret_cast<TLParserObject*>(obj);
    PyObject* names[2] = {S.str_buffer, S.str_offset};
    PyObject* values[2] = {nullptr, nullptr};
    ArgBinder binder("unpack_from", names, 2, values, 2, 1);
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
    PyRef parsed(read_one(self, start + offset, static_cast<size_t>(view.buffer.len - offset), static_cast<size_t>(offset), &end));
    if (!parsed) return op.fail(__LINE__);
    PyRef end_object(PyLong_FromSize_t(end));
    PyObject* pair = end_object ? PyTuple_Pack(2, parsed.get(), end_object.get()) : nullptr;
    return pair ? pair : op.fail(__LINE__);
}

PyObject* parser_pack(PyObject* obj, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    auto* self = reinterpret_cast<TLParserObject*>(obj);
    PyObject* value = nullptr;
    ArgBinder binder("pack", &S.str_value, 1, &value);
    if (binder.bind_vector(args, nargs, kwnames) < 0) return nullptr;
    if (check_ready(self, "pack") < 0) return nullptr;

    Operation op("Velta.tl.TLParser.pack");
    Writer writer(self);
    PyRef packed(writer.start() < 0 || writer._write_object(value) < 0 ? nullptr : writer.result());
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
     PyDoc_STR("unpack($self, /, data)\n--\n\n"
               "Decode one boxed TL object from `data` (exactly bytes) into a dict.\n\n"
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
     PyDoc_STR("unpack_from($self, /, buffer, offset=0)\n--\n\n"
               "Decode one boxed TL object from `buffer` at `offset`; return (value, end).\n\n"
               "`buffer` is any C-contiguous buffer (bytes, bytearray, memoryview, mmap),\n"
               "read in place and held for the call; `end` is the offset just past the\n"
               "object, so concatenated messages parse in a loop. Byte-string padding\n"
               "counts from `offset`; positions in errors count from the buffer's start.\n"
               "Raises ValueError(\"offset out of range\") for an offset below 0 or past\n"
               "the end, and otherwise what unpack raises.")},
    {"pack", as_method(parser_pack),
     METH_FASTCALL | METH_KEYWORDS,
     PyDoc_STR("pack($self, /, value)\n--\n\n"
               "Encode `value`, a dict whose \"_\" names a constructor, into TL bytes.\n\n"
               "Fields are looked up by name; keys that name no field are ignored and the\n"
               "flags words are computed from which conditional fields are present (not\n"
               "None; exactly True for `true` fields). A missing unconditional field is\n"
               "written as the zero value of its kind. Vectors take any iterable except\n"
               "a list subclass; `int` takes -2**31..2**32-1; `long` 0..2**64-1.\n\n"
               "Raises ValueError for a missing or unknown constructor or a conditional\n"
               "field whose flags word is not declared before it, TypeError or\n"
               "OverflowError for values of the wrong type or range, RecursionError for\n"
               "self-referencing values. Failures inside nested values carry a note\n"
               "naming the field.")},
    VELTA_PICKLING_REFUSED,
};

void setup_parser_type(PyTypeObject* type) {
    type->tp_name = "Velta.tl.TLParser";
    type->tp_basicsize = sizeof(TLParserObject);
    type->tp_dealloc = parser_dealloc;
    type->tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC;
    type->tp_doc = PyDoc_STR("TLParser(schema_json, *, standard=False)\n--\n\n"
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
                             "'#' field is a flags word that a later condition may name; and\n"
                             "gzip_packed objects are inflated (at most 16 MiB per unpack).");
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

// ===========================================================================
// Module initialisation (multi-phase: create, then exec)

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
        PyErr_SetString(PyExc_ImportError, msg::kInterpreterChange);
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

int exec_steps(PyObject* module) {
    Operation op("init Velta.tl");
    S.module = Py_NewRef(module);
    S.globals = PyModule_GetDict(module);
    if (!S.globals) return op.fail(__LINE__);
    if (!S.builtins && !(S.builtins = PyImport_ImportModule("builtins"))) return op.fail(__LINE__);
    if (PyModule_AddObjectRef(module, "__builtins__", S.builtins) < 0) return op.fail(__LINE__);
    if (check_runtime_version() < 0) return op.fail(__LINE__);
    if (init_constants() < 0) return op.fail(__LINE__);
    if (register_module(module) < 0) return op.fail(__LINE__);
    if (publish_type(module, &TLSchemaCompilerType, setup_compiler_type, "TLSchemaCompiler") < 0) return op.fail(__LINE__);
    if (publish_type(module, &TLParserType, setup_parser_type, "TLParser") < 0) return op.fail(__LINE__);
    if (check_type_size() < 0) return op.fail(__LINE__);
    PyRef json(PyImport_ImportModule("json"));
    if (!json || PyDict_SetItem(S.globals, S.str_json, json.get()) < 0) return op.fail(__LINE__);
    Py_XSETREF(S.json_loads, PyObject_GetAttr(json.get(), S.str_loads));
    if (!S.json_loads) return op.fail(__LINE__);
    Py_XSETREF(S.json_module, json.release());
    PyRef test_dict(PyDict_New());
    if (!test_dict || PyDict_SetItemString(S.globals, "__test__", test_dict.get()) < 0) return op.fail(__LINE__);
    return 0;
}

int module_exec(PyObject* module) {
    if (S.module) {
        if (S.module == module) return 0;
        PyErr_SetString(PyExc_RuntimeError, msg::kReinitialised);
        return -1;
    }
    if (exec_steps(module) == 0) return 0;
    // A later import starts again from the create step.
    S.globals = nullptr;
    Py_CLEAR(S.module);
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_ImportError, "init Velta.tl");
    return -1;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(module_create)},
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
#ifdef Py_mod_gil
    // Calls keep their state to themselves and shared data is immutable or
    // published atomically: the module runs without the GIL.
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
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
