"""The file list of ``velmorrow embed DIR`` against git itself: inside a work tree it is what
``git ls-files --cached --others --exclude-standard`` lists, with ``.velmorrowignore`` and
the pattern settings on top; elsewhere, and without git, a walk of our own that keeps the
same files."""

from __future__ import annotations

import os
import shutil
import subprocess
from collections.abc import Callable
from pathlib import Path

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from velmorrow import _walk
from velmorrow._walk import walk
from velmorrow.config import BUILTIN_IGNORE_PATTERNS

from test_cli import records, run_cli

pytestmark = pytest.mark.skipif(shutil.which("git") is None, reason="needs git")


@pytest.fixture(autouse=True)
def git_home(tmp_path: Path, monkeypatch: pytest.MonkeyPatch) -> Path:
    """A home of its own for git, the walk's and the tests': the global excludes file is
    read from it (git's default place), and nothing of the machine's own configuration."""
    for key in list(os.environ):
        if key.startswith("GIT_") or key == "XDG_CONFIG_HOME":
            monkeypatch.delenv(key)
    home = tmp_path / "home"
    (home / ".config" / "git").mkdir(parents=True)
    monkeypatch.setenv("HOME", str(home))
    monkeypatch.setenv("GIT_CONFIG_NOSYSTEM", "1")
    return home


def git(cwd: Path, *args: str) -> bytes:
    command = ["git", "-c", "user.name=x", "-c", "user.email=x@y", "-c", "protocol.file.allow=always", *args]
    return subprocess.run(command, cwd=cwd, capture_output=True, check=True).stdout


def git_listed(cwd: Path, *options: str) -> list[str]:
    """What git lists, in git's order: sorted by bytes, each path once."""
    listed = git(cwd, "ls-files", "-z", "--cached", "--others", *options).split(b"\0")
    return [os.fsdecode(path) for path in sorted(set(listed)) if path]


def init(repo: Path) -> Path:
    repo.mkdir(parents=True, exist_ok=True)
    git(repo, "init", "-q", "--template=")
    return repo


def config(use_gitignore: bool = True, builtin: list[str] = (), extra: list[str] = (), replace: bool = False) -> dict:
    return {
        "repo_root": "",
        "builtin_patterns": list(builtin),
        "extra_patterns": list(extra),
        "ignore_mode": "git+velmorrow" if use_gitignore else "velmorrow",
        "use_gitignore": use_gitignore,
        "use_velmorrowignore": True,
        "replace_builtin_patterns": replace,
    }


def walked(root: Path, scan_config: dict, notes: list[str] | None = None) -> list[str]:
    """The walk's files below ``root``; no notes unless ``notes`` collects them."""
    told: list[str] = []
    paths = [os.path.relpath(path, root) for path in walk(str(root), scan_config, told.append)]
    if notes is None:
        assert told == []
    else:
        notes.extend(told)
    return paths


def without_git(monkeypatch: pytest.MonkeyPatch) -> None:
    monkeypatch.setattr(_walk, "GIT_COMMAND", "velmorrow-test-no-such-git")


# -- every rule, against git ---------------------------------------------------------------

DIRS = ["a", "b", "logs", "src"]
# Names that the odd patterns below match: a trailing blank or tab, "]", digits, spaces.
FILES = ["x.py", "y.env", "z.txt", "b", ".hidden", "1.py", "x.py ", "x.py\t", "]", "a b", "Z9"]
SEGMENTS = [
    *DIRS, *FILES[:5], "*", "*.py", "**", "?.py", "[ab]", "[!a]", "x*", "l*s", "\\!x.py", "#*",
    "x.py  ", "x.py\\ ", "x.py\t", "[[:digit:]]*", "[[:space:]]*", "*[[:upper:]][[:alnum:]]", "[\\]]",
    "[z-a]*", "[a-]*", "[]]", "[[:nope:]]", "[x", "a\\", "**/*.py",
]

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
    """Ignore files at the top and in the tree's directories, info/exclude, the global
    excludes file and the pattern settings, drawn from one small pool so that their lines
    meet and override each other; some files end their lines with CRLF."""
    pool = draw(st.lists(body, min_size=1, max_size=4))
    lines = st.lists(st.tuples(st.booleans(), st.sampled_from(pool)).map(lambda t: "!" * t[0] + t[1]), max_size=4)
    text = st.builds(lambda lines, end: "".join(line + end for line in lines), lines, st.sampled_from(["\n", "\r\n"]))
    where = st.lists(st.sampled_from(DIRS), max_size=2).map("/".join)
    return {
        "gitignores": draw(st.dictionaries(where, text, max_size=3)),
        "own": draw(st.dictionaries(where, text, max_size=2)),
        "info_exclude": draw(text),
        "global_excludes": draw(text),
        "patterns": draw(lines),
    }


