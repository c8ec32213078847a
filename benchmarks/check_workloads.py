"""Validates every workload and round-trips it through every codec found.

    python benchmarks/check_workloads.py

The chat workloads go through Velta.tl and the pure-Python reference (their
bytes must agree); the public-schema workloads through Velta.tl in both modes
(skipped, saying why, when ../shared/schemas/api.tl is absent). Exits 1 on any
failure.
"""

from __future__ import annotations

from workloads import api, schema_json
from workloads.chat import CHAT_SCHEMA, WORKLOADS, vector_of
from workloads.synthetic import generate_schema
from workloads.validation import validate


def check_chat() -> int:
    """Validate every chat workload; round-trip it through every codec found."""
    codecs = {}
    try:
        from Velta import tl
        codecs["Velta.tl"] = tl.TLParser(schema_json(CHAT_SCHEMA))
    except Exception as exc:  # the extension may not be built yet
        print(f"Velta.tl: not available ({type(exc).__name__}: {exc})")
    try:
        import tl_reference
        codecs["reference"] = tl_reference.TLParser(schema_json(CHAT_SCHEMA))
    except Exception as exc:
        print(f"reference: not available ({type(exc).__name__}: {exc})")

    values = {name: build() for name, build in WORKLOADS.items()}
    values.update({f"vector_of({n})": vector_of(n) for n in (0, 1, 1000)})
    failures = 0
    for name, value in values.items():
        validate(value)
        encoded = {}
        for cname, parser in codecs.items():
            try:
                data = parser.pack(value)
                back = parser.unpack(data)
            except Exception as exc:
                print(f"FAIL {name} via {cname}: {type(exc).__name__}: {exc}")
                failures += 1
                continue
            encoded[cname] = data
            if back != value:
                print(f"FAIL {name} via {cname}: round trip differs")
                failures += 1
        if len(set(encoded.values())) > 1:
            print(f"FAIL {name}: codecs disagree on the encoding ({ {k: len(v) for k, v in encoded.items()} })")
            failures += 1
        sizes = ", ".join(f"{k} {len(v)} B" for k, v in encoded.items()) or "no codec"
        print(f"ok   {name}: valid ({sizes})")
    schema = generate_schema()
    text = schema_json(schema)
    print(f"generated schema: {len(schema['constructors'])} constructors, {len(schema['methods'])} methods, "
          f"{len(text)} bytes of JSON")
    return failures


def check_api() -> int:
    """Round-trip the public-schema workloads through Velta.tl in both modes."""
    if not api.available():
        print(f"skipped: {api.missing_reason()}")
        return 0
    from Velta.tl import TLParser
    schema = api.api_schema()
    print(f"public schema: {len(schema['constructors'])} constructors, {len(schema['methods'])} methods, "
          f"{len(api.api_schema_json()):,} bytes of JSON")
    failures = 0
    for standard in (False, True):
        parser = TLParser(schema, standard=standard)
        for name, value in (("history_page", api.history_page(standard=standard)),
                            ("small_user", api.small_user(standard=standard)),
                            ("users_page(1000)", api.users_page(1000, standard=standard))):
            data = parser.pack(value)
            ok = parser.unpack(data) == value
            failures += not ok
            print(f"{'standard' if standard else 'default ':8} {name:18} {len(data):>8,} B of TL  "
                  f"{'round trip ok' if ok else 'ROUND TRIP DIFFERS'}")
    return failures


if __name__ == "__main__":
    raise SystemExit(1 if check_chat() + check_api() else 0)
