"""Local Thompson-sampling decisions for one contextual multi-armed bandit.

The engine lives in the native module ``korvane._engine``; this package re-exports its one
class::

    from korvane import BanditEngine

    engine = BanditEngine(sync_json, seed=7)
    result_json = engine.pull(query_length=120, exclude_ids=[3])
"""

from korvane._engine import BanditEngine

__version__ = "0.1.0"
__all__ = ["BanditEngine", "__version__"]
