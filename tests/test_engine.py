"""The engine's decisions, refreshes and refusals as Python sees them."""

import json
import math

import pytest
from conftest import identity, one_arm_doc, three_arm_doc

from korvane._engine import BanditEngine


def test_worked_pull_example():
    engine = BanditEngine(one_arm_doc(), seed=0)
    assert engine.pull(query_length=100) == (
        '{"arm_index":0,"arm_id":1,"scores":{"1":-6.374875030534525}}'
    )
    second = json.loads(engine.pull(query_length=100))
    assert math.isclose(second["scores"]["1"], -3.3196460854, rel_tol=1e-9)
    explore = json.loads(BanditEngine(one_arm_doc(optimization_mode="explore"), seed=0).pull(100))
    assert math.isclose(explore["scores"]["1"], -10.6030880737, rel_tol=1e-9)


def test_default_seed_comes_from_the_bandit_id_and_name():
    doc = one_arm_doc(bandit_id=1, name="abc")
    unseeded, seeded = BanditEngine(doc), BanditEngine(doc, seed=16654208175385433930)
    assert [unseeded.pull(9) for _ in range(3)] == [seeded.pull(9) for _ in range(3)]


def test_getters_and_arms_document(engine):
    assert engine.bandit_id == -77 and isinstance(engine.bandit_id, int)
    assert engine.bandit_name == "three"
    assert (engine.dimensions, engine.num_arms) == (8, 3)
    assert engine.get_arms_json() == (
        '[{"arm_id":3,"model_name":"m1","model_provider":"p","system_prompt":"Be brief.",'
        '"is_active":true,"avg_latency_last_n":812.5},'
        '{"arm_id":4,"model_name":"m2","model_provider":"q","system_prompt":"Be brief.",'
        '"is_active":false,"avg_latency_last_n":null},'
        '{"arm_id":9,"model_name":"m2","model_provider":"q","system_prompt":"Explain.",'
        '"is_active":true,"avg_latency_last_n":300.0}]'
    )
    name = BanditEngine(one_arm_doc(name="caf\u00e9 \u2615 \"q\"")).bandit_name
    assert name == "caf\u00e9 \u2615 \"q\""


def test_pull_never_chooses_inactive_or_excluded_arms(engine):
    for _ in range(50):
        result = json.loads(engine.pull(20))
        assert set(result["scores"]) == {"3", "9"} and result["arm_id"] in (3, 9)
        assert json.loads(engine.pull(20, [3]))["arm_id"] == 9
    with pytest.raises(ValueError) as info:
        engine.pull(exclude_ids=[3, 9])
    assert info.value.args == ("All arms excluded or inactive",)


CONSISTENCY = [
    (dict(dimensions=5, theta=[0.0] * 5, cholesky=identity(5)),
     "dimensions 5 does not match the feature width 4 of the arms"),
    (dict(theta=[0.1, 0.2, 0.3]), "theta has 3 values but dimensions is 4"),
    (dict(cholesky=[1.0] * 15), "cholesky has 15 values but dimensions 4 needs 16"),
]


@pytest.mark.parametrize("overrides, message", CONSISTENCY)
def test_inconsistent_documents_are_refused_at_construction_and_refresh(overrides, message):
    bad = one_arm_doc(**overrides)
    with pytest.raises(ValueError) as info:
        BanditEngine(bad)
    assert info.value.args == (message,)
    engine = BanditEngine(one_arm_doc())
    with pytest.raises(ValueError) as info:
        engine.update_from_sync(bad)
    assert info.value.args == (message,)


REFUSED = [
    ("", "EOF while parsing a value at line 1 column 0"),
    ("{}", "missing field `bandit_id`"),
    (one_arm_doc(arms=[]), "No arms in sync response"),
    (one_arm_doc(optimization_mode=None), "invalid type: null, expected a string"),
    (one_arm_doc(theta=[0.1, 0.2, 0.3]), "theta has 3 values but dimensions is 4"),
]


@pytest.mark.parametrize("text, message", REFUSED)
def test_refused_document_raises_value_error_with_the_engine_message(text, message):
    with pytest.raises(ValueError) as info:
        BanditEngine(text)
    assert type(info.value) is ValueError
    assert len(info.value.args) == 1 and info.value.args[0].startswith(message)


def _observe(engine):
    return (engine.bandit_id, engine.bandit_name, engine.dimensions, engine.num_arms,
            engine.get_arms_json())


@pytest.mark.parametrize("text, _message", REFUSED)
def test_failed_refresh_changes_nothing(text, _message):
    engine = BanditEngine(three_arm_doc(), seed=5)
    twin = BanditEngine(three_arm_doc(), seed=5)
    engine.pull(50)
    twin.pull(50)
    with pytest.raises(ValueError):
        engine.update_from_sync(text)
    assert _observe(engine) == _observe(twin)
    assert engine.pull(50) == twin.pull(50)


def test_refresh_may_change_the_bandit_and_returns_none():
    engine = BanditEngine(three_arm_doc(), seed=8)
    engine.pull(3)
    assert engine.update_from_sync(one_arm_doc(bandit_id=99, name="other")) is None
    assert _observe(engine) == _observe(BanditEngine(one_arm_doc(bandit_id=99, name="other")))
    assert (engine.bandit_id, engine.bandit_name, engine.num_arms) == (99, "other", 1)


def test_refresh_keeps_the_generator_state():
    # A d = 8 pull draws eight values; two d = 4 pulls draw the same eight values.
    engine = BanditEngine(three_arm_doc(), seed=8)
    engine.pull(3)
    engine.update_from_sync(one_arm_doc())
    reference = BanditEngine(one_arm_doc(), seed=8)
    reference.pull(3)
    reference.pull(3)
    assert engine.pull(3) == reference.pull(3)
