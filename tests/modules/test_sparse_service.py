"""Behaviour of SparseEmbeddingService and the process-wide service slot of velmorrow.sparse."""

from __future__ import annotations

import json
import logging
import traceback
from decimal import Decimal
from typing import Any

import pytest

SERVICE = "velmorrow.sparse.SparseEmbeddingService."
LOG_FORMAT = "Sparse embedding: using Rust backend (profile=%s)"
PROFILE_FORMAT = '{{"version": {}, "max_text_chars": {}, "code_pretokenize": {}, "min_token_len": 2}}'
DEFAULT_PROFILE = PROFILE_FORMAT.format('"v1"', 1000, "true")
FULL_ANSWER = {"indices": [3, 7], "values": [0.6, 0.8], "truncated": True, "original_chars": 40, "used_chars": 20}


def embedding(index: int, value: float) -> dict[str, list[Any]]:
    return {"indices": [index], "values": [value]}


def traceback_names(error: BaseException) -> list[str]:
    return [frame.name for frame in traceback.extract_tb(error.__traceback__)]


def raising(error: BaseException):
    def answer(*_: Any) -> Any:
        raise error

    return answer


class FakeJson:
    """Stands in for the json module: records every call and can hand out a held object."""

    def __init__(self, decoded: Any = None) -> None:
        self.calls: list[tuple[str, tuple[Any, ...], dict[str, Any]]] = []
        self.decoded = decoded

    def dumps(self, *args: Any, **kwargs: Any) -> str:
        self.calls.append(("dumps", args, kwargs))
        return json.dumps(*args, **kwargs)

    def loads(self, *args: Any, **kwargs: Any) -> Any:
        self.calls.append(("loads", args, kwargs))
        return self.decoded if self.decoded is not None else json.loads(*args, **kwargs)


class Untouchable:
    """Fails the test on any attribute access: proves a path never reaches this object."""

    def __getattribute__(self, name: str) -> Any:
        raise AssertionError(f"unexpected use of .{name}")


class RecordingLogger:
    def __init__(self) -> None:
        self.calls: list[tuple[tuple[Any, ...], dict[str, Any]]] = []

    def info(self, *args: Any, **kwargs: Any) -> None:
        self.calls.append((args, kwargs))


class TracingCore:
    """A core whose attribute fetches and calls land in one event list, in order."""

    def __init__(self, events: list[tuple[str, str]], answer: str) -> None:
        object.__setattr__(self, "_state", (events, answer))

    def __getattribute__(self, name: str) -> Any:
        events, answer = object.__getattribute__(self, "_state")
        events.append(("fetch", name))

        def function(*args: Any) -> str:
            events.append(("call", name))
            return answer

        return function


@pytest.fixture
def settings(sparse, recording_settings):
    sparse.settings = recording_settings()
    return sparse.settings


@pytest.fixture
def core(sparse, fake_core, settings):
    sparse.velmorrow_core_py = fake_core(answer=json.dumps(FULL_ANSWER))
    return sparse.velmorrow_core_py


@pytest.fixture
def service(sparse, core, settings):
    made = sparse.SparseEmbeddingService()
    settings.reads.clear()
    return made


def sparse_records(caplog) -> list[logging.LogRecord]:
    return [record for record in caplog.records if record.name == "velmorrow.sparse"]


