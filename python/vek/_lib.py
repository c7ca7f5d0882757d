"""Finding and loading the vek_dll shared library, and the C prototypes.

The library is loaded on first use, not on import: ``import vek`` and
``help(vek)`` work without it, and the first call that needs it raises the
OSError that says where it was looked for.
"""

from __future__ import annotations

import ctypes
import ctypes.util
import os
import sys
from pathlib import Path
from typing import List, Optional

__all__ = ["lib", "loaded_path", "candidate_paths", "declare"]

_NAMES = ("libvek_dll.so.1", "libvek_dll.so", "libvek_dll.dylib", "vek_dll.dll")
# The name the system's library search knows (the library's soname).
_SONAME = {"win32": "vek_dll.dll", "darwin": "libvek_dll.1.dylib"}.get(sys.platform, "libvek_dll.so.1")


def _installed_library() -> Optional[Path]:
    """The library of the installation this package belongs to, as written by
    ``cmake --install`` (relative to the package folder); None otherwise."""
    try:
        from ._installed import LIBRARY  # type: ignore[import-not-found]
    except ImportError:
        return None
    return Path(__file__).resolve().parent / LIBRARY


def candidate_paths() -> List[Path]:
    """The files the library is looked for in, in order, before the system's search.

    1. ``VEK_LIBRARY``: the path of the library file itself (then nothing else).
    2. The library of the same ``cmake --install``.
    3. Next to this package (``vek/``) and in its parent folder.
    4. In a source checkout, its build folders (``build/release``, ``build/*``).
    """
    env = os.environ.get("VEK_LIBRARY")
    if env:
        return [Path(env)]
    paths: List[Path] = []
    installed = _installed_library()
    if installed is not None:
        paths.append(installed)
    here = Path(__file__).resolve().parent
    for folder in (here, here.parent):
        paths.extend(folder / n for n in _NAMES)
    root = here.parent.parent
    build = root / "build"
    if (root / "CMakeLists.txt").is_file() and build.is_dir():
        preferred = [build / "release"]
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
    """Loads the first candidate that is a file; then, without VEK_LIBRARY, the
    system's search (the dynamic loader's paths, then ctypes.util.find_library)."""
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
        # The system's search: the dynamic loader's paths by soname; on Windows,
        # the DLL search path (PATH, folders given to os.add_dll_directory).
        try:
            return _open(_SONAME), _SONAME
        except OSError as exc:
            tried.append(f"{_SONAME}: {exc}")
        found = ctypes.util.find_library("vek_dll")
        if found:
            return _open(found), found
        tried.append("ctypes.util.find_library('vek_dll'): not found")
    raise OSError(
        "cannot load the vek_dll library; set VEK_LIBRARY to the path of libvek_dll.so. Tried:\n  "
        + "\n  ".join(tried)
    )


# The C prototypes, set on the library when it is loaded.
_prototypes: "list[tuple]" = []


def declare(name: str, restype, *argtypes) -> None:
    """Declare an export's result and argument types (set when the library is loaded)."""
    _prototypes.append((name, restype, argtypes))
    if _Library.loaded is not None:
        _set_prototype(_Library.loaded[0], name, restype, argtypes)


def _set_prototype(cdll: ctypes.CDLL, name: str, restype, argtypes) -> None:
    fn = getattr(cdll, name)
    fn.restype = restype
    fn.argtypes = list(argtypes)


class _Library:
    """The vek_dll library, loaded when an export is first asked for."""

    loaded: "Optional[tuple[ctypes.CDLL, str]]" = None

    @classmethod
    def get(cls) -> "tuple[ctypes.CDLL, str]":
        if cls.loaded is None:
            cdll, path = _load()
            for name, restype, argtypes in _prototypes:
                _set_prototype(cdll, name, restype, argtypes)
            cls.loaded = (cdll, path)
        return cls.loaded

    def __getattr__(self, name: str):
        return getattr(self.get()[0], name)

    def __repr__(self) -> str:
        return f"<vek_dll library {self.loaded[1] if self.loaded else '(not loaded yet)'}>"


lib = _Library()


def loaded_path() -> str:
    """The path the library was loaded from (loading it now if needed)."""
    return _Library.get()[1]

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


class BoardInfo(ctypes.Structure):
    """VekBoardInfo of vek_dll.h: what tells one attached board from another."""

    _fields_ = [("index", _u32), ("vendorId", ctypes.c_uint16), ("productId", ctypes.c_uint16), ("bus", _u32),
                ("isVirtual", ctypes.c_int32), ("portPath", ctypes.c_char * 64), ("serial", ctypes.c_char * 128),
                ("backend", ctypes.c_char * 32)]


_proto = declare

# Device handle
_proto("VekDevAlloc", _u32, _u32, ctypes.POINTER(_vp), _u8p)
_proto("VekDevInit", _u32, _vp, ctypes.POINTER(DeviceInitParams))
_proto("VekDevFree", _u32, _vp)
_proto("DevReAlloc", _int, _vp)
_proto("VekDevReopen", _int, _vp)
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
_proto("VekDevRRegEcho", _u32, _vp, _u32, _u32p, _u32p)  # vek_registers.h
# Register transport
_proto("VekWriteReg", _u32, _vp, _u32, _u32p)
_proto("VekReadReg", _u32, _vp, _u32, _u32p)
_proto("VekWriteData", _u32, _vp, _u32, _vp)
_proto("ResetUSBPipe", _int, _vp, _u32)
# Accessors
_proto("VekDevGetDevice", _vp, _vp)
_proto("VekDevGetListedName", _i32, _vp, _u32, ctypes.c_char_p, _u32)
_proto("VekListBoards", _i32, ctypes.POINTER(BoardInfo), _u32)
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


class NameEntry(ctypes.Structure):
    """VekNameEntry of vek_names.h: one row of the library's tables of names."""

    _fields_ = [("number", _u32), ("name", ctypes.c_char_p), ("meaning", ctypes.c_char_p), ("value", _u32)]


class FrameLayout(ctypes.Structure):
    """VekFrameLayout of vek_names.h: the size of a board type's bit planes."""

    _fields_ = [("boardType", _u32), ("width", _u32), ("height", _u32), ("bytesPerPlane", _u32),
                ("bytesPerFrame", _u32), ("frameMode", _u32)]


class FirmwareImage(ctypes.Structure):
    """VekFirmwareImage of vek_files.h: the RAM range a firmware file fills."""

    _fields_ = [("start", _u32), ("end", _u32)]


# Names (vek_names.h), files (vek_files.h), version (vek_version.h)
_proto("VekNameAt", ctypes.POINTER(NameEntry), _u32, _u32)
_proto("VekBoardFrameLayout", _int, _u32, ctypes.POINTER(FrameLayout))
_proto("VekFirmwareCheck", _int, _str, ctypes.POINTER(FirmwareImage))
_proto("VekDownloadFirmwareFile", _int, _vp, _str)
_proto("VekWriteTestPatterns", _i32, _str)
_proto("VekVersion", ctypes.c_char_p)
_proto("VekBuildInfo", ctypes.c_char_p)


def has_symbol(name: str) -> bool:
    """True when the loaded library exports `name`."""
    try:
        getattr(lib, name)
        return True
    except AttributeError:
        return False

