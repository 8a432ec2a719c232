"""Static typing: the stub describes the built module; the examples and the replay package type-check strictly."""

import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

pytest.importorskip("mypy", reason="mypy is not installed")

ROOT = Path(__file__).resolve().parent.parent

# The docstring signature of OrderBook.add names its parameter "order", but the
# keyword it accepts is "incoming_order", which is what the stub says.
ALLOWLIST = "quoranth.OrderBook.add\n"


def mypy(tool, *args, tmp_path):
    """Run a mypy tool against the repository's stub (not an installed copy) in a scratch directory."""
    stubs = tmp_path / "stubs"
    stubs.mkdir(exist_ok=True)
    shutil.copy(ROOT / "quoranth.pyi", stubs)
    env = {**os.environ, "MYPYPATH": str(stubs)}
    run = subprocess.run(
        [sys.executable, "-m", tool, *args], cwd=tmp_path, env=env, capture_output=True, text=True, timeout=600
    )
    assert run.returncode == 0, run.stdout + run.stderr


def test_stub_matches_the_module(tmp_path):
    allowlist = tmp_path / "allowlist.txt"
    allowlist.write_text(ALLOWLIST)
    mypy("mypy.stubtest", "quoranth", "--allowlist", str(allowlist), tmp_path=tmp_path)


def test_examples_and_replay_package_type_check_strictly(tmp_path):
    pytest.importorskip("matplotlib", reason="the replay's chart needs matplotlib")
    examples = sorted(str(path) for path in (ROOT / "examples").glob("*.py"))
    package = str(ROOT / "src" / "quoranth_replay")
    mypy("mypy", "--strict", "--cache-dir", str(tmp_path / "cache"), *examples, package, tmp_path=tmp_path)
