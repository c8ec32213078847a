"""Repeated compile, pack and unpack, on success and on every kind of failure,
must not grow Python memory, native memory or the reference counts of the
objects that pass through the codec."""
import gc
import json
import os
import sys
import sysconfig
import tracemalloc

import pytest

from Velta import tl
from Velta.tl import TLParser, TLSchemaCompiler

import memory
from wire import u32

pytestmark = pytest.mark.leak


FIELD, CNAME = "".join("payload"), "".join("msg")  # str objects nobody else holds
PARAMS = [("flags", "#"), (FIELD, "bytes"), ("n", "int"), ("l", "long"), ("d", "double"),
          ("s", "string"), ("v", "Vector<bytes>"), ("o", "flags.0?Msg"), ("t", "flags.1?true")]
MSG = {"predicate": CNAME, "id": 0x7A110001, "type": "Msg",
       "params": [{"name": n, "type": t} for n, t in PARAMS]}
SCHEMA = {"constructors": [MSG, {"predicate": "node", "id": 0x7A110002, "type": "Node", "params": [
    {"name": "flags", "type": "#"}, {"name": "next", "type": "flags.0?Node"}]}]}
TEXT = json.dumps(SCHEMA)
PAYLOAD, WORDS, BIG, LONG = b"p" * 300, "".join("\u00e9t\u00e9 " * 20), 70000, 2**40 + 1
INNER = {"_": CNAME, FIELD: PAYLOAD, "n": BIG}
VALUE = {"_": CNAME, FIELD: PAYLOAD, "n": BIG, "l": LONG, "d": 2.5, "s": WORDS,
         "v": [PAYLOAD, PAYLOAD], "o": INNER, "t": True}
P = TLParser(SCHEMA)
WIRE = P.pack(VALUE)
SEEN_FIELD = next(k for k in P.unpack(WIRE) if k == FIELD)  # the key object the parser uses
ID, VEC2, UNKNOWN = WIRE[:4], b"\x15\xc4\xb5\x1c\x02\x00\x00\x00", b"\x05\x00\x00\x00"
# The standard mode's own paths: a '#' value, an int256 as bytes, a bytes
# field holding the object it carries.
STD_SCHEMA = {"constructors": [*SCHEMA["constructors"], {"predicate": "wrap", "id": 0x7A110003, "type": "Wrap",
              "params": [{"name": "mode", "type": "#"}, {"name": "h", "type": "int256"},
                         {"name": "data", "type": "bytes"}, {"name": "x", "type": "mode.0?int"}]}]}
S = TLParser(STD_SCHEMA, standard=True, wide_ints="bytes")
STD_VALUE = {"_": "wrap", "mode": 6, "h": PAYLOAD[:32], "data": VALUE, "x": BIG}
STD_WIRE = S.pack(STD_VALUE)
CYCLE = {"_": "node"}
CYCLE["next"] = CYCLE
# Deep enough to reach the bound on any stack: from 3.14 on, C recursion is
# bounded by the real stack (tens of thousands of levels), not by a count.
DEEP = b"\x02\x00\x11\x7a\x01\x00\x00\x00" * 1_000_000


class Hooked(dict):  # a value whose get() first runs `hook`
    def __init__(self, hook):
        super().__init__(VALUE)
        self.hook = hook

    def get(self, *args):
        self.hook()
        return dict.get(self, *args)


def compile_with(**entry):
    return lambda: TLSchemaCompiler().compile({"constructors": [MSG, {"id": 1, **entry}]})


