"""The frame of Velta.tl: import, exported types, argument binding, pickling
refusal and the traceback entries added by the C code."""
import copy
import gc
import importlib
import json
import pickle
import weakref

import pytest

from Velta import tl
from Velta.tl import TLParser, TLSchemaCompiler

SCHEMA = {"constructors": [{"predicate": "ping", "id": 0x11223344, "type": "Pong",
                            "params": [{"name": "n", "type": "int"}]}]}
PING, PING_BYTES = {"_": "ping", "n": 7}, bytes.fromhex("44332211 07000000")


def test_import_and_module_globals(monkeypatch):
    assert importlib.import_module("Velta.tl") is tl
    assert (tl.TLSchemaCompiler, tl.TLParser, tl.json) == (TLSchemaCompiler, TLParser, json)
    assert tl.__test__ == {}
    assert TLSchemaCompiler.__module__ == TLParser.__module__ == "Velta.tl"
    # The decoder is the module global at the time of the call.
    monkeypatch.setattr(tl, "json", type("FakeJson", (), {"loads": lambda text: SCHEMA}))
    assert TLParser("not json").pack(PING) == PING_BYTES


CALL_PATHS = {"vectorcall": lambda cls, *a, **k: cls(*a, **k),
              "tp_call": lambda cls, *a, **k: type.__call__(cls, *a, **k),
              "tp_new": lambda cls, *a, **k: cls.__new__(cls, *a, **k)}


@pytest.mark.parametrize("call", CALL_PATHS.values(), ids=CALL_PATHS)
def test_construction_and_keywords(call):
    compiler = call(TLSchemaCompiler, 1, 2, x=3, json_data=None)  # arguments are ignored
    assert type(compiler) is TLSchemaCompiler
    assert compiler.compile(json_data=json.dumps(SCHEMA)) is None
    assert call(TLParser, SCHEMA).pack(value=PING) == PING_BYTES
    assert call(TLParser, schema_json=SCHEMA).unpack(data=PING_BYTES) == PING


def _bound(name):
    return lambda *a, **k: getattr(TLParser(SCHEMA), name)(*a, **k)


CALLABLES = {  # callable, its name in messages, its keyword, a valid argument
    "compile": (lambda *a, **k: TLSchemaCompiler().compile(*a, **k), "compile", "json_data", "{}"),
    "TLParser": (TLParser, "__cinit__", "schema_json", SCHEMA),
    "TLParser-tp_call": (lambda *a, **k: type.__call__(TLParser, *a, **k), "__cinit__",
                         "schema_json", SCHEMA),
    "unpack": (_bound("unpack"), "unpack", "data", PING_BYTES),
    "pack": (_bound("pack"), "pack", "value", PING),
}
UNEXPECTED = "{}() got an unexpected keyword argument 'foo'"
MISUSES = {
    "none": (lambda v, kw: ((), {}), "{}() takes exactly 1 positional argument (0 given)"),
    "two": (lambda v, kw: ((v, v), {}), "{}() takes exactly 1 positional argument (2 given)"),
    "twice": (lambda v, kw: ((v,), {kw: v}), "{}() got multiple values for keyword argument '{}'"),
    "unknown": (lambda v, kw: ((v,), {"foo": 1}), UNEXPECTED),
    "kw-unknown": (lambda v, kw: ((), {kw: v, "foo": 1}), UNEXPECTED),
}


@pytest.mark.parametrize("misuse", MISUSES)
@pytest.mark.parametrize("target", CALLABLES)
def test_argument_errors(target, misuse):
    func, name, kw, valid = CALLABLES[target]
    build, message = MISUSES[misuse]
    args, kwargs = build(valid, kw)
    with pytest.raises(TypeError) as info:
        func(*args, **kwargs)
    assert str(info.value) == message.format(name, kw)


class SubCompiler(TLSchemaCompiler):
    pass


class SubParser(TLParser):
    def roundtrip(self, value):
        return self.unpack(self.pack(value))


def test_subclasses_inherit_methods_and_are_collected():
    SubCompiler().compile(SCHEMA)
    parser = SubParser(SCHEMA)
    assert isinstance(parser, TLParser) and parser.roundtrip(PING) == PING
    parser.me = parser  # a cycle only the collector can break
    ref = weakref.ref(parser)
    del parser
    gc.collect()
    assert ref() is None


INSTANCES = {"compiler": TLSchemaCompiler, "parser": lambda: TLParser(SCHEMA),
             "sub-compiler": SubCompiler, "sub-parser": lambda: SubParser(SCHEMA)}
REFUSALS = {"pickle": pickle.dumps, "copy": copy.copy, "deepcopy": copy.deepcopy,
            "__reduce__": lambda obj: obj.__reduce__(),
            "__reduce_ex__": lambda obj: obj.__reduce_ex__(2),
            "__setstate__": lambda obj: obj.__setstate__({})}


@pytest.mark.parametrize("refuse", REFUSALS.values(), ids=REFUSALS)
@pytest.mark.parametrize("make", INSTANCES.values(), ids=INSTANCES)
def test_pickling_and_copying_refused(make, refuse):
    with pytest.raises(TypeError, match=r"^no default __reduce__ due to non-trivial __cinit__$"):
        refuse(make())


