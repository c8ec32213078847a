"""Python code that turns against the codec while it runs, and input built to
make it allocate or recurse, must end in a clean exception or in the exact
result."""
import gc
import struct
import tracemalloc

import pytest

from Velta.tl import TLParser, TLSchemaCompiler

from wire import VECTOR_ID


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


# What an __index__ run in the middle of a pack does with the same parser,
# and what that inner call must give.
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


def test_nested_claimed_counts_allocate_no_more_than_the_input():
    # A tree whose every level claims as many children as the whole input
    # could hold: no level may set aside room for its claim.
    parser = TLParser({"constructors": [{"predicate": "node", "id": 1, "type": "Node",
                                         "params": [{"name": "children", "type": "Vector<Node>"}]}]})
    levels, tail = 150, 400_000
    total = 12 * levels + tail
    data = b"".join(struct.pack("<IIi", 1, VECTOR_ID, (total - 12 * (k + 1)) // 4) for k in range(levels))
    data += b"\0" * tail
    tracemalloc.start()
    try:
        with pytest.raises(ValueError, match="Unknown constructor ID: 0x00000000"):
            parser.unpack(data)
        peak = tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()
    assert peak < 4 * len(data)


def test_note_names_where_the_input_ran_out_not_later_reads():
    parser = TLParser({"constructors": [
        {"predicate": "s", "id": 1, "params": [{"name": "a", "type": "int"}, {"name": "b", "type": "string"}]},
        {"predicate": "v", "id": 2, "params": [{"name": "x", "type": "Vector<s>"}]}]})
    # Element 0's text claims 200 bytes; reading goes on from inside it.
    element = struct.pack("<Ii", 1, 5) + bytes([200]) + bytes.fromhex("01000000 05000000 01000000 07000000 00000000")
    with pytest.raises(RuntimeError, match="Parse error at position 37") as info:
        parser.unpack(struct.pack("<IIi", 2, VECTOR_ID, 3) + element)
    assert info.value.__notes__ == ["while unpacking v.x[0].b at byte 20"]
