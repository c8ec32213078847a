// Schema model of Velta.tl: the in-memory form of a compiled TL schema, and what the
// codec reads of the compiler that owns it (its text blocks, id map and name table).
//
// A compiled schema is one flat, contiguous array of constructor records, each
// owning an array of field records that describe its parameters in wire order.
// The records are plain data. TLSchemaCompiler builds them from JSON and is
// their only owner; the codec only reads them through the compiler's maps.
//
// Ownership (everything on the C heap unless noted):
//   TLSchema                  calloc'd by the compiler, freed by _free_schema
//   TLSchema::value_types     calloc'd one by one, chained, freed with it
//   TLSchema::text_blocks     PyMem_Malloc'd blocks of about 64 KB, chained,
//                             freed with it; every text below lives in them
//   TLSchema::constructors    calloc'd, constructor_count records held by value
//   TLConstructor::name/type  NUL-terminated UTF-8 copies in text_blocks; never
//                             freed one by one (records may share a copy)
//   TLConstructor::fields     calloc'd, field_count records; null when 0
//   TLField::name/type_name   NUL-terminated UTF-8 copies in text_blocks, as
//                             above
//   TLField::py_name          one strong reference, dropped and nulled
//   TLConstructor::py_name, py_template   strong references, dropped and nulled
//
// The zero fill matters: a record or field that a failed build never reached
// stays all-zero, and the release skips null members, so a half-built table
// is released completely without special handling.
#ifndef VELTA_TL_SCHEMA_MODEL_H
#define VELTA_TL_SCHEMA_MODEL_H

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <unordered_map>
#include <utility>

// The kind of a field or value. Stored as a 32-bit unsigned value; the
// numbers of the first eight are fixed.
enum TLType : uint32_t {
    TL_TYPE_INT = 0,     // "int", "#" (a flags word is an ordinary int)
    TL_TYPE_LONG = 1,    // "long"
    TL_TYPE_DOUBLE = 2,  // "double"
    TL_TYPE_STRING = 3,  // "string"
    TL_TYPE_BYTES = 4,   // "bytes", "byte"
    TL_TYPE_BOOL = 5,    // "Bool", "true" (standard mode: "Bool", boxed)
    TL_TYPE_VECTOR = 6,  // any text beginning with "Vector"
    TL_TYPE_OBJECT = 7,  // everything else: a boxed object
    // Standard mode only.
    TL_TYPE_INT128 = 8,        // "int128": 16 bytes
    TL_TYPE_INT256 = 9,        // "int256": 32 bytes
    TL_TYPE_TRUE = 10,         // "true" outside a condition: no bytes, reads True
    TL_TYPE_BARE_OBJECT = 11,  // "%Type", or a lowercase constructor name: no id
    TL_TYPE_BARE_VECTOR = 12,  // "vector<T>": no id, count then elements
    // Value kinds that the conventions give the texts above (see TLConventions).
    TL_TYPE_SIGNED_INT = 13,   // "int" read signed
    TL_TYPE_SIGNED_LONG = 14,  // "long" read signed, packed from either range
    TL_TYPE_BOXED_BOOL = 15,   // "Bool" as boolTrue / boolFalse
    TL_TYPE_INT128_BYTES = 20, // "int128" read as its 16 wire bytes
    TL_TYPE_INT256_BYTES = 21, // "int256" read as its 32 wire bytes
    TL_TYPE_BYTES_OR_OBJECT = 22,  // "bytes" packed from any bytes-like object, or from a
                                   // mapping as that object's boxed serialization
    TL_TYPE_STRING_BYTES = 16, // "string" read as bytes, packed from bytes-like or str
};

struct TLConstructor;
struct TLTextBlock;

