"""Pack/unpack speed of Velta.tl against other serialisers of the same dicts.

    python benchmarks/bench_codec.py            # full run (under a minute)
    python benchmarks/bench_codec.py --quick    # a few seconds, for CI

For each workload of workloads.py the table gives the time per call of
packing the value and of unpacking the packed bytes, for:

* Velta.tl ``TLParser`` (ours), over workloads.CHAT_SCHEMA;
* the pure-Python reference codec in tests/tl_reference.py (same schema);
* ``marshal.dumps`` / ``marshal.loads``;
* ``msgpack.packb(use_bin_type=True)`` / ``msgpack.unpackb``;
* ``msgspec.msgpack`` Encoder / Decoder (untyped decoding to dicts);
* for the 1 MiB payload, plain copies of its bytes, the floor for any
  encoder that copies the data in and out once each.

Ratios are the row's time divided by ours, so 3.00x means that row takes
three times as long as Velta.tl. Every time is the median of several timeit
repeats in this process, all rows of a table measured interleaved; a ratio is
the median of the per-repeat ratios. Missing optional packages show as n/a.

Before timing, every workload is round-tripped through ours and through the
reference, and their encodings are compared; a mismatch is reported and
makes the script exit with status 1.
"""

from __future__ import annotations

import functools
import marshal
import os
import platform
import sys
import traceback
import tracemalloc

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(1, os.path.join(os.path.dirname(HERE), "tests"))

from timing import Settings, argument_parser, fmt_ratio, fmt_time, measure_group  # noqa: E402
import workloads  # noqa: E402
from workloads import CHAT_SCHEMA, schema_json, vector_of  # noqa: E402

try:
    import msgpack
except ImportError:  # optional
    msgpack = None
try:
    import msgspec
except ImportError:  # optional
    msgspec = None

LINEARITY_SIZES = (100, 1_000, 10_000, 100_000)
LINEARITY_SIZES_QUICK = (100, 1_000, 10_000)


class Codec:
    """A named pair of pack/unpack callables; either may be missing."""

    def __init__(self, name, pack=None, unpack=None, note=""):
        self.name = name
        self.pack = pack
        self.unpack = unpack
        self.note = note


def _tl_codec(name, parser_type, text):
    try:
        parser = parser_type(text)
    except Exception as exc:
        return Codec(name, note=f"cannot build parser: {type(exc).__name__}: {exc}")
    return Codec(name, parser.pack, parser.unpack)


def build_codecs(impl: str) -> tuple[Codec, list[Codec]]:
    text = schema_json(CHAT_SCHEMA)
    if impl == "c":
        from Velta import tl
        ours = _tl_codec("Velta.tl (ours)", tl.TLParser, text)
    else:
        import tl_reference
        ours = _tl_codec("tl_reference (as ours)", tl_reference.TLParser, text)
    if ours.pack is None:
        raise SystemExit(f"{ours.name}: {ours.note}")

    others: list[Codec] = []
    if impl == "c":
        try:
            import tl_reference
        except Exception as exc:
            others.append(Codec("reference (pure Python)", note=f"not importable: {type(exc).__name__}"))
        else:
            others.append(_tl_codec("reference (pure Python)", tl_reference.TLParser, text))
    others.append(Codec("marshal", marshal.dumps, marshal.loads))
    if msgpack is not None:
        others.append(Codec("msgpack",
                            functools.partial(msgpack.packb, use_bin_type=True),
                            functools.partial(msgpack.unpackb, raw=False)))
    else:
        others.append(Codec("msgpack", note="not installed"))
    if msgspec is not None:
        enc, dec = msgspec.msgpack.Encoder(), msgspec.msgpack.Decoder()
        others.append(Codec("msgspec.msgpack", enc.encode, dec.decode))
    else:
        others.append(Codec("msgspec.msgpack", note="not installed"))
    return ours, others


