"""Source check: the recursion depth is entered and left only by one RAII
guard, so no code path can return with a level still taken."""
import re
from pathlib import Path

import pytest

SOURCE_DIR = Path(__file__).resolve().parents[1] / "src" / "Velta" / "modules" / "tl"
SOURCE = SOURCE_DIR / "tl.cpp"


def read_all_parts():
    return "\n".join(p.read_text() for p in sorted(SOURCE_DIR.glob("*.[ch]*")))


@pytest.mark.skipif(not SOURCE.exists(), reason="needs the source tree")
def test_recursion_levels_are_taken_and_released_only_by_the_guard():
    code = re.sub(r"//[^\n]*|/\*.*?\*/", "", read_all_parts(), flags=re.S)  # no comments
    guard = re.search(r"\nclass RecursionGuard\b.*?\n};", code, re.S)
    assert guard, "the RecursionGuard class is gone"
    body, rest = guard.group(), code[:guard.start()] + code[guard.end():]
    assert body.count("Py_EnterRecursiveCall") == body.count("Py_LeaveRecursiveCall") == 1
    assert "RecursiveCall" not in rest, "recursion levels taken or released outside the guard"
    uses = list(re.finditer(r"\bRecursionGuard\b\s*(\w*)\s*[({]", rest))
    assert uses, "no guard in use"
    for use in uses:  # a temporary guard would release its level at once
        assert use.group(1), f"unnamed guard: {use.group()!r}"
        function = rest[use.end():rest.find("\n}\n", use.end())]
        assert f"{use.group(1)}.entered()" in function, f"guard unchecked: {use.group()!r}"