// The service layer's records, which the codec treats by their own rules
// (service.h); every record of a schema is kServiceNone.
enum TLService : int32_t {
    kServiceNone = 0,
    kServiceRpcResult = 1,  // rpc_result: its result read and written by the pending request's type
    kServiceMessage = 2,    // the container's message: `bytes` is its body's length
    kServiceGzip = 3,       // gzip_packed: packed from the value it holds
};  // the compiler's storage for the table's texts

// How one value is encoded, derived once by the compiler from a type text
// and shared by every field and element with that text. Immutable once
// compiled; owned by the schema (chained through `next`).
struct TLValueType {
    TLType kind;
    int32_t min_size;             // bytes a value takes at the least; 0 for
                                  // values that take none (bare `true`, ...)
    const TLValueType* element;   // vectors: the element type
    TLConstructor* bare;          // TL_TYPE_BARE_OBJECT: its constructor
    TLValueType* next;            // the schema's list of value types
};

// Where the presence bit of a conditional field W.N?T lives.
struct TLOptionalFlag {
    int32_t bit_position;  // N exactly as parsed, not range-checked
    int32_t flags_index;   // which word: 1 when W is exactly "flags2", else 0
                           // (standard mode: the slot of the "#" field W)
};

// One parameter of a constructor or method.
struct TLField {
    char* name;              // UTF-8 copy of the parameter's "name"
    PyObject* py_name;       // the "name" str object itself (strong ref)
    PyObject* py_name_interned;  // the interned str equal to it (strong ref;
                                 // may be py_name itself)
    TLType type;             // classification of the type text
    int32_t word_valued;     // a flags word that is a value too: unpack gives it,
                             // pack takes it (see TLConventions::words_have_values)
    char* type_name;         // UTF-8 copy of the whole type text
    int32_t is_optional;     // 1 when the type text contains "?"
    TLOptionalFlag flag_info;  // meaningful only when is_optional
    uint32_t used_bits;      // flags words: the bits that conditional fields use

    // Derived once by the compiler so the codec does no text work per value.
    const TLValueType* value_type;  // how the value (after the condition) is encoded
    Py_hash_t name_hash;     // hash of py_name, to match dict keys quickly
    int32_t name_id;         // the number of its name among the schema's
                             // distinct field names (equal names, one number)
    int32_t flags_word;      // 1 for the field named "flags", 2 for "flags2", else 0
                             // (standard mode: slot + 1 of every "#" field)
    int32_t bit_only;        // conditional, and its value is only the bit:
                             // "true" (default mode: also "Bool")
    uint32_t flag_mask;      // 1 << bit_position; 0 when unconditional or the
                             // bit lies outside a 32-bit word
    int32_t word_declared;   // the field named by flags_index ("flags" or
                             // "flags2") comes before this one; only then can
                             // pack write a value for this field
    // Links to later fields (field_count when there is none), so the codec
    // steps over the fields a loop has nothing to do for.
    int32_t next_named;      // the next field that is not a flags word
    int32_t next_written;    // the next field that has bytes of its own: a
                             // flags word, or a field that is not only a bit
};

// One schema entry, constructor or method; both share the table.
struct TLConstructor {
    uint32_t id;          // wire identifier, key of the id map
    char* name;           // key of the name map; "_" on the Python side
    char* type;           // result type, or the name when none is given
    TLField* fields;      // field_count records, null when there are none
    int32_t field_count;
    int32_t has_flags;    // some field is conditional on the first word
    int32_t has_flags2;   // some field is conditional on "flags2"
    int32_t word_count;   // flags words the codec keeps for one object
    int32_t conditional_count;  // fields with a condition
    int32_t walkable;     // field names are distinct and none is "_": pack
                          // may match a dict's keys to fields by walking it
    int32_t first_named;  // the first field that is not a flags word, and the
    int32_t first_written;  // first that has bytes (see TLField's links)
    int32_t unconditional_count;  // fields that are neither conditional nor a
                                  // flags word (strict=True requires them)
    // The fields by the hash of their names, for keys that are not where the
    // walk expects them: slot (hash + probe) & name_index_mask holds the
    // field's index + 1, 0 when free. Null when the fields are few (a scan
    // is as quick) or the names are not walkable; owned.
    uint16_t* name_index;
    uint32_t name_index_mask;