def verify(name: str, value: dict, ours: Codec, others: list[Codec]) -> list[str]:
    """Round-trip ``value`` through the TL codecs; return problems found."""
    problems = []
    encodings = {}
    for codec in [ours] + [c for c in others if c.name.startswith("reference")]:
        if codec.pack is None:
            continue
        try:
            data = codec.pack(value)
        except Exception as exc:
            problems.append(f"{name}: {codec.name} pack raised {type(exc).__name__}: {exc}")
            continue
        if type(data) is not bytes:
            problems.append(f"{name}: {codec.name} pack returned {type(data).__name__}, not bytes")
            continue
        encodings[codec.name] = data
        try:
            back = codec.unpack(data)
        except Exception as exc:
            problems.append(f"{name}: {codec.name} unpack raised {type(exc).__name__}: {exc}")
            continue
        if back != value:
            problems.append(f"{name}: {codec.name} round trip differs: {_first_difference(value, back)}")
    if len(set(encodings.values())) > 1:
        sizes = ", ".join(f"{k}: {len(v)} B" for k, v in encodings.items())
        problems.append(f"{name}: TL encodings differ between codecs ({sizes})")
    return problems


def _first_difference(a, b, path="$"):
    """A short description of where two decoded values first differ."""
    if type(a) is not type(b):
        return f"{path}: {type(a).__name__} {a!r:.60} vs {type(b).__name__} {b!r:.60}"
    if isinstance(a, dict):
        for k in a.keys() | b.keys():
            if k not in a or k not in b:
                return f"{path}.{k}: present on one side only"
            if a[k] != b[k]:
                return _first_difference(a[k], b[k], f"{path}.{k}")
    elif isinstance(a, list):
        if len(a) != len(b):
            return f"{path}: length {len(a)} vs {len(b)}"
        for i, (x, y) in enumerate(zip(a, b)):
            if x != y:
                return _first_difference(x, y, f"{path}[{i}]")
    return f"{path}: {a!r:.60} vs {b!r:.60}"


def run_workload(title: str, value: dict, ours: Codec, others: list[Codec], settings: Settings) -> None:
    """Time every codec on ``value``, interleaved, and print one table."""
    fns = {}
    sizes = {}
    errors = {}
    for codec in [ours] + others:
        if codec.pack is None:
            errors[codec.name] = codec.note
            continue
        try:
            data = codec.pack(value)
            codec.unpack(data)
        except Exception as exc:
            errors[codec.name] = f"{type(exc).__name__}: {exc}"[:80]
            continue
        sizes[codec.name] = len(data)
        fns[(codec.name, "pack")] = functools.partial(codec.pack, value)
        fns[(codec.name, "unpack")] = functools.partial(codec.unpack, data)
    copies = []
    if "bytes" in value and type(value["bytes"]) is bytes and len(value["bytes"]) >= 1 << 16:
        # What any codec that copies the data in once and out once must pay.
        raw = value["bytes"]
        copies = ["bytes copy: bytearray(x)", "bytes copy: bytes(bytearray(x))"]
        fns[(copies[0], "copy")] = functools.partial(bytearray, raw)
        fns[(copies[1], "copy")] = lambda: bytes(bytearray(raw))
        sizes.update({name: len(raw) for name in copies})
    group = measure_group(fns, settings) if ours.name in sizes else None

    print()
    print(f"== {title} ==")
    print(f"{'':32} {'pack':>10} {'unpack':>10} {'pack/ours':>10} {'unpack/ours':>12} {'size B':>10}")
    for codec in [ours] + others:
        name = codec.name
        if name in errors or group is None:
            print(f"{name:32} {'n/a':>10} {'n/a':>10} {'n/a':>10} {'n/a':>12} {'n/a':>10}  "
                  f"({errors.get(name, 'ours failed')})")
            continue
        print(f"{name:32} {fmt_time(group[(name, 'pack')]):>10} {fmt_time(group[(name, 'unpack')]):>10} "
              f"{fmt_ratio(group.ratio((name, 'pack'), (ours.name, 'pack'))):>10} "
              f"{fmt_ratio(group.ratio((name, 'unpack'), (ours.name, 'unpack'))):>12} {sizes[name]:>10,}")
    for name in copies:
        t = group[(name, "copy")]
        print(f"{name:32} {fmt_time(t):>10} {fmt_time(t):>10} "
              f"{fmt_ratio(group.ratio((name, 'copy'), (ours.name, 'pack'))):>10} "
              f"{fmt_ratio(group.ratio((name, 'copy'), (ours.name, 'unpack'))):>12} {sizes[name]:>10,}")