class TestConstruction:
    @pytest.mark.parametrize(
        ("overrides", "expected"),
        [
            ({}, DEFAULT_PROFILE),
            (
                {"sparse_profile_version": None, "sparse_max_text_chars": 0, "code_pretokenize": False},
                PROFILE_FORMAT.format("null", 0, "false"),
            ),
            ({"sparse_profile_version": 7}, PROFILE_FORMAT.format(7, 1000, "true")),
            ({"sparse_profile_version": "vé"}, PROFILE_FORMAT.format('"v\\u00e9"', 1000, "true")),
        ],
    )
    def test_profile_json_text(self, sparse, recording_settings, overrides, expected):
        sparse.settings = recording_settings(**overrides)
        assert sparse.SparseEmbeddingService()._profile_json == expected

    def test_settings_reads_in_order_with_version_read_again_for_the_log(self, sparse, settings):
        made = sparse.SparseEmbeddingService()
        assert settings.reads == [
            "sparse_profile_version", "sparse_max_text_chars", "code_pretokenize", "sparse_profile_version"]
        assert vars(made) == {"_profile_json": DEFAULT_PROFILE}

    def test_settings_looked_up_afresh_for_each_read(self, sparse, recording_settings):
        later = recording_settings(sparse_profile_version="later", sparse_max_text_chars=5, code_pretokenize=False)

        class Swapping:
            @property
            def sparse_profile_version(self):
                sparse.settings = later
                return "first"

        sparse.settings = Swapping()
        logger = sparse.logger = RecordingLogger()
        made = sparse.SparseEmbeddingService()
        assert made._profile_json == PROFILE_FORMAT.format('"first"', 5, "false")
        assert logger.calls == [((LOG_FORMAT, "later"), {})]

    @pytest.mark.parametrize("version", ["v1", None, 3])
    def test_one_info_line_with_lazy_argument(self, sparse, recording_settings, caplog, version):
        sparse.settings = recording_settings(sparse_profile_version=version)
        caplog.set_level(logging.INFO, logger="velmorrow.sparse")
        sparse.SparseEmbeddingService()
        (record,) = sparse_records(caplog)
        assert (record.levelno, record.msg, record.args) == (logging.INFO, LOG_FORMAT, (version,))
        assert record.getMessage() == f"Sparse embedding: using Rust backend (profile={version})"

    def test_logger_and_json_are_module_globals_used_at_call_time(self, sparse, settings):
        logger = sparse.logger = RecordingLogger()
        fake_json = sparse.json = FakeJson()
        sparse.SparseEmbeddingService()
        assert logger.calls == [((LOG_FORMAT, "v1"), {})]
        ((name, (profile,), kwargs),) = fake_json.calls
        assert (name, kwargs, type(profile)) == ("dumps", {}, dict)
        assert list(profile.items()) == [
            ("version", "v1"), ("max_text_chars", 1000), ("code_pretokenize", True), ("min_token_len", 2)]

    def test_json_dumps_is_fetched_before_settings_are_read(self, sparse, settings):
        sparse.json = Untouchable()
        with pytest.raises(AssertionError, match="dumps"):
            sparse.SparseEmbeddingService()
        assert settings.reads == []

    def test_dumps_result_is_stored_unchanged(self, sparse, settings):
        marker = object()

        class MarkerJson:
            @staticmethod
            def dumps(value):
                return marker

        sparse.json = MarkerJson()
        assert sparse.SparseEmbeddingService()._profile_json is marker

    @pytest.mark.parametrize("setting", ["sparse_profile_version", "sparse_max_text_chars", "code_pretokenize"])
    def test_unencodable_setting_raises_type_error_without_log(self, sparse, recording_settings, caplog, setting):
        sparse.settings = recording_settings(**{setting: object()})
        caplog.set_level(logging.INFO, logger="velmorrow.sparse")
        half_built = sparse.SparseEmbeddingService.__new__(sparse.SparseEmbeddingService)
        with pytest.raises(TypeError, match="^Object of type object is not JSON serializable$") as excinfo:
            half_built.__init__()
        assert SERVICE + "__init__" in traceback_names(excinfo.value)
        assert vars(half_built) == {} and sparse_records(caplog) == []

    def test_missing_setting_raises_attribute_error(self, sparse, recording_settings, caplog):
        settings = sparse.settings = recording_settings()
        del settings._values["code_pretokenize"]
        caplog.set_level(logging.INFO, logger="velmorrow.sparse")
        with pytest.raises(AttributeError, match="^code_pretokenize$"):
            sparse.SparseEmbeddingService()
        assert sparse_records(caplog) == []

    def test_init_again_rebuilds_profile_and_logs_again(self, sparse, settings, caplog):
        caplog.set_level(logging.INFO, logger="velmorrow.sparse")
        made = sparse.SparseEmbeddingService()
        settings.sparse_profile_version = "v2"
        assert made.__init__() is None
        assert made._profile_json == DEFAULT_PROFILE.replace('"v1"', '"v2"')
        assert [record.args for record in sparse_records(caplog)] == [("v1",), ("v2",)]

    def test_profile_is_stored_by_ordinary_attribute_assignment(self, sparse, settings):
        stored = []

        class Watching(sparse.SparseEmbeddingService):
            def __setattr__(self, name, value):
                stored.append((name, value))
                super().__setattr__(name, value)

        Watching()
        assert stored == [("_profile_json", DEFAULT_PROFILE)]

    def test_binding_error_carries_traceback_entry(self, sparse, settings):
        with pytest.raises(TypeError) as excinfo:
            sparse.SparseEmbeddingService(1)
        assert str(excinfo.value) == "__init__() takes exactly 1 positional argument (2 given)"
        assert SERVICE + "__init__" in traceback_names(excinfo.value)
        assert settings.reads == []


