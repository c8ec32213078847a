"""Python code that turns against the codec while it runs, and input built to
make it allocate or recurse, must end in a clean exception or in the exact
result."""
import struct
import tracemalloc

import pytest

from Velta.tl import TLParser

from wire import VECTOR_ID


# What an __index__ run in the middle of a pack does with the same parser,
# and what that inner call must give.


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
