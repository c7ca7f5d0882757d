"""The virtual VEK board: boards that live in this process, found by Board() like real ones.

>>> import vek
>>> with vek.sim.VirtualBoard() as board_id, vek.Board(0) as board:
...     board.init()
...     vek.sim.get_register(board_id, 0x21)
117440766
"""

from __future__ import annotations

import ctypes
from dataclasses import dataclass
from enum import IntEnum
from typing import List, Optional

from ._lib import NameEntry
from ._lib import declare as _proto
from ._lib import lib
from .errors import ArgumentError

__all__ = [
    "Fault", "TraceKind", "TraceEntry", "VirtualBoard", "ANY_ENDPOINT",
    "attach", "detach", "detach_all", "get_register", "set_register", "read_memory", "write_memory",
    "read_controller_ram", "controller_held", "set_virtual_clock", "virtual_clock", "clock_ms",
    "inject_fault", "queue_in_data", "clear_faults", "request_count", "trace", "trace_text", "trace_clear", "trace_enable",
]

ANY_ENDPOINT = 0xFFFFFFFF


_proto("VekSimFaultAt", ctypes.POINTER(NameEntry), ctypes.c_uint32)


def _fault_enum() -> type:
    """Fault: NONE, STALL, FAIL_AT_ISSUE, ... built from the library's list of fault kinds (VekSimFaultAt)."""
    rows: "list[NameEntry]" = []
    while row := lib.VekSimFaultAt(len(rows)):
        rows.append(row.contents)
    return IntEnum("Fault", {row.name.decode().upper().replace("-", "_"): row.number for row in rows})


def __getattr__(name: str):
    # Fault is read from the library on first use, so that importing vek needs no library.
    if name == "Fault":
        globals()["Fault"] = _fault_enum()
        return globals()["Fault"]
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")


class TraceKind(IntEnum):
    """Kinds of trace entries."""

    REQUEST = 1
    COMPLETION = 2
    REGISTER_WRITE = 3
    REGISTER_READ = 4
    CONTROL = 5
    DATA = 6
    ABORT = 7
    RESET = 8
    PAUSE = 9
    FAULT = 10
    ATTACH = 11
    DETACH = 12


class _Config(ctypes.Structure):
    _fields_ = [("size", ctypes.c_uint32), ("deviceName", ctypes.c_char_p),
                ("manufacturer", ctypes.c_char_p), ("boardTypeRegister", ctypes.c_uint32)]


class _TraceEntry(ctypes.Structure):
    _fields_ = [("kind", ctypes.c_uint32), ("board", ctypes.c_int32), ("clockMs", ctypes.c_uint64),
                ("code", ctypes.c_uint32), ("endpoint", ctypes.c_uint32), ("inLength", ctypes.c_uint32),
                ("outLength", ctypes.c_uint32), ("result", ctypes.c_uint32), ("error", ctypes.c_uint32),
                ("bytes", ctypes.c_uint32), ("address", ctypes.c_uint32), ("value", ctypes.c_uint32),
                ("carried", ctypes.c_uint32), ("direction", ctypes.c_uint32), ("length", ctypes.c_uint32),
                ("bmRequestType", ctypes.c_uint8), ("bRequest", ctypes.c_uint8), ("wValue", ctypes.c_uint16),
                ("wIndex", ctypes.c_uint16), ("wLength", ctypes.c_uint16)]


@dataclass(frozen=True)
class TraceEntry:
    """One thing the virtual board was told (or one pause)."""

    kind: TraceKind
    board: int
    clock_ms: int
    address: int = 0
    value: int = 0
    endpoint: int = 0
    direction: int = 0
    length: int = 0
    bytes: int = 0
    code: int = 0
    request: int = 0
    w_value: int = 0


