"""The directory walk of ``velmorrow embed`` against git itself: the files it keeps are the
ones ``git ls-files`` lists, with ``.velmorrowignore`` and the pattern settings on top."""

from __future__ import annotations

import os
import shutil
import subprocess
import tempfile
from pathlib import Path

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from velmorrow._walk import walk
from velmorrow.config import BUILTIN_IGNORE_PATTERNS

from test_cli import records, run_cli

pytestmark = pytest.mark.skipif(shutil.which("git") is None, reason="needs git")

# The machine's own git configuration (a global excludes file, say) must not count.
GIT_ENV = {
    **{key: value for key, value in os.environ.items() if not key.startswith("GIT_")},
    "GIT_CONFIG_GLOBAL": os.devnull,
    "GIT_CONFIG_NOSYSTEM": "1",
    "XDG_CONFIG_HOME": os.devnull,
    "HOME": os.devnull,
}


def git(cwd: Path, *args: str) -> str:
    result = subprocess.run(
        ["git", "-c", "user.name=t", "-c", "user.email=t@t", *args],
        cwd=cwd, env=GIT_ENV, capture_output=True, text=True, check=True,
    )
    return result.stdout


def git_listed(cwd: Path, *options: str) -> list[str]:
    return [path for path in git(cwd, "ls-files", "-z", "--cached", "--others", *options).split("\0") if path]


def expected_by_git(cwd: Path, use_gitignore: bool, root_patterns: list[str], scratch: Path) -> list[str]:
    """What git keeps under each rule set on its own, intersected, in path order."""
    patterns_file = scratch / "patterns"
    patterns_file.write_text("".join(f"{line}\n" for line in root_patterns))
    kept = set(git_listed(cwd, "--exclude-per-directory=.velmorrowignore"))
    kept &= set(git_listed(cwd, f"--exclude-from={patterns_file}"))
    if use_gitignore:
        kept &= set(git_listed(cwd, "--exclude-standard"))
    # git lists the tracked files first, then the others.
    return sorted(kept)


def start_is_ignored(repo: Path, start: str, use_gitignore: bool) -> bool:
    """Whether git leaves out the directory ``start`` as a whole (the walk, told to walk
    it, walks it anyway)."""
    options = [["--exclude-per-directory=.velmorrowignore"], *([["--exclude-standard"]] * use_gitignore)]
    for option in options:
        listed = git(repo, "ls-files", "-z", "--others", "--ignored", "--directory", *option).split("\0")
        if f"{start}/" in listed:
            return True
    return False


def walked(root: Path, use_gitignore: bool, builtin: list[str], extra: list[str] = (), replace: bool = False) -> list[str]:
    config = {
        "repo_root": str(root),
        "builtin_patterns": list(builtin),
        "extra_patterns": list(extra),
        "ignore_mode": "git+velmorrow" if use_gitignore else "velmorrow",
        "use_gitignore": use_gitignore,
        "use_velmorrowignore": True,
        "replace_builtin_patterns": replace,
    }
    notes: list[str] = []
    paths = [os.path.relpath(path, root).replace(os.sep, "/") for path in walk(str(root), config, notes.append)]
    assert notes == []
    return paths


DIRS = ["a", "b", "logs", "src"]
FILES = ["x.py", "y.env", "z.txt", "b", ".hidden"]
SEGMENTS = [*DIRS, *FILES, "*", "*.py", "**", "?.py", "[ab]", "[!a]", "x*", "l*s", "\\!x.py", "#*", "x.py  "]

tree = st.lists(
    st.tuples(st.lists(st.sampled_from(DIRS), max_size=3), st.sampled_from(FILES)).map(lambda t: "/".join([*t[0], t[1]])),
    min_size=1, max_size=14, unique=True,
)
body = st.builds(
    lambda anchor, parts, slash: "/" * anchor + "/".join(parts) + "/" * slash,
    st.booleans(), st.lists(st.sampled_from(SEGMENTS), min_size=1, max_size=3), st.booleans(),
)


@st.composite
def rule_sets(draw: st.DrawFn) -> dict[str, object]:
    """Ignore files at the top and in the tree's directories, .git/info/exclude and root
    patterns, drawn from one small pool so that their lines meet and override each other."""
    pool = draw(st.lists(body, min_size=1, max_size=4))
    lines = st.lists(st.tuples(st.booleans(), st.sampled_from(pool)).map(lambda t: "!" * t[0] + t[1]), max_size=4)
    where = st.lists(st.sampled_from(DIRS), max_size=2).map("/".join)
    return {
        "gitignores": draw(st.dictionaries(where, lines, max_size=3)),
        "own": draw(st.dictionaries(where, lines, max_size=2)),
        "info_exclude": draw(lines),
        "root_patterns": draw(lines),
    }


