"""Tests of velmorrow.scanrules: the ScanConfigV2 dictionary and its capability check."""

from __future__ import annotations

import builtins
import gc
import importlib.abc
import importlib.util
import json
import pathlib
import sys
import traceback
import types

import pytest

import velmorrow.config

GATE = "velmorrow.featuregate"
SOURCE = "src/velmorrow/scanrules"
ENTRY = "velmorrow.scanrules.build_scan_config"
CAPABILITY_ARGS = ("ignore_builtin_replace", "builtin_ignore_replace=True")
KEYS = ["repo_root", "builtin_patterns", "extra_patterns", "ignore_mode", "use_gitignore",
        "use_velmorrowignore", "replace_builtin_patterns"]
# The reads after the flag's first one, in the order they happen.
READS = ["builtin_ignore_patterns", "extra_ignore_patterns", "ignore_mode", "ignore_mode", "builtin_ignore_replace"]


def entries(error: BaseException) -> list[tuple[str, str]]:
    """The traceback entries added by the extension modules, outermost first."""
    return [(frame.name, frame.filename) for frame in traceback.extract_tb(error.__traceback__)
            if frame.filename.startswith("src/velmorrow/")]


class RecordedPath:
    """A repository path whose str() is recorded among the settings reads."""

    def __init__(self, log: list[str], text: str = "/repo") -> None:
        self.log, self.text = log, text

    def __str__(self) -> str:
        self.log.append("str(repo_path)")
        return self.text


class SequencedSettings:
    """Answers the reads of each attribute with its values in turn."""

    def __init__(self, **values: list) -> None:
        self._pending = {name: list(answers) for name, answers in values.items()}
        self.reads: list[str] = []

    def __getattr__(self, name: str):
        self.reads.append(name)
        return self._pending[name].pop(0)


@pytest.fixture
def rules(scanrules, recording_settings):
    scanrules.settings = recording_settings()
    return scanrules


@pytest.fixture
def gate_calls(monkeypatch, rules):
    """A stand-in velmorrow.featuregate whose require_capability records its calls, also in
    the settings' read log so that the order of events shows."""
    calls: list[tuple[tuple, dict]] = []
    fake = types.ModuleType(GATE)

    def require_capability(*args, **kwargs):
        calls.append((args, kwargs))
        rules.settings.reads.append("require_capability")
        if isinstance(fake.outcome, BaseException):
            raise fake.outcome
        return fake.outcome

    fake.require_capability, fake.outcome = require_capability, "ignored result"
    fake.calls = calls
    monkeypatch.setitem(sys.modules, GATE, fake)
    return fake


# ---- the module surface ---------------------------------------------------------------


def test_no_gate_global(scanrules):
    assert "require_capability" not in vars(scanrules) and GATE not in vars(scanrules)


# ---- the dictionary -------------------------------------------------------------------


def test_seven_keys_in_order_with_their_values(rules):
    result = rules.build_scan_config("/repo")
    assert type(result) is dict and list(result) == KEYS
    assert result == {
        "repo_root": "/repo", "builtin_patterns": [".git/", "*.pyc"], "extra_patterns": ["*.log"],
        "ignore_mode": "git+velmorrow", "use_gitignore": True, "use_velmorrowignore": True,
        "replace_builtin_patterns": False,
    }
    assert json.dumps(result) == (
        '{"repo_root": "/repo", "builtin_patterns": [".git/", "*.pyc"], "extra_patterns": ["*.log"], '
        '"ignore_mode": "git+velmorrow", "use_gitignore": true, "use_velmorrowignore": true, '
        '"replace_builtin_patterns": false}'
    )
    assert type(result["builtin_patterns"]) is list and type(result["extra_patterns"]) is list
    assert result["use_gitignore"] is True and result["use_velmorrowignore"] is True
    # The shape a dict display of the same seven entries has (its size shows the key kind).
    display = {
        "repo_root": result["repo_root"], "builtin_patterns": result["builtin_patterns"],
        "extra_patterns": result["extra_patterns"], "ignore_mode": result["ignore_mode"],
        "use_gitignore": result["use_gitignore"], "use_velmorrowignore": True,
        "replace_builtin_patterns": result["replace_builtin_patterns"],
    }
    assert sys.getsizeof(result) == sys.getsizeof(display)


class ListSubclass(list):
    pass


