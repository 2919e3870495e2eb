"""``velmorrow embed`` streams: bounded look-ahead, the same bytes for any number of jobs,
and an output file that appears whole or not at all."""

from __future__ import annotations

import io
import os
import resource
import subprocess
import sys
from pathlib import Path

import pytest

from velmorrow import cli
from velmorrow.config import Settings

from test_cli import records, run_cli

TREE_FILES = 40
# The tree is not a git work tree.
WALK_NOTE = "walked tree without git: not a git work tree\n"


@pytest.fixture
def tree(tmp_path: Path) -> Path:
    for number in range(TREE_FILES):
        path = tmp_path / "tree" / f"d{number % 3}" / f"f{number:02}.py"
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_text(f"def handler_{number}(request_body):\n    return parseHttpHeader(request_body) * {number}\n")
    return tmp_path


@pytest.mark.parametrize("options", [("--jobs", "2"), ("--jobs", "3", "--batch-size", "1"), ("--jobs", "2", "--batch-size", "7")])
def test_the_output_is_the_same_bytes_for_any_jobs_and_batches(tree, options):
    alone = run_cli(tree, "embed", "--jobs", "1", "tree")
    assert (alone.returncode, alone.stderr) == (0, WALK_NOTE)
    assert [r["source"] for r in records(alone.stdout)] == sorted(
        f"tree/d{n % 3}/f{n:02}.py" for n in range(TREE_FILES)
    )
    threaded = run_cli(tree, "embed", *options, "tree")
    assert (threaded.returncode, threaded.stderr, threaded.stdout) == (0, WALK_NOTE, alone.stdout)


class Watch:
    """Counts, at every file read, how many records the writer has put out by then."""

    def __init__(self, monkeypatch: pytest.MonkeyPatch, out: io.StringIO) -> None:
        self.out = out
        self.reads = 0
        self.ahead = 0
        self.batch_sizes: list[int] = []
        read = cli.Reader.read

        def watched_read(reader: cli.Reader, path: str, named: bool = False) -> cli.Item | None:
            self.reads += 1
            self.ahead = max(self.ahead, self.reads - out.getvalue().count("\n"))
            return read(reader, path, named)

        monkeypatch.setattr(cli.Reader, "read", watched_read)
        service = cli._sparse_service()
        embed_batch = service.embed_batch

        class Service:
            def embed_batch(inner, texts: list[str]) -> object:
                self.batch_sizes.append(len(texts))
                return embed_batch(texts)

        monkeypatch.setattr(cli, "_sparse_service", lambda: Service())


@pytest.mark.parametrize(
    ("jobs", "batch_size", "budget_texts"), [(1, 4, None), (2, 3, None), (3, 1, None), (2, 256, 3)]
)
def test_files_are_read_only_a_few_batches_ahead_of_the_writer(
    tree, sparse, scanrules, monkeypatch, jobs, batch_size, budget_texts
):
    sparse.settings = scanrules.settings = Settings(environ={})
    out = io.StringIO()
    monkeypatch.setattr(sys, "stdout", out)
    watch = Watch(monkeypatch, out)
    limit = batch_size
    if budget_texts is not None:  # a character budget that the shortest texts fill at this count
        monkeypatch.setattr(cli, "BATCH_CHARS", budget_texts * len((tree / "tree" / "d0" / "f00.py").read_text()))
        limit = budget_texts
    assert cli.main(["embed", "--jobs", str(jobs), "--batch-size", str(batch_size), str(tree / "tree")]) == 0
    assert out.getvalue().count("\n") == watch.reads == TREE_FILES
    # The batches waiting for the core, and the one being read.
    assert watch.ahead <= (jobs + 1) * limit
    assert max(watch.batch_sizes) == limit


# A core that stops the run with a signal on its second batch.
SIGNALLING_CORE = """\
import json, os, signal, time
calls = 0

def handshake():
    return json.dumps({"capabilities": []})

def sparse_embed_batch(texts_json, profile_json):
    global calls
    calls += 1
    if calls == 2:
        os.kill(os.getpid(), getattr(signal, os.environ["STOP_WITH"]))
        time.sleep(0.5)
    return json.dumps({"embeddings": [{"indices": [1], "values": [1.0]} for _ in json.loads(texts_json)]})
"""


class TestOutputFile:
    def test_written_whole_and_never_read_back(self, tree):
        expected = run_cli(tree / "tree", "embed", ".").stdout
        # The second run walks past the first one's output and its own temporary file.
        for _ in range(2):
            result = run_cli(tree / "tree", "embed", "--output", "out.jsonl", "--batch-size", "3", ".")
            assert (result.returncode, result.stdout, result.stderr) == (0, "", WALK_NOTE.replace(" tree ", " . "))
            assert (tree / "tree" / "out.jsonl").read_text() == expected
        assert sorted(os.listdir(tree / "tree")) == ["d0", "d1", "d2", "out.jsonl"]

    @pytest.mark.parametrize(("signal_name", "status"), [("SIGINT", 130), ("SIGTERM", 143)])
    @pytest.mark.parametrize("jobs", ["1", "2"])
    def test_an_interrupted_run_leaves_the_old_file_and_nothing_else(self, tree, signal_name, status, jobs):
        (tree / "core").mkdir()
        (tree / "core" / "velmorrow_core_py.py").write_text(SIGNALLING_CORE)
        (tree / "out.jsonl").write_text("old\n")
        result = run_cli(
            tree, "embed", "-o", "out.jsonl", "--batch-size", "2", "--jobs", jobs, "tree",
            PYTHONPATH="core", STOP_WITH=signal_name,
        )
        assert (result.returncode, result.stdout, result.stderr) == (status, "", WALK_NOTE)
        assert (tree / "out.jsonl").read_text() == "old\n"
        assert sorted(os.listdir(tree)) == ["core", "out.jsonl", "tree"]
        assert sorted(os.listdir(tree / "tree")) == ["d0", "d1", "d2"]

    def test_a_directory_that_is_missing(self, tree):
        result = run_cli(tree, "embed", "-o", "missing/out.jsonl", "tree")
        assert (result.returncode, result.stdout) == (1, "")
        assert result.stderr == "velmorrow: missing/out.jsonl: No such file or directory\n"


