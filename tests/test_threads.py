"""Parsers under threads: separate parsers used at once give exact results, and
one parser shared by two threads refuses the overlap or gives exact results,
never output mixed from two calls."""
import sys
import threading
from fractions import Fraction

from Velta.tl import TLParser

SCHEMA = {"constructors": [{"predicate": "item", "id": 0x17E3, "type": "Item", "params": [
    {"name": "flags", "type": "#"}, {"name": "n", "type": "int"}, {"name": "d", "type": "double"},
    {"name": "tag", "type": "string"}, {"name": "data", "type": "bytes"},
    {"name": "kids", "type": "Vector<Item>"}, {"name": "next", "type": "flags.0?Item"}]}]}


class Slow(dict):  # field reads run Python code, where the interpreter switches threads
    def get(self, *args):
        return dict.get(self, *args)

    def __getitem__(self, key):
        return dict.__getitem__(self, key)


def item(seed, depth, slow):
    kids = (item(seed * 3 + k, depth - 1, slow) for k in range(2 if depth else 0))
    value = {"_": "item", "n": Fraction(seed) if slow else seed,  # Fraction: __int__ and
             "d": Fraction(seed, 4) if slow else seed / 4,  # __float__ are Python code
             "tag": f"{seed}-" * (seed % 9), "data": bytes([seed % 256]) * (seed % 300),
             "kids": kids if slow else list(kids)}
    if depth > 1:
        value["next"] = item(seed + 1, depth - 2, slow)
    return Slow(value) if slow else value


CASES, ROUNDS = [(seed, depth) for seed in range(1, 40) for depth in (1, 3)], 20
CALLS = 2 * ROUNDS * len(CASES)  # per thread: a pack and an unpack of each case, ROUNDS times
WIRE = {case: TLParser(SCHEMA).pack(item(*case, slow=False)) for case in CASES}
DECODED = {case: TLParser(SCHEMA).unpack(wire) for case, wire in WIRE.items()}


def run_threads(parsers):
    results = [{"ok": 0, "busy": 0, "wrong": 0} for _ in parsers]

    def work(make_parser, result):
        parser = make_parser()
        for _ in range(ROUNDS):
            for case in CASES:
                for call, arg, want in ((parser.pack, item(*case, slow=True), WIRE[case]),
                                        (parser.unpack, WIRE[case], DECODED[case])):
                    try:
                        got = call(arg)
                    except RuntimeError as e:
                        result["busy" if "already busy" in str(e) else "wrong"] += 1
                        continue
                    result["ok" if got == want else "wrong"] += 1

    threads = [threading.Thread(target=work, args=pair) for pair in zip(parsers, results)]
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    try:
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
    finally:
        sys.setswitchinterval(interval)
    return results


def test_separate_parsers_in_threads_give_exact_results():
    results = run_threads([lambda: TLParser(SCHEMA)] * 4)
    assert results == [{"ok": CALLS, "busy": 0, "wrong": 0}] * 4


def test_shared_parser_refuses_overlap_and_never_mixes_output():
    shared = TLParser(SCHEMA)
    results = run_threads([lambda: shared] * 2)
    assert [(r["wrong"], r["ok"] + r["busy"]) for r in results] == [(0, CALLS)] * 2
    assert sum(r["busy"] for r in results) > 0, "the two threads never overlapped"
    assert shared.unpack(shared.pack(item(7, 3, slow=True))) == DECODED[7, 3]
