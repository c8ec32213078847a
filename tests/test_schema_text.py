"""Schema text is read directly when it has the usual shape and by json.loads
otherwise: either way a text compiles to exactly what json.loads(text)
compiles to, or fails with exactly the same error."""
import json
import struct
import sys
import traceback

import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

from Velta import tl

import api_values
from wire import VECTOR


def outcome(call, *args, **kwargs):
    try:
        return "ok", call(*args, **kwargs)
    except Exception as exc:  # noqa: BLE001 - the type and text are what is compared
        return type(exc), str(exc)


def entry_keys(schema):
    """(name, id) of every entry that compiled, as far as a dict tells."""
    keys = []
    for entry in (schema.get("constructors") or []) + list(schema.get("methods") or []):
        name = entry.get("predicate", entry.get("method", entry.get("type", "")))
        try:
            ident = int(entry.get("id", 0)) & 0xFFFFFFFF
        except (TypeError, ValueError, OverflowError):
            ident = 0
        keys.append((name, ident))
    return keys


def probe(parser, schema):
    """What a parser shows of its table: packing each entry with no fields
    given, and reading each id over zero bytes and over an empty vector."""
    shown = []
    for name, ident in entry_keys(schema):
        head = struct.pack("<I", ident)
        shown.append(outcome(parser.pack, {"_": name}))
        shown.append(outcome(parser.unpack, head + bytes(48)))
        shown.append(outcome(parser.unpack, head + (VECTOR + bytes(4)) * 12))
    return shown


def shown(result, schema):
    """A compile's outcome, with the parser's probe when it compiled."""
    return result if result[0] != "ok" else ("ok", probe(result[1], schema))


class LoadsCalls:
    """Counts the calls of json.loads while active (seen through the profiler,
    so that json.loads itself stays the module's own)."""

    def __init__(self):
        self.count = 0

    def _profile(self, frame, event, arg):
        if event == "call" and frame.f_code is json.loads.__code__:
            self.count += 1

    def __enter__(self):
        sys.setprofile(self._profile)
        return self

    def __exit__(self, *exc):
        sys.setprofile(None)


def same_as_decoded(text, standard):
    """Compiles `text` and json.loads(text); returns whether json.loads ran."""
    decoded = outcome(json.loads, text)
    with LoadsCalls() as calls:
        direct = outcome(tl.TLParser, text, standard=standard)
    if decoded[0] != "ok":
        assert direct == decoded
    elif isinstance(decoded[1], str):  # not compiled again as text
        assert direct == (TypeError, "Expected dict, got str")
    else:
        assert shown(direct, decoded[1]) == shown(outcome(tl.TLParser, decoded[1], standard=standard), decoded[1])
    return calls.count > 0


