"""Throughput of one TLParser shared by two threads against one thread.

    python benchmarks/bench_threads.py            # full run (about 20 seconds)
    python benchmarks/bench_threads.py --quick    # a few seconds, for CI

The same total work (pack, unpack, or both, of a page of chat history) is
done once by one thread and once split between two threads started together
that share one parser; a third row gives the two threads a parser each.
Then two threads on one shared value: the public schema's history page
packed by both, one buffer unpacked by both, and json.dumps and
msgspec.msgpack of the same shared page beside them. The
speed-up is the one-thread time divided by the two-thread time: 2.00x would
be perfect scaling.

On a free-threaded build (3.13t, 3.14t) with the GIL off, the two threads
really run at once, so on a machine with two idle cores the shared parser
should reach about 1.6x or more. On a build with the GIL, threads take turns
and the figure stays near 1.00x (a little below: the switching costs). The
first line says which case this run is.
"""

from __future__ import annotations

import os
import platform
import sys
import sysconfig
import threading

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(1, os.path.join(os.path.dirname(HERE), "tests"))

from timing import Settings, argument_parser, fmt_ratio, fmt_time, measure_group  # noqa: E402
from workloads import api, schema_json  # noqa: E402
from workloads.chat import CHAT_SCHEMA, chat_history  # noqa: E402