def lay_out(root: Path, files: list[str], gitignores: dict[str, str], own: dict[str, str]) -> list[str]:
    laid = []
    for relative in files:
        path = root / relative
        if any(parent.is_file() for parent in path.parents if root in parent.parents):
            continue  # a file already stands where this path needs a directory
        if path.exists():
            continue
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_text(relative)
        laid.append(relative)
    for name, contents in ((".gitignore", gitignores), (".velmorrowignore", own)):
        for directory, text in contents.items():
            if (root / directory).is_dir():
                (root / directory / name).write_bytes(text.encode())
    return laid


def kept_by(tree_root: Path, start: str, scratch: Path, name: str, exclude_from: str | None = None) -> set[str]:
    """What git keeps of a copy of the tree, nothing tracked, with one rule set: the
    ``.velmorrowignore`` files, or the pattern settings as the copy's info/exclude."""
    copy = scratch / name
    shutil.copytree(tree_root, copy, symlinks=True, ignore=shutil.ignore_patterns(".git"))
    init(copy)
    option = "--exclude-per-directory=.velmorrowignore"
    if exclude_from is not None:
        (copy / ".git" / "info").mkdir()
        (copy / ".git" / "info" / "exclude").write_text(exclude_from)
        option = "--exclude-from=.git/info/exclude"
    return set(git_listed(copy / start, option) if exclude_from is None else git_listed(copy, option))


def start_is_ignored(repo: Path, start: str, options: list[str]) -> bool:
    """Whether git leaves out the directory ``start`` as a whole (the walk, told to walk
    it, walks it anyway)."""
    listed = git(repo, "ls-files", "-z", "--others", "--ignored", "--directory", *options).split(b"\0")
    return f"{start}/".encode() in listed


@settings(
    max_examples=60, deadline=None,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.function_scoped_fixture],
)
@given(
    files=tree, rules=rule_sets(), use_gitignore=st.booleans(), start=st.sampled_from(["", "a", "src"]),
    tracked=st.sets(st.integers(0, 13), max_size=4), data=st.data(),
)
def test_the_file_list_is_what_git_keeps(tmp_path_factory, git_home, monkeypatch, files, rules, use_gitignore, start, tracked, data):
    """Both ways of listing, on the same repository: git's (with some files tracked
    although an ignore rule matches them) and the walk without git (nothing tracked)."""
    scratch = tmp_path_factory.mktemp("walk")
    repo = init(scratch / "repo")
    (repo / ".git" / "info").mkdir()
    (repo / ".git" / "info" / "exclude").write_bytes(rules["info_exclude"].encode())
    (git_home / ".config" / "git" / "ignore").write_bytes(rules["global_excludes"].encode())
    laid = lay_out(repo, files, rules["gitignores"], rules["own"])
    cwd = repo / start
    ignore_options = ["--exclude-per-directory=.velmorrowignore", *["--exclude-standard"] * use_gitignore]
    if not cwd.is_dir() or start and any(start_is_ignored(repo, start, [option]) for option in ignore_options):
        return
    patterns = rules["patterns"]
    split = data.draw(st.integers(0, len(patterns)))
    scan_config = config(use_gitignore, patterns[:split], patterns[split:])
    replaced = config(use_gitignore, ["*"], patterns, replace=True)
    others = kept_by(repo, start, scratch, "own") & kept_by(cwd, "", scratch, "patterns", "".join(f"{p}\n" for p in patterns))

    def expected() -> list[str]:
        return [path for path in git_listed(cwd, *["--exclude-standard"] * use_gitignore) if path in others]

    assert walked(cwd, scan_config) == expected()
    assert walked(cwd, replaced) == expected()
    with monkeypatch.context() as patch:
        without_git(patch)
        notes: list[str] = []
        assert walked(cwd, scan_config, notes) == expected()
        assert notes == [f"walked {cwd} without git: git is not installed"]
    chosen = [laid[i] for i in tracked if i < len(laid)]
    if chosen:
        git(repo, "add", "-f", "--", *chosen)
        assert walked(cwd, scan_config) == expected()


