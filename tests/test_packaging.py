"""What the installed distribution ships besides the code."""
import importlib.metadata
import os
import shutil
import subprocess
import sys
import sysconfig

import Velta

DIST = importlib.metadata.distribution("Velta")


def test_metadata_matches_the_package():
    assert DIST.version == Velta.__version__
    # The license is a PEP 639 expression, which allows no License classifier beside it.
    assert DIST.metadata["License-Expression"] == "MIT"
    assert "Typing :: Typed" in set(DIST.metadata.get_all("Classifier"))
    assert any(f.name == "LICENSE" for f in DIST.files or [])
    assert any(f.name == "py.typed" for f in DIST.files or [])


def test_velta_command_is_installed():
    (entry,) = [e for e in DIST.entry_points if e.group == "console_scripts" and e.name == "velta"]
    assert entry.value == "Velta.cli:main"
    # where pip puts scripts for this interpreter (a venv's bin, or the user scheme), else on PATH
    places = [os.path.dirname(sys.executable), sysconfig.get_path("scripts"),
              sysconfig.get_path("scripts", f"{os.name}_user")]
    script = shutil.which("velta", path=os.pathsep.join(places)) or shutil.which("velta")
    assert script is not None
    result = subprocess.run([script, "schema", "--schema", "/nonexistent.json"], capture_output=True)
    assert result.returncode == 1 and result.stderr.startswith(b"velta: error: cannot read schema")
