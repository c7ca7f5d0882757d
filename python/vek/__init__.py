"""vek: drive VEK pattern-projection boards from Python.

A thin layer over the vek_dll library (ctypes). The library is found through
the ``VEK_LIBRARY`` environment variable (the path of libvek_dll.so), next to
this package, or in the build folders of a source checkout; it is loaded on
first use, so ``import vek`` and ``help(vek)`` work without it.

``vek.__version__`` is this package's version; ``vek.library_version`` the
loaded library's (``VekVersion()``), and ``vek.library_path`` its file.

Example, on a virtual board::

    import numpy as np
    import vek

    with vek.sim.VirtualBoard(), vek.Board(0) as board:
        board.init(frequency=60, gray_bits=8)
        width, height = board.frame_size()                 # inquiry 5
        pixels = np.tile(np.arange(width, dtype=np.uint8), (height, 1))
        frame = vek.pixel2bin(pixels, 0xFF)                # (8, height, width // 8)
        board.load_frame(frame, 0, verify=True)            # reads it back and compares
"""

from . import sim
from ._lib import lib, loaded_path
from ._version import VERSION
from .board import COMMANDS, FRAME_SIZES, INQUIRIES, Board, firmware_version, list_boards
from .errors import (CODES, ArgumentError, DataTypeError, DirectoryError, Error, FileError, MissingFileError,
                     StaleReplyError, UnknownNameError, VekError, VekFailure, code_name)
from .image import (add_serial_number, batch_image_to_bin, bin2pixel, frame_bytes, gray_bin, gray_pixels,
                    pixel2bin, plane_count, rgb_bin, rgb_pixels, write_test_patterns)

__all__ = [
    "Board", "Error", "VekError", "VekFailure", "StaleReplyError", "ArgumentError", "UnknownNameError", "DataTypeError",
    "FileError", "MissingFileError", "DirectoryError", "CODES", "COMMANDS", "INQUIRIES", "FRAME_SIZES", "code_name",
    "firmware_version", "list_boards", "library_path", "library_version", "sim",
    "pixel2bin", "bin2pixel", "plane_count", "frame_bytes", "gray_pixels", "rgb_pixels", "gray_bin", "rgb_bin",
    "add_serial_number", "batch_image_to_bin", "write_test_patterns",
]
#: This package's version.
__version__ = VERSION


def __getattr__(name: str) -> str:
    """``library_version`` (VekVersion()) and ``library_path``, read when first asked for (the library loads then)."""
    if name == "library_version":
        return lib.VekVersion().decode()
    if name == "library_path":
        return loaded_path()
    raise AttributeError(f"module 'vek' has no attribute {name!r}")
