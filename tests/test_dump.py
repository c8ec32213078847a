"""velta dump's reading of a message agrees with TLParser.unpack, shows every
byte, and marks where damaged bytes stop decoding."""
import functools
import gzip
import re
import struct
from pathlib import Path

import pytest

from Velta.dump import Layout, render, walk
from Velta.tl import TLParser

SCHEMAS = Path(__file__).resolve().parents[2] / "shared" / "schemas"


@functools.cache
def public_schema(name):
    if not (SCHEMAS / name).exists():
        pytest.skip(f"the public schema {SCHEMAS / name} is absent")
    from_tl = pytest.importorskip("Velta.schema").from_tl
    with pytest.warns() if name == "mtproto.tl" else _nothing():  # its explicit ids that disagree
        return from_tl((SCHEMAS / name).read_text(encoding="utf-8"))


class _nothing:
    def __enter__(self):
        return self

    def __exit__(self, *exc):
        return False


def sample(schema, standard):
    """A function building, for an entry, a value with every field given
    (nested three objects deep), as pack takes it in the mode."""
    by_type, named = {}, {}
    for entry in schema["constructors"]:
        by_type.setdefault(entry["type"], []).append(entry)
        named[entry["predicate"]] = entry
    scalars = {"int": -7 if standard else 7, "long": -2**40 if standard else 2**40, "double": -1.5,
               "string": "h\N{LATIN SMALL LETTER E WITH ACUTE}", "bytes": b"\x00\xff\x10", "Bool": False,
               "true": True, **({"int128": -5, "int256": 2**200} if standard else {})}

    def value(text, depth):
        kind = text.split("?", 1)[1] if "?" in text else text
        kind = kind[1:] if kind.startswith("%") else kind
        if kind in scalars:
            return scalars[kind]
        if kind.lower().startswith("vector<"):
            return [value(kind[7:-1], depth + 1), value(kind[7:-1], depth + 1)]
        if depth > 3:
            raise LookupError(kind)
        for entry in [named[kind]] if kind in named else by_type.get(kind, []):
            try:
                return obj(entry, depth + 1)
            except LookupError:
                continue
        raise LookupError(kind)

    def obj(entry, depth=0):
        out = {"_": entry.get("predicate", entry.get("method"))}
        for param in entry["params"]:
            if param["type"] == "#" or param["name"] in ("flags", "flags2"):
                continue
            try:
                out[param["name"]] = value(param["type"], depth)
            except LookupError:
                if "?" not in param["type"]:
                    raise
        return out
    return obj


def hex_shown(lines):
    """The bytes the listing shows for the message itself (not for inflated
    content), read back from its hex column."""
    shown = []
    for line in lines:
        found = re.match(r"(0x[0-9a-f]+)[ !] (.{0,35})", line)
        if found:
            shown.append(bytes.fromhex(found[2].replace(" ", "")))
    return b"".join(shown)


@pytest.mark.parametrize("standard", [False, True], ids=["designed", "standard"])
@pytest.mark.parametrize("name", ["api.tl", "mtproto.tl"])
def test_every_entry_of_a_public_schema_reads_as_unpack_reads_it(name, standard):
    schema = public_schema(name)
    parser, layout, build = TLParser(schema, standard=standard), Layout(schema, standard), sample(schema, standard)
    packed = 0
    for entry in schema["constructors"] + schema["methods"]:
        try:
            data = parser.pack(build(entry))
        except (LookupError, ValueError, TypeError, AttributeError):
            continue  # a type the builder cannot fill, or a shape only the other mode packs
        packed += 1
        dump = walk(layout, data)
        assert (dump.failure, dump.value, dump.end) == (None, parser.unpack(data), len(data)), entry
        assert b"".join(item.data for item in dump.items) == data  # every byte, once, in order
        if packed % 50 == 1:
            assert hex_shown(render(dump, data)) == data
    assert packed > 0.9 * len(schema["constructors"] + schema["methods"]) or name == "mtproto.tl" and packed > 40


USER = {"_": "user", "id": 5, "first_name": "Ann", "username": "ann", "access_hash": 77,
        "photo": {"_": "userProfilePhoto", "photo_id": 9, "dc_id": 2, "stripped_thumb": bytes(range(40))},
        "status": {"_": "userStatusOffline", "was_online": 1700000000},
        "usernames": [{"_": "username", "username": "ann", "active": True}], "premium": True}