class TestProfileVersion:
    def test_reads_the_setting_live_while_profile_json_stays(self, service, settings):
        assert service.profile_version == "v1"
        settings.sparse_profile_version = "v9"
        assert service.profile_version == "v9"
        assert service._profile_json == DEFAULT_PROFILE
        assert settings.reads == ["sparse_profile_version", "sparse_profile_version"]

    def test_none_is_returned(self, service, settings):
        settings.sparse_profile_version = None
        assert service.profile_version is None

    @pytest.mark.parametrize(
        ("value", "type_name"), [(7, "int"), (b"v1", "bytes"), (type("VersionText", (str,), {})("v1"), "VersionText")]
    )
    def test_anything_but_exact_str_is_refused(self, service, settings, value, type_name):
        settings.sparse_profile_version = value
        with pytest.raises(TypeError, match=f"^Expected str, got {type_name}$") as excinfo:
            service.profile_version
        assert SERVICE + "profile_version" in traceback_names(excinfo.value)

    def test_integer_version_still_constructs(self, sparse, recording_settings):
        sparse.settings = recording_settings(sparse_profile_version=7)
        made = sparse.SparseEmbeddingService()
        assert json.loads(made._profile_json)["version"] == 7
        with pytest.raises(TypeError, match="^Expected str, got int$"):
            made.profile_version

    def test_missing_setting_raises_at_each_access(self, service, settings):
        del settings._values["sparse_profile_version"]
        for _ in range(2):
            with pytest.raises(AttributeError, match="^sparse_profile_version$"):
                service.profile_version
        assert settings.reads == ["sparse_profile_version"] * 2


