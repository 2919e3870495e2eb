"""The ``velmorrow`` command line: embed files, show the scan configuration, list the
native core's capabilities."""

from __future__ import annotations

import argparse
import contextlib
import importlib.util
import json
import os
import secrets
import signal
import sys
import threading
from collections import deque
from collections.abc import Collection, Iterable, Iterator, Mapping, Sequence
from concurrent.futures import Future, ThreadPoolExecutor
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, TextIO

import velmorrow
from velmorrow._walk import Notes, check_ignore_mode, walk

if TYPE_CHECKING:
    from velmorrow.sparse import SparseEmbeddingService, SparseResult

PROG = "velmorrow"
CORE_MODULE = "velmorrow_core_py"
NO_CORE_MESSAGE = f"no native core is installed ({CORE_MODULE} cannot be imported)"
# A NUL byte this early means the file is not text.
BINARY_PROBE_BYTES = 8192
# A batch closes at this many characters even when it has fewer texts than the batch size.
BATCH_CHARS = 4 * 1024 * 1024
PROGRESS_SIZE = os.terminal_size((80, 24))


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


def _check_paths(paths: Sequence[str]) -> dict[str, dict[str, object]]:
    """Fails before any output for a missing path or unusable settings; returns the scan
    configuration of every directory argument."""
    for path in paths:
        if path != "-" and not os.path.exists(path):
            raise CliError(f"{path}: no such file or directory")
    configs: dict[str, dict[str, object]] = {}
    for path in paths:
        if path != "-" and os.path.isdir(path) and path not in configs:
            config = _build_scan_config(path)
            try:
                check_ignore_mode(config)
            except ValueError as error:
                raise CliError(str(error)) from None
            configs[path] = config
    return configs


def read_text(path: str, notes: Notes) -> tuple[str | None, int]:
    """The file's text and size in bytes; the text is None (after a note) when the file
    cannot be read or is not UTF-8 text."""
    try:
        with open(path, "rb") as file:
            data = file.read()
    except OSError as error:
        notes(f"skipped {path}: {error.strerror or error}")
        return None, 0
    if b"\0" in data[:BINARY_PROBE_BYTES]:
        notes(f"skipped {path}: binary file")
        return None, len(data)
    try:
        return data.decode("utf-8"), len(data)
    except UnicodeDecodeError:
        notes(f"skipped {path}: not UTF-8 text")
        return None, len(data)


@dataclass
class Item:
    """One input: its source name, its text (None when skipped) and its size in bytes."""

    source: str
    text: str | None
    size: int


def iter_inputs(
    paths: Sequence[str], configs: Mapping[str, Mapping[str, object]], notes: Notes, skip: Collection[str] = ()
) -> Iterator[Item]:
    """Every input of every path argument (files, directories or ``-``), read one at a
    time as the caller asks for it; a walk leaves out the files at ``skip``."""
    for path in paths:
        if path == "-":
            for number, raw in enumerate(sys.stdin.buffer, start=1):
                source = f"<stdin>:{number}"
                try:
                    yield Item(source, raw.decode("utf-8").rstrip("\r\n"), len(raw))
                except UnicodeDecodeError:
                    notes(f"skipped {source}: not UTF-8 text")
                    yield Item(source, None, len(raw))
        elif path in configs:
            for file_path in walk(path, configs[path], notes, skip):
                yield Item(file_path, *read_text(file_path, notes))
        else:
            yield Item(path, *read_text(path, notes))


def measure_inputs(
    paths: Sequence[str], configs: Mapping[str, Mapping[str, object]], skip: Collection[str] = ()
) -> tuple[int | None, int | None]:
    """The number of files and of bytes that ``iter_inputs`` will go through, found
    without reading them; neither is known when standard input is among them."""
    if "-" in paths:
        return None, None
    files = size = 0
    for path in paths:
        for file_path in walk(path, configs[path], lambda note: None, skip) if path in configs else [path]:
            files += 1
            try:
                size += os.stat(file_path).st_size
            except OSError:
                pass
    return files, size


@dataclass
class Batch:
    """Texts for one call to the native core, and the inputs (skipped ones too) consumed
    since the previous batch, for the progress display."""

    sources: list[str] = field(default_factory=list)
    texts: list[str] = field(default_factory=list)
    chars: int = 0
    files: int = 0
    size: int = 0


def make_batches(items: Iterable[Item], batch_size: int, batch_chars: int | None = None) -> Iterator[Batch]:
    """Groups the texts into batches of at most ``batch_size`` texts; a batch also closes
    once it holds ``batch_chars`` (default ``BATCH_CHARS``) characters, which bounds the
    memory of one batch."""
    if batch_chars is None:
        batch_chars = BATCH_CHARS
    batch = Batch()
    for item in items:
        batch.files += 1
        batch.size += item.size
        if item.text is not None:
            batch.sources.append(item.source)
            batch.texts.append(item.text)
            batch.chars += len(item.text)
            if len(batch.texts) >= batch_size or batch.chars >= batch_chars:
                yield batch
                batch = Batch()
    if batch.files:
        yield batch


