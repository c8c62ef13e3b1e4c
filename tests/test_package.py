import json
from importlib import resources

import korvane
from korvane._engine import BanditEngine


def test_package_exposes_its_version_and_the_engine_class():
    assert isinstance(korvane.__version__, str) and korvane.__version__.count(".") == 2
    assert korvane.BanditEngine is BanditEngine
    assert set(korvane.__all__) == {"BanditEngine", "__version__", "example_document"}


def test_typing_files_are_installed():
    # Their content is compared with the module by mypy's stubtest (make test).
    package = resources.files("korvane")
    assert package.joinpath("py.typed").is_file() and package.joinpath("_engine.pyi").is_file()


def test_bundled_example_is_a_consistent_document():
    text = korvane.example_document()
    doc = json.loads(text)
    models = {(a["model_name"], a["model_provider"]) for a in doc["arms"]}
    prompts = {a["system_prompt"] for a in doc["arms"]}
    d = doc["dimensions"]
    assert len(models) >= 3 and len({p for _, p in models}) >= 3 and len(prompts) >= 3
    assert d == 3 * len(models) + len(prompts) and len(doc["theta"]) == d
    assert len(doc["cholesky"]) == d and all(len(row) == d for row in doc["cholesky"])
    assert all(doc["cholesky"][i][j] == 0.0 for i in range(d) for j in range(i + 1, d))
    assert all(doc["cholesky"][i][i] > 0.0 for i in range(d))
    assert any(not a.get("is_active", True) for a in doc["arms"])
    engine = BanditEngine(text, seed=3)
    assert engine.num_arms == len(doc["arms"]) and engine.dimensions == d
    assert json.loads(engine.pull(query_length=80))["arm_id"] in {a["arm_id"] for a in doc["arms"]}
