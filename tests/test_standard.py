"""The standard TL mode (TLParser(schema, standard=True)):
bytes written out by hand from the public TL rules, the public schemas, the
errors the mode adds, and the default mode left as it was."""

import gzip
import json
import random
import subprocess
import sys
import time
import warnings
import zlib
from pathlib import Path

import pytest

from Velta import tl
from Velta.schema import from_tl

import tl_reference
from helpers import convert, raises, tl_schema
from wire import VECTOR, tl_bytes, u32, u64

SCHEMAS = Path(__file__).resolve().parents[2] / "shared" / "schemas"
BOOL_TRUE, BOOL_FALSE = bytes.fromhex("b5757299"), bytes.fromhex("379779bc")
GZIP_PACKED = 0x3072CFA1
# The service-layer lines that the published mtproto.tl leaves commented out.
SERVICE_LINES = """
---types---
message msg_id:long seqno:int bytes:int body:Object = Message;
msg_container#73f1f8dc messages:vector<message> = MessageContainer;
rpc_result#f35c6d01 req_msg_id:long result:Object = RpcResult;
gzip_packed#3072cfa1 packed_data:bytes = Object;
"""


def schema_text(path):
    if not path.exists():
        pytest.skip(f"{path} is not available")
    return path.read_text(encoding="utf-8")


@pytest.fixture(scope="module")
def api_schema():
    return convert(schema_text(SCHEMAS / "api.tl"))


@pytest.fixture(scope="module")
def mtproto_schema():
    return convert(schema_text(SCHEMAS / "mtproto.tl") + SERVICE_LINES)


# ---------------------------------------------------------------- the switch

def test_standard_is_keyword_only_and_read_by_truth():
    schema = tl_schema("x#00000001 b:Bool = X;")
    with pytest.raises(TypeError, match=r"takes exactly 1 positional argument \(2 given\)"):
        tl.TLParser(schema, True)
    for flag, wire in ((1, BOOL_TRUE), ("yes", BOOL_TRUE), (0, u32(1)), (None, u32(1)), (False, u32(1))):
        assert tl.TLParser(schema, standard=flag).pack({"_": "x", "b": True}) == u32(1) + wire


# ------------------------------------------------- known answers, public rules

def test_account_update_status_takes_a_boxed_bool(Parser, api_schema):
    # account.updateStatus#6628562c offline:Bool = Bool;
    parser = Parser(api_schema, standard=True)
    head = bytes.fromhex("2c562866")
    for offline, wire in ((False, BOOL_FALSE), (True, BOOL_TRUE)):
        data = parser.pack({"_": "account.updateStatus", "offline": offline})
        assert data == head + wire
        assert parser.unpack(data) == {"_": "account.updateStatus", "offline": offline}
    # The method's result is a Bool: a bare boxed Bool object reads by its id.
    assert parser.unpack(BOOL_TRUE) == {"_": "boolTrue"}
    # The default mode writes a bare 32-bit 1/0, as designed.
    assert Parser(api_schema).pack({"_": "account.updateStatus", "offline": True}) == head + u32(1)


@pytest.mark.parametrize("value, flags, tail", [
    ({"show_previews": False}, 1 << 0, BOOL_FALSE),
    ({"show_previews": True}, 1 << 0, BOOL_TRUE),
    ({"silent": False, "mute_until": -1}, 1 << 1 | 1 << 2, BOOL_FALSE + u32(0xFFFFFFFF)),
    ({"show_previews": None, "stories_muted": True}, 1 << 6, BOOL_TRUE),
    ({}, 0, b""),
])
def test_flags_bool_carries_its_value(Parser, api_schema, value, flags, tail):
    # inputPeerNotifySettings#cacb6ae2 flags:# show_previews:flags.0?Bool silent:flags.1?Bool
    #   mute_until:flags.2?int sound:flags.3?NotificationSound stories_muted:flags.6?Bool ...
    parser = Parser(api_schema, standard=True)
    data = parser.pack({"_": "inputPeerNotifySettings", **value})
    assert data == bytes.fromhex("e26acbca") + u32(flags) + tail
    back = parser.unpack(data)
    for key in ("show_previews", "silent", "mute_until", "sound", "stories_muted", "stories_hide_sender"):
        assert back[key] == value.get(key)
    assert back["flags"] == flags  # the word is a value too


def test_flags_bool_is_only_a_bit_in_the_default_mode(Parser, api_schema):
    parser = Parser(api_schema)
    data = parser.pack({"_": "inputPeerNotifySettings", "show_previews": False, "silent": True})
    assert data == bytes.fromhex("e26acbca") + u32(1 << 1)
    assert parser.unpack(data)["show_previews"] is False


