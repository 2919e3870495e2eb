"""The ``velmorrow`` command line: embed files, show the scan configuration, list the
native core's capabilities."""

from __future__ import annotations

import argparse
import contextlib
import errno
import importlib.util
import io
import json
import os
import re
import signal
import stat
import sys
import threading
from collections import deque
from collections.abc import Callable, Collection, Iterable, Iterator, Mapping, Sequence
from concurrent.futures import Future, ThreadPoolExecutor
from dataclasses import dataclass, field
from typing import IO, TYPE_CHECKING, Any, TextIO

import orjson

import velmorrow
from velmorrow._walk import check_ignore_mode, walk

if TYPE_CHECKING:
    from velmorrow.sparse import SparseEmbeddingService, SparseResult

PROG = "velmorrow"
CORE_MODULE = "velmorrow_core_py"
NO_CORE_MESSAGE = f"no native core is installed ({CORE_MODULE} cannot be imported)"
# A NUL byte this early means the file is not text.
BINARY_PROBE_BYTES = 8192
# A batch closes at this many characters even when it has fewer texts than the batch size.
BATCH_CHARS = 4 * 1024 * 1024
# Files (and lines of standard input) above this many bytes are skipped unread.
DEFAULT_MAX_FILE_SIZE = 10 * 1024 * 1024
PROGRESS_SIZE = os.terminal_size((80, 24))
STDOUT_NAME = "standard output"


class CliError(Exception):
    """A problem the user can fix; reported as one line, never as a traceback."""


class OutputError(CliError):
    """Writing the output failed; on standard output, what is still buffered is dropped."""

    def __init__(self, message: str, on_stdout: bool) -> None:
        super().__init__(message)
        self.on_stdout = on_stdout


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
        config = build_scan_config(os.path.abspath(root))
    except RuntimeError as error:  # the native core lacks a capability the settings need
        raise CliError(str(error)) from None
    try:
        check_ignore_mode(config)
    except ValueError as error:
        raise CliError(str(error)) from None
    return config


def _check_paths(paths: Sequence[str]) -> dict[str, dict[str, object]]:
    """Fails before any output for a missing path or unusable settings; returns the scan
    configuration of every directory argument."""
    for path in paths:
        if path != "-" and not os.path.exists(path):
            raise CliError(f"{quote_name(path)}: no such file or directory")
    configs: dict[str, dict[str, object]] = {}
    for path in paths:
        if path != "-" and os.path.isdir(path) and path not in configs:
            configs[path] = _build_scan_config(path)
    return configs


# Bytes that a name cannot show as they are: controls (C0, DEL, C1), the bytes that are not
# UTF-8 (which os.fsdecode turns into lone surrogates), and a leading double quote, which
# marks a quoted name.
_NEEDS_QUOTING = re.compile('^"|[\x00-\x1f\x7f-\x9f\udc80-\udcff]')
_C_ESCAPES = {"\a": "\\a", "\b": "\\b", "\t": "\\t", "\n": "\\n", "\v": "\\v", "\f": "\\f", "\r": "\\r",
              '"': '\\"', "\\": "\\\\"}


def quote_name(name: str) -> str:
    """``name`` as it is when it is printable UTF-8; otherwise in double quotes with C
    escapes: ``\\\\``, ``\\"``, ``\\n`` and the like, and three octal digits for any other
    byte of a control or of a byte that is not UTF-8. Quoted or not, a name is one line and
    valid UTF-8, and its bytes can be recovered exactly (``unquote_name``)."""
    if _NEEDS_QUOTING.search(name) is None:
        return name
    parts = ['"']
    for char in name:
        if char in _C_ESCAPES:
            parts.append(_C_ESCAPES[char])
        elif "\udc80" <= char <= "\udcff":
            parts.append(f"\\{ord(char) - 0xDC00:03o}")
        elif char <= "\x1f" or "\x7f" <= char <= "\x9f":
            parts.extend(f"\\{byte:03o}" for byte in char.encode("utf-8"))
        else:
            parts.append(char)
    parts.append('"')
    return "".join(parts)


_UNESCAPES = {value[1]: key for key, value in _C_ESCAPES.items()}


