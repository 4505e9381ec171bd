"""quorvane: recommender-system building blocks; the compiled core is quorvane._core."""

__version__ = "0.1.0"
