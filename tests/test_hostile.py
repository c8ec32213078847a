"""Python code that turns against the codec while it runs, and input built to
make it allocate or recurse, must end in a clean exception."""
import gc
import struct
import tracemalloc

import pytest

from Velta.tl import TLParser, TLSchemaCompiler

VECTOR_ID = 0x1CB5C415


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


def test_finaliser_run_by_pack_cannot_reuse_the_parser():
    parser = TLParser({"constructors": [{"predicate": "m", "id": 1, "params": [
        {"name": "b", "type": "bytes"}, {"name": "i", "type": "int"}]}]})
    inner = []

    class Payload(bytes):
        def __del__(self):
            try:
                inner.append(parser.pack({"_": "m", "i": 1}))
            except RuntimeError as exc:
                inner.append(exc)

    class DropsThePayload:
        def __index__(self):
            del value["b"]  # the packer now holds the last reference
            return 5

    value = {"_": "m", "b": Payload(b"x" * 70_000), "i": DropsThePayload()}
    data = parser.pack(value)
    assert data == b"\x01\x00\x00\x00\xfe\x70\x11\x01" + b"x" * 70_000 + b"\x05\x00\x00\x00"
    assert len(inner) == 1 and isinstance(inner[0], RuntimeError)
    assert parser.pack({"_": "m", "i": 1}) == bytes.fromhex("01000000 00000000 01000000")


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