REFUSED = [  # read directly, then refused by the table builder itself
    '{"constructors":[{"predicate":"c","id":1,"params":[{"name":"a","type":"flags.x?int"}]}]}',
    '{"constructors":[{"predicate":"c","id":1,"params":[{"name":"a","type":"flags.0.1?int"}]}]}',
    '{"constructors":[{"predicate":"c","id":1,"params":[{"name":"a","type":"flags.99999999999?int"}]}]}',
    '{"constructors":[{"predicate":"c","id":1,"params":[{"name":"a","type":"w.0?int"}]}]}',
    '{"constructors":[{"predicate":"c","id":1,"type":"T","params":[{"name":"o","type":"%U"}]}]}',
]
P = '{"name":"flags","type":"#"},{"name":"a","type":"flags.0?int"},{"name":"v","type":"Vector<long>"}'
PLAIN = [  # read directly
    '{}', ' \n\t{ } \r\n',
    '{"constructors":[]}', '{"constructors":[],"methods":[]}',
    '{"constructors":[{"id":1,"predicate":"c","type":"T","params":[' + P + ']}]}',
    '{"methods":[{"id":"-5","method":"m","params":[],"type":"T"}],"constructors":[{"predicate":"c","id":7}]}',
    '{ "constructors" : [ { "predicate" : "c" , "id" : 4294967295 , "params" : [ ] } ] }',
    '{"constructors":[{"predicate":"c","id":-1},{"predicate":"d","id":-999999999999999999}]}',
    '{"constructors":[{"predicate":"c","id":"007"},{"predicate":"d","id":"-0"},{"predicate":"e","id":0}]}',
    '{"constructors":[{"predicate":"c","id":1,"extra":null,"more":true,"n":-12,"s":"x","f":false}],"layer":220}',
    '{"constructors":[{"id":1,"params":[{"name":"x","type":"int","doc":"the x"}]}]}',
    '{"constructors":[{"id":1}, {"type":"T","id":2}, {"method":"m","type":"T","id":3}, {"predicate":"","method":"m","id":4}]}',
    '{"constructors":[{"predicate":"c","id":1,"params":[{"name":"x","type":"int"},{"name":"x","type":"string"}]}]}',
    '{"constructors":[{"predicate":"a","id":1},{"predicate":"a","id":2},{"predicate":"b","id":1}]}',
    '{"constructors":[{"predicate":"c","id":1,"type":"T","params":[{"name":"o","type":"%T"},{"name":"b","type":"c"}]}]}',
    *REFUSED,
]
FALLBACK = [  # handed to json.loads
    '', ' ', '{', '[]', 'null', '5', '"{}"', '{}x', '{} {}', '\ufeff{}', '{"constructors":[}',
    '{"constructors":[{"predicate":"c","id":1}]', '{"constructors":[{"predicate":"c","id":1}],}',
    '{"constructors":[{"predicate":"c\\u0041","id":1}]}', '{"constructors":[{"predicate":"c\\"","id":1}]}',
    '{"constructors":[{"predicate":"c","id":1,"params":[{"name":"\\u00e9","type":"int"}]}]}',
    '{"constructors":[{"predicate":"\u00e9t\u00e9","id":1,"params":[{"name":"\u00e9","type":"int"}]}]}',
    '{"constructors":[{"predicate":"c\x01","id":1}]}', '{"constructors":[{"predicate":"a\tb","id":1}]}',
    '{"constructors":[{"predicate":"c","id":1,"id":2}]}', '{"constructors":[{"predicate":"a","predicate":"b"}]}',
    '{"constructors":[],"constructors":[{"predicate":"c","id":1}]}',
    '{"constructors":[{"predicate":"c","params":[{"name":"a","name":"b","type":"int"}]}]}',
    '{"constructors":[{"predicate":"c","id":1234567890123456789}]}',
    '{"constructors":[{"predicate":"c","id":-1234567890123456789}]}',
    '{"constructors":[{"predicate":"c","id":' + "9" * 5000 + '}]}',
    '{"constructors":[{"predicate":"c","id":' + "9" * 4300 + '}]}',
    '{"constructors":[{"predicate":"c","id":4294967296}]}', '{"constructors":[{"predicate":"c","id":"4294967296"}]}',
    '{"constructors":[{"predicate":"c","id":1.0}]}', '{"constructors":[{"predicate":"c","id":1e3}]}',
    '{"constructors":[{"predicate":"c","id":01}]}', '{"constructors":[{"predicate":"c","id":-}]}',
    '{"constructors":[{"predicate":"c","id":" 7 "}]}', '{"constructors":[{"predicate":"c","id":"+7"}]}',
    '{"constructors":[{"predicate":"c","id":"1_0"}]}', '{"constructors":[{"predicate":"c","id":"0x10"}]}',
    '{"constructors":[{"predicate":"c","id":""}]}', '{"constructors":[{"predicate":"c","id":"1234567890123456789"}]}',
    '{"constructors":[{"predicate":"c","id":true}]}', '{"constructors":[{"predicate":"c","id":null}]}',
    '{"constructors":[{"predicate":"c","id":NaN}]}', '{"constructors":[{"predicate":"c","id":[1]}]}',
    '{"constructors":[{"predicate":null,"method":"m"}]}', '{"constructors":[{"predicate":1}]}',
    '{"constructors":[{"predicate":"c","type":null}]}', '{"constructors":[{"predicate":"c","params":null}]}',
    '{"constructors":[{"predicate":"c","params":{}}]}', '{"constructors":null}', '{"constructors":{}}',
    '{"constructors":[null]}', '{"constructors":[[]]}', '{"constructors":[{}],"methods":[null]}',
    '{"methods":{"a":1}}', '{"methods":"ab"}', '{"methods":5}',
    '{"constructors":[{"predicate":"c","params":[null]}]}',
    '{"constructors":[{"predicate":"c","params":[{"name":"f"}]}]}',
    '{"constructors":[{"predicate":"c","params":[{"type":"int"}]}]}',
    '{"constructors":[{"predicate":"c","params":[{"name":null,"type":"int"}]}]}',
    '{"constructors":[{"predicate":"c","params":[{"name":"a","type":null}]}]}',
    '{"constructors":[{"predicate":"c","params":[{"name":"a","type":5}]}]}',
    '{"constructors":[{"predicate":"c","extra":{"a":1}}]}', '{"constructors":[{"predicate":"c","extra":[]}]}',
    '{"constructors":[{"predicate":"c","params":[{"name":"a","type":"int","doc":{}}]}]}',
    '{"layer":{"n":1},"constructors":[]}', '{"constructors":[],"x":1.5}', '{"constructors":[],"x":-0.0}',
    '{"constructors":[],"x":Infinity}', '{"constructors":[],"x":tru}', '{"constructors":[],"x":nul}',
]