def split_run(parsers, op, count, inputs):
    """A callable doing `count` calls of op(parser, input) in all, split
    between one thread per entry of `parsers` (the same parser may appear
    twice), all started together; thread k works on what inputs[k]()
    makes, in that thread, before they start."""
    def run():
        if len(parsers) == 1:
            parser, data = parsers[0], inputs[0]()
            for _ in range(count):
                op(parser, data)
            return
        barrier = threading.Barrier(len(parsers))
        errors = []

        def work(parser, share, make):
            data = make()
            barrier.wait()
            try:
                for _ in range(share):
                    op(parser, data)
            except BaseException as e:  # noqa: BLE001 - re-raised below
                errors.append(e)

        n = len(parsers)
        shares = [count // n + (k < count % n) for k in range(n)]
        workers = [threading.Thread(target=work, args=job) for job in zip(parsers, shares, inputs)]
        for worker in workers:
            worker.start()
        for worker in workers:
            worker.join()
        if errors:
            raise errors[0]
    return run


def gil_state() -> str:
    if not sysconfig.get_config_var("Py_GIL_DISABLED"):
        return "GIL build"
    return "free-threaded build, GIL on" if sys._is_gil_enabled() else "free-threaded build, GIL off"


def main(argv: list[str] | None = None) -> int:
    ap = argument_parser(__doc__.splitlines()[0])
    ap.add_argument("--messages", type=int, default=20, help="messages in the chat page (default 20)")
    args = ap.parse_args(argv)
    settings = Settings.from_args(args.quick, args.repeat)

    if args.impl == "c":
        from Velta.tl import TLParser
        label = "Velta.tl"
    else:
        from tl_reference import TLParser
        label = "tl_reference"
    text = schema_json(CHAT_SCHEMA)
    value = chat_history(args.messages)
    shared = TLParser(text)
    wire = shared.pack(value)
    if shared.unpack(wire) != value:
        print("VERIFY FAILED: the chat page does not round-trip")
        return 1

    state = gil_state()
    print(f"thread benchmark: {label}, Python {platform.python_version()} ({platform.machine()}), "
          f"{state}, {os.cpu_count()} CPUs; median of {settings.repeat} repeats"
          f"{' [quick]' if args.quick else ''}")
    print(f"work: a chat page of {args.messages} messages ({len(wire):,} B); "
          "speed-up = 1-thread time / 2-thread time for the same number of calls")
    if "GIL off" not in state:
        print("with the GIL, threads take turns: expect about 1.00x")

    # Each thread has its own value and bytes, made in that thread, as
    # threads serving different requests would: sharing objects (deepcopy
    # still shares every str and int), or using objects another thread made,
    # measures how the interpreter counts references across threads, not the
    # codec. A value unpacked from its own copy of the bytes is made of
    # objects of its own, down to the leaves.
    def own_input():
        data = bytes(bytearray(wire))
        return TLParser(text).unpack(data), data
    inputs = [own_input, own_input]
    ops = {
        "pack": lambda p, d: p.pack(d[0]),
        "unpack": lambda p, d: p.unpack(d[1]),
        "pack+unpack": lambda p, d: p.unpack(p.pack(d[0])),
        # no codec: what two threads of plain interpreter work reach on this
        # machine at this moment, the ceiling for the rows above
        "baseline": lambda p, d: sum(range(5000)),
    }
    # Enough calls per run that starting two threads is lost in the noise.
    per_call = measure_group({"call": lambda: shared.unpack(shared.pack(value))},
                             Settings(repeat=1, min_time=0.02))["call"]
    count = max(200, int((0.05 if args.quick else 0.25) / per_call))

    width = 14
    header = ["operation", "calls", "1 thread", "2 shared", "speed-up", "2 separate", "speed-up"]
    print()
    print("  ".join(h.rjust(width) if i else h.ljust(width) for i, h in enumerate(header)))
    # The reference codec keeps its cursor on the parser: it cannot be shared.
    can_share = args.impl == "c"
    ratios = []
    for name, op in ops.items():
        runs = {"one": split_run([shared], op, count, inputs)}
        if can_share:
            runs["shared"] = split_run([shared, shared], op, count, inputs)
        runs["separate"] = split_run([shared, TLParser(text)], op, count, inputs)
        group = measure_group(runs, settings)
        shared_speedup = group.ratio("one", "shared")
        if name != "baseline" and shared_speedup is not None:
            ratios.append(shared_speedup)
        row = [name, f"{count:,}", fmt_time(group["one"]), fmt_time(group.get("shared")), fmt_ratio(shared_speedup),
               fmt_time(group["separate"]), fmt_ratio(group.ratio("one", "separate"))]
        print("  ".join(c.rjust(width) if i else c.ljust(width) for i, c in enumerate(row)))
    if ratios:
        print(f"\nshared parser, 2 threads vs 1: {min(ratios):.2f}x to {max(ratios):.2f}x")
    shared_value_rows(TLParser, settings, args.quick, width)
    return 0


def _jsonable(value):
    """``value`` with its bytes as hex strs, for json.dumps."""
    if isinstance(value, dict):
        return {k: _jsonable(v) for k, v in value.items()}
    if isinstance(value, list):
        return [_jsonable(v) for v in value]
    return value.hex() if isinstance(value, bytes) else value


def shared_value_rows(TLParser, settings, quick: bool, width: int) -> None:
    """Two threads working on one shared object: the public schema's history
    page packed by both, one buffer unpacked by both, against general
    serialisers of the same shared page. Without the GIL every reference a
    thread takes on an object the other uses too is an atomic update of a
    cache line both write, so this is where sharing costs."""
    if not api.available():
        print(f"\nshared values: skipped: {api.missing_reason()}")
        return
    parser = TLParser(api.api_schema_json())
    page = api.history_page()
    wire = parser.pack(page)
    page_json = _jsonable(page)
    import json
    ops = {
        "ours pack": (lambda: parser.pack(page)),
        "ours unpack": (lambda: parser.unpack(wire)),
        "json.dumps": (lambda: json.dumps(page_json)),
    }
    try:
        import msgspec
    except ImportError:
        pass
    else:
        encoder = msgspec.msgpack.Encoder()
        ops["msgspec encode"] = lambda: encoder.encode(page)
    print()
    print(f"shared values: one history page of the public schema ({len(wire):,} B of TL), "
          "the same object (or bytes) used by both threads")
    header = ["operation", "calls", "1 thread", "2 threads", "speed-up"]
    print("  ".join(h.rjust(width) if i else h.ljust(width) for i, h in enumerate(header)))
    for name, fn in ops.items():
        per_call = measure_group({"call": fn}, Settings(repeat=1, min_time=0.02))["call"]
        count = max(100, int((0.05 if quick else 0.25) / per_call))
        step = lambda _parser, _data, fn=fn: fn()  # noqa: E731
        no_input = lambda: None  # noqa: E731
        runs = {"one": split_run([parser], step, count, [no_input]),
                "two": split_run([parser, parser], step, count, [no_input, no_input])}
        group = measure_group(runs, settings)
        row = [name, f"{count:,}", fmt_time(group["one"]), fmt_time(group["two"]), fmt_ratio(group.ratio("one", "two"))]
        print("  ".join(c.rjust(width) if i else c.ljust(width) for i, c in enumerate(row)))


if __name__ == "__main__":
    sys.exit(main())
