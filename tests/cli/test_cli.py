"""The ``velmorrow`` command line, run the way a user runs it: ``python -m velmorrow``."""

from __future__ import annotations

import contextlib
import dataclasses
import io
import json
import os
import signal
import subprocess
import sys
import threading
import tracemalloc
from pathlib import Path

import pytest
from hypothesis import given
from hypothesis import strategies as st

import velmorrow
import velmorrow_core_py
from velmorrow import cli
from velmorrow.cli import main
from velmorrow.config import Settings
from velmorrow.sparse import SparseResult

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


def _interruptible() -> None:
    # A shell's background job ignores SIGINT, and so would the command; it is run as from a terminal.
    signal.signal(signal.SIGINT, signal.SIG_DFL)


def run_cli(
    cwd: Path, *args: str, stdin: bytes = b"", launcher: tuple[str, ...] = ("-m", "velmorrow"), **env: str
) -> subprocess.CompletedProcess[str]:
    environ = {key: value for key, value in os.environ.items() if not key.startswith("VELMORROW_")}
    environ.update(env)
    result = subprocess.run(
        [sys.executable, *launcher, *args], cwd=cwd, input=stdin, capture_output=True, env=environ, timeout=60,
        preexec_fn=_interruptible,
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
        # A named file that is skipped fails the run, once the others are done.
        result = run_cli(workdir, "embed", "repo/image.bin", "repo/cache.pyc", "-", stdin=b"fooBar\n")
        assert result.returncode == 1
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

    def test_progress_on_a_terminal_moves_as_inputs_are_read(self, workdir, sparse, scanrules, monkeypatch, capsys):
        # Off a terminal there is no progress at all: the other tests see the notes alone.
        sparse.settings = scanrules.settings = Settings(environ={})
        terminal = io.StringIO()
        terminal.isatty = lambda: True
        monkeypatch.setattr(sys, "stderr", terminal)
        stdin = b"".join(b"%d %s\n" % (n, b"parseHttpHeader " * 60) for n in range(3))
        monkeypatch.setattr(sys, "stdin", io.TextIOWrapper(io.BytesIO(stdin)))
        events: list[str] = []
        advance, embed = cli.Progress.advance, cli.Embedder.__call__
        monkeypatch.setattr(cli.Progress, "advance", lambda self, item: events.append("read") or advance(self, item))
        monkeypatch.setattr(cli.Embedder, "__call__", lambda self, batch: events.append("embed") or embed(self, batch))
        assert main(["embed", str(workdir / "repo"), "-"]) == 0
        assert len(capsys.readouterr().out.splitlines()) == len(EMBEDDED_BY_DEFAULT) + 3
        # One batch, and the bar moved with every file and line before it was embedded.
        assert events == ["read"] * 10 + ["embed"]
        shown = terminal.getvalue()
        # Each note is a line of its own, never mixed into the bar.
        lines = shown.replace("\r", "\n").splitlines()
        assert all(note in lines for note in SKIP_NOTES.replace("repo", f"{workdir}/repo").splitlines())
        total = sum(len(TEXT_FILES[relative]) for relative in EMBEDDED_BY_DEFAULT) + sum(map(len, BINARY_FILES.values()))
        total += len(stdin)
        assert 1000 < total < 9995
        final = shown.rstrip("\n").rsplit("\r", 1)[-1]
        # Lines count as lines; bytes and rate in decimal units, with no total to wait for.
        assert final.startswith(f"{total / 1000:.2f}kB [") and "B/s, 7 files, 3 lines]" in final


class TestSkippedInputs:
    def test_quiet_keeps_only_the_count(self, workdir):
        result = run_cli(workdir, "embed", "--quiet", "repo", "-", stdin=b"ok\n\xff\n")
        assert (result.returncode, result.stderr) == (0, "4 inputs skipped\n")
        assert len(records(result.stdout)) == len(EMBEDDED_BY_DEFAULT) + 1

    def test_files_above_the_size_limit_are_never_read(self, workdir):
        (workdir / "repo" / "huge.log").write_text("x" * 2049)
        (workdir / "repo" / "fits.log").write_text("y" * 2048)
        stdin = b"short\n" + b"z" * 3000 + b"\nlast\n"
        result = run_cli(workdir, "embed", "--max-file-size", "2K", "repo/huge.log", "repo", "-", stdin=stdin)
        too_large = ": larger than 2048 bytes (--max-file-size)\n"
        assert result.returncode == 1  # huge.log was named
        assert result.stderr == f"skipped repo/huge.log{too_large}{SKIP_NOTES.replace('repo/image', f'repo/huge.log{too_large}skipped repo/image')}skipped <stdin>:2{too_large}"
        sources = [r["source"] for r in records(result.stdout)]
        assert sources == ["repo/fits.log", *(f"repo/{path}" for path in EMBEDDED_BY_DEFAULT), "<stdin>:1", "<stdin>:3"]

    @pytest.mark.parametrize("size", [3 * 2**20, 20 * 2**20])
    def test_a_file_costs_at_most_twice_its_size_while_read(self, tmp_path, size):
        path = tmp_path / "big.txt"
        path.write_bytes(b"abcdefghijklmnopqrstuvwxyz0123456789\n" * (size // 37))
        notes: list[str] = []
        reader = cli.Reader(notes.append)
        tracemalloc.start()
        try:
            item = reader.read(str(path))
            peak = tracemalloc.get_traced_memory()[1]
        finally:
            tracemalloc.stop()
        assert item is not None
        if size > cli.DEFAULT_MAX_FILE_SIZE:
            assert (item.text, notes) == (None, [f"skipped {path}: larger than 10485760 bytes (--max-file-size)"])
            assert peak < 2**16
        else:
            assert len(item.text) == item.size == path.stat().st_size
            assert peak < 2.05 * item.size

    def test_a_pipe_is_read_up_to_the_limit(self):
        reader = cli.Reader([].append, limit=100_000)
        for data, kept in [(b"pipe " * 50_000, False), (b"pipe " * 20_000, True)]:
            read_end, write_end = os.pipe()

            def write(end: int = write_end, data: bytes = data) -> None:
                with open(end, "wb") as pipe, contextlib.suppress(BrokenPipeError):
                    pipe.write(data)

            writer = threading.Thread(target=write)
            writer.start()
            try:
                item = reader.read(f"/dev/fd/{read_end}")
            finally:
                os.close(read_end)  # a writer still blocked gets EPIPE
                writer.join()
            assert item is not None and (item.text == data.decode()) is kept


# Sorted as the walk sorts them; a double quote is special only where a name starts.
NAMES = {b'"quoted".py': 'repo/"quoted".py', b"caf\xe9.py": '"repo/caf\\351.py"', b"new\nline.py": '"repo/new\\nline.py"'}


class TestNames:
    def test_names_that_are_not_plain_utf8_are_quoted_reversibly(self, workdir, expected_record):
        repo = os.fsencode(workdir / "repo")
        for name in NAMES:
            with open(os.path.join(repo, name), "w") as file:
                file.write("snake_case_name\n")
        with open(os.path.join(repo, b"bad\x1b\nname.bin"), "wb") as file:
            file.write(b"\0")
        result = run_cli(workdir, "embed", "repo")
        assert result.returncode == 0
        walk_note, rest = SKIP_NOTES.split("\n", 1)
        assert result.stderr == f'{walk_note}\nskipped "repo/bad\\033\\nname.bin": binary file\n{rest}'
        found = [record for record in records(result.stdout) if record["source"] in NAMES.values()]
        assert found == [expected_record(source, "snake_case_name\n") for source in NAMES.values()]
        assert [cli.unquote_name(record["source"]) for record in found] == [b"repo/" + name for name in NAMES]

    @given(st.binary(max_size=40) | st.text(max_size=20).map(os.fsencode))
    def test_quoting_is_one_line_of_utf8_and_reverses(self, name):
        quoted = cli.quote_name(os.fsdecode(name))
        assert "\n" not in quoted and "\r" not in quoted
        quoted.encode("utf-8")  # no lone surrogates
        assert cli.unquote_name(quoted) == name
        if quoted[:1] != '"':
            assert quoted == os.fsdecode(name)


class TestRecords:
    @given(
        st.lists(st.floats() | st.integers(-(2**70), 2**70) | st.booleans()),
        st.lists(st.floats(min_value=1e-6, max_value=2e-4) | st.floats(min_value=1e15, max_value=1e17)),
    )
    def test_numbers_are_encoded_as_json_does(self, mixed, edges):
        for values in mixed, edges:
            assert cli.encode_numbers(values) == json.dumps(values).encode()

    @given(
        st.text(),
        st.lists(st.integers(0, 2**32)),
        st.lists(st.floats(0, 1)),
        st.none() | st.booleans() | st.integers(0, 1),
        st.none() | st.integers(0, 2**40) | st.floats(),
    )
    def test_a_record_is_json_dumps_of_its_fields(self, source, indices, values, truncated, chars):
        result = SparseResult(indices, values, truncated, chars, chars)
        record = dict(zip(RECORD_KEYS, [source, indices, values, truncated, chars, chars]))
        assert cli.record_line(source, result) == (json.dumps(record) + "\n").encode()

    @pytest.mark.parametrize("honours_limit", [True, False])
    def test_a_long_text_gives_the_record_of_the_whole_text(self, honours_limit):
        class Service:
            """Embeds the characters of the first ``limit``; without figures when it does not
            honour the limit (and then embeds the whole text)."""

            calls: list[list[str]] = []

            def embed_batch(self, texts: list[str]) -> list[SparseResult]:
                self.calls.append(texts)
                results = []
                for text in texts:
                    used = text[:4] if honours_limit else text
                    figures = (len(used) < len(text), len(text), len(used)) if honours_limit else (None, None, None)
                    results.append(SparseResult(sorted({ord(c) for c in used}), [1.0] * len(set(used)), *figures))
                return results

        service = Service()
        texts = ["abcdefgh", "ab", "abcd", "abcde"]
        batch = cli.Batch([f"t{n}" for n in range(4)], texts)
        expected = b"".join(cli.record_line(f"t{n}", service.embed_batch([text])[0]) for n, text in enumerate(texts))
        service.calls.clear()
        assert cli.Embedder(service, 4)(batch) == expected
        # The core is sent the prefixes; only a core whose answer does not say is asked again.
        assert service.calls[0] == ["abcd", "ab", "abcd", "abcd"]
        assert service.calls[1:] == ([] if honours_limit else [["abcdefgh"], ["abcde"]])


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
    "scan-config-unknown-ignore-mode": (
        ("scan-config", "repo"),
        {"VELMORROW_IGNORE_MODE": "gitignore"},
        (),
        "velmorrow: ignore_mode='gitignore' is not a known mode: expected 'git+velmorrow' or 'velmorrow'\n",
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
        ("embed", "--max-file-size", "10X", "repo"),
        ("embed", "--max-file-size", "0", "repo"),
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
        (("embed",), ["JSON Lines", "--batch-size", "--jobs", "--output", "--max-file-size", "--quiet", ".gitignore", "standard input"]),
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
