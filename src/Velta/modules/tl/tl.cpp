// Velta.tl: schema-driven TL binary encoding for Python.
//
// Two exported types:
//   TLSchemaCompiler  turns a JSON schema into a table of constructor records
//                     (schema_model.h) indexed by id and by name;
//   TLParser          owns a private compiler and converts dicts to TL bytes
//                     (pack) and back (unpack).
//
// This is the module's one compiled file: it includes one part per concern,
// in this order, each relying only on the parts above it (one translation
// unit, so everything stays in one anonymous namespace and inlines freely).
//
//   compat.h           every version and free-threading gate
//   support.h          owned references, heap arrays, little-endian access,
//                      wire constants
//   schema_text.h      schema text of the usual shape, read without json.loads
//   schema_model.h     the compiled table, and what the codec reads of the
//                      compiler (text blocks, id map, name table)
//   messages.h         every message the module raises itself
//   state.h            module state: interned names and constants
//   errors.h           traceback entries, exact-type messages, nesting guard,
//                      error paths
//   arguments.h        argument binding, pickling refused
//   integers.h         interpreter ints to C integers
//   conventions.h      the conventions table: each mode's row, its value kinds
//   compiler_texts.h   the compiler's texts, one copy per distinct text
//   compiler_entries.h one schema entry into one record
//   type_resolver.h    type texts into value types
//   compiler.h         a whole schema into the table
//   codec.h            the parser object, the Writer and the Reader
//   scalars.h          each scalar kind in both directions
//   writer.h           values, vectors and objects into bytes (pack)
//   writer_strict.h    what strict=True refuses; close names for an unknown
//                      constructor
//   reader.h           bytes into values, vectors and objects (unpack)
//   service.h          the service layer: rpc_result by the request's type,
//                      the container's message and its length, gzip_packed
//   types.h            TLSchemaCompiler and TLParser
//   module.h           module initialisation
//
// Traceback entries name this file, "src/Velta/modules/tl/tl.cpp", as the
// module always has; their line numbers count within the part that defines
// the failing operation (the compiler's operations in compiler_entries.h and
// compiler.h, the parser's in scalars.h, writer.h, reader.h and service.h).
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
//   * Short input is not an exception while reading: the reader records it
//     and yields a zero value, and every level above stops reading at once,
//     so nothing after the short read is decoded; unpack turns it into
//     "Parse error at position N" at the end.
#include "support.h"
#include "schema_text.h"
#include "schema_model.h"

#include <frameobject.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <deque>
#include <forward_list>
#include <cstdlib>
#include <new>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

using velta::HeapArray;
using velta::PyRef;
using velta::SavedException;
using velta::TypeText;

// The two exported static types, defined in types.h.
extern PyTypeObject TLSchemaCompilerType;
extern PyTypeObject TLParserType;

#include "messages.h"
#include "state.h"
#include "errors.h"
#include "arguments.h"
#include "integers.h"
#include "conventions.h"
#include "compiler_texts.h"
#include "compiler_entries.h"
#include "type_resolver.h"
#include "compiler.h"
#include "codec.h"
#include "scalars.h"
#include "writer.h"
#include "writer_strict.h"
#include "reader.h"
#include "service.h"
#include "types.h"
#include "module.h"
