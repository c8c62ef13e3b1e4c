"""Sync documents shared by the tests, built as Python data and serialised per test."""

from __future__ import annotations

import json
from typing import Any

import pytest

from korvane._engine import BanditEngine


def identity(d: int) -> list[list[float]]:
    return [[1.0 if i == j else 0.0 for j in range(d)] for i in range(d)]


def one_arm_doc(**overrides: Any) -> str:
    """One active arm, no latencies, d = 4: the document of the worked pull example."""
    doc: dict[str, Any] = {
        "bandit_id": 1,
        "name": "worked",
        "theta": [0.1, 0.2, 0.3, 0.4],
        "cholesky": identity(4),
        "dimensions": 4,
        "optimization_mode": "base",
        "arms": [
            {"arm_id": 1, "model_name": "m", "model_provider": "p", "system_prompt": "s"},
        ],
    }
    doc.update(overrides)
    return json.dumps(doc)


def three_arm_doc(**overrides: Any) -> str:
    """Two models, two prompts (d = 8), one inactive arm, latencies on two arms."""
    arms = [
        {"arm_id": 3, "model_name": "m1", "model_provider": "p", "system_prompt": "Be brief.",
         "avg_latency_last_n": 812.5},
        {"arm_id": 4, "model_name": "m2", "model_provider": "q", "system_prompt": "Be brief.",
         "is_active": False},
        {"arm_id": 9, "model_name": "m2", "model_provider": "q", "system_prompt": "Explain.",
         "avg_latency_last_n": 300.0},
    ]
    doc: dict[str, Any] = {
        "bandit_id": -77,
        "name": "three",
        "theta": [0.2, 0.1, 0.05, 0.0, 0.01, -0.02, -0.1, -0.2],
        "cholesky": identity(8),
        "dimensions": 8,
        "avg_latency_last_n": 500.0,
        "arms": arms,
    }
    doc.update(overrides)
    return json.dumps(doc)


@pytest.fixture
def doc() -> str:
    return one_arm_doc()


@pytest.fixture
def engine() -> BanditEngine:
    return BanditEngine(three_arm_doc(), seed=11)


def pytest_collection_modifyitems(config, items):
    # Soak tests run only when selected explicitly, e.g. `pytest -m soak`.
    if "soak" in (config.getoption("markexpr") or ""):
        return
    skip = pytest.mark.skip(reason="soak test: run with -m soak")
    for item in items:
        if "soak" in item.keywords:
            item.add_marker(skip)
