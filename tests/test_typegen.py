"""``velta types``: the generated TypedDicts, checked at run time and with mypy."""
import importlib.util
import json
import re
import subprocess
import sys
from pathlib import Path

import pytest

from Velta.schema import TLSchemaWarning, from_tl
from Velta.tl import TLParser
from Velta.typegen import typed_module

PUBLIC_SCHEMA = Path(__file__).resolve().parents[2] / "shared" / "schemas" / "api.tl"

SMALL_TL = """
boolFalse#bc799737 = Bool;
boolTrue#997275b5 = Bool;
true#3fedd339 = True;
peerUser user_id:long = Peer;
peerChat chat_id:int = Peer;
typePeer x:int = Thing;
a.bC = Odd;
aB.c = Odd;
holder nonce:int128 key:int256 = Holder;
item flags:# from:flags.0?Peer big:flags.1?true maybe:flags.2?Bool tags:flags.3?Vector<bytes> n:#
  raw:%Peer bare:peerUser list:vector<long> nested:Vector<Vector<Peer>> obj:Object d:double s:string
  b:bytes ok:Bool = Item;
---functions---
invokeWithLayer {X:Type} layer:int query:!X = X;
send peer:Peer = Item;
"""

# Each line must pass mypy --strict.
GOOD = """
from typing import Any
from Velta.tl import TLParser
from small import Holder, Item, PeerUser, TypePeer, InvokeWithLayerRequest, SendRequest, TypePeer_2, ABC, ABC_2
from small_std import Holder as StdHolder, Item as StdItem

user: PeerUser = {"_": "peerUser", "user_id": 2**64 - 1}
peer: TypePeer = {"_": "peerChat", "chat_id": 1}
least: Item = {"_": "item", "n": 1, "raw": peer, "bare": user, "list": {"_": "any"}, "nested": [[user, peer]], "obj": {"_": "any"}, "d": 0.5, "s": "", "b": b"", "ok": False}
most: Item = {**least, "from": None, "big": True, "maybe": False, "tags": [b"x"]}
std: StdItem = {"_": "item", "raw": peer, "bare": user, "list": [1], "nested": [[user, peer]], "obj": {"_": "any"}, "d": 0.5, "s": "", "b": b"", "ok": False, "maybe": None}
holder: Holder = {"_": "holder", "nonce": {"_": "any"}, "key": {"x": 1}}
std_holder: StdHolder = {"_": "holder", "nonce": 2**100, "key": 5}
send: SendRequest = {"_": "send", "peer": user}
call: InvokeWithLayerRequest = {"_": "invokeWithLayer", "layer": 1, "query": send}
odd: list[ABC | ABC_2 | TypePeer_2] = [{"_": "a.bC"}, {"_": "aB.c"}, {"_": "typePeer", "x": 1}]
parser = TLParser({})
data: bytes = parser.pack(call) + parser.pack(user) + parser.pack({"_": "peerUser"})
back: Item = parser.unpack(data)
loose: dict[str, Any] = parser.unpack(data)
"""

# Each line is one mypy error.
BAD = """
from small import Item, PeerUser, SendRequest
from small_std import Holder as StdHolder
from small import Holder

a: PeerUser = {"_": "peerUser", "user_id": "five"}  # "user_id"
b: PeerUser = {"_": "peerChat", "user_id": 5}  # peerChat
c: PeerUser = {"_": "peerUser"}  # Missing key "user_id"
d: SendRequest = {"_": "send", "peer": {"_": "boolTrue"}}  # "peer"
e: Item = {"_": "item", "n": 1, "raw": {"_": "peerChat", "chat_id": 1}, "bare": {"_": "peerChat", "chat_id": 1}, "list": {}, "nested": [], "obj": {}, "d": 0.5, "s": "", "b": b"", "ok": False}  # "PeerUser"
f: Item = {"_": "item", "n": 1, "raw": {"_": "peerChat", "chat_id": 1}, "bare": {"_": "peerUser", "user_id": 1}, "list": {}, "nested": [], "obj": {}, "d": 0.5, "s": "", "b": b"", "ok": False, "maybe": None}  # "maybe"
g: Item = {"_": "item", "n": 1, "raw": {"_": "peerChat", "chat_id": 1}, "bare": {"_": "peerUser", "user_id": 1}, "list": {}, "nested": [], "obj": {}, "d": 0.5, "s": "", "b": b"", "ok": False, "big": None}  # "big"
h: Item = {"_": "item", "n": 1, "raw": {"_": "peerChat", "chat_id": 1}, "bare": {"_": "peerUser", "user_id": 1}, "list": {}, "nested": [], "obj": {}, "d": 0.5, "s": "", "b": b"", "ok": False, "flags": 3}  # "flags"
i: Item = {"_": "item", "raw": {"_": "peerChat", "chat_id": 1}, "bare": {"_": "peerUser", "user_id": 1}, "list": {}, "nested": [], "obj": {}, "d": 0.5, "s": "", "b": b"", "ok": False}  # Missing key "n"
j: Item = {"_": "item", "n": 1, "raw": {"_": "peerChat", "chat_id": 1}, "bare": {"_": "peerUser", "user_id": 1}, "list": {}, "nested": [[{"_": "boolTrue"}]], "obj": {}, "d": 0.5, "s": "", "b": b"", "ok": False}  # List item 0
k: Item = {"_": "item", "n": 1, "raw": {"_": "peerChat", "chat_id": 1}, "bare": {"_": "peerUser", "user_id": 1}, "list": {}, "nested": [], "obj": {}, "d": 0.5, "s": "", "b": b"", "ok": False, "tags": [""]}  # "bytes"
l: StdHolder = {"_": "holder", "nonce": {"_": "any"}, "key": 5}  # "nonce"
m: Holder = {"_": "holder", "nonce": 5, "key": {}}  # "nonce"
"""

