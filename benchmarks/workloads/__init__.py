"""Deterministic inputs for the Velta.tl benchmarks and the fuzzer.

Everything is generated from a seeded ``random.Random``, so two runs (or two
machines) see byte-for-byte the same schemas and values.

* ``workloads.synthetic``: ``generate_schema()``, a large synthetic schema
  for compile-time measurements (and one of the fuzzer's schemas);
* ``workloads.chat``: ``CHAT_SCHEMA``, a small hand-written chat schema, and
  seeded values for it in the shape ``unpack`` returns;
* ``workloads.api``: values of real shape from the public schema
  ``../shared/schemas/api.tl``, skipped with a reason where it is absent;
* ``workloads.validation``: ``validate()``, a value checked against a schema.

The chat and public-schema values are also the tests' inputs, so their code
lives in ``tests/`` (``chat_values.py``, ``api_values.py``), which the source
distribution ships; ``chat`` and ``api`` here are their names for the
benchmarks. The benchmarks use ``tests/tl_reference.py`` too.

``python benchmarks/check_workloads.py`` validates and round-trips them all.
"""

from __future__ import annotations

import json
import os
import sys

__all__ = ["TESTS", "schema_json"]

#: The tests' directory, where the shared value makers live.
TESTS = os.path.join(os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__)))), "tests")
if TESTS not in sys.path:
    sys.path.append(TESTS)


def schema_json(schema: dict) -> str:
    """Serialise a schema dict the way schema files are usually shipped."""
    return json.dumps(schema, separators=(",", ":"), ensure_ascii=False)
