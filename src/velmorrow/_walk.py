"""The directory walk behind ``velmorrow embed``: which files it yields, and in what order.

Ignore rules follow git: ``.gitignore`` files at every level and ``.git/info/exclude``
(when the scan configuration's ``use_gitignore`` is true), ``.velmorrowignore`` files at
every level, and the built-in and extra patterns at the walk's root. Each of the three is
judged on its own, as git judges one set of ignore files, and a path that any of them
ignores is left out. An ignored directory is never entered, which is also how git keeps a
file below it from being re-included.
"""

from __future__ import annotations

import os
import re
from collections.abc import Callable, Collection, Iterable, Iterator, Mapping, Sequence
from dataclasses import dataclass

from pathspec.patterns.gitignore.spec import GitIgnoreSpecPattern

GITIGNORE = ".gitignore"
VELMORROWIGNORE = ".velmorrowignore"
GIT_DIR = ".git"
IGNORE_MODES = ("git+velmorrow", "velmorrow")

# pathspec compiles a pattern for a flat list of files, so the pattern's end is followed
# by a marker that lets a directory match everything below it. The walk asks about each
# path itself, so it matches the part before the marker against the whole path.
_DIR_MARK_OPT = "(?:(?P<ps_d>/)|$)"
_EVERYTHING = re.compile(".+")
_BELOW_TOP = re.compile(".+/.+")

Notes = Callable[[str], None]


@dataclass(frozen=True)
class Rule:
    """One pattern line: whether a match ignores (or, negated, re-includes), and the
    expressions that a file path and a directory path must match in full."""

    ignores: bool
    file: re.Pattern[str] | None
    directory: re.Pattern[str] | None


def compile_rule(line: str) -> Rule | None:
    """The rule of one ignore-file line, or None for a blank line, a comment, or a pattern
    that git would discard (a bad range, say)."""
    # Trailing blanks go unless escaped, as git has it.
    text = line if line.endswith("\\ ") else line.rstrip()
    # "name/" matches the directories that "name" matches. pathspec folds some of these
    # into other patterns ("dir/**/" into "dir/"), so it only ever sees the plain form.
    directory_only = text.endswith("/") and text.lstrip("!") != "/"
    try:
        pattern = GitIgnoreSpecPattern(text[:-1] if directory_only else text)
    except (ValueError, re.error):
        return None
    if pattern.include is None or pattern.regex is None:
        return None
    source = pattern.regex.pattern
    if source == ".":  # "*", "**": every path
        expression = _EVERYTHING
    elif source == "/":  # "**/*/**": everything below the top level
        expression = _BELOW_TOP
    elif source.endswith(_DIR_MARK_OPT):
        expression = re.compile(source[: -len(_DIR_MARK_OPT)])
    elif source.endswith("/"):  # "dir/**": everything inside dir
        expression = re.compile(source + ".+")
    else:
        raise RuntimeError(f"unexpected compiled ignore pattern {source!r} for {line!r}")
    return Rule(bool(pattern.include), None if directory_only else expression, expression)


def compile_rules(lines: Iterable[str]) -> tuple[Rule, ...]:
    return tuple(rule for rule in map(compile_rule, lines) if rule is not None)


def read_ignore_file(path: str, notes: Notes) -> tuple[Rule, ...]:
    try:
        with open(path, "rb") as file:
            data = file.read()
    except FileNotFoundError:
        return ()
    except OSError as error:
        notes(f"skipped {path}: {error.strerror or error}")
        return ()
    text = data.decode("utf-8", "surrogateescape").removeprefix("\ufeff")
    return compile_rules(text.split("\n"))


@dataclass(frozen=True)
class Level:
    """The rules of one ignore file, which speak of paths below ``base`` ("" or "dir/")."""

    base: str
    rules: tuple[Rule, ...]


def decide(levels: Sequence[Level], relative: str, is_dir: bool) -> bool:
    """Whether one set of ignore files ignores ``relative`` (a path below the top, no
    trailing slash): the nearest file with a matching line decides, and in that file the
    last matching line."""
    for level in reversed(levels):
        if not relative.startswith(level.base):
            continue
        path = relative[len(level.base) :]
        for rule in reversed(level.rules):
            expression = rule.directory if is_dir else rule.file
            if expression is not None and expression.fullmatch(path):
                return rule.ignores
    return False


def find_git_top(directory: str) -> tuple[str, str | None]:
    """The top of the work tree holding ``directory`` and its git directory, or
    ``(directory, None)`` outside a repository."""
    current = directory
    while True:
        dot_git = os.path.join(current, GIT_DIR)
        if os.path.isdir(dot_git):
            return current, dot_git
        if os.path.isfile(dot_git):  # a linked work tree or a submodule: "gitdir: <path>"
            try:
                with open(dot_git, encoding="utf-8", errors="surrogateescape") as file:
                    first = file.readline().strip()
            except OSError:
                first = ""
            if first.startswith("gitdir:"):
                return current, os.path.join(current, first.removeprefix("gitdir:").strip())
        parent = os.path.dirname(current)
        if parent == current:
            return directory, None
        current = parent


