"""The fuzz harness of Velta.tl (``python -m fuzz.fuzz_tl``, see run.sh)."""
