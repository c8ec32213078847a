"""Pack reads a dict the same whatever its keys are: the schema's own name
objects, strs that are only equal to them (a JSON decoder's), literal keys
of only the fields that are set, in any order."""
import gc
import json
import sys
import threading

import pytest

import api_values
from api_values import equal_keys as rekey
from api_values import fresh_str as fresh
from helpers import raises, tl_schema

# One constructor with enough fields for a name index, one with few; both
# with conditional fields between the ones code usually gives.
WIDE_FIELDS = [f"f{i}" for i in range(14)]
SCHEMA = tl_schema(
    "wide#1 flags:# " + " ".join(f"{name}:flags.{i}?int" if i % 3 == 1 else f"{name}:int"
                                  for i, name in enumerate(WIDE_FIELDS))
    + " = Wide;\n"
    "narrow#2 a:int b:string c:Vector<Wide> = Narrow;\n"
    "page#3 items:Vector<Narrow> = Page;\n"
)


def wide(seed, given=None):
    names = WIDE_FIELDS if given is None else given
    return {"_": "wide", **{name: seed * 100 + i for i, name in enumerate(WIDE_FIELDS) if name in names}}


def page(count):
    return {"_": "page", "items": [{"_": "narrow", "a": i, "b": f"item {i}", "c": [wide(i), wide(i + 1, WIDE_FIELDS[::2])]}
                                    for i in range(count)]}


@pytest.fixture(params=["text", "dict"])
def parser(Parser, request):
    # Compiled from text, the names are the compiler's own strs; from a dict,
    # they are the dict's, which the tests' keys are not either.
    return Parser(json.dumps(SCHEMA) if request.param == "text" else json.loads(json.dumps(SCHEMA)))


@pytest.mark.parametrize("count", [1, 40])  # 40 objects: past the first keys, which are matched by text alone
@pytest.mark.parametrize("shared", [True, False], ids=["keys shared", "keys own"])
def test_equal_keys_pack_as_the_names_do(parser, count, shared):
    value = page(count)
    assert parser.pack(rekey(value, {} if shared else None)) == parser.pack(value)


@pytest.mark.parametrize("order", ["reversed", "shuffled", "sparse reversed"])
@pytest.mark.parametrize("keys", ["names", "equal"])
def test_keys_out_of_step_are_found(parser, order, keys):
    value = page(3)
    expected = parser.pack(value)

    def reorder(obj):
        if isinstance(obj, list):
            return [reorder(v) for v in obj]
        if not isinstance(obj, dict):
            return obj
        items = [(k, reorder(v)) for k, v in obj.items()]
        if order == "shuffled":
            items = items[1::2] + items[::2]
        else:
            items = items[::-1]
        if order == "sparse reversed":  # only unconditional zeros go, written as their defaults
            items = [(k, v) for k, v in items if v != 0]
        return dict(items)

    reordered = reorder(value)
    assert parser.pack(rekey(reordered, {}) if keys == "equal" else reordered) == expected


def test_an_equal_key_names_its_own_field_only(parser):
    # One key object per text, used by every object: its alias must match the
    # field of that name and no other, wherever the walk is.
    memo = {}
    first = rekey(page(30), memo)
    swapped = rekey({"_": "wide", "f2": 1, "f0": 2, "f3": 3, "f1": 4}, memo)
    assert parser.pack(first) == parser.pack(page(30))
    assert parser.unpack(parser.pack(swapped)) == parser.unpack(parser.pack(
        {"_": "wide", "f0": 2, "f1": 4, "f2": 1, "f3": 3}))


def test_keys_freed_while_packing_are_not_mistaken(parser):
    # Code that runs while packing frees every other holder of the key objects
    # seen so far and makes new objects with new keys, which may take the
    # freed addresses: those keys must still be matched by their text.
    memo = {}
    value = rekey(page(60), memo)
    items = value["items"]
    expected_items = [json.loads(json.dumps(item)) for item in items[:11]]
    expected_items[10]["a"] = 7
    replacements = [{"_": "narrow", "b": f"later {i}", "a": -i, "c": [wide(i, WIDE_FIELDS[1::2])]}
                    for i in range(11, len(items))]

    class Rebuild:
        def __index__(self):
            for i, item in enumerate(items):
                if i != 10:
                    item.clear()
            memo.clear()
            gc.collect()
            for i, replacement in enumerate(replacements, 11):
                items[i].update(rekey(replacement))
            return 7

    items[10]["a"] = Rebuild()
    assert parser.pack(value) == parser.pack({"_": "page", "items": expected_items + replacements})


@pytest.mark.skipif(not hasattr(sys, "getrefcount"), reason="reference counts")
def test_pack_keeps_no_key(parser):
    memo = {}
    value = rekey(page(50), memo)
    keys = list(memo.values())
    parser.pack(value)
    before = [sys.getrefcount(key) for key in keys]
    for _ in range(3):
        parser.pack(value)
    assert [sys.getrefcount(key) for key in keys] == before


@pytest.mark.parametrize("name, error", [
    (fresh("narrow"), None),
    ("narrow\x00", "^Unknown constructor: narrow\x00$"),
    (fresh("narro"), "^Unknown constructor: narro$"),
    ("", "^Object must have '_' field$"),
])
def test_constructor_names_by_text(parser, name, error):
    value = {fresh("_"): name, "a": 1, "b": "x", "c": []}
    if error is None:
        assert parser.pack(value) == parser.pack({"_": "narrow", "a": 1, "b": "x", "c": []})
    else:
        raises(ValueError, error, parser.pack, value)


@pytest.mark.skipif(not api_values.available(), reason=f"the public schema is not on this machine: {api_values.missing_reason()}")
@pytest.mark.parametrize("standard", [False, True], ids=["default", "standard"])
@pytest.mark.parametrize("shape", api_values.SHAPES)
def test_public_values_pack_alike_in_every_shape(standard, shape):
    from Velta import tl

    parser = tl.TLParser(api_values.api_schema_json(), standard=standard)
    for make in (api_values.history_page, api_values.small_user):
        assert parser.pack(make(standard=standard, shape=shape)) == parser.pack(make(standard=standard))


def test_threads_packing_one_page_of_equal_keys(Parser):
    # Each call keeps its aliases to itself, so calls on one parser at once
    # (on 3.14t really at once) never see each other's.
    parser = Parser(json.dumps(SCHEMA))
    expected = parser.pack(page(40))
    value = rekey(page(40), {})
    if Parser.__module__ == "tl_reference":  # the reference keeps its cursor on the parser
        assert parser.pack(value) == expected
        return
    start = threading.Barrier(2)
    results = []

    def work():
        start.wait()
        results.extend(parser.pack(value) for _ in range(50))

    workers = [threading.Thread(target=work) for _ in range(2)]
    for worker in workers:
        worker.start()
    for worker in workers:
        worker.join()
    assert results == [expected] * 100
