"""The ``velmorrow`` command line: embed files, show the scan configuration, list the
native core's capabilities."""

from __future__ import annotations

import argparse
import fnmatch
import importlib.util
import json
import os
import sys
from collections.abc import Iterator, Sequence
from typing import TYPE_CHECKING, TextIO, cast

import velmorrow

if TYPE_CHECKING:
    from velmorrow.sparse import SparseEmbeddingService, SparseResult

PROG = "velmorrow"
CORE_MODULE = "velmorrow_core_py"
NO_CORE_MESSAGE = f"no native core is installed ({CORE_MODULE} cannot be imported)"
# A NUL byte this early means the file is not text.
BINARY_PROBE_BYTES = 8192
PROGRESS_WIDTH = 20


class CliError(Exception):
    """A problem the user can fix; reported as one line, never as a traceback."""


def _load_settings() -> None:
    # A malformed VELMORROW_* variable fails the import of velmorrow.config; importing it
    # first, on its own, tells that apart from every other import failure.
    try:
        import velmorrow.config  # noqa: F401
    except ValueError as error:
        raise CliError(str(error)) from None


def _build_scan_config(root: str) -> dict[str, object]:
    _load_settings()
    from velmorrow.scanrules import build_scan_config

    try:
        return build_scan_config(os.path.abspath(root))
    except RuntimeError as error:  # the native core lacks a capability the settings need
        raise CliError(str(error)) from None


class IgnoreRules:
    """The scan configuration's ignore patterns, applied to paths relative to a root."""

    def __init__(self, config: dict[str, object]) -> None:
        patterns = cast("list[str]", config["extra_patterns"])
        if not config["replace_builtin_patterns"]:
            patterns = cast("list[str]", config["builtin_patterns"]) + patterns
        # "name/" matches directories only; any other pattern matches files and directories.
        self.file_patterns = [p for p in patterns if not p.endswith("/")]
        self.directory_patterns = [p.rstrip("/") for p in patterns]

    @staticmethod
    def _matches(patterns: list[str], relative: str, name: str) -> bool:
        return any(fnmatch.fnmatchcase(name, p) or fnmatch.fnmatchcase(relative, p) for p in patterns)

    def ignores_directory(self, relative: str, name: str) -> bool:
        return self._matches(self.directory_patterns, relative, name)

    def ignores_file(self, relative: str, name: str) -> bool:
        return self._matches(self.file_patterns, relative, name)


def walk_files(root: str) -> Iterator[str]:
    """Yields the files under ``root`` that the scan configuration does not ignore, in
    sorted order, as paths joined onto ``root`` exactly as it was given."""
    rules = IgnoreRules(_build_scan_config(root))
    for directory, dirnames, filenames in os.walk(root):
        relative_dir = os.path.relpath(directory, root)
        prefix = "" if relative_dir == "." else relative_dir.replace(os.sep, "/") + "/"
        # Pruning in place stops os.walk from descending into ignored directories.
        dirnames[:] = sorted(d for d in dirnames if not rules.ignores_directory(prefix + d, d))
        for name in sorted(filenames):
            if not rules.ignores_file(prefix + name, name):
                yield os.path.join(directory, name)


def read_text(path: str, notes: TextIO) -> str | None:
    """The file's text, or None (after a note on ``notes``) when it is not UTF-8 text."""
    try:
        with open(path, "rb") as file:
            data = file.read()
    except OSError as error:
        print(f"skipped {path}: {error.strerror or error}", file=notes)
        return None
    if b"\0" in data[:BINARY_PROBE_BYTES]:
        print(f"skipped {path}: binary file", file=notes)
        return None
    try:
        return data.decode("utf-8")
    except UnicodeDecodeError:
        print(f"skipped {path}: not UTF-8 text", file=notes)
        return None


def collect_texts(paths: Sequence[str], notes: TextIO) -> list[tuple[str, str]]:
    """(source, text) pairs for every path argument: files, directories or ``-``."""
    for path in paths:
        if path != "-" and not os.path.exists(path):
            raise CliError(f"{path}: no such file or directory")
    texts: list[tuple[str, str]] = []
    for path in paths:
        if path == "-":
            for number, raw in enumerate(sys.stdin.buffer, start=1):
                source = f"<stdin>:{number}"
                try:
                    texts.append((source, raw.decode("utf-8").rstrip("\r\n")))
                except UnicodeDecodeError:
                    print(f"skipped {source}: not UTF-8 text", file=notes)
            continue
        for file_path in walk_files(path) if os.path.isdir(path) else [path]:
            text = read_text(file_path, notes)
            if text is not None:
                texts.append((file_path, text))
    return texts


