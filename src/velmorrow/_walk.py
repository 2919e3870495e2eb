"""The file list behind ``velmorrow embed``: which files a directory argument yields, and
in what order.

Three sets of ignore rules are judged separately, and a path that any of them ignores is
left out: git's own (``.gitignore`` files, ``info/exclude`` and the global excludes file,
when the scan configuration's ``use_gitignore`` is true), ``.velmorrowignore`` files at
every level, and the built-in and extra patterns as one ignore file at the walked
directory.

Inside a git work tree git itself lists the files (``git ls-files``), so git's set is
git's by construction: tracked files, the global excludes file, nested repositories and
submodules, and every pattern rule. Elsewhere, or without git, a walk of our own follows
git's rules, and a note says so. The other two sets are ours in both cases, matched with
git's wildmatch rules by the matcher below.
"""

from __future__ import annotations

import functools
import os
import re
import stat
import subprocess
from collections.abc import Callable, Collection, Iterator, Mapping, Sequence
from dataclasses import dataclass

GITIGNORE = ".gitignore"
VELMORROWIGNORE = ".velmorrowignore"
GIT_DIR = ".git"
IGNORE_MODES = ("git+velmorrow", "velmorrow")
# The git program; tests point it elsewhere to reach the walk without git.
GIT_COMMAND = "git"

Notes = Callable[[str], None]


# -- git's pattern rules --------------------------------------

_UTF8_BOM = b"\xef\xbb\xbf"
_SLASH = ord("/")
_BACKSLASH = ord("\\")


def _trim_trailing_spaces(line: bytes) -> bytes:
    """Drops trailing blanks unless a backslash escapes them (tabs stay, as in git)."""
    last_space = None
    i, n = 0, len(line)
    while i < n:
        c = line[i]
        if c == 0x20:
            if last_space is None:
                last_space = i
        elif c == _BACKSLASH:
            i += 1
            if i == n:
                return line
            last_space = None
        else:
            last_space = None
        i += 1
    return line if last_space is None else line[:last_space]


def ignore_lines(data: bytes) -> list[bytes]:
    """The pattern lines of an ignore file's bytes, read as git reads them: a leading byte
    order mark, comments and empty lines go, a carriage return before the line feed goes
    before unescaped trailing blanks do."""
    data = data.removeprefix(_UTF8_BOM)
    lines = []
    for line in data.split(b"\n"):
        if not line or line.startswith(b"#"):
            continue
        line = _trim_trailing_spaces(line.removesuffix(b"\r"))
        if line:
            lines.append(line)
    return lines


def _ascii(test: Callable[[int], bool]) -> frozenset[int]:
    return frozenset(c for c in range(128) if test(c))


_DIGIT = _ascii(lambda c: 0x30 <= c <= 0x39)
_UPPER = _ascii(lambda c: 0x41 <= c <= 0x5A)
_LOWER = _ascii(lambda c: 0x61 <= c <= 0x7A)
_GRAPH = _ascii(lambda c: 0x21 <= c <= 0x7E)
_CLASSES: dict[bytes, frozenset[int]] = {
    b"alnum": _DIGIT | _UPPER | _LOWER,
    b"alpha": _UPPER | _LOWER,
    b"blank": frozenset(b" \t"),
    b"cntrl": _ascii(lambda c: c < 0x20 or c == 0x7F),
    b"digit": _DIGIT,
    b"graph": _GRAPH,
    b"lower": _LOWER,
    b"print": _GRAPH | {0x20},
    b"punct": _GRAPH - _DIGIT - _UPPER - _LOWER,
    # git's own notion of space: no vertical tab, no form feed.
    b"space": frozenset(b" \t\n\r"),
    b"upper": _UPPER,
    b"xdigit": _DIGIT | frozenset(b"abcdefABCDEF"),
}


class _NeverMatches(Exception):
    """A pattern that git gives up on (an unclosed bracket, an unknown class name, a
    trailing backslash) matches no path."""