@pytest.mark.parametrize("standard, back_int, back_long", [(True, -1, -1), (False, 2**32 - 1, 2**64 - 1)])
def test_minus_one_in_int_and_long(Parser, mtproto_schema, standard, back_int, back_long):
    # rpc_answer_dropped#a43ad8b7 msg_id:long seq_no:int bytes:int = RpcDropAnswer;
    parser = Parser(mtproto_schema, standard=standard)
    wire = bytes.fromhex("b7d83aa4") + b"\xff" * 8 + b"\xff" * 4 + u32(7)
    assert parser.unpack(wire) == {"_": "rpc_answer_dropped", "msg_id": back_long, "seq_no": back_int,
                                   "bytes": 7}
    assert parser.pack({"_": "rpc_answer_dropped", "msg_id": back_long, "seq_no": back_int,
                        "bytes": 7}) == wire
    if standard:
        assert parser.pack({"_": "rpc_answer_dropped", "msg_id": -1, "seq_no": -1, "bytes": 7}) == wire


def test_req_pq_multi_nonce(Parser, mtproto_schema):
    # req_pq_multi#be7e8ef1 nonce:int128 = ResPQ;
    nonce = bytes(range(0x3E, 0x4E))
    value = int.from_bytes(nonce, "little", signed=True)
    wire = bytes.fromhex("f18e7ebe") + nonce
    parser = Parser(mtproto_schema, standard=True)
    assert parser.pack({"_": "req_pq_multi", "nonce": value}) == wire
    assert parser.pack({"_": "req_pq_multi", "nonce": int.from_bytes(nonce, "little")}) == wire
    assert parser.unpack(wire) == {"_": "req_pq_multi", "nonce": value}


def test_res_pq_answer(Parser, mtproto_schema):
    # resPQ#05162463 nonce:int128 server_nonce:int128 pq:string
    #   server_public_key_fingerprints:Vector<long> = ResPQ;
    wire = (bytes.fromhex("63241605") + b"\x01" * 16 + b"\xff" * 16 + tl_bytes(b"\x17\x3d\x48\x14\x1a\x08\x79\x01")
            + VECTOR + u32(1) + u64(0xC3B42B026CE86B21))
    back = Parser(mtproto_schema, standard=True).unpack(wire)
    assert back["nonce"] == int.from_bytes(b"\x01" * 16, "little") and back["server_nonce"] == -1
    assert back["server_public_key_fingerprints"] == [0xC3B42B026CE86B21 - 2**64]


def container_bytes():
    ping = bytes.fromhex("ec77be7a") + u64(0x1122334455667788)
    ack = bytes.fromhex("59b4d662") + VECTOR + u32(2) + u64(10, 11)
    return (bytes.fromhex("dcf8f173") + u32(2)
            + u64(0x5E0B700A00000004) + u32(1) + u32(len(ping)) + ping
            + u64(0x5E0B700A00000008) + u32(3) + u32(len(ack)) + ack)


def test_msg_container_of_two_messages(Parser, mtproto_schema):
    # msg_container#73f1f8dc messages:vector<message> = MessageContainer;
    # message msg_id:long seqno:int bytes:int body:Object = Message;  (bare: no id on the wire)
    parser = Parser(mtproto_schema, standard=True)
    value = {"_": "msg_container", "messages": [
        {"_": "message", "msg_id": 0x5E0B700A00000004, "seqno": 1, "bytes": 12,
         "body": {"_": "ping", "ping_id": 0x1122334455667788}},
        {"_": "message", "msg_id": 0x5E0B700A00000008, "seqno": 3, "bytes": 28,
         "body": {"_": "msgs_ack", "msg_ids": [10, 11]}},
    ]}
    assert parser.unpack(container_bytes()) == value
    assert parser.pack(value) == container_bytes()
    for message in value["messages"]:  # "_" may be left out of a bare value
        del message["_"]
    assert parser.pack(value) == container_bytes()


def test_future_salts_bare_vector_of_a_bare_constructor(Parser, mtproto_schema):
    # future_salts#ae500895 req_msg_id:long now:int salts:vector<future_salt> = FutureSalts;
    parser = Parser(mtproto_schema, standard=True)
    salts = [{"_": "future_salt", "valid_since": 100, "valid_until": 200, "salt": -5}]
    wire = bytes.fromhex("950850ae") + u64(9) + u32(7) + u32(1) + u32(100, 200) + u64(-5)
    assert parser.pack({"_": "future_salts", "req_msg_id": 9, "now": 7, "salts": salts}) == wire
    assert parser.unpack(wire)["salts"] == salts


def gzip_rpc_result(inner):
    return bytes.fromhex("016d5cf3") + u64(77) + u32(GZIP_PACKED) + tl_bytes(gzip.compress(inner))


