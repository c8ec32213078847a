"""Schema compile time of Velta.tl against json.loads of the same text.

    python benchmarks/bench_compile.py            # full run (about 15 seconds)
    python benchmarks/bench_compile.py --quick    # a few seconds, for CI

``TLSchemaCompiler().compile(text)`` reads text of the usual shape straight
into its tables and hands any other text to ``json.loads`` first, so
``json.loads(text)`` is the yardstick: the ratio between the two says what
compiling costs against merely decoding the text. Every time is the median of
several timeit repeats measured in this process. The linearity table compiles schemas of growing size to show that the
cost per entry stays flat. The last table compiles the public API schema
(``../shared/schemas/api.tl``, skipped when absent) as a dict and as JSON
text, against ``json.loads`` of that text, and prints each ratio (our time /
json.loads's) against its target.
"""

from __future__ import annotations

import json
import os
import platform
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(1, os.path.join(os.path.dirname(HERE), "tests"))

from timing import Settings, argument_parser, fmt_ratio, fmt_time, measure_group  # noqa: E402
from workloads import api, schema_json  # noqa: E402
from workloads.synthetic import generate_schema  # noqa: E402

SIZES = (500, 1000, 2000, 4000)
METHODS_PER_CONSTRUCTOR = 0.4  # 2,000 constructors come with 800 methods


def _load_ours(impl: str):
    if impl == "reference":
        import tl_reference as mod
    else:
        from Velta import tl as mod
    return mod


def _load_reference():
    try:
        import tl_reference
    except Exception:
        return None
    return tl_reference


def _compile_fn(mod, text):
    compiler_type = getattr(mod, "TLSchemaCompiler", None)
    if compiler_type is not None:
        return lambda: compiler_type().compile(text)
    # A module without a separate compiler type: building a parser compiles.
    return lambda: mod.TLParser(text)


def main(argv: list[str] | None = None) -> int:
    ap = argument_parser(__doc__.splitlines()[0])
    args = ap.parse_args(argv)
    settings = Settings.from_args(args.quick, args.repeat)

    ours = _load_ours(args.impl)
    reference = _load_reference() if args.impl == "c" else None
    ours_label = "Velta.tl" if args.impl == "c" else "tl_reference"

    print(f"schema compile benchmark: {ours_label}, Python {platform.python_version()} "
          f"({platform.machine()}), median of {settings.repeat} repeats"
          f"{' [quick]' if args.quick else ''}")

    schema = generate_schema(2000, 800, seed=0)
    text = schema_json(schema)
    n_entries = len(schema["constructors"]) + len(schema["methods"])
    n_params = sum(len(e["params"]) for e in schema["constructors"] + schema["methods"])
    print(f"schema: {len(schema['constructors'])} constructors + {len(schema['methods'])} methods, "
          f"{n_params} params, {len(text):,} bytes of JSON text")

    # Sanity: the text compiles at all before anything is timed.
    _compile_fn(ours, text)()

    compile_label = ("TLSchemaCompiler().compile(text)" if hasattr(ours, "TLSchemaCompiler")
                     else "TLParser(text) (compiles)")
    fns = {
        "json.loads(text)": lambda: json.loads(text),
        compile_label: _compile_fn(ours, text),
    }
    if hasattr(ours, "TLSchemaCompiler"):
        # The decoded form, with the methods already joined to the
        # constructors, so that repeated compiles of one dict never see a
        # list grown by an earlier compile.
        joined = {"constructors": schema["constructors"] + schema["methods"]}
        fns["TLSchemaCompiler().compile(dict)"] = lambda: ours.TLSchemaCompiler().compile(joined)
        fns["TLParser(text)"] = lambda: ours.TLParser(text)
    if reference is not None:
        fns["reference TLParser(text)"] = lambda: reference.TLParser(text)
    times = measure_group(fns, settings)
    t_json = times["json.loads(text)"]
    t_text = times[compile_label]
    rows = list(times.items())
    if reference is None and args.impl == "c":
        rows.append(("reference TLParser(text)", None))

    print()
    print(f"{'':34} {'time/call':>11} {'x json.loads':>13} {'per entry':>11}")
    for label, t in rows:
        per_entry = fmt_time(t / n_entries) if t is not None else "n/a"
        print(f"{label:34} {fmt_time(t):>11} {fmt_ratio(times.ratio(label, 'json.loads(text)')):>13} "
              f"{per_entry:>11}")
    print()
    print(f"compile(text) / json.loads(text) = {fmt_ratio(times.ratio(compile_label, 'json.loads(text)'))}; "
          f"difference: {'-' if t_text < t_json else '+'}{fmt_time(abs(t_text - t_json))} "
          f"({fmt_time(abs(t_text - t_json) / n_entries)} per entry)")

    print()
    print("linearity (methods = 0.4 x constructors):")
    print(f"{'constructors':>12} {'entries':>8} {'JSON bytes':>11} {'json.loads':>11} {'compile':>11} "
          f"{'ratio':>7} {'compile/entry':>14} {'vs smallest':>12} {'json.loads/entry vs smallest':>29}")
    # All sizes are measured in one interleaved group, so that the cost per
    # entry of each size is compared with the smallest under the same load.
    texts, entries = {}, {}
    for n in SIZES:
        s = generate_schema(n, round(n * METHODS_PER_CONSTRUCTOR), seed=0)
        texts[n] = schema_json(s)
        entries[n] = len(s["constructors"]) + len(s["methods"])
    fns = {}
    for n in SIZES:
        fns[("json", n)] = (lambda t: lambda: json.loads(t))(texts[n])
        fns[("compile", n)] = _compile_fn(ours, texts[n])
    group = measure_group(fns, settings)
    smallest = SIZES[0]
    for n in SIZES:
        tj, tc = group[("json", n)], group[("compile", n)]
        scale = entries[smallest] / entries[n]
        growth = group.ratio(("compile", n), ("compile", smallest)) * scale
        json_growth = group.ratio(("json", n), ("json", smallest)) * scale
        print(f"{n:>12} {entries[n]:>8} {len(texts[n]):>11,} {fmt_time(tj):>11} {fmt_time(tc):>11} "
              f"{fmt_ratio(group.ratio(('compile', n), ('json', n))):>7} {fmt_time(tc / entries[n]):>14} "
              f"{fmt_ratio(growth):>12} {fmt_ratio(json_growth):>29}")
    run_public_schema(ours, args, settings)
    return 0


