"""The ``velmorrow`` command line, run the way a user runs it: ``python -m velmorrow``."""

from __future__ import annotations

import dataclasses
import io
import json
import os
import subprocess
import sys
from pathlib import Path

import pytest

import velmorrow
import velmorrow_core_py
from velmorrow.cli import main
from velmorrow.config import Settings

TEXT_FILES = {
    "main.py": "def main():\n    return runServer(port_number=8080)\n",
    "pkg/__init__.py": "from .util import parseHttpHeader\n",
    "pkg/util.py": "def parseHttpHeader(raw_bytes):\n    return raw_bytes.split()\n",
    "pkg/deep/nested.py": "class HTTPServer:\n    max_retries = 3\n",
    ".git/config": "[core]\n\tbare = false\n",
    "node_modules/left-pad/index.js": "module.exports = leftPad\n",
    "cache.pyc": "text, so only the ignore pattern keeps it out\n",
}
BINARY_FILES = {
    "image.bin": b"\x89PNG\r\n\x1a\n\x00\x00\x00\rIHDR",
    "legacy.py": "caf\xe9 = 'latin-1'\n".encode("latin-1"),
}
# Sorted path order, as git lists them.
EMBEDDED_BY_DEFAULT = ["main.py", "pkg/__init__.py", "pkg/deep/nested.py", "pkg/util.py"]
SKIP_NOTES = (
    "walked repo without git: not a git work tree\n"
    "skipped repo/image.bin: binary file\nskipped repo/legacy.py: not UTF-8 text\n"
    "skipped repo/zz-gone.py: No such file or directory\n"
)
RECORD_KEYS = ["source", "indices", "values", "truncated", "original_chars", "used_chars"]

CORE_MISSING = "velmorrow: no native core is installed (velmorrow_core_py cannot be imported)\n"
CAPABILITY_MISSING = (
    "velmorrow: Rust core capability 'ignore_builtin_replace' required for builtin_ignore_replace=True"
    " but not found. Available: []. Rebuild the Rust extension: maturin develop --release\n"
)
# Hides the installed core from the import system, then runs the command line.
WITHOUT_CORE = (
    "-c",
    "import sys; sys.modules['velmorrow_core_py'] = None\n"
    "from velmorrow.cli import main; raise SystemExit(main(sys.argv[1:]))",
)
# A core that embeds (emptily) and reports the capabilities named in an environment variable.
FAKE_CORE = """\
import json, os

def handshake():
    return json.dumps({"capabilities": os.environ.get("FAKE_CORE_CAPABILITIES", "").split()})

def sparse_embed_single(text, profile_json):
    return json.dumps({"indices": [], "values": []})

def sparse_embed_batch(texts_json, profile_json):
    return json.dumps({"embeddings": [{"indices": [], "values": []} for _ in json.loads(texts_json)]})
"""


@pytest.fixture
def workdir(tmp_path: Path) -> Path:
    """A directory holding a small repository, ``repo``; commands run from here."""
    for relative, text in TEXT_FILES.items():
        path = tmp_path / "repo" / relative
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_text(text)
    for relative, data in BINARY_FILES.items():
        (tmp_path / "repo" / relative).write_bytes(data)
    # A dangling link: the walk lists it as git does, and reading it fails.
    (tmp_path / "repo" / "zz-gone.py").symlink_to("missing-target.py")
    fake_core = tmp_path / "fake_core"
    fake_core.mkdir()
    (fake_core / "velmorrow_core_py.py").write_text(FAKE_CORE)
    return tmp_path


def run_cli(
    cwd: Path, *args: str, stdin: bytes = b"", launcher: tuple[str, ...] = ("-m", "velmorrow"), **env: str
) -> subprocess.CompletedProcess[str]:
    environ = {key: value for key, value in os.environ.items() if not key.startswith("VELMORROW_")}
    environ.update(env)
    result = subprocess.run(
        [sys.executable, *launcher, *args], cwd=cwd, input=stdin, capture_output=True, env=environ, timeout=60
    )
    return subprocess.CompletedProcess(
        result.args, result.returncode, result.stdout.decode("utf-8"), result.stderr.decode("utf-8")
    )


def records(stdout: str) -> list[dict[str, object]]:
    lines = [json.loads(line) for line in stdout.splitlines()]
    assert all(list(line) == RECORD_KEYS for line in lines)
    return lines


@pytest.fixture
def expected_record(sparse):
    """What the command line should print for a text, under default settings."""
    sparse.settings = Settings(environ={})
    service = sparse.SparseEmbeddingService()

    def expected(source: str, text: str) -> dict[str, object]:
        return {"source": source, **dataclasses.asdict(service.embed_single(text))}

    return expected


