import json
import random
import re
from pathlib import Path
import struct
import warnings

import pytest
from hypothesis import given, settings, strategies as st

from Velta import tl
from Velta.schema import TLSchemaWarning, combinator_id, from_tl

# Lines whose ids are well known; each one exercises a normalisation step.
@pytest.mark.parametrize("line, expected", [
    ("vector {t:Type} # [ t ] = Vector t", 0x1CB5C415),  # braces removed
    ("boolTrue = Bool", 0x997275B5),
    ("boolFalse = Bool", 0xBC799737),
    ("true = True", 0x3FEDD339),
    ("  boolTrue#997275b5\n   =Bool ;", 0x997275B5),  # id, spacing, ';'
    ("resPQ nonce:int128 server_nonce:int128 pq:string "
     "server_public_key_fingerprints:Vector<long> = ResPQ", 0x05162463),
    ("storage.fileJpeg = storage.FileType", 0x007EFE0E),
    ("users.getUsers id:Vector<InputUser> = Vector<User>", 0x0D91A548),
    ("invokeWithLayer {X:Type} layer:int query:!X = X", 0xDA9B0D0D),
    ("replyKeyboardHide flags:# selective:flags.2?true = ReplyMarkup", 0xA03E5B85),
    ("upload.file type:storage.FileType mtime:int bytes:bytes = upload.File", 0x096A18D5),
    # bytes inside a vector is not rewritten
    ("messages.sendVote peer:InputPeer msg_id:int options:Vector<bytes> = Updates", 0x10EA6184),
    ("messagePeerVoteMultiple peer:Peer options:Vector<bytes> date:int = MessagePeerVote", 0x4628F6E6),
])
def test_combinator_id_reproduces_known_ids(line, expected):
    assert combinator_id(line) == expected


def test_conversion_of_a_small_schema():
    text = """
    // built-ins
    int ? = Int;
    vector {t:Type} # [ t ] = Vector t;
    boolTrue#997275b5 = Bool;

    storage.fileJpeg = storage.FileType; // no explicit id
    user#ffffffff flags:# bot:flags.0?true
        name:flags.1?string   // trailing comment inside
        photos:flags2.3?Vector<long> flags2:# = User; dummy = Dummy;
    ---functions---
    invokeWithLayer#da9b0d0d {X:Type} layer:int query:!X = X;
    ---types---
    peer id:int = Peer;
    """
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", TLSchemaWarning)
        schema = from_tl(text)
    p = lambda name, type_: {"name": name, "type": type_}  # noqa: E731
    hashed = lambda line: str((combinator_id(line) ^ 2**31) - 2**31)  # noqa: E731
    assert schema == {
        "constructors": [
            {"id": "-1720552011", "predicate": "boolTrue", "params": [], "type": "Bool"},
            {"id": str(0x007EFE0E), "predicate": "storage.fileJpeg", "params": [],
             "type": "storage.FileType"},
            {"id": "-1", "predicate": "user", "type": "User",
             "params": [p("flags", "#"), p("bot", "flags.0?true"), p("name", "flags.1?string"),
                        p("photos", "flags2.3?Vector<long>"), p("flags2", "#")]},
            {"id": hashed("dummy = Dummy"), "predicate": "dummy", "params": [], "type": "Dummy"},
            {"id": hashed("peer id:int = Peer"), "predicate": "peer",
             "params": [p("id", "int")], "type": "Peer"},
        ],
        "methods": [
            {"id": str(0xDA9B0D0D - 2**32), "method": "invokeWithLayer", "type": "X",
             "params": [p("layer", "int"), p("query", "!X")]},
        ],
    }


@pytest.mark.parametrize("hex_id, decimal", [
    ("0", "0"), ("7fffffff", "2147483647"), ("80000000", "-2147483648"), ("ffffffff", "-1"),
])
def test_explicit_ids_become_signed_decimal_text(hex_id, decimal):
    with pytest.warns(TLSchemaWarning):
        (entry,) = from_tl(f"x#{hex_id} = X;")["constructors"]
    assert entry["id"] == decimal


def test_mismatching_id_warns_with_line_and_both_ids():
    text = "\n\nboolTrue#997275b5 = Bool;\nboolFalse#12345678 = Bool;\n"
    with pytest.warns(TLSchemaWarning) as caught:
        schema = from_tl(text)
    assert [str(w.message) for w in caught] == [
        "line 4: boolFalse is given id #12345678 but its text hashes to #bc799737"]
    assert schema["constructors"][1]["id"] == str(0x12345678)


