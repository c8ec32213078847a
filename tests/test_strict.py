"""strict=True: pack refuses unknown keys, missing unconditional fields and
flag-bit fields given anything but True, False or None; and, in every mode,
an unknown constructor name carries a note with the closest known names."""
import collections.abc
import json

import pytest

from Velta import tl

import api_values
from chat_values import CHAT_SCHEMA, WORKLOADS
from helpers import raises, tl_schema

# `a` is only its bit in both modes; `b` (flags.N?Bool) only in the default
# mode, where it is a bit like `a`; in the standard mode it carries a Bool.
SCHEMA = tl_schema("""
inner flags:# a:flags.0?true b:flags.1?Bool n:int = Inner;
outer flags:# items:Vector<Inner> child:flags.2?Inner name:string = Outer;
""")

MODES = [pytest.param(False, id="designed"), pytest.param(True, id="standard")]


def inner(**fields):
    return {"_": "inner", "n": 1, **fields}


def outer(**fields):
    return {"_": "outer", "items": [], "name": "x", **fields}


UNKNOWN = "Constructor '{}' has no field {!r}"
MISSING = "Constructor '{}' is missing its field '{}'"
BIT = "Constructor '{}' field '{}' is only a flag bit: it takes True, False or None, not {}"

# (value, message, note on the C side); each refused at every depth the
# value puts the fault.
REFUSED = [
    pytest.param(inner(m=1), UNKNOWN.format("inner", "m"), None, id="unknown"),
    pytest.param({"_": "inner", "n": 1, 7: 1}, UNKNOWN.format("inner", 7), None, id="unknown-not-str"),
    pytest.param(outer(flags2=0), UNKNOWN.format("outer", "flags2"), None, id="unknown-word"),
    pytest.param(outer(items=[inner(), inner(nn=2)]), UNKNOWN.format("inner", "nn"),
                 "while packing outer.items[1]", id="unknown-in-vector"),
    pytest.param(outer(child=inner(x=None)), UNKNOWN.format("inner", "x"),
                 "while packing outer.child", id="unknown-nested"),
    pytest.param({"_": "inner"}, MISSING.format("inner", "n"), "while packing inner.n", id="missing"),
    pytest.param({"_": "outer", "items": []}, MISSING.format("outer", "name"), "while packing outer.name",
                 id="missing-last"),
    pytest.param(outer(items=[{"_": "inner", "a": True}]), MISSING.format("inner", "n"),
                 "while packing outer.items[0].n", id="missing-in-vector"),
    pytest.param(inner(a=1), BIT.format("inner", "a", "int"), "while packing inner.a", id="bit-int"),
    pytest.param(inner(a="yes"), BIT.format("inner", "a", "str"), "while packing inner.a", id="bit-str"),
    pytest.param(outer(child=inner(a=0)), BIT.format("inner", "a", "int"), "while packing outer.child.a",
                 id="bit-nested"),
]


@pytest.mark.parametrize("standard", MODES)
@pytest.mark.parametrize("value, message, note", REFUSED)
def test_strict_refuses(Parser, standard, value, message, note):
    error = raises(ValueError, None, Parser(SCHEMA, standard=standard, strict=True).pack, value)
    assert str(error) == message
    if Parser is tl.TLParser:
        assert getattr(error, "__notes__", []) == ([note] if note else [])
    # Without strict=True the same value packs as it always did.
    Parser(SCHEMA, standard=standard).pack(value)


@pytest.mark.parametrize("standard, refused", [(False, True), (True, False)])
@pytest.mark.parametrize("given", [1, 0, "", [], 2.5])
def test_bool_condition_is_a_bit_in_the_designed_mode_only(Parser, standard, refused, given):
    strict = Parser(SCHEMA, standard=standard, strict=True)
    value = inner(b=given)
    if refused:
        raises(ValueError, "^" + BIT.format("inner", "b", type(given).__name__) + "$", strict.pack, value)
    else:
        assert strict.pack(value) == Parser(SCHEMA, standard=standard).pack(value)


@pytest.mark.parametrize("standard", MODES)
@pytest.mark.parametrize("value", [
    inner(),
    inner(a=True, b=False, flags=12345),      # a flags word is a field: given, still computed
    inner(a=None, b=None),
    inner(a=False, b=True),
    outer(items=[inner(a=True), inner(b=True)], child=inner(), flags=0),
    outer(child=None),
    {"name": "x", "items": [{"n": 1, "_": "inner"}], "_": "outer"},  # "_" last, keys out of order
], ids=range(7))
def test_strict_accepts_and_packs_the_same_bytes(Parser, standard, value):
    plain = Parser(SCHEMA, standard=standard)
    strict = Parser(SCHEMA, standard=standard, strict=True)
    data = strict.pack(value)
    assert data == plain.pack(value)
    # What unpack gives back is what strict packing takes.
    assert strict.pack(plain.unpack(data)) == data