PACK_ERRORS = {  # field overrides on VALUE and the exception they cause
    "unknown": ({"_": "".join("nope")}, ValueError), "no-name": ({"_": None}, ValueError),
    "name-type": ({"_": PAYLOAD}, TypeError), "int-range": ({"n": 2**33}, OverflowError),
    "negative-long": ({"l": -LONG}, OverflowError), "bytes-type": ({FIELD: WORDS}, TypeError),
    "surrogate": ({"s": "a\ud800"}, UnicodeEncodeError), "element": ({"v": [PAYLOAD, 1]}, TypeError),
    "not-iterable": ({"v": BIG}, TypeError), "nested": ({"o": {**INNER, "n": -2**40}}, OverflowError),
}
UNPACK_ERRORS = {  # input and the exception it causes
    "short": (WIRE[:200], RuntimeError), "unknown": (UNKNOWN, ValueError),
    "nested-unknown": (ID + WIRE[4:].replace(ID, UNKNOWN), ValueError),
    "vector-id": (WIRE.replace(VEC2, UNKNOWN * 2), ValueError),
    "vector-length": (WIRE.replace(VEC2, VEC2[:4] + b"\xff" * 4), ValueError),
    "vector-huge": (WIRE.replace(VEC2, VEC2[:4] + b"\xff\xff\xff\x7f"), RuntimeError),
    "utf8": (WIRE.replace("\u00e9".encode(), b"\xff\xfe"), UnicodeDecodeError),
    "recursion": (DEEP, RecursionError), "arg-type": (bytearray(WIRE), TypeError),
}
STRICT = TLParser(SCHEMA, strict=True)
FULL = {**VALUE, "o": {**INNER, "l": LONG, "d": 2.5, "s": WORDS, "v": []}}  # every field given
STRICT_REFUSED = {  # values strict=True refuses
    "unknown-key": {**FULL, "".join("zz"): PAYLOAD}, "non-str-key": {**FULL, BIG: PAYLOAD},
    "missing": {k: v for k, v in FULL.items() if k != "n"}, "bit": {**FULL, "t": PAYLOAD},
    "nested": {**FULL, "o": {**FULL["o"], "q": WORDS}}, "flags-then-unknown": {**FULL, "flags": 0, "zz": 1},
}
CASES = {  # name: (one call, the exception it must raise or None)
    "compile": (lambda: TLSchemaCompiler().compile(SCHEMA), None),
    "compile-text": (lambda: TLSchemaCompiler().compile(TEXT), None),
    "compile-bad-json": (lambda: TLSchemaCompiler().compile(TEXT[:-1]), ValueError),
    "compile-not-dict": (lambda: TLSchemaCompiler().compile([SCHEMA]), TypeError),
    "compile-bad-entry": (lambda: TLSchemaCompiler().compile({"methods": [MSG, []]}), TypeError),
    "compile-bad-param": (compile_with(params=[{"name": FIELD, "type": "int"}, {"name": "z"}]),
                          KeyError),
    "compile-bad-flag": (compile_with(params=[{"name": FIELD, "type": "flags.x?int"}]), ValueError),
    "compile-bad-id": (compile_with(predicate="x", id=2**40), OverflowError),
    "parser": (lambda: TLParser(SCHEMA).pack(VALUE), None),
    "parser-bad-schema": (lambda: TLParser({"constructors": [MSG, {"params": None}]}), TypeError),
    "pack": (lambda: P.pack(VALUE), None),
    **{"pack-" + k: ((lambda c=c: P.pack({**VALUE, **c})), e) for k, (c, e) in PACK_ERRORS.items()},
    "pack-get-raises": (lambda: P.pack(Hooked(lambda: {}[FIELD])), KeyError),
    "pack-recursion": (lambda: P.pack(CYCLE), RecursionError),
    # the same parser used again from inside a running pack
    "pack-reentrant-pack": (lambda: P.pack(Hooked(lambda: P.pack(VALUE))), None),
    "pack-reentrant-unpack": (lambda: P.pack(Hooked(lambda: P.unpack(WIRE))), None),
    "pack-reentrant-fails": (lambda: P.pack(Hooked(lambda: P.pack({**VALUE, "n": -1 << 40}))),
                             OverflowError),
    "std-pack": (lambda: S.pack(STD_VALUE), None),
    "std-pack-buffer": (lambda: S.pack({**STD_VALUE, "data": bytearray(PAYLOAD), "h": memoryview(PAYLOAD[:32])}), None),
    "std-pack-nested-fails": (lambda: S.pack({**STD_VALUE, "data": {**VALUE, "n": -2**40}}), OverflowError),
    "std-pack-wide-width": (lambda: S.pack({**STD_VALUE, "h": PAYLOAD}), ValueError),
    "std-pack-word-type": (lambda: S.pack({**STD_VALUE, "mode": WORDS}), TypeError),
    "std-unpack": (lambda: S.unpack(STD_WIRE), None),
    # strict=True: accepted, and each kind of refusal (the checks hold references of their own)
    "strict-pack": (lambda: STRICT.pack(FULL), None),
    **{"strict-" + k: ((lambda v=v: STRICT.pack(v)), ValueError) for k, v in STRICT_REFUSED.items()},
    "unpack": (lambda: P.unpack(WIRE), None),
    **{"unpack-" + k: ((lambda d=d: P.unpack(d)), e) for k, (d, e) in UNPACK_ERRORS.items()},
}
SHARED = ("_", None, True, False)
TRACKED = memory.mortal([FIELD, SEEN_FIELD, CNAME, PAYLOAD, WORDS, BIG, LONG, INNER, VALUE, WIRE,
                         VALUE["v"], SCHEMA, TEXT, CYCLE, DEEP, P, S, STRICT, STD_VALUE, STD_WIRE, *SHARED])


