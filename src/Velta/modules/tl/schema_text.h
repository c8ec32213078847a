// Reading schema JSON text straight into entry lists, without building the
// interpreter's objects for it.
//
// Schema files are plain: ASCII, no escapes, small integer ids (or ids as
// decimal text), and always the same few keys. This reader accepts exactly
// that shape and declines everything else, so that the caller can hand any
// other text to the JSON decoder and get its results and errors unchanged:
//   * text that is not ASCII, a string with an escape or a control
//     character, a number with a fraction, an exponent or more than 18
//     digits, NaN/Infinity, anything after the top-level object;
//   * a known key given twice, or holding a value of another kind than
//     expected (null included); a value nested inside an unknown key;
//   * an "id" outside 0..2**32-1 once negatives are reduced modulo 2**32,
//     or given as text other than up to 18 digits after an optional "-";
//   * a parameter without "name" or "type".
// Declining is never an error: the text may still be valid JSON, or invalid
// in a way whose message the decoder owns.
#ifndef VELTA_TL_SCHEMA_TEXT_H
#define VELTA_TL_SCHEMA_TEXT_H

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "support.h"

namespace velta::schema_text {

// Up to 18 decimal digits after an optional "-": the way schema files give
// ids as text. int() reads any such text to the same number; every other
// text (signs, spaces, underscores, other digits) is left to int() itself.
constexpr size_t kMostPlainDigits = 18;

inline bool parse_plain_decimal(std::string_view text, long long* out) noexcept {
    const bool negative = !text.empty() && text[0] == '-';
    if (negative) text.remove_prefix(1);
    if (text.empty() || text.size() > kMostPlainDigits) return false;
    long long value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') return false;
        value = value * 10 + (c - '0');
    }
    *out = negative ? -value : value;
    return true;
}

// The wire identifier of a whole number: negatives reduced modulo 2**32, as
// `& 0xFFFFFFFF` does; false when it is too large.
inline bool wire_id_of(long long value, uint32_t* out) noexcept {
    if (value > 0xFFFFFFFFll) return false;
    *out = static_cast<uint32_t>(static_cast<unsigned long long>(value) & 0xFFFFFFFFull);
    return true;
}

// The reader's arrays report running out of memory instead of throwing.
template <typename T>
using Array = HeapArray<T, 16>;

// Texts are views into the text that was read; an absent key is a view
// with a null data pointer (a present empty string is not).
struct Param {
    std::string_view name;
    std::string_view type;
};

struct Entry {
    std::string_view predicate, method, type;
    uint32_t id = 0;           // 0 when absent
    uint32_t first_param = 0;  // its params are params[first_param ...]
    uint32_t param_count = 0;
};

struct Schema {
    Array<Entry> constructors;  // in text order
    Array<Entry> methods;
    Array<Param> params;        // of every entry, entry after entry
};

enum class Outcome { kRead, kDeclined, kNoMemory };

class Reader {
public:
    explicit Reader(std::string_view text) noexcept
        : at_(text.data()), end_(text.data() + text.size()) {}

    // Fills `out` (which must be empty) from the whole text.
    Outcome read(Schema* out) noexcept {
        out_ = out;
        const bool read = read_top() && (skip_space(), at_ == end_);
        return out_of_memory_ ? Outcome::kNoMemory : read ? Outcome::kRead : Outcome::kDeclined;
    }

private:
    // Entries and params are counted in 32 bits, and the table in int32_t.
    static constexpr size_t kMostItems = 0x7FFFFFFF;

    // ---- characters and scalars ---------------------------------------

    void skip_space() noexcept {
        while (at_ < end_ && (*at_ == ' ' || *at_ == '\n' || *at_ == '\r' || *at_ == '\t')) ++at_;
    }

    // The next non-space character is `c`: consumed.
    bool take(char c) noexcept {
        skip_space();
        if (at_ == end_ || *at_ != c) return false;
        ++at_;
        return true;
    }

    bool next_is(char c) noexcept {
        skip_space();
        return at_ < end_ && *at_ == c;
    }

    // A string without escapes, control or non-ASCII characters.
    bool read_string(std::string_view* out) noexcept {
        if (!take('"')) return false;
        const char* start = at_;
        while (at_ < end_) {
            const unsigned char c = static_cast<unsigned char>(*at_);
            if (c == '"') {
                *out = std::string_view(start, static_cast<size_t>(at_ - start));
                ++at_;
                return true;
            }
            if (c < 0x20 || c >= 0x80 || c == '\\') return false;
            ++at_;
        }
        return false;
    }