def test_gzip_packed_rpc_result(Parser, mtproto_schema):
    # rpc_result#f35c6d01 req_msg_id:long result:Object, the result sent as gzip_packed
    inner = bytes.fromhex("c5737734") + u64(5) + u64(6)  # pong#347773c5 msg_id:long ping_id:long
    wire = gzip_rpc_result(inner)
    pong = {"_": "pong", "msg_id": 5, "ping_id": 6}
    assert Parser(mtproto_schema, standard=True).unpack(wire) == {"_": "rpc_result", "req_msg_id": 77,
                                                                  "result": pong}
    # The default mode does not inflate: the schema's gzip_packed comes back as it is.
    back = Parser(mtproto_schema).unpack(wire)
    assert back["result"] == {"_": "gzip_packed", "packed_data": gzip.compress(inner)}


@pytest.mark.parametrize("where", ["top", "field", "vector", "nested"])
def test_gzip_packed_wherever_an_object_is_read(Parser, where):
    # Whether or not the schema defines gzip_packed.
    schema = tl_schema("p#00000001 x:int = P;\nbox#00000002 o:Object v:Vector<Object> = Box;")
    parser = Parser(schema, standard=True)
    p = u32(1, 42)
    packed = u32(GZIP_PACKED) + tl_bytes(gzip.compress(p))
    wire, expect = {
        "top": (packed, {"_": "p", "x": 42}),
        "field": (u32(2) + packed + VECTOR + u32(0), {"_": "box", "o": {"_": "p", "x": 42}, "v": []}),
        "vector": (u32(2) + p + VECTOR + u32(2) + packed + p,
                   {"_": "box", "o": {"_": "p", "x": 42}, "v": [{"_": "p", "x": 42}] * 2}),
        "nested": (u32(GZIP_PACKED) + tl_bytes(gzip.compress(packed)), {"_": "p", "x": 42}),
    }[where]
    assert parser.unpack(wire) == expect
    with pytest.raises(ValueError, match="Unknown constructor ID: 0x3072cfa1"):
        Parser(schema).unpack(wire)


def stream_of(data, level=9):
    return zlib.compress(data, level, wbits=31)


@pytest.mark.parametrize("packed", [
    pytest.param(gzip.compress(u32(1, 42))[:-6], id="stream cut short"),
    pytest.param(b"not gzip at all", id="not gzip"),
    pytest.param(gzip.compress(u32(1)), id="inner object cut short"),
    pytest.param(gzip.compress(u32(1, 42, 0)), id="bytes after the inner object"),
    pytest.param(gzip.compress(b""), id="nothing inside"),
])
def test_gzip_packed_must_hold_one_complete_object(Parser, packed):
    parser = Parser(tl_schema("p#00000001 x:int = P;"), standard=True)
    with pytest.raises(ValueError, match="^gzip_packed"):
        parser.unpack(u32(GZIP_PACKED) + tl_bytes(packed))


def test_gzip_packed_data_cut_off_is_a_parse_error(Parser):
    parser = Parser(tl_schema("p#00000001 x:int = P;"), standard=True)
    wire = u32(GZIP_PACKED) + tl_bytes(gzip.compress(u32(1, 42)))
    with pytest.raises(RuntimeError, match="Parse error at position 5"):
        parser.unpack(wire[:12])


def bomb(size, head=b""):
    """gzip data of `head` and `size` zero bytes (about a thousandth of it)."""
    deflate = zlib.compressobj(9, wbits=31)
    chunk = bytes(1 << 20)
    parts = [deflate.compress(head)] + [deflate.compress(chunk) for _ in range(size >> 20)]
    return b"".join(parts) + deflate.flush()


def test_gzip_bomb_is_refused(Parser):
    parser = Parser(tl_schema("blob#00000001 data:bytes = Blob;"), standard=True)
    packed = bomb(17 << 20)
    assert len(packed) < 20_000
    with pytest.raises(ValueError, match="^gzip_packed"):
        parser.unpack(u32(GZIP_PACKED) + tl_bytes(packed))
    # 16 MiB in all per unpack: one blob of 9 MiB inflates, two are one too many.
    size = 9 << 20
    half = u32(GZIP_PACKED) + tl_bytes(bomb(size, u32(1) + b"\xfe" + size.to_bytes(3, "little")))
    parser = Parser(tl_schema("blob#00000001 data:bytes = Blob;\nmany#00000002 v:Vector<Object> = Many;"),
                    standard=True)
    assert parser.unpack(u32(2) + VECTOR + u32(1) + half)["v"][0]["data"] == bytes(size)
    with pytest.raises(ValueError, match="^gzip_packed"):
        parser.unpack(u32(2) + VECTOR + u32(2) + half * 2)