@pytest.mark.parametrize("standard", [False, True])
@pytest.mark.parametrize("text", PLAIN)
def test_plain_text_is_read_directly_to_the_decoded_table(text, standard):
    assert not same_as_decoded(text, standard)


def traceback_names(schema, standard):
    """The traceback entries of a refused compile; None when it compiles."""
    try:
        tl.TLParser(schema, standard=standard)
    except Exception as exc:  # noqa: BLE001
        return [frame.name for frame in traceback.extract_tb(exc.__traceback__)][1:]
    return None


@pytest.mark.parametrize("standard", [False, True])
@pytest.mark.parametrize("text", REFUSED)
def test_a_refused_text_shows_the_traceback_of_its_dict(text, standard):
    assert traceback_names(text, standard) == traceback_names(json.loads(text), standard)


@pytest.mark.parametrize("standard", [False, True])
@pytest.mark.parametrize("text", FALLBACK)
def test_other_text_goes_to_json_loads_with_the_same_outcome(text, standard):
    assert same_as_decoded(text, standard)


def test_the_earlier_table_is_released_only_once_the_text_decodes():
    name = sys.intern("".join(["kept", "_field"]))  # the str object that the read text names
    text = '{"constructors":[{"predicate":"c","id":1,"params":[{"name":"kept_field","type":"int"}]}]}'
    base, compiler = sys.getrefcount(name), tl.TLSchemaCompiler()
    compiler.compile(text)
    held = sys.getrefcount(name)
    if held == base:
        pytest.skip("interned strings are immortal on this interpreter: nothing to count")
    for bad in (text[:-1], text + "x", text.replace("kept", "k\u00e9pt")[:-1]):
        pytest.raises(ValueError, compiler.compile, bad)
        assert sys.getrefcount(name) == held  # the table stays until the text decodes
    compiler.compile(text)
    pytest.raises(ValueError, compiler.compile, text.replace('"id":1', '"id":"x"'))
    assert sys.getrefcount(name) == base  # it decoded: released before the entry failed
    compiler.compile(text)
    pytest.raises(ValueError, compiler.compile, text.replace('"int"', '"flags.x?int"'))
    compiler.compile("{}")  # the half-built table goes with the next compile
    assert sys.getrefcount(name) == base