class Progress:
    """Files and bytes done out of the total, with rate and time left, on a terminal."""

    def __init__(self, stream: TextIO, files: int | None, size: int | None) -> None:
        from tqdm import tqdm  # type: ignore[import-untyped, unused-ignore]

        self.stream = stream
        self.total_files = files
        self.files = 0
        self._tqdm = tqdm
        try:
            sized = all(os.get_terminal_size(stream.fileno()))
        except (OSError, ValueError):
            sized = False
        self.bar = tqdm(
            total=size,
            file=stream,
            unit="B",
            unit_scale=True,
            unit_divisor=1024,
            # A terminal that reports no size (some pseudo-terminals do) would get no bar.
            dynamic_ncols=sized,
            ncols=None if sized else PROGRESS_SIZE.columns,
            nrows=None if sized else PROGRESS_SIZE.lines,
            postfix=self._postfix(),
        )

    def _postfix(self) -> str:
        if self.total_files is None:
            return f"{self.files} files"
        return f"{self.files}/{self.total_files} files"

    def note(self, text: str) -> None:
        # Clears the bar, writes the line and draws the bar again below it.
        self._tqdm.write(text, file=self.stream)

    def advance(self, files: int, size: int) -> None:
        self.files += files
        self.bar.set_postfix_str(self._postfix(), refresh=False)
        self.bar.update(size)

    def close(self) -> None:
        self.bar.close()


def embed_batches(
    service: SparseEmbeddingService,
    batches: Iterable[Batch],
    jobs: int,
    out: TextIO,
    progress: Progress | None = None,
) -> None:
    """Embeds the batches, ``jobs`` at a time on a thread pool, and writes their records in
    batch order. At most ``jobs`` batches wait for the core while the next one is read, so
    memory is bounded by the batch size and not by the input."""

    def finish(batch: Batch, results: list[SparseResult]) -> None:
        # One write per batch keeps output fast for large trees.
        out.write("".join(json_line(source, result) for source, result in zip(batch.sources, results)))
        if progress is not None:
            progress.advance(batch.files, batch.size)

    if jobs == 1:
        for batch in batches:
            finish(batch, service.embed_batch(batch.texts))
        return
    pool = ThreadPoolExecutor(max_workers=jobs, thread_name_prefix="velmorrow-embed")
    pending: deque[tuple[Batch, Future[list[SparseResult]]]] = deque()
    try:
        for batch in batches:
            if len(pending) >= jobs:
                done, future = pending.popleft()
                finish(done, future.result())
            pending.append((batch, pool.submit(service.embed_batch, batch.texts)))
        while pending:
            done, future = pending.popleft()
            finish(done, future.result())
    finally:
        pool.shutdown(wait=True, cancel_futures=True)


class Terminated(BaseException):
    """SIGTERM, raised so that an unfinished output file is removed on the way out."""


def _terminate(signum: int, frame: object) -> None:
    raise Terminated


@contextlib.contextmanager
def atomic_output(path: str) -> Iterator[tuple[TextIO, str]]:
    """A text file, and its temporary path, that replaces ``path`` only once the block has
    finished; on any failure or interruption nothing is left behind, and an existing file
    stays as it was."""
    if os.path.isdir(path):
        raise CliError(f"{path}: is a directory")
    directory, name = os.path.split(os.path.abspath(path))
    temporary = os.path.join(directory, f".{name}.{secrets.token_hex(4)}.tmp")
    try:
        # The mode lets the umask decide, as for a file that the shell creates.
        descriptor = os.open(temporary, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o666)
    except OSError as error:
        raise CliError(f"{path}: {error.strerror or error}") from None
    try:
        with open(descriptor, "w", encoding="utf-8", newline="\n") as file:
            yield file, temporary
            file.flush()
            os.fsync(file.fileno())
        os.replace(temporary, path)
    except BaseException:
        with contextlib.suppress(OSError):
            os.unlink(temporary)
        raise


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
    configs = _check_paths(args.paths)
    # A walk over the output's own directory must not read the output.
    skip = set() if args.output is None else {args.output}
    progress = None
    if sys.stderr.isatty():
        progress = Progress(sys.stderr, *measure_inputs(args.paths, configs, skip))

    def notes(text: str) -> None:
        if progress is not None:
            progress.note(text)
        else:
            print(text, file=sys.stderr)

    try:
        if args.output is None:
            batches = make_batches(iter_inputs(args.paths, configs, notes), args.batch_size)
            embed_batches(service, batches, args.jobs, sys.stdout, progress)
            return 0
        # Only the main thread may set a handler (main() can run on any thread).
        handling = threading.current_thread() is threading.main_thread()
        if handling:
            previous = signal.signal(signal.SIGTERM, _terminate)
        try:
            with atomic_output(args.output) as (out, temporary):
                skip.add(temporary)
                batches = make_batches(iter_inputs(args.paths, configs, notes, skip), args.batch_size)
                embed_batches(service, batches, args.jobs, out, progress)
        finally:
            if handling:
                signal.signal(signal.SIGTERM, signal.SIG_DFL if previous is None else previous)
        return 0
    finally:
        if progress is not None:
            progress.close()


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


def _cpu_count() -> int:
    try:
        return len(os.sched_getaffinity(0))
    except AttributeError:  # not on every platform
        return os.cpu_count() or 1


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
            "original_chars and used_chars. A file is one text; a directory is walked in "
            "sorted path order as git walks it: .gitignore files and .git/info/exclude "
            "(with the default ignore_mode), .velmorrowignore files, and the built-in and "
            "extra ignore patterns at its root; '-' reads standard input, one text per "
            "line. Unreadable, binary and non-UTF-8 files are skipped with a note on "
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
    embed.add_argument(
        "-j",
        "--jobs",
        type=_positive_int,
        default=_cpu_count(),
        metavar="N",
        help="batches embedded at the same time; the output is the same for any N (default: %(default)s, the CPUs)",
    )
    embed.add_argument(
        "-o",
        "--output",
        metavar="FILE",
        help="write to FILE, which appears only once the run has finished",
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
    except Terminated:
        return 143
