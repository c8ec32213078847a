"""Small timing helpers shared by the benchmark scripts.

Every number the scripts print is the median of several ``timeit`` repeats,
each repeat running the callable enough times to last at least ``min_time``
seconds. ``timeit`` switches the garbage collector off while it runs, for
every callable alike, so allocation-heavy decoders are not charged for
collections that happen to fall inside their window.
"""

from __future__ import annotations

import argparse
import math
import statistics
import timeit
from dataclasses import dataclass


def argument_parser(description: str) -> argparse.ArgumentParser:
    """The command-line options both benchmarks share."""
    ap = argparse.ArgumentParser(description=description)
    ap.add_argument("--quick", action="store_true", help="few repeats, short runs (a few seconds in all)")
    ap.add_argument("--repeat", type=int, default=None, help="timeit repeats per measurement (median is shown)")
    ap.add_argument("--impl", choices=("c", "reference"), default="c",
                    help="what to measure as ours: the C extension (default) or the pure-Python reference")
    return ap


@dataclass
class Settings:
    repeat: int
    min_time: float

    @classmethod
    def from_args(cls, quick: bool, repeat: int | None = None) -> "Settings":
        if quick:
            return cls(repeat=repeat or 3, min_time=0.01)
        return cls(repeat=repeat or 11, min_time=0.05)


def _calibrate(timer: timeit.Timer, min_time: float) -> int:
    """How many calls make one repeat last at least ``min_time``."""
    # The first call also warms caches and the codecs' reusable buffers; a
    # second estimate on a larger count refines the figure for fast calls.
    t = timer.timeit(1)
    if t >= min_time:
        return 1
    number = min(1 << 24, max(1, math.ceil(min_time / max(t, 1e-9) / 4)))
    t = timer.timeit(number)
    return min(1 << 24, max(1, math.ceil(number * min_time / max(t, 1e-9))))


class Group(dict):
    """Median seconds per call by name, plus the per-repeat samples."""

    def __init__(self, samples: dict):
        super().__init__({name: statistics.median(values) for name, values in samples.items()})
        self.samples = samples

    def ratio(self, name, base) -> float | None:
        """Median over repeats of ``time(name) / time(base)``.

        Both were measured side by side in every repeat, so this pairs
        samples taken under the same machine load; it is steadier than the
        ratio of the two medians when the machine is busy.
        """
        if name not in self.samples or base not in self.samples:
            return None
        return statistics.median(a / b for a, b in zip(self.samples[name], self.samples[base]))


def measure_group(fns: dict, settings: Settings) -> Group:
    """Median seconds per call of each callable in ``fns`` (name -> fn).

    The callables are measured interleaved: every repeat runs each of them
    once in turn (in alternating order), so a burst of load from elsewhere on
    the machine hits all of them alike and the ratios between them stay
    meaningful even when the absolute times wander.
    """
    timers = {name: timeit.Timer(fn) for name, fn in fns.items()}
    numbers = {name: _calibrate(timer, settings.min_time) for name, timer in timers.items()}
    samples: dict = {name: [] for name in fns}
    order = list(fns)
    for r in range(settings.repeat):
        for name in order if r % 2 == 0 else reversed(order):
            samples[name].append(timers[name].timeit(numbers[name]) / numbers[name])
    return Group(samples)


def measure(fn, settings: Settings) -> float:
    """Median seconds per call of ``fn()``."""
    return measure_group({"fn": fn}, settings)["fn"]


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


def fmt_ratio(value: float | None, base: float | None = 1.0) -> str:
    """``value / base`` as ``"3.21x"``; n/a when either is missing."""
    if value is None or base is None or base <= 0:
        return "n/a"
    r = value / base
    return f"{r:.2f}x" if r < 100 else f"{r:.0f}x"
