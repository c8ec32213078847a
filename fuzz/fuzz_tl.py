"""Coverage-guided fuzzing of Velta.tl with atheris.

Byte 0 of an input picks the schema (low bits, modulo 4; the last schema is
read in the standard mode) and the mode (top bit). Mode 0 hands the remaining bytes to unpack(): it may only return a dict
or raise one of UNPACK_ERRORS, and a dict it returns must pack and read back
unchanged. Mode 1 uses the remaining bytes as entropy for a value of one
constructor (valid values mostly, with odd ones mixed in): pack() may refuse
it with one of PACK_ERRORS, and bytes it returns must unpack and re-pack to
the same bytes. Anything else -- another exception, a failed check, or a
sanitizer report -- is a finding.

    python -m fuzz.fuzz_tl [libFuzzer flags] CORPUS_DIR   fuzz (see run.sh)
    python -m fuzz.fuzz_tl FILE...                        replay inputs
    python -m fuzz.fuzz_tl --leak-check FILE_OR_DIR...    replay, watching for leaks

Run from the repository root (or with it on PYTHONPATH, as run.sh does): the
harness is the module fuzz.fuzz_tl and takes its schemas from fuzz.schemas.
"""

import gc
import os
import struct
import sys
import tracemalloc

import atheris

from Velta.tl import TLParser

from fuzz.schemas import SCHEMAS, STANDARD_MODE

UNPACK_ERRORS = (RuntimeError, ValueError, UnicodeDecodeError, RecursionError, MemoryError)
PACK_ERRORS = (TypeError, ValueError, OverflowError, AttributeError, UnicodeEncodeError, RecursionError)
MAX_DEPTH = 3


class Finding(AssertionError):
    pass


def strip_condition(text):
    return text.split("?")[1] if "?" in text else text


def vector_element(text):
    text = strip_condition(text)
    for prefix in ("Vector<", "vector<", "%Vector<"):
        if text.startswith(prefix) and text.endswith(">") and len(text) > len(prefix) + 1:
            return text[len(prefix):-1]
    return text.replace("Vector<", "").replace(">", "")


def kind_of(text, standard=False):
    text = strip_condition(text)
    if standard:
        if text in ("int128", "int256"):
            return text
        if text.startswith(("vector<", "%Vector<")):
            return "vector"
    for kind, names in (("int", ("int", "#")), ("long", ("long",)), ("double", ("double",)),
                        ("string", ("string",)), ("bytes", ("bytes", "byte")), ("bool", ("Bool", "true"))):
        if text in names:
            return kind
    return "vector" if text.startswith("Vector") else "object"


class Codec:
    """One schema: its parser and what the value builder needs to know."""

    def __init__(self, schema, standard=False):
        self.standard = standard
        self.parser = TLParser(schema, standard=standard)
        self.entries = schema["constructors"] + schema["methods"]
        self.by_type = {}
        for entry in self.entries:
            self.by_type.setdefault(entry["type"], []).append(entry)
        # Standard mode: the constructor of each bare type text.
        self.bare = {}
        if standard:
            for entry in schema["constructors"]:
                self.bare[entry["predicate"]] = entry
                if len(self.by_type[entry["type"]]) == 1:
                    self.bare["%" + entry["type"]] = entry
        # Entries that can be packed without nesting another object.
        self.leaves = [e for e in self.entries
                       if not any(kind_of(p["type"], standard) == "object" and "?" not in p["type"]
                                  for p in e["params"])]


CODECS = [Codec(schema, i in STANDARD_MODE) for i, schema in enumerate(SCHEMAS)]


# ---- odd values for mode 1 ---------------------------------------------------

class Text(str):
    pass


class Number(int):
    pass


class Items(list):
    pass


class Message(dict):
    pass


class Indexable:
    """Converts to an integer only through __index__."""

    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class Refusing:
    """Every conversion and truth test raises ValueError."""

    def _refuse(self, *args):
        raise ValueError("refused")

    __index__ = __int__ = __float__ = __bool__ = __iter__ = __len__ = _refuse


class Record:
    """A mapping that is not a dict: pack reaches it through get / in / []."""

    def __init__(self, items):
        self.items = dict(items)

    def get(self, key, default=None):
        return self.items.get(key, default)

    def __contains__(self, key):
        return key in self.items

    def __getitem__(self, key):
        return self.items[key]

    __iter__ = None  # not a sequence: [] is for keys only


class Reentrant:
    """Calls pack on the parser that is converting it (which must refuse)."""

    def __init__(self, parser):
        self.parser = parser

    def __index__(self):
        self.parser.pack({"_": "point"})
        return 0

    __float__ = __index__


class Shrinker:
    """An element that empties its own list while being converted."""

    def __init__(self, items):
        self.items = items

    def _shrink(self, *args):
        self.items.clear()
        return 0

    __index__ = __float__ = __bool__ = _shrink


