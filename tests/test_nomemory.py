"""Allocation failures at every step of compile, construction, pack and unpack
end in MemoryError or in a correct result: never a crash, a SystemError or
another exception, and nothing is leaked on the way."""
import json
import subprocess
import sys
import sysconfig

import pytest

_testcapi = pytest.importorskip("_testcapi")
if not hasattr(_testcapi, "set_nomemory"):
    pytest.skip("this interpreter cannot inject allocation failures", allow_module_level=True)

# Runs in a child interpreter, as a failed allocation in the wrong place can
# take the interpreter down; that must fail the test, not end the run.
CHILD = r"""
import gc, json, sys, _testcapi
from Velta import tl
name, text = "".join(["pay", "load"]), "stra\u00dfe"  # non-ASCII: its UTF-8 is made on demand
P = [("flags", "#"), (name, "bytes"), (text, "string"), ("v", "Vector<string>"), ("o", "flags.0?M\u00e9g"),
     ("objs", "Vector<M\u00e9g>"), ("l", "flags.1?long"), ("t", "flags.2?true")]
SCHEMA = {"constructors": [{"predicate": "m\u00e9g", "id": 0x5EED, "type": "M\u00e9g",
                            "params": [{"name": n, "type": t} for n, t in P]}]}
TEXT = json.dumps(SCHEMA)
inner = {"_": "m\u00e9g", name: b"i" * 40, text: "", "v": [], "o": None, "objs": [], "l": None, "t": False}
VALUE = {"_": "m\u00e9g", name: b"b" * 300, text: "caf\u00e9 " * 70, "v": ["x", "y" * 300],
         "o": inner, "objs": [inner, inner], "l": 2**63, "t": True}
parser = tl.TLParser(SCHEMA)
WIRE = parser.pack(VALUE)
Rec = type("Rec", (dict,), {})  # not exactly a dict: fields are read through get, in and []
# Text of the usual shape, which the module reads without the JSON decoder:
# more distinct names than its first table of texts holds.
PLAIN = json.dumps({"constructors": [{"predicate": f"p{i}", "id": i + 1, "type": "P", "params": [
    {"name": "flags", "type": "#"}, {"name": f"n{i}", "type": "flags.0?string"}] + [
    {"name": f"f{i}_{j}", "type": "Vector<int>" if j % 3 else "long"} for j in range(12)]}
    for i in range(50)], "methods": [{"method": "m", "id": "-7", "type": "P", "params": [
    {"name": "p", "type": "P"}]}]})
PLAIN_VALUE = {"_": "p3", "n3": "x", **{f"f3_{j}": [1, 2] if j % 3 else 5 for j in range(12)}}
pending = [None]  # the interpreter's JSON decoder is not under test: it hands over
if sys.argv[1] != "read":  # a schema decoded beforehand, with fresh strings
    tl.json = type(sys)("decoder")
    tl.json.loads = lambda text: pending[0]

def decoded():
    pending[0] = json.loads(TEXT)
    return pending[0]

def given():  # iterators, not tuples: before 3.13, list() of a tuple leaks it on MemoryError
    fresh = json.loads(json.dumps([VALUE["v"], VALUE[text]]))
    return {**VALUE, text: fresh[1], "v": iter(fresh[0]), "o": Rec(inner), "objs": iter([Rec(inner), inner])}

prepare, call, correct = {  # input made beforehand, the call, whether its result is right
    "compile": (decoded, lambda s: tl.TLSchemaCompiler().compile(s), lambda r: r is None),
    "construct": (lambda: decoded() and TEXT, tl.TLParser, lambda r: r.unpack(r.pack(VALUE)) == VALUE),
    "read": (lambda: PLAIN, tl.TLParser, lambda r: r.unpack(r.pack(PLAIN_VALUE)) == PLAIN_VALUE),
    "pack": (given, parser.pack, lambda r: r == WIRE),
    "unpack": (lambda: WIRE, parser.unpack, lambda r: r == VALUE)}[sys.argv[1]]
box, bad = [None, None], []
sys.unraisablehook = lambda u: bad.append(f"unraisable {u.exc_type.__name__}: {u.exc_value}")

def attempt(start, stop):
    arg, box[0], box[1] = prepare(), None, None
    _testcapi.set_nomemory(start, stop)
    try:
        box[0] = call(arg)
    except BaseException as e:
        box[1] = e
    finally:
        _testcapi.remove_mem_hooks()
    result, error, box[0], box[1] = box[0], box[1], None, None
    if error is not None and type(error) is not MemoryError:
        bad.append(f"failing from allocation {start}: {type(error).__name__}: {error}")
    elif error is None and not correct(result):
        bad.append(f"failing from allocation {start}: wrong result {result!r:.200}")
    if error is not None:  # one MemoryError may be reused: drop what the interpreter put on it
        error.__traceback__ = error.__context__ = error.__cause__ = None
    if not correct(call(prepare())):  # the objects involved still work
        bad.append(f"after failing from allocation {start}: wrong result")
    return error is None

def sweep():
    needed = next(k for k in range(5000) if attempt(k, 0))  # every allocation from k on fails
    for k in range(needed + 20):  # only allocation k fails
        attempt(k, k + 1)
    return needed

tracked = [SCHEMA, TEXT, VALUE, WIRE, inner, name, text, VALUE["v"], parser, None, True, False]
def refcounts():
    gc.collect()
    return [sys.getrefcount(o) for o in tracked]

def blocks_in_use():
    # A full collection also empties the free lists, where freed objects stay
    # counted as allocated blocks (ints too, from 3.14 on): counting right
    # after it, with nothing freed in between, makes both counts alike.
    gc.collect()
    return sys.getallocatedblocks()
needed = sweep()  # free lists and caches fill up
refs = refcounts()
blocks = blocks_in_use()
needed = sweep()
# less the int holding the first count; the count is 0 without pymalloc
blocks = blocks_in_use() - blocks - 1 if blocks else 0
after = refcounts()
# None, True and False (last) may only lose references that interpreter caches held.
changed = [n - m if i < 9 else max(n - m, 0) for i, (m, n) in enumerate(zip(refs, after))]
print(json.dumps({"points": needed, "bad": bad, "refs": changed, "blocks": blocks}))
"""