    // Derived for the codec, released with the table (strong references).
    PyObject* py_name;      // `name` as a str: the "_" of unpacked dicts and
                            // the key of the compiler's name map
    PyObject* py_name_interned;  // the interned str equal to py_name
    int32_t distinct_names; // no two fields share a name, so the None that a
                            // copy of py_template holds for a field can stay
    PyObject* py_template;  // {"_": py_name, field: None (False when the field
                            // is only a bit), ...} in wire order;
                            // each decoded object starts as a copy. Made on
                            // first use by whichever call gets there first,
                            // and published with an atomic compare-exchange
    TLService service;      // kServiceNone, or which service record this is
};

// How a schema's texts are read and its values laid out. The compiler takes
// one row of its conventions table (conventions.h) and resolves every
// difference into value kinds and the facts below, so the codec itself never
// asks which conventions it speaks.
// Inflated gzip_packed content may come to this much in one unpack, in all,
// unless the parser's max_inflated option says otherwise.
constexpr size_t kDefaultMaxInflated = 16u << 20;

struct TLConventions {
    TLType int_kind;              // the value kind of "int"
    TLType long_kind;             // of "long"
    TLType bool_kind;             // of "Bool"
    bool bool_condition_bit_only; // "flags.N?Bool" is only its bit, like "flags.N?true"
    bool words_by_type;           // every "#" field is a flags word of its own and a
                                  // condition names the latest one before it; else
                                  // the words are the fields named "flags", "flags2"
    bool typed_texts;             // "int128", "int256", "%T", "vector<T>", a bare
                                  // "true" and lowercase constructor names are types
    bool inflate_gzip;            // gzip_packed is inflated wherever an object is read
    bool words_have_values;       // a "#" field is a value too: unpack gives it under
                                  // its name; pack takes it (0 when missing or None),
                                  // keeps the bits no conditional field uses and sets
                                  // the used ones from the fields' presence
    bool bytes_from_any;          // "bytes" packs from any bytes-like object, and from a
                                  // mapping as the boxed serialization of that object
    bool service_layer;           // rpc_result, msg_container over the service message,
                                  // msg_copy and gzip_packed are known without schema lines
    // Columns set from the parser's options rather than its mode.
    bool strings_as_bytes = false;      // strings="bytes": "string" values are bytes
    bool wide_ints_as_bytes = false;    // wide_ints="bytes": int128/int256 are their wire bytes
    bool strict = false;                // strict=True: pack refuses unknown keys, missing
                                  // fields and bit-only values other than True/False/None
    size_t max_inflated = kDefaultMaxInflated;  // max_inflated=: gzip_packed output
                                  // allowed per unpack, in bytes
};

// The whole compiled schema: "constructors" entries first, then "methods".
struct TLSchema {
    TLConstructor* constructors;
    int32_t constructor_count;
    int32_t constructor_entries;  // how many came from "constructors"
    TLConventions conventions;    // what the table was compiled for
    TLValueType* value_types;     // every value type of the fields, owned
    TLTextBlock* text_blocks;     // the texts of records and fields, owned;
                                  // the newest block first
    TLConstructor* service_message;  // the service layer's message (in `constructors`,
                                     // in neither map), or null
    int32_t field_name_count;     // distinct field names (TLField::name_id); 0
                                  // when they could not be numbered
};

// ---- what the codec reads of the compiler ------------------------------------

// One block of a schema's texts (see copy_text below); declared above.
struct TLTextBlock {
    TLTextBlock* next;
    size_t used;
    size_t capacity;  // bytes of text room after this header
    char* room() { return reinterpret_cast<char*>(this + 1); }
};

