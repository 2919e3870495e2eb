"""The shipped stubs agree with the installed extension modules and serve a strict client."""

from __future__ import annotations

import importlib.resources
import re
import subprocess
import sys
from pathlib import Path

import pytest

REPO_ROOT = Path(__file__).resolve().parents[2]
CLIENT = Path(__file__).resolve().parent / "typing" / "client.py"
MODULES = ("velmorrow.sparse", "velmorrow.featuregate", "velmorrow.scanrules")


def run_mypy_tool(*args: str) -> subprocess.CompletedProcess[str]:
    # Run from the repository root so that repeated runs share mypy's cache.
    return subprocess.run(
        [sys.executable, "-m", *args], cwd=REPO_ROOT, capture_output=True, text=True, timeout=300
    )


@pytest.mark.parametrize("name", ["py.typed", "sparse.pyi", "featuregate.pyi", "scanrules.pyi"])
def test_installed_package_ships_typing_files(name: str) -> None:
    assert (importlib.resources.files("velmorrow") / name).is_file()


def test_stubs_match_the_installed_modules() -> None:
    result = run_mypy_tool("mypy.stubtest", *MODULES)
    assert result.returncode == 0, result.stdout + result.stderr


def test_typed_client_passes_strict_mode() -> None:
    result = run_mypy_tool("mypy", "--strict", str(CLIENT.relative_to(REPO_ROOT)))
    assert result.returncode == 0, result.stdout + result.stderr


MISUSE = """\
from velmorrow.featuregate import require_capability
from velmorrow.scanrules import build_scan_config
from velmorrow.sparse import SparseResult, get_sparse_service

service = get_sparse_service()
service.embed_single(1)  # E: arg-type
service.embed_batch(("a", "b"))  # E: arg-type
service.embed_batch_list(["a"], batch_size="4")  # E: arg-type
service.profile_version = "v2"  # E: misc
service.embed_all(["a"])  # E: attr-defined
require_capability("ignore_builtin_replace")  # E: call-arg
build_scan_config(root=".")  # E: call-arg
SparseResult([1])  # E: call-arg
truncated: int = SparseResult([1], [1.0]).truncated  # E: assignment
"""


def test_misuse_is_rejected_where_expected(tmp_path: Path) -> None:
    misuse = tmp_path / "misuse.py"
    misuse.write_text(MISUSE)
    result = run_mypy_tool("mypy", "--strict", "--no-error-summary", str(misuse))
    reported = {
        (int(line), code)
        for line, code in re.findall(r"^.*?misuse\.py:(\d+): error: .*\[([\w-]+)\]$", result.stdout, re.M)
    }
    expected = {
        (number, code)
        for number, text in enumerate(MISUSE.splitlines(), start=1)
        for code in re.findall(r"# E: ([\w-]+)", text)
    }
    assert reported == expected, result.stdout
