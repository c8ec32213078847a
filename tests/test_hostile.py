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
    # Element 0's text claims 200 bytes; nothing is read from inside it.
    element = struct.pack("<Ii", 1, 5) + bytes([200]) + bytes.fromhex("01000000 05000000 01000000 07000000 00000000")
    with pytest.raises(RuntimeError, match="Parse error at position 21") as info:
        parser.unpack(struct.pack("<IIi", 2, VECTOR_ID, 3) + element)
    assert info.value.__notes__ == ["while unpacking v.x[0].b at byte 20"]


PAGE = {"constructors": [
    {"predicate": "page", "id": 1, "type": "Page", "params": [{"name": "items", "type": "Vector<Item>"}]},
    {"predicate": "item", "id": 2, "type": "Item",
     "params": [{"name": "text", "type": "string"}, {"name": "n", "type": "int"}]}]}


@pytest.mark.parametrize("standard", [False, True])
def test_every_cut_of_a_message_is_a_parse_error(Parser, standard):
    # Text whose characters look like constructor ids: nothing after a short
    # read may be decoded from them.
    parser = Parser(PAGE, standard=standard)
    data = parser.pack({"_": "page", "items": [{"_": "item", "text": "x" * 200, "n": 5}] * 3})
    for cut in range(len(data)):
        for unpack, shift in ((parser.unpack, 0), (lambda b: parser.unpack_from(b"pad" + b, 3), 3)):
            with pytest.raises(RuntimeError) as info:
                unpack(data[:cut])
            assert str(info.value) == f"Parse error at position {first_short_read(cut) + shift}", cut


def first_short_read(cut):
    """Where the cursor stands after the first short read of PAGE's message
    cut at `cut`: a fixed-width read leaves it where it was, a string's stops
    past its length prefix."""
    if cut < 12:  # the id, the vector id, the count
        return cut - cut % 4
    start, into = cut - (cut - 12) % 212, (cut - 12) % 212  # item: id, text (1 + 200, padding cut off or not), n
    return start + (0 if into < 4 else 5 if 4 < into < 205 else 4 if into == 4 else 208)


@pytest.mark.parametrize("cut, note", [
    (300, "while unpacking page.items[1].text at byte 228"),
    (226, "while unpacking page.items[1] at byte 224"),
    (10, "while unpacking page.items at byte 4"),  # inside the count
    (6, "while unpacking page.items at byte 4"),   # inside the vector id
])
def test_short_input_note_is_the_path_of_the_short_read(cut, note):
    parser = TLParser(PAGE)
    data = parser.pack({"_": "page", "items": [{"_": "item", "text": "x" * 200, "n": 5}] * 3})
    with pytest.raises(RuntimeError) as info:
        parser.unpack(data[:cut])
    assert info.value.__notes__ == [note]