@pytest.mark.parametrize("standard", [False, True], ids=["designed", "standard"])
@pytest.mark.parametrize("damage", ["cut", "unknown-id", "vector-id"])
def test_damaged_bytes_are_marked_where_unpack_fails(standard, damage):
    schema = public_schema("api.tl")
    parser, layout = TLParser(schema, standard=standard), Layout(schema, standard)
    data = parser.pack(USER)
    status = data.index(struct.pack("<I", 0x008C703F))  # userStatusOffline
    at = {"cut": len(data) - 10, "unknown-id": status, "vector-id": data.index(struct.pack("<I", 0x1CB5C415))}[damage]
    bad = data[:at] if damage == "cut" else data[:at] + b"\x78\x56\x34\x12" + data[at + 4:]
    with pytest.raises(Exception) as codec:
        parser.unpack(bad)
    dump = walk(layout, bad)
    assert dump.failure is not None
    noted = int(re.search(r"at byte (\d+)", "".join(codec.value.__notes__))[1])
    assert dump.failure.item.offset == (noted if damage != "cut" else at - at % 4 if at % 4 else at)
    lines = list(render(dump, bad, str(codec.value)))
    (marked,) = [line for line in lines if line.startswith(f"0x{dump.failure.item.offset:04x}!")]
    assert marked.endswith(f"<-- {codec.value}")
    assert hex_shown(lines) == bad  # what was read, the failing bytes, and what was not read


def test_standard_mode_details():
    """int128/int256, bare vectors of bare constructors, a string that is not
    UTF-8 (shown as bytes, where unpack fails) and gzip_packed content."""
    schema = public_schema("mtproto.tl")
    parser, layout = TLParser(schema, standard=True), Layout(schema, standard=True)
    salts = {"_": "future_salts", "req_msg_id": -1, "now": 3,
             "salts": [{"_": "future_salt", "valid_since": 1, "valid_until": 2, "salt": -3}] * 2}
    data = parser.pack(salts)
    dump = walk(layout, data)
    assert dump.value == parser.unpack(data)
    assert [item.value for item in dump.items if item.path == "future_salts.salts[1]"] == ["future_salt (bare)"]

    res_pq = parser.pack({"_": "resPQ", "nonce": -2**127, "server_nonce": 2**127 - 1, "pq": "x",
                          "server_public_key_fingerprints": [-1]}).replace(b"\x01x", b"\x01\xff")
    with pytest.raises(UnicodeDecodeError):
        parser.unpack(res_pq)
    dump = walk(layout, res_pq)
    assert dump.failure is None and dump.value["pq"] == b"\xff" and dump.value["nonce"] == -2**127
    assert [item.value for item in dump.items if item.path == "resPQ.pq"] == ["not UTF-8: ff"]

    inner = parser.pack({"_": "future_salt", "valid_since": 1, "valid_until": 2, "salt": 3})
    packed = gzip.compress(inner)
    assert len(packed) < 254
    data = struct.pack("<IB", 0x3072CFA1, len(packed)) + packed + bytes(-(len(packed) + 1) % 4)
    dump = walk(layout, data)
    assert dump.value == parser.unpack(data) and dump.end == len(data)
    assert b"".join(item.data for item in dump.items if item.depth == 1) == inner
    assert any(line.startswith("+0x0000") for line in render(dump, data))


@pytest.mark.parametrize("standard, mode, flags, shown", [
    # In the standard mode '#' fields are values: one that no condition uses
    # (a count, a mode) is a number; bits no field uses are marked.
    (True, 40, 1 << 9 | 1, ["40", "0x00000201 (bits 0, 9?)"]),
    # The default mode's words are computed; any other '#' field is an int.
    (False, 40, 1 << 9 | 1, ["40", "0x00000001 (bit 0)"]),
])
def test_hash_fields_show_as_the_mode_reads_them(standard, mode, flags, shown):
    from helpers import tl_schema
    schema = tl_schema("t#00000001 count:# flags:# x:flags.0?int = T;")
    parser, layout = TLParser(schema, standard=standard), Layout(schema, standard=standard)
    data = parser.pack({"_": "t", "count": mode, "flags": flags, "x": 5})
    dump = walk(layout, data)
    assert dump.value == parser.unpack(data)
    assert [item.value for item in dump.items if item.path in ("t.count", "t.flags")] == shown
