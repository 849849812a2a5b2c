"""ondalis: read and write sound files through libsndfile, with numpy arrays.

The extension module's public names (Ondalis, the lookup tables, the record
classes, the catalogue functions) are re-exported here, with four helpers for
the common jobs: read, write, info and blocks.
"""
from . import _ondalis
from ._ondalis import *  # noqa: F401,F403
from ._api import SoundInfo, blocks, info, read, write  # noqa: F401

__version__ = ".".join(str(part) for part in _ondalis._ondalis_version)