ODD_NAMES = [
    "a", "ab", "A", "1", " ", "a b", "]", "[", "-", "!", "^", ":", "*", "?", "\\", "a]b", "a-b", "a\\b",
    "[:alpha:]", "d/a", "d/]", "d/ab", "d/e/a", "e/d/a",
]
PATTERN_PIECES = [*"ab]![^-:\\*?/ d", "[:alpha:]", "[:digit:]", "[:x:]", "**", "[:", "\t"]


@pytest.fixture(scope="module")
def odd_tree(tmp_path_factory) -> Path:
    repo = tmp_path_factory.mktemp("odd") / "repo"
    repo.mkdir()
    subprocess.run(["git", "init", "-q", "--template="], cwd=repo, check=True)
    for name in ODD_NAMES:
        (repo / name).parent.mkdir(parents=True, exist_ok=True)
        (repo / name).write_text(name)
    return repo


@settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(pattern=st.lists(st.sampled_from(PATTERN_PIECES), min_size=1, max_size=6).map("".join))
def test_one_pattern_matches_as_git_matches(odd_tree, monkeypatch, pattern):
    """Brackets, classes, ranges, escapes and stars in any order, in the walk without git."""
    (odd_tree / ".gitignore").write_text(pattern + "\n")
    without_git(monkeypatch)
    assert walked(odd_tree, config(), []) == git_listed(odd_tree, "--exclude-standard")


# -- the cases git decides, one repository each --------------------------------------------


def tracked_although_ignored(repo: Path, home: Path, env: pytest.MonkeyPatch) -> None:
    (repo / ".gitignore").write_text("*.lock\nvendor/\n")
    for name in ("poetry.lock", "vendor/lib.py", "deleted.py", "other.lock"):
        (repo / name).parent.mkdir(exist_ok=True)
        (repo / name).write_text(name)
    git(repo, "add", "-f", "poetry.lock", "vendor/lib.py", "deleted.py")
    (repo / "deleted.py").unlink()  # tracked, gone from the work tree: nothing to read


def global_excludes_default(repo: Path, home: Path, env: pytest.MonkeyPatch) -> None:
    (home / ".config" / "git" / "ignore").write_text(".env.local\n*.swp\n")
    for name in (".env.local", ".main.py.swp", "main.py"):
        (repo / name).write_text(name)


def global_excludes_xdg(repo: Path, home: Path, env: pytest.MonkeyPatch) -> None:
    env.setenv("XDG_CONFIG_HOME", str(home / "xdg"))
    (home / "xdg" / "git").mkdir(parents=True)
    (home / "xdg" / "git" / "ignore").write_text("*.pem\n")
    for name in ("key.pem", "main.py"):
        (repo / name).write_text(name)


def global_excludes_configured(repo: Path, home: Path, env: pytest.MonkeyPatch) -> None:
    (home / ".gitconfig").write_text("[core]\n\texcludesFile = ~/my-ignores\n")
    (home / "my-ignores").write_text("secrets/\n")
    for name in ("secrets/token.txt", "main.py"):
        (repo / name).parent.mkdir(exist_ok=True)
        (repo / name).write_text(name)


def submodule(repo: Path, home: Path, env: pytest.MonkeyPatch) -> None:
    inner = init(repo.parent / "library")
    (inner / "lib.py").write_text("lib")
    git(inner, "add", "lib.py")
    git(inner, "commit", "-q", "-m", "lib")
    git(repo, "submodule", "add", "-q", "../library", "library")
    (repo / "library" / "untracked.py").write_text("in the submodule")
    (repo / "main.py").write_text("main")


def nested_repository(repo: Path, home: Path, env: pytest.MonkeyPatch) -> None:
    inner = init(repo / "checkout")
    (inner / "inner.py").write_text("inner")
    (repo / "main.py").write_text("main")


def pattern_edge_cases(repo: Path, home: Path, env: pytest.MonkeyPatch) -> None:
    # POSIX classes, an escaped trailing blank and a trailing tab with CRLF line ends, a
    # "]" in a bracket, a reversed range (only its first end counts).
    (repo / ".gitignore").write_bytes(b"[[:digit:]]*.log\r\n*[[:space:]]x\r\nname\\ \r\ntab\t\r\n[\\]]y\r\n[z-a]w\r\n")
    for name in ("1.log", "a.log", "a x", "a\tx", "ax", "name ", "name", "tab\t", "tab", "]y", "zw", "mw"):
        (repo / name).write_text(name)