def run_public_schema(ours, args, settings) -> None:
    """Compile the public API schema against json.loads of its JSON text.

    Targets: ``TLParser(dict)`` at most 0.4x and ``TLParser(text)`` at most
    1.3x the time of ``json.loads(text)`` (our time / json.loads's time).
    """
    print()
    if not api.available():
        print(f"public API schema: skipped: {api.missing_reason()}")
        return
    schema = api.api_schema()
    text = api.api_schema_json()
    n_entries = len(schema["constructors"]) + len(schema["methods"])
    print(f"public API schema (api.tl via Velta.schema.from_tl): {len(schema['constructors'])} constructors + "
          f"{len(schema['methods'])} methods, {len(text):,} bytes of JSON text")
    fns = {
        "json.loads(text)": lambda: json.loads(text),
        "TLParser(dict)": lambda: ours.TLParser(schema),
        "TLParser(text)": lambda: ours.TLParser(text),
    }
    if args.impl == "c":
        fns["TLParser(dict, standard=True)"] = lambda: ours.TLParser(schema, standard=True)
    times = measure_group(fns, settings)
    print(f"{'':34} {'time/call':>11} {'x json.loads':>13} {'per entry':>11}")
    for label, t in times.items():
        print(f"{label:34} {fmt_time(t):>11} {fmt_ratio(times.ratio(label, 'json.loads(text)')):>13} "
              f"{fmt_time(t / n_entries):>11}")
    print()
    print("targets: our time / json.loads(text)'s time, median of per-repeat ratios (at or under the target is met)")
    for label, target in (("TLParser(dict)", 0.40), ("TLParser(text)", 1.30)):
        ratio = times.ratio(label, "json.loads(text)")
        name = f"public schema: {label} / json.loads(text)"
        print(f"{name:72} {ratio:.2f}x   target ≤ {target:.2f} — {'met' if ratio <= target else 'missed'}")
    try:
        load = "load average {:.2f} {:.2f} {:.2f}".format(*os.getloadavg()) + f" on {os.cpu_count()} cores"
    except OSError:
        load = "load average n/a"
    print(f"\nmachine at end: {load}")


if __name__ == "__main__":
    raise SystemExit(main())