GOOD_PUBLIC = """
from api import MessagesSendMessageRequest, PeerUser
ok: PeerUser = {"_": "peerUser", "user_id": 5}
req: MessagesSendMessageRequest = {"_": "messages.sendMessage", "peer": {"_": "inputPeerSelf"}, "message": "hi", "random_id": 7, "silent": True, "entities": [{"_": "messageEntityBold", "offset": 0, "length": 2}]}
"""

BAD_PUBLIC = """
from api import PeerUser
x: PeerUser = {"_": "peerUser", "user_id": "five"}  # "user_id"
"""


# Names that Python gives meanings of its own, or that its source cannot hold
# as they are; and a file name with backslash escapes and quotes.
HOSTILE_NAMES = ["__annotations__", "__name__", "__doc__", "__file__", "__spec__", "__builtins__",
                 "__loader__", "__package__", "__getattr__", "__all__", "__dict__", "__", "_t", "a\x00b",
                 "line\nbreak\r", "x\u2028y\x0c", 'q"\\N{x}\\x', "\U0001f600", "e\u0301", "\x7f"]
HOSTILE = {"constructors": [
    {"id": str(n + 1), "predicate": name, "type": ["T", "__doc__", "T\x00"][n % 3],
     "params": [{"name": field, "type": "int"} for field in HOSTILE_NAMES[n:n + 3]]}
    for n, name in enumerate(HOSTILE_NAMES)
], "methods": [{"id": str(100 + n), "method": name, "type": "T", "params": []}
               for n, name in enumerate(HOSTILE_NAMES[:3])]}
HOSTILE_FILE = 'h\\N\\x\\u12"""\'s.json'


def velta(*args):
    return subprocess.run([sys.executable, "-m", "Velta", *args], capture_output=True, text=True)


@pytest.fixture(scope="module")
def generated(tmp_path_factory):
    """The modules `velta types` writes for the small schema (both modes) and,
    where it is on this machine, for the public schema."""
    folder = tmp_path_factory.mktemp("typed")
    (folder / "small.tl").write_text(SMALL_TL)
    # The standard mode refuses %Peer with two constructors of Peer.
    (folder / "small_std.tl").write_text(SMALL_TL.replace("raw:%Peer", "raw:Peer"))
    outputs = {"small": ["--schema", "small.tl"], "small_std": ["--schema", "small_std.tl", "--standard"]}
    if PUBLIC_SCHEMA.exists():
        outputs["api"] = ["--schema", str(PUBLIC_SCHEMA)]
    (folder / HOSTILE_FILE).write_text(json.dumps(HOSTILE))
    outputs |= {"hostile": ["--schema", HOSTILE_FILE], "hostile_std": ["--schema", HOSTILE_FILE, "--standard"]}
    for module, args in outputs.items():
        result = subprocess.run([sys.executable, "-m", "Velta", "types", *args, "-o", f"{module}.py"],
                                cwd=folder, capture_output=True, text=True)
        assert (result.returncode, result.stderr) == (0, ""), result.stderr
    return folder


def load(folder, module):
    spec = importlib.util.spec_from_file_location(f"generated_{module}", folder / f"{module}.py")
    namespace = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(namespace)
    return namespace


