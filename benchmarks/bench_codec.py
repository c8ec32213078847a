"""Pack/unpack speed of Velta.tl against other serialisers of the same dicts.

    python benchmarks/bench_codec.py            # full run (about 90 seconds)
    python benchmarks/bench_codec.py --quick    # a few seconds, for CI
    python benchmarks/bench_codec.py --shapes-only  # pack by the shape of the dicts

For each workload of workloads/chat.py the table gives the time per call of
packing the value and of unpacking the packed bytes, for:

* Velta.tl ``TLParser`` (ours), over workloads.chat.CHAT_SCHEMA;
* the pure-Python reference codec in tests/tl_reference.py (same schema);
* ``marshal.dumps`` / ``marshal.loads``;
* ``msgpack.packb(use_bin_type=True)`` / ``msgpack.unpackb``;
* ``msgspec.msgpack`` Encoder / Decoder (untyped decoding to dicts);
* ours with ``strict=True`` (in the public-schema tables also with
  ``standard=True``), whose packing is held to within 10 % of the plain
  pack in the targets;
* for the 1 MiB payload, plain copies of its bytes, the floor for any
  encoder that copies the data in and out once each.

Ratios are the row's time divided by ours, so 3.00x means that row takes
three times as long as Velta.tl. Every time is the median of several timeit
repeats in this process, all rows of a table measured interleaved; a ratio is
the median of the per-repeat ratios. Missing optional packages show as n/a.

Then the same for real-shape workloads of the public API schema
(workloads/api.py; skipped with a message when ../shared/schemas/api.tl is
absent): a history page and a single user, with ours in the standard mode as
an extra row; a growth table (time per object for 10 ... 100,000 users, ours
against marshal and msgspec.msgpack); and a list of targets, each a ratio of
OUR time to a baseline's time (at or under the target: met).

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
from workloads import api, chat, schema_json  # noqa: E402
from workloads.chat import CHAT_SCHEMA, vector_of  # noqa: E402

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


def build_codecs(impl: str, schema_text: str | None = None, label: str = "") -> tuple[Codec, list[Codec]]:
    """Ours and the baselines; the TL codecs over ``schema_text`` (CHAT_SCHEMA by default)."""
    text = schema_text if schema_text is not None else schema_json(CHAT_SCHEMA)
    if impl == "c":
        from Velta import tl
        ours = _tl_codec(f"Velta.tl (ours){label}", tl.TLParser, text)
    else:
        import tl_reference
        ours = _tl_codec(f"tl_reference (as ours){label}", tl_reference.TLParser, text)
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


def standard_codec(impl: str, schema_text: str) -> Codec:
    """Ours in the standard TL mode, over the same schema."""
    if impl == "c":
        from Velta import tl
        parser_type = tl.TLParser
    else:
        import tl_reference
        parser_type = tl_reference.TLParser
    return _tl_codec("ours, standard=True", functools.partial(parser_type, standard=True), schema_text)


def strict_codec(impl: str, schema_text: str, standard: bool = False) -> Codec:
    """Ours with strict=True (default mode unless ``standard``), over the same schema."""
    if impl == "c":
        from Velta import tl
        parser_type = tl.TLParser
    else:
        import tl_reference
        parser_type = tl_reference.TLParser
    name = "ours, strict=True" + (", standard=True" if standard else "")
    return _tl_codec(name, functools.partial(parser_type, strict=True, standard=standard), schema_text)


def strict_rows(label: str, group, ours: str, strict: str) -> list:
    """The target row of strict packing against plain packing: within 10 %."""
    return [(f"{label}: strict=True pack / plain pack", _ours_over(group, strict, "pack", ours, "pack"), 1.10)]


def verify_strict(name: str, value: dict, plain: Codec, strict: Codec) -> list[str]:
    """Strict packing must take ``value`` and write the bytes plain packing does."""
    try:
        same = strict.pack(value) == plain.pack(value)
    except Exception as exc:
        return [f"{name}: {strict.name} pack raised {type(exc).__name__}: {exc}"]
    return [] if same else [f"{name}: {strict.name} encodes it differently from {plain.name}"]


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


def run_workload(title: str, value: dict, ours: Codec, others: list[Codec], settings: Settings):
    """Time every codec on ``value``, interleaved, and print one table.

    Returns the measured group (None when ours failed): keys are
    ``(codec name, "pack" | "unpack")``.
    """
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
    return group


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


# ---------------------------------------------------------------------------
# Real-shape workloads of the public API schema, and the targets of the issue
# ---------------------------------------------------------------------------

GROWTH_SIZES = (10, 100, 1_000, 10_000, 100_000)
GROWTH_SIZES_QUICK = (10, 100, 1_000)
PACK_FLAT = 1.10  # "pack stays flat": per-object pack time at the largest n within 10 % of that at 10


def _ours_over(group, ours: str, op: str, base: str, base_op: str):
    """Median per-repeat ratio our time / the baseline's time (None when missing)."""
    if group is None:
        return None
    return group.ratio((ours, op), (base, base_op))