class TestEmbed:
    @pytest.mark.parametrize("batch_options", [(), ("--batch-size", "1"), ("--batch-size", "3")])
    def test_directory(self, workdir, expected_record, batch_options):
        result = run_cli(workdir, "embed", *batch_options, "repo")
        assert (result.returncode, result.stderr) == (0, SKIP_NOTES)
        assert records(result.stdout) == [
            expected_record(f"repo/{relative}", TEXT_FILES[relative]) for relative in EMBEDDED_BY_DEFAULT
        ]

    def test_standard_input_one_text_per_line(self, workdir):
        stdin = b"alpha beta\n\nsnake_case_name\r\n\xff\xfe not utf-8\nlast line"
        result = run_cli(workdir, "embed", "-", stdin=stdin, VELMORROW_SPARSE_MAX_TEXT_CHARS="9")
        assert (result.returncode, result.stderr) == (0, "skipped <stdin>:4: not UTF-8 text\n")
        assert [(r["source"], r["original_chars"], r["used_chars"], r["truncated"]) for r in records(result.stdout)] == [
            ("<stdin>:1", 10, 9, True),
            ("<stdin>:2", 0, 0, False),
            ("<stdin>:3", 15, 9, True),
            ("<stdin>:5", 9, 9, False),
        ]

    def test_named_files_bypass_ignore_patterns_but_not_the_text_checks(self, workdir):
        result = run_cli(workdir, "embed", "repo/cache.pyc", "-", "repo/image.bin", stdin=b"fooBar\n")
        assert result.returncode == 0
        assert result.stderr == "skipped repo/image.bin: binary file\n"
        assert [r["source"] for r in records(result.stdout)] == ["repo/cache.pyc", "<stdin>:1"]

    @pytest.mark.parametrize(
        ("env", "embedded"),
        [
            ({"VELMORROW_EXTRA_IGNORE_PATTERNS": "deep/,util.py"}, ["main.py", "pkg/__init__.py"]),
            ({"VELMORROW_EXTRA_IGNORE_PATTERNS": '["/pkg/deep/", "pkg/__init__.py"]'}, ["main.py", "pkg/util.py"]),
            ({"VELMORROW_EXTRA_IGNORE_PATTERNS": '["/deep/", "*.py", "!pkg/*.py", "!legacy.py", "!zz-*"]'}, ["pkg/__init__.py", "pkg/util.py"]),
            (
                {"VELMORROW_BUILTIN_IGNORE_REPLACE": "1", "VELMORROW_EXTRA_IGNORE_PATTERNS": ".git/"},
                ["cache.pyc", "main.py", "node_modules/left-pad/index.js", *EMBEDDED_BY_DEFAULT[1:]],
            ),
        ],
        ids=["extra-names", "extra-relative-paths", "extra-negated", "replace-builtin"],
    )
    def test_ignore_settings_from_the_environment(self, workdir, env, embedded):
        result = run_cli(workdir, "embed", "repo", **env)
        assert (result.returncode, result.stderr) == (0, SKIP_NOTES)
        assert [r["source"] for r in records(result.stdout)] == [f"repo/{relative}" for relative in embedded]

    def test_progress_on_a_terminal_counts_files_and_bytes(self, workdir, sparse, scanrules, monkeypatch, capsys):
        # Off a terminal there is no progress at all: the other tests see the notes alone.
        sparse.settings = scanrules.settings = Settings(environ={})
        terminal = io.StringIO()
        terminal.isatty = lambda: True
        monkeypatch.setattr(sys, "stderr", terminal)
        assert main(["embed", "--batch-size", "2", str(workdir / "repo")]) == 0
        assert len(capsys.readouterr().out.splitlines()) == len(EMBEDDED_BY_DEFAULT)
        shown = terminal.getvalue()
        # Each note is a line of its own, never mixed into the bar.
        lines = shown.replace("\r", "\n").splitlines()
        assert all(note in lines for note in SKIP_NOTES.replace("repo", f"{workdir}/repo").splitlines())
        total = sum(len(TEXT_FILES[relative]) for relative in EMBEDDED_BY_DEFAULT) + sum(map(len, BINARY_FILES.values()))
        final = shown.rstrip("\n").rsplit("\r", 1)[-1]
        assert "100%" in final and f"{total}/{total}" in final and "7/7 files" in final and "B/s" in final


class TestScanConfig:
    @pytest.mark.parametrize(
        "env",
        [{}, {"VELMORROW_IGNORE_MODE": "velmorrow", "VELMORROW_EXTRA_IGNORE_PATTERNS": '["*.log", "tmp/"]'}],
        ids=["defaults", "from-environment"],
    )
    def test_prints_the_configuration_for_the_absolute_path(self, workdir, scanrules, env):
        scanrules.settings = Settings(environ=env)
        expected = scanrules.build_scan_config(str(workdir / "repo"))
        result = run_cli(workdir, "scan-config", "repo", **env)
        assert (result.returncode, result.stderr) == (0, "")
        assert result.stdout == json.dumps(expected, indent=2) + "\n"