BOMB_SCRIPT = """
import resource, struct, sys, zlib
sys.path.insert(0, sys.argv[2])
from Velta import tl
import tl_reference
impl = {"c": tl.TLParser, "py": tl_reference.TLParser}[sys.argv[1]]
parser = impl({"constructors": [{"predicate": "blob", "id": 1, "type": "Blob",
                                 "params": [{"name": "data", "type": "bytes"}]}]}, standard=True)
deflate = zlib.compressobj(9, wbits=31)
chunk = bytes(1 << 20)
packed = b"".join(deflate.compress(chunk) for _ in range(256)) + deflate.flush()
data = struct.pack("<II", 0x3072CFA1, 0xFE | len(packed) << 8) + packed + bytes(-len(packed) & 3)
before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
try:
    parser.unpack(data)
except ValueError as exc:
    assert str(exc).startswith("gzip_packed"), exc
else:
    raise SystemExit("the bomb was accepted")
print(resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before)
"""


@pytest.mark.parametrize("impl", ["c", "py"])
def test_gzip_bomb_stays_within_bounded_memory(impl):
    # A quarter of a MiB of input that inflates to 256 MiB; reading it may take what
    # the 16 MiB bound allows, not what the stream asks for.
    result = subprocess.run([sys.executable, "-c", BOMB_SCRIPT, impl, str(Path(__file__).parent)],
                            capture_output=True, text=True)
    assert result.returncode == 0, result.stderr
    grown_kib = int(result.stdout.split()[-1])
    assert grown_kib < 100 * 1024, f"peak memory grew by {grown_kib} KiB"


# -------------------------------------------------------- bare types and words

def test_bare_percent_type(Parser):
    schema = tl_schema("point#00000001 x:int y:int = Point;\n"
                       "line#00000002 a:%Point b:Point = Line;")
    parser = Parser(schema, standard=True)
    value = {"_": "line", "a": {"_": "point", "x": 1, "y": 2}, "b": {"_": "point", "x": 3, "y": 4}}
    wire = u32(2) + u32(1, 2) + u32(1, 3, 4)
    assert parser.pack(value) == wire
    assert parser.unpack(wire) == value
    assert parser.pack({"_": "line", "a": {"x": 1, "y": 2}, "b": value["b"]}) == wire
    assert parser.pack({"_": "line", "a": {"_": None, "x": 1, "y": 2}, "b": value["b"]}) == wire
    raises(ValueError, r"^Expected constructor 'point' for a bare value, got 'line'$",
           parser.pack, {"_": "line", "a": {"_": "line"}, "b": value["b"]})
    raises(TypeError, "Expected str", parser.pack, {"_": "line", "a": {"_": b"point"}, "b": value["b"]})


@pytest.mark.parametrize("text, count", [
    ("a#00000001 = Two;\nb#00000002 = Two;\nc#00000003 v:%Two = C;", 2),
    ("c#00000003 v:%Nowhere = C;", 0),
    ("c#00000003 v:Vector<%Nowhere> = C;", 0),
    ("c#00000003 flags:# v:flags.0?%Nowhere = C;", 0),
])
def test_bare_type_needs_exactly_one_constructor(Parser, text, count):
    with pytest.raises(ValueError, match=f"Bare type '%.*' .*{count}"):
        Parser(tl_schema(text), standard=True)
    Parser(tl_schema(text))  # the default mode reads it boxed


def test_only_the_latest_entry_of_a_name_counts_for_a_bare_type(Parser):
    schema = tl_schema("a#00000001 x:int = Two;\na#00000002 x:long = Two;\nc#00000003 v:%Two = C;")
    parser = Parser(schema, standard=True)
    assert parser.pack({"_": "c", "v": {"x": 5}}) == u32(3) + u64(5)


@pytest.mark.parametrize("field, wire, back", [
    ("v:vector<int>", u32(2, 1, 2), [1, 2]),
    ("v:%Vector<int>", u32(2, 1, 2), [1, 2]),
    ("v:Vector<int>", VECTOR + u32(2, 1, 2), [1, 2]),
    ("v:Vector<Bool>", VECTOR + u32(2) + BOOL_TRUE + BOOL_FALSE, [True, False]),
    ("v:vector<Bool>", u32(2) + BOOL_TRUE + BOOL_FALSE, [True, False]),
    ("v:vector<%int>", u32(1, 9), [9]),
    ("v:Vector<vector<long>>", VECTOR + u32(1) + u32(1) + u64(-1), [[-1]]),
    ("v:int256", b"\xfe" + b"\xff" * 31, -2),
    ("v:%int128", u32(5, 0, 0, 0), 5),
    ("v:true", b"", True),
])
def test_standard_field_shapes(Parser, field, wire, back):
    parser = Parser(tl_schema(f"t#00000001 {field} = T;"), standard=True)
    assert parser.unpack(u32(1) + wire) == {"_": "t", "v": back}
    assert parser.pack({"_": "t", "v": back}) == u32(1) + wire


