"""Application settings read by velmorrow's extension modules.

``settings`` is a plain object whose attributes the application (and tests) may assign
at any time; the extension modules read them at the moment of use. Each attribute starts
from its default, or from the environment variable ``VELMORROW_<NAME>`` (upper case) when
that is set at import time.
"""

from __future__ import annotations

import json
import os
from collections.abc import Callable, Mapping
from typing import Any

__all__ = ["DEFAULTS", "Settings", "SettingsError", "settings"]

ENV_PREFIX = "VELMORROW_"

#: The built-in ignore patterns: version-control metadata, caches, build output and
#: binary artefacts that never hold source worth embedding.
BUILTIN_IGNORE_PATTERNS: tuple[str, ...] = (
    ".git/",
    ".hg/",
    ".svn/",
    "node_modules/",
    "__pycache__/",
    ".venv/",
    "venv/",
    ".mypy_cache/",
    ".pytest_cache/",
    ".tox/",
    "build/",
    "dist/",
    "target/",
    "*.pyc",
    "*.pyo",
    "*.so",
    "*.dylib",
    "*.dll",
    "*.exe",
    "*.o",
    "*.a",
    "*.class",
    "*.jar",
    "*.zip",
    "*.tar",
    "*.gz",
    "*.png",
    "*.jpg",
    "*.jpeg",
    "*.gif",
    "*.pdf",
    "*.lock",
)

#: Default value of every setting.
DEFAULTS: dict[str, Any] = {
    # Version tag of the tokenisation profile; it labels cached vectors.
    "sparse_profile_version": "v1",
    # Longest text, in characters, that the native core embeds; longer texts are truncated.
    "sparse_max_text_chars": 20000,
    # Split camelCase and snake_case identifiers before weighting.
    "code_pretokenize": True,
    # Replace the built-in ignore patterns instead of extending them (needs the native
    # core's "ignore_builtin_replace" capability).
    "builtin_ignore_replace": False,
    "builtin_ignore_patterns": BUILTIN_IGNORE_PATTERNS,
    "extra_ignore_patterns": (),
    # "git+velmorrow" honours .gitignore and .velmorrowignore; "velmorrow" only the latter.
    "ignore_mode": "git+velmorrow",
}


class SettingsError(ValueError):
    """A settings value from the environment could not be understood."""


def _parse_bool(text: str) -> bool:
    lowered = text.strip().lower()
    if lowered in {"1", "true", "yes", "on"}:
        return True
    if lowered in {"0", "false", "no", "off"}:
        return False
    raise ValueError("expected one of 1/0, true/false, yes/no, on/off")


def _parse_int(text: str) -> int:
    value = int(text.strip())
    if value < 0:
        raise ValueError("expected a non-negative integer")
    return value


def _parse_patterns(text: str) -> tuple[str, ...]:
    stripped = text.strip()
    if stripped.startswith("["):
        value = json.loads(stripped)
        if not isinstance(value, list) or not all(isinstance(item, str) for item in value):
            raise ValueError("expected a JSON array of strings")
        return tuple(value)
    return tuple(part for part in (piece.strip() for piece in stripped.split(",")) if part)


def _parse_str(text: str) -> str:
    return text


_PARSERS: dict[str, Callable[[str], Any]] = {
    "sparse_profile_version": _parse_str,
    "sparse_max_text_chars": _parse_int,
    "code_pretokenize": _parse_bool,
    "builtin_ignore_replace": _parse_bool,
    "builtin_ignore_patterns": _parse_patterns,
    "extra_ignore_patterns": _parse_patterns,
    "ignore_mode": _parse_str,
}


class Settings:
    """The settings object: plain attributes, assignable at any time."""

    sparse_profile_version: str | None
    sparse_max_text_chars: int
    code_pretokenize: bool
    builtin_ignore_replace: bool
    builtin_ignore_patterns: tuple[str, ...]
    extra_ignore_patterns: tuple[str, ...]
    ignore_mode: str

    def __init__(self, environ: Mapping[str, str] | None = None, **overrides: Any) -> None:
        unknown = set(overrides) - set(DEFAULTS)
        if unknown:
            raise TypeError(f"unknown settings: {', '.join(sorted(unknown))}")
        environ = os.environ if environ is None else environ
        for name, default in DEFAULTS.items():
            value = default
            variable = ENV_PREFIX + name.upper()
            if variable in environ:
                try:
                    value = _PARSERS[name](environ[variable])
                except ValueError as error:
                    raise SettingsError(
                        f"{variable}={environ[variable]!r} is not a valid value: {error}"
                    ) from None
            setattr(self, name, overrides.get(name, value))

    def as_dict(self) -> dict[str, Any]:
        """The current value of every setting."""
        return {name: getattr(self, name) for name in DEFAULTS}

    def __repr__(self) -> str:
        fields = ", ".join(f"{name}={value!r}" for name, value in self.as_dict().items())
        return f"Settings({fields})"


settings = Settings()