@pytest.mark.parametrize("patterns", [
    (), ("a",), ("a", "b"), ("a", "b", "c"), tuple("abcdefghi"), [], ["a"], list("abcde"),
    ListSubclass("abc"), "abc", {"x": 1, "y": 2}, range(7),
], ids=repr)
def test_pattern_lists_are_what_list_makes(rules, patterns):
    """Contents, type and allocated size (sys.getsizeof) of list(patterns), in a list of
    their own; the result is tracked by the collector as a dict display is."""
    rules.settings = types.SimpleNamespace(builtin_ignore_replace=False, builtin_ignore_patterns=patterns,
                                           extra_ignore_patterns=patterns, ignore_mode="velmorrow")
    result = rules.build_scan_config("/r")
    expected = list(patterns)
    for key in ("builtin_patterns", "extra_patterns"):
        copy = result[key]
        assert type(copy) is list and copy == expected and copy is not patterns
        assert [id(item) for item in copy] == [id(item) for item in expected]
        assert sys.getsizeof(copy) == sys.getsizeof(expected)
    assert result["builtin_patterns"] is not result["extra_patterns"]
    assert gc.is_tracked(result) and gc.is_tracked({"k": expected})
    # A full collection untracks dicts holding nothing to collect, as the one copied for
    # each result may be; results must stay tracked all the same.
    gc.collect()
    assert gc.is_tracked(rules.build_scan_config("/r"))


@pytest.mark.parametrize("flag, gate_events", [(False, []), (True, ["require_capability"])])
def test_settings_read_order(rules, recording_settings, gate_calls, flag, gate_events):
    rules.settings = recording_settings(builtin_ignore_replace=flag)
    log = rules.settings.reads
    result = rules.build_scan_config(RecordedPath(log))
    assert log == ["builtin_ignore_replace", *gate_events, "str(repo_path)", *READS]
    assert result["replace_builtin_patterns"] is flag and result["repo_root"] == "/repo"


@pytest.mark.parametrize("flag", [False, None, 0, 0.0, "", []], ids=repr)
def test_falsy_flag_skips_the_capability_and_is_kept(rules, recording_settings, gate_calls, monkeypatch, flag):
    rules.settings = recording_settings(builtin_ignore_replace=flag)
    assert rules.build_scan_config("/r")["replace_builtin_patterns"] is flag
    assert gate_calls.calls == []
    # Not even an import attempt: an unimportable gate does not matter.
    monkeypatch.setitem(sys.modules, GATE, None)
    assert rules.build_scan_config("/r")["replace_builtin_patterns"] is flag


@pytest.mark.parametrize("flag", [True, 1, "yes", [0]], ids=repr)
def test_truthy_flag_asks_for_the_capability_once(rules, recording_settings, gate_calls, flag):
    rules.settings = recording_settings(builtin_ignore_replace=flag)
    result = rules.build_scan_config("/r")
    assert result["replace_builtin_patterns"] is flag
    assert gate_calls.calls == [(CAPABILITY_ARGS, {})]
    assert all(type(arg) is str for arg in gate_calls.calls[0][0])
    rules.build_scan_config("/r")
    assert len(gate_calls.calls) == 2


def test_flag_truth_protocol(rules, recording_settings, gate_calls):
    class Flag:
        def __init__(self, truth):
            self.truth = truth

        def __bool__(self):
            if isinstance(self.truth, BaseException):
                raise self.truth
            return self.truth

    yes, no, broken = Flag(True), Flag(False), Flag(ValueError("no truth"))
    rules.settings = recording_settings(builtin_ignore_replace=yes)
    assert rules.build_scan_config("/r")["replace_builtin_patterns"] is yes and len(gate_calls.calls) == 1
    rules.settings = recording_settings(builtin_ignore_replace=no)
    assert rules.build_scan_config("/r")["replace_builtin_patterns"] is no and len(gate_calls.calls) == 1
    rules.settings = recording_settings(builtin_ignore_replace=broken)
    with pytest.raises(ValueError, match="no truth") as caught:
        rules.build_scan_config("/r")
    assert rules.settings.reads == ["builtin_ignore_replace"] and len(gate_calls.calls) == 1
    assert entries(caught.value) == [(ENTRY, SOURCE)]


