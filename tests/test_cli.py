"""The velta command line, run as a subprocess the way a user runs it."""
import json
import struct
import subprocess
import sys
from pathlib import Path

import pytest

from Velta.demo import example_message, example_schema
from Velta.tl import TLParser


def velta(*args, stdin=b""):
    return subprocess.run([sys.executable, "-m", "Velta", *args], input=stdin, capture_output=True)


# The fixture's bytes come from TLParser(schema), so these read and write
# them with its conventions, which the command line calls --designed.
def decode(*args, stdin=b""):
    return velta("decode", "--schema", "chat.json", "--designed", *args, stdin=stdin)


def encode(*args, stdin=b""):
    return velta("encode", "--schema", "chat.json", "--designed", *args, stdin=stdin)


@pytest.fixture
def chat(tmp_path, monkeypatch):
    """The bundled chat schema and one packed history page, in the current directory."""
    monkeypatch.chdir(tmp_path)
    (tmp_path / "chat.json").write_text(example_schema(), encoding="utf-8")
    message = example_message()
    message["messages"][0]["id"] = -1  # unpacks as 4294967295
    message["users"][0]["photo"]["stripped_thumb"] = bytes(range(256))
    data = TLParser(example_schema()).pack(message)
    (tmp_path / "msg.bin").write_bytes(data)
    (tmp_path / "short.bin").write_bytes(data[:len(data) // 2])
    (tmp_path / "bad.json").write_text('{"constructors": [{"predicate": "x", "id": "0x10"}]}')
    (tmp_path / "garbage.json").write_text("{not JSON, nor TL")
    return data


@pytest.mark.parametrize("codec, thumb", [("hex", bytes(range(256)).hex()), ("base64", "AAECAwQFBgcI")])
@pytest.mark.parametrize("compact", [[], ["--compact"]])
def test_decode_then_encode_gives_the_same_bytes(chat, codec, thumb, compact):
    decoded = decode("--bytes", codec, *compact, "msg.bin")
    assert decoded.returncode == 0, decoded.stderr
    assert "\N{WAVING HAND SIGN}".encode() in decoded.stdout  # kept readable, not \u-escaped
    assert (len(decoded.stdout.splitlines()) == 1) == bool(compact)
    value = json.loads(decoded.stdout)
    assert list(value)[0] == "_" and value["messages"][0]["id"] == 4294967295
    assert value["users"][0]["photo"]["stripped_thumb"].startswith(thumb)
    assert encode("--bytes", codec, "-", stdin=decoded.stdout).stdout == chat
    assert encode("--bytes", codec, "-o", "out.bin", stdin=decoded.stdout).returncode == 0
    with open("out.bin", "rb") as out:
        assert out.read() == chat


def test_hex_both_ways(chat):
    as_json = decode("msg.bin").stdout
    assert encode("--hex", stdin=as_json).stdout.decode().strip() == chat.hex()
    wrapped = "\n".join(chat.hex(" ", 4)[i:i + 36] for i in range(0, 3 * len(chat), 36))
    assert decode("--hex", stdin=wrapped.encode()).stdout == as_json


def test_schema_listing_and_lookup(chat):
    def schema(*args):
        return velta("schema", "--schema", "chat.json", *args).stdout.decode().splitlines()

    listing = schema()
    assert len(listing) == 7
    assert listing[0].split() == ["0x8f97c628", "constructor", "user", "flags:#", "bot:flags.0?true", "id:long",
                                  "first_name:flags.1?string", "username:flags.2?string",
                                  "photo:flags.3?UserProfilePhoto", "=", "User"]
    assert listing[-1].split()[:3] == ["0x4423e6c5", "method", "messages.getHistory"]
    assert schema("--id", "0x4423E6C5") == listing[-1:]
    assert schema("--id", str(0x8F97C628 - 2**32)) == listing[:1]  # signed ids as schemas write them
    assert schema("--name", "peerUser") == listing[2:3]
    assert schema("--search", "PEERUSER") == listing[2:3]  # in a name, any case
    assert schema("--search", "photo") == [line for line in listing if "photo" in line.lower()]
    assert len(schema("--search", "photo")) == 2  # user (a parameter) and userProfilePhoto
    assert schema("--search", "Vector<Message>") == [line for line in listing if "Vector<Message>" in line]


def test_tl_schema_text(tmp_path, monkeypatch):
    from_tl = pytest.importorskip("Velta.schema").from_tl
    monkeypatch.chdir(tmp_path)
    text = "point x:int tag:bytes = Point;\n---functions---\nping p:Point = Point;\n"
    data = TLParser(from_tl(text)).pack({"_": "ping", "p": {"_": "point", "x": -2, "tag": b"\xff"}})
    for name in ("s.tl", "s.txt"):  # by extension, and by content when JSON fails
        (tmp_path / name).write_text(text)
        decoded = velta("decode", "--schema", name, "--designed", stdin=data)
        assert json.loads(decoded.stdout)["p"] == {"_": "point", "x": 2**32 - 2, "tag": "ff"}
        assert velta("encode", "--schema", name, "--designed", stdin=decoded.stdout).stdout == data


@pytest.mark.parametrize("args, stdin", [
    (["decode", "--schema", "chat.json", "short.bin"], b""),
    (["decode", "--schema", "chat.json", "--hex"], b"78563412"),  # unknown constructor id
    (["decode", "--schema", "chat.json", "--hex"], b"not hex"),
    (["decode", "--schema", "chat.json", "missing.bin"], b""),
    (["decode", "--schema", "missing.json", "msg.bin"], b""),
    (["decode", "--schema", "bad.json", "msg.bin"], b""),
    (["decode", "--schema", "garbage.json", "msg.bin"], b""),
    (["encode", "--schema", "chat.json"], b'{"_": "message", '),
    (["encode", "--schema", "chat.json"], b'["message"]'),
    (["encode", "--schema", "chat.json"], b'{"_": "nosuch"}'),
    (["encode", "--schema", "chat.json"], b'{"_": "userProfilePhoto", "stripped_thumb": "xyz"}'),
    (["encode", "--schema", "chat.json", "--designed"], b'{"_": "peerUser", "user_id": -5}'),  # out of range
    (["schema", "--schema", "chat.json", "--name", "nosuch"], b""),
    (["schema", "--schema", "chat.json", "--search", "nosuch"], b""),
])
def test_bad_input_is_one_line_and_status_1(chat, args, stdin):
    result = velta(*args, stdin=stdin)
    assert (result.returncode, result.stdout) == (1, b"")
    assert result.stderr.startswith(b"velta: error: ") and len(result.stderr.splitlines()) == 1, result.stderr


@pytest.mark.parametrize("args", [[], ["decode"], ["frob"], ["schema", "--schema", "s", "--id", "x"],
                                  ["schema", "--schema", "s", "--id", "1", "--name", "m"],
                                  ["schema", "--schema", "s", "--search", "x", "--name", "m"]])
def test_usage_errors_are_status_2(args):
    assert velta(*args).returncode == 2


@pytest.mark.parametrize("command", [[], ["decode"], ["encode"], ["schema"], ["demo"]])
def test_help_and_demo(command):
    assert velta(*command, "--help").returncode == 0
    if command == ["demo"]:
        demo = velta("demo")
        assert demo.returncode == 0 and b"round trip OK" in demo.stdout


NODE_TL = "leaf = Node;\nwrap x:Vector<Node> = Node;\n"


def nested_message(depth):
    """A message of NODE_TL `depth` levels deep (a dict and a list per level), built by
    hand: packing it from Python would need more stack than pytest leaves."""
    from Velta.schema import combinator_id
    wrap = struct.pack("<3I", combinator_id("wrap x:Vector<Node> = Node"), 0x1CB5C415, 1)
    return wrap * depth + struct.pack("<I", combinator_id("leaf = Node"))


def deep_json(depth):
    return b"[" * depth + b"]" * depth


LONG_INT = b"1" * 5000  # beyond int()'s default limit of 4300 digits


@pytest.mark.parametrize("args, files, stdin", [
    # JSON output needs more stack than the codec: a message it unpacks may not print
    (["decode", "--schema", "n.tl"], {"n.tl": NODE_TL}, nested_message(495)),
    (["decode", "--schema", "n.tl", "--compact"], {"n.tl": NODE_TL}, nested_message(495)),
    (["schema", "--schema", "s.json"], {"s.json": b'{"constructors": [{"id": ' + LONG_INT + b"}]}"}, b""),
    (["encode", "--schema", "chat.json"], {}, b'{"_": "peerUser", "user_id": ' + LONG_INT + b"}"),
    (["schema", "--schema", "s.json"], {"s.json": deep_json(100_000)}, b""),
    (["encode", "--schema", "chat.json"], {}, deep_json(100_000)),
], ids=["deep-message", "deep-message-compact", "long-int-schema", "long-int-input", "deep-schema",
        "deep-input"])
def test_hostile_input_is_one_line_not_a_traceback(chat, args, files, stdin):
    for name, content in files.items():
        Path(name).write_bytes(content.encode() if isinstance(content, str) else content)
    result = velta(*args, stdin=stdin)
    if args[0] == "decode" and result.returncode == 0:
        # How deep the JSON encoder may go depends on the interpreter (a
        # count of C frames, or from 3.14 the stack's size); where it gets
        # there, the message is simply printed: any outcome but a traceback.
        assert result.stderr == b"" and json.loads(result.stdout)
        return
    assert (result.returncode, result.stdout) == (1, b"")
    assert result.stderr.startswith(b"velta: error: ") and len(result.stderr.splitlines()) == 1, result.stderr[-300:]


@pytest.mark.parametrize("command", ["decode", "schema", "demo"])
def test_text_stdout_cannot_encode(tmp_path, monkeypatch, command):
    monkeypatch.chdir(tmp_path)
    monkeypatch.setenv("PYTHONIOENCODING", "ascii")
    from Velta.schema import from_tl
    text = "price amount:string = Price;\n"
    Path("euro.tl").write_text(text)
    schema = from_tl(text)
    schema["constructors"][0]["predicate"] = "pr\N{EURO SIGN}ce"
    Path("euro.json").write_text(json.dumps(schema))
    data = TLParser(from_tl(text)).pack({"_": "price", "amount": "5 \N{EURO SIGN}"})
    args = {"decode": ["--schema", "euro.tl"], "schema": ["--schema", "euro.json"], "demo": []}[command]
    result = velta(command, *args, stdin=data)
    assert result.returncode == 1 and (command == "demo" or result.stdout == b"")
    assert result.stderr.startswith(b"velta: error: stdout") and len(result.stderr.splitlines()) == 1, result.stderr


STANDARD_TL = """
boolFalse#bc799737 = Bool;
boolTrue#997275b5 = Bool;
blob data:bytes = Blob;
item flags:# ok:flags.0?Bool n:int key:int128 blobs:vector<blob> tag:%Blob = Item;
"""


@pytest.mark.parametrize("codec", ["hex", "base64"])
def test_standard_mode_both_ways(tmp_path, monkeypatch, codec):
    from_tl = pytest.importorskip("Velta.schema").from_tl
    monkeypatch.chdir(tmp_path)
    Path("s.tl").write_text(STANDARD_TL)
    value = {"_": "item", "ok": False, "n": -1, "key": -2**100,
             "blobs": [{"_": "blob", "data": b"\x00\xff"}], "tag": {"_": "blob", "data": b"z"}}
    data = TLParser(from_tl(STANDARD_TL), standard=True).pack(value)
    decoded = velta("decode", "--schema", "s.tl", "--standard", "--bytes", codec, stdin=data)
    assert decoded.returncode == 0, decoded.stderr
    back = json.loads(decoded.stdout)
    assert (back["ok"], back["n"], back["key"]) == (False, -1, -2**100)
    assert velta("encode", "--schema", "s.tl", "--standard", "--bytes", codec, stdin=decoded.stdout).stdout == data
    # A bare value may leave its "_" out; its bytes fields are still read as text.
    del back["tag"]["_"], back["blobs"][0]["_"]
    again = velta("encode", "--schema", "s.tl", "--standard", "--bytes", codec, stdin=json.dumps(back).encode())
    assert again.stdout == data, again.stderr
    # The default mode reads the same bytes otherwise, or not at all.
    assert velta("decode", "--schema", "s.tl", "--designed", stdin=data).stdout != decoded.stdout


@pytest.mark.parametrize("args, stdin", [
    (["decode", "--schema", "s.tl", "--standard", "--hex"], b"00000000"),  # unknown id
    (["encode", "--schema", "s.tl", "--standard"], b'{"_": "item", "key": "1"}'),
    (["encode", "--schema", "s.tl", "--standard"], b'{"_": "item", "tag": {"_": "item"}}'),
    (["encode", "--schema", "bad.tl", "--standard"], b'{"_": "x"}'),  # refused by the standard mode only
])
def test_standard_mode_bad_input_is_one_line(tmp_path, monkeypatch, args, stdin):
    monkeypatch.chdir(tmp_path)
    Path("s.tl").write_text(STANDARD_TL)
    Path("bad.tl").write_text("a = Two;\nb = Two;\nx v:%Two = X;\n")
    result = velta(*args, stdin=stdin)
    assert (result.returncode, result.stdout) == (1, b"")
    assert result.stderr.startswith(b"velta: error: ") and len(result.stderr.splitlines()) == 1, result.stderr


TWO_PEERS = {"constructors": [  # %Peer: the standard mode needs exactly one constructor of Peer
    {"id": "1", "predicate": "peerUser", "type": "Peer", "params": [{"name": "user_id", "type": "long"}]},
    {"id": "2", "predicate": "peerChat", "type": "Peer", "params": [{"name": "chat_id", "type": "long"}]},
    {"id": "3", "predicate": "wrap", "type": "Wrap", "params": [{"name": "p", "type": "%Peer"}]},
]}


@pytest.mark.parametrize("standard", [False, True])
def test_types_checks_the_schema_in_the_mode_it_types(tmp_path, standard):
    (tmp_path / "s.json").write_text(json.dumps(TWO_PEERS))
    out = tmp_path / "out.py"
    run = velta("types", "--schema", str(tmp_path / "s.json"), "-o", str(out), *["--standard"] * standard)
    if not standard:
        assert run.returncode == 0 and out.exists()
        return
    assert run.returncode == 1 and not out.exists()
    assert run.stderr.decode().startswith(f"velta: error: bad schema {tmp_path / 's.json'}: ValueError: Bare type '%Peer'")
    assert len(run.stderr.splitlines()) == 1


TON_TEXT = """int32 = Int32; int64 = Int64; bytes = Bytes;
x a:int32 b:int64 c:bytes = X;
"""


def test_dialect_ton_reads_ids_and_scalars_of_ton_text(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    (tmp_path / "t.tl").write_text(TON_TEXT)
    ident = 0x2489160C  # zlib.crc32(b"x a:int32 b:int64 c:bytes = X")
    expected = struct.pack("<IIQ", ident, 5, 6) + b"\x02hi\x00"
    encoded = velta("encode", "--dialect", "ton", "--schema", "t.tl", stdin=b'{"_": "x", "a": 5, "b": 6, "c": "6869"}')
    assert (encoded.returncode, encoded.stderr, encoded.stdout) == (0, b"", expected)
    decoded = velta("decode", "--dialect", "ton", "--schema", "t.tl", stdin=expected)
    assert json.loads(decoded.stdout) == {"_": "x", "a": 5, "b": 6, "c": "6869"}
    listed = velta("schema", "--dialect", "ton", "--schema", "t.tl").stdout.decode()
    assert listed == f"0x{ident:08x} constructor x a:int b:long c:bytes = X\n"
    typed = velta("types", "--dialect", "ton", "--schema", "t.tl")
    assert typed.returncode == 0 and b'"b": int,' in typed.stdout
    # Read as the messaging API's text, int32 is a constructor of its own.
    assert "constructor int32" in velta("schema", "--schema", "t.tl").stdout.decode()
    assert velta("schema", "--dialect", "tonlib", "--schema", "t.tl").returncode == 2
