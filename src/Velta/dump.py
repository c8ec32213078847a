"""``velta dump``: the bytes of one TL message beside what they mean.

The message is read the way ``TLParser`` reads it, from the same JSON schema
and with the conventions of the same mode (a flags word is a field named
``flags``/``flags2`` by default, any ``#`` field in the standard mode; Bool
is 32-bit 1/0 or boxed; bare types, int128/int256 and gzip_packed only in the
standard mode), and every item met on the way is listed: constructor ids,
flags words, vector headers and values, each with its offset, its bytes, its
path and its TL type.  Where the bytes stop making sense the listing stops
too, at the offset where reading failed.

Unlike the codec, a ``string`` that is not UTF-8 (``pq:string`` of the
service layer) is shown as its bytes instead of ending the listing: the
point is to see what a peer sent.
"""

from __future__ import annotations

import json
import struct
import zlib
from collections.abc import Iterator
from dataclasses import dataclass, field
from typing import Any

VECTOR_ID = 0x1CB5C415
BOOL_TRUE_ID, BOOL_FALSE_ID = 0x997275B5, 0xBC799737
GZIP_PACKED_ID = 0x3072CFA1
LONG_STRING_MARKER = 254
# The codec's limits on what one message may build: inflated gzip_packed
# content in all, and values that take no bytes (bare `true`, ...).
MAX_INFLATED = 16 << 20
ZERO_SIZE_PER_BYTE, ZERO_SIZE_SLACK = 4, 4096

Schema = dict[str, Any]

_SCALARS = {"int": "int", "#": "int", "long": "long", "double": "double", "string": "string",
            "bytes": "bytes", "byte": "bytes", "Bool": "bool", "true": "bool"}


def strip_condition(text: str) -> str:
    """The type of a conditional type text ``W.N?T`` (up to a second ``?``)."""
    _, question, rest = text.partition("?")
    return rest.partition("?")[0] if question else text


def classify(text: str) -> str:
    """A type text's kind as the compiler first sees it: case matters,
    nothing is trimmed, anything else is a boxed object."""
    kept = strip_condition(text)
    if kept in _SCALARS:
        return _SCALARS[kept]
    return "vector" if kept.startswith("Vector") else "object"


def _vector_element(text: str) -> str:
    """The element text of a default-mode vector type: what ``Vector<...>``
    encloses, or, for a text of another shape, the text without every
    ``Vector<`` and every ``>``."""
    if len(text) > 7 and text.startswith("Vector<") and text.endswith(">"):
        return text[7:-1]
    return text.replace("Vector<", "").replace(">", "")


@dataclass(eq=False)
class ValueType:
    """How one value is laid out: ``kind`` is int, long, double, string,
    bytes, bool, vector, object, and in the standard mode also int128,
    int256, true (no bytes), bare_object (no id) and bare_vector (no id)."""
    kind: str
    text: str
    element: ValueType | None = None
    bare: Constructor | None = None
    min_size: int | None = None


@dataclass(eq=False)
class Field:
    name: str
    type_text: str
    word: int = 0          # slot + 1 when this field is a flags word
    optional: bool = False
    bit_only: bool = False  # conditional, and the bit is the whole value
    slot: int = 0           # which flags word holds the bit
    mask: int = 0           # the bit; 0 when it lies outside the word
    used: int = 0           # flags words: the bits that conditional fields use


@dataclass(eq=False)
class Constructor:
    name: str
    id: int
    type: str
    fields: list[Field]
    template: dict[str, Any] = field(default_factory=dict)  # as unpack starts a dict
    distinct: bool = True  # no two fields share a name


def _entry_name(entry: Schema) -> str:
    return str(entry.get("predicate", entry.get("method", entry.get("type", ""))))


