"""The extension modules work with the standard library's own tools the way ordinary
Python modules do: introspection, documentation, mocking, copying, threads, logging."""

from __future__ import annotations

import asyncio
import copy
import dataclasses
import doctest
import functools
import inspect
import io
import logging
import pathlib
import pickle
import pydoc
import typing
from concurrent.futures import ThreadPoolExecutor
from unittest import mock

import pytest

import velmorrow.featuregate
import velmorrow.scanrules
import velmorrow.sparse
from velmorrow.sparse import SparseEmbeddingService, SparseResult

MODULES = [velmorrow.sparse, velmorrow.featuregate, velmorrow.scanrules]

SNIPPETS = [
    f"def handler_{n}(request):\n    return parseHttpHeader(request.raw_bytes) + {n}\n" * (1 + n % 4)
    for n in range(48)
]


@pytest.fixture
def service(sparse):
    return sparse.SparseEmbeddingService()


# The service class's signature; the record's and the functions' are checked with their other
# attributes.
SIGNATURES = {
    "SparseEmbeddingService": (SparseEmbeddingService, "() -> 'None'"),
}


class TestIntrospection:
    @pytest.mark.parametrize(("target", "expected"), SIGNATURES.values(), ids=SIGNATURES.keys())
    def test_signature(self, target, expected):
        assert str(inspect.signature(target)) == expected

    def test_bound_method_signature_drops_self(self, service):
        signature = inspect.signature(service.embed_batch_list)
        assert str(signature) == "(texts: 'list[str]', batch_size: 'int | None' = None) -> 'list[SparseResult]'"
        assert signature.bind(["a"], batch_size=2).arguments == {"texts": ["a"], "batch_size": 2}
        with pytest.raises(TypeError):
            signature.bind(["a"], size=2)

    @pytest.mark.parametrize(
        ("target", "hints"),
        [
            (SparseEmbeddingService.__init__, {"return": type(None)}),
            (SparseEmbeddingService.profile_version.fget, {"return": str}),
            (SparseEmbeddingService.embed_single, {"text": str, "return": SparseResult}),
            (SparseEmbeddingService.embed_batch, {"texts": list[str], "return": list[SparseResult]}),
            (
                SparseEmbeddingService.embed_batch_list,
                {"texts": list[str], "batch_size": int | None, "return": list[SparseResult]},
            ),
            (velmorrow.sparse.get_sparse_service, {"return": SparseEmbeddingService}),
            (velmorrow.sparse.reset_sparse_service, {"return": type(None)}),
            (velmorrow.featuregate._load_capabilities, {"return": set[str]}),
            (velmorrow.featuregate.require_capability, {"name": str, "context": str, "return": type(None)}),
            (velmorrow.scanrules.build_scan_config, {"repo_path": pathlib.Path, "return": dict[str, object]}),
            (SparseResult, {"indices": list[int], "values": list[float], "truncated": bool | None,
                            "original_chars": int | None, "used_chars": int | None}),
        ],
        ids=lambda value: getattr(value, "__qualname__", ""),
    )
    def test_string_annotations_resolve_in_the_module_namespace(self, target, hints):
        resolved = typing.get_type_hints(target)
        assert resolved == hints
        # The classes are the module's own objects, not equal copies.
        for name, hint in hints.items():
            if isinstance(hint, type) and hint is not type(None):
                assert resolved[name] is hint

    def test_routines_are_recognised(self):
        assert inspect.isroutine(velmorrow.sparse.get_sparse_service)
        assert [name for name, _ in inspect.getmembers(velmorrow.featuregate, inspect.isroutine)] == [
            "_load_capabilities",
            "require_capability",
        ]


class TestDocumentation:
    # Each docstring reaching __doc__, inspect and pydoc is checked with the functions'
    # other attributes; here, help() on the class and the modules.
    def test_help_on_the_class_lists_members_and_readonly_property(self):
        output = io.StringIO()
        pydoc.Helper(output=output).help(SparseEmbeddingService)
        text = output.getvalue()
        assert inspect.getdoc(SparseEmbeddingService).splitlines()[0] in text
        assert "embed_single(self, text: 'str') -> 'SparseResult'" in text
        assert "Readonly properties defined here:" in text
        assert inspect.getdoc(SparseEmbeddingService.profile_version) in text

    @pytest.mark.parametrize("module", MODULES, ids=lambda module: module.__name__)
    def test_help_on_a_module(self, module):
        output = io.StringIO()
        pydoc.Helper(output=output).help(module)
        assert module.__doc__.strip().splitlines()[0] in output.getvalue()

    @pytest.mark.parametrize("module", MODULES, ids=lambda module: module.__name__)
    def test_doctest_finds_nothing_to_run(self, module):
        tests = doctest.DocTestFinder().find(module)
        assert tests, "the finder should visit the module and its documented objects"
        assert [test.name for test in tests if test.examples] == []


