"""Two builds of the extension side by side in one process.

    python benchmarks/compare_builds.py OLD.so NEW.so [--standard] [--repeat N]

Loads both shared objects under names of their own, packs and unpacks the
same workloads with each, interleaved, and prints NEW's time divided by
OLD's (below 1.00x: NEW is faster). With --standard, NEW is also measured
with standard=True, against its own default mode. Use it to check that a
change to the codec does not slow it down: build the old tree and the new
one (cmake, or pip wheel), and point this at the two .so files.
"""

from __future__ import annotations

import argparse
import importlib.machinery
import importlib.util
import os
import statistics
import sys
import timeit

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from workloads import api, chat  # noqa: E402


def load(name: str, path: str):
    loader = importlib.machinery.ExtensionFileLoader(name, path)
    spec = importlib.util.spec_from_file_location(name, path, loader=loader)
    module = importlib.util.module_from_spec(spec)
    loader.exec_module(module)
    return module


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("old")
    ap.add_argument("new")
    ap.add_argument("--standard", action="store_true", help="also NEW with standard=True")
    ap.add_argument("--repeat", type=int, default=15)
    args = ap.parse_args()
    old, new = load("old_build.tl", args.old), load("new_build.tl", args.new)
    print(f"NEW / OLD time per call, median of {args.repeat} interleaved repeats (below 1.00x: NEW is faster)")
    header = f"{'workload':14s} {'pack':>8s} {'unpack':>8s}"
    if args.standard:
        header += f" {'std/default pack':>17s} {'unpack':>8s}"
    print(header)
    cases = [(name, chat.CHAT_SCHEMA, getattr(chat, name)())
             for name in ("small_object", "list_result", "payload", "chat_history")]
    if api.available():
        api_schema = api.api_schema_json()
        cases += [("api_page", api_schema, api.history_page()),
                  ("api_user", api_schema, api.small_user())]
    else:
        print(f"(public schema workloads skipped: {api.missing_reason()})")
    for name, schema, value in cases:
        parsers = {"old": old.TLParser(schema), "new": new.TLParser(schema)}
        if args.standard:
            parsers["std"] = new.TLParser(schema, standard=True)
        rows = {}
        for key, parser in parsers.items():
            wire = parser.pack(value)
            rows[key, "pack"] = lambda p=parser: p.pack(value)
            rows[key, "unpack"] = lambda p=parser, w=wire: p.unpack(w)
        number = max(1, int(0.02 / timeit.timeit(rows["old", "pack"], number=1)))
        samples: dict = {key: [] for key in rows}
        for _ in range(args.repeat):
            for key, fn in rows.items():
                samples[key].append(min(timeit.repeat(fn, number=number, repeat=3)) / number)

        def ratio(a, b, op):
            return statistics.median(x / y for x, y in zip(samples[a, op], samples[b, op]))
        line = f"{name:14s} {ratio('new', 'old', 'pack'):7.3f}x {ratio('new', 'old', 'unpack'):7.3f}x"
        if args.standard:
            line += f" {ratio('std', 'new', 'pack'):16.3f}x {ratio('std', 'new', 'unpack'):7.3f}x"
        print(line)
    return 0


if __name__ == "__main__":
    sys.exit(main())