@pytest.mark.parametrize("module, name, required, optional", [
    ("small", "Item", {"_", "n", "raw", "bare", "list", "nested", "obj", "d", "s", "b", "ok"},
     {"from", "big", "maybe", "tags"}),
    ("small", "SendRequest", {"_", "peer"}, set()),
    ("small", "InvokeWithLayerRequest", {"_", "layer", "query"}, set()),
    ("small", "True_", {"_"}, set()),  # a Python keyword
    ("small", "TypePeer_2", {"_", "x"}, set()),  # the alias of Peer came first
    ("small", "ABC", {"_"}, set()),
    ("small", "ABC_2", {"_"}, set()),
    # In the standard mode every "#" field is a flags word, without a key.
    # The standard mode's '#' fields are values too, keys that may be left out.
    ("small_std", "Item", {"_", "raw", "bare", "list", "nested", "obj", "d", "s", "b", "ok"},
     {"flags", "n", "from", "big", "maybe", "tags"}),
])
def test_generated_module_imports_with_the_expected_keys(generated, module, name, required, optional):
    typed = getattr(load(generated, module), name)
    assert (typed.__required_keys__, typed.__optional_keys__) == (required, optional)


def test_aliases_list_the_constructors_of_each_type(generated):
    small = load(generated, "small")
    assert small.TypePeer.__args__ == (small.PeerUser, small.PeerChat)
    assert small.TypeOdd.__args__ == (small.ABC, small.ABC_2)
    assert small.TypeThing is small.TypePeer_2
    assert not hasattr(small, "TypeX")  # a generic result has no constructors


def test_output_is_deterministic_and_stdout_matches_the_file(generated):
    printed = velta("types", "--schema", str(generated / "small.tl"))
    assert printed.returncode == 0
    assert printed.stdout == (generated / "small.py").read_text()
    assert typed_module(from_tl(SMALL_TL), "small.tl") == printed.stdout


def test_later_entries_replace_earlier_ones_as_in_the_codec():
    schema = {"constructors": [
        {"id": "1", "predicate": "a", "type": "T", "params": [{"name": "x", "type": "int"}]},
        {"id": "2", "predicate": "b", "type": "T", "params": []},
        {"id": "1", "predicate": "c", "type": "T", "params": []},  # same id as a: a is gone
        {"id": "3", "predicate": "b", "type": "T", "params": [{"name": "y", "type": "string"}]},
        {"id": "2", "predicate": "d", "type": "T", "params": []},  # b no longer has id 2: b stays
    ], "methods": [{"id": "4", "method": "c", "type": "T", "params": []}]}  # a method replaces c
    namespace = {}
    exec(typed_module(schema), namespace)
    assert {"A", "C"}.isdisjoint(namespace) and {"CRequest", "D"} <= set(namespace)
    assert set(namespace["TypeT"].__args__) == {namespace["B"], namespace["D"]}
    assert namespace["B"].__required_keys__ == {"_", "y"}


@pytest.mark.parametrize("schema", [
    '{"constructors": [{"predicate": "x", "id": "0x10"}]}',  # what the codec refuses
    "{not JSON, nor TL",
])
def test_bad_schema_is_one_error_line(tmp_path, schema):
    (tmp_path / "s.json").write_text(schema)
    result = velta("types", "--schema", str(tmp_path / "s.json"), "-o", str(tmp_path / "out.py"))
    assert result.returncode == 1 and result.stderr.startswith("velta: error: ")
    assert len(result.stderr.splitlines()) == 1 and not (tmp_path / "out.py").exists()


def test_generated_names_are_python_names_whatever_the_schema_says():
    schema = {"constructors": [
        {"id": "1", "predicate": "weird-name\u20ac", "type": "class", "params": [{"name": "a b", "type": "int"}]},
        {"id": "2", "predicate": "9lives", "type": "none", "params": [{"name": '"q"', "type": "string"}]},
    ], "methods": [{"id": "3", "method": "none", "type": "X", "params": []}]}
    namespace = {}
    exec(typed_module(schema, 'evil """ source\n'), namespace)
    assert {"Weird_name_", "_9lives", "TypeClass", "TypeNone", "NoneRequest"} <= set(namespace)
    assert namespace["Weird_name_"].__required_keys__ == {"_", "a b"}


def test_unpacked_values_have_the_keys_the_types_declare(generated):
    parser = TLParser(from_tl(SMALL_TL))
    item = load(generated, "small").Item
    value = {"_": "item", "n": 1, "raw": {"_": "peerChat", "chat_id": 1}, "bare": {"_": "peerUser", "user_id": 2},
             "list": {"_": "boolFalse"}, "nested": [[]], "obj": {"_": "boolTrue"}, "d": 0.5, "s": "s", "b": b"b", "ok": True,
             "tags": [b"t"]}
    back = parser.unpack(parser.pack(value))
    assert item.__required_keys__ <= set(back) <= item.__required_keys__ | item.__optional_keys__


