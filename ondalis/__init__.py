"""ondalis: read and write sound files through libsndfile, with numpy arrays."""
from . import _ondalis
from ._ondalis import *  # noqa: F401,F403

__version__ = ".".join(str(part) for part in _ondalis._ondalis_version)
