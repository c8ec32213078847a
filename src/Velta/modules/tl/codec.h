// What a pack or an unpack keeps on its stack: the parser object, the Writer and the Reader.
// Part of the one translation unit tl.cpp, which includes it after the parts it
// relies on; see the code map there.
#ifndef VELTA_TL_CODEC_H
#define VELTA_TL_CODEC_H

namespace {

// Shared by the writer and the reader


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

// Raises the error about the unknown constructor name `name`, with a note of
// the closest names `name_map` holds (writer_strict.h).
[[gnu::cold, gnu::noinline]] void raise_unknown_name(PyObject* name, PyObject* name_map);

class Writer {
public:
    Writer(TLParserObject* parser)
        : parser_(parser),
          compiler_(parser_compiler(parser)),
          strict_(parser->_schema->conventions.strict),
          aliases_(parser->_schema->field_name_count) {}
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
    int _write_string_bytes(PyObject* data);
    int _ensure_buffer(size_t needed);
    // The service layer (service.h).
    int _write_service(PyObject* value, bool exact_dict, const TLConstructor* constr, const TLConstructor* bare);
    int write_result(PyObject* result, const TLValueType* as);
    int write_gzip(PyObject* inner, const TLValueType* as);

    ErrorPath path;
    // What `results=` gives this call: the mapping (borrowed) and the value
    // types of its texts; null when not given.
    PyObject* results = nullptr;
    CallTypes* types = nullptr;

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
            taken = 0;
            unconditional = 0;
            odd_bit = false;
        }
        KeptValues values;  // what will be written, by field
        Words words;
        int32_t refused;    // the first given condition that cannot be
                            // written, or field_count
        // For strict=True, which checks the keys again only when these say
        // that something may be amiss:
        Py_ssize_t taken = 0;  // keys matched to fields that are no flags word
        int32_t unconditional = 0;  // of them, unconditional fields
        bool odd_bit = false;  // a bit-only field was given neither True, False nor None
    };
    // Keys that equal field names without being the schema's name objects
    // (a JSON decoder gives one object per distinct key of a document, used
    // in every object of it): each is matched by its text, then entered as
    // the alias of its name, so that the next object's key of that name is
    // matched by its address. Each alias is held, so no other object can
    // take its address during the call. The first keys of a call are not
    // entered: the table costs more than matching a few keys by their text,
    // and pays only where objects repeat, as in pages of them.
    class KeyAliases {
    public:
        explicit KeyAliases(int32_t names) : names_(names) {}
        KeyAliases(const KeyAliases&) = delete;
        KeyAliases& operator=(const KeyAliases&) = delete;
        ~KeyAliases() {
            if (!by_name_) return;
            for (size_t i = 0; i < entered_.size(); ++i) Py_DECREF(by_name_[entered_[i]]);
            free(by_name_);
        }
        // Whether `key` is the alias of the field name numbered `name_id`.
        bool is(int32_t name_id, PyObject* key) const { return by_name_ && by_name_[name_id] == key; }
        // Enters `key` (an exact str) as the alias of name `name_id`,
        // unless there is no room for it.
        void put(int32_t name_id, PyObject* key) {
            if (++matched_ <= kMatchedFirst || name_id >= names_) return;
            if (!by_name_ && !(by_name_ = static_cast<PyObject**>(calloc(static_cast<size_t>(names_), sizeof(PyObject*)))))
                return;
            if (PyObject* old = by_name_[name_id]) {
                by_name_[name_id] = Py_NewRef(key);
                Py_DECREF(old);  // a str: dropping it runs no code
            } else if (entered_.append(1, name_id)) {
                by_name_[name_id] = Py_NewRef(key);
            }
        }

    private:
        static constexpr size_t kMatchedFirst = 64;
        const int32_t names_;          // distinct field names in the schema
        PyObject** by_name_ = nullptr;  // strong; by name number
        velta::HeapArray<int32_t, 64> entered_;  // the numbers that hold one
        size_t matched_ = 0;            // keys matched by their text so far
    };
    // The field of `constr` that `key` (an exact str) names, or -1; `next`
    // is the field expected next (writer.h).
    int32_t find_field(const TLConstructor* constr, PyObject* key, int32_t next);

    // Where the "_" of a dict was read: the walk's start past it and,
    // without the GIL, the name object itself, held so that no other str can
    // take its address while the fields are checked against it.
    struct NameSeen {
        PyRef name;              // without the GIL: the "_" read, for gather's checks
        Py_ssize_t walk_from = 0;
        bool named = false;      // an exact dict holding a "_" entry
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
    // kStrict: the instance that strict=True packs with, which also counts
    // the keys it matches; the plain one is as if it did not exist.
    template <bool kStrict>
    void take_given(const TLConstructor* constr, int32_t index, PyObject* item, Gathered& given);
    template <bool kStrict>
    int gather(PyObject* value, bool exact_dict, const TLConstructor* constr, Gathered& given, const NameSeen& seen);
    int gather_strict(PyObject* value, bool exact_dict, const TLConstructor* constr, Gathered& given,
                      const NameSeen& seen);
    int write_fields(const TLConstructor* constr, Gathered& given, const TLConstructor* bare);
    // strict=True: refuses what the plain pack lets pass (writer_strict.h).
    int check_strict(PyObject* value, bool exact_dict, bool named, const TLConstructor* constr, Gathered& given);
    int check_strict_keys(PyObject* value, const TLConstructor* constr);
    int write_wide(PyObject* value, TLType kind);
    int write_zero(const TLValueType* type);
    int write_word_value(const TLField& field, PyObject* given, uint32_t* word);
    void name_wide_refusal(const TLField& field);
    int write_bytes_or_object(PyObject* value);

    TLParserObject* parser_;
    const TLSchemaCompilerObject* compiler_;
    const bool strict_;  // the parser's strict=, read once per pack
    OutputBuffer* holder_ = nullptr;  // the record buffer_ goes back in
    OutputBuffer buffer_ = {nullptr, 0};
    size_t position_ = 0;  // bytes written to buffer_.data
    HeapArray<DeferredBytes, 4> deferred_;
    size_t deferred_size_ = 0;
    HeapArray<PyObject*, kInlineKept> kept_;
    HeapArray<uint32_t> words_;
    KeyAliases aliases_;
    // The bytes of a wide int that write_wide refused for their length, until
    // the field that holds it names it (width 0: none).
    struct WideRefusal {
        const char* name;
        size_t width;
        Py_ssize_t given;
    } wide_refused_ = {};
};

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
          inflate_gzip_(compiler->_schema->conventions.inflate_gzip),
          zero_size_left_(size > (SIZE_MAX - kZeroSizeSlack) / kZeroSizePerByte ? SIZE_MAX
                                                                             : size * kZeroSizePerByte + kZeroSizeSlack) {}
    Reader(const Reader&) = delete;
    Reader& operator=(const Reader&) = delete;

    // `bare`: the constructor of a bare value, whose id is not on the wire.
    PyObject* _read_object(TLConstructor* bare = nullptr);
    PyObject* _read_value(const TLValueType* type);
    PyObject* _read_vector(const TLValueType* type);
    uint32_t read_int32();
    uint64_t read_int64();
    double read_double();
    PyObject* _read_bytes();
    PyObject* _read_string();

    bool ran_out() const { return error_; }
    size_t position() const { return position_; }
    // The service layer (service.h).
    PyObject* _read_service(TLConstructor* constr);
    PyObject* read_result(PyObject* req_msg_id);

    ErrorPath path;
    PyObject* results = nullptr;  // as the Writer's
    CallTypes* types = nullptr;

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
    PyObject* read_wide_bytes(TLType kind);
    // `as`: the type of the inflated value (null: a boxed object); with
    // `raw_unknown`, content that is not a known object is given as bytes.
    PyObject* read_gzip_packed(const TLValueType* as = nullptr, bool raw_unknown = false);

    const TLSchemaCompilerObject* compiler_;
    const unsigned char* input_;  // read in place; the caller keeps the
    size_t size_;                 // memory alive and unchanged for the call
    const bool inflate_gzip_;  // gzip_packed is inflated wherever an object is read
    size_t position_ = 0;
    // Shared with the readers of gzip_packed content, which count against
    // the outermost reader's limits.
    size_t zero_size_left_;        // values that take no bytes, still allowed
    size_t* zero_size_budget_ = &zero_size_left_;
    size_t inflated_ = 0;          // gzip_packed output so far, against max_inflated
    size_t* inflated_total_ = &inflated_;
    HeapArray<uint32_t> words_;
    // Input bytes that the unread elements of the open vectors need at the
    // least, so that nested counts cannot claim the same bytes twice.
    size_t reserved_ = 0;
    bool error_ = false;  // a read found too few bytes
};

}  // namespace

#endif  // VELTA_TL_CODEC_H
