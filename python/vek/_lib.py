"""Finding and loading the vek_dll shared library, and the C prototypes."""

from __future__ import annotations

import ctypes
import ctypes.util
import os
from pathlib import Path
from typing import List, Optional

__all__ = ["lib", "library_path", "candidate_paths"]

_NAMES = ("libvek_dll.so", "libvek_dll.so.1", "libvek_dll.dylib", "vek_dll.dll")


def candidate_paths() -> List[Path]:
    """Where the library is looked for, in order.

    1. ``VEK_LIBRARY``: the path of the library file itself.
    2. Next to this package (``vek/``) and in its parent folder.
    3. The build folders of a source checkout (``build/release``, ``build/*``).
    """
    paths: List[Path] = []
    env = os.environ.get("VEK_LIBRARY")
    if env:
        paths.append(Path(env))
        return paths
    here = Path(__file__).resolve().parent
    for folder in (here, here.parent):
        paths.extend(folder / n for n in _NAMES)
    root = here.parent.parent
    build = root / "build"
    preferred = [build / "release"]
    if build.is_dir():
        preferred += sorted(p for p in build.iterdir() if p.is_dir() and p.name != "release")
    for folder in preferred:
        paths.extend(folder / n for n in _NAMES)
    return paths


# ---- Windows: the calling convention and the DLL search path -------------------


def _open(path: str) -> ctypes.CDLL:
    """Opens the library at ``path`` (a file, or a bare name for the system's search).

    On Windows the exports use the standard calling convention, which on
    32-bit Windows differs from the C one: the DLL is opened with ``WinDLL``
    (on 64-bit Windows both are the same). The DLL's folder is added to the
    DLL search path, so DLLs placed beside it are found as well.
    """
    if os.name != "nt":
        return ctypes.CDLL(path)
    folder = os.path.dirname(os.path.abspath(path)) if os.path.dirname(path) else None
    if folder and hasattr(os, "add_dll_directory"):
        _dll_directories.append(os.add_dll_directory(folder))
    return ctypes.WinDLL(path)


_dll_directories: list = []  # handles kept open: the folders stay on the search path


def _load() -> "tuple[ctypes.CDLL, str]":
    tried = []
    for path in candidate_paths():
        if path.is_file():
            try:
                return _open(str(path)), str(path)
            except OSError as exc:  # a library of the wrong kind: say so, go on
                tried.append(f"{path}: {exc}")
        else:
            tried.append(f"{path}: not found")
    if not os.environ.get("VEK_LIBRARY"):
        # On Windows: the DLL search path (PATH, folders given to os.add_dll_directory).
        found = ctypes.util.find_library("vek_dll")
        if found:
            return _open(found), found
    raise OSError(
        "cannot load the vek_dll library; set VEK_LIBRARY to the path of libvek_dll.so. Tried:\n  "
        + "\n  ".join(tried)
    )


lib, library_path = _load()

_u8p = ctypes.POINTER(ctypes.c_uint8)
_u32p = ctypes.POINTER(ctypes.c_uint32)
_vp = ctypes.c_void_p
_u32 = ctypes.c_uint32
_i32 = ctypes.c_int32
_int = ctypes.c_int
_str = ctypes.c_char_p


class DeviceInitParams(ctypes.Structure):
    """The record of VekDevInit: four u32 words, in this order."""

    _fields_ = [("reserved", _u32), ("frequency", _u32), ("grayBits", _u32), ("reg30Value", _u32)]


def _proto(name: str, restype, *argtypes) -> None:
    fn = getattr(lib, name)
    fn.restype = restype
    fn.argtypes = list(argtypes)


# Device handle
_proto("VekDevAlloc", _u32, _u32, ctypes.POINTER(_vp), _u8p)
_proto("VekDevInit", _u32, _vp, ctypes.POINTER(DeviceInitParams))
_proto("VekDevFree", _u32, _vp)
_proto("DevReAlloc", _int, _vp)
_proto("VekIfDevOpenned", _int, _vp)
_proto("GetFWversion", None, _u8p)
_proto("VekDownloadFirmWare", _int, _vp, _u32)
# Commands, frames
_proto("VekDevControl", _u32, _vp, _u32, _u32p)
_proto("VekDevLoadFrame", _u32, _vp, _vp, _u32, _u32)
_proto("VekDevGetFrame", _u32, _vp, _vp, _u32, _u32)
_proto("VekDevBlockClear", _u32, _vp, _u32, _u32)
# Inquiries, timing, trigger, GPIO
_proto("VekDevInquire", _u32, _vp, _u32, _u32p)
_proto("VekDevNewFrequencySet", _u32, _vp, _u32, _u32, _u32)
_proto("VekDevTriggerExtSet", _u32, _vp, _u32, ctypes.c_uint8, _u32, _u32)
_proto("VekDevSetGPIO", _u32, _vp, _u32p)
_proto("VekDevGetGPIO", _u32, _vp, _u32p)
_proto("VekDevRReg", _u32, _vp, _u32, _u32p)
# Register transport
_proto("VekWriteReg", _u32, _vp, _u32, _u32p)
_proto("VekReadReg", _u32, _vp, _u32, _u32p)
_proto("VekWriteData", _u32, _vp, _u32, _vp)
_proto("ResetUSBPipe", _int, _vp, _u32)
# Accessors
_proto("VekDevGetDevice", _vp, _vp)
_proto("VekDevGetListedName", _i32, _vp, _u32, ctypes.c_char_p, _u32)
# Image functions
_proto("pixel2bin", _vp, _vp, _i32, _i32, ctypes.c_uint8, _vp)
_proto("bin2pixel", _vp, _vp, _i32, _i32, ctypes.c_uint8, _vp)
_proto("GetGrayPixelFormat", _vp, _str, _i32, _i32, _vp)
_proto("GetRGBPixelFormat", _int, _str, _i32, _i32, _vp, _vp, _vp)
_proto("GetGrayBinFormat", _vp, _str, _i32, _i32, ctypes.c_uint8, _vp)
_proto("GetRGBBinFormat", _int, _str, _i32, _i32, ctypes.c_uint8, _vp, _vp, _vp)
_proto("ImageAddSerialNumber", _int, _str, _i32, _i32, _i32)
_proto("BatchImage2Bin", _int, _str, _i32, _i32)
_proto("TestMe", _i32)


def has_symbol(name: str) -> bool:
    """True when the loaded library exports `name`."""
    try:
        getattr(lib, name)
        return True
    except AttributeError:
        return False


def optional_library_path() -> Optional[str]:
    """The path the library was loaded from."""
    return library_path
