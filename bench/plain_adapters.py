"""The three adapters written as plain Python, doing the same work as the extension
modules (argument checks included), as the baseline of the benchmark."""

import json
import logging
from dataclasses import dataclass
from pathlib import Path  # noqa: F401  (bound as in the extension module)

from velmorrow.config import settings

velmorrow_core_py = None  # the benchmark installs its fake core here
logger = logging.getLogger(__name__)


def _require_exact(value, expected, name):
    if type(value) is not expected:
        raise TypeError(
            f"Argument '{name}' has incorrect type (expected {expected.__name__}, got {type(value).__name__})"
        )


@dataclass
class SparseResult:
    """Sparse embedding result with plain Python lists."""

    indices: "list[int]"
    values: "list[float]"
    truncated: "bool | None" = None
    original_chars: "int | None" = None
    used_chars: "int | None" = None


class SparseEmbeddingService:
    def __init__(self) -> None:
        self._profile_json = json.dumps(
            {
                "version": settings.sparse_profile_version,
                "max_text_chars": settings.sparse_max_text_chars,
                "code_pretokenize": settings.code_pretokenize,
                "min_token_len": 2,
            }
        )
        logger.info("Sparse embedding: using Rust backend (profile=%s)", settings.sparse_profile_version)

    @property
    def profile_version(self) -> str:
        return settings.sparse_profile_version

    def embed_single(self, text: str) -> SparseResult:
        _require_exact(text, str, "text")
        result_json = velmorrow_core_py.sparse_embed_single(text, self._profile_json)
        result = json.loads(result_json)
        return SparseResult(
            indices=result["indices"],
            values=result["values"],
            truncated=result.get("truncated"),
            original_chars=result.get("original_chars"),
            used_chars=result.get("used_chars"),
        )

    def embed_batch(self, texts: "list[str]") -> "list[SparseResult]":
        _require_exact(texts, list, "texts")
        if not texts:
            return []
        texts_json = json.dumps(texts)
        result_json = velmorrow_core_py.sparse_embed_batch(texts_json, self._profile_json)
        batch = json.loads(result_json)
        results = []
        for e in batch["embeddings"]:
            results.append(
                SparseResult(
                    indices=e["indices"],
                    values=e["values"],
                    truncated=e.get("truncated"),
                    original_chars=e.get("original_chars"),
                    used_chars=e.get("used_chars"),
                )
            )
        return results


_sparse_service = None


def get_sparse_service() -> SparseEmbeddingService:
    global _sparse_service
    if _sparse_service is None:
        _sparse_service = SparseEmbeddingService()
    return _sparse_service


_cached_capabilities = None


def _load_capabilities() -> "set[str]":
    global _cached_capabilities
    if _cached_capabilities is None:
        try:
            resp = json.loads(velmorrow_core_py.handshake())
            _cached_capabilities = set(resp.get("capabilities", []))
        except ImportError:
            _cached_capabilities = set()
    caps = _cached_capabilities
    if type(caps) is not set and caps is not None:
        raise TypeError(f"Expected set, got {type(caps).__name__}")
    return caps


def require_capability(name: str, context: str) -> None:
    _require_exact(name, str, "name")
    _require_exact(context, str, "context")
    caps = _load_capabilities()
    if name in caps:
        return
    raise RuntimeError(
        f"Rust core capability '{name}' required for {context} but not found. "
        f"Available: {sorted(caps)}. Rebuild the Rust extension: maturin develop --release"
    )


def build_scan_config(repo_path: "Path") -> "dict[str, object]":
    if settings.builtin_ignore_replace:
        from plain_adapters import require_capability

        require_capability("ignore_builtin_replace", "builtin_ignore_replace=True")
    return {
        "repo_root": str(repo_path),
        "builtin_patterns": list(settings.builtin_ignore_patterns),
        "extra_patterns": list(settings.extra_ignore_patterns),
        "ignore_mode": settings.ignore_mode,
        "use_gitignore": settings.ignore_mode == "git+velmorrow",
        "use_velmorrowignore": True,
        "replace_builtin_patterns": settings.builtin_ignore_replace,
    }
