"""quorvane: recommender-system building blocks; the compiled core is quorvane._core."""
