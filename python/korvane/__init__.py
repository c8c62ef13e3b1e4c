"""Local Thompson-sampling decisions for one contextual multi-armed bandit.

The engine is the native class ``BanditEngine``; ``example_document()`` gives the sync document
bundled with the package, to try it with::

    import korvane

    engine = korvane.BanditEngine(korvane.example_document(), seed=7)
    result_json = engine.pull(query_length=120, exclude_ids=[103])
"""

from importlib import resources

from korvane._engine import BanditEngine

__version__ = "0.1.0"
__all__ = ["BanditEngine", "__version__", "example_document"]


def example_document() -> str:
    """The sync document bundled with korvane, as the text the engine takes.

    A bandit of seven arms (one inactive) over three models and three system prompts, with
    latency figures and a 12-dimensional posterior: a valid input for ``BanditEngine`` and
    ``update_from_sync``, and a starting point for documents of your own.
    """
    return resources.files(__name__).joinpath("example_sync.json").read_text(encoding="utf-8")