def unquote_name(text: str) -> bytes:
    """The bytes of the name that ``quote_name`` wrote as ``text``."""
    if not text.startswith('"'):
        return os.fsencode(text)
    out = bytearray()
    index = 1
    while index < len(text) - 1:
        char = text[index]
        if char != "\\":
            out += char.encode("utf-8")
            index += 1
        elif text[index + 1] in _UNESCAPES:
            out += _UNESCAPES[text[index + 1]].encode()
            index += 2
        else:
            out.append(int(text[index + 1 : index + 4], 8))
            index += 4
    return bytes(out)


Notes = Callable[[str], None]


@dataclass
class Item:
    """One input: its source name (quoted for display), its text (None when skipped), its
    size in bytes, and whether it is a line of standard input or a file named as an
    argument."""

    source: str
    text: str | None
    size: int
    line: bool = False
    named: bool = False


class Reader:
    """Reads the inputs, each at most ``limit`` bytes, and never one of ``excluded`` (the
    (device, inode) pairs of the command's own output)."""

    def __init__(self, notes: Notes, limit: int = DEFAULT_MAX_FILE_SIZE, excluded: Collection[tuple[int, int]] = ()) -> None:
        self.notes = notes
        self.limit = limit
        self.excluded = excluded

    def _too_large(self, source: str) -> None:
        self.notes(f"skipped {source}: larger than {self.limit} bytes (--max-file-size)")

    def read(self, path: str, named: bool = False) -> Item | None:
        """The file at ``path``, or None when it is the command's own output. A file is
        read once into a buffer of its size and decoded once, so it costs its size twice
        at most (for text of one byte per character) while it is read."""
        source = quote_name(path)
        try:
            with open(path, "rb", buffering=0) as file:
                status = os.fstat(file.fileno())
                if (status.st_dev, status.st_ino) in self.excluded:
                    return None
                if stat.S_ISDIR(status.st_mode):
                    raise IsADirectoryError(errno.EISDIR, os.strerror(errno.EISDIR))
                expected = status.st_size if stat.S_ISREG(status.st_mode) else 0
                if expected > self.limit:
                    self._too_large(source)
                    return Item(source, None, expected, named=named)
                data = self._read_all(file, expected)
        except OSError as error:
            self.notes(f"skipped {source}: {error.strerror or error}")
            return Item(source, None, 0, named=named)
        if data is None:
            self._too_large(source)
            return Item(source, None, self.limit + 1, named=named)
        size = len(data)
        if data.find(b"\0", 0, BINARY_PROBE_BYTES) >= 0:
            self.notes(f"skipped {source}: binary file")
            return Item(source, None, size, named=named)
        try:
            text = data.decode("utf-8")
        except UnicodeDecodeError:
            self.notes(f"skipped {source}: not UTF-8 text")
            return Item(source, None, size, named=named)
        return Item(source, text, size, named=named)

    def _read_all(self, file: io.RawIOBase, expected: int) -> bytearray | None:
        # One byte more than the size shows a file that grew, or a pipe, which grows the
        # buffer as it goes; None once it passes the limit.
        data = bytearray(expected + 1)
        filled = 0
        while True:
            if filled == len(data):
                if filled > self.limit:
                    return None
                data.extend(bytes(min(max(filled, 65536), self.limit + 1 - filled)))
            with memoryview(data) as view:
                count = file.readinto(view[filled:])
            if not count:
                break
            filled += count
        del data[filled:]
        return data

    def lines(self, stream: IO[bytes]) -> Iterator[Item]:
        """Standard input, one text per line; a line above the limit is skipped, and
        only that much of it is ever held."""
        number = 0
        while raw := stream.readline(self.limit + 1):
            number += 1
            source = f"<stdin>:{number}"
            if len(raw) > self.limit and not raw.endswith(b"\n"):
                size = len(raw)
                while raw and not raw.endswith(b"\n"):  # the rest of the line, a piece at a time
                    raw = stream.readline(65536)
                    size += len(raw)
                self._too_large(source)
                yield Item(source, None, size, line=True)
                continue
            try:
                yield Item(source, raw.decode("utf-8").rstrip("\r\n"), len(raw), line=True)
            except UnicodeDecodeError:
                self.notes(f"skipped {source}: not UTF-8 text")
                yield Item(source, None, len(raw), line=True)


