"""Placeholder: being written."""
import numpy as np
from ..exception import InvalidArgument

WINSORIZE_METHODS = {"std": None, "percentile": None, "mad": None, "none": lambda s: s}
BATCH_WINSORIZE_METHODS = {"mad": None}