class Layout:
    """The schema as the codec compiles it, for one mode."""

    def __init__(self, schema: Schema, standard: bool):
        self.standard = standard
        constructors = [e for e in schema.get("constructors") or [] if isinstance(e, dict)]
        entries = constructors + [e for e in schema.get("methods") or [] if isinstance(e, dict)]
        self.by_id: dict[int, Constructor] = {}
        # A later entry with the same id or name wins, each key on its own.
        self.by_name: dict[str, tuple[int, Constructor]] = {}
        self.constructor_entries = len(constructors)
        for index, entry in enumerate(entries):
            name = _entry_name(entry)
            fields = self._fields(entry.get("params") or [])
            result = entry.get("type")
            constr = Constructor(name, int(entry.get("id", 0)) & 0xFFFFFFFF,
                                 str(result) if result is not None else name, fields)
            # The standard mode's words are values too: they have keys.
            for f in fields:
                if not f.word or self.standard:
                    constr.template[f.name] = False if f.bit_only else None
            constr.distinct = len(constr.template) == sum(1 for f in fields if not f.word or self.standard)
            constr.template = {"_": name, **constr.template}
            self.by_id[constr.id] = constr
            self.by_name[name] = (index, constr)
        self._types: dict[str, ValueType] = {}
        self._by_type: dict[str, list[Constructor]] | None = None

    def _fields(self, params: list[Schema]) -> list[Field]:
        fields: list[Field] = []
        words = 0
        for param in params:
            f = Field(str(param["name"]), str(param["type"]))
            if self.standard:
                if f.type_text == "#":
                    words += 1
                    f.word = words
            elif f.name in ("flags", "flags2"):
                f.word = 1 if f.name == "flags" else 2
            condition, question, _ = f.type_text.partition("?")
            if question:
                f.optional = True
                f.bit_only = (strip_condition(f.type_text) == "true" if self.standard
                              else classify(f.type_text) == "bool")
                word, dot, bit_text = condition.partition(".")
                bit = int(bit_text) if dot else 0
                if self.standard:
                    f.slot = next((p.word - 1 for p in reversed(fields) if p.word and p.name == word), 0)
                else:
                    f.slot = 1 if word == "flags2" else 0
                f.mask = 1 << bit if 0 <= bit < 32 else 0
                for p in fields:
                    if p.word == f.slot + 1:
                        p.used |= f.mask
            fields.append(f)
        return fields

    def value_type(self, text: str) -> ValueType:
        """The layout of a type text without its condition, each text once
        (so ``Vector`` may name itself)."""
        found = self._types.get(text)
        if found is not None:
            return found
        vt = ValueType("", text)
        self._types[text] = vt
        if self.standard:
            self._fill_standard(vt, text)
        else:
            self._fill_default(vt, text)
        return vt

    def _fill_default(self, vt: ValueType, text: str) -> None:
        vt.kind = classify(text)
        if vt.kind == "vector":
            vt.element = self.value_type(_vector_element(text))

    def _fill_standard(self, vt: ValueType, text: str) -> None:
        if text in ("int128", "int256", "true"):
            vt.kind = text
        elif text.startswith(("vector<", "%Vector<")) and text.endswith(">"):
            vt.kind = "bare_vector"
            vt.element = self.value_type(text[text.index("<") + 1:-1])
        elif len(text) > 7 and text.startswith("Vector<") and text.endswith(">"):
            vt.kind = "vector"
            vt.element = self.value_type(text[7:-1])
        elif text.startswith("%"):
            named = text[1:]
            if named in ("int128", "int256"):
                vt.kind = named
            elif classify(named) not in ("object", "vector", "bool"):
                vt.kind = classify(named)  # a scalar is bare already
            else:
                vt.kind = "bare_object"
                vt.bare = self._only_constructor_of(named)
        else:
            self._fill_default(vt, text)
            last = text.rpartition(".")[2]
            if vt.kind == "object" and "a" <= last[:1] <= "z":
                vt.bare = self._constructor_named(text)
                if vt.bare is not None:
                    vt.kind = "bare_object"

    def _constructor_named(self, name: str) -> Constructor | None:
        index, constr = self.by_name.get(name, (-1, None))
        return constr if 0 <= index < self.constructor_entries else None

    def _only_constructor_of(self, type_name: str) -> Constructor | None:
        if self._by_type is None:
            self._by_type = {}
            for index, constr in self.by_name.values():
                if index < self.constructor_entries:
                    self._by_type.setdefault(constr.type, []).append(constr)
        found = self._by_type.get(type_name, [])
        return found[0] if len(found) == 1 else None  # the parser refuses the schema otherwise

    def min_size(self, vt: ValueType, depth: int = 0) -> int:
        """The fewest bytes a value takes; a bare type that holds itself
        counts as none, as the codec counts it."""
        if vt.kind != "bare_object" or vt.bare is None:
            return {"long": 8, "double": 8, "int128": 16, "int256": 32, "true": 0}.get(vt.kind, 4)
        if vt.min_size is not None:
            return vt.min_size
        if depth > 64:
            return 0
        vt.min_size = 0  # while it is being sized
        total = sum(4 if f.word else self.min_size(self.value_type(strip_condition(f.type_text)), depth + 1)
                    for f in vt.bare.fields if f.word or not f.optional)
        vt.min_size = total
        return total