def iter_inputs(
    paths: Sequence[str], configs: Mapping[str, Mapping[str, object]], reader: Reader, skip: Collection[str] = ()
) -> Iterator[Item]:
    """Every input of every path argument (files, directories or ``-``), read one at a
    time as the caller asks for it; a walk leaves out the files at ``skip``."""
    for path in paths:
        if path == "-":
            yield from reader.lines(sys.stdin.buffer)
            continue
        if path in configs:
            found: Iterable[str] = walk(path, configs[path], reader.notes, skip)
        else:
            found = [path]
        for file_path in found:
            item = reader.read(file_path, named=path not in configs)
            if item is not None:
                yield item


@dataclass
class Batch:
    """Texts for one call to the native core, with their source names."""

    sources: list[str] = field(default_factory=list)
    texts: list[str] = field(default_factory=list)
    chars: int = 0


def make_batches(items: Iterable[Item], batch_size: int, batch_chars: int | None = None) -> Iterator[Batch]:
    """Groups the texts into batches of at most ``batch_size`` texts; a batch also closes
    once it holds ``batch_chars`` (default ``BATCH_CHARS``) characters, which bounds the
    memory of one batch."""
    if batch_chars is None:
        batch_chars = BATCH_CHARS
    batch = Batch()
    for item in items:
        if item.text is not None:
            batch.sources.append(item.source)
            batch.texts.append(item.text)
            batch.chars += len(item.text)
            if len(batch.texts) >= batch_size or batch.chars >= batch_chars:
                yield batch
                batch = Batch()
    if batch.texts:
        yield batch


class Progress:
    """Files (or lines) and bytes read so far, with the rate, on a terminal; sizes and
    rate in decimal units (kB, MB, MB/s). There is no total: finding it would take a
    walk of its own before the first file is read."""

    def __init__(self, stream: TextIO) -> None:
        from tqdm import tqdm  # type: ignore[import-untyped, unused-ignore]

        self.stream = stream
        self.files = self.lines = 0
        self._tqdm = tqdm
        try:
            sized = all(os.get_terminal_size(stream.fileno()))
        except (OSError, ValueError):
            sized = False
        self.bar = tqdm(
            file=stream,
            unit="B",
            unit_scale=True,
            unit_divisor=1000,
            # A terminal that reports no size (some pseudo-terminals do) would get no bar.
            dynamic_ncols=sized,
            ncols=None if sized else PROGRESS_SIZE.columns,
            nrows=None if sized else PROGRESS_SIZE.lines,
            postfix=self._postfix(),
        )

    def _postfix(self) -> str:
        shown = [f"{self.files} files"] if self.files or not self.lines else []
        if self.lines:
            shown.append(f"{self.lines} lines")
        return ", ".join(shown)

    def note(self, text: str) -> None:
        # Clears the bar, writes the line and draws the bar again below it.
        self._tqdm.write(text, file=self.stream)

    def advance(self, item: Item) -> None:
        if item.line:
            self.lines += 1
        else:
            self.files += 1
        self.bar.set_postfix_str(self._postfix(), refresh=False)
        self.bar.update(item.size)

    def close(self) -> None:
        self.bar.close()


# orjson writes numbers as Python's repr does, except for these: exponents (1e-7 against
# 1e-07), 1e-5 <= |x| < 1e-4 in positional form, non-finite numbers as null. Strings,
# objects and booleans are never in a vector; json writes any list that shows one.
_ORJSON_DIFFERS = (b"e", b"n", b"0.0000", b'"', b"{")


def encode_numbers(values: object) -> bytes:
    """``json.dumps(values)``, encoded, for a list of numbers; several times faster."""
    try:
        encoded: bytes = orjson.dumps(values)
    except TypeError:
        return json.dumps(values).encode()
    for mark in _ORJSON_DIFFERS:
        if mark in encoded:
            return json.dumps(values).encode()
    return encoded.replace(b",", b", ")


def _encode_scalar(value: object) -> bytes:
    if value is None:
        return b"null"
    if value is True:
        return b"true"
    if value is False:
        return b"false"
    if type(value) is int:
        return b"%d" % value
    return json.dumps(value).encode()