@pytest.fixture(scope="module")
def mypy_errors(generated):
    """mypy --strict over the generated modules and the scripts above, run once:
    {file name: set of line numbers with an error}."""
    pytest.importorskip("mypy")
    scripts = {"good.py": GOOD, "bad.py": BAD}
    if PUBLIC_SCHEMA.exists():
        scripts |= {"good_public.py": GOOD_PUBLIC, "bad_public.py": BAD_PUBLIC}
    for name, text in scripts.items():
        (generated / name).write_text(text.lstrip("\n"))
    modules = [p.name for p in generated.glob("*.py") if p.name not in scripts]
    result = subprocess.run([sys.executable, "-m", "mypy", "--strict", "--no-error-summary",
                             "--cache-dir", str(generated / ".mypy_cache"), *modules, *scripts],
                            cwd=generated, capture_output=True, text=True)
    errors = {}
    for line in result.stdout.splitlines():
        match = re.match(r"([\w.]+):(\d+): error: (.*)", line)
        assert match, result.stdout + result.stderr
        errors.setdefault(match.group(1), {}).setdefault(int(match.group(2)), []).append(match.group(3))
    assert result.returncode == (1 if errors else 0), result.stdout + result.stderr
    return errors, result.stdout


def test_mypy_accepts_the_modules_and_correct_values(mypy_errors):
    errors, output = mypy_errors
    assert set(errors) <= {"bad.py", "bad_public.py"}, output


@pytest.mark.parametrize("script, text", [("bad.py", BAD), ("bad_public.py", BAD_PUBLIC)])
def test_mypy_rejects_each_wrong_value(mypy_errors, script, text):
    if script == "bad_public.py" and not PUBLIC_SCHEMA.exists():
        pytest.skip("the public schema is not on this machine")
    errors, output = mypy_errors
    expected = {n: line.split("  # ")[1] for n, line in enumerate(text.lstrip("\n").splitlines(), 1) if "  # " in line}
    found = errors.get(script, {})
    assert set(found) == set(expected), output
    for n, words in expected.items():
        assert any(words in message for message in found[n]), (n, found[n])


def test_public_schema_module_covers_every_entry(generated):
    if not PUBLIC_SCHEMA.exists():
        pytest.skip("the public schema is not on this machine")
    schema = from_tl(PUBLIC_SCHEMA.read_text(encoding="utf-8"))
    text = (generated / "api.py").read_text()
    literals = set(re.findall(r'"_": _t\.Literal\[("[^"]+")\]', text))
    assert {json.dumps(e.get("predicate") or e["method"])
            for e in schema["constructors"] + schema["methods"]} == literals


@pytest.mark.parametrize("module", ["hostile", "hostile_std"])
def test_hostile_names_keep_their_text_and_get_python_names(generated, module):
    namespace = load(generated, module)
    assert HOSTILE_FILE in namespace.__doc__ and namespace.__name__ == f"generated_{module}"
    typed = {name: value for name, value in vars(namespace).items() if hasattr(value, "__required_keys__")}
    literals = {td.__annotations__["_"].__args__[0]: td for td in typed.values()}
    assert set(literals) == set(HOSTILE_NAMES)  # the methods replaced the first three constructors
    assert not any(name.startswith("__") and name.endswith("__") for name in typed)
    for entry in HOSTILE["constructors"][3:]:
        assert literals[entry["predicate"]].__required_keys__ == {"_", *(p["name"] for p in entry["params"])}
    source = (generated / f"{module}.py").read_text(encoding="ascii")
    assert "\x00" not in source and "\\U0001f600" in source


@pytest.mark.parametrize("standard, line, value, keys", [
    # The default mode's flags words are the fields named flags and flags2,
    # whatever their type.
    (False, "a flags:int x:flags.0?int flags2:flags.1?# n:# = A;", {"x": 1, "n": 2}, ({"_", "n"}, {"x"})),
    # The standard mode's are the unconditional '#' fields, by any name, and
    # each is a value too: a key that may be left out.
    (True, "a mode:# f:# flags2:f.1?# x:mode.0?int flags:int = A;",
     {"mode": 1 | 1 << 8, "f": 2, "flags2": 3, "x": 1, "flags": 4},
     ({"_", "flags"}, {"mode", "f", "flags2", "x"})),
])
def test_flags_words_have_no_key(standard, line, value, keys):
    with pytest.warns(TLSchemaWarning):  # each condition packs in one mode only
        schema = from_tl(line)
    namespace = {}
    exec(typed_module(schema, standard=standard), namespace)
    required, optional = keys
    assert (namespace["A"].__required_keys__, namespace["A"].__optional_keys__) == (required, optional)
    parser = TLParser(schema, standard=standard)
    assert parser.unpack(parser.pack({"_": "a", **value})) == {"_": "a", **value}
