"""The type stubs of Velta.tl agree with the built extension."""
import subprocess
import sys

import pytest

pytest.importorskip("mypy")

# Aliases that exist only for type checkers, and doctest's module global.
STUB_ONLY = ["Velta.tl.TLValue", "Velta.tl.TLObject", "Velta.tl.__test__"]


def test_stubtest_finds_no_mismatch(tmp_path):
    (tmp_path / "allow.txt").write_text("\n".join(STUB_ONLY) + "\n")
    result = subprocess.run([sys.executable, "-m", "mypy.stubtest", "Velta.tl", "--allowlist", "allow.txt"],
                            cwd=tmp_path, capture_output=True, text=True)
    assert result.returncode == 0, result.stdout + result.stderr

