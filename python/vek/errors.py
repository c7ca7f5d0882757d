"""The exceptions of the package, and the result codes they carry.

Every exception the package raises derives from :class:`Error`; those that
stand for a built-in kind of failure derive from that built-in as well
(:class:`ArgumentError` is a ``ValueError``, :class:`UnknownNameError` a
``KeyError``, :class:`DataTypeError` a ``TypeError``, :class:`FileError` an
``OSError``: :class:`MissingFileError` a ``FileNotFoundError``,
:class:`DirectoryError` an ``IsADirectoryError``), so either may be caught.
"""

from __future__ import annotations

import ctypes
import errno
import os
from collections.abc import Mapping
from typing import Callable, Dict, Iterator, NamedTuple, Optional, TypeVar

from ._lib import lib

__all__ = ["Error", "VekError", "VekFailure", "StaleReplyError", "ArgumentError", "UnknownNameError",
           "DataTypeError", "FileError", "MissingFileError", "DirectoryError", "CODES", "code_name", "check"]


class CodeInfo(NamedTuple):
    name: str
    meaning: str


def library_table(table: int) -> "list[ctypes.Structure]":
    """The rows of one of the library's tables of names (VEK_TABLE_* of vek_names.h)."""
    rows = []
    while True:
        row = lib.VekNameAt(table, len(rows))
        if not row:
            return rows
        rows.append(row.contents)


TABLE_RESULTS, TABLE_COMMANDS, TABLE_INQUIRIES, TABLE_REGISTERS, TABLE_BOARD_TYPES = 0, 1, 2, 3, 4

V = TypeVar("V")


class LibraryTable(Mapping):
    """A read-only mapping built from the library's tables on first use (the library loads then)."""

    def __init__(self, what: str, build: Callable[[], Dict[object, V]]) -> None:
        self._what, self._build, self._data = what, build, None

    def _rows(self) -> Dict[object, V]:
        if self._data is None:
            self._data = self._build()
        return self._data

    def __getitem__(self, key: object) -> V:
        return self._rows()[key]

    def __iter__(self) -> Iterator[object]:
        return iter(self._rows())

    def __len__(self) -> int:
        return len(self._rows())

    def __repr__(self) -> str:  # help() shows it without loading the library
        return repr(self._data) if self._data is not None else f"<{self._what}: read from the library on first use>"


#: Result codes by number, with their names and meanings, from the library.
CODES: Mapping = LibraryTable("result codes", lambda: {row.number: CodeInfo(row.name.decode(), row.meaning.decode())
                                       for row in library_table(TABLE_RESULTS)})
#: Result code numbers by name.
NUMBERS: Mapping = LibraryTable("result code numbers", lambda: {info.name: code for code, info in CODES.items()})


def code_name(code: int) -> str:
    """The name of a result code ("DEV_ERR_TRANSFER"), or its hex form if unknown."""
    info = CODES.get(code)
    return info.name if info else f"0x{code:08X}"


class Error(Exception):
    """Base of every exception the vek package raises."""


class VekError(Error):
    """A device call returned a result code other than DEV_OK.

    Attributes:
        code: the 32-bit result code.
        name: its name, e.g. ``"DEV_ERR_GRAY_DEPTH"``.
        meaning: one line on what it means.
        call: the library call that returned it.
    """

    def __init__(self, code: int, call: str = "") -> None:
        self.code = code
        self.name = code_name(code)
        info = CODES.get(code)
        self.meaning = info.meaning if info else "an undocumented result code"
        self.call = call
        super().__init__(f"{call + ': ' if call else ''}{self.name} (0x{code:08X}): {self.meaning}")


class VekFailure(Error, RuntimeError):
    """A library call that reports only success or failure returned failure."""


class StaleReplyError(Error):
    """A register read got the reply for another register: a reply nobody took is queued ahead.

    Attributes:
        address: the register asked for.
        echoed: the register the reply names.
    """

    def __init__(self, address: int, echoed: int) -> None:
        self.address = address
        self.echoed = echoed
        super().__init__(f"the board answered for register 0x{echoed:02X} instead of 0x{address:02X}: a stale "
                         "reply is queued; later reads are shifted by one until the board is reset")


class FileError(Error, OSError):
    """A file that cannot be used: not there, a directory, or not an image the library reads."""


class MissingFileError(FileError, FileNotFoundError):
    """A file that is not there."""


class DirectoryError(FileError, IsADirectoryError):
    """A directory where a file is taken."""


def check_file(path: "os.PathLike[str] | str") -> bytes:
    """The name of an existing file, as the library takes it; MissingFileError or DirectoryError otherwise."""
    name = os.fsencode(os.fspath(path))
    if os.path.isdir(name):
        raise DirectoryError(errno.EISDIR, "a directory, not a file", os.fspath(path))
    if not os.path.exists(name):
        raise MissingFileError(errno.ENOENT, "no such file", os.fspath(path))
    return name


class ArgumentError(Error, ValueError):
    """An argument out of range or misaligned, or a call on a closed board; nothing was sent."""


class UnknownNameError(Error, KeyError):
    """A command or inquiry name the library does not know."""


class DataTypeError(Error, TypeError):
    """Data of another type than the call takes (pixels and frames are uint8), with no conversion asked for."""


def check(code: int, call: str) -> None:
    """Raise VekError unless `code` is DEV_OK."""
    if code != NUMBERS["DEV_OK"]:
        raise VekError(code, call)
