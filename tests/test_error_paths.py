"""Failures inside nested values say where they happened; long byte strings
take the copy-once path of pack and must still land byte-exact."""
import pytest

from Velta.tl import TLParser

import tl_reference

SCHEMA = {"constructors": [
    {"id": 1, "predicate": "page", "params": [
        {"name": "flags", "type": "#"},
        {"name": "items", "type": "Vector<Item>"},
        {"name": "title", "type": "flags.0?string"}]},
    {"id": 2, "predicate": "item", "type": "Item", "params": [
        {"name": "flags", "type": "#"},
        {"name": "id", "type": "int"},
        {"name": "tags", "type": "flags.0?Vector<string>"},
        {"name": "child", "type": "flags.1?Item"}]},
]}


def item(id=1, **fields):
    return {"_": "item", "id": id, "tags": None, "child": None, **fields}


@pytest.fixture(scope="module")
def parser():
    return TLParser(SCHEMA)


@pytest.mark.parametrize("value, error, note", [
    ({"_": "page", "items": [item(), item(id="x")]}, TypeError, "while packing page.items[1].id"),
    ({"_": "page", "items": [item(child=item(tags=["a", 5]))]}, TypeError,
     "while packing page.items[0].child.tags[1]"),
    ({"_": "page", "items": [item(child={"_": "nope"})]}, ValueError, "while packing page.items[0].child"),
    ({"_": "page", "items": [], "title": b"t"}, TypeError, "while packing page.title"),
])
def test_pack_failure_names_the_field(parser, value, error, note):
    with pytest.raises(error) as info:
        parser.pack(value)
    assert info.value.__notes__ == [note]


def test_unpack_failure_names_the_field_and_offset(parser):
    data = parser.pack({"_": "page", "items": [item(), item(child=item(tags=["abc"]))]})
    # Cut inside the tag text, the first element of a vector at byte 52.
    with pytest.raises(RuntimeError, match="Parse error") as info:
        parser.unpack(data[:-2])
    assert info.value.__notes__ == ["while unpacking page.items[1].child.tags[0] at byte 60"]
    bad = bytearray(data)
    bad[40:44] = (9).to_bytes(4, "little")  # the constructor id of items[1].child
    with pytest.raises(ValueError, match="Unknown constructor ID: 0x00000009") as info:
        parser.unpack(bytes(bad))
    assert info.value.__notes__ == ["while unpacking page.items[1].child at byte 40"]


@pytest.mark.parametrize("call", ["pack-top", "unpack-top"])
def test_failures_of_the_whole_value_get_no_note(parser, call):
    with pytest.raises((ValueError, RuntimeError)) as info:
        parser.pack({"_": "nope"}) if call == "pack-top" else parser.unpack(b"\x01\x00")
    assert not hasattr(info.value, "__notes__")


def test_deep_failure_paths_are_shortened(parser):
    value = innermost = item(id="x")
    for _ in range(200):
        value = item(child=value)
    with pytest.raises(TypeError) as info:
        parser.pack({"_": "page", "items": [value]})
    (note,) = info.value.__notes__
    assert note.startswith("while packing page.items[0].child.child") and "..." in note
    assert note.endswith(".child.id") and len(note) < 400


LONG = 64 * 1024  # from this length on, pack copies byte strings only once
BLOB = {"constructors": [{"id": 7, "predicate": "blob", "params": [
    {"name": "flags", "type": "#"}, {"name": "head", "type": "bytes"}, {"name": "text", "type": "flags.0?string"},
    {"name": "parts", "type": "Vector<bytes>"}, {"name": "tail", "type": "int"}]}]}


@pytest.mark.parametrize("head", [0, 1, 3, LONG - 1, LONG, LONG + 1, LONG + 2, 300_001])
@pytest.mark.parametrize("text", [None, "é" * (LONG // 2 + 1), "x" * (LONG + 3)])
def test_long_byte_strings_land_byte_exact(head, text):
    value = {"_": "blob", "head": bytes(range(256)) * (head // 256) + b"h" * (head % 256), "text": text,
             "parts": [b"p" * LONG, b"q", b"r" * (LONG + 5)], "tail": 9}
    parser = TLParser(BLOB)
    data = parser.pack(value)
    assert data == tl_reference.TLParser(BLOB).pack(value)
    assert parser.unpack(data) == value
    assert parser.pack({"_": "blob"}) == bytes.fromhex("07000000" "00000000" "00000000" "15c4b51c00000000" "00000000")