_u32, _int, _vp = ctypes.c_uint32, ctypes.c_int, ctypes.c_void_p
_proto("VekSimAttach", _int, ctypes.POINTER(_Config))
_proto("VekSimDetach", _int, _int)
_proto("VekSimDetachAll", None)
_proto("VekSimGetRegister", _int, _int, _u32, ctypes.POINTER(_u32))
_proto("VekSimSetRegister", _int, _int, _u32, _u32)
_proto("VekSimReadMemory", _int, _int, _u32, _vp, _u32)
_proto("VekSimWriteMemory", _int, _int, _u32, _vp, _u32)
_proto("VekSimReadControllerRam", _int, _int, _u32, _vp, _u32)
_proto("VekSimControllerHeld", _int, _int)
_proto("VekSimSetVirtualClock", None, _int)
_proto("VekSimVirtualClock", _int)
_proto("VekSimClockMs", ctypes.c_uint64)
_proto("VekSimInjectFault", _int, _int, _u32, _u32, _int)
_proto("VekSimQueueInData", _int, _int, _u32, _vp, _u32)
_proto("VekSimClearFaults", _int, _int)
_proto("VekSimRequestCount", ctypes.c_int64, _int, _u32)
_proto("VekSimTraceCount", _u32)
_proto("VekSimTraceGet", _int, _u32, ctypes.POINTER(_TraceEntry))
_proto("VekSimTraceClear", None)
_proto("VekSimTraceEnable", None, _int)
_proto("VekSimTraceText", _u32, ctypes.c_char_p, _u32)


def _ok(result: int, what: str) -> None:
    if result != 0:
        raise ArgumentError(f"{what} failed (unknown board id or bad argument)")


def attach(device_name: Optional[str] = None, manufacturer: Optional[str] = None,
           board_type_register: int = 0) -> int:
    """Attach a virtual board; returns its id (boards are listed in attach order).

    Args:
        device_name: the driver's device name (default: one starting "VEK4.0").
        manufacturer: the manufacturer string, which becomes the firmware version text.
        board_type_register: content of register 0x02 (0: a 1920x1080 board,
            0x10000000: a 1024x768 board).
    """
    cfg = _Config(ctypes.sizeof(_Config), device_name.encode() if device_name else None,
                  manufacturer.encode() if manufacturer else None, board_type_register)
    board = lib.VekSimAttach(ctypes.byref(cfg))
    if board < 0:
        raise RuntimeError("VekSimAttach failed")
    return board


def detach(board: int) -> None:
    """Detach a board: it leaves enumeration, and open handles fail their requests."""
    _ok(lib.VekSimDetach(board), "VekSimDetach")


def detach_all() -> None:
    """Detach every board, forget all ids and clear the trace."""
    lib.VekSimDetachAll()


def get_register(board: int, address: int) -> int:
    """A board register's content."""
    word = ctypes.c_uint32(0)
    _ok(lib.VekSimGetRegister(board, address, ctypes.byref(word)), "VekSimGetRegister")
    return word.value


def set_register(board: int, address: int, value: int) -> None:
    """Set a board register (also the ones the host cannot change: 0x02, 0x03, 0x51)."""
    _ok(lib.VekSimSetRegister(board, address, value), "VekSimSetRegister")


def read_memory(board: int, address: int, length: int) -> bytes:
    """Bytes of board memory (unwritten bytes read 0)."""
    buf = ctypes.create_string_buffer(length)
    _ok(lib.VekSimReadMemory(board, address, buf, length), "VekSimReadMemory")
    return buf.raw


def write_memory(board: int, address: int, data: bytes) -> None:
    """Write board memory directly."""
    _ok(lib.VekSimWriteMemory(board, address, data, len(data)), "VekSimWriteMemory")


def read_controller_ram(board: int, address: int, length: int) -> bytes:
    """Bytes of the USB controller's 64 KiB RAM."""
    buf = ctypes.create_string_buffer(length)
    _ok(lib.VekSimReadControllerRam(board, address, buf, length), "VekSimReadControllerRam")
    return buf.raw


def controller_held(board: int) -> bool:
    """True while the controller's CPU is held in reset."""
    held = lib.VekSimControllerHeld(board)
    if held < 0:
        raise ArgumentError("unknown board id")
    return held == 1