def lay_out(root: Path, files: list[str], gitignores: dict[str, list[str]], own: dict[str, list[str]]) -> None:
    for relative in files:
        path = root / relative
        if any(parent.is_file() for parent in path.parents if parent != root and root in parent.parents):
            continue  # a file already stands where this path needs a directory
        if path.exists():
            continue
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_text(relative)
    for name, contents in ((".gitignore", gitignores), (".velmorrowignore", own)):
        for directory, lines in contents.items():
            if (root / directory).is_dir():
                (root / directory / name).write_text("".join(f"{line}\n" for line in lines))


@settings(max_examples=100, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(files=tree, rules=rule_sets(), use_gitignore=st.booleans(), start=st.sampled_from(["", "a", "src"]))
def test_the_walk_keeps_what_git_keeps(files, rules, use_gitignore, start):
    gitignores, own, info_exclude, root_patterns = rules.values()
    with tempfile.TemporaryDirectory() as scratch:
        repo = Path(scratch) / "repo"
        repo.mkdir()
        git(repo, "init", "-q", "--template=")
        (repo / ".git" / "info").mkdir(exist_ok=True)
        (repo / ".git" / "info" / "exclude").write_text("".join(f"{line}\n" for line in info_exclude))
        lay_out(repo, files, gitignores, own)
        # Below the top, git's and the walk's anchored patterns speak of different roots.
        root_patterns = root_patterns if start == "" else []
        cwd = repo / start
        if not cwd.is_dir() or start and start_is_ignored(repo, start, use_gitignore):
            return
        split = len(root_patterns) // 2
        expected = expected_by_git(cwd, use_gitignore, root_patterns, Path(scratch))
        assert walked(cwd, use_gitignore, root_patterns[:split], root_patterns[split:]) == expected
        assert walked(cwd, use_gitignore, ["*"], root_patterns, replace=True) == expected


# The examples and the classic traps, each a line or two of ignore files.
TRICKY_FILES = [
    "prod.env", "app.py", "logs/run.log", "logs/keep.log", "src/main.py", "src/generated.py",
    "src/lib/mod.py", "src/lib/notes.txt", "docs/a.md", "docs/deep/b.md", "docs/deep/c.txt",
    "vendor/pkg/x.py", "build/out.py", "tmp/t.txt", "secret.key", "private/own.py",
    "node_modules/m.js", "data.lock",
]
TRICKY_IGNORES = {
    ".gitignore": "*.md\n*.env\nlogs/\n!logs/keep.log\n/build\ndocs/**/*.txt\n!/vendor/\nvendor/*\n!vendor/pkg/\n",
    "src/.gitignore": "generated.py\nlib/*\n!lib/mod.py\n",
    "docs/.gitignore": "!a.md\n",
    ".git/info/exclude": "secret.key\n",
    ".velmorrowignore": "tmp/\n",
    "private/.velmorrowignore": "*\n",
}


@pytest.fixture
def tricky(tmp_path: Path) -> Path:
    repo = tmp_path / "repo"
    repo.mkdir()
    git(repo, "init", "-q")
    for relative in TRICKY_FILES:
        (repo / relative).parent.mkdir(parents=True, exist_ok=True)
        (repo / relative).write_text(f"text of {relative}\n")
    for relative, text in TRICKY_IGNORES.items():
        (repo / relative).parent.mkdir(parents=True, exist_ok=True)
        (repo / relative).write_text(text)
    git(repo, "add", "app.py")
    git(repo, "commit", "-q", "-m", "start")
    return repo


@pytest.mark.parametrize("mode", ["git+velmorrow", "velmorrow"])
def test_embed_walks_a_repository_as_git_does(tricky, mode):
    expected = expected_by_git(tricky, mode == "git+velmorrow", list(BUILTIN_IGNORE_PATTERNS), tricky.parent)
    if mode == "git+velmorrow":
        # What the issue saw embedded stays out; what the ignore files re-include comes back.
        assert not {"prod.env", "logs/run.log", "logs/keep.log", "src/generated.py", "tmp/t.txt"} & set(expected)
        assert {"src/lib/mod.py", "vendor/pkg/x.py", "app.py", "docs/a.md"} <= set(expected)
    result = run_cli(tricky.parent, "embed", "repo", VELMORROW_IGNORE_MODE=mode)
    assert (result.returncode, result.stderr) == (0, "")
    assert [r["source"] for r in records(result.stdout)] == [f"repo/{path}" for path in expected]


def test_a_subdirectory_keeps_the_ignore_files_above_it(tricky):
    result = run_cli(tricky / "src", "embed", ".")
    assert (result.returncode, result.stderr) == (0, "")
    expected = git_listed(tricky / "src", "--exclude-standard")
    assert [r["source"] for r in records(result.stdout)] == [f"./{path}" for path in expected]


def test_a_named_directory_is_walked_even_where_it_is_ignored(tricky):
    (tricky / "logs" / "debug.env").write_text("KEY=1\n")
    (tricky / "logs" / ".gitignore").write_text("keep.log\n")
    result = run_cli(tricky, "embed", "logs")
    assert (result.returncode, result.stderr) == (0, "")
    # The files below it still meet the ignore files, its own and those above it.
    assert [r["source"] for r in records(result.stdout)] == ["logs/.gitignore", "logs/run.log"]
