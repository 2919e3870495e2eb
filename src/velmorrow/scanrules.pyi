"""
Unified scan configuration builder for the ignore matcher.

Provides a single helper that all Python consumers (pipeline, watcher,
relationships) use to construct ScanConfigV2 payloads for the Rust
ignore-matcher-based scanner.
"""

from pathlib import Path as Path

from velmorrow.config import Settings

settings: Settings

# The root goes through str(), so a plain string path works as well as a Path.
def build_scan_config(repo_path: Path | str) -> dict[str, object]:
    """Build a scan config dict for the Rust ignore matcher.

    Args:
        repo_path: Absolute path to the repository root.

    Returns:
        Dict ready for JSON serialization and passing to Rust scan APIs.

    Raises:
        RuntimeError: If ``builtin_ignore_replace`` is True but the Rust
            extension lacks the ``IgnoreBuiltinReplace`` capability.
    """

# doctest collection table; always empty.
__test__: dict[str, object]