class TestCapabilities:
    def test_lists_the_installed_core_capabilities_sorted(self, workdir):
        reported = json.loads(velmorrow_core_py.handshake())["capabilities"]
        result = run_cli(workdir, "capabilities")
        assert (result.returncode, result.stderr) == (0, "")
        assert result.stdout == "".join(f"{name}\n" for name in sorted(reported))

    def test_another_core(self, workdir):
        result = run_cli(workdir, "capabilities", PYTHONPATH="fake_core", FAKE_CORE_CAPABILITIES="zeta alpha")
        assert (result.returncode, result.stdout, result.stderr) == (0, "alpha\nzeta\n", "")


ERRORS = {
    "missing-path": (("embed", "repo/main.py", "repo/missing.py"), {}, (), "velmorrow: repo/missing.py: no such file or directory\n"),
    "scan-config-missing": (("scan-config", "repo/missing"), {}, (), "velmorrow: repo/missing: not a directory\n"),
    "scan-config-file": (("scan-config", "repo/main.py"), {}, (), "velmorrow: repo/main.py: not a directory\n"),
    "bad-setting-embed": (
        ("embed", "repo"),
        {"VELMORROW_CODE_PRETOKENIZE": "maybe"},
        (),
        "velmorrow: VELMORROW_CODE_PRETOKENIZE='maybe' is not a valid value:"
        " expected one of 1/0, true/false, yes/no, on/off\n",
    ),
    "bad-setting-scan-config": (
        ("scan-config", "repo"),
        {"VELMORROW_SPARSE_MAX_TEXT_CHARS": "-1"},
        (),
        "velmorrow: VELMORROW_SPARSE_MAX_TEXT_CHARS='-1' is not a valid value: expected a non-negative integer\n",
    ),
    "capability-embed": (
        ("embed", "repo"),
        {"VELMORROW_BUILTIN_IGNORE_REPLACE": "1", "PYTHONPATH": "fake_core"},
        (),
        CAPABILITY_MISSING,
    ),
    "capability-scan-config": (
        ("scan-config", "repo"),
        {"VELMORROW_BUILTIN_IGNORE_REPLACE": "yes", "PYTHONPATH": "fake_core"},
        (),
        CAPABILITY_MISSING,
    ),
    "unknown-ignore-mode": (
        ("embed", "repo/main.py", "repo"),
        {"VELMORROW_IGNORE_MODE": "Git+velmorrow"},
        (),
        "velmorrow: ignore_mode='Git+velmorrow' is not a known mode: expected 'git+velmorrow' or 'velmorrow'\n",
    ),
    "output-is-a-directory": (("embed", "-o", "repo", "repo"), {}, (), "velmorrow: repo: is a directory\n"),
    "no-core-embed": (("embed", "-"), {}, WITHOUT_CORE, CORE_MISSING),
    "no-core-capabilities": (("capabilities",), {}, WITHOUT_CORE, CORE_MISSING),
}


@pytest.mark.parametrize(("args", "env", "launcher", "message"), ERRORS.values(), ids=ERRORS.keys())
def test_user_errors_are_one_line(workdir, args, env, launcher, message):
    result = run_cli(workdir, *args, launcher=launcher or ("-m", "velmorrow"), **env)
    assert (result.returncode, result.stdout, result.stderr) == (1, "", message)


@pytest.mark.parametrize(
    "args",
    [
        (),
        ("embed",),
        ("embed", "--batch-size", "0", "repo"),
        ("embed", "--batch-size", "many", "repo"),
        ("embed", "--jobs", "0", "repo"),
        ("embed", "--output", "repo"),
        ("frobnicate",),
    ],
)
def test_usage_errors_exit_with_status_2(workdir, args):
    result = run_cli(workdir, *args)
    assert (result.returncode, result.stdout) == (2, "")
    assert result.stderr.startswith("usage: velmorrow")
    assert "Traceback" not in result.stderr


@pytest.mark.parametrize(
    ("command", "phrases"),
    [
        ((), ["embed", "scan-config", "capabilities", "--version"]),
        (("embed",), ["JSON Lines", "--batch-size", "--jobs", "--output", ".gitignore", "standard input"]),
        (("scan-config",), ["scan configuration", "PATH"]),
        (("capabilities",), ["one per line"]),
    ],
)
def test_help(workdir, command, phrases):
    result = run_cli(workdir, *command, "--help")
    assert (result.returncode, result.stderr) == (0, "")
    assert result.stdout.startswith(f"usage: velmorrow {' '.join(command)}".rstrip())
    assert all(phrase in result.stdout for phrase in phrases)


def test_version(workdir):
    result = run_cli(workdir, "--version")
    assert (result.returncode, result.stdout) == (0, f"velmorrow {velmorrow.__version__}\n")