@pytest.mark.parametrize("text, value, wire, words", [
    ("t#00000001 f:# x:f.0?int = T;", {"x": 5}, u32(1, 5), {"f": 1}),
    ("t#00000001 f:# g:# x:g.3?int y:f.0?true = T;", {"x": 5, "y": True}, u32(1, 8, 5), {"f": 1, "g": 8}),
    # Two words of one name: a condition names the latest before it.
    ("t#00000001 f:# x:f.0?int f:# y:f.0?int = T;", {"y": 7}, u32(0, 1, 7), {"f": 1}),
    ("t#00000001 flags:int x:int = T;", {"flags": 9, "x": 5}, u32(9, 5), {}),
    ("t#00000001 flags:# flags2:# a:flags2.1?long b:flags.0?Bool = T;", {"a": -1, "b": False},
     u32(1, 2) + u64(-1) + BOOL_FALSE, {"flags": 1, "flags2": 2}),
])
def test_any_hash_field_is_a_flags_word(Parser, text, value, wire, words):
    # Each word is also a value: unpack gives it, and pack without it writes
    # the bits of the conditional fields given.
    parser = Parser(tl_schema(text), standard=True)
    assert parser.pack({"_": "t", **value}) == u32(1) + wire
    back = parser.unpack(u32(1) + wire)
    assert {k: v for k, v in back.items() if v is not None} == {"_": "t", **value, **words}
    assert parser.pack(back) == u32(1) + wire


@pytest.mark.parametrize("text, word", [
    ("t#00000001 x:f.0?int = T;", "f"),
    ("t#00000001 x:f.0?int f:# = T;", "f"),
    ("t#00000001 f:int x:f.0?int = T;", "f"),
    ("t#00000001 flags:# x:flags2.0?int = T;", "flags2"),
])
def test_condition_on_anything_but_an_earlier_hash_field_is_refused(Parser, text, word):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        schema = from_tl(text)
    raises(ValueError, f"^Field 'x' is conditional on '{word}', which is not a '#' field declared before it$",
           Parser, schema, standard=True)


@pytest.mark.parametrize("text", [
    "t#00000001 o:Object = T;",
    "t#00000001 {X:Type} o:!X = T;",
    "t#00000001 {X:Type} o:X = T;",
    "t#00000001 o:Other = T;",
])
def test_object_generic_and_type_variables_take_any_boxed_object(Parser, text):
    schema = tl_schema(text + "\np#00000002 x:int = P;\nq#00000003 = Q;")
    for standard in (False, True):
        parser = Parser(schema, standard=standard)
        for inner, inner_wire in (({"_": "p", "x": 4}, u32(2, 4)), ({"_": "q"}, u32(3)),
                                  ({"_": "t", "o": {"_": "q"}}, u32(1, 3))):
            wire = u32(1) + inner_wire
            assert parser.pack({"_": "t", "o": inner}) == wire
            assert parser.unpack(wire) == {"_": "t", "o": inner}


def test_api_wrapper_methods_carry_a_query(Parser, api_schema):
    # invokeWithLayer#da9b0d0d {X:Type} layer:int query:!X = X;  help.getConfig#c4f9186b = Config;
    parser = Parser(api_schema, standard=True)
    value = {"_": "invokeWithLayer", "layer": 220, "query": {"_": "help.getConfig"}}
    wire = bytes.fromhex("0d0d9bda") + u32(220) + bytes.fromhex("6b18f9c4")
    assert parser.pack(value) == wire
    assert parser.unpack(wire) == value


# ---------------------------------------------------------------- errors

@pytest.mark.parametrize("wire, exc, match", [
    (u32(1, 0), ValueError, r"^Invalid Bool constructor ID: 0x00000000$"),
    (u32(1, 1), ValueError, r"^Invalid Bool constructor ID: 0x00000001$"),
    (u32(1, 0x3072CFA1), ValueError, r"^Invalid Bool constructor ID: 0x3072cfa1$"),
    (u32(1) + BOOL_TRUE[:3], RuntimeError, r"^Parse error at position 4$"),
])
def test_bool_slot_takes_only_the_two_bool_ids(Parser, wire, exc, match):
    parser = Parser(tl_schema("t#00000001 b:Bool = T;"), standard=True)
    raises(exc, match, parser.unpack, wire)