def set_virtual_clock(enabled: bool) -> None:
    """Virtual clock on: the virtual boards' pauses and time-outs pass at once.

    Real boards always get real pauses, whatever the mode.
    """
    lib.VekSimSetVirtualClock(1 if enabled else 0)


def virtual_clock() -> bool:
    """True while the virtual clock is on."""
    return lib.VekSimVirtualClock() == 1


def clock_ms() -> int:
    """Milliseconds on the clock in use (virtual or monotonic)."""
    return lib.VekSimClockMs()


def inject_fault(board: int, fault: Fault, nth_request: int = 1, endpoint: int = ANY_ENDPOINT) -> None:
    """Arm `fault` for the nth request (1 = the next) on `endpoint` (or any)."""
    _ok(lib.VekSimInjectFault(board, endpoint, nth_request, int(fault)), "VekSimInjectFault")


def queue_in_data(board: int, endpoint: int, data: bytes) -> None:
    """Queue one IN transfer's worth of data on an IN endpoint (0x86: a reply nobody asked for)."""
    _ok(lib.VekSimQueueInData(board, endpoint, data, len(data)), "VekSimQueueInData")


def clear_faults(board: int) -> None:
    """Disarm every fault of a board."""
    _ok(lib.VekSimClearFaults(board), "VekSimClearFaults")


def request_count(board: int, endpoint: int = ANY_ENDPOINT) -> int:
    """Requests counted so far on a pipe (or on all)."""
    n = lib.VekSimRequestCount(board, endpoint)
    if n < 0:
        raise ArgumentError("unknown board id")
    return n


def trace(kinds: Optional[List[TraceKind]] = None) -> List[TraceEntry]:
    """The trace so far (all boards, in order), optionally only some kinds."""
    out = []
    raw = _TraceEntry()
    for i in range(lib.VekSimTraceCount()):
        if lib.VekSimTraceGet(i, ctypes.byref(raw)) != 0:
            break
        try:
            kind = TraceKind(raw.kind)
        except ArgumentError:
            continue
        if kinds and kind not in kinds:
            continue
        out.append(TraceEntry(kind, raw.board, raw.clockMs, raw.address, raw.value, raw.endpoint, raw.direction,
                              raw.length, raw.bytes, raw.code, raw.bRequest, raw.wValue))
    return out


def trace_text() -> str:
    """The trace as text, one line per entry."""
    need = lib.VekSimTraceText(None, 0)
    buf = ctypes.create_string_buffer(need + 1)
    lib.VekSimTraceText(buf, need + 1)
    return buf.value.decode("utf-8", errors="replace")


def trace_clear() -> None:
    """Empty the trace."""
    lib.VekSimTraceClear()


def trace_enable(enabled: bool) -> None:
    """Turn recording on or off."""
    lib.VekSimTraceEnable(1 if enabled else 0)


class VirtualBoard:
    """Attach a virtual board for a ``with`` block (virtual clock on); yields its id.

    On exit its own board is detached (blocks may nest: an inner block's end
    leaves the outer one's board) and the clock mode found on entry comes back.
    """

    def __init__(self, device_name: Optional[str] = None, manufacturer: Optional[str] = None,
                 board_type_register: int = 0, virtual_clock: bool = True) -> None:
        self._args = (device_name, manufacturer, board_type_register)
        self._virtual_clock = virtual_clock
        self._clock_found = False
        self.id: Optional[int] = None

    def __enter__(self) -> int:
        self._clock_found = virtual_clock()
        set_virtual_clock(self._virtual_clock)
        try:
            self.id = attach(*self._args)
        except BaseException:
            set_virtual_clock(self._clock_found)
            raise
        return self.id

    def __exit__(self, *exc: object) -> None:
        if self.id is not None:
            try:
                detach(self.id)
            except ArgumentError:
                pass  # detached already (detach_all in the block)
        set_virtual_clock(self._clock_found)
        self.id = None
