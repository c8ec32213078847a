// The conventions table: every difference between the designed and the standard
// TL conventions, one row per mode, turned into value kinds by the compiler.
// Part of the one translation unit tl.cpp, which includes it after the parts it
// relies on; see the code map there.
#ifndef VELTA_TL_CONVENTIONS_H
#define VELTA_TL_CONVENTIONS_H

namespace {

// The designed conventions stay byte for byte what callers and stored data
// rely on; the standard ones are TL as deployed peers speak it.
constexpr TLConventions kDesignedConventions = {
    .int_kind = TL_TYPE_INT,
    .long_kind = TL_TYPE_LONG,
    .bool_kind = TL_TYPE_BOOL,
    .bool_condition_bit_only = true,
    .words_by_type = false,
    .typed_texts = false,
    .inflate_gzip = false,
    .words_have_values = false,
    .bytes_from_any = false,
};
constexpr TLConventions kStandardConventions = {
    .int_kind = TL_TYPE_SIGNED_INT,
    .long_kind = TL_TYPE_SIGNED_LONG,
    .bool_kind = TL_TYPE_BOXED_BOOL,
    .bool_condition_bit_only = false,
    .words_by_type = true,
    .typed_texts = true,
    .inflate_gzip = true,
    .words_have_values = true,
    .bytes_from_any = true,
};

constexpr TLConventions conventions_row(bool standard) { return standard ? kStandardConventions : kDesignedConventions; }

// The value kind that `conventions` give a value of the text kind `kind`.
constexpr TLType conventions_kind(const TLConventions& conventions, TLType kind) {
    switch (kind) {
        case TL_TYPE_INT:
            return conventions.int_kind;
        case TL_TYPE_LONG:
            return conventions.long_kind;
        case TL_TYPE_BOOL:
            return conventions.bool_kind;
        case TL_TYPE_BYTES:
            return conventions.bytes_from_any ? TL_TYPE_BYTES_OR_OBJECT : kind;
        case TL_TYPE_INT128:
            return conventions.wide_ints_as_bytes ? TL_TYPE_INT128_BYTES : kind;
        case TL_TYPE_INT256:
            return conventions.wide_ints_as_bytes ? TL_TYPE_INT256_BYTES : kind;
        default:
            return kind;
    }
}

}  // namespace

#endif  // VELTA_TL_CONVENTIONS_H
