"""Schema compilation: what TLSchemaCompiler accepts and refuses, and how the
compiled table shows through a TLParser."""
import copy
import gc
import json
import os
import struct
import sys
import sysconfig
import time

import pytest

from Velta.tl import TLParser, TLSchemaCompiler

import memory


def one(entry):
    return {"constructors": [entry]}


def with_params(*params):
    return one({"predicate": "c", "id": 1, "params": list(params)})


def typed(type_text):
    return with_params({"name": "a", "type": "#"}, {"name": "f", "type": type_text})


GET, ENCODE = ("'NoneType' object has no attribute '%s'" % key for key in ("get", "encode"))
INT_RANGE = "value too large to convert to int"


@pytest.mark.parametrize("schema, exc, message", [  # message None: the interpreter's own
    (None, AttributeError, GET), ("null", AttributeError, GET),
    ("[]", TypeError, "Expected dict, got list"), (b"{}", TypeError, "Expected dict, got bytes"),
    (type("DictSub", (dict,), {})(), TypeError, "Expected dict, got DictSub"),
    ("{", json.JSONDecodeError, None),
    ({"constructors": ()}, TypeError, "Expected list, got tuple"),
    ({"constructors": None}, AttributeError, "'NoneType' object has no attribute 'extend'"),
    ({"methods": 5}, TypeError, None),
    ({"constructors": [{}, {}, []]}, TypeError, "Expected dict, got list"),
    ({"constructors": [{}], "methods": [None]}, AttributeError, GET),
    (one({"predicate": None, "method": "m"}), AttributeError, ENCODE),
    (one({"predicate": 1}), TypeError, "Expected str, got int"),
    (one({"predicate": "a", "type": 5}), TypeError, "Expected str, got int"),
    (one({"predicate": "\ud800"}), UnicodeEncodeError, None),
    (one({"id": 2**32}), OverflowError, "value too large to convert to uint32_t"),
    (one({"id": "0x10"}), ValueError, "invalid literal for int() with base 10: '0x10'"),
    (one({"id": "4294967296"}), OverflowError, "value too large to convert to uint32_t"),
    (one({"id": "9" * 19}), OverflowError, "value too large to convert to uint32_t"),
    (one({"id": 2**63}), OverflowError, "value too large to convert to uint32_t"),
    (one({"id": "-"}), ValueError, "invalid literal for int() with base 10: '-'"),
    (one({"id": ""}), ValueError, "invalid literal for int() with base 10: ''"),
    (one({"id": "--1"}), ValueError, "invalid literal for int() with base 10: '--1'"),
    (one({"params": None}), TypeError, "object of type 'NoneType' has no len()"),
    (one({"params": ()}), TypeError, "Expected list, got tuple"),
    (with_params(None), TypeError, "'NoneType' object is not subscriptable"),
    (with_params(["f", "int"]), TypeError, "Expected dict, got list"),
    (with_params({"name": "f"}), KeyError, "'type'"),
    (with_params({"name": None, "type": "int"}), AttributeError, ENCODE),
    (with_params({"name": 1, "type": "int"}), TypeError, "Expected str, got int"),
    (typed(None), TypeError, "argument of type 'NoneType' is not iterable"),
    (typed("flags.0.1?true"), ValueError, "too many values to unpack (expected 2)"),
    (typed("flags.x?true"), ValueError, "invalid literal for int() with base 10: 'x'"),
    (typed("flags.2147483648?true"), OverflowError, INT_RANGE),
    (typed("flags.-2147483649?true"), OverflowError, INT_RANGE),
])
def test_refused_schema(schema, exc, message):
    variants = [schema]
    if type(schema) is dict and json.loads(json.dumps(schema)) == schema:
        variants.append(json.dumps(schema))  # the same schema as JSON text
    for variant in variants:
        compiler = TLSchemaCompiler()
        with pytest.raises(exc) as info:
            compiler.compile(variant)
        assert info.type is exc and message in (None, str(info.value))
        compiler.compile("{}")  # a failed compile leaves a usable compiler


