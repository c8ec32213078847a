"""The TON dialect of the schema text reader: TL's original id rule, tonlib's
scalar declarations, types in parentheses; and the public TON schemas."""
import subprocess
import sys
import warnings
import zlib
from pathlib import Path

import pytest

from Velta.schema import TLSchemaWarning, combinator_id, from_tl
from Velta.tl import TLParser

TON_SCHEMAS = Path(__file__).resolve().parents[2] / "shared" / "schemas" / "ton"
needs_ton = pytest.mark.skipif(not TON_SCHEMAS.is_dir(), reason="the public TON schemas are not on this machine")


def load(text, dialect="ton"):
    """from_tl's result and the messages of the warnings it gave."""
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        schema = from_tl(text, dialect=dialect)
    assert all(issubclass(w.category, TLSchemaWarning) for w in caught)
    return schema, [str(w.message) for w in caught]


def params(schema, index=0):
    return [(p["name"], p["type"]) for p in schema["constructors"][index]["params"]]


def ids_of(schema):
    return {e.get("predicate", e.get("method")): int(e["id"]) & 0xFFFFFFFF
            for e in schema["constructors"] + schema["methods"]}


@pytest.mark.parametrize("line, dialect, hashed", [
    # TON hashes 'bytes' as written and keeps flags.N?true parameters
    ("liteServer.query data:bytes = Object", "ton", "liteServer.query data:bytes = Object"),
    ("a flags:# b:flags.0?true = A", "ton", "a flags:# b:flags.0?true = A"),
    ("a flags:# b:flags.0?true = A", "telegram", "a flags:# = A"),
    ("a#12345678 {X:Type} q:!X = X;", "ton", "a X:Type q:!X = X"),
    ("ids xs:(vector int256) ys:vector<(a.B)> = Ids", "ton", "ids xs:vector int256 ys:vector a.B = Ids"),
    ("ids xs:(vector bytes) y:(bytes) = Ids", "telegram", "ids xs:vector bytes y:string = Ids"),
    ("a x:int=A", "ton", "a x:int = A"),
])
def test_id_rules_hash_the_normalised_text(line, dialect, hashed):
    assert combinator_id(line, dialect=dialect) == zlib.crc32(hashed.encode())


@pytest.mark.parametrize("dialect", ["telegram", "ton"])
@pytest.mark.parametrize("text, expected", [
    ("a xs:(vector int) y:(b.C) = A;", [("xs", "vector<int>"), ("y", "b.C")]),
    ("a zs:( vector ( vector long ) ) = A;", [("zs", "vector<vector<long>>")]),
    ("a flags:# z:flags.1?(vector Peer)\n  w:(vector %Peer) = A;",
     [("flags", "#"), ("z", "flags.1?vector<Peer>"), ("w", "vector<%Peer>")]),
])
def test_types_in_parentheses_are_read_in_both_dialects(dialect, text, expected):
    schema, _ = load(text, dialect)
    assert params(schema) == expected


@pytest.mark.parametrize("text, problem", [
    ("a xs:(vector int long) = A;", "bad type in parentheses '(vector int long)'"),
    ("a xs:(vector int = A;", "unbalanced parentheses"),
    ("a xs:vector int) = A;", "unbalanced parentheses"),
    ("a xs:() = A;", "bad type in parentheses '()'"),
])
def test_bad_parentheses_are_refused_with_the_line(text, problem):
    with pytest.raises(ValueError, match="^line 2: ") as caught:
        from_tl("b = B;\n" + text, dialect="ton")
    assert problem in str(caught.value)


X_TEXT = ("x flags:# a:int32 b:int53 c:int64 d:secureString e:secureBytes f:vector<int64> g:flags.0?int32 "
          "h:(vector secureBytes) i:int32s j:my.int32 k:object l:function = X")


def test_tonlib_scalar_declarations_are_not_entries_and_map_to_built_in_scalars():
    text = """
    int32 = Int32; int53 = Int53; int64 = Int64; int256 8*[ int32 ] = Int256;
    bytes = Bytes; bytes data:string = Bytes; string = String;
    secureString = SecureString; secureBytes = SecureBytes;
    object ? = Object; function ? = Function;
    """ + X_TEXT + ";"
    schema, warned = load(text)
    assert warned == []
    assert [e["predicate"] for e in schema["constructors"]] == ["x"]
    assert params(schema) == [
        ("flags", "#"), ("a", "int"), ("b", "long"), ("c", "long"), ("d", "string"), ("e", "bytes"),
        ("f", "vector<long>"), ("g", "flags.0?int"), ("h", "vector<bytes>"), ("i", "int32s"),
        ("j", "my.int32"), ("k", "Object"), ("l", "Function")]
    # The id is that of the text as written, int32 and all.
    assert ids_of(schema)["x"] == combinator_id(X_TEXT, dialect="ton")
    TLParser(schema, standard=True)


def test_the_telegram_dialect_keeps_such_declarations():
    schema, _ = load("int32 = Int32;\nx a:int32 = X;", "telegram")
    assert [e["predicate"] for e in schema["constructors"]] == ["int32", "x"]
    assert params(schema, 1) == [("a", "int32")]


@pytest.mark.parametrize("line, warns_in_ton", [
    ("a mode:# x:mode.0?int = A;", False),  # only the standard mode packs it: TON's mode
    ("a x:mode.0?int mode:# = A;", True),  # neither mode packs it
    ("a x:flags.0?int = A;", True),
])
def test_ton_reports_only_conditions_that_no_mode_packs(line, warns_in_ton):
    assert len(load(line, "telegram")[1]) == 1
    assert len(load(line, "ton")[1]) == int(warns_in_ton)