@dataclass
class Item:
    """One line of the listing: `size` bytes at `offset` of the data at
    `depth` (0: the message; 1 and more: inflated gzip_packed content)."""
    offset: int
    data: bytes
    path: str
    type: str
    value: str
    depth: int = 0


class DumpFailure(Exception):
    """Where reading stopped, and why."""

    def __init__(self, item: Item, message: str):
        super().__init__(message)
        self.item = item
        self.message = message


class _Budget:
    """What the whole message may still build, shared with the readers of
    gzip_packed content."""

    def __init__(self, size: int):
        self.zero_size = size * ZERO_SIZE_PER_BYTE + ZERO_SIZE_SLACK
        self.inflated = 0


class Walker:
    """Reads one object from `data`, recording an Item for everything read."""

    def __init__(self, layout: Layout, data: bytes, budget: _Budget | None = None, depth: int = 0):
        self.layout = layout
        self.data = data
        self.position = 0
        self.depth = depth
        self.budget = budget or _Budget(len(data))
        self.items: list[Item] = []

    # -- recording -----------------------------------------------------------

    def emit(self, start: int, path: str, type_text: str, value: str) -> None:
        self.items.append(Item(start, self.data[start:self.position], path, type_text, value, self.depth))

    def fail(self, start: int, width: int, path: str, type_text: str, message: str) -> DumpFailure:
        item = Item(start, self.data[start:start + width], path, type_text, "", self.depth)
        return DumpFailure(item, message)

    def take(self, width: int, path: str, type_text: str) -> bytes:
        start = self.position
        if len(self.data) - start < width:
            raise self.fail(start, width, path, type_text,
                            f"the input ends: {width} bytes needed at byte {start}, {len(self.data) - start} left")
        self.position += width
        return self.data[start:self.position]

    def uint32(self, path: str, type_text: str) -> int:
        return int.from_bytes(self.take(4, path, type_text), "little")

    def charge_zero_size(self, path: str, type_text: str) -> None:
        if self.budget.zero_size == 0:
            raise self.fail(self.position, 0, path, type_text,
                            "the input holds more values that take no bytes than its size allows")
        self.budget.zero_size -= 1

    # -- values --------------------------------------------------------------

    def byte_string(self, path: str, type_text: str) -> bytes:
        start = self.position
        if start >= len(self.data):
            raise self.fail(start, 1, path, type_text, f"the input ends at byte {start}: a byte string's length is missing")
        length, head = self.data[start], 1
        if length == LONG_STRING_MARKER:
            if start + 4 > len(self.data):
                raise self.fail(start, 4, path, type_text, f"the input ends inside a byte string's length at byte {start}")
            length, head = int.from_bytes(self.data[start + 1:start + 4], "little"), 4
        if length > len(self.data) - start - head:
            raise self.fail(start, head + length, path, type_text,
                            f"a byte string of {length} bytes at byte {start} runs past the input")
        self.position = start + head + length
        self.position += -self.position % 4  # padding; may be cut off at the very end
        return self.data[start + head:start + head + length]

    def value(self, vt: ValueType, path: str, type_text: str) -> Any:
        start = self.position
        kind, standard = vt.kind, self.layout.standard
        if kind in ("int", "long"):
            width = 4 if kind == "int" else 8
            number = int.from_bytes(self.take(width, path, type_text), "little", signed=standard)
            self.emit(start, path, type_text, str(number))
            return number
        if kind in ("int128", "int256"):
            number = int.from_bytes(self.take(16 if kind == "int128" else 32, path, type_text), "little", signed=True)
            self.emit(start, path, type_text, str(number))
            return number
        if kind == "double":
            (number,) = struct.unpack("<d", self.take(8, path, type_text))
            self.emit(start, path, type_text, repr(number))
            return number
        if kind == "bool":
            return self.bool(vt, path, type_text)
        if kind == "true":
            self.charge_zero_size(path, type_text)
            self.emit(start, path, type_text, "true")
            return True
        if kind == "string":
            raw = self.byte_string(path, type_text)
            try:
                text = raw.decode("utf-8")
            except UnicodeDecodeError:
                self.emit(start, path, type_text, f"not UTF-8: {_show_bytes(raw)}")
                return raw
            self.emit(start, path, type_text, _show_text(text))
            return text
        if kind == "bytes":
            raw = self.byte_string(path, type_text)
            self.emit(start, path, type_text, _show_bytes(raw))
            return raw
        if kind in ("vector", "bare_vector"):
            return self.vector(vt, path, type_text)
        return self.object(path, type_text, vt.bare if kind == "bare_object" else None)

    def bool(self, vt: ValueType, path: str, type_text: str) -> bool:
        start = self.position
        word = self.uint32(path, type_text)
        if not self.layout.standard:
            self.emit(start, path, type_text, "true" if word else "false")
            return word != 0
        if word not in (BOOL_TRUE_ID, BOOL_FALSE_ID):
            raise self.fail(start, 4, path, type_text, f"Invalid Bool constructor ID: 0x{word:08x}")
        self.emit(start, path, type_text, "boolTrue" if word == BOOL_TRUE_ID else "boolFalse")
        return word == BOOL_TRUE_ID

    def vector(self, vt: ValueType, path: str, type_text: str) -> list[Any]:
        start = self.position
        assert vt.element is not None
        if vt.kind == "vector":
            vector_id = self.uint32(path, type_text)
            if vector_id != VECTOR_ID:
                raise self.fail(start, 4, path, type_text, f"Invalid vector ID: 0x{vector_id:08x}")
        count = int.from_bytes(self.take(4, path, type_text), "little", signed=True)
        empty = self.layout.min_size(vt.element) == 0
        if count < 0 or (empty and count > self.budget.zero_size):
            raise self.fail(self.position - 4, 4, path, type_text, f"Invalid vector length: {count}")
        self.emit(start, path, type_text, f"{count} item{'' if count == 1 else 's'}")
        element_text = _element_text(vt)
        return [self.value(vt.element, f"{path}[{i}]", element_text) for i in range(count)]

    def object(self, path: str, type_text: str, bare: Constructor | None) -> dict[str, Any] | Any:
        start = self.position
        constr = bare
        if constr is None:
            constructor_id = self.uint32(path or "(message)", type_text)
            found = self.layout.by_id.get(constructor_id)
            if self.layout.standard and constructor_id == GZIP_PACKED_ID:
                return self.gzip_packed(start, path, type_text)
            if found is None:
                raise self.fail(start, 4, path or "(message)", type_text, f"Unknown constructor ID: 0x{constructor_id:08x}")
            constr = found
            path = path or constr.name
            self.emit(start, path, type_text or constr.type, f"{constr.name}#{constructor_id:08x}")
        else:
            self.emit(start, path, type_text, f"{constr.name} (bare)")
        result = dict(constr.template)
        words = [0] * max(2, sum(1 for f in constr.fields if f.word))
        for f in constr.fields:
            where = f"{path}.{f.name}"
            if f.word:
                word_start = self.position
                words[f.word - 1] = word = self.uint32(where, f.type_text)
                # A standard-mode word that no condition uses is a plain
                # number (a mode, a count): shown as one.
                shown = str(word) if self.layout.standard and not f.used else _show_flags(word, f.used)
                self.emit(word_start, where, f.type_text, shown)
                if self.layout.standard:
                    result[f.name] = word
                continue
            if f.optional:
                present = bool(words[f.slot] & f.mask)
                if f.bit_only or not present:
                    marker = present if f.bit_only else None
                    if marker is True or not constr.distinct:
                        result[f.name] = marker
                    if marker is True:
                        self.emit(self.position, where, f.type_text, "true")
                    continue
            result[f.name] = self.value(self.layout.value_type(strip_condition(f.type_text)), where, f.type_text)
        if bare is not None and self.position == start:
            self.charge_zero_size(path, type_text)
        return result

    def gzip_packed(self, start: int, path: str, type_text: str) -> Any:
        # The object inside takes the place of the gzip_packed one, path included.
        outer = path or "gzip_packed"
        self.emit(start, outer, type_text or "Object", f"gzip_packed#{GZIP_PACKED_ID:08x}")
        where = f"{outer}.packed_data"
        data_start = self.position
        packed = self.byte_string(where, "bytes")
        inflater = zlib.decompressobj(31)
        room = MAX_INFLATED - self.budget.inflated
        try:
            inflated = inflater.decompress(packed, room + 1)
        except zlib.error:
            raise self.fail(data_start, self.position - data_start, where, "bytes",
                            "gzip_packed: the data is not gzip") from None
        if len(inflated) > room:
            raise self.fail(data_start, self.position - data_start, where, "bytes",
                            f"gzip_packed: inflates to more than {MAX_INFLATED} bytes")
        if not inflater.eof:
            raise self.fail(data_start, self.position - data_start, where, "bytes",
                            "gzip_packed: the data is cut short")
        self.budget.inflated += len(inflated)
        self.emit(data_start, where, "bytes", f"{len(packed)} bytes of gzip, inflating to {len(inflated)}:")
        inner = Walker(self.layout, inflated, self.budget, self.depth + 1)
        try:
            value = inner.object(path, type_text, None)
        finally:
            self.items.extend(inner.items)
        if inner.position < len(inflated):
            raise inner.fail(inner.position, len(inflated) - inner.position, path, type_text,
                             "gzip_packed: the data is not exactly one complete object")
        return value


