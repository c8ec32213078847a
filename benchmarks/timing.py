"""Small timing helpers shared by the benchmark scripts.

Every number the scripts print is the median of several ``timeit`` repeats,
each repeat running the callable enough times to last at least ``min_time``
seconds. ``timeit`` switches the garbage collector off while it runs, for
every callable alike, so allocation-heavy decoders are not charged for
collections that happen to fall inside their window.
"""

from __future__ import annotations

import math
import statistics
import timeit
from dataclasses import dataclass


@dataclass
class Settings:
    repeat: int
    min_time: float

    @classmethod
    def from_args(cls, quick: bool, repeat: int | None = None) -> "Settings":
        if quick:
            return cls(repeat=repeat or 3, min_time=0.01)
        return cls(repeat=repeat or 7, min_time=0.1)


def measure(fn, settings: Settings) -> float:
    """Median seconds per call of ``fn()``."""
    timer = timeit.Timer(fn)
    # One call warms caches and buffers and tells how many calls fill
    # ``min_time``; a second estimate on that count refines it for fast calls.
    t = timer.timeit(1)
    number = 1
    if t < settings.min_time:
        number = min(1 << 24, max(1, math.ceil(settings.min_time / max(t, 1e-9) / 4)))
        t = timer.timeit(number)
        number = min(1 << 24, max(1, math.ceil(number * settings.min_time / max(t, 1e-9))))
    runs = timer.repeat(repeat=settings.repeat, number=number)
    return statistics.median(runs) / number


def fmt_time(seconds: float | None) -> str:
    """A per-call time with a unit that keeps 3 or 4 significant digits."""
    if seconds is None:
        return "n/a"
    if seconds < 1e-6:
        return f"{seconds * 1e9:.1f} ns"
    if seconds < 1e-3:
        return f"{seconds * 1e6:.2f} µs" if seconds < 1e-4 else f"{seconds * 1e6:.1f} µs"
    if seconds < 1:
        return f"{seconds * 1e3:.2f} ms" if seconds < 1e-1 else f"{seconds * 1e3:.1f} ms"
    return f"{seconds:.2f} s"


def fmt_ratio(value: float | None, base: float | None) -> str:
    """``value / base`` as ``"3.21x"``; n/a when either is missing."""
    if value is None or base is None or base <= 0:
        return "n/a"
    r = value / base
    return f"{r:.2f}x" if r < 100 else f"{r:.0f}x"