@pytest.mark.parametrize("schema", [
    "{}", {}, type("StrSub", (str,), {})("{}"), {"methods": ()}, {"methods": iter([{}])},
    {"constructors": [{"params": [], "extra": None}], "other": 1},
    typed("flags.-1?true"), typed("flags.40?true"), typed(" flags . 3 ?true"),
])
def test_accepted_schema(schema):
    assert TLSchemaCompiler().compile(schema) is None


@pytest.mark.parametrize("given, wire", [
    (None, 0), ("-1", 2**32 - 1), (-1, 2**32 - 1), (2**32 - 1, 2**32 - 1), (-2**32, 0),
    (-2**40 - 3, 2**32 - 3), (3.9, 3), (True, 1), (" 7 ", 7), ("-5", 2**32 - 5),
    # plain decimal text is read directly; anything else as int() reads it
    ("4294967295", 2**32 - 1), ("007", 7), ("-0", 0), ("0", 0),
    ("-999999999999999999", -999999999999999999 & 0xFFFFFFFF),
    ("-9999999999999999999", -9999999999999999999 & 0xFFFFFFFF),
    ("-" + "9" * 40, -int("9" * 40) & 0xFFFFFFFF), ("+5", 5), ("1_0", 10), ("\u0663", 3),
    (-2**63, 0), (-2**63 - 1, 2**32 - 1), (-2**64 - 1, 2**32 - 1), (2**31, 2**31),
])
def test_id_conversion(given, wire):
    parser = TLParser(one({"predicate": "c"} if given is None else {"predicate": "c", "id": given}))
    data = struct.pack("<I", wire)
    assert parser.pack({"_": "c"}) == data and parser.unpack(data) == {"_": "c"}


@pytest.mark.parametrize("entry, name", [
    ({"method": "m"}, "m"), ({"type": "T"}, "T"), ({}, ""), ({"method": "m", "type": "T"}, "m"),
    ({"predicate": "p", "method": "m", "type": "T"}, "p"), ({"predicate": "", "method": "m"}, ""),
    ({"predicate": "a\x00b"}, "a"), ({"predicate": "\u00e9t\u00e9"}, "\u00e9t\u00e9"),
])
def test_entry_name(entry, name):
    parser = TLParser({"methods": [dict(entry, id=9)]})
    assert parser.unpack(b"\x09\0\0\0") == {"_": name}
    if name:
        assert parser.pack({"_": name}) == b"\x09\0\0\0"
    elif "method" in entry:  # an empty predicate does not fall back to the method
        with pytest.raises(ValueError, match=r"^Unknown constructor: m$"):
            parser.pack({"_": "m"})


def test_a_replaced_entry_is_not_found_by_its_own_name_object():
    first, second = "".join(["du", "p"]), "".join(["d", "up"])  # equal, not identical, not interned
    parser = TLParser({"constructors": [{"predicate": first, "id": 1}, {"predicate": second, "id": 2}]})
    assert [parser.pack({"_": name}) for name in (first, second, "dup")] == [b"\x02\x00\x00\x00"] * 3


def test_duplicate_ids_and_names():
    x = [{"name": "x", "type": "int"}]
    parser = TLParser({"constructors": [
        {"predicate": "a", "id": 1, "params": x}, {"predicate": "b", "id": 1},
        {"predicate": "n", "id": 2}, {"predicate": "n", "id": 3, "params": x},
        {"predicate": "s", "id": 4}], "methods": [{"method": "m", "id": 4}]})
    # A shared id reads as the later entry, a shared name packs as the later
    # entry; every record stays reachable by its other key.
    assert [parser.pack(v).hex() for v in ({"_": "a", "x": 7}, {"_": "b"}, {"_": "n", "x": 7},
            {"_": "s"})] == ["0100000007000000", "01000000", "0300000007000000", "04000000"]
    assert [parser.unpack(bytes.fromhex(h)) for h in (
        "0100000007000000", "02000000", "0300000007000000", "04000000")] == [
        {"_": "b"}, {"_": "n"}, {"_": "n", "x": 7}, {"_": "m"}]  # the method shadows "s"


def kind_parser(type_text):
    return TLParser({"constructors": [{"predicate": "c", "id": 1, "params": [
        {"name": "flags", "type": "#"}, {"name": "flags2", "type": "#"},
        {"name": "f", "type": type_text}]}, {"predicate": "e", "id": 2}]})


