"""Factor analysis: the testing pipeline, winsorization, least squares and result records."""
