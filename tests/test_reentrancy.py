"""Re-entrancy: interpreter code that runs inside a call (a mapping's get, an
__index__, a finaliser, a generator) may use the same parser or compiler
again. Each call has its own state, so both calls give their full, exact
results, or the inner one is refused cleanly."""
import gc
import struct

import pytest

from Velta import tl
from Velta.tl import TLParser, TLSchemaCompiler

from codec_schema import SCHEMA, W, msg
from wire import VECTOR_ID, VECTOR_ID as VEC, u32, u64 as i64


def test_the_compiler_of_a_parser_cannot_be_recompiled():
    parser = TLParser({"constructors": [{"predicate": "a", "id": 1, "params": [{"name": "x", "type": "int"}]}]})
    data = parser.pack({"_": "a", "x": 3})
    (compiler,) = [o for o in gc.get_referents(parser) if isinstance(o, TLSchemaCompiler)]
    with pytest.raises(RuntimeError, match="in use"):
        compiler.compile({"constructors": []})
    assert parser.pack({"_": "a", "x": 3}) == data and parser.unpack(data) == {"_": "a", "x": 3}


def test_compile_cannot_restart_itself():
    compiler = TLSchemaCompiler()

    class Id:
        def __int__(self):
            compiler.compile({"constructors": []})

    with pytest.raises(RuntimeError, match="while this compiler is compiling"):
        compiler.compile({"constructors": [{"predicate": "a", "id": Id()}]})
    compiler.compile({"constructors": [{"predicate": "a", "id": 1}]})  # still usable


# --- the same parser inside pack ---------------------------------------------

M_SCHEMA = {"constructors": [
    {"predicate": "m", "id": 1, "type": "M", "params": [{"name": "b", "type": "bytes"}, {"name": "i", "type": "int"}]},
    {"predicate": "box", "id": 2, "type": "Box", "params": [{"name": "items", "type": "Vector<M>"}]}]}


def m_wire(payload, i):
    """The bytes of {"_": "m", "b": payload, "i": i} (payload longer than 253)."""
    return struct.pack("<IB", 1, 254) + len(payload).to_bytes(3, "little") + payload + \
        b"\0" * (-(len(payload) + 4) % 4) + struct.pack("<I", i)


def test_finaliser_run_by_pack_can_use_the_parser():
    parser = TLParser(M_SCHEMA)
    inner = []

    class Payload(bytes):
        def __del__(self):
            inner.append(parser.pack({"_": "m", "b": b"y" * 300, "i": 1}))
            inner.append(parser.unpack(inner[-1]))

    class DropsThePayload:
        def __index__(self):
            del value["b"]  # the packer now holds the last reference
            return 5

    value = {"_": "m", "b": Payload(b"x" * 70_000), "i": DropsThePayload()}
    assert parser.pack(value) == m_wire(b"x" * 70_000, 5)
    assert inner == [m_wire(b"y" * 300, 1), {"_": "m", "b": b"y" * 300, "i": 1}]
    assert parser.pack({"_": "m", "i": 1}) == bytes.fromhex("01000000 00000000 01000000")


INNER_CALLS = {
    "pack": (lambda p: p.pack({"_": "m", "b": b"y" * 90_000, "i": 2}), m_wire(b"y" * 90_000, 2)),
    "unpack": (lambda p: p.unpack(m_wire(b"z" * 300, 3)), {"_": "m", "b": b"z" * 300, "i": 3}),
    "nested pack": (lambda p: p.pack({"_": "box", "items": [{"_": "m", "b": b"w" * 300, "i": Inner(p)}] * 2}),
                    struct.pack("<III", 2, VECTOR_ID, 2) + m_wire(b"w" * 300, 4) * 2),
    "failing pack": (lambda p: p.pack({"_": "m", "i": 2**40}), OverflowError),
}


class Inner:
    """An int field that, when read, packs once more with the same parser."""

    def __init__(self, parser):
        self.parser = parser

    def __index__(self):
        assert self.parser.pack({"_": "m", "b": b"v" * 300, "i": 6}) == m_wire(b"v" * 300, 6)
        return 4


@pytest.mark.parametrize("inner", INNER_CALLS)
@pytest.mark.parametrize("where", ["first", "every"])
def test_index_using_the_same_parser_gives_both_results(inner, where):
    parser = TLParser(M_SCHEMA)
    call, want = INNER_CALLS[inner]
    got = []

    class Reenters:
        def __index__(self):
            if where == "every" or not got:
                try:
                    got.append(call(parser))
                except Exception as e:
                    got.append(type(e))
            return 5

    items = [{"_": "m", "b": bytes([65 + k]) * (70_000 + k), "i": Reenters()} for k in range(3)]
    assert parser.pack({"_": "box", "items": items}) == \
        struct.pack("<III", 2, VECTOR_ID, 3) + b"".join(m_wire(bytes([65 + k]) * (70_000 + k), 5) for k in range(3))
    assert got == [want] * (3 if where == "every" else 1)


def _hooked(where, hook):
    """A value whose packing runs hook() at `where`, and its expected bytes."""
    class D(dict):
        def get(self, *args):
            if where == "get":
                hook()
            return dict.get(self, *args)

        def __getitem__(self, key):
            if where == "getitem":
                hook()
            return dict.__getitem__(self, key)

    class F:
        def __float__(self):
            hook()
            return 2.0

    def gen():
        hook()
        yield from (1, 2)
    return {"get": (D(_="t_int", x=5), msg("t_int", u32(5))),
            "getitem": (D(_="t_int", x=5), msg("t_int", u32(5))),
            "float": (W("double", F()), msg("t_double", i64(1 << 62))),
            "generator": (W("vint", gen()), msg("t_vint", u32(VEC, 2, 1, 2)))}[where]


@pytest.mark.parametrize("where", ["get", "getitem", "float", "generator"])
@pytest.mark.parametrize("inner", ["pack", "unpack", "other parser"])
def test_reentrant_use_gives_both_results(where, inner):
    """Interpreter code that runs inside a call may use the same parser: each
    call has its own state, so both give their full, exact results."""
    p, other = tl.TLParser(SCHEMA), tl.TLParser(SCHEMA)
    inner_results = []
    calls = {"pack": lambda: p.pack(W("bytes", b"z" * 5000)),
             "unpack": lambda: p.unpack(msg("t_vint", u32(VEC, 2, 8, 9))),
             "other parser": lambda: other.unpack(other.pack(W("int", 9)))}
    expected = {"pack": msg("t_bytes", b"\xfe\x88\x13\x00" + b"z" * 5000),
                "unpack": {"_": "t_vint", "x": [8, 9]}, "other parser": {"_": "t_int", "x": 9}}
    value, wire = _hooked(where, lambda: inner_results.append(calls[inner]()))
    assert p.pack(value) == wire
    assert inner_results == [expected[inner]]
    assert p.unpack(wire) == other.unpack(wire)