@pytest.mark.parametrize("text, message", [
    ("a = A;\n\nb c:int B;", "line 3: expected '='"),
    ("a = A = B;", "line 1: more than one '='"),
    ("a\n  x = A;", "line 1: bad parameter 'x'"),
    ("a x:Vector<int = A;", "bad parameter 'x:Vector<int'"),
    ("a n:# x:n*[int] = A;", r"bad parameter 'x:n\*\[int\]'"),
    ("a {X} = A;", "bad generic declaration 'X'"),
    ("a = A B;", "bad result type 'A B'"),
    ("#1234 = A;", "bad name '#1234'"),
    ("a = A;\nb x:int\n  = B", "line 2: missing ';'"),
    ("a x:int\n---functions---", "line 1: missing ';' before the section at line 2"),
    ("x = X;\n---methods---", "line 2: unknown section"),
])
def test_malformed_input_names_the_line(text, message):
    with pytest.raises(ValueError, match=message):
        from_tl(text)


# A generated schema of realistic size and shape, pushed through the codec.
SCALARS = {
    "int": lambda rng: rng.randrange(2**31),
    "long": lambda rng: rng.randrange(2**64),
    "double": lambda rng: rng.uniform(-1e9, 1e9),
    "string": lambda rng: "".join(rng.choices("aé ж€😀", k=rng.randrange(9))),
    "bytes": lambda rng: rng.randbytes(rng.randrange(300)),
    "Bool": lambda rng: rng.random() < 0.5,
}
LEAVES = 10  # types below this hold scalars only


def type_name(t):
    return f"ns{t % 4}.T{t}" if t % 3 else f"T{t}"


def combinator(rng, name, t, result):
    """A line of type t's constructor (or a method); it refers to lower types only."""
    words = ["flags", "flags2"][: 1 + (rng.random() < 0.3)]
    params, bits = [f"{w}:#" for w in words], dict.fromkeys(words, 0)
    for i in range(rng.randrange(7)):
        conditional = rng.random() < 0.5
        typ = rng.choice(list(SCALARS))
        if t >= LEAVES:  # a field that is always present leads to a leaf type
            typ = rng.choice([typ, f"Vector<{typ}>", f"Vector<{type_name(rng.randrange(t))}>",
                              type_name(rng.randrange(t if conditional else LEAVES))])
        if conditional:
            word = rng.choice(words)
            typ, bits[word] = f"{word}.{bits[word]}?{rng.choice(['true', typ])}", bits[word] + 1
        params.append(f"p{i}:{typ}")
    line = " ".join([name, *params, "=", result]) + ";"
    if rng.random() < 0.3:  # spread over two lines, with a comment
        cut = rng.choice([i for i, char in enumerate(line) if char == " "])
        line = f"{line[:cut]} // {name}\n    {line[cut:]}"
    return line


