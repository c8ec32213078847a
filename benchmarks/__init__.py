"""The benchmarks of Velta.tl (scripts) and their inputs (``workloads``)."""