class TestEmbedSingle:
    def test_core_gets_the_text_itself_and_the_profile(self, service, core):
        text = "".join(["parse", "Header"])
        record = service.embed_single(text)
        ((name, args),) = core.calls
        assert name == "sparse_embed_single" and len(args) == 2
        assert args[0] is text and args[1] is service._profile_json
        assert type(record).__name__ == "SparseResult"
        assert (record.indices, record.values, record.truncated, record.original_chars, record.used_chars) == (
            [3, 7], [0.6, 0.8], True, 40, 20)

    @pytest.mark.parametrize(
        "answer",
        [
            '{"indices": [1], "values": [0.5]}',
            '{"values": [0.5], "indices": [1], "truncated": null, "original_chars": null, "used_chars": null}',
            '{"indices": [1], "values": [0.5], "score": 9, "truncated": null}',
            b'{"indices": [1], "values": [0.5]}',
        ],
    )
    def test_optional_keys_missing_or_null_give_none(self, sparse, service, core, answer):
        core.answer = answer
        assert service.embed_single("x") == sparse.SparseResult(indices=[1], values=[0.5])

    def test_record_holds_the_decoded_objects_themselves(self, sparse, service, core):
        decoded = {"indices": [1, 2], "values": [0.1, 0.2], "truncated": False, "original_chars": 5, "used_chars": 5}
        fake_json = sparse.json = FakeJson(decoded)
        record = service.embed_single("x")
        assert fake_json.calls == [("loads", (core.answer,), {})]
        assert record.indices is decoded["indices"] and record.values is decoded["values"]
        assert fake_json.calls[0][1][0] is core.answer

    def test_record_built_by_keyword_in_field_order(self, sparse, service):
        built = []

        def record_factory(*args, **kwargs):
            built.append((args, list(kwargs.items())))
            return "the record"

        sparse.SparseResult = record_factory
        assert service.embed_single("x") == "the record"
        assert built == [((), [(key, FULL_ANSWER[key]) for key in FULL_ANSWER])]

    def test_mapping_like_answer_is_read_through_subscription_and_get(self, sparse, service):
        reads = []

        class Answer:
            def __getitem__(self, key):
                reads.append(("item", key))
                return [key]

            def get(self, *args):
                reads.append(("get", *args))
                return f"got {args[0]}"

        sparse.json = FakeJson(Answer())
        record = service.embed_single("x")
        assert reads == [("item", "indices"), ("item", "values"),
                         ("get", "truncated"), ("get", "original_chars"), ("get", "used_chars")]
        assert (record.indices, record.truncated, record.used_chars) == (["indices"], "got truncated", "got used_chars")

    def test_dict_subclass_get_override_is_honoured(self, sparse, service):
        class Defaulting(dict):
            def get(self, key, default=None):
                return super().get(key, -1)

        sparse.json = FakeJson(Defaulting(indices=[1], values=[0.5]))
        record = service.embed_single("x")
        assert (record.truncated, record.original_chars, record.used_chars) == (-1, -1, -1)

    @pytest.mark.parametrize(
        ("answer", "error", "message"),
        [
            ("not json", json.JSONDecodeError, "Expecting value"),
            (42, TypeError, "the JSON object must be str, bytes or bytearray, not int"),
            ('{"values": [0.5]}', KeyError, "'indices'"),
            ('{"indices": [1]}', KeyError, "'values'"),
            ("[1, 2]", TypeError, "list indices must be integers or slices, not str"),
            ("null", TypeError, "'NoneType' object is not subscriptable"),
        ],
    )
    def test_bad_answers(self, service, core, answer, error, message):
        core.answer = answer
        with pytest.raises(error) as excinfo:
            service.embed_single("x")
        assert message in str(excinfo.value)
        assert SERVICE + "embed_single" in traceback_names(excinfo.value)

    def test_record_class_is_fetched_before_the_keys_are_read(self, sparse, service, core):
        core.answer = "{}"
        del sparse.SparseResult
        with pytest.raises(NameError, match="^name 'SparseResult' is not defined$"):
            service.embed_single("x")

    def test_core_exception_passes_through_unchanged(self, service, core):
        error = RuntimeError("core failed")
        core.answer = raising(error)
        with pytest.raises(RuntimeError) as excinfo:
            service.embed_single("x")
        assert excinfo.value is error
        assert SERVICE + "embed_single" in traceback_names(excinfo.value)

    def test_core_function_then_profile_then_call(self, sparse):
        events = []

        class Probe(sparse.SparseEmbeddingService):
            @property
            def _profile_json(self):
                events.append(("fetch", "_profile_json"))
                return "{}"

        sparse.velmorrow_core_py = TracingCore(events, '{"indices": [], "values": []}')
        Probe.embed_single(Probe.__new__(Probe), "x")
        assert events == [
            ("fetch", "sparse_embed_single"), ("fetch", "_profile_json"), ("call", "sparse_embed_single")]

    def test_instance_without_profile_fails_before_the_core_is_called(self, sparse):
        events = []
        sparse.velmorrow_core_py = TracingCore(events, "{}")
        bare = sparse.SparseEmbeddingService.__new__(sparse.SparseEmbeddingService)
        with pytest.raises(AttributeError, match="'SparseEmbeddingService' object has no attribute '_profile_json'"):
            bare.embed_single("x")
        assert events == [("fetch", "sparse_embed_single")]

    def test_keyword_text_is_accepted(self, service, core):
        service.embed_single(text="x")
        assert core.calls[0][1][0] == "x"