@pytest.mark.parametrize("replace", ["module", "function"])
def test_a_replaced_json_loads_is_called(monkeypatch, replace):
    text = '{"constructors":[{"predicate":"c","id":1}]}'
    seen = []

    def loads(given):
        seen.append(given)
        return {"constructors": [{"predicate": "d", "id": 2}]}

    if replace == "module":
        monkeypatch.setattr(tl, "json", type(json)("stand_in"), raising=True)
        tl.json.loads = loads
    else:
        monkeypatch.setattr(json, "loads", loads)
    parser = tl.TLParser(text)
    assert seen == [text] and parser.unpack(b"\x02\0\0\0") == {"_": "d"}
    monkeypatch.undo()
    assert tl.TLParser(text).unpack(b"\x01\0\0\0") == {"_": "c"}


def test_a_str_subclass_goes_to_json_loads():
    text = type("Text", (str,), {})('{"constructors":[{"predicate":"c","id":1}]}')
    with LoadsCalls() as calls:
        parser = tl.TLParser(text)
    assert calls.count == 1 and parser.unpack(b"\x01\0\0\0") == {"_": "c"}


@pytest.mark.skipif(not api_values.available(), reason=f"the public schema is not on this machine: {api_values.missing_reason()}")
@pytest.mark.parametrize("standard", [False, True])
def test_public_schema_text_compiles_like_its_dict(standard):
    text, schema = api_values.api_schema_json(), api_values.api_schema()
    with LoadsCalls() as calls:
        direct = tl.TLParser(text, standard=standard)
    assert calls.count == 0, "the public schema text was not read directly"
    decoded = tl.TLParser(schema, standard=standard)
    assert probe(direct, schema) == probe(decoded, schema)
    for value in (api_values.history_page(standard=standard), api_values.small_user(standard=standard)):
        wire = decoded.pack(value)
        assert direct.pack(value) == wire and direct.unpack(wire) == decoded.unpack(wire) == value


# ---- random texts -------------------------------------------------------------

NAMES = st.sampled_from(["a", "b", "flags", "flags2", "id", "x_1", "", "T", "c.d", "Vector"])
TYPES = st.sampled_from(["int", "#", "long", "string", "bytes", "Bool", "true", "T", "%T", "c", "Vector<int>",
                         "vector<long>", "flags.0?true", "flags.1?int", "flags2.3?string", "x.0?int", "flags.q?int"])
IDS = st.integers(-2**40, 2**33) | st.integers(-2**31, 2**32).map(str) | st.sampled_from(["+1", " 2", "", "1.5"])
PARAMS = st.lists(st.fixed_dictionaries({"name": NAMES, "type": TYPES}), max_size=4)
ENTRY = st.fixed_dictionaries({"id": IDS, "params": PARAMS},
                              optional={"predicate": NAMES.map(str.lower), "method": NAMES, "type": NAMES})
SCHEMA = st.fixed_dictionaries({}, optional={"constructors": st.lists(ENTRY, max_size=4),
                                             "methods": st.lists(ENTRY, max_size=2)})


@st.composite
def schema_texts(draw):
    """JSON text of a random schema: re-spaced, and maybe cut short or with
    one character replaced."""
    spacing = draw(st.sampled_from([(",", ":"), (", ", ": "), (" ,\n", " :\t")]))
    text = json.dumps(draw(SCHEMA), separators=spacing, indent=draw(st.sampled_from([None, 1])))
    spoil = draw(st.sampled_from(["none", "cut", "replace"]))
    if spoil != "none" and text:
        at = draw(st.integers(0, len(text) - 1))
        text = text[:at] if spoil == "cut" else text[:at] + draw(st.sampled_from('{}[],:"\\ 0-ex\u00e9')) + text[at + 1:]
    return text


@settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(text=schema_texts(), standard=st.booleans())
def test_random_schema_text_compiles_like_its_decoded_form(text, standard):
    same_as_decoded(text, standard)