def _bracket(pattern: bytes, i: int) -> tuple[bytes, int]:
    """The expression of the bracket expression whose ``[`` precedes ``i``, and the index
    after its ``]``. Ranges and classes are taken as git's matcher takes them: the first
    member may be ``]``, a reversed range adds only its first end, a backslash escapes."""
    n = len(pattern)
    negated = i < n and pattern[i] in b"!^"
    if negated:
        i += 1
    members: set[int] = set()
    previous = 0
    while True:
        if i >= n:
            raise _NeverMatches
        c = pattern[i]
        if c == _BACKSLASH:
            i += 1
            if i >= n:
                raise _NeverMatches
            c = pattern[i]
            members.add(c)
        elif c == 0x2D and previous and i + 1 < n and pattern[i + 1] != 0x5D:
            i += 1
            high = pattern[i]
            if high == _BACKSLASH:
                i += 1
                if i >= n:
                    raise _NeverMatches
                high = pattern[i]
            members.update(range(previous, high + 1))
            c = 0
        elif c == 0x5B and i + 1 < n and pattern[i + 1] == 0x3A:
            start = i + 2
            end = pattern.find(b"]", start)
            if end < 0:
                raise _NeverMatches
            if end - start - 1 < 0 or pattern[end - 1] != 0x3A:
                members.add(c)  # no ":]": the "[" is an ordinary member
            else:
                try:
                    members.update(_CLASSES[pattern[start : end - 1]])
                except KeyError:
                    raise _NeverMatches from None
                c = 0
                i = end
        else:
            members.add(c)
        previous = c
        i += 1
        if i < n and pattern[i] == 0x5D:
            break
    if negated:
        members = set(range(256)) - members
    members.discard(_SLASH)
    if not members:
        return b"(?!)", i + 1
    return b"[" + b"".join(b"\\x%02x" % c for c in sorted(members)) + b"]", i + 1


def translate(pattern: bytes) -> bytes:
    """A regular expression over a path's bytes that matches in full what git's wildmatch
    matches with ``pattern`` (``*`` and ``?`` stay inside one path component, ``**``
    between slashes spans any number of them). Raises ``_NeverMatches``."""
    out: list[bytes] = []
    i, n = 0, len(pattern)
    while i < n:
        c = pattern[i]
        if c == _BACKSLASH:
            if i + 1 >= n:
                raise _NeverMatches
            out.append(re.escape(pattern[i + 1 : i + 2]))
            i += 2
        elif c == 0x3F:  # ?
            out.append(b"[^/]")
            i += 1
        elif c == 0x2A:  # *
            j = i
            while j < n and pattern[j] == 0x2A:
                j += 1
            rest = pattern[j:]
            if j - i > 1 and (i == 0 or pattern[i - 1] == _SLASH):
                if rest.startswith(b"/"):  # "**/": no directory, or any number of them
                    out.append(b"(?:.*/)?")
                    i = j + 1
                    continue
                if not rest or rest.startswith(b"\\/"):
                    out.append(b".*")
                    i = j
                    continue
            out.append(b"[^/]*")
            i = j
        elif c == 0x5B:  # [
            expression, i = _bracket(pattern, i + 1)
            out.append(expression)
        else:
            out.append(re.escape(pattern[i : i + 1]))
            i += 1
    return b"".join(out)


_GLOB_SPECIAL = re.compile(rb"[*?\[\\]")


@dataclass(frozen=True)
class Rule:
    """One pattern line: whether a match ignores (or, negated, re-includes), whether it
    speaks of directories only, and how it matches. A pattern without a slash matches the
    last component at any depth (its ``literal`` name or ``suffix`` where it is that
    simple); any other matches the whole path below its file's directory."""

    ignores: bool
    directory_only: bool
    basename: bool
    expression: bytes
    literal: bytes | None = None
    suffix: bytes | None = None


def compile_rule(line: bytes) -> Rule | None:
    """The rule of one pattern line, or None for one that matches nothing."""
    ignores = not line.startswith(b"!")
    body = line if ignores else line[1:]
    directory_only = body.endswith(b"/")
    if directory_only:
        body = body[:-1]
    if not body:
        return None
    basename = b"/" not in body
    try:
        expression = translate(body if basename or not body.startswith(b"/") else body[1:])
    except _NeverMatches:
        return None
    if basename and not _GLOB_SPECIAL.search(body):
        return Rule(ignores, directory_only, basename, expression, literal=body)
    if basename and body.startswith(b"*") and not _GLOB_SPECIAL.search(body, 1):
        return Rule(ignores, directory_only, basename, expression, suffix=body[1:])
    return Rule(ignores, directory_only, basename, expression)