def test_flag_stored_is_the_second_read_made_after_the_check(rules, gate_calls):
    rules.settings = SequencedSettings(builtin_ignore_replace=[True, "second read"], builtin_ignore_patterns=[()],
                                       extra_ignore_patterns=[()], ignore_mode=["a", "b"])
    result = rules.build_scan_config("/r")
    assert result["replace_builtin_patterns"] == "second read" and len(gate_calls.calls) == 1
    assert rules.settings.reads == ["builtin_ignore_replace", "require_capability", *READS]


@pytest.mark.parametrize(
    "mode, use_gitignore",
    [("git+velmorrow", True), ("".join(["git+", "velmorrow"]), True), ("GIT+velmorrow", False),
     ("Git+Velmorrow", False), (" git+velmorrow", False), ("git+velmorrow\n", False), ("git+velmorroW", False),
     ("git+velmorr\xf6w", False), ("git+velmorr\u014dw", False), ("git+velmorrow"[:-1], False),
     ("velmorrow", False), ("", False)],
    ids=repr,
)
def test_use_gitignore_is_exact_string_equality(rules, recording_settings, mode, use_gitignore):
    rules.settings = recording_settings(ignore_mode=mode)
    result = rules.build_scan_config("/r")
    assert result["ignore_mode"] is mode and result["use_gitignore"] is use_gitignore


def test_use_gitignore_comes_from_a_second_read(rules):
    rules.settings = SequencedSettings(builtin_ignore_replace=[False, False], builtin_ignore_patterns=[()],
                                       extra_ignore_patterns=[()], ignore_mode=["velmorrow", "git+velmorrow"])
    result = rules.build_scan_config("/r")
    assert (result["ignore_mode"], result["use_gitignore"]) == ("velmorrow", True)


def test_mode_comparison_is_the_modes_own(rules, recording_settings):
    compared, verdict = [], object()

    class Mode:
        def __eq__(self, other):
            compared.append(other)
            return verdict

    class Incomparable:
        def __eq__(self, other):
            raise LookupError("cannot compare")

    mode = Mode()
    rules.settings = recording_settings(ignore_mode=mode, use_velmorrowignore=False)
    result = rules.build_scan_config("/r")
    assert result["ignore_mode"] is mode and result["use_gitignore"] is verdict and compared == ["git+velmorrow"]
    assert result["use_velmorrowignore"] is True and "use_velmorrowignore" not in rules.settings.reads
    rules.settings = recording_settings(ignore_mode=Incomparable())
    with pytest.raises(LookupError, match="cannot compare") as caught:
        rules.build_scan_config("/r")
    assert entries(caught.value) == [(ENTRY, SOURCE)]
    assert rules.settings.reads[-2:] == ["ignore_mode", "ignore_mode"]


class PatternList(list):
    pass


@pytest.mark.parametrize(
    "make, expected",
    [(lambda: (".git/", "*.pyc"), [".git/", "*.pyc"]), (list, []), (tuple, []), (lambda: PatternList(["a"]), ["a"]),
     (lambda: iter(["x", "y"]), ["x", "y"]), (lambda: {"k": 1}, ["k"]), (lambda: (1, None), [1, None]),
     (lambda: "ab", ["a", "b"])],
    ids=["tuple", "empty-list", "empty-tuple", "list-subclass", "iterator", "dict", "unconverted", "str"],
)
def test_patterns_become_new_plain_lists(rules, recording_settings, make, expected):
    builtin, extra = make(), make()
    rules.settings = recording_settings(builtin_ignore_patterns=builtin, extra_ignore_patterns=extra)
    result = rules.build_scan_config("/r")
    assert result["builtin_patterns"] == result["extra_patterns"] == expected
    assert type(result["builtin_patterns"]) is list and type(result["extra_patterns"]) is list
    assert result["builtin_patterns"] is not builtin and result["extra_patterns"] is not extra


def test_pattern_lists_are_copies_owned_by_each_result(rules, recording_settings):
    builtin, extra = ["a"], ["b"]
    rules.settings = recording_settings(builtin_ignore_patterns=builtin, extra_ignore_patterns=extra)
    first, second = rules.build_scan_config("/r"), rules.build_scan_config("/r")
    assert first is not second and first == second
    assert first["builtin_patterns"] is not second["builtin_patterns"] is not builtin
    assert first["extra_patterns"] is not second["extra_patterns"] is not extra
    first["builtin_patterns"].append("mine")
    builtin.append("later")
    extra.clear()
    assert builtin == ["a", "later"] and second["builtin_patterns"] == ["a"] and second["extra_patterns"] == ["b"]


