"""The module and the class as the interpreter sees them."""

import gc
import importlib
import inspect
import sys
import textwrap
import weakref

import pytest
from conftest import one_arm_doc

from korvane import _engine
from korvane._engine import BanditEngine

CLASS_DOC = (
    "Python-facing BanditEngine. Holds all Bayesian state for one bandit.\n"
    "\n"
    "Usage:\n"
    "    from korvane._engine import BanditEngine\n"
    "    engine = BanditEngine('{\"bandit_id\": 1, ...}')\n"
    "    result_json = engine.pull(query_length=100)"
)


def test_module_contents():
    assert _engine.__doc__ == "Python module entry point."
    assert _engine.__all__ == ["BanditEngine"]
    assert _engine.__name__ == "korvane._engine"
    assert {n for n in dir(_engine) if not n.startswith("__")} == {"BanditEngine"}
    assert not hasattr(_engine, "PanicException")


def test_reimport_yields_the_same_module():
    first = sys.modules.pop("korvane._engine")
    try:
        again = importlib.import_module("korvane._engine")
        assert again is first and again.BanditEngine is BanditEngine
        assert again.__all__ == ["BanditEngine"]
    finally:
        sys.modules["korvane._engine"] = first


def test_class_names_docs_and_signatures():
    assert BanditEngine.__module__ == "builtins"
    assert BanditEngine.__name__ == BanditEngine.__qualname__ == "BanditEngine"
    assert BanditEngine.__text_signature__ == "(bandit_json, seed=None)"
    assert BanditEngine.__doc__ == CLASS_DOC
    assert str(inspect.signature(BanditEngine)) == "(bandit_json, seed=None)"
    assert BanditEngine.__bases__ == (object,)

    assert BanditEngine.pull.__text_signature__ == "($self, query_length=None, exclude_ids=None)"
    assert BanditEngine.pull.__doc__ == (
        "Pure math pull \u2014 returns JSON string { arm_index, arm_id, scores }."
    )
    assert BanditEngine.update_from_sync.__text_signature__ == "($self, bandit_json)"
    assert BanditEngine.update_from_sync.__doc__ == "Update state from new sync response JSON."
    assert BanditEngine.get_arms_json.__text_signature__ == "($self)"
    assert BanditEngine.get_arms_json.__doc__ == "Get the arm metadata as JSON array string."
    params = inspect.signature(BanditEngine.pull).parameters
    assert [(p.name, p.default) for p in list(params.values())[1:]] == [
        ("query_length", None), ("exclude_ids", None)]

    docs = {name: getattr(BanditEngine, name).__doc__
            for name in ("bandit_id", "bandit_name", "dimensions", "num_arms")}
    assert docs == {
        "bandit_id": "Get the bandit ID.",
        "bandit_name": "Get the bandit name.",
        "dimensions": "Get dimensions.",
        "num_arms": "Get number of arms (all, including inactive).",
    }


def test_class_cannot_be_subclassed():
    with pytest.raises(TypeError, match="not an acceptable base type"):
        type("Sub", (BanditEngine,), {})


def test_instances_are_plain_closed_objects(engine):
    with pytest.raises(AttributeError):
        engine.extra = 1
    for name in ("bandit_id", "bandit_name", "dimensions", "num_arms"):
        with pytest.raises(AttributeError):
            setattr(engine, name, 1)
    with pytest.raises(TypeError):
        weakref.ref(engine)
    assert not hasattr(engine, "__dict__")
    assert not gc.is_tracked(engine)
    assert engine == engine and engine != BanditEngine(one_arm_doc())
    assert hash(engine) == hash(engine)
    assert repr(engine).startswith("<builtins.BanditEngine object at ")


def test_init_again_changes_nothing(engine):
    before = engine.get_arms_json(), engine.bandit_id
    engine.__init__(one_arm_doc(bandit_id=5))
    assert (engine.get_arms_json(), engine.bandit_id) == before


def test_object_new_cannot_make_an_empty_instance():
    with pytest.raises(TypeError):
        object.__new__(BanditEngine)


def _run_in_legacy_subinterpreter(code: str, tmp_path) -> str:
    testcapi = pytest.importorskip("_testcapi")
    if not hasattr(testcapi, "run_in_subinterp"):
        pytest.skip("no subinterpreter support in _testcapi")
    out = tmp_path / "out.txt"
    script = textwrap.dedent(code).replace("OUT", repr(str(out)))
    assert testcapi.run_in_subinterp(script) == 0
    return out.read_text()


def test_a_second_interpreter_is_refused(tmp_path):
    message = _run_in_legacy_subinterpreter(
        """
        import sys
        sys.path[:] = SYSPATH
        try:
            import korvane._engine
            result = "imported"
        except ImportError as exc:
            result = "ImportError: " + str(exc)
        with open(OUT, "w") as f:
            f.write(result)
        """.replace("SYSPATH", repr(sys.path)),
        tmp_path,
    )
    assert message.startswith("ImportError: ") and "subinterpreters" in message
    # The main interpreter keeps its module.
    assert importlib.import_module("korvane._engine") is _engine