namespace {

using IdMap = std::unordered_map<uint32_t, TLConstructor*>;


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
// the text. Other strs (a JSON decoder makes a new one for every "_") are
// found by their hash and text. Built once per compile and never changed
// after, so every thread reads it freely; a name it does not hold goes to
// the name map.
class NameTable {
public:
    NameTable() = default;
    NameTable(const NameTable&) = delete;
    NameTable& operator=(const NameTable&) = delete;
    ~NameTable() { clear(); }

    // Enters every record that holds its name in `name_map` under both of
    // its name objects (a record that a later one with the same name
    // replaced stays out, as it is out of the map); false when memory runs
    // out.
    bool build(TLConstructor* constructors, int32_t count, PyObject* name_map) {
        clear();
        size_t size = 8;
        while (size < 4 * static_cast<size_t>(count)) size *= 2;  // two names each
        slots_ = static_cast<Slot*>(calloc(size, sizeof(Slot)));
        by_text_ = static_cast<TextSlot*>(calloc(size / 2, sizeof(TextSlot)));
        if (!slots_ || !by_text_) {
            clear();
            return false;
        }
        mask_ = size - 1;
        for (int32_t i = 0; i < count; ++i) {
            // An empty "_" names no record, whatever the schema holds: pack
            // refuses it as an object without a "_".
            if (PyUnicode_GET_LENGTH(constructors[i].py_name) == 0) continue;
            PyObject* holder = PyDict_GetItemWithError(name_map, constructors[i].py_name);
            if (!holder || PyLong_AsLong(holder) != i) {
                PyErr_Clear();  // exact str keys: nothing can fail but memory
                continue;
            }
            for (PyObject* name : {constructors[i].py_name, constructors[i].py_name_interned}) {
                Slot* slot = find(name);
                *slot = {name, &constructors[i]};
            }
            const Py_hash_t hash = PyObject_Hash(constructors[i].py_name);  // an exact str's hash cannot fail
            size_t at = static_cast<size_t>(hash);
            while (by_text_[at & (mask_ >> 1)].constructor) ++at;
            by_text_[at & (mask_ >> 1)] = {hash, &constructors[i]};
        }
        return true;
    }
    void clear() {
        free(std::exchange(slots_, nullptr));
        free(std::exchange(by_text_, nullptr));
        mask_ = 0;
    }
    // The record named by exactly this object, or null.
    TLConstructor* get(PyObject* name) const {
        return slots_ ? find(name)->constructor : nullptr;
    }
    // The record whose name has the text of `name`, an exact str, or null.
    TLConstructor* get_by_text(PyObject* name) const {
        if (!by_text_) return nullptr;
        const Py_hash_t hash = PyObject_Hash(name);
        for (size_t at = static_cast<size_t>(hash);; ++at) {
            const TextSlot& slot = by_text_[at & (mask_ >> 1)];
            if (!slot.constructor) return nullptr;
            if (slot.hash == hash && velta::same_text(slot.constructor->py_name, name)) return slot.constructor;
        }
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

    struct TextSlot {
        Py_hash_t hash;  // of the record's py_name
        TLConstructor* constructor;
    };

    Slot* slots_ = nullptr;
    TextSlot* by_text_ = nullptr;  // mask_ / 2 + 1 slots, at most half full
    size_t mask_ = 0;
};

struct TLSchemaCompilerObject {
    PyObject_HEAD
    TLSchema* _schema;
    IdMap _id_map;          // wire id -> record; read-only once compiled
    PyObject* _name_map;    // dict: constructor name (str) -> index in the table
                            // (int); read-only once compiled. Names with a NUL
                            // are keyed by their text up to it, so a "_" that
                            // holds a NUL never matches.
    NameTable _name_table;    // records by name object; read-only once compiled
    std::atomic<int> _state;  // a CompilerState
    TLConventions _conventions;  // what to compile for (set by the TLParser
                                 // that owns the compiler)
};

}  // namespace

#endif  // VELTA_TL_SCHEMA_MODEL_H