def ignore_file_that_is_a_link(repo: Path, home: Path, env: pytest.MonkeyPatch) -> None:
    (repo / "rules").write_text("*.txt\n")
    (repo / "sub").mkdir()
    (repo / "sub" / ".gitignore").symlink_to("../rules")
    (repo / "sub" / "notes.txt").write_text("listed: git does not follow the link")


def names_sorted_by_their_bytes(repo: Path, home: Path, env: pytest.MonkeyPatch) -> None:
    # A name that is not UTF-8 sorts by its bytes, as git sorts it, not by its code points.
    for name in (b"\xc0.py", "é.py".encode(), b"z.py", b"\xff/a.py"):
        path = os.fsencode(repo) + b"/" + name
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "w") as file:
            file.write("x = 1\n")


CASES: dict[str, Callable[[Path, Path, pytest.MonkeyPatch], None]] = {
    "tracked-although-ignored": tracked_although_ignored,
    "global-excludes-default": global_excludes_default,
    "global-excludes-xdg": global_excludes_xdg,
    "global-excludes-configured": global_excludes_configured,
    "submodule": submodule,
    "nested-repository": nested_repository,
    "pattern-edge-cases": pattern_edge_cases,
    "ignore-file-that-is-a-link": ignore_file_that_is_a_link,
    "names-sorted-by-their-bytes": names_sorted_by_their_bytes,
}

# Without git there is no index and no git configuration to read.
WITHOUT_GIT_DIFFERS = {"tracked-although-ignored", "global-excludes-configured"}


@pytest.mark.parametrize("case", CASES)
def test_each_case_is_listed_as_git_lists_it(tmp_path, git_home, monkeypatch, case):
    repo = init(tmp_path / "repo")
    CASES[case](repo, git_home, monkeypatch)
    # A submodule or a nested repository is one entry, not a file; a deleted file is gone.
    expected = [path for path in git_listed(repo, "--exclude-standard") if (repo / path).is_file()]
    notes: list[str] = []
    assert walked(repo, config(), notes) == expected
    assert all(note.startswith("git: warning:") for note in notes)  # git's own word on a link
    if case not in WITHOUT_GIT_DIFFERS:
        without_git(monkeypatch)
        assert walked(repo, config(), []) == expected


def test_links_are_read_only_inside_the_walked_directory(tmp_path):
    outside = tmp_path / "credentials"
    outside.write_text("password=hunter2\n")
    repo = init(tmp_path / "repo")
    (repo / "real.py").write_text("x = 1\n")
    (repo / "alias.py").symlink_to("real.py")
    (repo / "creds").symlink_to(outside)
    (repo / "up").symlink_to("../credentials")
    (repo / "directory").mkdir()
    (repo / "directory" / "kept.py").write_text("y = 2\n")
    (repo / "dirlink").symlink_to("directory")
    (repo / "loop-a").symlink_to("loop-b")
    (repo / "loop-b").symlink_to("loop-a")
    result = run_cli(tmp_path, "embed", "repo")
    # Listed as git lists them; a link to a file is read once, from its target.
    assert [r["source"] for r in records(result.stdout)] == ["repo/alias.py", "repo/directory/kept.py", "repo/real.py"]
    assert [r["original_chars"] for r in records(result.stdout)] == [6, 6, 6]
    assert result.stderr == (
        "skipped repo/creds: symbolic link to a path outside repo\n"
        "skipped repo/loop-a: Too many levels of symbolic links\n"
        "skipped repo/loop-b: Too many levels of symbolic links\n"
        "skipped repo/up: symbolic link to a path outside repo\n"
    )
    git_says = git_listed(repo, "--exclude-standard")
    assert git_says == ["alias.py", "creds", "directory/kept.py", "dirlink", "loop-a", "loop-b", "real.py", "up"]


# -- what the walk adds to git -------------------------------------------------------------

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
    repo = init(tmp_path / "repo")
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
def test_embed_lists_a_repository_as_git_does(tricky, mode):
    kept = set(git_listed(tricky, "--exclude-per-directory=.velmorrowignore"))
    (tricky.parent / "patterns").write_text("".join(f"{line}\n" for line in BUILTIN_IGNORE_PATTERNS))
    kept &= set(git_listed(tricky, f"--exclude-from={tricky.parent / 'patterns'}"))
    expected = [path for path in git_listed(tricky, *["--exclude-standard"] * (mode == "git+velmorrow")) if path in kept]
    if mode == "git+velmorrow":
        # What the issue saw embedded stays out; what the ignore files re-include comes back.
        assert not {"prod.env", "logs/run.log", "logs/keep.log", "src/generated.py", "tmp/t.txt"} & set(expected)
        assert {"src/lib/mod.py", "vendor/pkg/x.py", "app.py", "docs/a.md"} <= set(expected)
    result = run_cli(tricky.parent, "embed", "repo", VELMORROW_IGNORE_MODE=mode)
    assert (result.returncode, result.stderr) == (0, "")
    assert [r["source"] for r in records(result.stdout)] == [f"repo/{path}" for path in expected]