E, Z = {"_": "e"}, "00000000 00000000 "  # a nested object; both flags words clear


@pytest.mark.parametrize("type_text, value, wire", [
    ("int", 5, Z + "05000000"), ("#", 5, Z + "05000000"), ("long", 2**64 - 1, Z + "ff" * 8),
    ("double", 2.0, Z + "0000000000000040"), ("string", "a", Z + "01610000"),
    ("bytes", b"a", Z + "01610000"), ("byte", b"a", Z + "01610000"),
    ("Bool", True, Z + "01000000"), ("true", True, Z + "01000000"),
    ("Vector<int>", [1, 2], Z + "15c4b51c 02000000 01000000 02000000"),
    # Any other text names a boxed object.
    ("bool", E, Z + "02000000"), (" int", E, Z + "02000000"), ("int ", E, Z + "02000000"),
    ("##", E, Z + "02000000"), ("", E, Z + "02000000"), ("vector<int>", E, Z + "02000000"),
    ("flags.3", E, Z + "02000000"),
    # Conditional: the bit lives in the word named before the dot ("flags2" exactly, or else
    # the first word), bit 0 of the first word when there is no dot; a Bool carries no bytes.
    ("flags.0?true", True, "01000000 00000000"), ("flags2.5?Bool", True, "00000000 20000000"),
    ("flags2.0?string", "a", "00000000 01000000 01610000"),
    ("flags.1?Vector<long>", [7], "02000000 00000000 15c4b51c 01000000 0700000000000000"),
    ("flags.0?", E, "01000000 00000000 02000000"), ("a?b?c", E, "01000000 00000000 02000000"),
    ("a?int?c", 5, "01000000 00000000 05000000"), ("x?int", 5, "01000000 00000000 05000000"),
    ("flags2 .1?int", 5, "02000000 00000000 05000000"), (".3?int", 5, "08000000 00000000 05000000"),
])
def test_field_kind(type_text, value, wire):
    parser, data = kind_parser(type_text), bytes.fromhex("01000000 " + wire)
    assert parser.pack({"_": "c", "f": value}) == data
    assert parser.unpack(data) == {"_": "c", "f": value}
    if "?" in type_text:  # conditional: absent means no bytes and a clear bit
        absent = False if value is True else None
        assert parser.pack({"_": "c"}) == bytes.fromhex("01000000" + Z)
        assert parser.unpack(bytes.fromhex("01000000" + Z)) == {"_": "c", "f": absent}


def test_repeated_compiles_and_the_callers_dict():
    name = "".join(["fie", "ld"])  # a str object only this test refers to
    good = {"constructors": [{"predicate": "c", "id": 1, "params": [
        {"name": name, "type": "int"}, {"name": name, "type": "string"}]}],
        "methods": [{"method": "m", "id": 2}]}
    partial = one({"params": [{"name": name, "type": "int"}, {"name": "g", "type": None}]})
    before, base, compiler = copy.deepcopy(good), sys.getrefcount(name), TLSchemaCompiler()
    compiler.compile(good)
    assert sys.getrefcount(name) == base + 2  # one reference per field
    compiler.compile("{}")  # a second compile replaces the first table
    assert sys.getrefcount(name) == base
    pytest.raises(TypeError, compiler.compile, partial)
    compiler.compile(good)
    assert sys.getrefcount(name) == base + 2
    del compiler
    pytest.raises(TypeError, TLParser, partial)
    parsers = [TLParser(good), TLParser(good)]
    assert [p.unpack(b"\x02\0\0\0") for p in parsers] == [{"_": "m"}] * 2
    assert good == before and len(good["constructors"]) == 1  # the caller's dict is untouched
    del parsers
    assert sys.getrefcount(name) == base