    // An integer the way JSON writes one, of at most 18 digits.
    bool read_integer(long long* out) noexcept {
        skip_space();
        const char* start = at_;
        if (at_ < end_ && *at_ == '-') ++at_;
        const char* digits = at_;
        while (at_ < end_ && *at_ >= '0' && *at_ <= '9') ++at_;
        const size_t count = static_cast<size_t>(at_ - digits);
        if (count == 0 || (count > 1 && *digits == '0')) return false;  // none, or a leading zero
        return parse_plain_decimal(std::string_view(start, static_cast<size_t>(at_ - start)), out);
    }

    bool take_word(std::string_view word) noexcept {
        if (static_cast<size_t>(end_ - at_) < word.size() || std::string_view(at_, word.size()) != word) return false;
        at_ += word.size();
        return true;
    }

    // The value of a key the schema does not use: any scalar.
    bool skip_scalar() noexcept {
        skip_space();
        if (at_ == end_) return false;
        std::string_view ignored;
        long long number;
        switch (*at_) {
            case '"':
                return read_string(&ignored);
            case 't':
                return take_word("true");
            case 'f':
                return take_word("false");
            case 'n':
                return take_word("null");
            default:
                return read_integer(&number);
        }
    }

    bool read_id(uint32_t* out) noexcept {
        long long value;
        if (next_is('"')) {
            std::string_view text;
            if (!read_string(&text) || !parse_plain_decimal(text, &value)) return false;
        } else if (!read_integer(&value)) {
            return false;
        }
        return wire_id_of(value, out);
    }

    // A known key of an object: false when it was seen already.
    static bool first_sight(unsigned* seen, unsigned bit) noexcept {
        if (*seen & bit) return false;
        *seen |= bit;
        return true;
    }

    // ---- objects ---------------------------------------------------------

    // Calls member(key) for every key of an object; member reads the value.
    template <typename Member>
    bool read_object(Member member) {
        if (!take('{')) return false;
        if (take('}')) return true;
        do {
            std::string_view key;
            if (!read_string(&key) || !take(':') || !member(key)) return false;
        } while (take(','));
        return take('}');
    }

    // Calls element() for every element of an array; element reads it.
    template <typename Element>
    bool read_array(Element element) {
        if (!take('[')) return false;
        if (take(']')) return true;
        do {
            if (!element()) return false;
        } while (take(','));
        return take(']');
    }

    bool read_top() {
        unsigned seen = 0;
        return read_object([&](std::string_view key) {
            if (key == "constructors") return first_sight(&seen, 1) && read_entries(&out_->constructors);
            if (key == "methods") return first_sight(&seen, 2) && read_entries(&out_->methods);
            return skip_scalar();
        });
    }

    bool read_entries(Array<Entry>* entries) {
        return read_array([&] {
            if (entries->size() + 1 >= kMostItems || !grow(entries)) return false;
            return read_entry(&(*entries)[entries->size() - 1]);
        });
    }

    bool read_entry(Entry* entry) {
        unsigned seen = 0;
        return read_object([&](std::string_view key) {
            if (key == "id") return first_sight(&seen, 1) && read_id(&entry->id);
            if (key == "predicate") return first_sight(&seen, 2) && read_string(&entry->predicate);
            if (key == "method") return first_sight(&seen, 4) && read_string(&entry->method);
            if (key == "type") return first_sight(&seen, 8) && read_string(&entry->type);
            if (key == "params") return first_sight(&seen, 16) && read_params(entry);
            return skip_scalar();
        });
    }

    bool read_params(Entry* entry) {
        Array<Param>& params = out_->params;
        entry->first_param = static_cast<uint32_t>(params.size());
        const bool read = read_array([&] {
            if (params.size() + 1 >= kMostItems || !grow(&params)) return false;
            return read_param(&params[params.size() - 1]);
        });
        entry->param_count = static_cast<uint32_t>(params.size() - entry->first_param);
        return read;
    }

    bool read_param(Param* param) {
        unsigned seen = 0;
        const bool read = read_object([&](std::string_view key) {
            if (key == "name") return first_sight(&seen, 1) && read_string(&param->name);
            if (key == "type") return first_sight(&seen, 2) && read_string(&param->type);
            return skip_scalar();
        });
        return read && seen == 3;
    }

    // One more element, empty; false (and the read ends) when memory runs out.
    template <typename T>
    bool grow(Array<T>* array) noexcept {
        if (array->append(1, T())) return true;
        out_of_memory_ = true;
        return false;
    }

    const char* at_;
    const char* end_;
    Schema* out_ = nullptr;
    bool out_of_memory_ = false;
};

}  // namespace velta::schema_text

#endif  // VELTA_TL_SCHEMA_TEXT_H