def test_the_patterns_speak_of_the_walked_directory(tricky):
    # "/build" and "build/" are anchored at the directory named on the command line.
    (tricky / "src" / "build").mkdir()
    (tricky / "src" / "build" / "gen.py").write_text("generated\n")
    (tricky / "src" / "deep" / "build").mkdir(parents=True)
    (tricky / "src" / "deep" / "build" / "x.py").write_text("generated\n")
    scan_config = config(builtin=list(BUILTIN_IGNORE_PATTERNS), extra=["/main.py"])
    assert walked(tricky / "src", scan_config) == [".gitignore", "lib/mod.py"]
    # A directory whose name holds pattern characters is still the anchor.
    odd = tricky / "src" / "deep" / "[x]*"
    (odd / "build").mkdir(parents=True)
    (odd / "build" / "gen.py").write_text("generated\n")
    (odd / "main.py").write_text("main\n")
    (odd / "kept.py").write_text("kept\n")
    assert walked(odd, scan_config) == ["kept.py"]


def test_a_named_directory_is_walked_even_where_it_is_ignored(tricky, monkeypatch):
    (tricky / "logs" / "debug.env").write_text("KEY=1\n")
    (tricky / "logs" / ".gitignore").write_text("keep.log\n[[]k*\n")
    # A name that reads as a pattern is still only that name.
    odd = tricky / "logs" / "[k]eep*"
    odd.mkdir()
    (odd / "a.py").write_text("a = 1\n")
    (tricky / "logs" / ".velmorrowignore").write_text("[[]k*\n")
    for listing in ("git", "own walk"):
        if listing == "own walk":
            without_git(monkeypatch)
        # The files below it still meet the ignore files, its own and those above it.
        assert walked(tricky / "logs", config(), []) == [".gitignore", ".velmorrowignore", "run.log"]
        assert walked(odd, config(), []) == ["a.py"]


def test_the_commands_own_output_is_never_listed(tricky):
    scan_config = config()
    out = tricky / "vectors.jsonl"
    out.write_text("{}\n")
    (tricky / "same-output").symlink_to(out)
    listed = [os.path.basename(p) for p in walk(str(tricky), scan_config, print, skip=[str(tricky / "same-output")])]
    assert "vectors.jsonl" not in listed and "same-output" not in listed and "app.py" in listed


# -- which walk ran ------------------------------------------------------------------------


def test_a_note_says_when_the_walk_runs_without_git(tmp_path):
    plain = tmp_path / "plain"
    (plain / "inner").mkdir(parents=True)
    (plain / "inner" / "a.py").write_text("a = 1\n")
    (plain / ".gitignore").write_text("*.log\n")
    (plain / "inner" / "b.log").write_text("b\n")
    result = run_cli(tmp_path, "embed", "plain")
    assert result.stderr == "walked plain without git: not a git work tree\n"
    assert [r["source"] for r in records(result.stdout)] == ["plain/.gitignore", "plain/inner/a.py"]
    repo = init(tmp_path / "repo")
    (repo / "a.py").write_text("a = 1\n")
    no_git = run_cli(tmp_path, "embed", "repo", PATH=os.path.dirname(os.path.realpath(os.devnull)))
    assert no_git.stderr == "walked repo without git: git is not installed\n"
    assert [r["source"] for r in records(no_git.stdout)] == ["repo/a.py"]


@pytest.mark.skipif(not hasattr(os, "geteuid") or os.geteuid() != 0, reason="needs root to give the repository away")
def test_a_repository_git_refuses_is_walked_without_git_with_its_reason(tmp_path):
    repo = init(tmp_path / "repo")
    (repo / "a.py").write_text("a = 1\n")
    for path in (repo, *repo.rglob("*")):
        os.chown(path, 65534, 65534, follow_symlinks=False)
    notes: list[str] = []
    assert walked(repo, config(), notes) == ["a.py"]
    assert notes == [f"walked {repo} without git: detected dubious ownership in repository at '{repo}'"]
