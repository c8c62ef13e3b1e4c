"""Python module entry point."""

from collections.abc import Sequence
from typing import SupportsIndex, final

__all__ = ["BanditEngine"]

@final
class BanditEngine:
    """Python-facing BanditEngine. Holds all Bayesian state for one bandit.

    Usage:
        from korvane._engine import BanditEngine
        engine = BanditEngine('{"bandit_id": 1, ...}')
        result_json = engine.pull(query_length=100)

    The constructor reads the sync document ``bandit_json`` and seeds the engine's generator
    from ``seed`` (0 to 2**64 - 1), or from the document's bandit id and name when it is None.
    A document the engine refuses raises ValueError with the engine's one-line message.
    """

    def __new__(cls, bandit_json: str, seed: SupportsIndex | None = None) -> BanditEngine: ...
    def pull(
        self,
        query_length: SupportsIndex | None = None,
        exclude_ids: Sequence[SupportsIndex] | None = None,
    ) -> str:
        """Pure math pull — returns JSON string { arm_index, arm_id, scores }.

        ``query_length`` is 0 to 2**32 - 1, or None when unknown. ``exclude_ids`` lists arm ids
        (signed 32-bit) that must not be chosen; it may be any sequence except a str.
        Raises ValueError "All arms excluded or inactive" when no arm can be chosen, and
        RuntimeError "Already borrowed" when called while the engine is in use.
        """

    def update_from_sync(self, bandit_json: str) -> None:
        """Update state from new sync response JSON.

        All or nothing: a refused document raises ValueError and leaves the engine unchanged.
        The generator is not reseeded.
        """

    def get_arms_json(self) -> str:
        """Get the arm metadata as JSON array string."""

    @property
    def bandit_id(self) -> int:
        """Get the bandit ID."""

    @property
    def bandit_name(self) -> str:
        """Get the bandit name."""

    @property
    def dimensions(self) -> int:
        """Get dimensions."""

    @property
    def num_arms(self) -> int:
        """Get number of arms (all, including inactive)."""