@pytest.mark.parametrize("setting", ["builtin_ignore_patterns", "extra_ignore_patterns"])
def test_pattern_failures(rules, recording_settings, setting):
    rules.settings = recording_settings(**{setting: 5})
    with pytest.raises(TypeError, match=r"^'int' object is not iterable$") as caught:
        rules.build_scan_config("/r")
    assert entries(caught.value) == [(ENTRY, SOURCE)]

    def failing():
        yield "a"
        raise KeyError("mid-iteration")

    rules.settings = recording_settings(**{setting: failing()})
    with pytest.raises(KeyError, match="mid-iteration"):
        rules.build_scan_config("/r")
    assert rules.settings.reads[-1] == setting and "ignore_mode" not in rules.settings.reads


def test_missing_setting_attribute(rules, recording_settings):
    rules.settings = types.SimpleNamespace(builtin_ignore_replace=False, builtin_ignore_patterns=(),
                                           extra_ignore_patterns=())
    with pytest.raises(AttributeError, match="ignore_mode") as caught:
        rules.build_scan_config("/r")
    assert entries(caught.value) == [(ENTRY, SOURCE)]
    failure = AttributeError("extra_ignore_patterns")
    rules.settings = recording_settings(extra_ignore_patterns=failure)
    with pytest.raises(AttributeError) as caught:
        rules.build_scan_config("/r")
    assert caught.value is failure


# ---- repo_path ------------------------------------------------------------------------


def test_repo_root_is_str_of_the_argument(rules):
    text = "".join(["/some/", "repo"])
    assert rules.build_scan_config(text)["repo_root"] is text
    assert rules.build_scan_config(pathlib.Path("relative/dir/"))["repo_root"] == "relative/dir"
    assert rules.build_scan_config(pathlib.PurePosixPath("/a//b"))["repo_root"] == "/a/b"
    assert rules.build_scan_config(42)["repo_root"] == "42"
    assert rules.build_scan_config(None)["repo_root"] == "None"
    subclass_root = rules.build_scan_config(type("Sub", (str,), {})("/r"))["repo_root"]
    assert type(subclass_root) is str and subclass_root == "/r"
    assert rules.build_scan_config(RecordedPath([], "C:\\x"))["repo_root"] == "C:\\x"


def test_str_of_repo_path_failing(rules):
    class Unprintable:
        def __str__(self):
            raise OSError("no text")

    with pytest.raises(OSError, match="no text") as caught:
        rules.build_scan_config(Unprintable())
    assert entries(caught.value) == [(ENTRY, SOURCE)]
    assert rules.settings.reads == ["builtin_ignore_replace"]

    class NotText:
        def __str__(self):
            return 5

    with pytest.raises(TypeError, match="__str__ returned non-string"):
        rules.build_scan_config(NotText())


# ---- arguments ------------------------------------------------------------------------


def test_keyword_call_is_the_same(rules):
    assert rules.build_scan_config(repo_path="/r") == rules.build_scan_config("/r")


# ---- the capability path --------------------------------------------------------------


def test_missing_capability_stops_before_anything_is_built(rules, recording_settings, gate_calls):
    rules.settings = recording_settings(builtin_ignore_replace=True)
    gate_calls.outcome = RuntimeError("capability missing")
    log = rules.settings.reads
    with pytest.raises(RuntimeError) as caught:
        rules.build_scan_config(RecordedPath(log))
    assert caught.value is gate_calls.outcome and entries(caught.value) == [(ENTRY, SOURCE)]
    assert log == ["builtin_ignore_replace", "require_capability"]


def test_gate_import_goes_through_builtins_import(rules, recording_settings, monkeypatch):
    calls, real_import = [], builtins.__import__
    fake_gate = types.SimpleNamespace(require_capability=lambda *args: calls.append(args))

    def recording_import(name, *args):
        if name != GATE:
            return real_import(name, *args)
        calls.append((name, *args))
        return fake_gate

    rules.settings = recording_settings(builtin_ignore_replace=True)
    monkeypatch.delitem(sys.modules, GATE, raising=False)
    monkeypatch.setattr(builtins, "__import__", recording_import)
    rules.build_scan_config("/r")
    (name, import_globals, import_locals, fromlist, level), capability_args = calls
    assert (name, level, list(fromlist), import_locals) == (GATE, 0, ["require_capability"], {})
    assert import_globals is vars(rules) and capability_args == CAPABILITY_ARGS


