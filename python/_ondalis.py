"""Top-level name of the extension module ondalis._ondalis.

Importing ``_ondalis`` gives the very module object that ``ondalis._ondalis``
is: the import system returns whatever this file leaves in sys.modules.
"""
import sys

from ondalis import _ondalis as _module

sys.modules[__name__] = _module
