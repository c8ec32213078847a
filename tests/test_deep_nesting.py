"""Nesting far deeper than any stack can hold ends in RecursionError, on the
main thread and on a thread with a smaller stack, never in a crash.

From 3.14 on, the interpreter bounds C recursion by the real stack rather
than by a count, so the depth where RecursionError comes depends on the
thread's stack: the input is a million levels deep, past any such bound."""
import subprocess
import sys

import pytest

# Runs in a child interpreter: a stack overflow there fails one test instead
# of ending the run.
CHILD = r"""
import sys, threading
from Velta.tl import TLParser

LEVELS = 1_000_000
SCHEMA = {"constructors": [
    {"predicate": "node", "id": 0x7A110002, "type": "Node",
     "params": [{"name": "flags", "type": "#"}, {"name": "next", "type": "flags.0?Node"}]},
    {"predicate": "tree", "id": 0x7A110003, "type": "Node",
     "params": [{"name": "kids", "type": "Vector<Node>"}]}]}
NODE, TREE, VECTOR = (0x7A110002).to_bytes(4, "little"), (0x7A110003).to_bytes(4, "little"), \
    (0x1CB5C415).to_bytes(4, "little")
ONE, ZERO = (1).to_bytes(4, "little"), (0).to_bytes(4, "little")


def chain(link):  # a value LEVELS deep, built without recursion
    value = None
    for _ in range(LEVELS):
        value = link(value)
    return value


def cycle():
    value = {"_": "node"}
    value["next"] = value
    return value


INPUTS = {  # what to give the call, made in the thread that calls
    "unpack-objects": lambda: (NODE + ONE) * LEVELS + NODE + ZERO,
    "unpack-vectors": lambda: (TREE + VECTOR + ONE) * LEVELS + TREE + VECTOR + ZERO,
    "pack-objects": lambda: chain(lambda v: {"_": "node", "next": v}),
    "pack-vectors": lambda: chain(lambda v: {"_": "tree", "kids": [v] if v else []}),
    "pack-cycle": cycle,
}
case, stack = sys.argv[1], int(sys.argv[2])
parser = TLParser(SCHEMA)
outcome = []


def run():
    arg = INPUTS[case]()
    call = parser.unpack if case.startswith("unpack") else parser.pack
    try:
        call(arg)
        outcome.append("no error")
    except BaseException as e:
        outcome.append(type(e).__name__)
    # still usable, on the same thread, after unwinding all the way
    small = {"_": "node", "next": {"_": "node", "next": None}}
    outcome.append(parser.unpack(parser.pack(small)) == small)
    if case.startswith("pack"):
        arg.clear()  # let a cycle go without waiting for the collector


if stack:
    threading.stack_size(stack)
    thread = threading.Thread(target=run)
    thread.start()
    thread.join()
else:
    run()
print(*outcome)
"""

CASES = ["unpack-objects", "unpack-vectors", "pack-objects", "pack-vectors", "pack-cycle"]
STACKS = {"main-thread": 0, "thread-5MiB": 5 << 20}


@pytest.mark.parametrize("stack", STACKS)
@pytest.mark.parametrize("case", CASES)
def test_a_million_levels_end_in_recursion_error(case, stack):
    child = subprocess.run([sys.executable, "-X", "faulthandler", "-c", CHILD, case, str(STACKS[stack])],
                           capture_output=True, text=True, timeout=300)
    assert child.returncode == 0, f"child died ({child.returncode}):\n{child.stderr[-3000:]}"
    assert child.stdout.split() == ["RecursionError", "True"], child.stdout + child.stderr[-3000:]