def _sparse_service() -> SparseEmbeddingService:
    _load_settings()
    try:
        from velmorrow.sparse import get_sparse_service
    except ModuleNotFoundError as error:
        if error.name == CORE_MODULE:
            raise CliError(NO_CORE_MESSAGE) from None
        raise
    return get_sparse_service()


def json_line(source: str, result: SparseResult) -> str:
    record = {
        "source": source,
        "indices": result.indices,
        "values": result.values,
        "truncated": result.truncated,
        "original_chars": result.original_chars,
        "used_chars": result.used_chars,
    }
    return json.dumps(record) + "\n"


def command_embed(args: argparse.Namespace) -> int:
    service = _sparse_service()
    texts = collect_texts(args.paths, sys.stderr)
    batch_size: int = args.batch_size
    batch_count = -(-len(texts) // batch_size)
    show_progress = batch_count > 1 and sys.stderr.isatty()
    for done, start in enumerate(range(0, len(texts), batch_size), start=1):
        batch = texts[start : start + batch_size]
        results = service.embed_batch([text for _, text in batch])
        # One write per batch keeps output fast for large trees.
        sys.stdout.write("".join(json_line(source, result) for (source, _), result in zip(batch, results)))
        if show_progress:
            filled = PROGRESS_WIDTH * done // batch_count
            bar = "#" * filled + "." * (PROGRESS_WIDTH - filled)
            sys.stderr.write(f"\r[{bar}] {done}/{batch_count} batches")
            sys.stderr.flush()
    if show_progress:
        sys.stderr.write("\n")
    return 0


def command_scan_config(args: argparse.Namespace) -> int:
    if not os.path.isdir(args.path):
        raise CliError(f"{args.path}: not a directory")
    print(json.dumps(_build_scan_config(args.path), indent=2))
    return 0


def command_capabilities(args: argparse.Namespace) -> int:
    # The gate counts a missing core as "no capabilities"; here that is an error.
    if importlib.util.find_spec(CORE_MODULE) is None:
        raise CliError(NO_CORE_MESSAGE)
    from velmorrow.featuregate import _load_capabilities

    for name in sorted(_load_capabilities()):
        print(name)
    return 0


def _positive_int(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"invalid integer: {text!r}") from None
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be at least 1, got {value}")
    return value


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog=PROG,
        description="Sparse code embeddings and scan configuration through velmorrow's native core.",
        epilog="Settings come from VELMORROW_<NAME> environment variables (see README).",
    )
    parser.add_argument("--version", action="version", version=f"%(prog)s {velmorrow.__version__}")
    commands = parser.add_subparsers(title="commands", dest="command", required=True, metavar="COMMAND")

    embed = commands.add_parser(
        "embed",
        help="embed files, directories or standard input as sparse vectors",
        description=(
            "Embed texts as sparse vectors and write one JSON object per text to standard "
            "output (JSON Lines) with the keys source, indices, values, truncated, "
            "original_chars and used_chars. A file is one text; a directory is walked "
            "with the scan configuration's ignore patterns; '-' reads standard input, "
            "one text per line. Binary and non-UTF-8 files are skipped with a note on "
            "standard error."
        ),
    )
    embed.add_argument("paths", nargs="+", metavar="PATH", help="a file, a directory, or - for standard input")
    embed.add_argument(
        "--batch-size",
        type=_positive_int,
        default=256,
        metavar="N",
        help="texts per call to the native core (default: %(default)s)",
    )
    embed.set_defaults(run=command_embed)

    scan_config = commands.add_parser(
        "scan-config",
        help="print the scan configuration for a repository",
        description=(
            "Print, as indented JSON, the scan configuration that velmorrow hands to the "
            "native core's scanner for the repository at PATH (made absolute), built from "
            "the current settings."
        ),
    )
    scan_config.add_argument("path", metavar="PATH", help="the repository root, a directory")
    scan_config.set_defaults(run=command_scan_config)

    capabilities = commands.add_parser(
        "capabilities",
        help="list the native core's capabilities",
        description="Print the capabilities that the installed native core reports, one per line, sorted.",
    )
    capabilities.set_defaults(run=command_capabilities)
    return parser


def main(argv: list[str] | None = None) -> int:
    """Runs the command line with ``argv`` (default: ``sys.argv[1:]``); returns the exit
    status."""
    args = build_parser().parse_args(argv)
    try:
        status: int = args.run(args)
        sys.stdout.flush()
        return status
    except CliError as error:
        print(f"{PROG}: {error}", file=sys.stderr)
        return 1
    except BrokenPipeError:
        # The reader went away (`| head`); keep the interpreter's final flush quiet.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return 1
    except KeyboardInterrupt:
        return 130
