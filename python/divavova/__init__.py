"""divavova: command-line rendering and processing around the _divavova core."""

import _divavova as core

__version__ = core.__version__
__all__ = ["core", "__version__"]
