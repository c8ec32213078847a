"""Pack/unpack speed of Velta.tl against other serialisers of the same dicts.

    python benchmarks/bench_codec.py            # full run (a minute or two)
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
repeats in this process. Missing optional packages show as n/a.

Before timing, every workload is round-tripped through ours and through the
reference, and their encodings are compared; a mismatch is reported and
makes the script exit with status 1.
"""

from __future__ import annotations

import argparse
import functools
import marshal
import os
import platform
import sys
import traceback

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(1, os.path.join(os.path.dirname(HERE), "tests"))

from timing import Settings, fmt_ratio, fmt_time, measure  # noqa: E402
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


def _time_codec(codec: Codec, value, settings: Settings):
    """(pack seconds, unpack seconds, encoded size, error) for one codec."""
    if codec.pack is None:
        return None, None, None, codec.note
    try:
        data = codec.pack(value)
        codec.unpack(data)
    except Exception as exc:
        return None, None, None, f"{type(exc).__name__}: {exc}"[:80]
    t_pack = measure(functools.partial(codec.pack, value), settings)
    t_unpack = measure(functools.partial(codec.unpack, data), settings)
    return t_pack, t_unpack, len(data), ""


def run_workload(title: str, value: dict, ours: Codec, others: list[Codec], settings: Settings) -> None:
    rows = []
    o_pack, o_unpack, o_size, o_err = _time_codec(ours, value, settings)
    rows.append((ours.name, o_pack, o_unpack, o_size, o_err))
    for codec in others:
        rows.append((codec.name, *_time_codec(codec, value, settings)))
    if title.startswith("payload"):
        data = value["bytes"]
        one = measure(functools.partial(bytearray, data), settings)
        two = measure(lambda: bytes(bytearray(data)), settings)
        rows.append(("bytes copy: bytearray(x)", one, one, len(data), ""))
        rows.append(("bytes copy: bytes(bytearray(x))", two, two, len(data), ""))

    print()
    print(f"== {title} ==")
    print(f"{'':32} {'pack':>10} {'unpack':>10} {'pack/ours':>10} {'unpack/ours':>12} {'size B':>10}")
    for name, t_pack, t_unpack, size, err in rows:
        if err or t_pack is None:
            print(f"{name:32} {'n/a':>10} {'n/a':>10} {'n/a':>10} {'n/a':>12} {'n/a':>10}  ({err})")
            continue
        print(f"{name:32} {fmt_time(t_pack):>10} {fmt_time(t_unpack):>10} "
              f"{fmt_ratio(t_pack, o_pack):>10} {fmt_ratio(t_unpack, o_unpack):>12} {size:>10,}")


def run_linearity(ours: Codec, settings: Settings, sizes) -> None:
    print()
    print("== linearity: contacts.found with a vector of n peer objects (ours) ==")
    print(f"{'n':>8} {'size B':>10} {'pack':>10} {'unpack':>10} {'pack/elem':>10} {'unpack/elem':>12} "
          f"{'vs smallest':>12}")
    base = None
    for n in sizes:
        value = vector_of(n)
        data = ours.pack(value)
        t_pack = measure(functools.partial(ours.pack, value), settings)
        t_unpack = measure(functools.partial(ours.unpack, data), settings)
        per = (t_pack + t_unpack) / max(n, 1)
        base = base or per
        print(f"{n:>8} {len(data):>10,} {fmt_time(t_pack):>10} {fmt_time(t_unpack):>10} "
              f"{fmt_time(t_pack / n):>10} {fmt_time(t_unpack / n):>12} {fmt_ratio(per, base):>12}")


def main(argv: list[str] | None = None) -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--quick", action="store_true", help="few repeats, short runs (a few seconds in all)")
    ap.add_argument("--repeat", type=int, default=None, help="timeit repeats per measurement (median is shown)")
    ap.add_argument("--impl", choices=("c", "reference"), default="c",
                    help="what to measure as ours: the C extension (default) or the pure-Python reference")
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

    if problems:
        print(f"\n{len(problems)} verification problem(s); see VERIFY FAILED lines above")
        return 1
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