class _Alternatives:
    """Rules that each match a whole string, as one expression whose alternatives run from
    the last rule to the first: the group that matches names the last matching rule."""

    def __init__(self, numbered: Sequence[tuple[int, Rule]]) -> None:
        ordered = list(reversed(numbered))
        source = b"|".join(b"(" + rule.expression + b")" for _, rule in ordered)
        self.expression = re.compile(source, re.DOTALL) if ordered else None
        self.numbers = [number for number, _ in ordered]

    def last(self, text: bytes, start: int = 0) -> int:
        if self.expression is None:
            return -1
        match = self.expression.fullmatch(text, start)
        return -1 if match is None else self.numbers[match.lastindex - 1]  # type: ignore[operator]


class _Kind:
    """The rules of one ignore file that apply to files, or to directories."""

    def __init__(self, numbered: Sequence[tuple[int, Rule]]) -> None:
        self.literals: dict[bytes, int] = {}
        suffixes = []
        for number, rule in numbered:
            if rule.literal is not None:
                self.literals[rule.literal] = number  # the last line wins
            elif rule.suffix is not None:
                suffixes.append((rule.suffix, number))
        self.suffixes = suffixes
        self.any_suffix = tuple(suffix for suffix, _ in suffixes)
        general = [(n, rule) for n, rule in numbered if rule.literal is None and rule.suffix is None]
        self.basenames = _Alternatives([(n, rule) for n, rule in general if rule.basename])
        self.paths = _Alternatives([(n, rule) for n, rule in general if not rule.basename])

    def last(self, relative: bytes, start: int) -> int:
        """The number of the last rule that matches ``relative[start:]``, or -1."""
        name = relative[relative.rfind(b"/") + 1 :]  # the base ends with a slash
        number = self.literals.get(name, -1)
        if self.any_suffix and name.endswith(self.any_suffix):
            number = max([number, *(n for suffix, n in self.suffixes if name.endswith(suffix))])
        return max(number, self.basenames.last(name), self.paths.last(relative, start))


class Matcher:
    """The rules of one ignore file, compiled once: in it the last matching line decides."""

    def __init__(self, rules: Sequence[Rule]) -> None:
        numbered = list(enumerate(rules))
        self.ignores = [rule.ignores for rule in rules]
        self.files = _Kind([(n, rule) for n, rule in numbered if not rule.directory_only])
        self.directories = _Kind(numbered)

    def decide(self, relative: bytes, start: int, is_dir: bool) -> bool | None:
        """Whether the file ignores the path ``relative[start:]`` below its directory, or
        None when no line matches."""
        number = (self.directories if is_dir else self.files).last(relative, start)
        return None if number < 0 else self.ignores[number]


@functools.lru_cache(maxsize=512)
def compile_ignore_file(data: bytes) -> Matcher | None:
    """The matcher of an ignore file's bytes, or None when no line can match; cached, so
    equal files (and the same settings on every run) are compiled once."""
    rules = [rule for rule in map(compile_rule, ignore_lines(data)) if rule is not None]
    return Matcher(rules) if rules else None


def read_ignore_file(path: str, notes: Notes, follow: bool = False) -> Matcher | None:
    """The matcher of the ignore file at ``path``. A file inside the tree that is a
    symbolic link is refused, as git refuses it, with a note; one that is not a regular
    file (a FIFO would block) is not read."""
    flags = os.O_RDONLY | getattr(os, "O_NONBLOCK", 0) | (0 if follow else getattr(os, "O_NOFOLLOW", 0))
    try:
        descriptor = os.open(path, flags)
    except FileNotFoundError:
        return None
    except OSError as error:
        notes(f"skipped {path}: {'symbolic link' if os.path.islink(path) else error.strerror or error}")
        return None
    try:
        with open(descriptor, "rb") as file:
            if not stat.S_ISREG(os.fstat(file.fileno()).st_mode):
                return None
            data = file.read()
    except OSError as error:
        notes(f"skipped {path}: {error.strerror or error}")
        return None
    return compile_ignore_file(data)


