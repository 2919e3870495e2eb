"""
Capability enforcement for the Rust core extension.

Reads handshake() once and caches the result. Entry points call
require_capability() to fail fast when a needed capability is missing.
"""

import json as json
import logging as logging

logger: logging.Logger
# None until the first handshake; any set (even an empty one) is final.
_cached_capabilities: set[str] | None

def _load_capabilities() -> set[str]: ...
def require_capability(name: str, context: str) -> None:
    """Raise RuntimeError if the named capability is not available."""

# doctest collection table; always empty.
__test__: dict[str, object]