def _fmt_plain(r: float | None) -> str:
    return "n/a" if r is None else f"{r:.2f}x"


def print_targets(rows: list, quick: bool = False) -> None:
    """One line per target: the ratio (our time / the baseline's), the target, met or missed."""
    print()
    print("== targets: our time / the baseline's time, medians of per-repeat ratios "
          "(at or under the target is met) ==")
    if quick:
        print("   [quick: 3 short repeats; these figures only show that the script works]")
    for label, ratio, target in rows:
        if ratio is None or target is None:
            verdict = "n/a (baseline missing)"
        else:
            verdict = "met" if ratio <= target else "missed"
        target_text = "n/a" if target is None else f"{target:.2f}"
        print(f"{label:72} {_fmt_plain(ratio):>7}   target ≤ {target_text:<5} — {verdict}")


def run_growth(ours: Codec, others: list[Codec], settings: Settings, sizes) -> list:
    """Per-object time of ours, marshal and msgspec on contacts.contacts of n users.

    Every size and codec is measured in one interleaved group (timeit keeps
    the garbage collector off), so the growth of each codec from the smallest
    n is compared under the same machine load. Returns target rows.
    """
    baselines = [c for c in others if c.name in ("marshal", "msgspec.msgpack") and c.pack is not None]
    codecs = [ours] + baselines
    short = {ours.name: "ours", "marshal": "marshal", "msgspec.msgpack": "msgspec"}
    print()
    print("== growth: contacts.contacts with n users of the small-object kind (gc off) ==")
    print("   growth = time per object at n / time per object at the smallest n (1.00x: flat)")
    fns, encoded = {}, {}
    for n in sizes:
        value = api.users_page(n)
        for codec in codecs:
            data = codec.pack(value)
            if codec is ours:
                encoded[n] = data
            fns[(codec.name, "pack", n)] = functools.partial(codec.pack, value)
            fns[(codec.name, "unpack", n)] = functools.partial(codec.unpack, data)
        del value
    group = measure_group(fns, settings)
    first = sizes[0]

    def growth(name, op, n):
        return group.ratio((name, op, n), (name, op, first)) * first / n

    head = "".join(f" {short[c.name] + ' ' + op:>16}" for c in codecs for op in ("pack", "unpack"))
    print(f"{'n':>8} {'TL size B':>11} {'ours pack/obj':>14} {'unpack/obj':>11}{head}")
    for n in sizes:
        cols = "".join(f" {fmt_ratio(growth(c.name, op, n)):>16}" for c in codecs for op in ("pack", "unpack"))
        print(f"{n:>8} {len(encoded[n]):>11,} {fmt_time(group[(ours.name, 'pack', n)] / n):>14} "
              f"{fmt_time(group[(ours.name, 'unpack', n)] / n):>11}{cols}")
    last = sizes[-1]
    rows = []
    marshal_growth = growth("marshal", "unpack", last)
    rows.append((f"growth {first:,} -> {last:,} objects: unpack (marshal.loads grows {marshal_growth:.2f}x)",
                 growth(ours.name, "unpack", last), marshal_growth))
    dumps_growth = growth("marshal", "pack", last)
    rows.append((f"growth {first:,} -> {last:,} objects: pack, flat (marshal.dumps grows {dumps_growth:.2f}x)",
                 growth(ours.name, "pack", last), PACK_FLAT))
    return rows


SHAPE_TARGET = 0.80        # pack of every shape / msgspec's encode of the same dicts
EQUAL_OVER_INTERNED = 1.15  # equal keys / interned keys, for ours