@dataclass(frozen=True)
class Level:
    """The matcher of one ignore file, which speaks of paths below ``base`` (b"" or
    b"dir/")."""

    base: bytes
    matcher: Matcher


def decide(levels: Sequence[Level], relative: bytes, is_dir: bool) -> bool:
    """Whether one set of ignore files ignores ``relative`` (a path below the top, no
    trailing slash): the nearest file with a matching line decides, and in that file the
    last matching line."""
    for level in reversed(levels):
        if relative.startswith(level.base):
            verdict = level.matcher.decide(relative, len(level.base), is_dir)
            if verdict is not None:
                return verdict
    return False


# -- where things are --------------------------------------------------------------------


def find_git_top(directory: str) -> tuple[str, str | None]:
    """The top of the work tree holding ``directory`` and its git directory, or
    ``(directory, None)`` outside a repository; for the walk without git."""
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


def global_excludes_path() -> str | None:
    """git's default global excludes file (the walk without git reads no git config, so
    ``core.excludesFile`` is git's to honour)."""
    config_home = os.environ.get("XDG_CONFIG_HOME")
    if config_home:
        return os.path.join(config_home, "git", "ignore")
    home = os.environ.get("HOME")
    return os.path.join(home, ".config", "git", "ignore") if home else None


def check_ignore_mode(config: Mapping[str, object]) -> None:
    mode = config["ignore_mode"]
    if mode not in IGNORE_MODES:
        expected = " or ".join(repr(known) for known in IGNORE_MODES)
        raise ValueError(f"ignore_mode={mode!r} is not a known mode: expected {expected}")


def _root_patterns(config: Mapping[str, object]) -> bytes:
    patterns: list[str] = list(config["extra_patterns"])  # type: ignore[call-overload]
    if not config["replace_builtin_patterns"]:
        patterns = list(config["builtin_patterns"]) + patterns  # type: ignore[call-overload]
    return b"".join(os.fsencode(pattern) + b"\n" for pattern in patterns)


# -- the files of one walk ---------------------------------------------------------------


_REGULAR, _LINK, _DIRECTORY, _OTHER = range(4)


