"""Local Thompson-sampling decisions for one contextual multi-armed bandit."""

__version__ = "0.1.0"
__all__ = ["__version__"]
