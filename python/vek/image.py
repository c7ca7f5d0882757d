"""The image functions: bit-plane conversion and the image file getters.

A frame holds the bit planes that a plane mask selects, from the highest bit
down; each plane is ``height`` rows of ``width / 8`` bytes, the leftmost pixel
of every 8 in the most significant bit. Here a frame is a numpy array of
shape ``(planes, height, width // 8)`` and dtype uint8.
"""

from __future__ import annotations

import errno
import os
from pathlib import Path
from typing import Tuple, Union

import numpy as np

from ._lib import lib
from .errors import ArgumentError, DataTypeError, FileError, MissingFileError, VekFailure, check_file

__all__ = [
    "plane_count",
    "frame_bytes",
    "pixel2bin",
    "bin2pixel",
    "gray_pixels",
    "rgb_pixels",
    "gray_bin",
    "rgb_bin",
    "add_serial_number",
    "batch_image_to_bin",
    "write_test_patterns",
]

PathLike = Union[str, "os.PathLike[str]"]


def plane_count(plane_mask: int) -> int:
    """Number of bit planes a plane mask selects."""
    _check_mask(plane_mask)
    return bin(plane_mask).count("1")


def frame_bytes(width: int, height: int, plane_mask: int = 0xFF) -> int:
    """Size in bytes of a frame of `width` x `height` pixels."""
    _check_size(width, height)
    return plane_count(plane_mask) * (width // 8) * height


def _i32(value: int, what: str) -> int:
    """`value` as an int32 argument, refused (not wrapped) when out of range."""
    if isinstance(value, bool) or not isinstance(value, (int, np.integer)):
        raise ArgumentError(f"{what} must be an integer, not {type(value).__name__}")
    if not -2**31 <= value < 2**31:
        raise ArgumentError(f"{what} {value} is outside the 32-bit signed range")
    return int(value)


def _check_mask(plane_mask: int) -> None:
    if not 0 <= int(plane_mask) <= 0xFF:
        raise ArgumentError(f"plane mask {plane_mask!r} is not a byte (0 to 0xFF)")


def _check_size(width: int, height: int) -> None:
    if width <= 0 or height < 0:
        raise ArgumentError(f"bad size {width}x{height}")
    if width % 8:
        raise ArgumentError(f"width {width} is not a multiple of 8 (8 pixels make one byte of a plane)")


def _ptr(a: np.ndarray) -> int:
    return a.ctypes.data


def as_uint8(data: Union[np.ndarray, bytes, bytearray, memoryview], convert: bool = False,
             what: str = "data") -> np.ndarray:
    """`data` as a C-contiguous uint8 array, never cast silently.

    Bytes-like input is taken as it is. An array (or sequence) of another
    dtype raises :class:`DataTypeError` unless `convert` is true: then
    values are rounded to the nearest integer and clipped to 0..255.
    """
    if isinstance(data, (bytes, bytearray, memoryview)):
        return np.frombuffer(bytes(data), dtype=np.uint8)
    array = np.asarray(data)
    if array.dtype != np.uint8:
        if not convert:
            raise DataTypeError(f"{what} of dtype {array.dtype} given where uint8 is taken; "
                                f"convert it, or pass convert=True to round and clip to 0..255")
        if array.dtype.kind not in "biuf":
            raise DataTypeError(f"{what} of dtype {array.dtype} cannot be converted to uint8")
        array = np.clip(np.rint(array) if array.dtype.kind == "f" else array, 0, 255).astype(np.uint8)
    return np.ascontiguousarray(array)


def pixel2bin(pixels: np.ndarray, plane_mask: int = 0xFF, convert: bool = False) -> np.ndarray:
    """Split an 8-bit gray image into the bit planes that `plane_mask` selects.

    Args:
        pixels: array of shape (height, width), dtype uint8; width a multiple
            of 8; or a stack of images, shape (N, height, width).
        plane_mask: bit b set keeps the plane of gray bit b (0xFF: all eight).
        convert: take pixels of another dtype, rounded and clipped to 0..255
            (without it they raise DataTypeError, a TypeError).

    Returns:
        Array of shape (planes, height, width // 8), highest selected bit
        first; for a stack, (N, planes, height, width // 8).
    """
    _check_mask(plane_mask)
    pixels = as_uint8(pixels, convert, "pixels")
    if pixels.ndim == 3:
        return np.stack([pixel2bin(image, plane_mask) for image in pixels]) if len(pixels) else \
            np.zeros((0, plane_count(plane_mask), pixels.shape[1], pixels.shape[2] // 8), dtype=np.uint8)
    if pixels.ndim != 2:
        raise ArgumentError(f"pixels must be an array (height, width) or (N, height, width), not shape {pixels.shape}")
    height, width = pixels.shape
    _check_size(width, height)
    out = np.zeros((plane_count(plane_mask), height, width // 8), dtype=np.uint8)
    if lib.pixel2bin(_ptr(pixels), width, height, plane_mask, _ptr(out)) is None and out.size:
        raise VekFailure("pixel2bin refused the image")
    return out


def bin2pixel(frame: Union[np.ndarray, bytes, bytearray], plane_mask: int = 0xFF,
              width: int = 0, height: int = 0) -> np.ndarray:
    """Rebuild 8-bit gray pixels from bit planes.

    Args:
        frame: an array of shape (planes, height, width // 8), or flat bytes
            (then `width` and `height` are needed).
        plane_mask: the planes the frame holds; bits of other planes come out 0.
        width, height: the image size, for flat input.

    Returns:
        Array of shape (height, width), dtype uint8.
    """
    _check_mask(plane_mask)
    planes = plane_count(plane_mask)
    frame = as_uint8(frame, False, "frame")
    if frame.ndim == 3:
        if frame.shape[0] != planes:
            raise ArgumentError(f"frame has {frame.shape[0]} planes; plane mask 0x{plane_mask:02X} selects {planes}")
        h, w = frame.shape[1], frame.shape[2] * 8
        if (width and width != w) or (height and height != h):
            raise ArgumentError("width/height do not match the frame's shape")
        width, height = w, h
    else:
        if not width or not height:
            raise ArgumentError("give width and height for a flat frame")
    _check_size(width, height)
    if frame.size != planes * (width // 8) * height:
        raise ArgumentError(f"frame has {frame.size} bytes; {width}x{height} with mask 0x{plane_mask:02X} needs "
                         f"{planes * (width // 8) * height}")
    out = np.empty((height, width), dtype=np.uint8)
    if lib.bin2pixel(_ptr(frame), width, height, plane_mask, _ptr(out)) is None and out.size:
        raise VekFailure("bin2pixel refused the frame")
    return out


def _name(path: PathLike) -> bytes:
    return os.fsencode(os.fspath(path))


def _not_an_image(path: PathLike, what: str = "an image") -> FileError:
    return FileError(f"cannot load {os.fspath(path)!r} as {what}: not an image in a format the library reads")


def gray_pixels(path: PathLike, width: int, height: int) -> np.ndarray:
    """Load an image file as 8-bit gray pixels of exactly `width` x `height`.

    Raises:
        MissingFileError: no such file (a FileNotFoundError).
        DirectoryError: a directory (an IsADirectoryError).
        FileError: the file cannot be loaded as an image (an OSError).
    """
    if width <= 0 or height <= 0:
        raise ArgumentError(f"bad size {width}x{height}")
    out = np.zeros((height, width), dtype=np.uint8)
    if lib.GetGrayPixelFormat(check_file(path), width, height, _ptr(out)) is None:
        raise _not_an_image(path)
    return out


def rgb_pixels(path: PathLike, width: int, height: int) -> Tuple[np.ndarray, np.ndarray, np.ndarray]:
    """Load an image file as three 8-bit planes (red, green, blue) of `width` x `height`."""
    if width <= 0 or height <= 0:
        raise ArgumentError(f"bad size {width}x{height}")
    r, g, b = (np.zeros((height, width), dtype=np.uint8) for _ in range(3))
    if not lib.GetRGBPixelFormat(check_file(path), width, height, _ptr(r), _ptr(g), _ptr(b)):
        raise _not_an_image(path, "a colour image")
    return r, g, b


def gray_bin(path: PathLike, width: int, height: int, plane_mask: int = 0xFF) -> np.ndarray:
    """Load an image file as a frame of shape (planes, height, width // 8)."""
    _check_size(width, height)
    out = np.zeros((plane_count(plane_mask), height, width // 8), dtype=np.uint8)
    if lib.GetGrayBinFormat(check_file(path), width, height, plane_mask, _ptr(out)) is None:
        raise _not_an_image(path)
    return out


def rgb_bin(path: PathLike, width: int, height: int,
            plane_mask: int = 0xFF) -> Tuple[np.ndarray, np.ndarray, np.ndarray]:
    """Load an image file as three frames (red, green, blue)."""
    _check_size(width, height)
    shape = (plane_count(plane_mask), height, width // 8)
    r, g, b = (np.zeros(shape, dtype=np.uint8) for _ in range(3))
    if not lib.GetRGBBinFormat(check_file(path), width, height, plane_mask, _ptr(r), _ptr(g), _ptr(b)):
        raise _not_an_image(path, "a colour image")
    return r, g, b


def add_serial_number(path: PathLike, width: int, height: int, count: int) -> None:
    """Write `count` numbered copies NAME_00001.bmp, ... of an image, each with its serial drawn on it.

    Copies that cannot be made are skipped by the library; check the files.
    """
    if not lib.ImageAddSerialNumber(check_file(path), _i32(width, "width"), _i32(height, "height"), _i32(count, "count")):
        raise VekFailure(f"ImageAddSerialNumber refused {os.fspath(path)!r}")


def batch_image_to_bin(folder: PathLike, width: int, height: int) -> None:
    """Convert every image in `folder` into NAME.bin (8 bit planes) beside it.

    Raises:
        ArgumentError: a size the library cannot convert (width a multiple of 8, both above 0).
        MissingFileError: no such folder; VekFailure: an empty one.
    """
    if width <= 0 or height <= 0 or width % 8:
        raise ArgumentError(f"size {width}x{height}: the width must be a multiple of 8, both above 0")
    name = os.fspath(folder)
    if not os.path.exists(name):
        raise MissingFileError(errno.ENOENT, "no such folder", name)
    if not name.endswith(("/", "\\")):
        name += "/"  # the library lists the folder before the last separator
    if not lib.BatchImage2Bin(os.fsencode(name), width, height):
        raise VekFailure(f"BatchImage2Bin found nothing to convert in {os.fspath(folder)!r}")


def write_test_patterns(folder: PathLike = ".") -> None:
    """Write the library's built-in 1920x1080 test patterns into `folder` (VekWriteTestPatterns)."""
    if lib.VekWriteTestPatterns(_name(folder)) <= 0:
        raise VekFailure(f"no test pattern could be written into {os.fspath(folder)!r}")