def run_shapes(impl: str, settings: Settings) -> tuple[list[str], list]:
    """Pack of the page and the user in each shape, ours (both modes) against msgspec.

    The shapes (tests/api_values.py): as unpack returns a value (interned
    keys), as a JSON decoder gives it (equal keys, other objects), as code
    writes it (only the fields that are set). Every shape packs to the same
    bytes; returns (problems, target rows).
    """
    text = api.api_schema_json()
    ours, others = build_codecs(impl, text)
    standard = standard_codec(impl, text)
    msgspec_codec = next(c for c in others if c.name == "msgspec.msgpack")
    makers = {"history page": api.history_page, "small object": api.small_user}
    problems, rows = [], []
    for label, make in makers.items():
        expected = ours.pack(make())
        fns = {}
        for shape in api.SHAPES:
            value, standard_value = make(shape=shape), make(shape=shape, standard=True)
            if ours.pack(value) != expected or standard.pack(standard_value) != expected:
                problems.append(f"{label}, {shape} keys: packs to other bytes than the interned shape")
            fns[(shape, "ours")] = functools.partial(ours.pack, value)
            fns[(shape, "standard")] = functools.partial(standard.pack, standard_value)
            if msgspec_codec.pack is not None:
                fns[(shape, "msgspec")] = functools.partial(msgspec_codec.pack, value)
        group = measure_group(fns, settings)
        print()
        print(f"== {label}: pack by the shape of the dicts (ours / msgspec.msgpack encode of the same dicts) ==")
        print(f"{'shape':10} {'ours':>10} {'standard':>10} {'msgspec':>10} {'ours/msgspec':>13} "
              f"{'standard/msgspec':>17} {'ours/interned':>14}")
        for shape in api.SHAPES:
            has_base = (shape, "msgspec") in group
            print(f"{shape:10} {fmt_time(group[(shape, 'ours')]):>10} {fmt_time(group[(shape, 'standard')]):>10} "
                  f"{fmt_time(group.get((shape, 'msgspec'))):>10} "
                  f"{_fmt_plain(group.ratio((shape, 'ours'), (shape, 'msgspec')) if has_base else None):>13} "
                  f"{_fmt_plain(group.ratio((shape, 'standard'), (shape, 'msgspec')) if has_base else None):>17} "
                  f"{_fmt_plain(group.ratio((shape, 'ours'), ('interned', 'ours'))):>14}")
            for mode in ("ours", "standard"):
                ratio = group.ratio((shape, mode), (shape, "msgspec")) if has_base else None
                name = "" if mode == "ours" else ", standard mode"
                rows.append((f"{label}, {shape} keys{name}: pack / msgspec.msgpack encode", ratio, SHAPE_TARGET))
        for mode in ("ours", "standard"):
            name = "" if mode == "ours" else ", standard mode"
            rows.append((f"{label}{name}: pack of equal keys / of interned keys",
                         group.ratio(("equal", mode), ("interned", mode)), EQUAL_OVER_INTERNED))
    return problems, rows


def run_api(impl: str, settings: Settings, args) -> tuple[list[str], list]:
    """Tables for the public-schema workloads; returns (problems, target rows)."""
    if not api.available():
        print()
        print(f"== public API schema workloads: skipped: {api.missing_reason()} ==")
        return [], []
    text = api.api_schema_json()
    ours, others = build_codecs(impl, text)
    standard = standard_codec(impl, text)
    strict = strict_codec(impl, text)
    strict_standard = strict_codec(impl, text, standard=True)
    values = {
        "api history page: messages.messagesSlice, 100 messages, 20 users, 5 chats": api.history_page(),
        "api small object: one user, 11 fields set": api.small_user(),
    }
    # The same dicts as the standard mode reads them back: with a key for each
    # '#' field, which is a value there.
    standard_values = [api.history_page(standard=True), api.small_user(standard=True)]
    problems = []
    for (title, value), standard_value in zip(values.items(), standard_values):
        problems += verify(title.split(":")[0], value, ours, others)
        # The same dicts in the standard mode (no Bool, int128 or bare fields in
        # them, and every int non-negative, so both modes read them back alike).
        problems += verify(title.split(":")[0] + " (standard mode)", standard_value, standard, [])
        if not ours.pack(value) == standard.pack(value) == standard.pack(standard_value):
            problems.append(f"{title.split(':')[0]}: the standard mode encodes it differently")
        problems += verify_strict(title.split(":")[0], value, ours, strict)
        problems += verify_strict(title.split(":")[0] + " (standard mode)", value, standard, strict_standard)
    for p in problems:
        print("VERIFY FAILED:", p)

    groups = {}
    for title, value in values.items():
        groups[title] = run_workload(title, value, ours, others + [standard, strict, strict_standard], settings)
    page, small = (groups[t] for t in values)
    o, enc, mar = ours.name, "msgspec.msgpack", "marshal"
    rows = [
        ("history page: pack / msgspec.msgpack encode", _ours_over(page, o, "pack", enc, "pack"), 0.75),
        ("history page: pack / marshal.dumps", _ours_over(page, o, "pack", mar, "pack"), 0.70),
        ("history page: unpack / marshal.loads", _ours_over(page, o, "unpack", mar, "unpack"), 0.50),
        ("history page: unpack / msgspec.msgpack decode", _ours_over(page, o, "unpack", enc, "unpack"), 0.50),
        ("small object: pack / msgspec.msgpack encode", _ours_over(small, o, "pack", enc, "pack"), 0.80),
        ("small object: unpack / msgspec.msgpack decode", _ours_over(small, o, "unpack", enc, "unpack"), 0.40),
    ]
    for label, group in (("history page", page), ("small object", small)):
        for op in ("pack", "unpack"):
            rows.append((f"{label}: standard mode {op} / default mode {op}",
                         _ours_over(group, standard.name, op, o, op), 1.10))
        rows += strict_rows(label, group, o, strict.name)
        rows += strict_rows(label + " (standard mode)", group, standard.name, strict_standard.name)
    shape_problems, shape_rows = run_shapes(impl, settings)
    problems += shape_problems
    rows += shape_rows
    if not args.no_linearity:
        rows += run_growth(ours, others, settings, GROWTH_SIZES_QUICK if args.quick else GROWTH_SIZES)
    run_memory(ours, values)
    return problems, rows


