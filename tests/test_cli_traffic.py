"""The velta command line on traffic as it comes from the wire: standard
conventions by default, streams of messages, trailing bytes, dump."""
import json
import subprocess
import sys
from pathlib import Path

import pytest

import Velta
from Velta.demo import example_message, example_schema
from Velta.tl import TLParser

API_TL = Path(__file__).resolve().parents[2] / "shared" / "schemas" / "api.tl"


def velta(*args, stdin=b""):
    return subprocess.run([sys.executable, "-m", "Velta", *args], input=stdin, capture_output=True)


def failed_in_one_line(result):
    return (result.returncode, result.stdout, len(result.stderr.splitlines())) == (1, b"", 1) and \
        result.stderr.startswith(b"velta: error: ")


@pytest.fixture
def chat(tmp_path, monkeypatch):
    """The bundled schema, and three messages packed with the standard conventions."""
    monkeypatch.chdir(tmp_path)
    Path("chat.json").write_text(example_schema(), encoding="utf-8")
    parser = TLParser(example_schema(), standard=True)
    first = example_message()
    first["messages"][0]["id"] = -1
    messages = [first, {"_": "peerUser", "user_id": -2**63},
                {"_": "message", "id": 3, "date": 0, "message": "", "rating": 0.0}]
    return [parser.pack(m) for m in messages], [parser.unpack(parser.pack(m)) for m in messages]


@pytest.mark.parametrize("hex_input", [False, True])
def test_decode_stream_then_encode_stream_round_trip(chat, hex_input):
    packed, values = chat
    stream = b"".join(packed)
    args = ["--hex"] if hex_input else []
    decoded = velta("decode", "--schema", "chat.json", "--stream", *args,
                    stdin=stream.hex(" ", 4).encode() if hex_input else stream)
    assert decoded.returncode == 0, decoded.stderr
    lines = decoded.stdout.decode().splitlines()
    assert [json.loads(line)["_"] for line in lines] == [v["_"] for v in values]
    assert json.loads(lines[1])["user_id"] == -2**63 and json.loads(lines[0])["messages"][0]["id"] == -1
    encoded = velta("encode", "--schema", "chat.json", "--stream", *args, stdin=decoded.stdout + b"\n")
    assert encoded.returncode == 0, encoded.stderr
    if hex_input:
        assert encoded.stdout.decode().split() == [m.hex() for m in packed]  # a line per message
    else:
        assert encoded.stdout == stream


@pytest.mark.parametrize("args, stdin_of", [
    (["decode"], lambda p: p[1] + b"\0\0\0\0"),                 # bytes after the message
    (["decode", "--stream"], lambda p: p[0] + p[1][:-2]),       # the second message cut short
    (["encode", "--stream"], lambda p: b'{"_": "peerUser"}\n["x"]\n'),
    (["encode", "--stream"], lambda p: b'{"_": "peerUser"}\n{"_": \n'),
])
def test_refused_traffic_is_one_line(chat, args, stdin_of):
    result = velta(args[0], "--schema", "chat.json", *args[1:], stdin=stdin_of(chat[0]))
    if args == ["decode", "--stream"]:  # what came before the fault is kept
        assert result.returncode == 1 and len(result.stdout.splitlines()) == 1
        assert b"message 2 at byte" in result.stderr and len(result.stderr.splitlines()) == 1
    else:
        assert failed_in_one_line(result), result.stderr
    assert b"line 2" in result.stderr or args[0] == "decode"


@pytest.mark.parametrize("mode, ids", [([], [-1, 2]), (["--designed"], [2**32 - 1, 2])])
def test_omit_absent_and_modes(chat, mode, ids):
    parser = TLParser(example_schema(), standard=not mode)
    data = parser.pack({"_": "messages.messages", "messages": [
        {"_": "message", "out": False, "id": -1, "date": 1, "message": "a", "rating": 0.5},
        {"_": "message", "out": True, "id": 2, "date": 1, "message": "b", "rating": 0.5, "views": 0}], "users": []})
    full = json.loads(velta("decode", "--schema", "chat.json", *mode, stdin=data).stdout)
    short = json.loads(velta("decode", "--schema", "chat.json", *mode, "--omit-absent", stdin=data).stdout)
    assert [m["id"] for m in short["messages"]] == ids
    head = ["_"] if mode else ["_", "flags"]  # the standard mode's '#' fields are values too
    assert list(full["messages"][0]) == head + ["out", "id", "from_id", "date", "message", "entities", "views", "rating"]
    assert list(short["messages"][0]) == head + ["id", "date", "message", "rating"]  # None and clear bits gone
    assert list(short["messages"][1]) == head + ["out", "id", "date", "message", "views", "rating"]  # 0 stays
    again = velta("encode", "--schema", "chat.json", *mode, stdin=json.dumps(short).encode())
    assert again.stdout == data, again.stderr


def test_version_and_help():
    version = velta("--version")
    assert (version.returncode, version.stdout.decode().split()) == (0, ["velta", Velta.__version__])
    for command in ("decode", "encode", "dump"):
        text = velta(command, "--help").stdout.decode()
        assert "--designed" in text and "by default" in text and f"velta {command} --schema" in text
    path = velta("demo", "--schema-path").stdout.decode().strip()
    assert Path(path).read_text(encoding="utf-8") == example_schema()


@pytest.mark.parametrize("damaged", [False, True])
def test_dump_of_a_public_schema_message(tmp_path, monkeypatch, damaged):
    if not API_TL.exists():
        pytest.skip(f"the public schema {API_TL} is absent")
    monkeypatch.chdir(tmp_path)
    from Velta.schema import from_tl
    settings = {"_": "peerNotifySettings", "show_previews": False, "mute_until": -1}
    data = TLParser(from_tl(API_TL.read_text(encoding="utf-8")), standard=True).pack(settings)
    if damaged:
        data = data[:8] + b"\0\0\0\0" + data[12:]  # show_previews' Bool id
    result = velta("dump", "--schema", str(API_TL), stdin=data)
    lines = result.stdout.decode().splitlines()
    if not damaged:
        assert result.returncode == 0 and result.stderr == b""
        assert lines[2].split() == ["0x0008", "379779bc", "peerNotifySettings.show_previews", "flags.0?Bool", "boolFalse"]
        assert lines[3].split() == ["0x000c", "ffffffff", "peerNotifySettings.mute_until", "flags.2?int", "-1"]
    else:
        assert result.returncode == 1 and len(result.stderr.splitlines()) == 1
        assert b"at byte 8: Invalid Bool constructor ID: 0x00000000" in result.stderr
        assert lines[2].startswith("0x0008! 00000000") and lines[2].endswith("Invalid Bool constructor ID: 0x00000000"
                                                                              " (while unpacking peerNotifySettings"
                                                                              ".show_previews at byte 8)")
        assert lines[3].split() == ["0x000c", "ffffffff", "(not", "read)"]


def test_encode_strict_refuses_a_typo(chat):
    try:
        TLParser({"constructors": [], "methods": []}, strict=True)
    except TypeError:
        pytest.skip("this Velta.tl has no strict packing (TLParser(..., strict=True) raises TypeError)")
    typo = b'{"_": "peerUser", "usr_id": 2}'
    assert velta("encode", "--schema", "chat.json", stdin=typo).returncode == 0
    result = velta("encode", "--schema", "chat.json", "--strict", stdin=typo)
    assert failed_in_one_line(result) and b"usr_id" in result.stderr, result.stderr
    assert b"Constructor 'peerUser' has no field 'usr_id'" in result.stderr, result.stderr
