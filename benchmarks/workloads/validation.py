"""Checks that a value conforms to a schema in the shape unpack returns."""

from __future__ import annotations

from .chat import CHAT_SCHEMA, INT32_MAX, INT64_MAX
from .chat import split_type as _split_type

__all__ = ["validate"]


def validate(value: dict, schema: dict = CHAT_SCHEMA) -> None:
    """Check that ``value`` conforms to ``schema`` in canonical form.

    Raises ValueError naming the path of the first offending field. Checks
    constructor names, that nested objects belong to the declared type, the
    ranges of ``int`` (0..2**31-1) and ``long`` (0..2**63-1), and the
    canonical shape (every non-flags field present, flags words absent).
    """
    entries = {e.get("predicate", e.get("method")): e for e in schema["constructors"] + schema["methods"]}

    def check_scalar(path: str, base: str, v) -> None:
        if base in ("int", "#"):
            if type(v) is not int or not 0 <= v <= INT32_MAX:
                raise ValueError(f"{path}: int out of range or wrong type: {v!r}")
        elif base == "long":
            if type(v) is not int or not 0 <= v <= INT64_MAX:
                raise ValueError(f"{path}: long out of range or wrong type: {v!r}")
        elif base == "double":
            if type(v) is not float:
                raise ValueError(f"{path}: expected float, got {type(v).__name__}")
        elif base == "string":
            if type(v) is not str:
                raise ValueError(f"{path}: expected str, got {type(v).__name__}")
            v.encode("utf-8")
            if len(v.encode("utf-8")) > 0xFFFFFF:
                raise ValueError(f"{path}: string too long")
        elif base in ("bytes", "byte"):
            if type(v) is not bytes:
                raise ValueError(f"{path}: expected bytes, got {type(v).__name__}")
            if len(v) > 0xFFFFFF:
                raise ValueError(f"{path}: bytes too long")
        elif base in ("Bool", "true"):
            if type(v) is not bool:
                raise ValueError(f"{path}: expected bool, got {type(v).__name__}")
        elif base.startswith("Vector<") and base.endswith(">"):
            if type(v) is not list:
                raise ValueError(f"{path}: expected list, got {type(v).__name__}")
            inner = base[len("Vector<"):-1]
            for i, item in enumerate(v):
                check_scalar(f"{path}[{i}]", inner, item)
        else:
            check_object(path, v, expected_type=base)

    def check_object(path: str, v, expected_type: str | None = None) -> None:
        if type(v) is not dict:
            raise ValueError(f"{path}: expected dict, got {type(v).__name__}")
        name = v.get("_")
        if name not in entries:
            raise ValueError(f"{path}: unknown constructor {name!r}")
        entry = entries[name]
        if expected_type is not None and entry["type"] != expected_type:
            raise ValueError(f"{path}: {name} is a {entry['type']}, expected {expected_type}")
        names = {"_"}
        for param in entry["params"]:
            pname = param["name"]
            if pname in ("flags", "flags2"):
                if pname in v:
                    raise ValueError(f"{path}.{pname}: flags words are computed, not given")
                continue
            names.add(pname)
            if pname not in v:
                raise ValueError(f"{path}.{pname}: missing")
            cond, base = _split_type(param["type"])
            fv = v[pname]
            if cond is not None and fv is None:
                if base in ("true", "Bool"):
                    raise ValueError(f"{path}.{pname}: conditional flag must be True/False")
                continue
            check_scalar(f"{path}.{pname}", base, fv)
        extra = set(v) - names
        if extra:
            raise ValueError(f"{path}: unknown keys {sorted(extra)}")
        # Fields that share one flag bit must be all present or all absent:
        # the bit is set as soon as one of them is, and the reader then
        # expects bytes for every one of them.
        groups: dict[str, list[tuple[str, bool]]] = {}
        for param in entry["params"]:
            cond, base = _split_type(param["type"])
            if cond is not None and "." in cond:
                groups.setdefault(cond, []).append((param["name"], base in ("true", "Bool")))
        for cond, members in groups.items():
            states = [v[n] is True if is_flag else v[n] is not None for n, is_flag in members]
            if any(states) and not all(states):
                raise ValueError(f"{path}: fields on {cond} must be all present or all absent: "
                                 f"{[n for n, _ in members]}")

    check_object("$", value)
