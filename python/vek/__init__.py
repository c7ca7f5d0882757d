"""vek: drive VEK pattern-projection boards from Python.

A thin layer over the vek_dll library (ctypes). The library is found through
the ``VEK_LIBRARY`` environment variable (the path of libvek_dll.so), next to
this package, or in the build folders of a source checkout.

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
from ._lib import lib, library_path
from .board import COMMANDS, FRAME_SIZES, INQUIRIES, Board, firmware_version, list_boards
from .errors import (CODES, ArgumentError, DataTypeError, Error, StaleReplyError, UnknownNameError, VekError,
                     VekFailure, code_name)
from .image import (add_serial_number, batch_image_to_bin, bin2pixel, frame_bytes, gray_bin, gray_pixels,
                    pixel2bin, plane_count, rgb_bin, rgb_pixels, write_test_patterns)

__all__ = [
    "Board", "Error", "VekError", "VekFailure", "StaleReplyError", "ArgumentError", "UnknownNameError", "DataTypeError", "CODES", "COMMANDS", "INQUIRIES", "FRAME_SIZES", "code_name",
    "firmware_version", "list_boards", "library_path", "sim",
    "pixel2bin", "bin2pixel", "plane_count", "frame_bytes", "gray_pixels", "rgb_pixels", "gray_bin", "rgb_bin",
    "add_serial_number", "batch_image_to_bin", "write_test_patterns",
]
#: The version of the library in use (the project's one version, VekVersion()).
__version__ = lib.VekVersion().decode()