def test_gate_attribute_read_failing_becomes_import_error(rules, recording_settings, monkeypatch):
    # Any failure to read the name is reported as the name that cannot be imported.
    def module_getattr(name):
        if name == "require_capability":
            raise ValueError("gate attribute broken")
        raise AttributeError(name)

    broken_gate = types.ModuleType(GATE)
    broken_gate.__getattr__ = module_getattr
    rules.settings = recording_settings(builtin_ignore_replace=True)
    monkeypatch.setitem(sys.modules, GATE, broken_gate)
    with pytest.raises(ImportError, match="^cannot import name require_capability$") as caught:
        rules.build_scan_config("/r")
    assert caught.value.__context__ is None or not isinstance(caught.value.__context__, ValueError)


def test_gate_without_require_capability(rules, recording_settings, monkeypatch):
    rules.settings = recording_settings(builtin_ignore_replace=True)
    monkeypatch.setitem(sys.modules, GATE, types.ModuleType(GATE))
    with pytest.raises(ImportError) as caught:
        rules.build_scan_config("/r")
    assert str(caught.value) == "cannot import name require_capability"
    assert entries(caught.value) == [(ENTRY, SOURCE)] and rules.settings.reads == ["builtin_ignore_replace"]
    # A submodule of that name already imported is taken instead, as the import statement does.
    called = []
    monkeypatch.setitem(sys.modules, f"{GATE}.require_capability", lambda *args: called.append(args))
    assert rules.build_scan_config("/r")["replace_builtin_patterns"] is True and called == [CAPABILITY_ARGS]


def test_unimportable_gate(rules, recording_settings, monkeypatch):
    rules.settings = recording_settings(builtin_ignore_replace=True)
    monkeypatch.setitem(sys.modules, GATE, None)
    with pytest.raises(ModuleNotFoundError, match=r"velmorrow\.featuregate") as caught:
        rules.build_scan_config("/r")
    assert entries(caught.value) == [(ENTRY, SOURCE)] and rules.settings.reads == ["builtin_ignore_replace"]


def test_gate_whose_module_body_fails(rules, recording_settings, monkeypatch):
    class FailingGate(importlib.abc.MetaPathFinder, importlib.abc.Loader):
        def find_spec(self, name, path=None, target=None):
            return importlib.util.spec_from_loader(name, self) if name == GATE else None

        def exec_module(self, module):
            raise ZeroDivisionError("gate body failed")

    rules.settings = recording_settings(builtin_ignore_replace=True)
    monkeypatch.delitem(sys.modules, GATE, raising=False)
    monkeypatch.setattr(sys, "meta_path", [FailingGate(), *sys.meta_path])
    with pytest.raises(ZeroDivisionError, match="gate body failed"):
        rules.build_scan_config("/r")


def test_falsy_flags_never_import_the_gate(python):
    result = python(
        """
        import builtins, sys
        seen = []

        class Recorder:
            def find_spec(self, name, path=None, target=None):
                seen.append(name)
                return None

        sys.meta_path.insert(0, Recorder())
        real_import = builtins.__import__
        def recording_import(name, *args, **kwargs):
            seen.append(name)
            return real_import(name, *args, **kwargs)
        builtins.__import__ = recording_import

        import velmorrow.scanrules as rules
        for flag in (False, None, 0, ""):
            rules.settings.builtin_ignore_replace = flag
            assert rules.build_scan_config("/r")["replace_builtin_patterns"] is flag
        gate_untouched = "velmorrow.featuregate" not in seen and "velmorrow.featuregate" not in sys.modules
        core_untouched = "velmorrow_core_py" not in seen and "velmorrow_core_py" not in sys.modules
        print(gate_untouched, core_untouched)
        # The recorder does see the import once the flag asks for it.
        rules.settings.builtin_ignore_replace = True
        assert rules.build_scan_config("/r")["replace_builtin_patterns"] is True
        print("velmorrow.featuregate" in seen, "velmorrow.featuregate" in sys.modules)
        """
    )
    assert result.stdout.split() == ["True", "True", "True", "True"]


# ---- the settings binding -------------------------------------------------------------


def test_deleted_settings_is_looked_up_in_the_builtins(rules, recording_settings, monkeypatch):
    # Like any module-level name.
    del rules.settings
    fallback = recording_settings(ignore_mode="from builtins")
    monkeypatch.setattr(builtins, "settings", fallback, raising=False)
    assert rules.build_scan_config("/r")["ignore_mode"] == "from builtins"


