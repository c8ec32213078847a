"""Pure-Python TL codec that behaves like ``Velta.tl.TLParser``.

The test suite runs every codec test against both this module and the C
extension, the property tests use it as an oracle, and the benchmarks use it
as the pure-Python baseline.  It is meant to be read: one plain function per
encoding, no tricks beyond precomputing what each field needs.

``TLParser(schema, standard=True)`` is the standard mode: boxed Bool, signed
int and long, int128/int256, bare types, any ``#`` field as a flags word (that
is a value too) and
gzip_packed objects inflated on the way in.  It has a reader and a writer of
its own (the ``_std`` methods below), driven by a type tree compiled once per
field; the default mode's code is left as it was.
"""

import collections.abc
import difflib
import json
import struct
import sys
import zlib

INT, LONG, DOUBLE, STRING, BYTES, BOOL, VECTOR, OBJECT = range(8)

VECTOR_ID = 0x1CB5C415
MAX_BYTES_LEN = 0xFFFFFF

# Kinds of the standard mode only.
BOXED_BOOL, TRUE, INT128, INT256, BARE_VECTOR, BARE = range(8, 14)
BOOL_TRUE_ID, BOOL_FALSE_ID = 0x997275B5, 0xBC799737
GZIP_PACKED_ID = 0x3072CFA1
# Inflated bytes allowed for all gzip_packed objects of one unpack call.
MAX_INFLATED = 16 * 1024 * 1024
# Values that take no bytes, allowed in one unpack: this many per input byte
# and some more, across every vector and gzip_packed part of the message.
EMPTY_PER_BYTE, EMPTY_ELEMENTS_SLACK = 4, 4096

# What a field is on the wire: one of the two flags words, a field guarded by
# a flag bit, or a plain field.
FLAGS_WORD, FLAGS2_WORD, CONDITIONAL, PLAIN = range(4)

_U32 = struct.Struct("<I")
_U64 = struct.Struct("<Q")
_I32 = struct.Struct("<i")
_I64 = struct.Struct("<q")
_F64 = struct.Struct("<d")
_VECTOR_HEAD = struct.Struct("<II")
_TRUE = _U32.pack(1)
_FALSE = _U32.pack(0)
_PADDING = (b"", b"\0", b"\0\0", b"\0\0\0")

_NAMED_KINDS = {
    "int": INT, "#": INT, "long": LONG, "double": DOUBLE, "string": STRING,
    "bytes": BYTES, "byte": BYTES, "Bool": BOOL, "true": BOOL,
}
# Vectors of fixed-width scalars are read in one struct call.
_BULK = {INT: ("I", 4), LONG: ("Q", 8), DOUBLE: ("d", 8), BOOL: ("I", 4)}
# Written for an unconditional field whose key is missing.  The empty dict
# makes a missing object field fail like an object without a "_".
_DEFAULTS = {INT: 0, LONG: 0, DOUBLE: 0.0, STRING: "", BYTES: b"", BOOL: False,
             VECTOR: (), OBJECT: {}}


def _strip_condition(text):
    """'flags.3?Vector<int>' -> 'Vector<int>'; text without '?' is kept."""
    return text.split("?")[1] if "?" in text else text


def classify(text):
    kept = _strip_condition(text)
    kind = _NAMED_KINDS.get(kept)
    if kind is not None:
        return kind
    return VECTOR if kept.startswith("Vector") else OBJECT


def element_type(text):
    """(kind, type text) of the elements of a vector declared as ``text``."""
    if text is None:
        return INT, None
    kept = _strip_condition(text)
    if kept.startswith("Vector<") and kept.endswith(">"):
        inner = kept[7:-1]
    else:
        inner = kept.replace("Vector<", "").replace(">", "")
    return classify(inner), inner


def _build_field(param):
    """(py_name, role, kind, type text, flags word 0/1, bit mask, bit)."""
    py_name, text = param["name"], param["type"]
    py_name.encode("utf-8")
    kind = classify(text)
    word = bit = 0
    optional = "?" in text
    if optional:
        condition = text.split("?", 1)[0]
        if "." in condition:
            parts = condition.split(".")
            if len(parts) != 2:
                raise ValueError("too many values to unpack (expected 2)")
            bit = int(parts[1])
            if not -2**31 <= bit < 2**31:
                raise OverflowError("value too large to convert to int")
            word = 1 if parts[0] == "flags2" else 0
    # Field and constructor names are C strings in the extension, so they
    # end at the first NUL; the dict key is still the whole name.
    c_name = py_name.split("\0", 1)[0]
    if c_name == "flags":
        role = FLAGS_WORD
    elif c_name == "flags2":
        role = FLAGS2_WORD
    else:
        role = CONDITIONAL if optional else PLAIN
    # A bit outside the 32-bit word can never be set.
    mask = 1 << bit if 0 <= bit <= 31 else 0
    return (py_name, role, kind, text, word, mask, bit)


class Constructor:
    __slots__ = ("id", "name", "fields", "conditional", "params", "result", "is_method",
                 "std_fields", "std_conditional", "word_count", "used_bits", "service")

    def __init__(self, entry, is_method=False):
        self.params = entry.get("params", [])
        self.result = entry.get("type")
        self.is_method = is_method
        name = entry.get("predicate", entry.get("method", entry.get("type", "")))
        name.encode("utf-8")
        self.name = name.split("\0", 1)[0]
        cid = entry.get("id", 0)
        if type(cid) is not int:
            cid = int(cid)
        if cid < 0:
            cid &= 0xFFFFFFFF
        if cid > 0xFFFFFFFF:
            raise OverflowError("value too large to convert to uint32_t")
        self.id = cid
        self.service = entry.get("service")
        self.fields = tuple(_build_field(p) for p in entry.get("params", []))
        # A conditional field can be packed only when its word comes first.
        self.conditional = tuple(
            (*f, any(g[1] == (FLAGS2_WORD if f[4] else FLAGS_WORD) for g in self.fields[:i]))
            for i, f in enumerate(self.fields) if f[1] == CONDITIONAL)