class TestEmbedBatch:
    def test_empty_list_returns_a_new_list_without_json_or_core(self, sparse, service):
        sparse.json = Untouchable()
        sparse.velmorrow_core_py = Untouchable()
        texts: list[str] = []
        result = service.embed_batch(texts)
        assert result == [] and type(result) is list and result is not texts

    def test_one_dumps_one_core_call_one_loads(self, sparse, service, core):
        fake_json = sparse.json = FakeJson()
        texts = ["a", "é", 'x "y"']
        records = service.embed_batch(texts)
        ((name, args),) = core.calls
        assert name == "sparse_embed_batch"
        assert args == ('["a", "\\u00e9", "x \\"y\\""]', DEFAULT_PROFILE) and args[1] is service._profile_json
        assert [(call[0], call[2]) for call in fake_json.calls] == [("dumps", {}), ("loads", {})]
        assert fake_json.calls[0][1][0] is texts
        assert [record.indices for record in records] == [[0], [1], [2]]

    @pytest.mark.parametrize("count", [0, 1, 4])
    def test_record_count_follows_the_answer_not_the_texts(self, sparse, service, core, count):
        embeddings = [{"indices": [i], "values": [i / 10], "used_chars": i} for i in range(count)]
        core.batch_answer = json.dumps({"embeddings": embeddings, "extra": 1})
        records = service.embed_batch(["a", "b"])
        assert records == [sparse.SparseResult(indices=[i], values=[i / 10], used_chars=i) for i in range(count)]

    @pytest.mark.parametrize("container", [tuple, iter, lambda items: (item for item in items), "walkable"])
    def test_embeddings_may_be_any_iterable(self, sparse, service, container):
        class Walkable:
            def __init__(self, items):
                self.items = items

            def __iter__(self):
                return iter(self.items)

        elements = [embedding(1, 0.1), embedding(2, 0.2)]
        sparse.json = FakeJson({"embeddings": (Walkable if container == "walkable" else container)(elements)})
        assert [record.indices for record in service.embed_batch(["a"])] == [[1], [2]]

    def test_list_growing_while_walked_is_walked_like_a_for_loop(self, sparse, service):
        embeddings: list[Any] = []

        class Growing(dict):
            def get(self, key, default=None):
                if key == "truncated":
                    embeddings.append(embedding(9, 0.9))
                return super().get(key, default)

        embeddings.append(Growing(embedding(1, 0.1)))
        sparse.json = FakeJson({"embeddings": embeddings})
        assert [record.indices for record in service.embed_batch(["a"])] == [[1], [9]]

    def test_list_shrinking_while_walked_stops_early(self, sparse, service):
        embeddings: list[Any] = []

        class Shrinking(dict):
            def get(self, key, default=None):
                if key == "truncated":
                    embeddings.pop()
                return super().get(key, default)

        embeddings.extend([Shrinking(embedding(1, 0.1)), embedding(2, 0.2), embedding(3, 0.3)])
        sparse.json = FakeJson({"embeddings": embeddings})
        assert [record.indices for record in service.embed_batch(["a"])] == [[1], [2]]

    def test_record_class_is_looked_up_for_each_element(self, sparse, service):
        class Rebinding(dict):
            def get(self, key, default=None):
                sparse.SparseResult = lambda **fields: ("second", fields["indices"])
                return super().get(key, default)

        sparse.json = FakeJson({"embeddings": [Rebinding(embedding(1, 0.1)), embedding(2, 0.2)]})
        first, second = service.embed_batch(["a"])
        assert first.indices == [1] and second == ("second", [2])

    @pytest.mark.parametrize(
        ("answer", "error", "message"),
        [
            ('{"vectors": []}', KeyError, "'embeddings'"),
            ('{"embeddings": [{"indices": [1], "values": [1.0]}, {"indices": [2]}]}', KeyError, "'values'"),
            ('{"embeddings": 5}', TypeError, "'int' object is not iterable"),
            ('{"embeddings": [[1]]}', TypeError, "list indices must be integers or slices, not str"),
            ("[]", TypeError, "list indices must be integers or slices, not str"),
            ("nope", json.JSONDecodeError, "Expecting value"),
            (b"\xff", UnicodeDecodeError, "invalid start byte"),
        ],
    )
    def test_bad_answers(self, service, core, answer, error, message):
        core.batch_answer = answer
        with pytest.raises(error) as excinfo:
            service.embed_batch(["a", "b"])
        assert message in str(excinfo.value)
        assert SERVICE + "embed_batch" in traceback_names(excinfo.value)

    def test_iteration_error_passes_through(self, sparse, service):
        error = LookupError("stream broke")

        def broken():
            yield {"indices": [1], "values": [1.0]}
            raise error

        sparse.json = FakeJson({"embeddings": broken()})
        with pytest.raises(LookupError) as excinfo:
            service.embed_batch(["a"])
        assert excinfo.value is error

    def test_unencodable_text_fails_before_the_core(self, service, core):
        with pytest.raises(TypeError, match="^Object of type object is not JSON serializable$") as excinfo:
            service.embed_batch(["a", object()])
        assert SERVICE + "embed_batch" in traceback_names(excinfo.value)
        assert core.calls == []

    def test_core_exception_passes_through_unchanged(self, service, core):
        error = ValueError("bad texts")
        core.batch_answer = raising(error)
        with pytest.raises(ValueError) as excinfo:
            service.embed_batch(["a"])
        assert excinfo.value is error

    def test_elements_are_not_checked(self, service, core):
        service.embed_batch([1, None, ["x"]])
        assert core.calls[0][1][0] == '[1, null, ["x"]]'


