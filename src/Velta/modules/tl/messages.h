// Every message the module raises itself, word for word, grouped by who raises it.
// Part of the one translation unit tl.cpp, which includes it after the parts it
// relies on; see the code map there.
#ifndef VELTA_TL_MESSAGES_H
#define VELTA_TL_MESSAGES_H

namespace {

// Messages of the module's own errors. They are part of the interface:
// callers and their tests match on these texts, so they stay word for word.
namespace msg {
// ---- Calls and arguments, both types (README: "Errors", wrong types; the interpreter's own wording,
// fixed here so that it reads the same on every version)
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
constexpr const char kIntegerRequired[] = "an integer is required";
constexpr const char kNonInt[] = "%s returned non-int (type %.200s)";
constexpr const char kNoneNotIterable[] = "argument of type 'NoneType' is not iterable";
constexpr const char kTooManyDots[] = "too many values to unpack (expected %zd)";
constexpr const char kNoneNotSubscriptable[] = "'NoneType' object is not subscriptable";
constexpr const char kNameUndefined[] = "name '%U' is not defined";
constexpr const char kOptionChoice[] = "%s must be %s, not %R";
constexpr const char kTypeText[] = "not a type of this schema: %R";
constexpr const char kUnknownMethod[] = "Unknown method: %R";
constexpr const char kMaxInflatedNegative[] = "max_inflated must not be negative";
constexpr const char kNoSchema[] = "TLParser.%s() called on a parser without a schema";

// ---- The module itself: import and initialisation
constexpr const char kInterpreterChange[] =
    "Interpreter change detected - this module can only be loaded into one interpreter per process.";
constexpr const char kReinitialised[] = "Module 'tl' has already been imported. Re-initialisation is not supported.";
constexpr const char kInitFailed[] = "init Velta.tl";

// ---- The compiler (README: "Errors", a bad schema; "Standard TL mode", when the parser is made)
constexpr const char kCompilerBusy[] = "TLSchemaCompiler.compile() called while this compiler is compiling";
constexpr const char kCompilerInUse[] =
    "TLSchemaCompiler.compile() called on the compiler of a TLParser, whose table is in use";
constexpr const char kTooManyParams[] = "too many params for one constructor";
constexpr const char kParamsChanged[] = "params list changed size during compile";
constexpr const char kConditionWord[] = "Field '%U' is conditional on '%.200s', which is not a '#' field declared before it";
constexpr const char kBareType[] = "Bare type '%s' needs exactly one constructor of type '%s'; the schema has %d";
constexpr const char kSchemaMemory[] = "Cannot allocate memory for schema";
constexpr const char kConstructorsMemory[] = "Cannot allocate memory for constructors";
constexpr const char kTypeTooDeep[] = "type text nests more than %d types deep";
constexpr const char kWideIntsStandard[] =
    "wide_ints='bytes' needs standard=True: int128 and int256 are types of the standard mode only";

// ---- The writer, pack (README: "Errors"; "Standard TL mode")
constexpr const char kUnknownName[] = "Unknown constructor: %U";
constexpr const char kNoConstructor[] = "Object must have '_' field";
constexpr const char kFlagBitRange[] = "Field '%U' uses flag bit %d, outside 0..31";
constexpr const char kBareMismatch[] = "Expected constructor '%U' for a bare value, got '%U'";
constexpr const char kFlagWordMissing[] =
    "Field '%U' is conditional on a flags word that is not a field declared before it, so its "
    "presence cannot be written";
constexpr const char kBufferGrowth[] = "Cannot reallocate buffer";
constexpr const char kBytesTooLong[] = "bytes value too long for TL encoding: %zu bytes (at most %zu)";
constexpr const char kListChanged[] = "list changed size during pack";
constexpr const char kVectorTooLong[] = "vector too long for TL encoding: %zd elements";
constexpr const char kDictChanged[] = "dict changed too often during pack";
constexpr const char kWideIntBytes[] = "%s takes an int or exactly %zu bytes, got %zd bytes";
constexpr const char kWideIntWidth[] = "Field '%U' is %s: it takes an int or exactly %zu bytes, got %zd bytes";
constexpr const char kNoResult[] = "rpc_result needs a result, or a type for it in results";
constexpr const char kNoBody[] = "message needs a body";
constexpr const char kBodyTooLong[] = "message body too long for TL encoding: %zu bytes";
constexpr const char kSharedBitObject[] =
    "Field '%U' shares its flag bit with a field that is given, so it must be given too";
// strict=True only (README: "Errors", strict packing)
constexpr const char kStrictUnknownKey[] = "Constructor '%U' has no field %R";
constexpr const char kStrictMissing[] = "Constructor '%U' is missing its field '%U'";
constexpr const char kStrictBitOnly[] =
    "Constructor '%U' field '%U' is only a flag bit: it takes True, False or None, not %.200s";
// The note on an unknown constructor name, in every mode: the closest known
// names, quoted and joined ("'a', 'b' or 'c'").
constexpr const char kDidYouMean[] = "did you mean %U?";

// ---- The reader, unpack and unpack_from (README: "Errors"; "Standard TL mode"; "Reading from
// buffers and streams")
constexpr const char kParseError[] = "Parse error at position %zu";
constexpr const char kUnknownId[] = "Unknown constructor ID: 0x%08x";
constexpr const char kVectorId[] = "Invalid vector ID: 0x%08x";
constexpr const char kVectorLength[] = "Invalid vector length: %d";
constexpr const char kBoolId[] = "Invalid Bool constructor ID: 0x%08x";
constexpr const char kOffsetRange[] = "offset out of range";
constexpr const char kGzipInvalid[] = "gzip_packed: the data is not a valid gzip stream";
constexpr const char kGzipTooLarge[] = "gzip_packed: inflates to more than %zu bytes";
constexpr const char kGzipIncomplete[] = "gzip_packed: the gzip stream is incomplete";
constexpr const char kGzipNotOneObject[] = "gzip_packed: the inflated data is not one complete object";
constexpr const char kMessageBytesLeft[] = "message %lld: its bytes field says %d, but %zu bytes are left";
constexpr const char kMessageBytes[] = "message %lld: its body does not take exactly the %d bytes its bytes field says";
constexpr const char kStringsNote[] =
    "a 'string' field that holds binary data reads as bytes with TLParser(..., strings=\"bytes\")";
constexpr const char kZeroSizeBudget[] =
    "the input holds more values that take no bytes than its size allows";
}  // namespace msg

}  // namespace

#endif  // VELTA_TL_MESSAGES_H