@pytest.mark.parametrize("length", [1, 8191, 8192, 8193, 65511, 65512, 65536, 200_000])
def test_long_and_many_texts_keep_their_bytes(length):
    # Texts around the sizes where the compiler starts a new block of text
    # storage or gives one text a block of its own, between many short ones.
    # A bare type is found by comparing the stored texts of two records.
    long_name, long_type = "n" * (length - 1) + "N", "t" * (length - 1) + "T"
    entries = [{"predicate": f"c{i}", "id": i + 1, "type": "Many", "params": [
        {"name": f"short{i}", "type": "int"}, {"name": long_name, "type": "string"},
        {"name": "bare", "type": "%" + long_type}]} for i in range(40)]
    entries.append({"predicate": "holder", "id": 99, "type": long_type, "params": [{"name": "v", "type": "int"}]})
    parser = TLParser({"constructors": entries}, standard=True)
    for i in (0, 17, 39):
        value = {"_": f"c{i}", f"short{i}": i, long_name: "x" * i, "bare": {"_": "holder", "v": 5}}
        assert parser.unpack(parser.pack(value)) == value


BULK = [{"predicate": f"c{i}", "id": i, "params": [{"name": f"f{i}_{j}", "type": t} for j, t in
        enumerate(["#", "flags.0?int", "Vector<long>", "string"])]} for i in range(30)]
GOOD = json.dumps({"constructors": BULK, "methods": BULK[:5]})
FAILING = [json.dumps(schema) for schema in (
    [], {"constructors": BULK, "methods": [[]]},
    {"constructors": BULK + [{"params": [{"name": "a", "type": "flags.x?int"}]}]},
    {"methods": BULK + [{"params": [{"name": "a", "type": "int"}, {"name": "b", "type": None}]}]})]


def _churn(rounds):
    compiler = TLSchemaCompiler()
    for _ in range(rounds):
        compiler.compile(GOOD)
        for bad in FAILING:
            for attempt in (compiler.compile, TLSchemaCompiler().compile, TLParser):
                pytest.raises((TypeError, ValueError), attempt, bad)
        TLParser(GOOD)
        for _ in range(25):  # small fixed-size leaks only show over many compiles
            compiler.compile({})
            TLSchemaCompiler().compile("{}")


def _memory():
    """Resident size, C heap in use (0 where unknown) and the interpreter's blocks."""
    gc.collect()
    return memory.resident(), memory.c_heap(), sys.getallocatedblocks()


@pytest.mark.leak
@pytest.mark.skipif(bool(os.environ.get("VELTA_SANITIZED")), reason="the sanitizer keeps freed memory resident")
def test_compile_memory_is_flat():
    _churn(100)
    marks = [_memory()]
    for _ in range(3):
        _churn(300)  # about 19,000 compiles
        marks.append(_memory())
    # A leak grows in every window; an allocator or cache that settles stops.
    resident, heap, blocks = (min(b[i] - a[i] for a, b in zip(marks, marks[1:])) for i in range(3))
    assert heap < 64 * 1024, f"C heap grew {heap} B in each window"  # 16 B a compile: 300 KB
    assert blocks < 100, f"{blocks} more interpreter blocks in each window"
    # The free-threaded build's allocator keeps pages of freed objects for
    # their thread a good while: there its resident size says little.
    if not sysconfig.get_config_var("Py_GIL_DISABLED"):
        assert resident < 768 * 1024, f"RSS grew {resident} B in each window"


@pytest.mark.parametrize("as_text", [False, True], ids=["dict", "json text"])
@pytest.mark.parametrize("standard", [False, True])
def test_compile_time_is_linear_in_conditional_params(standard, as_text):
    # Each condition finds its word at once, not by a walk over the fields before it.
    n = 40_000
    word = [{"name": "f", "type": "#"}] if standard else []
    cond = "f" if standard else "flags"

    def timed(params):
        schema = {"constructors": [{"id": 1, "predicate": "c", "type": "T", "params": params}]}
        start = time.perf_counter()
        parser = TLParser(json.dumps(schema) if as_text else schema, standard=standard)
        return time.perf_counter() - start, parser

    plain, _ = timed(word + [{"name": f"x{i}", "type": "int"} for i in range(n)])
    took, _ = timed(word + [{"name": f"x{i}", "type": f"{cond}.{i % 32}?int"} for i in range(n)])
    assert took < 20 * plain + 0.5, (took, plain)  # was some 2 s against 0.02 s