class TestEmbedBatchList:
    @pytest.mark.parametrize("batch_size", [None, 5, 0, -3, 3.7, True, Decimal("2.5"), 10**30])
    def test_batch_size_is_accepted_and_ignored(self, service, core, batch_size):
        assert [record.indices for record in service.embed_batch_list(["a", "b"], batch_size)] == [[0], [1]]
        assert [record.indices for record in service.embed_batch_list(["a"], batch_size=batch_size)] == [[0]]
        assert [json.loads(args[0]) for _, args in core.calls] == [["a", "b"], ["a"]]

    @pytest.mark.parametrize(
        ("batch_size", "error", "message"),
        [
            ("5", TypeError, "Argument 'batch_size' has incorrect type (expected int, got str)"),
            ([5], TypeError, "Argument 'batch_size' has incorrect type (expected int, got list)"),
            (type("Size", (str,), {})("5"), TypeError,
             "Argument 'batch_size' has incorrect type (expected int, got Size)"),
            (float("nan"), ValueError, "cannot convert float NaN to integer"),
            (float("inf"), OverflowError, "cannot convert float infinity to integer"),
            (1j, TypeError, "int() argument must be a string, a bytes-like object or a real number, not 'complex'"),
        ],
    )
    def test_bad_batch_size(self, service, core, batch_size, error, message):
        with pytest.raises(error) as excinfo:
            service.embed_batch_list(("not", "a list"), batch_size)
        assert str(excinfo.value) == message
        assert not hasattr(excinfo.value, "__notes__")
        assert SERVICE + "embed_batch_list" in traceback_names(excinfo.value)
        assert core.calls == []

    def test_batch_size_goes_through_int(self, service, core):
        class Size:
            def __int__(self):
                raise ArithmeticError("no size")

        with pytest.raises(ArithmeticError, match="^no size$"):
            service.embed_batch_list(["a"], Size())
        assert core.calls == []

    def test_texts_checked_after_batch_size(self, service):
        with pytest.raises(TypeError) as excinfo:
            service.embed_batch_list(("a",), 2.0)
        assert str(excinfo.value) == "Argument 'texts' has incorrect type (expected list, got tuple)"
        assert SERVICE + "embed_batch_list" not in traceback_names(excinfo.value)

    @pytest.mark.parametrize(
        ("result", "type_name"), [(("a",), "tuple"), ({}, "dict"), (type("Records", (list,), {})(), "Records")]
    )
    def test_override_result_must_be_exactly_list(self, sparse, settings, result, type_name):
        class Overriding(sparse.SparseEmbeddingService):
            def embed_batch(self, texts):
                return result

        with pytest.raises(TypeError, match=f"^Expected list, got {type_name}$") as excinfo:
            Overriding().embed_batch_list(["a"])
        assert SERVICE + "embed_batch_list" in traceback_names(excinfo.value)

    @pytest.mark.parametrize("result", [None, ["records"]])
    def test_override_result_list_or_none_is_returned(self, sparse, settings, result):
        seen = []

        class Overriding(sparse.SparseEmbeddingService):
            def embed_batch(self, *args, **kwargs):
                seen.append((args, kwargs))
                return result

        texts = ["a"]
        assert Overriding().embed_batch_list(texts, 4) is result
        assert seen == [((texts,), {})] and seen[0][0][0] is texts

    def test_instance_override_is_honoured(self, service, core):
        marker: list[Any] = []
        service.embed_batch = lambda texts: marker
        assert service.embed_batch_list(["a"]) is marker
        assert core.calls == []

    def test_empty_list_with_batch_size(self, sparse, service, core):
        sparse.json = Untouchable()
        assert service.embed_batch_list([], 5) == []
        assert core.calls == []