ODD = [None, 0, -1, 2**31, 2**32, -2**31 - 1, 2**63, 2**64, -2**64, 10**30, 3.9, -0.0,
       float("nan"), float("inf"), True, False, "", "x", "\ud800", "a\x00b", b"", b"\xff",
       [], (), {}, {1, 2}, {"_": ""}, {"_": b"point"}, {"_": "unknown"}, {"_": None}, {"_": "\ud800"},
       {"_": "point\x00tail"}, bytearray(b"ab"), memoryview(b"ab"), object(), Text("t"), Number(7),
       Items([1]), Indexable(5), Indexable(2**40), Refusing(), {"_": Text("point")}]


def same(a, b):
    """Exact equality of decoded values: types must match and floats compare
    by their bits (so NaN equals itself and -0.0 differs from 0.0). Iterative,
    as decoded values may nest as deep as the recursion limit allows."""
    todo = [(a, b)]
    while todo:
        x, y = todo.pop()
        if type(x) is not type(y):
            return False
        if type(x) is float:
            if struct.pack("<d", x) != struct.pack("<d", y):
                return False
        elif type(x) is dict:
            if list(x) != list(y):
                return False
            todo.extend((x[k], y[k]) for k in x)
        elif type(x) is list:
            if len(x) != len(y):
                return False
            todo.extend(zip(x, y))
        elif x != y:
            return False
    return True


