"""Static typing: the stub describes the built module; the examples and the replay package type-check strictly."""

from pathlib import Path

import pytest

pytest.importorskip("mypy", reason="mypy is not installed")

ROOT = Path(__file__).resolve().parent.parent

# The docstring signature of OrderBook.add names its parameter "order", but the
# keyword it accepts is "incoming_order", which is what the stub says.
ALLOWLIST = "quoranth.OrderBook.add\n"


def test_stub_matches_the_module(tmp_path, mypy):
    allowlist = tmp_path / "allowlist.txt"
    allowlist.write_text(ALLOWLIST)
    mypy("mypy.stubtest", "quoranth", "--allowlist", str(allowlist))


def test_examples_and_replay_package_type_check_strictly(tmp_path, mypy):
    pytest.importorskip("matplotlib", reason="the replay's chart needs matplotlib")
    examples = sorted(str(path) for path in (ROOT / "examples").glob("*.py"))
    package = str(ROOT / "src" / "quoranth_replay")
    mypy("mypy", "--strict", "--cache-dir", str(tmp_path / "cache"), *examples, package)