@pytest.mark.parametrize("kind, value, exc, match", [
    ("int", 2**32, OverflowError, "int32_t"), ("int", -2**31 - 1, OverflowError, "int32_t"),
    ("long", 2**64, OverflowError, "int64_t"), ("long", -2**63 - 1, OverflowError, "int64_t"),
    ("int128", 2**128, OverflowError, "int128"), ("int128", -2**127 - 1, OverflowError, "int128"),
    ("int256", 2**256, OverflowError, "int256"), ("int256", -2**255 - 1, OverflowError, "int256"),
    ("int128", "1", TypeError, None), ("int256", None, TypeError, None),
    # Bytes are taken only at the exact width (16 bytes: see test_ton_codec.py).
    ("int128", b"\0" * 15, ValueError, r"^Field 'v' is int128: it takes an int or exactly 16 bytes, got 15 bytes$"),
])
def test_integers_out_of_range(Parser, kind, value, exc, match):
    parser = Parser(tl_schema(f"t#00000001 v:{kind} = T;"), standard=True)
    raises(exc, match, parser.pack, {"_": "t", "v": value})


@pytest.mark.parametrize("kind, width", [("int", 4), ("long", 8), ("int128", 16), ("int256", 32)])
@pytest.mark.parametrize("edge", ["min", "max unsigned", "max signed", "-1", "0"])
def test_integer_edges_read_signed(Parser, kind, width, edge):
    bits = 8 * width
    value = {"min": -2**(bits - 1), "max unsigned": 2**bits - 1, "max signed": 2**(bits - 1) - 1,
             "-1": -1, "0": 0}[edge]
    parser = Parser(tl_schema(f"t#00000001 v:{kind} = T;"), standard=True)
    data = parser.pack({"_": "t", "v": value})
    assert data == u32(1) + (value % 2**bits).to_bytes(width, "little")
    signed = value - 2**bits if value >= 2**(bits - 1) else value
    assert parser.unpack(data) == {"_": "t", "v": signed}


@pytest.mark.parametrize("text, empty", [
    ("t#00000001 v:vector<true> = T;", True),
    ("t#00000001 v:Vector<true> = T;", True),
    ("e#00000002 = E;\nt#00000001 v:vector<%E> = T;", {"_": "e"}),
    ("e#00000002 a:true = E;\nt#00000001 v:Vector<e> = T;", {"_": "e", "a": True}),
])
def test_counts_of_elements_that_take_no_bytes_are_capped(Parser, text, empty):
    parser = Parser(tl_schema(text), standard=True)
    head = u32(1) + (VECTOR if "Vector" in text else b"")
    assert parser.unpack(head + u32(3)) == {"_": "t", "v": [empty] * 3}
    assert parser.pack({"_": "t", "v": [empty] * 3}) == head + u32(3)
    for count in (2**31 - 1, 10**6):
        raises(ValueError, f"^Invalid vector length: {count}$", parser.unpack, head + u32(count))
    # The vectors of one message share the cap: counts in all, not one by one.
    many = Parser(tl_schema(text + "\nmany#00000009 v:Vector<T> = Many;"), standard=True)
    assert len(many.unpack(u32(9) + VECTOR + u32(2) + (head + u32(1000)) * 2)["v"]) == 2
    raises(ValueError, f"^({SPENT}|Invalid vector length: 1000)$",
           many.unpack, u32(9) + VECTOR + u32(64) + (head + u32(1000)) * 64)


SPENT = "the input holds more values that take no bytes than its size allows"


def test_values_that_take_no_bytes_nested_count_one_by_one(Parser):
    # A chain of bare types that take no bytes builds one dict per level for
    # each element counted: every one of them comes out of the budget.
    depth = 60
    chain = "\n".join(f"c{k}#{k + 16:08x} x:%C{k + 1} = C{k};" for k in range(depth))
    text = chain + f"\nc{depth}#{depth + 16:08x} = C{depth};\nt#00000001 v:vector<%C0> = T;"
    parser = Parser(tl_schema(text), standard=True)
    assert len(parser.unpack(u32(1, 60))["v"]) == 60
    raises(ValueError, f"^{SPENT}$", parser.unpack, u32(1, 4000))


def test_gzip_parts_share_the_message_budget(Parser):
    # Inflated content counts against the outer message's size, not its own:
    # padding a gzip_packed part with bytes must not buy it more empty values.
    parser = Parser(tl_schema("t#00000001 pad:bytes v:vector<true> = T;\n"
                              "gzip_packed#3072cfa1 packed_data:bytes = Object;\n"
                              "o#00000002 x:Object = O;"), standard=True)
    inner = parser.pack({"_": "t", "pad": bytes(200_000), "v": [True] * 20_000})
    outer = parser.pack({"_": "o", "x": {"_": "gzip_packed", "packed_data": gzip.compress(inner)}})
    assert len(outer) < 1000
    raises(ValueError, f"^({SPENT}|Invalid vector length: 20000)$", parser.unpack, outer)