class Builder:
    """Builds a value for mode 1 out of a FuzzedDataProvider."""

    def __init__(self, fdp, codec):
        self.fdp = fdp
        self.codec = codec
        self.hostile = False  # a value that re-enters or mutates may raise RuntimeError

    def pick(self, items):
        return items[self.fdp.ConsumeIntInRange(0, len(items) - 1)]

    def length(self):
        n = self.fdp.ConsumeIntInRange(0, 255)
        return n if n < 250 else self.fdp.ConsumeIntInRange(250, 70000)

    def object(self, entry, depth):
        value = {"_": entry["predicate"] if "predicate" in entry else entry["method"]}
        for param in entry["params"]:
            choice = self.fdp.ConsumeIntInRange(0, 15)
            if choice == 0:
                continue  # missing: default, or absent when conditional
            if choice == 1 and "?" in param["type"]:
                value[param["name"]] = None
                continue
            value[param["name"]] = self.value(param["type"], depth)
        if self.fdp.ConsumeIntInRange(0, 31) == 0:
            value["flags"] = self.fdp.ConsumeIntInRange(0, 2**32 - 1)  # ignored by pack
        wrap = self.fdp.ConsumeIntInRange(0, 31)
        if wrap == 0:
            return Record(value)
        if wrap == 1:
            return Message(value)
        return value

    def nested(self, type_name, depth):
        bare = self.codec.bare.get(type_name)
        if bare is not None:
            value = self.object(bare, depth + 1)
            if self.fdp.ConsumeIntInRange(0, 3) == 0 and isinstance(value, dict):
                del value["_"]  # a bare value may leave its constructor out
            return value
        if depth >= MAX_DEPTH:
            return self.object(self.pick(self.codec.leaves), depth + 1)
        candidates = self.codec.by_type.get(type_name) or self.codec.entries
        if self.fdp.ConsumeIntInRange(0, 7) == 0:
            candidates = self.codec.entries  # any constructor is a valid boxed object
        return self.object(self.pick(candidates), depth + 1)

    def chain(self):
        """A Node list as deep as the fuzzer likes, past the recursion limit too."""
        value = {"_": "node"}
        for i in range(self.fdp.ConsumeIntInRange(0, 1500)):
            value = {"_": "node", "value": i, "next": value}
        return value

    def value(self, type_text, depth):
        fdp = self.fdp
        odd = fdp.ConsumeIntInRange(0, 31)
        if odd == 0:
            return self.pick(ODD)
        if odd == 1:
            self.hostile = True
            return Reentrant(self.codec.parser)
        kind = kind_of(type_text, self.codec.standard)
        if kind in ("int128", "int256"):
            bits = int(kind[3:])
            return fdp.ConsumeIntInRange(-2**(bits - 1), 2**bits - 1)
        if kind == "int":
            return fdp.ConsumeIntInRange(-2**31, 2**32 - 1)
        if kind == "long":
            if self.codec.standard:
                return fdp.ConsumeIntInRange(-2**63, 2**64 - 1)
            return fdp.ConsumeIntInRange(0, 2**64 - 1)
        if kind == "double":
            return fdp.ConsumeFloat() if fdp.ConsumeBool() else float(fdp.ConsumeIntInRange(-2**53, 2**53))
        if kind == "string":
            n = self.length()
            text = fdp.ConsumeUnicodeNoSurrogates(min(n, 300))
            return text * (n // max(len(text), 1)) if n > 300 else text
        if kind == "bytes":
            n = self.length()
            data = fdp.ConsumeBytes(min(n, 300))
            return data * (n // max(len(data), 1)) if n > 300 else data
        if kind == "bool":
            return fdp.ConsumeBool()
        if kind == "vector":
            element = vector_element(type_text)
            count = fdp.ConsumeIntInRange(0, 6) if depth <= 2 * MAX_DEPTH else 0
            items = [self.value(element, depth + 1) for _ in range(count)]
            shape = fdp.ConsumeIntInRange(0, 15)
            if shape == 0:
                return tuple(items)
            if shape == 1:
                return (item for item in items)
            if shape == 2 and items:
                self.hostile = True
                items.append(Shrinker(items))
            return items
        if strip_condition(type_text) == "Node" and fdp.ConsumeIntInRange(0, 15) == 0:
            return self.chain()
        return self.nested(strip_condition(type_text), depth)


# ---- the two modes -----------------------------------------------------------

def without_lengths(value):
    """`value` without the bytes of service messages: a body that came
    inside gzip_packed is packed plainly, so its length changes."""
    if isinstance(value, list):
        return [without_lengths(item) for item in value]
    if not isinstance(value, dict):
        return value
    drop = value.get("_") == "message" and "body" in value and "seqno" in value
    return {key: without_lengths(item) for key, item in value.items() if not (drop and key == "bytes")}


def comparable(value, standard):
    if not standard:
        return value
    try:
        return without_lengths(value)
    except RecursionError:  # nested too deep to copy: compared as it is
        return value


def check_unpack(parser, data, standard=False):
    try:
        value = parser.unpack(data)
    except UNPACK_ERRORS:
        return
    if type(value) is not dict:
        raise Finding(f"unpack returned {type(value).__name__}")
    packed = parser.pack(value)
    try:
        again = parser.unpack(packed)
    except ValueError as exc:
        # Counts of elements that take no bytes are held to the input's size
        # (and 4 KiB more): the packed value may be shorter than the input
        # that carried them (trailing bytes, a gzip_packed part).
        if standard and str(exc).startswith("Invalid vector length: ") and "-" not in str(exc):
            return
        raise
    if not same(comparable(value, standard), comparable(again, standard)):
        raise Finding(f"pack/unpack changed the value:\n{value!r}\n{again!r}")
    if parser.pack(again) != packed:
        raise Finding("re-packing a decoded value changed its bytes")


def check_pack(codec, data):
    fdp = atheris.FuzzedDataProvider(data)
    builder = Builder(fdp, codec)
    entry = builder.pick(codec.entries)
    value = builder.object(entry, 0)
    parser = codec.parser
    try:
        packed = parser.pack(value)
    except PACK_ERRORS:
        return
    except RuntimeError:
        if builder.hostile:
            return
        raise
    if type(packed) is not bytes or len(packed) % 4:
        raise Finding(f"pack returned {type(packed).__name__} of length {len(packed)}")
    decoded = parser.unpack(packed)
    if parser.pack(decoded) != packed:
        raise Finding("unpack of packed bytes does not re-pack to the same bytes")


def TestOneInput(data):
    if not data:
        return
    codec = CODECS[(data[0] & 0x7F) % len(CODECS)]
    if data[0] & 0x80:
        check_pack(codec, data[1:])
    else:
        check_unpack(codec.parser, data[1:], codec.standard)


# ---- leak check ------------------------------------------------------------

def growth(data, warm, window, windows):
    """The least growth of traced memory over `windows` windows of runs."""
    for _ in range(warm):
        TestOneInput(data)
    gc.collect()
    sizes = [tracemalloc.get_traced_memory()[0]]
    for _ in range(windows):
        for _ in range(window):
            TestOneInput(data)
        gc.collect()
        sizes.append(tracemalloc.get_traced_memory()[0])
    return min(b - a for a, b in zip(sizes, sizes[1:]))


def leak_check(paths):
    """Runs each input again and again under tracemalloc. An input whose runs
    keep adding memory (16 bytes a run at least, window after window, once
    the interpreter's caches and free lists have settled, which can take
    a thousand runs) leaks. A cheap screen first, then a long
    confirmation of the inputs it flags."""
    files = []
    for path in paths:
        if os.path.isdir(path):
            files += sorted(os.path.join(path, name) for name in os.listdir(path))
        else:
            files.append(path)
    tracemalloc.start()
    leaky = 0
    for name in files:
        with open(name, "rb") as f:
            data = f.read()
        if growth(data, 5, 10, 2) < 16 * 10:
            continue
        per_window = growth(data, 1000, 250, 2)
        if per_window >= 16 * 250:
            leaky += 1
            print(f"LEAK: {name}: {per_window // 250} bytes a run", flush=True)
    print(f"leak check: {len(files)} inputs, {leaky} leaking", flush=True)
    return 1 if leaky else 0


def main():
    if sys.argv[1:2] == ["--leak-check"]:
        sys.exit(leak_check(sys.argv[2:]))
    atheris.Setup(sys.argv, TestOneInput)
    atheris.Fuzz()


if __name__ == "__main__":
    main()