# What json.dumps does with a str under its default options.
_encode_string: Callable[[str], str] = json.encoder.encode_basestring_ascii


def record_line(source: str, result: SparseResult, truncated: object = None, original_chars: object = None) -> bytes:
    """``json.dumps`` of the record, and a newline, as UTF-8; ``truncated`` and
    ``original_chars`` replace the result's own when given."""
    if truncated is None:
        truncated, original_chars = result.truncated, result.original_chars
    return b"".join(
        (
            b'{"source": ',
            _encode_string(source).encode() if type(source) is str else json.dumps(source).encode(),
            b', "indices": ',
            encode_numbers(result.indices),
            b', "values": ',
            encode_numbers(result.values),
            b', "truncated": ',
            _encode_scalar(truncated),
            b', "original_chars": ',
            _encode_scalar(original_chars),
            b', "used_chars": ',
            _encode_scalar(result.used_chars),
            b"}\n",
        )
    )


class Embedder:
    """Embeds one batch and encodes its records, on whichever thread calls it.

    The core reads only the first ``max_chars`` characters of a text, so a longer text is
    sent as that prefix, and the record gets the length of the whole text. That holds when
    the core's answer for the prefix says so (not truncated, all of it used); any other
    answer has the whole text embedded instead."""

    def __init__(self, service: SparseEmbeddingService, max_chars: int | None) -> None:
        self.service = service
        self.max_chars = max_chars

    def __call__(self, batch: Batch) -> bytes:
        limit = self.max_chars
        texts = batch.texts
        sent = texts if limit is None else [text if len(text) <= limit else text[:limit] for text in texts]
        results = self.service.embed_batch(sent)
        lines = []
        for source, text, prefix, result in zip(batch.sources, texts, sent, results):
            if prefix is text:
                lines.append(record_line(source, result))
            elif result.truncated is False and result.original_chars == result.used_chars == len(prefix):
                lines.append(record_line(source, result, True, len(text)))
            else:
                lines.append(record_line(source, self.service.embed_batch([text])[0]))
        return b"".join(lines)


def _max_text_chars(service: SparseEmbeddingService) -> int | None:
    try:
        limit = json.loads(service._profile_json)["max_text_chars"]  # type: ignore[attr-defined]
    except (AttributeError, TypeError, ValueError, KeyError):
        return None
    return limit if type(limit) is int and limit >= 0 else None


class Sink:
    """Where the records go, as bytes; a failed write is one ``velmorrow:`` line."""

    def __init__(self, stream: IO[Any], name: str, on_stdout: bool) -> None:
        self.name = name
        self.on_stdout = on_stdout
        binary = getattr(stream, "buffer", None)
        if binary is None and not isinstance(stream, io.TextIOBase):
            binary = stream
        if binary is not None:
            stream.flush()
            self._write = binary.write
        else:  # a text stream without bytes below it (a test's StringIO)
            self._write = lambda data: stream.write(bytes(data).decode()) and len(data)

    def write(self, data: bytes) -> None:
        try:
            # A write can take only part (up to a file size limit, say); the next one
            # then reports why.
            with memoryview(data) as view:
                done = 0
                while done < len(view):
                    written = self._write(view[done:])
                    if not written:
                        raise OSError(errno.EIO, "the output takes no more")
                    done += written
        except BrokenPipeError:
            raise
        except OSError as error:
            raise OutputError(f"{self.name}: {error.strerror or error}", self.on_stdout) from None


def embed_batches(embedder: Callable[[Batch], bytes], batches: Iterable[Batch], jobs: int, sink: Sink) -> None:
    """Embeds and encodes the batches, ``jobs`` at a time on a thread pool, and writes
    them in batch order. At most ``jobs`` batches wait for the core while the next one is
    read, so memory is bounded by the batch size and not by the input."""
    if jobs == 1:
        for batch in batches:
            sink.write(embedder(batch))
        return
    pool = ThreadPoolExecutor(max_workers=jobs, thread_name_prefix="velmorrow-embed")
    pending: deque[Future[bytes]] = deque()
    try:
        for batch in batches:
            if len(pending) >= jobs:
                sink.write(pending.popleft().result())
            pending.append(pool.submit(embedder, batch))
        while pending:
            sink.write(pending.popleft().result())
    finally:
        pool.shutdown(wait=True, cancel_futures=True)