# CPython 3.13.0 corrupts its table of interned strings when an allocation
# fails while the table grows: `sys.intern(b.decode())` over the read case's
# ~700 new names crashes it under the same injection, without this module.
INTERNING_BREAKS = sys.version_info[:3] == (3, 13, 0)


@pytest.mark.parametrize("operation", [
    "compile", "construct",
    pytest.param("read", marks=pytest.mark.skipif(INTERNING_BREAKS, reason="CPython 3.13.0 interning under failures")),
    "pack", "unpack"])
def test_every_allocation_failure_is_a_clean_memory_error(operation):
    child = subprocess.run([sys.executable, "-X", "faulthandler", "-c", CHILD, operation],
                           capture_output=True, text=True, timeout=300)
    assert child.returncode == 0, f"child died ({child.returncode}):\n{child.stderr[-3000:]}"
    report = json.loads(child.stdout)
    print(operation, "allocation points:", report["points"])
    # Even pack allocates its vectors' lists and its result (free-threaded
    # builds take more objects from per-thread free lists: fewer points there)
    assert report["points"] >= 3, "the operation never reached an injected failure"
    assert report["bad"] == [], "\n".join(report["bad"][:20])
    assert report["refs"] == [0] * 12, f"reference counts changed: {report['refs']}"
    # Free-threaded builds count a block or two more after a sweep even for
    # the interpreter's own json.loads under the same injected failures; a
    # leak on a failure path shows once per failing attempt, hundreds of times.
    slack = 2 if sysconfig.get_config_var("Py_GIL_DISABLED") else 0
    assert report["blocks"] <= slack, f"{report['blocks']} objects leaked"