class _Admission:
    """Which listed paths are files to read: regular files, and symbolic links to regular
    files inside the walked directory. Nothing outside it is read. The kinds of files come
    from one scan of each directory, not from a call per file."""

    def __init__(self, root: str, notes: Notes, skip: Collection[str]) -> None:
        self.root = root
        self.notes = notes
        self.inside = os.path.join(os.path.realpath(root), "")
        self.kinds: dict[str, dict[str, tuple[int, int]] | None] = {}
        # The command's own output is known by its identity, whatever name it is reached by.
        self.skip: set[tuple[int, int]] = set()
        for path in skip:
            try:
                status = os.stat(path)
            except OSError:
                continue
            self.skip.add((status.st_dev, status.st_ino))
        self.skip_inodes = {inode for _, inode in self.skip}

    def _kinds(self, directory: str) -> dict[str, tuple[int, int]] | None:
        """The kind and inode of each name in ``directory``, or None when the way to it
        passes a symbolic link (a tracked path below a directory since replaced by one)."""
        if directory in self.kinds:
            return self.kinds[directory]
        kinds: dict[str, tuple[int, int]] | None = {}
        if directory:
            parent, _, name = directory.rpartition("/")
            above = self._kinds(parent)
            if above is None or above.get(name, (_OTHER, 0))[0] != _DIRECTORY:
                kinds = None
        if kinds is not None:
            path = os.path.join(self.root, directory) if directory else self.root
            try:
                with os.scandir(path) as scan:
                    for entry in scan:
                        if entry.is_symlink():
                            kind = _LINK
                        elif entry.is_file(follow_symlinks=False):
                            kind = _REGULAR
                        elif entry.is_dir(follow_symlinks=False):
                            kind = _DIRECTORY
                        else:
                            kind = _OTHER
                        kinds[entry.name] = (kind, entry.inode())
            except OSError as error:
                self.notes(f"skipped {path}: {error.strerror or error}")
        self.kinds[directory] = kinds
        return kinds

    def admit(self, relative: str) -> str | None:
        path = os.path.join(self.root, relative)
        directory, _, name = relative.rpartition("/")
        if directory not in self.kinds:
            # Paths come in sorted order, so a directory's files come together: only the
            # scans on the way to this one are needed again.
            self.kinds = {
                known: kinds
                for known, kinds in self.kinds.items()
                if not known or directory.startswith(known) and directory[len(known) : len(known) + 1] in ("", "/")
            }
        kinds = self._kinds(directory)
        if kinds is not None:
            kind, inode = kinds.get(name, (_OTHER, 0))
            if kind == _REGULAR:
                if inode in self.skip_inodes and self._skipped(path):
                    return None
                return path
            if kind != _LINK:  # gone (tracked, deleted), a directory (a submodule), a FIFO
                return None
        return self._admit_link(path)

    def _skipped(self, path: str) -> bool:
        try:
            status = os.stat(path)
        except OSError:
            return True
        return (status.st_dev, status.st_ino) in self.skip

    def _admit_link(self, path: str) -> str | None:
        try:
            os.lstat(path)
            target = os.path.realpath(path, strict=True)
        except FileNotFoundError:
            if not os.path.lexists(path):
                return None
            # A dangling link is listed as git lists it; reading it says what is wrong.
            target = os.path.realpath(path)
            if target.startswith(self.inside):
                return path
        except OSError as error:  # a loop of links
            self.notes(f"skipped {path}: {error.strerror or error}")
            return None
        if target == self.inside[:-1]:  # a link to the walked directory itself
            return None
        if not target.startswith(self.inside):
            self.notes(f"skipped {path}: symbolic link to a path outside {self.root}")
            return None
        try:
            status = os.stat(target)
        except OSError as error:
            self.notes(f"skipped {path}: {error.strerror or error}")
            return None
        # Never a link to a directory, a device or a FIFO.
        if not stat.S_ISREG(status.st_mode) or (status.st_dev, status.st_ino) in self.skip:
            return None
        return path


class WalkFailed(Exception):
    """git could not list the directory; the message says why."""


def _run_git(directory: str, *args: str | bytes) -> subprocess.Popen[bytes]:
    return subprocess.Popen(
        [GIT_COMMAND, *args],
        cwd=directory,
        stdin=subprocess.DEVNULL,
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
    )


def _finish(process: subprocess.Popen[bytes], notes: Notes | None = None) -> bytes:
    out, err = process.communicate()
    lines = os.fsdecode(err).strip().splitlines()
    if process.returncode != 0:
        # The reason, not the hints that follow it ("detected dubious ownership", say).
        fatal = [line.removeprefix("fatal: ") for line in lines if line.startswith("fatal: ")]
        raise WalkFailed((fatal or lines or [f"git exited with status {process.returncode}"])[0])
    if notes is not None:
        # What git warns about (an ignore file that is a symbolic link, say) is told too.
        for line in lines:
            notes(f"git: {line}")
    return out


def git_place(directory: str) -> tuple[str, bytes]:
    """The top of the work tree holding ``directory``, and the directory's place below it
    (b"" or b"dir/"). Raises ``WalkFailed``."""
    try:
        process = _run_git(directory, "rev-parse", "--is-inside-work-tree", "--show-cdup", "--show-prefix")
    except OSError as error:
        raise WalkFailed("git is not installed" if isinstance(error, FileNotFoundError) else str(error)) from None
    try:
        out = _finish(process)
    except WalkFailed as error:
        raise WalkFailed("not a git work tree" if "not a git repository" in str(error) else str(error)) from None
    if not out.startswith(b"true\n"):
        raise WalkFailed("not a git work tree")
    # "../../" holds no line feed; the prefix, a path, may.
    cdup, _, prefix = out[len(b"true\n") : -1].partition(b"\n")
    return os.path.normpath(os.path.join(os.path.realpath(directory), os.fsdecode(cdup))), prefix


def _escape_glob(text: bytes) -> bytes:
    return re.sub(rb"([\\*?\[])", rb"\\\1", text)