def load_schema(schema_json):
    """Constructors of a schema (JSON text or decoded dict), in entry order."""
    schema = json.loads(schema_json) if isinstance(schema_json, str) else schema_json
    if type(schema) is not dict:
        if schema is None:
            raise AttributeError("'NoneType' object has no attribute 'get'")
        raise TypeError(f"Expected dict, got {type(schema).__name__}")
    constructors = schema.get("constructors", [])
    entries = constructors + list(schema.get("methods", ()))
    return [Constructor(entry, i >= len(constructors)) for i, entry in enumerate(entries)]


def _as_int(value):
    if isinstance(value, int):
        return value
    cls = type(value)
    convert = getattr(cls, "__int__", None) or getattr(cls, "__index__", None)
    if convert is None:
        raise TypeError("an integer is required")
    return convert(value)


def _as_float(value):
    if type(value) is float:
        return value
    cls = type(value)
    if hasattr(cls, "__float__"):
        return cls.__float__(value)
    if hasattr(cls, "__index__"):
        return float(cls.__index__(value))
    raise TypeError(f"must be real number, not {cls.__name__}")


def _append_bytes(out, data):
    n = len(data)
    if n > MAX_BYTES_LEN:
        raise ValueError(
            f"bytes value too long for TL encoding: {n} bytes (at most 16777215)")
    if n <= 253:
        out.append(n)
        out += data
        out += _PADDING[-(n + 1) & 3]
    else:
        out += bytes((254, n & 0xFF, (n >> 8) & 0xFF, n >> 16))
        out += data
        out += _PADDING[-n & 3]