class Fields(collections.abc.Mapping):
    """A mapping that is not a dict: strict reads its keys through keys()."""

    def __init__(self, **items):
        self._items = items

    def __getitem__(self, key):
        return self._items[key]

    def __iter__(self):
        return iter(self._items)

    def __len__(self):
        return len(self._items)


class Name(str):
    """A key that is a str subclass: equal to a field name by its text."""


@pytest.mark.parametrize("standard", MODES)
def test_strict_mappings_and_str_subclass_keys(Parser, standard):
    strict = Parser(SCHEMA, standard=standard, strict=True)
    plain = Parser(SCHEMA, standard=standard)
    ok = Fields(_="inner", n=3, a=True)
    assert strict.pack(ok) == plain.pack(ok)
    assert strict.pack({"_": "inner", Name("n"): 3}) == plain.pack({"_": "inner", "n": 3})
    raises(ValueError, "^" + UNKNOWN.format("inner", "m") + "$", strict.pack, Fields(_="inner", n=3, m=1))
    raises(ValueError, "^" + BIT.format("inner", "a", "int") + "$", strict.pack, Fields(_="inner", n=3, a=1))
    raises(ValueError, "^" + MISSING.format("inner", "n") + "$", strict.pack, Fields(_="inner"))
    raises(ValueError, r"^Constructor 'inner' has no field 'q'$", strict.pack, {"_": "inner", "n": 1, Name("q"): 1})


def test_strict_takes_the_truth_of_its_argument(Parser):
    assert Parser(SCHEMA, strict=0).pack({"_": "inner", "zz": 1})
    raises(ValueError, "no field 'zz'", Parser(SCHEMA, strict=[1]).pack, {"_": "inner", "n": 1, "zz": 1})


def _workloads():
    schema = json.dumps(CHAT_SCHEMA)
    for name, build in WORKLOADS.items():
        yield pytest.param(schema, False, build, id=f"chat-{name}")
    if api_values.available():
        for standard in (False, True):
            for name, build in [("history_page", api_values.history_page), ("small_user", api_values.small_user),
                                ("users_page", lambda standard: api_values.users_page(100, standard=standard))]:
                yield pytest.param(None, standard, build, id=f"api-{name}-{'standard' if standard else 'designed'}")


@pytest.mark.parametrize("schema, standard, build", list(_workloads()))
def test_strict_accepts_every_workload(Parser, schema, standard, build):
    if schema is None:
        schema, value = api_values.api_schema_json(), build(standard=standard)
    else:
        value = build()
    plain = Parser(schema, standard=standard)
    data = Parser(schema, standard=standard, strict=True).pack(value)
    assert data == plain.pack(value)


# ---- unknown constructor names, in every mode ---------------------------------

NAMES = tl_schema("""
user id:int = User;
userEmpty id:int = User;
messages.sendMessage peer:int = Updates;
messages.sendMedia peer:int = Updates;
""")


@pytest.mark.parametrize("strict", [False, True])
@pytest.mark.parametrize("standard", MODES)
@pytest.mark.parametrize("name, note", [
    ("messages.sendMesage", "did you mean 'messages.sendMessage' or 'messages.sendMedia'?"),
    ("usr", "did you mean 'user'?"),
    ("userEmpt", "did you mean 'userEmpty' or 'user'?"),
    ("zzzz", None),
])
def test_unknown_name_notes_the_closest(Parser, standard, strict, name, note):
    parser = Parser(NAMES, standard=standard, strict=strict)
    error = raises(ValueError, f"^Unknown constructor: {name}$", parser.pack, {"_": name, "id": 1})
    assert getattr(error, "__notes__", []) == ([note] if note else [])
    # Nested: the note on the name comes first, then the path.
    if Parser is tl.TLParser and note:
        schema = tl_schema("box item:Object = Box;\n" + "\n".join(
            f"{c['predicate']} id:int = Object;" for c in NAMES["constructors"]))
        error = raises(ValueError, None, Parser(schema, standard=standard).pack,
                       {"_": "box", "item": {"_": name}})
        assert error.__notes__ == [note, "while packing box.item"]