class Terminated(BaseException):
    """SIGTERM, raised so that an unfinished output file is removed on the way out."""


def _terminate(signum: int, frame: object) -> None:
    raise Terminated


def _identity(status: os.stat_result) -> tuple[int, int]:
    return status.st_dev, status.st_ino


def check_output_path(path: str) -> os.stat_result | None:
    """The status of ``path`` when it is a regular file that may be written, None when it
    is missing; anything else (a link, a FIFO, a device, a read-only file) is refused, as
    replacing it would destroy it."""
    shown = quote_name(path)
    try:
        status = os.lstat(path)
    except FileNotFoundError:
        return None
    except OSError as error:
        raise CliError(f"{shown}: {error.strerror or error}") from None
    mode = status.st_mode
    if stat.S_ISDIR(mode):
        raise CliError(f"{shown}: is a directory")
    if stat.S_ISLNK(mode):
        kind = "a symbolic link"
    elif stat.S_ISFIFO(mode):
        kind = "a FIFO"
    elif stat.S_ISCHR(mode) or stat.S_ISBLK(mode):
        kind = "a device"
    elif not stat.S_ISREG(mode):
        kind = "not a regular file"
    # Root may write anything; a file without write permission still counts as read-only.
    elif not mode & 0o222 or not os.access(path, os.W_OK):
        kind = "a read-only file"
    else:
        return status
    raise CliError(f"{shown}: is {kind}; --output replaces only a regular file that may be written")


@contextlib.contextmanager
def atomic_output(path: str) -> Iterator[tuple[IO[bytes], str]]:
    """A binary file, and its temporary path, that replaces ``path`` only once the block
    has finished; on any failure or interruption nothing is left behind, and an existing
    file stays as it was. ``path`` must be missing or a regular file that may be written."""
    shown = quote_name(path)
    existing = check_output_path(path)
    directory, name = os.path.split(os.path.abspath(path))
    temporary = os.path.join(directory, f".{name}.{os.urandom(4).hex()}.tmp")
    try:
        # The mode lets the umask decide, as for a file that the shell creates.
        descriptor = os.open(temporary, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_CLOEXEC, 0o666)
    except OSError as error:
        raise CliError(f"{shown}: {error.strerror or error}") from None
    try:
        try:
            if existing is not None:  # the new file keeps the old one's permissions
                os.fchmod(descriptor, stat.S_IMODE(existing.st_mode))
            file = open(descriptor, "wb")
        except BaseException:
            os.close(descriptor)
            raise
        with file:
            yield file, temporary
            file.flush()
            os.fsync(file.fileno())
        # Whatever took the name meanwhile is not replaced either.
        check_output_path(path)
        os.replace(temporary, path)
    except OSError as error:
        with contextlib.suppress(OSError):
            os.unlink(temporary)
        raise OutputError(f"{shown}: {error.strerror or error}", False) from None
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


class Reporter:
    """The notes on standard error (above the progress bar, if any): each skipped input;
    when quiet, only how many were skipped, once at the end."""

    def __init__(self, quiet: bool, progress: Progress | None) -> None:
        self.quiet = quiet
        self.progress = progress
        self.skipped = 0

    def show(self, text: str) -> None:
        if self.progress is not None:
            self.progress.note(text)
        else:
            print(text, file=sys.stderr)

    def __call__(self, text: str) -> None:
        if text.startswith("skipped "):
            self.skipped += 1
        if not self.quiet:
            self.show(text)

    def summary(self) -> None:
        if self.quiet and self.skipped:
            self.show(f"{self.skipped} input{'s' if self.skipped != 1 else ''} skipped")


def _stdout_identity() -> tuple[int, int] | None:
    """Standard output's file, when it is a regular file (``> vectors.jsonl``)."""
    try:
        status = os.fstat(sys.stdout.fileno())
    except (OSError, ValueError, AttributeError, io.UnsupportedOperation):
        return None
    return _identity(status) if stat.S_ISREG(status.st_mode) else None