def generate_tl(rng, types=100, per_type=5, methods=200):
    lines = ["int ? = Int;", "vector {t:Type} # [ t ] = Vector t;",
             "boolFalse#bc799737 = Bool;", "boolTrue#997275b5 = Bool;", "true#3fedd339 = True;"]
    for t in range(types):
        lines += [combinator(rng, f"ns{t % 4}.t{t}c{c}", t, type_name(t)) for c in range(per_type)]
        if t == types // 2:
            lines += ["---functions---"]
            lines += [combinator(rng, f"api.m{m}", types, type_name(m))
                      for m in range(methods // 2)]
            lines += ["", "---types---"]
    lines += ["---functions---"]
    lines += [combinator(rng, f"api.m{m}", types, f"Vector<{type_name(m)}>")
              for m in range(methods // 2, methods)]
    return "\n".join(lines)


def make_value(rng, typ, by_type, depth):
    """A value of the type text typ, as unpack returns it."""
    if typ in SCALARS:
        return SCALARS[typ](rng)
    if typ.startswith("Vector<"):
        count = 0 if depth > 2 else rng.randrange(4)
        return [make_value(rng, typ[7:-1], by_type, depth + 1) for _ in range(count)]
    return make_object(rng, rng.choice(by_type[typ]), by_type, depth + 1)


def make_object(rng, entry, by_type, depth):
    value = {"_": entry.get("predicate") or entry["method"]}
    for param in entry["params"]:
        cond, _, typ = param["type"].rpartition("?")
        if typ == "#":
            continue
        if typ == "true" or (cond and typ == "Bool"):  # no bytes: the bit is the value
            value[param["name"]] = rng.random() < 0.5
        elif cond and (depth > 2 or rng.random() < 0.4):
            value[param["name"]] = None
        else:
            value[param["name"]] = make_value(rng, typ, by_type, depth)
    return value


def test_generated_schema_round_trips_through_the_codec():
    rng = random.Random(7)
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        schema = from_tl(generate_tl(rng))
    constructors, methods = schema["constructors"], schema["methods"]
    assert (len(constructors), len(methods)) == (503, 200)
    assert len({e["id"] for e in constructors + methods}) == 703
    by_type = {}
    for entry in constructors:
        by_type.setdefault(entry["type"], []).append(entry)
    parser = tl.TLParser(json.dumps(schema))
    nested = 0
    for entry in rng.sample(constructors[3:], 40) + rng.sample(methods, 20):
        value = make_object(rng, entry, by_type, 0)
        data = parser.pack(value)
        assert data[:4] == struct.pack("<i", int(entry["id"]))
        assert parser.unpack(data) == value
        nested += any(isinstance(v, (dict, list)) and v for v in value.values())
    assert nested > 20


PUBLIC_SCHEMA = Path(__file__).resolve().parents[2] / "shared" / "schemas" / "api.tl"


@pytest.mark.skipif(not PUBLIC_SCHEMA.exists(), reason="the public schema is not on this machine")
def test_public_schema_ids_match_with_and_without_explicit_ids():
    text = PUBLIC_SCHEMA.read_text(encoding="utf-8")
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        published = from_tl(text)
        hashed = from_tl(re.sub(r"^([A-Za-z_][\w.]*)#[0-9a-fA-F]+", r"\1", text, flags=re.MULTILINE))
    entries = published["constructors"] + published["methods"]
    assert len(entries) > 2000
    assert [e["id"] for e in hashed["constructors"] + hashed["methods"]] == [e["id"] for e in entries]


@pytest.mark.parametrize("line, field, word", [
    ("a f:# x:f.0?int = A;", "x", "f"),  # valid TL, but not a word the codec computes
    ("a x:flags.0?int flags:# = A;", "x", "flags"),  # declared after the field
    ("a x:flags.0?int = A;", "x", "flags"),  # not declared
    ("a flags:int x:flags.0?int = A;", "x", "flags"),  # not a '#' field
    ("a flags:# y:flags2.1?true flags2:# = A;", "y", "flags2"),
    ("a flags:# x:flags.0?int\n  z:g.3?Vector<long> = A;", "z", "g"),
])
def test_conditional_field_on_an_unknown_flags_word_warns(line, field, word):
    with pytest.warns(TLSchemaWarning) as caught:
        schema = from_tl("b = B;\n" + line)
    assert len(caught) == 1
    message = str(caught[0].message)
    assert message.startswith("line 2: a: ") and f"'{field}'" in message and f"'{word}'" in message
    assert field in [p["name"] for p in schema["constructors"][1]["params"]]  # kept, as written


@pytest.mark.parametrize("line", [
    "a flags:# x:flags.0?int y:flags.31?true = A;",
    "a flags:# flags2:# x:flags2.0?int y:flags.1?Vector<bytes> = A;",
    "a flags:# x:flags.0?int flags2:# y:flags2.0?string = A;",
])
def test_conditional_fields_on_flags_words_declared_before_them_do_not_warn(line):
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        from_tl(line)


@pytest.mark.parametrize("separator", ["\x0c", "\x0b", "\x1c", "\x1d", "\x1e", "\x85", "\u2028", "\u2029", "\r"])
def test_a_comment_runs_to_the_line_feed_only(separator):
    schema = from_tl(f"// old: {separator}b = B;\na = A; // x{separator}c = C;\n")
    assert [c["predicate"] for c in schema["constructors"]] == ["a"]


@pytest.mark.parametrize("newline", ["\n", "\r\n"])
def test_line_numbers_count_line_feeds(newline):
    text = newline.join(["// one", "a = A;\x0c // two", "b\u2028= B;", "c x:bad! = C;"])
    with pytest.raises(ValueError, match="^line 4: bad parameter 'x:bad!'"):
        from_tl(text)
    assert len(from_tl(newline.join(text.split(newline)[:3]))["constructors"]) == 2


def test_a_byte_order_mark_is_read_only_at_the_start():
    assert from_tl("\ufeffa = A;")["constructors"][0]["predicate"] == "a"
    with pytest.raises(ValueError, match="^line 2: bad name"):
        from_tl("a = A;\n\ufeffb = B;")


@pytest.mark.parametrize("param", ["x:flags.\u0663?true", "x:flags.\uff11?int", "x:flags.\u00b2?int"])
def test_bit_numbers_are_ascii_digits(param):
    with pytest.raises(ValueError, match=re.escape(f"line 1: bad parameter '{param}'")):
        from_tl(f"a flags:# {param} = A;")


@pytest.mark.parametrize("text, expected", [
    ("a#1 = A;\nb#2 = B;\na#3 = A;", ["line 3: a is defined again (first at line 1)"]),
    ("a#1 = A;\nb#1 = B;", ["line 2: b has the id #00000001 of a (line 1)"]),
    ("a#1 = A;\na#1 = A;", ["line 2: a is defined again (first at line 1)"]),
    ("a#1 = A;\nb#2 = B;\na#2 = A;",
     ["line 3: a is defined again (first at line 1)", "line 3: a has the id #00000002 of b (line 2)"]),
    ("a#1 = A;\n---functions---\na#5 = A;", ["line 3: a is defined again (first at line 1)"]),
    ("a = A;\n---functions---\nb#7aae25b9 = B;", ["line 3: b has the id #7aae25b9 of a (line 1)"]),
])
def test_a_name_or_id_defined_twice_warns(text, expected):
    with pytest.warns(TLSchemaWarning) as caught:
        schema = from_tl(text)
    messages = [str(w.message) for w in caught if "hashes to" not in str(w.message)]
    assert [m.split(";")[0] for m in messages] == expected
    assert all(m.endswith("; the later definition replaces the earlier one") for m in messages)
    assert len(schema["constructors"] + schema["methods"]) == text.count("=")  # kept as written


def test_entries_the_codec_ends_up_with():
    from Velta.schema import effective_entries
    schema = {"constructors": [
        {"id": "1", "predicate": "a", "type": "T", "params": []},
        {"id": "2", "predicate": "b", "type": "T", "params": []},
        {"id": 1, "predicate": "c", "type": "T", "params": []},  # same id as a
        {"id": "3", "predicate": "b", "type": "U", "params": []},  # same name as b
        {"id": "-1", "predicate": "d", "type": "T", "params": []},
        "not an entry",
    ], "methods": [
        {"id": "4294967295", "method": "e", "type": "T", "params": []},  # the id of d, unsigned
        {"id": "5", "method": "c", "type": "T", "params": []},  # a method replaces the constructor c
    ]}
    entries = effective_entries(schema)
    assert [(m, e.get("predicate", e.get("method")), e["type"]) for m, e in entries] == [
        (False, "b", "U"), (True, "e", "T"), (True, "c", "T")]
    # What remains is what round-trips: an entry whose id alone was taken over
    # still packs, but its bytes unpack as the later entry.
    parser = tl.TLParser({**schema, "constructors": schema["constructors"][:-1]})
    kept = {e.get("predicate", e.get("method")) for _, e in entries}
    for name in "abcde":
        back = parser.unpack(parser.pack({"_": name}))["_"]
        assert (back == name) == (name in kept), name


@pytest.mark.parametrize("line, outcome", [
    ("a f:# x:f.0?int = A;", "only TLParser(..., standard=True) can pack it"),
    ("a flags:int x:flags.0?int = A;", "only the default mode can pack it (standard=True refuses the schema)"),
    ("a flags:# flags2:flags.0?# x:flags2.1?int = A;",
     "only the default mode can pack it (standard=True refuses the schema)"),
    ("a x:flags.0?int flags:# = A;", "the codec cannot pack it (standard=True refuses the schema)"),
])
def test_a_condition_warning_names_the_mode_that_packs_it(line, outcome):
    with pytest.warns(TLSchemaWarning) as caught:
        schema = from_tl(line)
    assert len(caught) == 1 and str(caught[0].message).endswith(outcome)
    for standard in (False, True):
        packs = outcome.startswith(f"only {'TLParser' if standard else 'the default'}")
        if not packs:
            if standard:
                with pytest.raises(ValueError, match="is conditional on"):
                    tl.TLParser(schema, standard=True)
            continue
        parser = tl.TLParser(schema, standard=standard)
        assert parser.unpack(parser.pack({"_": "a", "x": 7}))["x"] == 7


SCHEMA_LINES = ["a x:int = A;", "b flags:# y:flags.0?string = B;", "---functions---", "f a:A = B;"]


@settings(max_examples=200, deadline=None)
@given(st.lists(st.text(st.characters(blacklist_characters="\n")), min_size=len(SCHEMA_LINES),
                max_size=len(SCHEMA_LINES)), st.sampled_from(["\n", "\r\n"]), st.booleans())
def test_comments_never_change_the_schema(comments, newline, bom):
    # Whatever a comment holds up to the line feed -- form feeds, "\u2028",
    # "//", ";" or text that looks like entries -- it is not read.
    text = newline.join(f"{line} //{comment}" for line, comment in zip(SCHEMA_LINES, comments))
    assert from_tl("\ufeff" * bom + text) == from_tl("\n".join(SCHEMA_LINES))