@pytest.mark.parametrize("levels", [200, 300])
def test_vectors_nest_at_most_256_deep_in_a_type_text(levels):
    text = "Vector<" * levels + "int" + ">" * levels
    schema = {"constructors": [{"predicate": "t", "id": 1, "params": [{"name": "v", "type": text}]}]}
    for standard in (False, True):
        if levels <= 256:
            tl.TLParser(schema, standard=standard)
        else:
            with pytest.raises(ValueError, match="nests more than 256 types deep"):
                tl.TLParser(schema, standard=standard)


def test_self_holding_bare_types_compile_quickly():
    # Sizing a bare type that holds itself many times over once took time
    # exponential in its fields; a hang here is the fault.
    params = ", ".join(f'{{"name": "f{k}", "type": "%S"}}' for k in range(40))
    code = ("from Velta.tl import TLParser; import json; "
            f'TLParser(json.loads(\'{{"constructors": [{{"predicate": "s", "id": 1, "type": "S", '
            f'"params": [{params}]}}]}}\'), standard=True)')
    subprocess.run([sys.executable, "-c", code], check=True, timeout=120)


def test_default_mode_is_unchanged(Parser):
    schema = tl_schema("t#00000001 flags:# b:Bool o:flags.0?Bool i:int l:long n:int128 v:vector<int> = T;\n"
                       "p#00000002 x:int = P;")
    parser = Parser(schema)
    value = {"_": "t", "b": True, "o": True, "i": -1, "l": 2**64 - 1, "n": {"_": "p", "x": 3},
             "v": {"_": "p", "x": 4}}
    wire = u32(1, 1, 1, 0xFFFFFFFF) + u64(-1) + u32(2, 3, 2, 4)
    assert parser.pack(value) == wire
    assert parser.unpack(wire) == {**value, "i": 2**32 - 1}
    raises(OverflowError, None, parser.pack, {**value, "l": -1})


# ------------------------------------------------------------ the public API schema

def random_values(schema, seed, per_entry):
    """Values for every constructor and method of a schema, from a seeded
    generator: each as packed, and as standard-mode unpack gives it back."""
    rng = random.Random(seed)
    entries = [e for e in schema["constructors"] + schema["methods"]]
    by_type = {}
    for entry in schema["constructors"]:
        by_type.setdefault(entry["type"], []).append(entry)
    # The fewest nested objects an object of each type needs.
    depth = {}
    changed = True
    while changed:
        changed = False
        for type_name, members in by_type.items():
            for entry in members:
                needs = [depth.get(p["type"]) for p in entry["params"]
                         if "?" not in p["type"] and _object_type(p["type"])]
                if all(n is not None for n in needs):
                    d = 1 + max(needs, default=0)
                    if d < depth.get(type_name, 1 << 30):
                        depth[type_name] = d
                        changed = True
    shallow = {t: [e for e in by_type[t]
                   if all(depth.get(p["type"], 0) < depth[t] for p in e["params"]
                          if "?" not in p["type"] and _object_type(p["type"]))] for t in depth}

    def scalar(kind):
        if kind == "int":
            return rng.choice([0, -1, 2**31 - 1, -2**31, rng.randrange(-2**31, 2**31)])
        if kind == "long":
            return rng.choice([0, -1, 2**63 - 1, -2**63, rng.randrange(-2**63, 2**63)])
        if kind == "int256":
            return rng.randrange(-2**255, 2**255)
        if kind == "double":
            return rng.choice([0.0, -1.5, 1e300, rng.random()])
        if kind == "string":
            return rng.choice(["", "hé", "x" * 254, "😀" * 3])
        if kind == "bytes":
            return rng.randbytes(rng.choice([0, 1, 3, 253, 254, 300]))
        if kind == "Bool":
            return rng.random() < 0.5
        raise AssertionError(kind)

    def value(type_text, level):
        if type_text.startswith("Vector<"):
            inner = type_text[7:-1]
            n = rng.randint(0, 2) if level < 4 else 0
            return [value(inner, level + 1) for _ in range(n)]
        if type_text in ("int", "long", "int256", "double", "string", "bytes", "Bool"):
            v = scalar(type_text)
            return v
        if type_text == "true":
            return True
        candidates = (shallow.get(type_text) if level >= 3 else by_type.get(type_text)) or \
            shallow.get("Config")  # !X: any object
        return obj(rng.choice(candidates), level + 1)

    def obj(entry, level):
        out = {"_": entry.get("predicate") or entry.get("method")}
        present = {}
        words = {}  # a '#' field: the bits no condition uses are random, kept as given
        for p in entry["params"]:
            name, text = p["name"], p["type"]
            if text == "#":
                out[name] = rng.choice([0, rng.getrandbits(32)])
                words[name] = 0
                continue
            if "?" in text:
                cond, kind = text.split("?")
                if cond not in present:
                    present[cond] = rng.random() < 0.6 and level < 5
                out[name] = (present[cond] if kind == "true"
                             else value(kind, level) if present[cond] else None)
            else:
                out[name] = value(text, level)
        for cond, on in present.items():
            word, bit = cond.split(".")
            words[word] |= 1 << int(bit)
            out[word] = out[word] & ~(1 << int(bit)) | on << int(bit)
        return out

    return [obj(e, 0) for e in entries for _ in range(per_entry)]


