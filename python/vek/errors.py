"""Result codes of the device calls, and the exception that carries them."""

from __future__ import annotations

from typing import Dict, NamedTuple, Optional

__all__ = ["VekError", "VekFailure", "CODES", "code_name", "check"]


class CodeInfo(NamedTuple):
    name: str
    meaning: str


DEV_OK = 0x00000000
DEV_ERR_NO_DEVICE = 0x80000001
DEV_ERR_NULL_ARGUMENT = 0x80000005
DEV_ERR_BUSY = 0x80000006
DEV_ERR_UNSUPPORTED = 0x80000008
DEV_ERR_TRANSFER = 0x80000009
DEV_ERR_NO_MEMORY = 0x8000000A
DEV_ERR_TIMING = 0x8000000C
DEV_ERR_FRAME_MODE = 0x8000000D
DEV_ERR_GRAY_DEPTH = 0x8000000E
DEV_ERR_VERIFY = 0x8000000F
DEV_ERR_I2C_NOT_READY = 0x80000020
DEV_ERR_I2C_NOT_DONE = 0x80000021
DEV_ERR_FAILED = 0x8000FFFF
VEK_TRANSPORT_FAILED = 0xFFFFFFFF

CODES: Dict[int, CodeInfo] = {
    DEV_OK: CodeInfo("DEV_OK", "success"),
    DEV_ERR_NO_DEVICE: CodeInfo("DEV_ERR_NO_DEVICE", "no board at that index, or it could not be opened"),
    DEV_ERR_NULL_ARGUMENT: CodeInfo("DEV_ERR_NULL_ARGUMENT", "a handle, parameter record or buffer was null"),
    DEV_ERR_BUSY: CodeInfo("DEV_ERR_BUSY", "the board's handle stayed busy for more than a second"),
    DEV_ERR_UNSUPPORTED: CodeInfo("DEV_ERR_UNSUPPORTED", "the command or inquiry number is not supported"),
    DEV_ERR_TRANSFER: CodeInfo("DEV_ERR_TRANSFER", "a register read or write failed on the USB wire"),
    DEV_ERR_NO_MEMORY: CodeInfo("DEV_ERR_NO_MEMORY", "the host ran out of memory"),
    DEV_ERR_TIMING: CodeInfo("DEV_ERR_TIMING", "frequency out of range, or a timing register did not read back"),
    DEV_ERR_FRAME_MODE: CodeInfo("DEV_ERR_FRAME_MODE", "the board's frame layout is not known"),
    DEV_ERR_GRAY_DEPTH: CodeInfo("DEV_ERR_GRAY_DEPTH", "gray depth outside 1 to 16"),
    DEV_ERR_VERIFY: CodeInfo("DEV_ERR_VERIFY", "a register did not read back the value written"),
    DEV_ERR_I2C_NOT_READY: CodeInfo("DEV_ERR_I2C_NOT_READY", "the I2C bus was not ready"),
    DEV_ERR_I2C_NOT_DONE: CodeInfo("DEV_ERR_I2C_NOT_DONE", "the I2C access did not complete"),
    DEV_ERR_FAILED: CodeInfo("DEV_ERR_FAILED", "the timing cannot be met, or the control register did not read back"),
    VEK_TRANSPORT_FAILED: CodeInfo("VEK_TRANSPORT_FAILED", "a raw register or data transfer failed"),
}


def code_name(code: int) -> str:
    """The name of a result code ("DEV_ERR_TRANSFER"), or its hex form if unknown."""
    info = CODES.get(code)
    return info.name if info else f"0x{code:08X}"


class VekError(Exception):
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


class VekFailure(RuntimeError):
    """A library call that reports only success or failure returned failure."""


def check(code: int, call: str, ok: Optional[int] = DEV_OK) -> None:
    """Raise VekError unless `code` is DEV_OK."""
    if code != ok:
        raise VekError(code, call)
