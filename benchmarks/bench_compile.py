"""Schema compile time of Velta.tl against json.loads of the same text.

    python benchmarks/bench_compile.py            # full run (about a minute)
    python benchmarks/bench_compile.py --quick    # a few seconds, for CI

``TLSchemaCompiler().compile(text)`` decodes the text with ``json.loads`` and
then builds its tables, so ``json.loads(text)`` alone is the natural floor;
the ratio between the two says what the table building costs on top of
decoding. Every time is the median of several timeit repeats measured in this
process. The last table compiles schemas of growing size to show that the
cost per entry stays flat.
"""

from __future__ import annotations

import argparse
import json
import os
import platform
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(1, os.path.join(os.path.dirname(HERE), "tests"))

from timing import Settings, fmt_ratio, fmt_time, measure  # noqa: E402
from workloads import generate_schema, schema_json  # noqa: E402

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
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--quick", action="store_true", help="few repeats, short runs (a few seconds in all)")
    ap.add_argument("--repeat", type=int, default=None, help="timeit repeats per measurement (median is shown)")
    ap.add_argument("--impl", choices=("c", "reference"), default="c",
                    help="what to measure as ours: the C extension (default) or the pure-Python reference")
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

    t_json = measure(lambda: json.loads(text), settings)
    t_text = measure(_compile_fn(ours, text), settings)
    # The decoded form, with methods already joined to the constructors, so
    # repeated compiles of the same dict never see a list grown by an
    # earlier one.
    compile_label = ("TLSchemaCompiler().compile(text)" if hasattr(ours, "TLSchemaCompiler")
                     else "TLParser(text) (compiles)")
    rows = [
        ("json.loads(text)", t_json),
        (compile_label, t_text),
    ]
    if hasattr(ours, "TLSchemaCompiler"):
        joined = {"constructors": schema["constructors"] + schema["methods"]}
        t_dict = measure(lambda: ours.TLSchemaCompiler().compile(joined), settings)
        rows.append(("TLSchemaCompiler().compile(dict)", t_dict))
    if hasattr(ours, "TLSchemaCompiler"):
        rows.append(("TLParser(text)", measure(lambda: ours.TLParser(text), settings)))
    if reference is not None:
        rows.append(("reference TLParser(text)", measure(lambda: reference.TLParser(text), settings)))
    else:
        rows.append(("reference TLParser(text)", None))

    print()
    print(f"{'':34} {'time/call':>11} {'x json.loads':>13} {'per entry':>11}")
    for label, t in rows:
        per_entry = fmt_time(t / n_entries) if t is not None else "n/a"
        print(f"{label:34} {fmt_time(t):>11} {fmt_ratio(t, t_json):>13} {per_entry:>11}")
    print()
    print(f"compile(text) / json.loads(text) = {fmt_ratio(t_text, t_json)}; "
          f"table building on top of decoding: {fmt_time(max(0.0, t_text - t_json))} "
          f"({fmt_time(max(0.0, t_text - t_json) / n_entries)} per entry)")

    print()
    print("linearity (methods = 0.4 x constructors):")
    print(f"{'constructors':>12} {'entries':>8} {'JSON bytes':>11} {'json.loads':>11} {'compile':>11} "
          f"{'ratio':>7} {'compile/entry':>14} {'vs smallest':>12}")
    first_per_entry = None
    for n in SIZES:
        s = generate_schema(n, round(n * METHODS_PER_CONSTRUCTOR), seed=0)
        t_s = schema_json(s)
        entries = len(s["constructors"]) + len(s["methods"])
        tj = measure(lambda: json.loads(t_s), settings)
        tc = measure(_compile_fn(ours, t_s), settings)
        per = tc / entries
        first_per_entry = first_per_entry or per
        print(f"{n:>12} {entries:>8} {len(t_s):>11,} {fmt_time(tj):>11} {fmt_time(tc):>11} "
              f"{fmt_ratio(tc, tj):>7} {fmt_time(per):>14} {fmt_ratio(per, first_per_entry):>12}")
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
