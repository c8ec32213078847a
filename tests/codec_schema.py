"""The schema of the codec tests: one constructor per field kind (t_int,
t_vobj, ...) and a few shapes of flags words, with helpers for their bytes."""
import json

from wire import u32


KINDS = {"int": "int", "long": "long", "double": "double", "string": "string",
         "bytes": "bytes", "Bool": "Bool", "vint": "Vector<int>", "vstr": "Vector<string>",
         "vvint": "Vector<Vector<int>>", "vobj": "Vector<Empty>",
         "vvobj": "Vector<Vector<Empty>>", "obj": "Empty"}
PARAMS = {"t_" + k: [("x", t)] for k, t in KINDS.items()}
PARAMS.update(
    empty=[],
    node=[("flags", "#"), ("next", "flags.0?Node")],
    opt=[("flags", "#"), ("n", "flags.0?int"), ("t", "flags.1?true"), ("s", "string")],
    opt2=[("flags", "#"), ("flags2", "#"), ("a", "flags2.3?long"), ("b", "flags.0?Vector<long>")],
    early=[("a", "flags.0?int"), ("flags", "#"), ("s", "string")],
    noword=[("a", "flags.0?int")],
    lateword=[("f", "#"), ("x", "f.0?int"), ("flags", "#"), ("y", "flags.0?int")],
    otherword=[("f", "#"), ("a", "f.0?int")],
    shared=[("flags", "#"), ("a", "flags.2?int"), ("b", "flags.2?string"), ("c", "flags.2?true")],
    sharedobj=[("flags", "#"), ("a", "flags.0?int"), ("o", "flags.0?Empty")],
    wide=[("flags", "#"), ("x", "flags.40?int"), ("t", "flags.-1?true")],
    # A word whose own type is conditional is still a word, written and read.
    bitword=[("flags", "#"), ("flags2", "flags.0?true"), ("x", "flags2.1?int")],
    twobad=[("flags", "#"), ("a", "flags.40?int"), ("b", "flags2.0?int"), ("c", "int")],
    pair=[("a", "bytes"), ("n", "int")],
    defaults=[("i", "int"), ("l", "long"), ("d", "double"), ("s", "string"),
              ("b", "bytes"), ("B", "Bool"), ("v", "Vector<int>")],
)
ID = {name: 0x10203000 + i for i, name in enumerate(PARAMS)}
SCHEMA = json.dumps({"methods": [], "constructors": [
    {"predicate": n, "id": ID[n], "type": n.title(),
     "params": [{"name": a, "type": t} for a, t in PARAMS[n]]} for n in PARAMS]})


def msg(name, payload=b""):
    return u32(ID[name]) + payload


def W(kind, value):
    return {"_": "t_" + kind, "x": value}