def git_list(directory: str, prefix: bytes, use_gitignore: bool, notes: Notes) -> list[bytes]:
    """The paths below ``directory`` (at ``prefix`` in its work tree), relative to it, that
    ``git ls-files --cached --others`` lists, with git's ignore rules when
    ``use_gitignore``: sorted by bytes, as git sorts them. Raises ``WalkFailed``."""
    # The directory was named on the command line: it and the way to it are walked even
    # where an ignore file above leaves them out. Command-line patterns come first in
    # git's order, so these re-include them; paths below still meet every rule.
    walked: list[bytes] = []
    parts = prefix.split(b"/")[:-1]
    for count in range(1, len(parts) + 1):
        walked += [b"-x", b"!/" + _escape_glob(b"/".join(parts[:count])) + b"/"]
    standard = ["--exclude-standard"] if use_gitignore else []
    listed = _finish(_run_git(directory, "ls-files", "-z", "--cached", "--others", *standard, *walked), notes)
    # A nested repository is listed as "name/" and is not walked; a file can be listed
    # twice (tracked in several merge stages).
    return sorted({path for path in listed.split(b"\0") if path and not path.endswith(b"/")})


# -- our own rule sets, and the walk without git -------------------------------------------


class IgnoreSets:
    """The three sets of ignore rules, as a stack of levels each, for one directory."""

    def __init__(
        self, uses: tuple[bool, bool], sets: tuple[tuple[Level, ...], tuple[Level, ...], tuple[Level, ...]]
    ) -> None:
        self.uses = uses  # whether .gitignore files, and .velmorrowignore files, count
        self.sets = sets

    def entering(self, directory: str, base: bytes, notes: Notes) -> IgnoreSets:
        """The sets inside ``directory``, whose paths below the top start with ``base``."""
        git, own, patterns = self.sets
        use_gitignore, use_velmorrowignore = self.uses
        if use_gitignore:
            matcher = read_ignore_file(os.path.join(directory, GITIGNORE), notes)
            if matcher is not None:
                git = (*git, Level(base, matcher))
        if use_velmorrowignore:
            matcher = read_ignore_file(os.path.join(directory, VELMORROWIGNORE), notes)
            if matcher is not None:
                own = (*own, Level(base, matcher))
        return IgnoreSets(self.uses, (git, own, patterns))

    def ignores(self, relative: bytes, is_dir: bool) -> bool:
        return any(decide(levels, relative, is_dir) for levels in self.sets if levels)


def sets_at(
    root: str, top: str, prefix: bytes, use_gitignore: bool, config: Mapping[str, object], notes: Notes
) -> IgnoreSets:
    """The rule sets inside ``root``, which lies at ``prefix`` below ``top``: the ignore
    files above it count, and the patterns of the settings speak of its paths."""
    git: tuple[Level, ...] = ()
    if use_gitignore:
        # The global file is checked after info/exclude, and both after every .gitignore.
        _, git_dir = find_git_top(top)
        for path in (global_excludes_path(), git_dir and info_exclude_path(git_dir)):
            matcher = read_ignore_file(path, notes, follow=True) if path else None
            if matcher is not None:
                git = (*git, Level(b"", matcher))
    patterns = compile_ignore_file(_root_patterns(config))
    uses = (use_gitignore, bool(config["use_velmorrowignore"]))
    sets = IgnoreSets(uses, (git, (), () if patterns is None else (Level(prefix, patterns),)))
    directory, base = top, b""
    for part in prefix.split(b"/")[:-1]:
        # The root was named on the command line, so it and the way to it are walked even
        # where an ignore file above would leave them out.
        sets = sets.entering(directory, base, notes)
        directory, base = os.path.join(directory, os.fsdecode(part)), base + part + b"/"
    return sets.entering(root, prefix, notes)


