"""Shared fixtures: the extension modules keep process-wide state, so every test that
rebinds a module global gets it back afterwards."""

from __future__ import annotations

import importlib
import json
import os
import subprocess
import sys
import textwrap
import types
from collections.abc import Callable, Iterator
from typing import Any

import pytest


def _restoring(name: str) -> Iterator[types.ModuleType]:
    module = importlib.import_module(name)
    saved = dict(vars(module))
    try:
        yield module
    finally:
        # Rebuilt in the saved order, so that namespace order survives the test too.
        namespace = vars(module)
        namespace.clear()
        namespace.update(saved)


@pytest.fixture
def sparse() -> Iterator[types.ModuleType]:
    """velmorrow.sparse, with its globals put back after the test."""
    yield from _restoring("velmorrow.sparse")


@pytest.fixture
def featuregate() -> Iterator[types.ModuleType]:
    """velmorrow.featuregate, with its globals (the capability cache) put back."""
    yield from _restoring("velmorrow.featuregate")


@pytest.fixture
def scanrules() -> Iterator[types.ModuleType]:
    """velmorrow.scanrules, with its globals put back after the test."""
    yield from _restoring("velmorrow.scanrules")


class FakeCore(types.ModuleType):
    """A stand-in for the native core that records its calls and answers as told."""

    def __init__(self, answer: Any = None, batch_answer: Any = None, handshake: Any = None) -> None:
        super().__init__("velmorrow_core_py")
        self.calls: list[tuple[str, tuple[Any, ...]]] = []
        self.answer = answer if answer is not None else json.dumps({"indices": [1], "values": [0.5]})
        self.batch_answer = batch_answer
        self.handshake_answer = handshake if handshake is not None else json.dumps({"capabilities": []})

    def sparse_embed_single(self, *args: Any) -> Any:
        self.calls.append(("sparse_embed_single", args))
        return self.answer() if callable(self.answer) else self.answer

    def sparse_embed_batch(self, *args: Any) -> Any:
        self.calls.append(("sparse_embed_batch", args))
        if self.batch_answer is not None:
            return self.batch_answer() if callable(self.batch_answer) else self.batch_answer
        texts = json.loads(args[0])
        return json.dumps({"embeddings": [{"indices": [i], "values": [1.0]} for i, _ in enumerate(texts)]})

    def handshake(self, *args: Any) -> Any:
        self.calls.append(("handshake", args))
        answer = self.handshake_answer
        if isinstance(answer, BaseException):
            raise answer
        return answer() if callable(answer) else answer


@pytest.fixture
def fake_core() -> type[FakeCore]:
    return FakeCore


class RecordingSettings:
    """A settings object that records every attribute read, in order."""

    def __init__(self, **values: Any) -> None:
        object.__setattr__(self, "_values", values)
        object.__setattr__(self, "reads", [])

    def __getattr__(self, name: str) -> Any:
        self.reads.append(name)
        values = object.__getattribute__(self, "_values")
        if name not in values:
            raise AttributeError(name)
        value = values[name]
        if isinstance(value, BaseException):
            raise value
        return value

    def __setattr__(self, name: str, value: Any) -> None:
        self._values[name] = value


DEFAULT_SETTINGS: dict[str, Any] = {
    "sparse_profile_version": "v1",
    "sparse_max_text_chars": 1000,
    "code_pretokenize": True,
    "builtin_ignore_replace": False,
    "builtin_ignore_patterns": (".git/", "*.pyc"),
    "extra_ignore_patterns": ("*.log",),
    "ignore_mode": "git+velmorrow",
}


@pytest.fixture
def recording_settings() -> Callable[..., RecordingSettings]:
    """Makes a RecordingSettings with the usual values, overridden by keyword."""

    def make(**overrides: Any) -> RecordingSettings:
        return RecordingSettings(**{**DEFAULT_SETTINGS, **overrides})

    return make


def run_python(
    code: str, *args: str, check: bool = True, env: dict[str, str] | None = None
) -> subprocess.CompletedProcess[str]:
    """Runs `code` in a fresh interpreter, for load behaviour that is process-wide.
    `env` adds to (or overrides) the environment."""
    result = subprocess.run(
        [sys.executable, *args, "-c", textwrap.dedent(code)],
        capture_output=True,
        text=True,
        timeout=120,
        env=None if env is None else {**os.environ, **env},
    )
    if check and result.returncode != 0:
        raise AssertionError(f"subprocess failed ({result.returncode}):\n{result.stdout}\n{result.stderr}")
    return result


@pytest.fixture
def python() -> Callable[..., subprocess.CompletedProcess[str]]:
    return run_python
