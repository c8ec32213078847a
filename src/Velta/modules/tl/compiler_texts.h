// The compiler's texts: one copy, interned name and kind per distinct text.
// Part of the one translation unit tl.cpp, which includes it after the parts it
// relies on; see the code map there.
#ifndef VELTA_TL_COMPILER_TEXTS_H
#define VELTA_TL_COMPILER_TEXTS_H

namespace {

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

}  // namespace

#endif  // VELTA_TL_COMPILER_TEXTS_H