def _element_text(vt: ValueType) -> str:
    assert vt.element is not None
    return vt.element.text


def _show_text(text: str, limit: int = 60) -> str:
    shown = json.dumps(text if len(text) <= limit else text[:limit], ensure_ascii=False)
    return shown if len(text) <= limit else f"{shown[:-1]}…\" ({len(text)} characters)"


def _show_bytes(raw: bytes, limit: int = 32) -> str:
    if len(raw) <= limit:
        return raw.hex() or "(empty)"
    return f"{raw[:limit].hex()}… ({len(raw)} bytes)"


def _show_flags(word: int, used: int = 0) -> str:
    """A flags word in hex with its set bits; bits that no condition of the
    schema uses are marked, so bits a newer schema added stand out."""
    bits = [f"{bit}" if not used or used >> bit & 1 else f"{bit}?" for bit in range(32) if word >> bit & 1]
    return f"0x{word:08x}" + (f" (bits {', '.join(bits)})" if len(bits) > 1 else f" (bit {bits[0]})" if bits else "")


@dataclass
class Dump:
    """The outcome of reading one message: what was read, where reading
    ended (after the message, or after the failing item), the value as
    unpack gives it, or where and why reading failed."""
    items: list[Item]
    end: int
    value: Any = None
    failure: DumpFailure | None = None