def _object_type(text):
    return text not in ("int", "long", "int256", "double", "string", "bytes", "Bool", "true", "#") \
        and not text.startswith("Vector<")


def test_every_api_constructor_round_trips_in_standard_mode(api_schema):
    ours = tl.TLParser(api_schema, standard=True)
    reference = tl_reference.TLParser(api_schema, standard=True)
    values = random_values(api_schema, seed=2024, per_entry=3)
    assert len(values) == 3 * (len(api_schema["constructors"]) + len(api_schema["methods"]))
    for value in values:
        data = ours.pack(value)
        assert data == reference.pack(value), value["_"]
        back = ours.unpack(data)
        assert back == value, value["_"]
        assert json.dumps(back, default=bytes.hex) == json.dumps(reference.unpack(data), default=bytes.hex)
        assert ours.unpack_from(b"\0" * 3 + data, 3) == (back, 3 + len(data))


# ------------------------------------------------- gzip data as gzip reads it

ONE = u32(1, 42)  # p#00000001 x:int, holding 42


@pytest.mark.parametrize("packed", [
    pytest.param(gzip.compress(ONE[:3]) + gzip.compress(ONE[3:]), id="two members, one object"),
    pytest.param(gzip.compress(ONE) + gzip.compress(b""), id="an empty member after"),
    pytest.param(gzip.compress(ONE) + bytes(5), id="zero bytes after the member"),
    pytest.param(b"".join(gzip.compress(bytes([b])) for b in ONE) + b"\0", id="a member per byte"),
])
def test_gzip_packed_reads_every_member(Parser, packed):
    assert gzip.decompress(packed) == ONE
    parser = Parser(tl_schema("p#00000001 x:int = P;"), standard=True)
    assert parser.unpack(u32(GZIP_PACKED) + tl_bytes(packed)) == {"_": "p", "x": 42}


@pytest.mark.parametrize("packed, message", [
    (gzip.compress(ONE) + b"garbage!", "not a valid gzip stream"),
    (gzip.compress(ONE) + b"\0\0\x1f", "incomplete"),
    (gzip.compress(ONE) + gzip.compress(ONE)[:-1], "incomplete"),
    (gzip.compress(ONE) * 2, "not one complete object"),
    (b"", "incomplete"),
])
def test_gzip_packed_refuses_what_follows_the_members(Parser, packed, message):
    parser = Parser(tl_schema("p#00000001 x:int = P;"), standard=True)
    with pytest.raises(ValueError, match="^gzip_packed: .*" + message):
        parser.unpack(u32(GZIP_PACKED) + tl_bytes(packed))


def test_many_small_gzip_members_read_in_linear_time():
    # What zlib keeps of the input after each member must not be the whole rest.
    member = gzip.compress(b"")
    packed = gzip.compress(ONE) + member * (1_000_000 // len(member))
    parser = tl.TLParser(tl_schema("p#00000001 x:int = P;"), standard=True)
    start = time.perf_counter()
    assert parser.unpack(u32(GZIP_PACKED) + tl_bytes(packed)) == {"_": "p", "x": 42}
    assert time.perf_counter() - start < 2  # about 0.05 s; some 25 GB of copying otherwise


@pytest.mark.parametrize("cap, ok", [(8, True), (7, False), (0, False), (2**70, True)])
def test_max_inflated_bounds_all_members_together(Parser, cap, ok):
    parser = Parser(tl_schema("p#00000001 x:int = P;"), standard=True, max_inflated=cap)
    wire = u32(GZIP_PACKED) + tl_bytes(gzip.compress(ONE[:4]) + gzip.compress(ONE[4:]))
    if ok:
        assert parser.unpack(wire) == {"_": "p", "x": 42}
    else:
        with pytest.raises(ValueError, match=rf"^gzip_packed: inflates to more than {cap} bytes$"):
            parser.unpack(wire)


@pytest.mark.parametrize("cap, error", [(-1, ValueError), (-2**70, ValueError), ("16", TypeError),
                                        (1.0, TypeError), (True, TypeError)])
def test_max_inflated_must_be_a_size(Parser, cap, error):
    with pytest.raises(error):
        Parser(tl_schema("p#00000001 x:int = P;"), standard=True, max_inflated=cap)