def info_exclude_path(git_dir: str) -> str:
    # A linked work tree keeps info/ in the common git directory.
    common = git_dir
    try:
        with open(os.path.join(git_dir, "commondir"), encoding="utf-8") as file:
            common = os.path.join(git_dir, file.read().strip())
    except OSError:
        pass
    return os.path.join(common, "info", "exclude")


class IgnoreSets:
    """The three sets of ignore rules, as a stack of levels each, for one directory."""

    def __init__(
        self,
        uses: tuple[bool, bool],
        git: tuple[Level, ...],
        own: tuple[Level, ...],
        patterns: tuple[Level, ...],
    ) -> None:
        self.uses = uses  # whether .gitignore files, and .velmorrowignore files, count
        self.sets = (git, own, patterns)

    def entering(self, directory: str, base: str, notes: Notes) -> IgnoreSets:
        """The sets inside ``directory``, whose paths below the top start with ``base``."""
        git, own, patterns = self.sets
        use_gitignore, use_velmorrowignore = self.uses
        if use_gitignore:
            rules = read_ignore_file(os.path.join(directory, GITIGNORE), notes)
            if rules:
                git = (*git, Level(base, rules))
        if use_velmorrowignore:
            rules = read_ignore_file(os.path.join(directory, VELMORROWIGNORE), notes)
            if rules:
                own = (*own, Level(base, rules))
        return IgnoreSets(self.uses, git, own, patterns)

    def ignores(self, relative: str, is_dir: bool) -> bool:
        return any(decide(levels, relative, is_dir) for levels in self.sets)


def check_ignore_mode(config: Mapping[str, object]) -> None:
    mode = config["ignore_mode"]
    if mode not in IGNORE_MODES:
        expected = " or ".join(repr(known) for known in IGNORE_MODES)
        raise ValueError(f"ignore_mode={mode!r} is not a known mode: expected {expected}")


def walk(root: str, config: Mapping[str, object], notes: Notes, skip: Collection[str] = ()) -> Iterator[str]:
    """Yields the files below ``root`` that the scan configuration keeps, as paths joined
    onto ``root`` exactly as it was given, in sorted order of their paths. The files at
    the paths in ``skip`` (the command's own output) are left out too."""
    check_ignore_mode(config)
    use_gitignore = bool(config["use_gitignore"])
    patterns: list[str] = list(config["extra_patterns"])  # type: ignore[call-overload]
    if not config["replace_builtin_patterns"]:
        patterns = list(config["builtin_patterns"]) + patterns  # type: ignore[call-overload]

    absolute = os.path.abspath(root)
    top, git_dir = find_git_top(absolute)
    git: tuple[Level, ...] = ()
    if use_gitignore and git_dir is not None:
        rules = read_ignore_file(info_exclude_path(git_dir), notes)
        git = (Level("", rules),) if rules else ()
    # The root's own place below the top: ignore files above it still speak of its paths.
    prefix = "" if top == absolute else os.path.relpath(absolute, top).replace(os.sep, "/") + "/"
    uses = (use_gitignore, bool(config["use_velmorrowignore"]))
    sets = IgnoreSets(uses, git, (), (Level(prefix, compile_rules(patterns)),))
    directory, base = top, ""
    for part in prefix.split("/")[:-1]:
        # The root was named on the command line, so it and the way to it are walked even
        # where an ignore file above would leave them out.
        sets = sets.entering(directory, base, notes)
        directory, base = os.path.join(directory, part), f"{base}{part}/"
    skipped: dict[str, set[str]] = {}
    for path in skip:
        directory, name = os.path.split(os.path.realpath(path))
        skipped.setdefault(directory, set()).add(name)
    yield from _walk_directory(root, "", sets.entering(absolute, prefix, notes), prefix, notes, skipped)


def _walk_directory(
    root: str, inside: str, sets: IgnoreSets, base: str, notes: Notes, skipped: dict[str, set[str]]
) -> Iterator[str]:
    directory = os.path.join(root, inside) if inside else root
    left_out = skipped.get(os.path.realpath(directory), set()) if skipped else set()
    try:
        with os.scandir(directory) as scan:
            entries = list(scan)
    except OSError as error:
        notes(f"skipped {directory}: {error.strerror or error}")
        return
    # A directory sorts as its name and a slash, so the whole walk runs in path order.
    named: list[tuple[str, os.DirEntry[str], bool]] = []
    for entry in entries:
        if entry.name == GIT_DIR or entry.name in left_out:
            continue
        try:
            is_dir = entry.is_dir(follow_symlinks=False)
            # Only regular files (or links to them): never a device, a FIFO or a link to a
            # directory.
            if not is_dir and not entry.is_file() and not entry.is_symlink():
                continue
        except OSError:
            continue
        named.append((entry.name + "/" if is_dir else entry.name, entry, is_dir))
    named.sort(key=lambda item: item[0])
    for _, entry, is_dir in named:
        relative = base + entry.name
        if sets.ignores(relative, is_dir):
            continue
        path = os.path.join(inside, entry.name) if inside else entry.name
        if is_dir:
            inner = sets.entering(entry.path, relative + "/", notes)
            yield from _walk_directory(root, path, inner, relative + "/", notes, skipped)
        elif not (entry.is_symlink() and os.path.isdir(entry.path)):
            yield os.path.join(root, path)