def walk(layout: Layout, data: bytes) -> Dump:
    """Reads one message from the start of `data`."""
    walker = Walker(layout, data)
    try:
        value = walker.object("", "", None)
    except DumpFailure as failure:
        # What follows the failing item is not read; inside gzip_packed
        # content, what follows the packed bytes.
        item = failure.item
        end = item.offset + len(item.data) if item.depth == 0 else walker.position
        return Dump(walker.items, end, failure=failure)
    return Dump(walker.items, min(walker.position, len(data)), value)


# -- rendering -----------------------------------------------------------------

BYTES_PER_LINE = 16


def _hex_groups(raw: bytes) -> str:
    return " ".join(raw[i:i + 4].hex() for i in range(0, len(raw), 4))


def _offset(offset: int, depth: int) -> str:
    return "+" * depth + f"0x{offset:04x}"


def render(dump: Dump, data: bytes, message: str | None = None) -> Iterator[str]:
    """The listing, one line per item, long items continued 16 bytes a line.
    A failure is marked with ``!`` after its offset; the bytes left unread
    follow as ``(not read)``."""
    rows = [(item, "") for item in dump.items]
    if dump.failure is not None:
        rows.append((dump.failure.item, f"<-- {message or dump.failure.message}"))
    path_width = min(max((len(item.path) for item, _ in rows), default=0), 48)
    type_width = min(max((len(item.type) for item, _ in rows), default=0), 24)
    hex_width = len(_hex_groups(bytes(BYTES_PER_LINE)))
    for item, error in rows:
        mark = "!" if error else " "
        chunks = [item.data[i:i + BYTES_PER_LINE] for i in range(0, len(item.data), BYTES_PER_LINE)] or [b""]
        text = error or item.value
        yield (f"{_offset(item.offset, item.depth)}{mark} {_hex_groups(chunks[0]):<{hex_width}}  "
               f"{item.path:<{path_width}}  {item.type:<{type_width}}  {text}").rstrip()
        for n, chunk in enumerate(chunks[1:], 1):
            yield f"{_offset(item.offset + n * BYTES_PER_LINE, item.depth)}  {_hex_groups(chunk)}"
    label = "(not read)" if dump.failure is not None else "(after the message)"
    for at in range(dump.end, len(data), BYTES_PER_LINE):
        yield f"{_offset(at, 0)}  {_hex_groups(data[at:at + BYTES_PER_LINE]):<{hex_width}}  {label}"