class _Judge:
    """Our own rule sets applied to a list of paths below the root: each directory's sets
    are built once, and a directory they ignore leaves out everything below it."""

    def __init__(self, root: str, prefix: bytes, sets: IgnoreSets, notes: Notes) -> None:
        self.root = root
        self.prefix = prefix
        self.notes = notes
        self.states: dict[bytes, IgnoreSets | None] = {b"": sets}

    def _state(self, directory: bytes) -> IgnoreSets | None:
        state = self.states.get(directory, self)
        if state is not self:
            return state  # type: ignore[return-value]
        parent = directory.rpartition(b"/")[0]
        above = self._state(parent)
        relative = self.prefix + directory
        if above is None or above.ignores(relative, True):
            state = None
        else:
            state = above.entering(os.path.join(self.root, os.fsdecode(directory)), relative + b"/", self.notes)
        self.states[directory] = state
        return state

    def keeps(self, relative: bytes) -> bool:
        state = self._state(relative.rpartition(b"/")[0])
        return state is not None and not state.ignores(self.prefix + relative, False)


def own_walk(root: str, config: Mapping[str, object], notes: Notes) -> Iterator[str]:
    """The paths below ``root``, relative to it, that the walk without git keeps, in
    sorted order of their bytes."""
    absolute = os.path.abspath(root)
    top, git_dir = find_git_top(absolute)
    # The root's own place below the top: ignore files above it still speak of its paths.
    prefix = b"" if top == absolute else os.fsencode(os.path.relpath(absolute, top)).replace(b"\\", b"/") + b"/"
    sets = sets_at(absolute, top, prefix, bool(config["use_gitignore"]), config, notes)
    # Inside a work tree git stops at a nested repository; outside one there is no outer
    # repository to stop.
    yield from _walk_directory(root, "", sets, prefix, notes, git_dir is not None)


def _walk_directory(
    root: str, inside: str, sets: IgnoreSets, base: bytes, notes: Notes, stop_at_repositories: bool
) -> Iterator[str]:
    directory = os.path.join(root, inside) if inside else root
    try:
        with os.scandir(directory) as scan:
            entries = list(scan)
    except OSError as error:
        notes(f"skipped {directory}: {error.strerror or error}")
        return
    # A directory sorts as its name and a slash, so the whole walk runs in path order.
    named: list[tuple[bytes, os.DirEntry[str], bool]] = []
    for entry in entries:
        if entry.name == GIT_DIR:
            continue
        try:
            is_dir = entry.is_dir(follow_symlinks=False)
        except OSError:
            continue
        name = os.fsencode(entry.name)
        named.append((name + b"/" if is_dir else name, entry, is_dir))
    named.sort(key=lambda item: item[0])
    for key, entry, is_dir in named:
        relative = base + key.removesuffix(b"/")
        if sets.ignores(relative, is_dir):
            continue
        path = os.path.join(inside, entry.name) if inside else entry.name
        if is_dir:
            if stop_at_repositories and os.path.lexists(os.path.join(entry.path, GIT_DIR)):
                continue
            inner = sets.entering(entry.path, relative + b"/", notes)
            yield from _walk_directory(root, path, inner, relative + b"/", notes, stop_at_repositories)
        else:
            yield path


def _listed_by_git(root: str, config: Mapping[str, object], notes: Notes) -> Iterator[str]:
    """git's list, with our own two rule sets on top. Raises ``WalkFailed`` before it
    yields anything."""
    top, prefix = git_place(root)
    listed = git_list(root, prefix, bool(config["use_gitignore"]), notes)

    def kept() -> Iterator[str]:
        judge = _Judge(root, prefix, sets_at(root, top, prefix, False, config, notes), notes)
        for path in listed:
            if judge.keeps(path):
                yield os.fsdecode(path)

    return kept()


def walk(root: str, config: Mapping[str, object], notes: Notes, skip: Collection[str] = ()) -> Iterator[str]:
    """Yields the files below ``root`` that the scan configuration keeps, as paths joined
    onto ``root`` exactly as it was given, in sorted order of their paths. The files in
    ``skip`` (the command's own output, by whatever name) are left out too."""
    check_ignore_mode(config)
    admission = _Admission(root, notes, skip)
    relatives: Iterator[str]
    try:
        relatives = _listed_by_git(root, config, notes)
    except WalkFailed as reason:
        notes(f"walked {root} without git: {reason}")
        relatives = own_walk(root, config, notes)
    for relative in relatives:
        path = admission.admit(relative)
        if path is not None:
            yield path