def _load_text() -> str:
    try:
        return "load average {:.2f} {:.2f} {:.2f}".format(*os.getloadavg()) + f" on {os.cpu_count()} cores"
    except OSError:
        return "load average n/a"


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
    ap.add_argument("--no-linearity", action="store_true", help="skip the growth (vector-length) table")
    ap.add_argument("--api-only", action="store_true",
                    help="only the public API schema workloads, their targets and growth table")
    ap.add_argument("--shapes-only", action="store_true",
                    help="only the pack-by-shape tables of the public API schema workloads and their targets")
    args = ap.parse_args(argv)
    settings = Settings.from_args(args.quick, args.repeat)
    if args.shapes_only:
        if not api.available():
            print(f"public API schema workloads: skipped: {api.missing_reason()}")
            return 0
        problems, rows = run_shapes(args.impl, settings)
        for p in problems:
            print("VERIFY FAILED:", p)
        print_targets(rows, args.quick)
        return 1 if problems else 0

    ours, others = build_codecs(args.impl)
    versions = [f"Python {platform.python_version()} ({platform.machine()})"]
    if msgpack is not None:
        versions.append("msgpack " + ".".join(map(str, msgpack.version)))
    if msgspec is not None:
        versions.append("msgspec " + msgspec.__version__)
    print(f"codec benchmark: {', '.join(versions)}; median of {settings.repeat} repeats"
          f"{' [quick]' if args.quick else ''}")
    print(f"machine at start: {_load_text()}")
    print(f"times are per call; x/ours = that row's time / {ours.name}'s (above 1.00x: ours is faster)")

    values = {
        "small_object: sessionStats, 11 scalar fields": chat.small_object(),
        "list_result: users.usersSlice of 100 users": chat.list_result(100),
        "payload: upload.file with a 1 MiB bytes field": chat.payload(1 << 20),
        "chat_history: messages.messagesSlice of 100 messages": chat.chat_history(100),
    }
    if args.api_only:
        values = {}

    problems: list[str] = []
    for title, value in values.items():
        try:
            problems += verify(title.split(":")[0], value, ours, others)
        except Exception:
            problems.append(f"{title}: verification crashed:\n{traceback.format_exc()}")
    strict = strict_codec(args.impl, schema_json(CHAT_SCHEMA))
    for title, value in values.items():
        problems += verify_strict(title.split(":")[0], value, ours, strict)
    for p in problems:
        print("VERIFY FAILED:", p)

    chat_targets = []
    for title, value in values.items():
        group = run_workload(title, value, ours, others + [strict], settings)
        chat_targets += strict_rows(title.split(":")[0], group, ours.name, strict.name)
    if values:
        if not args.no_linearity and not api.available():
            # Superseded by the growth table of the public-schema workloads.
            run_linearity(ours, settings, LINEARITY_SIZES_QUICK if args.quick else LINEARITY_SIZES)
        run_memory(ours, values)

    try:
        api_problems, targets = run_api(args.impl, settings, args)
    except Exception:
        api_problems, targets = [f"public API schema workloads crashed:\n{traceback.format_exc()}"], []
        print("VERIFY FAILED:", api_problems[0])
    problems += api_problems
    targets = chat_targets + targets
    if targets:
        print_targets(targets, args.quick)
    print(f"\nmachine at end: {_load_text()}")

    if problems:
        print(f"\n{len(problems)} verification problem(s); see VERIFY FAILED lines above")
        return 1
    return 0

if __name__ == "__main__":
    raise SystemExit(main())
