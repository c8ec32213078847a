"""Source check: the recursion depth is entered and left only by one RAII
guard, so no code path can return with a level still taken.

The module is one translation unit, tl.cpp, made of the parts it includes:
the check reads every C++ part of the module, so code moved from one part to
another is still checked."""
import re
from pathlib import Path

import pytest

SOURCES = Path(__file__).resolve().parents[1] / "src" / "Velta" / "modules" / "tl"
needs_sources = pytest.mark.skipif(not (SOURCES / "tl.cpp").exists(), reason="needs the source tree")


def read_parts(folder=SOURCES):
    """{file name: text} of every C++ part of the module."""
    return {p.name: p.read_text(encoding="utf-8") for p in sorted([*folder.glob("*.cpp"), *folder.glob("*.h")])}


def pairing_faults(parts):
    """What breaks the rule in ``parts`` ({file name: C++ text}), as messages."""
    code = {name: re.sub(r"//[^\n]*|/\*.*?\*/", "", text, flags=re.S) for name, text in parts.items()}  # no comments
    guards = [(name, m) for name, text in code.items() for m in re.finditer(r"\nclass RecursionGuard\b.*?\n};", text, re.S)]
    if len(guards) != 1:
        return [f"the RecursionGuard class is defined {len(guards)} times, not once"]
    faults = []
    home, guard = guards[0]
    body = guard.group()
    if not body.count("Py_EnterRecursiveCall") == body.count("Py_LeaveRecursiveCall") == 1:
        faults.append(f"{home}: the guard does not take and release exactly one level")
    uses = 0
    for name, text in code.items():
        rest = text[:guard.start()] + text[guard.end():] if name == home else text
        if "RecursiveCall" in rest:
            faults.append(f"{name}: recursion levels taken or released outside the guard")
        for use in re.finditer(r"\bRecursionGuard\b\s*(\w*)\s*[({]", rest):
            uses += 1
            if not use.group(1):  # a temporary guard would release its level at once
                faults.append(f"{name}: unnamed guard: {use.group()!r}")
                continue
            function = rest[use.end():rest.find("\n}\n", use.end())]
            if f"{use.group(1)}.entered()" not in function:
                faults.append(f"{name}: guard unchecked: {use.group()!r}")
    if not uses:
        faults.append("no guard in use")
    return faults


@needs_sources
def test_recursion_levels_are_taken_and_released_only_by_the_guard():
    parts = read_parts()
    assert "tl.cpp" in parts and len(parts) > 1, sorted(parts)
    assert pairing_faults(parts) == []


# --- the check itself catches what it is there for ----------------------------

GUARD = """
class RecursionGuard {
public:
    explicit RecursionGuard(const char* where) : entered_(Py_EnterRecursiveCall(where) == 0) {}
    ~RecursionGuard() {
        if (entered_) Py_LeaveRecursiveCall();
    }
    bool entered() const { return entered_; }
private:
    bool entered_;
};
"""
USE = """
static int read_list(Reader& r) {
    RecursionGuard guard(" while reading");
    if (!guard.entered()) return -1;
    return 0;
}
"""
SYNTHETIC = {  # name: (parts, the fault the check must report)
    "unpaired enter": ({"errors.h": GUARD, "reader.h": USE.replace("return 0;", "Py_EnterRecursiveCall(\"\");\n    return 0;")},
                       "reader.h: recursion levels taken or released outside the guard"),
    "leave outside": ({"errors.h": GUARD, "writer.h": USE.replace("return 0;", "Py_LeaveRecursiveCall();\n    return 0;")},
                      "writer.h: recursion levels taken or released outside the guard"),
    "unnamed guard": ({"errors.h": GUARD, "reader.h": USE.replace('guard(" while reading")', '(" while reading")')},
                      "reader.h: unnamed guard"),
    "unchecked guard": ({"errors.h": GUARD, "reader.h": USE.replace("if (!guard.entered()) return -1;\n", "")},
                        "reader.h: guard unchecked"),
    "guard gone": ({"reader.h": USE}, "the RecursionGuard class is defined 0 times"),
    "guard twice": ({"errors.h": GUARD, "support.h": GUARD, "reader.h": USE}, "defined 2 times"),
    "no use": ({"errors.h": GUARD}, "no guard in use"),
}


@pytest.mark.parametrize("case", SYNTHETIC)
def test_the_check_reports_a_broken_rule_in_any_part(case):
    parts, fault = SYNTHETIC[case]
    assert pairing_faults({"errors.h": GUARD, "reader.h": USE}) == []
    assert any(fault in found for found in pairing_faults(parts)), pairing_faults(parts)


@needs_sources
@pytest.mark.parametrize("part", sorted(read_parts()) if (SOURCES / "tl.cpp").exists() else ["tl.cpp"])
def test_an_unpaired_enter_in_any_real_part_fails_the_check(part, tmp_path):
    # Written out as a copy of the real tree, one part given an extra level.
    for name, text in read_parts().items():
        extra = "\nstatic void stray() { Py_EnterRecursiveCall(\" stray\"); }\n" if name == part else ""
        (tmp_path / name).write_text(text + extra, encoding="utf-8")
    faults = pairing_faults(read_parts(tmp_path))
    assert f"{part}: recursion levels taken or released outside the guard" in faults, faults
