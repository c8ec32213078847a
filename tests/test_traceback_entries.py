"""Traceback entries: a failing call shows the operations it went through, by
name, as entries in src/Velta/modules/tl/tl.cpp."""
import traceback

import pytest

from Velta import tl
from Velta.tl import TLParser, TLSchemaCompiler

from codec_schema import SCHEMA, W, msg
from wire import u32


@pytest.mark.parametrize("method, arg, ops", [
    ("pack", {"_": "nope"}, "pack _write_object"),
    ("pack", W("vint", [1, "a"]), "pack _write_object _write_value _write_vector"),
    ("pack", W("obj", {"_": "t_bytes", "x": 1}), "pack _write_object _write_value"),
    ("unpack", u32(5), "unpack _read_object"),
    ("unpack", msg("t_vint", u32(10)), "unpack _read_object _read_value _read_vector"),
    ("unpack", msg("t_string", b"\x01\xff\x00\x00"), "unpack _read_object _read_string"),
])
def test_traceback_names_operations(method, arg, ops):
    with pytest.raises(Exception) as info:
        getattr(tl.TLParser(SCHEMA), method)(arg)
    entries = {(f.name, f.filename) for f in traceback.extract_tb(info.value.__traceback__)}
    for op in ops.split():
        assert ("Velta.tl.TLParser." + op, "src/Velta/modules/tl/tl.cpp") in entries


COMPILE = ["Velta.tl.TLSchemaCompiler.compile", "Velta.tl.TLSchemaCompiler._parse_json_schema"]
ENTRY = COMPILE + ["Velta.tl.TLSchemaCompiler._create_constructor"]
TYPE = ENTRY + ["Velta.tl.TLSchemaCompiler._parse_type"]
PARSER = ["Velta.tl.TLParser.__cinit__"]
NULL_TYPE = [{"name": "a", "type": "int"}, {"name": "b", "type": None}]


@pytest.mark.parametrize("action, schema, frames", [
    (TLSchemaCompiler().compile, "[]", COMPILE),
    (TLSchemaCompiler().compile, "{", COMPILE),
    (TLSchemaCompiler().compile, {"constructors": [{"predicate": "a"}, {"predicate": None}]},
     ENTRY),
    (TLSchemaCompiler().compile, {"methods": [{"method": "m", "params": NULL_TYPE}]}, TYPE),
    (TLSchemaCompiler().compile, {"methods": [{"method": "m", "params": [{"name": "a", "type": "\ud800"}]}]},
     TYPE),
    (TLParser, "[]", PARSER + COMPILE),
    (TLParser, {"constructors": [{"predicate": "a", "params": NULL_TYPE}]}, PARSER + TYPE),
])
def test_traceback_entries(action, schema, frames):
    with pytest.raises(Exception) as info:
        action(schema)
    entries = [f for f in traceback.extract_tb(info.value.__traceback__)
               if f.name.startswith("Velta.tl.")]
    assert [f.name for f in entries] == frames
    assert {f.filename for f in entries} == {"src/Velta/modules/tl/tl.cpp"}