class TestOutputIsNeverDestroyed:
    @pytest.mark.parametrize("kind", ["symbolic link", "FIFO", "device", "read-only file"])
    def test_only_a_regular_writable_file_is_replaced(self, tree, sparse, scanrules, monkeypatch, capsys, kind):
        sparse.settings = scanrules.settings = Settings(environ={})
        monkeypatch.chdir(tree)
        target = tree / "target.jsonl"
        target.write_text("kept\n")
        output = "out.jsonl"
        if kind == "symbolic link":
            os.symlink("target.jsonl", output)
        elif kind == "FIFO":
            os.mkfifo(output)
        elif kind == "device":
            # A copy of /dev/null, so that a fault cannot replace the real one: as root, the
            # rename would put a regular file in its place.
            null = os.stat(os.devnull)
            try:
                os.mknod(output, null.st_mode, null.st_rdev)
            except PermissionError:
                pytest.skip("making a device node needs root")
        else:
            output = "target.jsonl"
            target.chmod(0o444)
        shown = {"symbolic link": "a symbolic link", "FIFO": "a FIFO", "device": "a device"}.get(kind, f"a {kind}")
        before = os.lstat(output)
        assert cli.main(["embed", "-o", output, "tree"]) == 1
        assert capsys.readouterr() == (
            "", f"velmorrow: {output}: is {shown}; --output replaces only a regular file that may be written\n"
        )
        after = os.lstat(output)
        assert (after.st_ino, after.st_mode) == (before.st_ino, before.st_mode)
        assert target.read_text() == "kept\n"
        assert sorted(os.listdir(tree)) == sorted(["target.jsonl", "tree"] + (["out.jsonl"] if output == "out.jsonl" else []))

    def test_a_replaced_file_keeps_its_permissions(self, tree):
        (tree / "out.jsonl").write_text("old\n")
        (tree / "out.jsonl").chmod(0o640)
        result = run_cli(tree, "embed", "-o", "out.jsonl", "tree")
        assert (result.returncode, result.stderr) == (0, WALK_NOTE)
        assert (tree / "out.jsonl").stat().st_mode & 0o777 == 0o640
        assert len(records((tree / "out.jsonl").read_text())) == TREE_FILES


def _file_size_limit(limit: int) -> None:
    resource.setrlimit(resource.RLIMIT_FSIZE, (limit, limit))


def run_redirected(cwd: Path, stdout: object, *args: str, limit: int | None = None) -> tuple[int, str]:
    result = subprocess.run(
        [sys.executable, "-m", "velmorrow", *args],
        cwd=cwd,
        stdin=subprocess.DEVNULL,
        stdout=stdout,
        stderr=subprocess.PIPE,
        env={**{k: v for k, v in os.environ.items() if not k.startswith("VELMORROW_")}, "PYTHONDONTWRITEBYTECODE": "1"},
        preexec_fn=None if limit is None else (lambda: _file_size_limit(limit)),
        timeout=60,
    )
    return result.returncode, result.stderr.decode()


class TestWriteErrors:
    """A full disk or a file size limit is one line and status 1, with nothing left behind."""

    def test_standard_output_on_a_full_device(self, tree):
        with open("/dev/full", "wb") as full:
            assert run_redirected(tree, full, "embed", "tree") == (1, WALK_NOTE + "velmorrow: standard output: No space left on device\n")

    def test_standard_output_above_the_file_size_limit(self, tree):
        with open(tree / "out.jsonl", "wb") as out:
            assert run_redirected(tree, out, "embed", "tree", limit=1000) == (1, WALK_NOTE + "velmorrow: standard output: File too large\n")

    @pytest.mark.parametrize("jobs", ["1", "2"])
    def test_output_file_above_the_file_size_limit(self, tree, jobs):
        (tree / "out.jsonl").write_text("old\n")
        status = run_redirected(tree, subprocess.DEVNULL, "embed", "-j", jobs, "-o", "out.jsonl", "tree", limit=1000)
        assert status == (1, WALK_NOTE + "velmorrow: out.jsonl: File too large\n")
        assert (tree / "out.jsonl").read_text() == "old\n"
        assert sorted(os.listdir(tree)) == ["out.jsonl", "tree"]


def test_standard_output_redirected_into_the_walk_is_not_read_back(tree):
    expected = run_cli(tree / "tree", "embed", ".").stdout
    # Written batch by batch, the output is there, half-written, when the walk reaches it.
    with open(tree / "tree" / "zz-out.jsonl", "wb") as out:
        assert run_redirected(tree / "tree", out, "embed", "-j", "1", "--batch-size", "1", ".") == (0, WALK_NOTE.replace(" tree ", " . "))
    assert (tree / "tree" / "zz-out.jsonl").read_text() == expected
