"""One workload's pack or unpack, many times, for an instruction-counting profiler.

    python benchmarks/profile_workload.py pack page 300
    python benchmarks/profile_workload.py pack page 300 --shape equal
    python benchmarks/profile_workload.py unpack user 10000
    python benchmarks/profile_workload.py unpack users 3 --users 100000
    python benchmarks/profile_workload.py compile text 5

Meant to run under callgrind, counting only inside the codec, with the hash
seed fixed (dict probe lengths follow the string hashes), on a build that
keeps its symbols (`pip install . -Cinstall.strip=false`):

    PYTHONHASHSEED=0 valgrind --tool=callgrind --toggle-collect='*parser_pack*' \\
        python benchmarks/profile_workload.py pack page 300

Use '*parser_unpack*' for unpack and '*parser_create*' for compile; divide the
total by the count for the cost of one call. Workloads: `page` (the public
schema's history page), `user` (one 11-field user), `users` (a page of
--users users); for compile, `text` or `dict` (the public schema).
"""

from __future__ import annotations

import argparse
import json
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from workloads import api  # noqa: E402
from Velta import tl  # noqa: E402


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("operation", choices=("pack", "unpack", "compile"))
    ap.add_argument("workload", choices=("page", "user", "users", "text", "dict"))
    ap.add_argument("count", type=int)
    ap.add_argument("--users", type=int, default=1000, help="users in the `users` workload")
    ap.add_argument("--standard", action="store_true", help="the parser in the standard mode")
    ap.add_argument("--shape", choices=api.SHAPES, default="interned",
                    help="how the packed value is built (page and user; see tests/api_values.py)")
    args = ap.parse_args()
    if not api.available():
        print(api.missing_reason(), file=sys.stderr)
        return 1
    text = api.api_schema_json()
    if args.operation == "compile":
        schema = text if args.workload == "text" else None
        for _ in range(args.count):
            tl.TLParser(schema if schema is not None else json.loads(text), standard=args.standard)
        return 0
    makers = {
        "page": lambda: api.history_page(standard=args.standard, shape=args.shape),
        "user": lambda: api.small_user(standard=args.standard, shape=args.shape),
        "users": lambda: api.users_page(args.users, standard=args.standard),
    }
    value = makers[args.workload]()
    parser = tl.TLParser(text, standard=args.standard)
    wire = parser.pack(value)
    if args.operation == "pack":
        for _ in range(args.count):
            parser.pack(value)
    else:
        for _ in range(args.count):
            parser.unpack(wire)
    return 0


if __name__ == "__main__":
    sys.exit(main())
