"""What a user costs at 100 and at 100,000 users, in time and in page faults.

    python benchmarks/growth_cost.py

The growth table of bench_codec.py compares each codec with itself (time per
object at n over time per object at n = 10), which makes a codec that starts
from less look as if it grew more. This prints the absolute figures behind
it for ours and marshal, pack and unpack of `contacts.contacts` pages of the
public schema, with the garbage collector off: nanoseconds per user and the
minor page faults and system time per user that the calls took (getrusage).
At 100,000 users the values and the freed objects' memory go back to the
system between calls and are faulted in again; both codecs pay that alike.
"""

from __future__ import annotations

import gc
import marshal
import os
import resource
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from workloads import api  # noqa: E402
from Velta import tl  # noqa: E402

SIZES = (100, 100_000)
CALLS_PER_SIZE = 300_000  # users handled per measurement, at least 5 calls


def measure(fn, users: int) -> tuple[float, float, float]:
    fn()
    calls = max(5, CALLS_PER_SIZE // users)
    before, start = resource.getrusage(resource.RUSAGE_SELF), time.perf_counter()
    for _ in range(calls):
        fn()
    elapsed, after = time.perf_counter() - start, resource.getrusage(resource.RUSAGE_SELF)
    per = users * calls
    return 1e9 * elapsed / per, (after.ru_minflt - before.ru_minflt) / per, 1e9 * (after.ru_stime - before.ru_stime) / per


def main() -> int:
    if not api.available():
        print(api.missing_reason(), file=sys.stderr)
        return 1
    parser = tl.TLParser(api.api_schema_json())
    gc.disable()
    print(f"{'':15s} {'users':>7s} {'ns/user':>9s} {'faults/user':>12s} {'sys ns/user':>12s}")
    for operation in ("pack", "unpack"):
        for users in SIZES:
            value = api.users_page(users)
            wire, dumped = parser.pack(value), marshal.dumps(value)
            codecs = {"ours": (lambda: parser.pack(value)) if operation == "pack" else (lambda: parser.unpack(wire)),
                      "marshal": (lambda: marshal.dumps(value)) if operation == "pack" else (lambda: marshal.loads(dumped))}
            for name, fn in codecs.items():
                ns, faults, system = measure(fn, users)
                print(f"{operation + ' ' + name:15s} {users:>7,} {ns:9.0f} {faults:12.3f} {system:12.0f}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