class TLParser:
    """Packs dicts into TL bytes and back for the constructors of one schema;
    ``standard=True`` selects the standard mode (see the module docstring)."""

    def __init__(self, schema_json, *, standard=False, strings="str", wide_ints="int", strict=False,
                 max_inflated=MAX_INFLATED):
        if not isinstance(max_inflated, int) or isinstance(max_inflated, bool):
            raise TypeError(f"Expected int, got {type(max_inflated).__name__}")
        if max_inflated < 0:
            raise ValueError("max_inflated must not be negative")
        self._max_inflated = min(max_inflated, sys.maxsize - 1)  # no bytes object is larger
        self._standard = bool(standard)
        self._strict = bool(strict)
        for option, value, choices in (("strings", strings, ("str", "bytes")), ("wide_ints", wide_ints, ("int", "bytes"))):
            if not isinstance(value, str):
                raise TypeError(f"Expected str, got {type(value).__name__}")
            if value not in choices:
                raise ValueError(f"{option} must be {choices[0]!r} or {choices[1]!r}, not {value!r}")
        if wide_ints == "bytes" and not self._standard:
            raise ValueError("wide_ints='bytes' needs standard=True: int128 and int256 are types "
                             "of the standard mode only")
        self._wide_bytes = wide_ints == "bytes"
        self._strings_bytes = strings == "bytes"
        self._by_id = {}
        self._by_name = {}
        constructors = load_schema(schema_json)
        self._schema_constructors = [c for c in constructors if not c.is_method]
        for con in constructors:
            # A later entry with the same id or name replaces the earlier one.
            self._by_id[con.id] = con
            self._by_name[con.name] = con
        self._service_message = None
        if self._standard:
            # The service layer: after the schema, so its names and ids win;
            # its message is in neither map.
            service = [Constructor(entry) for entry in SERVICE_LAYER]
            self._service_message = service[0]
            for con in service[1:]:
                self._by_id[con.id] = con
                self._by_name[con.name] = con
            self._types = {}
            for con in constructors + service:
                self._compile_std(con)
            self._no_bytes = {}
        self._results = None
        self._elements = {}
        self._data = b""
        self._size = self._pos = self._base = 0
        self._view = False
        self._error = False
        self._inflate_left = max_inflated
        self._empty_left = 0

    def _element_type(self, text):
        info = self._elements.get(text)
        if info is None:
            info = self._elements[text] = element_type(text)
        return info

    # ---------------------------------------------------------------- pack

    def pack(self, value, *, type=None, results=None):
        as_type = self._call_type(type)
        self._results = self._results_of(results)
        out = bytearray()
        try:
            if as_type is not None:
                self._write_as(out, value, as_type)
            elif self._standard:
                self._write_object_std(out, value, None)
            else:
                self._write_object(out, value)
        finally:
            self._results = None
        return bytes(out)

    # ------------------------------------------------- type texts of a call

    def _is_schema_type(self, text):
        if not text:
            return False
        opens = ("Vector<", "vector<", "%Vector<") if self._standard else ("Vector<",)
        for open_ in opens:
            if len(text) > len(open_) + 1 and text.startswith(open_) and text.endswith(">"):
                return self._is_schema_type(text[len(open_):-1])
        if text in ("int", "long", "double", "string", "bytes", "Bool", "Object"):
            return True
        if text == "%Message" and self._service_message is not None:
            return True
        if self._standard:
            if text in ("true", "int128", "int256"):
                return True
            text = text[1:] if text.startswith("%") else text
        if not all(c.isascii() and (c.isalnum() or c in "_.") for c in text):
            return False
        return any(text == c.result or (self._standard and text == c.name) for c in self._schema_constructors)

    def _call_type(self, text):
        """The type a call's type text stands for (None for None)."""
        if text is None:
            return None
        if not isinstance(text, str):
            raise TypeError(f"Expected str, got {text.__class__.__name__}")
        if not self._is_schema_type(text):
            raise ValueError(f"not a type of this schema: {text!r}")
        return self._std_type(text) if self._standard else (classify(text), text)

    def _write_as(self, out, value, as_type):
        if self._standard:
            self._write_std(out, value, as_type)
        else:
            self._write_value(out, value, as_type[0], as_type[1])

    def _read_as(self, as_type):
        return self._read_std(as_type) if self._standard else self._read_value(*as_type)

    @staticmethod
    def _results_of(results):
        if results is None:
            return None
        if isinstance(results, (str, bytes)) or not hasattr(results, "__getitem__"):
            raise TypeError(f"Expected mapping, got {results.__class__.__name__}")
        return results

    def result_type(self, method_name):
        if not isinstance(method_name, str):
            raise TypeError(f"Expected str, got {method_name.__class__.__name__}")
        con = self._by_name.get(method_name)
        if con is None or not con.is_method:
            raise ValueError(f"Unknown method: {method_name!r}")
        return con.result

    def _result_type_for(self, req_msg_id):
        if self._results is None:
            return None
        try:
            entry = self._results[req_msg_id]
        except KeyError:
            return None
        if isinstance(entry, str):
            con = self._by_name.get(entry)
            if con is not None and con.is_method and con.service is None:
                entry = con.result
        return self._call_type(entry)

    def _write_object(self, out, value):
        name = value.get("_")
        if type(name) is not str and name is not None:
            raise TypeError(f"Expected str, got {type(name).__name__}")
        if not name:
            raise ValueError("Object must have '_' field")
        con = self._by_name.get(name)
        if con is None:
            raise _unknown_name(name, self._by_name)

        if type(value) is dict:
            lookup = value.get
        else:
            def lookup(key, default=None):
                return value[key] if key in value else default

        if self._strict:
            _check_strict(con.name, value,
                          [(f[0], f[1] == CONDITIONAL and f[2] == BOOL) for f in con.fields],
                          [f[0] for f in con.fields if f[1] == PLAIN])
        flags = flags2 = 0
        given = {}
        word_first = {f[0]: f[7] for f in con.conditional}
        for py_name, _, kind, _, word, mask, bit, first in con.conditional:
            v = lookup(py_name)
            if (v is True) if kind == BOOL else (v is not None):
                if not mask:
                    raise ValueError(
                        f"Field '{py_name}' uses flag bit {bit}, outside 0..31")
                if not first:
                    raise ValueError(
                        f"Field '{py_name}' is conditional on a flags word that is not a field "
                        "declared before it, so its presence cannot be written")
                given[py_name] = v
                if word:
                    flags2 |= mask
                else:
                    flags |= mask

        out += _U32.pack(con.id)
        write = self._write_value
        for py_name, role, kind, text, word, mask, _ in con.fields:
            if role == PLAIN:
                v = lookup(py_name, _DEFAULTS[kind])
            elif role == CONDITIONAL:
                if kind == BOOL or not mask & (flags2 if word else flags) or not word_first[py_name]:
                    continue
                # What the first pass saw; a field whose bit another one set
                # is read back all the same, so it gets its zero value (a
                # boxed object has none).
                if py_name not in given and kind == OBJECT:
                    raise _shared_bit_object(py_name)
                v = given.get(py_name, _DEFAULTS[kind])
            else:
                out += _U32.pack(flags if role == FLAGS_WORD else flags2)
                continue
            write(out, v, kind, text)

    def _write_value(self, out, v, kind, text):
        if kind == INT:
            v = _as_int(v)
            if not -2**31 <= v <= 0xFFFFFFFF:
                raise OverflowError("value too large to convert to int32_t")
            out += _U32.pack(v & 0xFFFFFFFF)
        elif kind == LONG:
            v = _as_int(v)
            if v < 0:
                raise OverflowError("can't convert negative value to uint64_t")
            if v > 0xFFFFFFFFFFFFFFFF:
                raise OverflowError("int too big to convert")
            out += _U64.pack(v)
        elif kind == STRING:
            if self._strings_bytes and not isinstance(v, str) and v is not None:
                try:
                    data = bytes(memoryview(v))
                except TypeError:
                    raise TypeError(f"Expected bytes, got {v.__class__.__name__}") from None
                _append_bytes(out, data)
                return
            if v is None:
                raise AttributeError("'NoneType' object has no attribute 'encode'")
            if not isinstance(v, str):
                raise TypeError(f"Expected str, got {type(v).__name__}")
            _append_bytes(out, v.encode("utf-8"))
        elif kind == BYTES:
            if v is None:
                raise TypeError("object of type 'NoneType' has no len()")
            if not isinstance(v, bytes):
                raise TypeError(f"Expected bytes, got {type(v).__name__}")
            _append_bytes(out, v)
        elif kind == OBJECT:
            self._write_object(out, v)
        elif kind == VECTOR:
            self._write_vector(out, v, text)
        elif kind == DOUBLE:
            out += _F64.pack(_as_float(v))
        else:  # BOOL
            out += _TRUE if v is not None and v else _FALSE

    def _write_vector(self, out, v, text):
        if type(v) is not list:
            if isinstance(v, list):
                raise TypeError(f"Expected list, got {type(v).__name__}")
            v = list(v)
        kind, elem_text = self._element_type(text)
        out += _VECTOR_HEAD.pack(VECTOR_ID, len(v))
        write = self._write_value
        for item in v:
            write(out, item, kind, elem_text)

    # -------------------------------------------------------------- unpack

    def unpack(self, data, *, type=None, results=None):
        if data.__class__ is not bytes:
            if data is None:
                raise TypeError("object of type 'NoneType' has no len()")
            raise TypeError("Argument 'data' has incorrect type "
                            f"(expected bytes, got {data.__class__.__name__})")
        return self._unpack_at(data, 0, self._call_type(type), self._results_of(results))[0]

    def unpack_from(self, buffer, offset=0, *, type=None, results=None):
        """(value, end): one object read from ``buffer`` (anything with the
        buffer interface, not copied) at ``offset``; ``end`` is the offset
        just past it."""
        if not isinstance(offset, int):
            raise TypeError(f"Expected int, got {offset.__class__.__name__}")
        as_type, results = self._call_type(type), self._results_of(results)
        if buffer.__class__ is bytes:
            if not 0 <= offset <= len(buffer):
                raise ValueError("offset out of range")
            return self._unpack_at(buffer, offset, as_type, results)
        with memoryview(buffer) as view:
            if not view.c_contiguous:
                raise BufferError("memoryview: underlying buffer is not C-contiguous")
            with view.cast("B") as data:
                if not 0 <= offset <= len(data):
                    raise ValueError("offset out of range")
                self._view = True
                try:
                    return self._unpack_at(data, offset, as_type, results)
                finally:
                    self._view = False

    def _unpack_at(self, data, offset, as_type=None, results=None):
        self._results = results
        self._data, self._size, self._error = data, len(data), False
        self._pos = self._base = offset
        self._inflate_left = self._max_inflated
        self._empty_left = (len(data) - offset) * EMPTY_PER_BYTE + EMPTY_ELEMENTS_SLACK
        try:
            if as_type is not None:
                result = self._read_as(as_type)
            else:
                result = self._read_object_std(None) if self._standard else self._read_object()
            if self._error:
                raise RuntimeError(f"Parse error at position {self._pos}")
            # A string's padding may be cut off at the very end: the object
            # still ends where the input does.
            return result, min(self._pos, self._size)
        finally:
            self._data = b""
            self._results = None

    # Running out of input never raises here: the read sets the error flag,
    # yields a zero value and leaves the cursor where it gave up (a fixed-width
    # read does not move it, a byte string stops just after its length
    # prefix).  Every caller stops at once when the flag is set, so nothing
    # after the short read is decoded, and unpack reports the cursor.

    def _read_fixed(self, st, zero):
        pos = self._pos
        if pos + st.size > self._size:
            self._error = True
            return zero
        self._pos = pos + st.size
        return st.unpack_from(self._data, pos)[0]

    def _read_bytes(self):
        start, size, data = self._pos, self._size, self._data
        if start >= size:
            self._error = True
            return b""
        n = data[start]
        pos = start + 1
        if n == 254:
            if start + 4 > size:
                self._pos = pos
                self._error = True
                return b""
            n = data[pos] | data[pos + 1] << 8 | data[pos + 2] << 16
            pos = start + 4
        if pos + n > size:
            self._pos = pos
            self._error = True
            return b""
        end = pos + n
        # The padding is skipped without looking at it; it aligns the end to
        # 4 bytes counted from where the object being read began.
        self._pos = end + (-(end - self._base) & 3)
        return data[pos:end].tobytes() if self._view else data[pos:end]

    def _read_object(self):
        pos = self._pos
        if pos + 4 > self._size:
            self._error = True
            return None
        cid = _U32.unpack_from(self._data, pos)[0]
        self._pos = pos + 4
        con = self._by_id.get(cid)
        if con is None:
            raise ValueError("Unknown constructor ID: 0x%08x" % cid)
        result = {"_": con.name}
        flags = flags2 = 0
        read = self._read_value
        for py_name, role, kind, text, word, mask, _ in con.fields:
            if role == CONDITIONAL:
                present = mask & (flags2 if word else flags)
                if kind == BOOL:
                    result[py_name] = bool(present)
                    continue
                if not present:
                    result[py_name] = None
                    continue
            elif role == FLAGS_WORD:
                flags = self._read_fixed(_U32, 0)
                if self._error:
                    return result
                continue
            elif role == FLAGS2_WORD:
                flags2 = self._read_fixed(_U32, 0)
                if self._error:
                    return result
                continue
            v = read(kind, text)
            if self._error:
                return result
            result[py_name] = v
        return result

    def _read_value(self, kind, text):
        if kind == INT:
            return self._read_fixed(_U32, 0)
        if kind == LONG:
            return self._read_fixed(_U64, 0)
        if kind == STRING:
            data = self._read_bytes()
            if self._strings_bytes:
                return bytes(data)
            try:
                return data.decode("utf-8") if data else ""
            except UnicodeDecodeError as exc:
                exc.add_note('a \'string\' field that holds binary data reads as bytes with '
                             'TLParser(..., strings="bytes")')
                raise
        if kind == BYTES:
            return self._read_bytes()
        if kind == OBJECT:
            return self._read_object()
        if kind == VECTOR:
            return self._read_vector(text)
        if kind == DOUBLE:
            return self._read_fixed(_F64, 0.0)
        return self._read_fixed(_U32, 0) != 0  # BOOL

    def _read_vector_count(self, boxed):
        """The element count of a vector (after its id, when boxed)."""
        if boxed:
            vector_id = self._read_fixed(_U32, 0)
            if self._error:
                return 0
            if vector_id != VECTOR_ID:
                self._error = True
                raise ValueError("Invalid vector ID: 0x%08x" % vector_id)
        count = self._read_fixed(_U32, 0)
        if count >= 0x80000000:
            raise ValueError(f"Invalid vector length: {count - 0x100000000}")
        return count

    def _read_vector(self, text):
        count = self._read_vector_count(True)
        if self._error:
            return []
        kind, elem_text = self._element_type(text)

        bulk = _BULK.get(kind)
        if bulk is not None:
            code, width = bulk
            pos = self._pos
            whole = max(0, min(count, (self._size - pos) // width))
            items = list(struct.unpack_from(f"<{whole}{code}", self._data, pos))
            self._pos = pos + whole * width
            if whole < count:
                self._error = True  # the next element is cut off
            return [x != 0 for x in items] if kind == BOOL else items

        items = []
        read = self._read_value
        for _ in range(count):
            items.append(read(kind, elem_text))
            if self._error:
                break
        return items


    # ======================================================= standard mode
    #
    # A field's type is a _Type tree: scalars, vectors (boxed or bare) of a
    # type, a boxed object of any constructor, or one constructor bare.  A
    # field is (py_name, role, type, word slot, bit mask, bit), role being
    # FLAGS_WORD for every '#' field, CONDITIONAL or PLAIN; the word slot
    # numbers the '#' fields of the constructor, and a conditional field
    # names the slot of the word its condition refers to.

    def _compile_std(self, con):
        fields, words = [], {}  # words: C name -> slot of the latest '#' field
        word_count = 0
        for param in con.params:
            py_name, text = param["name"], param["type"]
            c_name = py_name.split("\0", 1)[0]
            optional = "?" in text
            kept = _strip_condition(text)
            if kept == "#" and not optional:
                words[c_name] = word_count
                fields.append((py_name, FLAGS_WORD, None, word_count, 0, 0))
                word_count += 1
                continue
            typ = self._std_type(kept)
            if not optional:
                fields.append((py_name, PLAIN, typ, 0, 0, 0))
                continue
            condition = text.split("?", 1)[0]
            parts = condition.split(".")
            if len(parts) == 1:  # no bit: tied to no word
                raise _unknown_word(py_name, condition)
            if len(parts) > 2:
                raise ValueError("too many values to unpack (expected 2)")
            bit = int(parts[1])
            if not -2**31 <= bit < 2**31:
                raise OverflowError("value too large to convert to int")
            word = parts[0].split("\0", 1)[0]
            if word not in words:
                raise _unknown_word(py_name, parts[0])
            mask = 1 << bit if 0 <= bit <= 31 else 0
            fields.append((py_name, CONDITIONAL, typ, words[word], mask, bit))
        con.std_fields = tuple(fields)
        con.std_conditional = tuple(f for f in fields if f[1] == CONDITIONAL)
        con.word_count = word_count
        # The bits of each word that its conditional fields decide; pack keeps
        # the others from the word's own value.
        con.used_bits = [0] * word_count
        for _, _, _, slot, mask, _ in con.std_conditional:
            con.used_bits[slot] |= mask

    def _std_type(self, text):
        """The _Type of an unconditional type text (compiled once per text)."""
        typ = self._types.get(text)
        if typ is not None:
            return typ
        kind = _STD_SCALARS.get(text)
        if kind is not None:
            typ = self._types[text] = _Type(kind)
            return typ
        # Entered before its element is compiled: a malformed 'Vector' text
        # may contain itself.
        typ = self._types[text] = _Type(OBJECT)
        if text.startswith(("vector<", "%Vector<")) and text.endswith(">"):
            typ.kind = BARE_VECTOR
            typ.arg = self._std_type(text[text.index("<") + 1:-1])
        elif text.startswith("Vector<") and text.endswith(">") and len(text) > 7:
            typ.kind = VECTOR
            typ.arg = self._std_type(text[7:-1])
        elif text.startswith("Vector"):
            typ.kind = VECTOR
            typ.arg = self._std_type(text.replace("Vector<", "").replace(">", ""))
        elif text == "%Message" and self._service_message is not None:
            typ.kind, typ.arg = BARE, self._service_message
        elif text.startswith("%"):
            inner = text[1:]
            kind = _STD_SCALARS.get(inner)
            if kind in _BARE_SCALARS:
                typ.kind = kind
            else:
                members = [c for c in dict.fromkeys(self._by_name.values())
                           if not c.is_method and c.result == inner]
                if len(members) != 1:
                    del self._types[text]
                    raise ValueError(f"Bare type '{text}' needs exactly one constructor of "
                                     f"type '{inner}'; the schema has {len(members)}")
                typ.kind, typ.arg = BARE, members[0]
        else:
            con = self._by_name.get(text)
            if (con is not None and not con.is_method
                    and "a" <= text.rsplit(".", 1)[-1][:1] <= "z"):
                typ.kind, typ.arg = BARE, con
        return typ

    def _takes_no_bytes(self, typ):
        known = self._no_bytes.get(typ)
        if known is None:
            known = self._no_bytes[typ] = _min_size(typ) == 0
        return known

    # ----------------------------------------------------- standard: pack

    def _write_object_std(self, out, value, bare):
        """A boxed object (bare is None: its id, then its fields) or a value
        of the bare constructor ``bare`` (the fields only)."""
        name = value.get("_")
        if type(name) is not str and name is not None:
            raise TypeError(f"Expected str, got {type(name).__name__}")
        if bare is None:
            if not name:
                raise ValueError("Object must have '_' field")
            con = self._by_name.get(name)
            if con is None:
                raise _unknown_name(name, self._by_name)
        else:
            con = bare
            if name is not None and name != con.name:
                raise ValueError(
                    f"Expected constructor '{con.name}' for a bare value, got '{name}'")
        if con.service is not None:
            return self._write_service(out, value, con, bare)

        if type(value) is dict:
            lookup = value.get
        else:
            def lookup(key, default=None):
                return value[key] if key in value else default

        if self._strict:
            _check_strict(con.name, value,
                          [(f[0], f[1] == CONDITIONAL and f[2].kind == TRUE) for f in con.std_fields],
                          [f[0] for f in con.std_fields if f[1] == PLAIN and f[2].kind != TRUE])
        words = [0] * con.word_count
        given = {}
        for py_name, _, typ, slot, mask, bit in con.std_conditional:
            v = lookup(py_name)
            if (v is True) if typ.kind == TRUE else (v is not None):
                if not mask:
                    raise ValueError(
                        f"Field '{py_name}' uses flag bit {bit}, outside 0..31")
                given[py_name] = v
                words[slot] |= mask

        if bare is None:
            out += _U32.pack(con.id)
        for py_name, role, typ, slot, mask, _ in con.std_fields:
            if role == PLAIN:
                v = lookup(py_name, _STD_DEFAULTS[typ.kind])
            elif role == CONDITIONAL:
                if typ.kind == TRUE or not mask & words[slot]:
                    continue
                # As in the default mode: a field whose bit another one set
                # is read back all the same, so it gets its zero value.
                if py_name not in given and typ.kind == OBJECT:
                    raise _shared_bit_object(py_name)
                v = given.get(py_name, _STD_DEFAULTS[typ.kind])
            else:
                # A '#' field is a value too: 0 when missing or None.
                v = lookup(py_name)
                word = words[slot]
                if v is not None:
                    self._write_value(bits := bytearray(), v, INT, None)
                    word |= _U32.unpack(bits)[0] & ~con.used_bits[slot]
                out += _U32.pack(word)
                continue
            try:
                self._write_std(out, v, typ)
            except _WideWidth as refused:  # named by the field that holds it
                raise ValueError(f"Field '{py_name}' is {refused.args[0]}: it takes an int or exactly "
                                 f"{refused.args[1]} bytes, got {refused.args[2]} bytes") from None

    def _write_std(self, out, v, typ):
        kind = typ.kind
        if kind == BYTES and not isinstance(v, bytes) and v is not None:
            # Any bytes-like object, or a mapping: the boxed serialization of
            # the object it describes.
            try:
                _append_bytes(out, bytes(memoryview(v)))
                return
            except TypeError:
                if not isinstance(v, collections.abc.Mapping):
                    raise TypeError(f"Expected bytes, got {type(v).__name__}") from None
            inner = bytearray()
            self._write_object_std(inner, v, None)
            _append_bytes(out, bytes(inner))
        elif kind == INT or kind == STRING or kind == BYTES or kind == DOUBLE:
            self._write_value(out, v, kind, None)
        elif kind == LONG:
            v = _as_int(v)
            if not -2**63 <= v <= 0xFFFFFFFFFFFFFFFF:
                raise OverflowError("value too large to convert to int64_t")
            out += _U64.pack(v & 0xFFFFFFFFFFFFFFFF)
        elif kind == OBJECT:
            self._write_object_std(out, v, None)
        elif kind == BARE:
            self._write_object_std(out, v, typ.arg)
        elif kind == VECTOR or kind == BARE_VECTOR:
            if type(v) is not list:
                if isinstance(v, list):
                    raise TypeError(f"Expected list, got {type(v).__name__}")
                v = list(v)
            if kind == VECTOR:
                out += _U32.pack(VECTOR_ID)
            out += _U32.pack(len(v))
            element = typ.arg
            for item in v:
                self._write_std(out, item, element)
        elif kind == BOXED_BOOL:
            out += _U32.pack(BOOL_TRUE_ID if v is not None and v else BOOL_FALSE_ID)
        elif kind == TRUE:
            pass
        else:  # INT128, INT256
            bits = 128 if kind == INT128 else 256
            if not isinstance(v, int) and isinstance(v, (bytes, bytearray, memoryview)):
                data = memoryview(v).cast("B") if isinstance(v, memoryview) else v
                if len(data) != bits // 8:
                    raise _WideWidth(f"int{bits}", bits // 8, len(data))
                out += data
                return
            v = _as_int(v)
            if not -(1 << (bits - 1)) <= v < 1 << bits:
                raise OverflowError(f"value too large to convert to int{bits}")
            out += (v & ((1 << bits) - 1)).to_bytes(bits // 8, "little")

    # --------------------------------------------------- standard: unpack

    def _read_object_std(self, bare):
        if bare is None:
            pos = self._pos
            if pos + 4 > self._size:
                self._error = True
                return None
            cid = _U32.unpack_from(self._data, pos)[0]
            self._pos = pos + 4
            if cid == GZIP_PACKED_ID:
                return self._read_gzip_packed()
            con = self._by_id.get(cid)
            if con is None:
                raise ValueError("Unknown constructor ID: 0x%08x" % cid)
        else:
            con = bare
        if con.service is not None:
            return self._read_service(con)
        start = self._pos
        result = {"_": con.name}
        words = [0] * con.word_count
        read = self._read_std
        for py_name, role, typ, slot, mask, _ in con.std_fields:
            if role == CONDITIONAL:
                if not mask & words[slot]:
                    result[py_name] = False if typ.kind == TRUE else None
                    continue
            elif role == FLAGS_WORD:
                words[slot] = self._read_fixed(_U32, 0)
                if self._error:
                    return result
                result[py_name] = words[slot]
                continue
            v = read(typ)
            if self._error:
                return result
            result[py_name] = v
        if bare is not None and self._pos == start:
            self._charge_empty()
        return result

    def _charge_empty(self):
        if not self._empty_left:
            raise ValueError("the input holds more values that take no bytes than its size allows")
        self._empty_left -= 1

    def _read_std(self, typ):
        kind = typ.kind
        if kind == INT:
            return self._read_fixed(_I32, 0)
        if kind == LONG:
            return self._read_fixed(_I64, 0)
        if kind == STRING or kind == BYTES or kind == DOUBLE:
            return self._read_value(kind, None)
        if kind == OBJECT:
            return self._read_object_std(None)
        if kind == BARE:
            return self._read_object_std(typ.arg)
        if kind == VECTOR or kind == BARE_VECTOR:
            return self._read_vector_std(typ)
        if kind == BOXED_BOOL:
            pos = self._pos
            if pos + 4 > self._size:
                self._error = True
                return False
            cid = _U32.unpack_from(self._data, pos)[0]
            if cid != BOOL_TRUE_ID and cid != BOOL_FALSE_ID:
                raise ValueError("Invalid Bool constructor ID: 0x%08x" % cid)
            self._pos = pos + 4
            return cid == BOOL_TRUE_ID
        if kind == TRUE:
            self._charge_empty()
            return True
        width = 16 if kind == INT128 else 32
        pos = self._pos
        if pos + width > self._size:
            self._error = True
            return b"" if self._wide_bytes else 0
        self._pos = pos + width
        if self._wide_bytes:
            return bytes(self._data[pos:pos + width])
        return int.from_bytes(self._data[pos:pos + width], "little", signed=True)

    def _read_vector_std(self, typ):
        count = self._read_vector_count(typ.kind == VECTOR)
        if self._error:
            return []
        element = typ.arg
        # Elements that take no bytes cannot run out of input, so their
        # counts, in all, are held to a budget: as many as the input has
        # bytes, and some more.
        empty = self._takes_no_bytes(element)
        if empty and count > self._empty_left:
            raise ValueError(f"Invalid vector length: {count}")

        bulk = _STD_BULK.get(element.kind)
        if bulk is not None:
            code, width = bulk
            pos = self._pos
            whole = max(0, min(count, (self._size - pos) // width))
            # (The cursor may stand past the end, after cut-off padding.)
            items = list(struct.unpack_from(f"<{whole}{code}", self._data, pos)) if whole else []
            self._pos = pos + whole * width
            if whole < count:
                self._error = True
            return items

        items = []
        read = self._read_std
        for _ in range(count):
            items.append(read(element))
            if self._error:
                break
        return items

    # ------------------------------------------------ standard: service layer

    def _write_service(self, out, value, con, bare):
        get = value.get if isinstance(value, dict) else (lambda key: value[key] if key in value else None)
        if con.service == "gzip":
            data = get("packed_data")
            data = b"" if data is None else data
            if isinstance(data, (bytes, bytearray, memoryview)):
                out += _U32.pack(con.id)
                self._write_std(out, bytes(data), _Type(BYTES))
            else:
                self._write_gzip(out, data, None)
            return
        if bare is None:
            out += _U32.pack(con.id)
        if con.service == "rpc_result":
            req = _as_int(get("req_msg_id") or 0)
            self._write_std(out, req, _Type(LONG))
            as_type = self._result_type_for(req)
            result = get("result")
            if result is None:
                if as_type is None:
                    raise ValueError("rpc_result needs a result, or a type for it in results")
                result = _STD_DEFAULTS.get(as_type.kind, {})
            if isinstance(result, dict) and result.get("_") == "gzip_packed" and not isinstance(
                    result.get("packed_data"), (bytes, bytearray, memoryview, type(None))):
                self._write_gzip(out, result["packed_data"], as_type)
            elif as_type is not None:
                self._write_std(out, result, as_type)
            elif isinstance(result, bool):
                out += _U32.pack(BOOL_TRUE_ID if result else BOOL_FALSE_ID)
            elif isinstance(result, bytes):
                out += result
            else:
                self._write_object_std(out, result, None)
            return
        # The message: bytes is its body's length.
        self._write_std(out, get("msg_id") or 0, _Type(LONG))
        self._write_std(out, get("seqno") or 0, _Type(INT))
        at = len(out)
        out += b"\0\0\0\0"
        body = get("body")
        if body is None:
            raise ValueError("message needs a body")
        self._write_object_std(out, body, None)
        out[at:at + 4] = _U32.pack(len(out) - at - 4)

    def _write_gzip(self, out, inner, as_type):
        plain = bytearray()
        if as_type is None:
            self._write_object_std(plain, inner, None)
        else:
            self._write_std(plain, inner, as_type)
        out += _U32.pack(GZIP_PACKED_ID)
        self._write_std(out, zlib.compress(bytes(plain), 9, 31), _Type(BYTES))

    def _read_service(self, con):
        if con.service == "rpc_result":
            result = {"_": con.name, "req_msg_id": self._read_fixed(_I64, 0), "result": None}
            if self._error:
                return result
            result["result"] = self._read_result(result["req_msg_id"])
            return result
        msg_id, seqno, length = self._read_fixed(_I64, 0), self._read_fixed(_I32, 0), self._read_fixed(_I32, 0)
        result = {"_": con.name, "msg_id": msg_id, "seqno": seqno, "bytes": length, "body": None}
        if self._error:
            return result
        left = self._size - self._pos
        if length < 0 or length > left:
            raise ValueError(f"message {msg_id}: its bytes field says {length}, but {left} bytes are left")
        start, outer = self._pos, self._size
        self._size = start + length
        try:
            result["body"] = self._read_object_std(None)
        finally:
            self._size = outer
        if self._error or self._pos != start + length:
            raise ValueError(f"message {msg_id}: its body does not take exactly the {length} bytes "
                             "its bytes field says")
        return result

    def _read_result(self, req_msg_id):
        as_type = self._result_type_for(req_msg_id)
        pos = self._pos
        cid = _U32.unpack_from(self._data, pos)[0] if pos + 4 <= self._size else None
        if as_type is not None:
            if cid == GZIP_PACKED_ID and as_type.kind != OBJECT:
                self._pos += 4
                return self._read_gzip_packed(as_type)
            return self._read_std(as_type)
        if cid == GZIP_PACKED_ID:
            self._pos += 4
            return self._read_gzip_packed(None, raw_unknown=True)
        if cid is not None and cid in self._by_id:
            return self._read_object_std(None)
        raw = bytes(self._data[pos:self._size])
        self._pos = max(pos, self._size)
        return raw

    def _inflate(self, packed):
        """gzip data as gzip.decompress reads it: members one after another,
        each after the zero bytes that follow the one before."""
        pieces, left = [], self._inflate_left
        while True:
            inflater = zlib.decompressobj(31)
            try:
                data = inflater.decompress(packed, left + 1)
            except zlib.error:
                raise ValueError("gzip_packed: the data is not a valid gzip stream") from None
            if len(data) > left:
                raise ValueError(f"gzip_packed: inflates to more than {self._max_inflated} bytes")
            if not inflater.eof:
                raise ValueError("gzip_packed: the gzip stream is incomplete")
            pieces.append(data)
            left -= len(data)
            packed = inflater.unused_data.lstrip(b"\0")
            if not packed:
                return b"".join(pieces)

    def _read_gzip_packed(self, as_type=None, raw_unknown=False):
        """The object inside a gzip_packed one (its id already read)."""
        failed_before, self._error = self._error, False
        packed = self._read_bytes()
        if self._error:
            return None  # cut off: reported at the end
        self._error = failed_before
        data = self._inflate(bytes(packed))
        self._inflate_left -= len(data)
        if raw_unknown and (len(data) < 4 or _U32.unpack_from(data, 0)[0] not in self._by_id
                            or _U32.unpack_from(data, 0)[0] == GZIP_PACKED_ID):
            return data
        # The inflated bytes are read as a message of their own; values that
        # take no bytes count against the outer message's budget.
        saved = (self._data, self._size, self._pos, self._base, self._view, self._error)
        self._data, self._size, self._pos, self._base = data, len(data), 0, 0
        self._view, self._error = False, False
        try:
            value = self._read_object_std(None) if as_type is None else self._read_std(as_type)
            if self._error or self._pos < self._size:
                raise ValueError("gzip_packed: the inflated data is not one complete object")
        finally:
            (self._data, self._size, self._pos, self._base, self._view, self._error) = saved
        return value


# The service layer of the standard mode; the message comes first.
SERVICE_LAYER = [
    {"predicate": "message", "id": 0x5BB8E511, "type": "Message", "service": "message",
     "params": [{"name": "msg_id", "type": "long"}, {"name": "seqno", "type": "int"},
                {"name": "bytes", "type": "int"}, {"name": "body", "type": "Object"}]},
    {"predicate": "rpc_result", "id": 0xF35C6D01, "type": "RpcResult", "service": "rpc_result",
     "params": [{"name": "req_msg_id", "type": "long"}, {"name": "result", "type": "Object"}]},
    {"predicate": "msg_container", "id": 0x73F1F8DC, "type": "MessageContainer",
     "params": [{"name": "messages", "type": "vector<%Message>"}]},
    {"predicate": "msg_copy", "id": 0xE06046B2, "type": "MessageCopy",
     "params": [{"name": "orig_message", "type": "%Message"}]},
    {"predicate": "gzip_packed", "id": GZIP_PACKED_ID, "type": "Object", "service": "gzip",
     "params": [{"name": "packed_data", "type": "bytes"}]},
]


def _unknown_name(name, known):
    """The error for an unknown constructor name, with a note of the closest
    known names when some are close."""
    error = ValueError(f"Unknown constructor: {name}")
    close = difflib.get_close_matches(name, list(known), 3)
    if close:
        quoted = [repr(n) for n in close]
        text = quoted[0] if len(quoted) == 1 else ", ".join(quoted[:-1]) + " or " + quoted[-1]
        error.add_note(f"did you mean {text}?")
    return error


def _check_strict(con_name, value, fields, required):
    """strict=True: every key of ``value`` names a field (``fields``: (name,
    only a bit) pairs in wire order), a bit is given True, False or None, and
    every name of ``required`` is given."""
    bits = {}
    for name, bit_only in fields:
        bits.setdefault(name, bit_only)
    for key in list(value.keys()):
        if key == "_":
            continue
        if key not in bits:
            raise ValueError(f"Constructor '{con_name}' has no field {key!r}")
        if bits[key]:
            v = value[key]
            if v is not True and v is not False and v is not None:
                raise ValueError(f"Constructor '{con_name}' field '{key}' is only a flag bit: "
                                 f"it takes True, False or None, not {type(v).__name__}")
    for name in required:
        if name not in value:
            raise ValueError(f"Constructor '{con_name}' is missing its field '{name}'")


class _WideWidth(Exception):
    """Bytes of the wrong width for a wide int: (type name, width, given)."""


def _shared_bit_object(py_name):
    return ValueError(f"Field '{py_name}' shares its flag bit with a field that is given, "
                      "so it must be given too")


def _unknown_word(py_name, word):
    return ValueError(f"Field '{py_name}' is conditional on '{word}', "
                      "which is not a '#' field declared before it")


def _min_size(typ):
    """Bytes a value of typ takes at the least.  A bare type met again while
    it is being sized (it holds itself), or more than 64 levels down, counts
    as none."""
    return _sized(typ, [], {})[0]


def _sized(typ, stack, known):
    """(least size, whether a bare type on `stack` or the depth cut it)."""
    kind = typ.kind
    if kind == LONG or kind == DOUBLE:
        return 8, False
    if kind == INT128:
        return 16, False
    if kind == INT256:
        return 32, False
    if kind == TRUE:
        return 0, False
    if kind != BARE:
        return 4, False
    if typ in known:
        return known[typ], False
    if any(t is typ for t in stack) or len(stack) > 64:
        return 0, True
    stack.append(typ)
    total, cut = 0, False
    for _, role, t, _, _, _ in typ.arg.std_fields:
        if role == FLAGS_WORD:
            total += 4
        elif role == PLAIN:
            size, inner_cut = _sized(t, stack, known)
            total += size
            cut = cut or inner_cut
    stack.pop()
    if not cut:
        known[typ] = total
    return min(total, 2**31 - 1), cut


class _Type:
    """A standard-mode type: its kind and, for vectors, the element type,
    for bare objects, the constructor."""
    __slots__ = ("kind", "arg")

    def __init__(self, kind, arg=None):
        self.kind, self.arg = kind, arg


_STD_SCALARS = {
    "#": INT, "int": INT, "long": LONG, "double": DOUBLE, "string": STRING, "bytes": BYTES,
    "byte": BYTES, "int128": INT128, "int256": INT256, "Bool": BOXED_BOOL, "true": TRUE,
}
# '%int' and the like are the scalar itself.
_BARE_SCALARS = {INT, LONG, DOUBLE, STRING, BYTES, INT128, INT256}
_STD_BULK = {INT: ("i", 4), LONG: ("q", 8), DOUBLE: ("d", 8)}
_STD_DEFAULTS = {INT: 0, LONG: 0, DOUBLE: 0.0, STRING: "", BYTES: b"", BOXED_BOOL: False,
                 TRUE: None, INT128: 0, INT256: 0, VECTOR: (), BARE_VECTOR: (), OBJECT: {},
                 BARE: {}}