class TestServiceSlot:
    def test_same_instance_until_reset(self, sparse, settings, caplog):
        caplog.set_level(logging.INFO, logger="velmorrow.sparse")
        sparse._sparse_service = None
        first = sparse.get_sparse_service()
        assert type(first) is sparse.SparseEmbeddingService
        assert sparse.get_sparse_service() is first and sparse._sparse_service is first
        assert sparse.reset_sparse_service() is None and sparse._sparse_service is None
        second = sparse.get_sparse_service()
        assert second is not first and sparse.get_sparse_service() is second
        assert len(sparse_records(caplog)) == 2
        assert first._profile_json == DEFAULT_PROFILE

    def test_failed_construction_leaves_slot_empty_and_is_retried(self, sparse, recording_settings):
        sparse._sparse_service = None
        settings = sparse.settings = recording_settings()
        del settings._values["sparse_max_text_chars"]
        with pytest.raises(AttributeError, match="^sparse_max_text_chars$") as excinfo:
            sparse.get_sparse_service()
        assert "velmorrow.sparse.get_sparse_service" in traceback_names(excinfo.value)
        assert sparse._sparse_service is None
        settings.sparse_max_text_chars = 1000
        assert sparse.get_sparse_service() is sparse._sparse_service is not None

    @pytest.mark.parametrize("foreign", [0, "", False, object()])
    def test_foreign_value_is_returned_unchanged(self, sparse, foreign):
        sparse._sparse_service = foreign
        sparse.SparseEmbeddingService = Untouchable()
        assert sparse.get_sparse_service() is foreign

    # A deleted slot or class is a NameError: with every other deleted global, in
    # test_function_objects.
    def test_reset_binds_a_deleted_slot(self, sparse):
        del sparse._sparse_service
        assert sparse.reset_sparse_service() is None
        assert sparse._sparse_service is None

    def test_rebound_class_is_what_gets_constructed(self, sparse):
        made = []

        def factory(*args, **kwargs):
            made.append((args, kwargs))
            return "service"

        sparse._sparse_service = None
        sparse.SparseEmbeddingService = factory
        assert sparse.get_sparse_service() == "service"
        assert sparse.get_sparse_service() == "service"
        assert made == [((), {})]

    def test_former_instance_keeps_working(self, sparse, core):
        sparse._sparse_service = None
        former = sparse.get_sparse_service()
        sparse.reset_sparse_service()
        assert former.embed_single("x").indices == [3, 7]


class TestWithStandInCore:
    @pytest.fixture
    def real(self, sparse, recording_settings):
        import velmorrow_core_py

        sparse.velmorrow_core_py = velmorrow_core_py
        sparse.settings = recording_settings(sparse_max_text_chars=10)
        return sparse.SparseEmbeddingService()

    def test_single_end_to_end(self, sparse, real):
        record = real.embed_single("parseHttpHeader")
        assert type(record) is sparse.SparseResult
        assert (record.truncated, record.original_chars, record.used_chars) == (True, 15, 10)
        assert record.indices == sorted(record.indices) and len(record.indices) == len(record.values) > 0
        assert all(type(index) is int for index in record.indices)
        assert all(type(value) is float for value in record.values)

    def test_batch_matches_singles_and_is_deterministic(self, sparse, real):
        texts = ["fooBar", "", "snake_case_name_that_is_long", "naïve café"]
        records = real.embed_batch(texts)
        assert records == [real.embed_single(text) for text in texts]
        assert records == sparse.SparseEmbeddingService().embed_batch_list(texts, 2)
        assert [(r.truncated, r.original_chars, r.used_chars) for r in records] == [
            (False, 6, 6), (False, 0, 0), (True, 28, 10), (False, 10, 10)]

    def test_core_rejection_passes_through(self, sparse, recording_settings):
        sparse.settings = recording_settings(sparse_max_text_chars=-1)
        with pytest.raises(ValueError, match="max_text_chars") as excinfo:
            sparse.SparseEmbeddingService().embed_single("x")
        assert SERVICE + "embed_single" in traceback_names(excinfo.value)