def test_every_read_looks_settings_up_afresh(rules, recording_settings):
    later = recording_settings(extra_ignore_patterns=("later",), ignore_mode="later", builtin_ignore_replace="later")

    class Switching:
        builtin_ignore_replace = False

        @property
        def builtin_ignore_patterns(self):
            rules.settings = later
            return ("first",)

    rules.settings = Switching()
    result = rules.build_scan_config("/r")
    assert result["builtin_patterns"] == ["first"] and result["extra_patterns"] == ["later"]
    assert result["ignore_mode"] == "later" and result["replace_builtin_patterns"] == "later"
    assert later.reads == READS[1:]


def test_settings_as_a_plain_module_is_read_afresh(rules):
    module_settings = types.ModuleType("app_settings")
    vars(module_settings).update(builtin_ignore_replace=False, builtin_ignore_patterns=("a",),
                                 extra_ignore_patterns=(), ignore_mode="git+velmorrow")
    rules.settings = module_settings
    assert rules.build_scan_config("/r")["use_gitignore"] is True
    module_settings.ignore_mode = "velmorrow"
    module_settings.builtin_ignore_patterns = ("b",)
    result = rules.build_scan_config("/r")
    assert (result["ignore_mode"], result["use_gitignore"], result["builtin_patterns"]) == ("velmorrow", False, ["b"])
    del module_settings.ignore_mode
    with pytest.raises(AttributeError, match="has no attribute 'ignore_mode'"):
        rules.build_scan_config("/r")
    module_settings.__getattr__ = lambda name: f"computed {name}"
    assert rules.build_scan_config("/r")["ignore_mode"] == "computed ignore_mode"


def test_rebinding_scanrules_settings_is_seen_but_not_config_settings(scanrules, recording_settings, monkeypatch):
    bound = scanrules.settings
    replacement = recording_settings(ignore_mode="replacement")
    monkeypatch.setattr(velmorrow.config, "settings", replacement)
    assert scanrules.build_scan_config("/r")["ignore_mode"] == bound.ignore_mode
    assert replacement.reads == []
    scanrules.settings = replacement
    assert scanrules.build_scan_config("/r")["ignore_mode"] == "replacement"
    replacement.ignore_mode = "changed attribute"
    assert scanrules.build_scan_config("/r")["ignore_mode"] == "changed attribute"


@pytest.mark.parametrize("module, name", [("pathlib", "Path"), ("velmorrow.config", "settings")])
def test_import_fails_when_a_module_body_import_lacks_its_name(python, module, name):
    result = python(
        f"""
        import sys, traceback, types
        real = __import__({module!r}, fromlist=["*"])
        sys.modules[{module!r}] = types.ModuleType({module!r})
        try:
            import velmorrow.scanrules
        except ImportError as error:
            print(error)
            print([frame.name for frame in traceback.extract_tb(error.__traceback__)][-1])
        sys.modules[{module!r}] = real
        import velmorrow.scanrules as rules
        print(rules.{name} is getattr(real, {name!r}))
        """
    )
    assert result.stdout.split("\n")[:3] == [f"cannot import name {name}", "init velmorrow.scanrules", "True"]


# ---- with the real gate and the stand-in core -----------------------------------------


def test_real_gate_with_the_stand_in_core(rules, recording_settings, featuregate):
    featuregate._cached_capabilities = None
    rules.settings = recording_settings(builtin_ignore_replace=True)
    assert rules.build_scan_config("/r")["replace_builtin_patterns"] is True
    assert "ignore_builtin_replace" in featuregate._cached_capabilities


def test_real_gate_without_the_capability(rules, recording_settings, featuregate):
    featuregate._cached_capabilities = set()
    rules.settings = recording_settings(builtin_ignore_replace=True)
    with pytest.raises(RuntimeError) as caught:
        rules.build_scan_config("/r")
    assert str(caught.value) == (
        "Rust core capability 'ignore_builtin_replace' required for builtin_ignore_replace=True "
        "but not found. Available: []. Rebuild the Rust extension: maturin develop --release"
    )
    assert entries(caught.value) == [(ENTRY, SOURCE),
                                     ("velmorrow.featuregate.require_capability", "src/velmorrow/featuregate")]
    assert rules.settings.reads == ["builtin_ignore_replace"]
