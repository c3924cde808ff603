"""divavova: command-line rendering and processing around the _divavova core."""

import _divavova as core

from divavova.batch import process_files  # noqa: E402

__version__ = core.__version__
__all__ = ["core", "__version__", "process_files"]