class TestMocking:
    def test_autospec_instance_records_calls(self):
        service = mock.create_autospec(SparseEmbeddingService, instance=True)
        service.embed_batch.return_value = [SparseResult([1], [1.0])]
        assert service.embed_batch(["fooBar"]) == [SparseResult([1], [1.0])]
        service.embed_batch.assert_called_once_with(["fooBar"])
        service.embed_single.assert_not_called()
        assert isinstance(service, SparseEmbeddingService)

    def test_autospec_instance_refuses_unknown_attributes(self):
        service = mock.create_autospec(SparseEmbeddingService, instance=True)
        with pytest.raises(AttributeError):
            service.embed_everything  # noqa: B018
        with pytest.raises(AttributeError):
            service.assert_called_once_with_typo  # noqa: B018

    def test_patch_module_function_with_autospec(self, sparse):
        original = sparse.get_sparse_service
        with mock.patch.object(sparse, "get_sparse_service", autospec=True) as patched:
            patched.return_value = "stub"
            assert velmorrow.sparse.get_sparse_service() == "stub"
        patched.assert_called_once_with()
        assert sparse.get_sparse_service is original


class TestWrapping:
    # functools.wraps over every function is checked with the functions' attributes.
    def test_partial_of_a_method(self, service):
        embed_many = functools.partial(SparseEmbeddingService.embed_batch_list, service, batch_size=8)
        assert embed_many(SNIPPETS[:3]) == service.embed_batch(SNIPPETS[:3])


class TestSparseResultAsDataclass:
    record = SparseResult(indices=[3, 9], values=[0.6, 0.8], truncated=False, original_chars=10, used_chars=10)

    def test_fields(self):
        assert [(field.name, field.type) for field in dataclasses.fields(SparseResult)] == [
            ("indices", "list[int]"),
            ("values", "list[float]"),
            ("truncated", "bool | None"),
            ("original_chars", "int | None"),
            ("used_chars", "int | None"),
        ]

    def test_asdict_copies_the_lists(self):
        as_dict = dataclasses.asdict(self.record)
        assert as_dict == {"indices": [3, 9], "values": [0.6, 0.8], "truncated": False,
                           "original_chars": 10, "used_chars": 10}
        assert as_dict["indices"] is not self.record.indices
        assert dataclasses.astuple(self.record) == ([3, 9], [0.6, 0.8], False, 10, 10)

    def test_replace(self):
        shorter = dataclasses.replace(self.record, truncated=True, used_chars=4)
        assert shorter == SparseResult([3, 9], [0.6, 0.8], True, 10, 4)
        assert self.record.used_chars == 10

    @pytest.mark.parametrize(
        ("record", "expected"),
        [
            (SparseResult([], []), "empty"),
            (SparseResult([7], [1.0], True), "truncated at 7"),
            (SparseResult([1, 2], [0.5, 0.5]), "2 terms"),
        ],
    )
    def test_match_class_pattern(self, record, expected):
        match record:
            case SparseResult([], []):
                outcome = "empty"
            case SparseResult([first, *_], _, True):
                outcome = f"truncated at {first}"
            case SparseResult(indices, values) if len(indices) == len(values):
                outcome = f"{len(indices)} terms"
            case _:
                outcome = "no match"
        assert outcome == expected


class TestCopyAndPickle:
    @pytest.mark.parametrize("clone", [lambda r: pickle.loads(pickle.dumps(r)), copy.deepcopy])
    def test_record_round_trip(self, service, clone):
        record = service.embed_single(SNIPPETS[5])
        cloned = clone(record)
        assert cloned == record
        assert type(cloned) is SparseResult
        assert cloned.indices is not record.indices

    # The functions' pickling and copying, for every function and protocol, is checked with
    # their other attributes; the classes here.
    @pytest.mark.parametrize("target", [SparseResult, SparseEmbeddingService], ids=lambda target: target.__qualname__)
    def test_classes_copy_by_reference(self, target):
        assert pickle.loads(pickle.dumps(target)) is target
        assert copy.deepcopy(target) is target
        assert copy.copy(target) is target

    def test_service_and_bound_method_round_trip(self, service):
        restored = pickle.loads(pickle.dumps(service.embed_batch))
        assert restored.__self__ is not service
        assert restored.__self__._profile_json == service._profile_json
        assert restored(SNIPPETS[:4]) == service.embed_batch(SNIPPETS[:4])


class TestConcurrency:
    # Threads against sequential results, with resets and a short switch interval: test_concurrency.
    def test_asyncio_to_thread_matches_sequential(self, service):
        async def embed_all():
            return await asyncio.gather(*(asyncio.to_thread(service.embed_batch, [text]) for text in SNIPPETS))

        results = asyncio.run(embed_all())
        assert [batch[0] for batch in results] == service.embed_batch(SNIPPETS)

    def test_threads_share_the_singleton(self, sparse):
        sparse.reset_sparse_service()
        first = sparse.get_sparse_service()
        with ThreadPoolExecutor(max_workers=4) as pool:
            seen = set(map(id, pool.map(lambda _: sparse.get_sparse_service(), range(16))))
        assert seen == {id(first)}


def test_service_construction_logs_one_info_line(sparse, caplog):
    version = sparse.settings.sparse_profile_version
    sparse.reset_sparse_service()
    with caplog.at_level(logging.INFO, logger="velmorrow.sparse"):
        sparse.get_sparse_service()
        sparse.get_sparse_service()
    [record] = [record for record in caplog.records if record.name == "velmorrow.sparse"]
    assert record.levelno == logging.INFO
    assert record.msg == "Sparse embedding: using Rust backend (profile=%s)"
    assert record.args == (version,)
    assert record.getMessage() == f"Sparse embedding: using Rust backend (profile={version})"