@pytest.mark.parametrize("dialect", ["", "TON", "tl", None])
def test_an_unknown_dialect_is_refused(dialect):
    with pytest.raises(ValueError, match="dialect must be 'telegram' or 'ton'"):
        from_tl("a = A;", dialect=dialect)
    with pytest.raises(ValueError, match="dialect must be 'telegram' or 'ton'"):
        combinator_id("a = A", dialect=dialect)


# Published ids of the liteserver protocol.
KNOWN_IDS = {
    "adnl.message.query": 0xB48BF97A, "adnl.message.answer": 0x0FAC8416,
    "liteServer.query": 0x798C06DF, "liteServer.listBlockTransactions": 0xADFCC7DA,
    "liteServer.getMasterchainInfo": 0x89B5E62E, "liteServer.masterchainInfo": 0x85832881,
    "tonNode.blockIdExt": 0x6752EB78, "liteServer.error": 0xBBA9E148,
    "liteServer.getAccountState": 0x6B890E25, "liteServer.runSmcMethod": 0x5CC65DD2,
    # with (vector T) parameters
    "liteServer.transactionList": 0x6F26C60B, "liteServer.blockTransactions": 0xBD8CAD2B,
}
# The explicit ids of the published files that are not the ids of their text:
# each keeps the id of an earlier text of its combinator (a field added or
# renamed later), so the warning is right.
OLD_IDS = {
    "lite_api.tl": {"liteServer.transactionId", "liteServer.signatureSet.ordinary", "liteServer.getValidatorStats"},
    "ton_api.tl": {"tonNode.capabilities", "db.block.info", "collatorNode.pong", "consensus.broadcastExtraLegacy"},
    "tonlib_api.tl": set(),
}


@pytest.fixture(scope="module", params=sorted(OLD_IDS))
def published(request):
    if not TON_SCHEMAS.is_dir():
        pytest.skip("the public TON schemas are not on this machine")
    text = (TON_SCHEMAS / request.param).read_text(encoding="utf-8")
    return request.param, text, *load(text)


@needs_ton
def test_published_schemas_load_and_build_in_both_modes(published):
    name, text, schema, warned = published
    assert {m.split()[2] for m in warned} == OLD_IDS[name]
    assert all("is given id" in m for m in warned)
    assert len(schema["constructors"] + schema["methods"]) > 90
    assert len(set(ids_of(schema).values())) == len(ids_of(schema))
    TLParser(schema, standard=True)
    TLParser(schema)


@needs_ton
def test_published_ids_hold(published):
    _, _, schema, _ = published
    ids = ids_of(schema)
    known = {name: ident for name, ident in KNOWN_IDS.items() if name in ids}
    assert {name: ids[name] for name in known} == known
    if "liteServer.query" in ids:
        assert len(known) == len(KNOWN_IDS)


@needs_ton
def test_ids_without_an_explicit_id_are_those_of_the_text(published):
    # Every explicit id agrees with the text once the id is left out, except
    # the old ids above; and leaving all of them out changes no other id.
    name, text, schema, _ = published
    import re
    stripped = re.sub(r"^([A-Za-z_][\w.]*)#[0-9a-fA-F]+", r"\1", text, flags=re.MULTILINE)
    hashed = ids_of(load(stripped)[0])
    changed = {n for n, ident in ids_of(schema).items() if hashed[n] != ident}
    assert changed == OLD_IDS[name]


@needs_ton
def test_a_liteserver_query_packs_to_the_documented_bytes():
    schema, _ = load((TON_SCHEMAS / "lite_api.tl").read_text(encoding="utf-8"))
    parser = TLParser(schema, standard=True)
    query_id = bytes.fromhex("77c1545b96fa136b8e01cc08338bec47e8a43215492dda6d4d7e286382bb00c4")
    inner = parser.pack({"_": "liteServer.query", "data": parser.pack({"_": "liteServer.getMasterchainInfo"})})
    data = parser.pack({"_": "adnl.message.query", "query_id": int.from_bytes(query_id, "little"), "query": inner})
    assert data.hex() == ("7af98bb4" + query_id.hex() + "0cdf068c79" + "042ee6b589" + "000000" + "000000")
    back = parser.unpack(data)
    assert parser.unpack(parser.unpack(back["query"])["data"]) == {"_": "liteServer.getMasterchainInfo"}


@needs_ton
@pytest.mark.parametrize("dialect", ["ton", "telegram"])
def test_cli_reads_ton_text_with_dialect(dialect):
    run = subprocess.run([sys.executable, "-m", "Velta", "schema", "--dialect", dialect, "--schema",
                          str(TON_SCHEMAS / "lite_api.tl"), "--name", "liteServer.query"],
                         capture_output=True, text=True)
    assert run.returncode == 0, run.stderr
    line = "0x798c06df method      liteServer.query data:bytes = Object"
    assert (run.stdout.strip() == line) == (dialect == "ton"), run.stdout


@needs_ton
def test_typed_modules_of_the_ton_schemas_import_and_pass_mypy(tmp_path):
    pytest.importorskip("mypy")
    from Velta.typegen import typed_module
    modules = []
    for name in sorted(OLD_IDS):
        schema, _ = load((TON_SCHEMAS / name).read_text(encoding="utf-8"))
        path = tmp_path / name.replace(".tl", ".py")
        path.write_text(typed_module(schema, source=name, standard=True), encoding="utf-8")
        modules.append(path.name)
    # (vector T) is the bare vector: a list in the standard mode.
    assert '"ids": "list[TonNodeBlockIdExt]",' in (tmp_path / "lite_api.py").read_text()
    run = subprocess.run([sys.executable, "-m", "mypy", "--strict", "--no-incremental", *modules],
                         cwd=tmp_path, capture_output=True, text=True)
    assert run.returncode == 0, run.stdout