def measure():
    gc.collect()
    # Large blocks are interpreter tables rebuilt whole; their old block predates tracing.
    python = sum(t.size for t in tracemalloc.take_snapshot().traces if t.size < 1 << 16)
    heap = memory.c_heap() - tracemalloc.get_tracemalloc_memory()
    return [python, heap, memory.resident(), *memory.refcounts(TRACKED)]


def churn(op, exc, rounds):
    for _ in range(rounds):
        try:
            op()
        except exc or ():
            continue
        assert exc is None, f"no {exc.__name__} raised"


@pytest.mark.parametrize("case", CASES)
def test_repeated_calls_keep_memory_and_refcounts_flat(case):
    op, exc = CASES[case]
    rounds = 5 if "recursion" in case else 1000  # up to 100,000s of nesting levels per deep call
    tracemalloc.start()
    try:
        churn(op, exc, rounds // 5)  # free lists, caches and the parser buffer settle
        marks = [measure()]
        for _ in range(2):
            churn(op, exc, rounds)
            marks.append(measure())
    finally:
        tracemalloc.stop()
    # A leak grows in both windows; a cache or table that settles does so in one.
    # The interpreter's own caches may also let go of the shared singletons.
    first, second = ([n - m for m, n in zip(a, b)] for a, b in zip(marks, marks[1:]))
    python, heap, resident = (min(pair, key=abs) for pair in zip(first[:3], second[:3]))
    grown = [(repr(o)[:30], a, b) for o, a, b in zip(TRACKED, first[3:], second[3:])
             if (min(a, b) > 0 if any(o is s for s in SHARED) else a and b)]
    assert not grown, f"reference counts changed in both windows of {rounds} calls: {grown}"
    limit = 8 * rounds + 2048  # bytes; one leaked object per call takes 16 or more
    assert python < limit, f"Python memory grew {python} B in {rounds} calls"
    if not os.environ.get("VELTA_SANITIZED"):  # quarantine keeps freed blocks resident
        assert heap < limit, f"C heap grew {heap} B in {rounds} calls"
        # The free-threaded build's allocator keeps the pages of freed objects
        # for a while (deep calls free hundreds of thousands of frames'
        # worth): there, the Python and C heap figures above have to do.
        if not sysconfig.get_config_var("Py_GIL_DISABLED"):
            assert resident <= 4 << 20, f"RSS grew {resident} B in {rounds} calls"


# --- reference counts over calls that fail and succeed ----------------------

def test_refcounts_stay_flat():
    name = "".join(["pay", "load"])  # not interned: only the schema and our dicts hold it
    payload = b"p" * 300
    p = tl.TLParser({"methods": [], "constructors": [
        {"predicate": "rc", "id": 0x5150, "type": "Rc", "params": [
            {"name": name, "type": "bytes"}, {"name": "n", "type": "int"},
            {"name": "v", "type": "Vector<bytes>"}]},
        {"predicate": "cyc", "id": 0x5151, "type": "Cyc",
         "params": [{"name": "o", "type": "Cyc"}]}]})
    good = {"_": "rc", name: payload, "n": 1, "v": [payload, payload]}
    cycle = {"_": "cyc"}
    cycle["o"] = cycle
    bad = [cycle, {"_": "rc", name: payload, "n": 2**40}, {"_": "rc", name: bytearray(payload)},
           {"_": "rc", name: payload, "v": [payload, "s"]}, {"_": "nope", name: payload}]
    wire = p.pack(good)
    inputs = [wire[:-3], bytearray(wire), u32(0x5150, 0, 1, 10), u32(0x5151) * 100000]

    def churn():
        for _ in range(30):
            assert p.unpack(p.pack(good))[name] == payload
            for value in bad:
                with pytest.raises(Exception):
                    p.pack(value)
            for data in inputs:
                with pytest.raises(Exception):
                    p.unpack(data)

    tracked = [good, name, payload, *bad]
    churn()
    gc.collect()
    before = [sys.getrefcount(o) for o in tracked]
    churn()
    gc.collect()
    assert [sys.getrefcount(o) for o in tracked] == before
