"""A typed client of velmorrow's public surface; checked with ``mypy --strict``."""

from __future__ import annotations

import dataclasses
from pathlib import Path
from typing import assert_type

from velmorrow import cli, config
from velmorrow.featuregate import _load_capabilities, require_capability
from velmorrow.scanrules import build_scan_config
from velmorrow.sparse import SparseEmbeddingService, SparseResult, get_sparse_service, reset_sparse_service


def embed_snippets(snippets: list[str]) -> dict[str, list[int]]:
    service = get_sparse_service()
    assert_type(service, SparseEmbeddingService)
    version: str = service.profile_version
    single = service.embed_single(snippets[0])
    assert_type(single, SparseResult)
    batch = service.embed_batch(snippets)
    assert_type(batch, list[SparseResult])
    listed = service.embed_batch_list(snippets, batch_size=64)
    assert_type(service.embed_batch_list(snippets), list[SparseResult])
    weights: list[float] = single.values
    truncated: bool | None = single.truncated
    chars: int | None = single.used_chars
    del weights, truncated, chars
    copy = dataclasses.replace(single, truncated=False)
    assert_type(copy, SparseResult)
    reset_sparse_service()
    return {version: [len(result.indices) for result in [*batch, *listed]]}


def scan_settings(root: Path) -> dict[str, object]:
    if config.settings.builtin_ignore_replace:
        require_capability("ignore_builtin_replace", "builtin_ignore_replace=True")
    capabilities = _load_capabilities()
    assert_type(capabilities, set[str])
    from_path = build_scan_config(root)
    from_text = build_scan_config(repo_path=str(root))
    assert_type(from_path, dict[str, object])
    return from_text if "ignore_builtin_replace" in capabilities else from_path


def run_cli() -> int:
    return cli.main(["capabilities"])


record = SparseResult(indices=[1, 2], values=[0.5, 0.5])
match record:
    case SparseResult([first, *_], values):
        assert_type(first, int)
        assert_type(values, list[float])