def command_embed(args: argparse.Namespace) -> int:
    service = _sparse_service()
    configs = _check_paths(args.paths)
    if args.output is not None:
        check_output_path(args.output)
    # A walk over the output's own directory must not read the output.
    skip = set() if args.output is None else {args.output}
    excluded: set[tuple[int, int]] = set()
    if (identity := _stdout_identity()) is not None:
        excluded.add(identity)
    progress = Progress(sys.stderr) if sys.stderr.isatty() else None
    reporter = Reporter(args.quiet, progress)
    reader = Reader(reporter, args.max_file_size, excluded)
    embedder = Embedder(service, _max_text_chars(service))
    failed_named = False

    def inputs() -> Iterator[Item]:
        nonlocal failed_named
        for item in iter_inputs(args.paths, configs, reader, skip):
            if item.text is None and item.named:
                failed_named = True
            if progress is not None:
                progress.advance(item)
            yield item

    try:
        if args.output is None:
            batches = make_batches(inputs(), args.batch_size)
            embed_batches(embedder, batches, args.jobs, Sink(sys.stdout, STDOUT_NAME, True))
            try:
                sys.stdout.flush()
            except BrokenPipeError:
                raise
            except OSError as error:
                raise OutputError(f"{STDOUT_NAME}: {error.strerror or error}", True) from None
        else:
            # Only the main thread may set a handler (main() can run on any thread).
            handling = threading.current_thread() is threading.main_thread()
            if handling:
                previous = signal.signal(signal.SIGTERM, _terminate)
            try:
                with atomic_output(args.output) as (out, temporary):
                    skip.add(temporary)
                    excluded.add(_identity(os.fstat(out.fileno())))
                    with contextlib.suppress(FileNotFoundError):
                        excluded.add(_identity(os.stat(args.output)))
                    batches = make_batches(inputs(), args.batch_size)
                    embed_batches(embedder, batches, args.jobs, Sink(out, quote_name(args.output), False))
            finally:
                if handling:
                    signal.signal(signal.SIGTERM, signal.SIG_DFL if previous is None else previous)
    finally:
        if progress is not None:
            progress.close()
    reporter.summary()
    return 1 if failed_named else 0


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


_SIZE_UNITS = {"": 1, "K": 1024, "M": 1024**2, "G": 1024**3}


def _size(text: str) -> int:
    match = re.fullmatch(r"([0-9]+)([KMG]?)(?:i?B)?", text.strip(), re.IGNORECASE)
    if match is None:
        raise argparse.ArgumentTypeError(f"invalid size: {text!r}")
    value = int(match[1]) * _SIZE_UNITS[match[2].upper()]
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be at least 1 byte, got {text!r}")
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
            "line. Unreadable, binary, non-UTF-8 and too large inputs are skipped with a "
            "note on standard error; a skipped file named as a PATH makes the exit status 1."
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
        help=(
            "write to FILE, which appears only once the run has finished; FILE must be missing "
            "or a regular file that may be written"
        ),
    )
    embed.add_argument(
        "--max-file-size",
        type=_size,
        default=DEFAULT_MAX_FILE_SIZE,
        metavar="SIZE",
        help="skip files (and lines of standard input) above SIZE bytes; K, M and G suffixes are KiB, MiB and GiB (default: 10M)",
    )
    embed.add_argument(
        "-q",
        "--quiet",
        action="store_true",
        help="no note for each skipped input, only their count at the end",
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


def _drop_stdout() -> None:
    # What is still buffered cannot be written; the interpreter's final flush must not
    # try again and print a traceback.
    with contextlib.suppress(OSError, ValueError, AttributeError, io.UnsupportedOperation):
        descriptor = sys.stdout.fileno()
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, descriptor)
        os.close(devnull)


def main(argv: list[str] | None = None) -> int:
    """Runs the command line with ``argv`` (default: ``sys.argv[1:]``); returns the exit
    status."""
    args = build_parser().parse_args(argv)
    try:
        status: int = args.run(args)
        sys.stdout.flush()
        return status
    except CliError as error:
        if isinstance(error, OutputError) and error.on_stdout:
            _drop_stdout()
        print(f"{PROG}: {error}", file=sys.stderr)
        return 1
    except BrokenPipeError:
        # The reader went away (`| head`).
        _drop_stdout()
        return 1
    except KeyboardInterrupt:
        return 130
    except Terminated:
        return 143