def run_linearity(ours: Codec, settings: Settings, sizes) -> None:
    """Per-element cost of ours on vectors of growing length.

    marshal runs on the same values beside ours: its growth per element shows
    how much of any growth is the machine's (caches, allocator) rather than
    the codec's.
    """
    print()
    print("== linearity: contacts.found with a vector of n peer objects ==")
    print("   growth = per-element time at n / per-element time at the smallest n (1.00x is linear)")
    print(f"{'n':>8} {'size B':>10} {'pack':>10} {'unpack':>10} {'pack/elem':>10} {'unpack/elem':>12} "
          f"{'growth: pack':>13} {'unpack':>7} {'marshal dumps':>14} {'loads':>6}")
    fns, encoded = {}, {}
    for n in sizes:
        value = vector_of(n)
        encoded[n] = ours.pack(value)
        marshalled = marshal.dumps(value)
        fns[("pack", n)] = functools.partial(ours.pack, value)
        fns[("unpack", n)] = functools.partial(ours.unpack, encoded[n])
        fns[("dumps", n)] = functools.partial(marshal.dumps, value)
        fns[("loads", n)] = functools.partial(marshal.loads, marshalled)
    # All lengths in one interleaved group: the per-element costs are then
    # compared under the same machine load.
    group = measure_group(fns, settings)
    first = sizes[0]

    def growth(kind, n):
        return fmt_ratio(group.ratio((kind, n), (kind, first)) * first / n)

    for n in sizes:
        tp, tu = group[("pack", n)], group[("unpack", n)]
        print(f"{n:>8} {len(encoded[n]):>10,} {fmt_time(tp):>10} {fmt_time(tu):>10} "
              f"{fmt_time(tp / n):>10} {fmt_time(tu / n):>12} {growth('pack', n):>13} {growth('unpack', n):>7} "
              f"{growth('dumps', n):>14} {growth('loads', n):>6}")


def run_memory(ours: Codec, values: dict) -> None:
    """Peak memory of unpack against the memory its result keeps.

    tracemalloc sees every allocation the interpreter makes for the result;
    a peak above what the result keeps is temporary memory of the decoder.
    """
    print()
    print("== memory: unpack peak / memory the returned objects keep (1.00x: no temporaries) ==")
    for title, value in values.items():
        data = ours.pack(value)
        ours.unpack(data)  # warm caches and free lists first
        tracemalloc.start()
        try:
            before = tracemalloc.get_traced_memory()[0]
            tracemalloc.reset_peak()
            result = ours.unpack(data)
            kept, peak = tracemalloc.get_traced_memory()
        finally:
            tracemalloc.stop()
        del result
        kept, peak = kept - before, peak - before
        print(f"{title.split(':')[0]:32} kept {kept:>12,} B  peak {peak:>12,} B  {fmt_ratio(peak / kept):>7}")


def main(argv: list[str] | None = None) -> int:
    ap = argument_parser(__doc__.splitlines()[0])
    ap.add_argument("--no-linearity", action="store_true", help="skip the vector-length table")
    args = ap.parse_args(argv)
    settings = Settings.from_args(args.quick, args.repeat)

    ours, others = build_codecs(args.impl)
    versions = [f"Python {platform.python_version()} ({platform.machine()})"]
    if msgpack is not None:
        versions.append("msgpack " + ".".join(map(str, msgpack.version)))
    if msgspec is not None:
        versions.append("msgspec " + msgspec.__version__)
    print(f"codec benchmark: {', '.join(versions)}; median of {settings.repeat} repeats"
          f"{' [quick]' if args.quick else ''}")
    print(f"times are per call; x/ours = that row's time / {ours.name}'s (above 1.00x: ours is faster)")

    values = {
        "small_object: sessionStats, 11 scalar fields": workloads.small_object(),
        "list_result: users.usersSlice of 100 users": workloads.list_result(100),
        "payload: upload.file with a 1 MiB bytes field": workloads.payload(1 << 20),
        "chat_history: messages.messagesSlice of 100 messages": workloads.chat_history(100),
    }

    problems: list[str] = []
    for title, value in values.items():
        try:
            problems += verify(title.split(":")[0], value, ours, others)
        except Exception:
            problems.append(f"{title}: verification crashed:\n{traceback.format_exc()}")
    for p in problems:
        print("VERIFY FAILED:", p)

    for title, value in values.items():
        run_workload(title, value, ours, others, settings)
    if not args.no_linearity:
        run_linearity(ours, settings, LINEARITY_SIZES_QUICK if args.quick else LINEARITY_SIZES)
    run_memory(ours, values)

    if problems:
        print(f"\n{len(problems)} verification problem(s); see VERIFY FAILED lines above")
        return 1
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
