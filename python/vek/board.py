"""A VEK board: allocation, commands, inquiries, frames, timing, firmware."""

from __future__ import annotations

import ctypes
import operator
import os
from collections.abc import Mapping
from typing import Dict, List, Optional, Tuple, Union

import numpy as np

from ._lib import BoardInfo, DeviceInitParams, FirmwareImage, FrameLayout, lib
from .errors import (NUMBERS, TABLE_BOARD_TYPES, TABLE_COMMANDS, TABLE_INQUIRIES, ArgumentError, LibraryTable, StaleReplyError,
                     UnknownNameError, VekError, VekFailure, check, check_file, library_table)
from .image import as_uint8

__all__ = ["Board", "COMMANDS", "INQUIRIES", "firmware_version", "list_boards"]

#: Command numbers of :meth:`Board.control`, by name (the library's table).
COMMANDS: Mapping = LibraryTable("command numbers", lambda: {row.name.decode(): row.number for row in library_table(TABLE_COMMANDS)})

#: Inquiry numbers of :meth:`Board.inquire`, by name (the library's table).
INQUIRIES: Mapping = LibraryTable("inquiry numbers", lambda: {row.name.decode(): row.number for row in library_table(TABLE_INQUIRIES)})

#: Highest board index VekDevAlloc is asked for.
MAX_BOARD_INDEX = 255

#: Why the library refuses a firmware file (VEK_FIRMWARE_* of vek_files.h).
_FIRMWARE_REFUSALS = {
    1: "the records end without the final record (length 0x8001)",
    2: "a record runs past the end of the file",
    3: "a record runs past the controller's 64 KiB",
    4: "the image ends above 0xF800",
    5: "it cannot be read, or is larger than 65535 bytes",
}


def _number(kind: str, table: Dict[str, int], key: Union[int, str]) -> int:
    """A command's or inquiry's number from its name or number."""
    if isinstance(key, str):
        try:
            return table[key]
        except KeyError:
            raise UnknownNameError(f"unknown {kind} name {key!r}; known: {', '.join(table)}") from None
    return _u32(key, kind)


def _u32(value: int, what: str) -> int:
    """`value` as a u32 argument, refused (not wrapped) when out of range."""
    try:
        number = operator.index(value)
    except TypeError:
        raise ArgumentError(f"{what} must be an integer, not {type(value).__name__}") from None
    if not 0 <= number <= 0xFFFFFFFF:
        raise ArgumentError(f"{what} {number} is outside 0 to 0xFFFFFFFF")
    return number


def _frame_size(board_type: int) -> Optional[Tuple[int, int]]:
    """(width, height) of a board type's bit planes (VekBoardFrameLayout), None when it has none."""
    layout = FrameLayout()
    return (layout.width, layout.height) if lib.VekBoardFrameLayout(board_type, ctypes.byref(layout)) else None


#: Frame size (width, height) of each board type that inquiry 5 reports (the library's table).
FRAME_SIZES: Mapping = LibraryTable("frame sizes by board type", lambda: {
    row.number: size for row in library_table(TABLE_BOARD_TYPES) if (size := _frame_size(row.number))})


def firmware_version() -> str:
    """The firmware version text of the last board opened (GetFWversion, 15 UTF-16 characters)."""
    raw = (ctypes.c_uint8 * 30)()
    lib.GetFWversion(raw)
    return bytes(raw).decode("utf-16-le", errors="replace").split("\x00", 1)[0]


class Board:
    """An open board; a context manager that frees the handle on exit.

    >>> with vek.sim.VirtualBoard(), vek.Board(0) as board:
    ...     board.init(frequency=60, gray_bits=8)
    ...     board.board_type()
    1

    Every device call raises :class:`VekError` (with ``.code`` and ``.name``)
    when the library returns a result code other than DEV_OK.
    """

    def __init__(self, board: Union[int, str] = 0) -> None:
        """Open a board by its index, its port path ("1-2.3") or its serial number (see :func:`list_boards`)."""
        self._handle: Optional[int] = None
        self._layout_known = False
        self._type = None
        index = _board_index(board)
        handle = ctypes.c_void_p()
        flag = ctypes.c_uint8(0)
        check(lib.VekDevAlloc(index, ctypes.byref(handle), ctypes.byref(flag)), "VekDevAlloc")
        self._handle = handle.value
        self.index = index
        #: True when the first listed board's device name begins "VEK4.0".
        self.first_is_vek40 = flag.value == 1
        #: The firmware version text read when the board was opened.
        self.firmware_version = firmware_version()
        described = [b for b in _described_boards() if b.index == index]
        #: What tells the board from others: bus, port path, serial number (from :func:`list_boards`).
        self.bus, self.port_path, self.serial = ((described[0].bus, described[0].portPath.decode(errors="replace"),
                                                  described[0].serial.decode(errors="replace"))
                                                 if described else (0, "", ""))
        self._type: Optional[int] = None

    def __repr__(self) -> str:
        state = "closed" if self._handle is None else f"board type {self._type}" if self._type is not None else "open"
        return (f"<vek.Board {self.index}: bus {self.bus}, port {self.port_path or '?'}, "
                f"serial {self.serial or '?'}, {state}>")

    # -- life cycle ------------------------------------------------------

    @property
    def handle(self) -> int:
        """The DeviceHandle pointer (raises if the board was closed)."""
        if self._handle is None:
            raise ArgumentError("the board is closed")
        return self._handle

    def close(self) -> None:
        """Free the handle (VekDevFree). Closing twice does nothing."""
        if getattr(self, "_handle", None) is not None:
            handle, self._handle = self._handle, None
            check(lib.VekDevFree(handle), "VekDevFree")

    def __enter__(self) -> "Board":
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def __del__(self) -> None:
        try:
            self.close()
        except Exception:
            pass

    @property
    def is_open(self) -> bool:
        """VekIfDevOpenned: whether the USB device is open."""
        return self._handle is not None and lib.VekIfDevOpenned(self._handle) == 1

    def init(self, frequency: int = 60, gray_bits: int = 8, reg30: int = 0) -> None:
        """VekDevInit: gray depth (command 15), frequency (14), register 0x30 (18)."""
        params = DeviceInitParams(0, _u32(frequency, "frequency"), _u32(gray_bits, "gray_bits"), _u32(reg30, "reg30"))
        check(lib.VekDevInit(self.handle, ctypes.byref(params)), "VekDevInit")
        self._layout_known = False  # the library forgets the frame layout

    def reopen(self) -> None:
        """VekDevReopen: reopen this handle's board (found by its port path, else
        its serial number) after a firmware download."""
        if not lib.VekDevReopen(self.handle):
            raise VekFailure("VekDevReopen: the board did not come back as a VEK4.0 device")
        self.firmware_version = firmware_version()

    def download_firmware(self, path: Union[str, "os.PathLike[str]"], reopen: bool = True) -> None:
        """Download a controller firmware image (.iic), then (by default) reopen the board.

        The file is checked first (VekFirmwareCheck): a file the download
        would refuse raises :class:`ArgumentError` before any traffic.
        """
        name = check_file(path)
        refusal = lib.VekFirmwareCheck(name, ctypes.byref(FirmwareImage()))
        if refusal:
            raise ArgumentError(f"firmware file {os.fspath(path)!r} refused: "
                                f"{_FIRMWARE_REFUSALS.get(refusal, 'not a firmware image')}")
        if not lib.VekDownloadFirmwareFile(self.handle, name):
            raise VekFailure(f"VekDownloadFirmwareFile: a transfer of {os.fspath(path)!r} failed "
                             "(the controller may be left halted)")
        if reopen:
            self.reopen()

    # -- commands and inquiries -------------------------------------------

    def control(self, command: Union[int, str], value: int = 0) -> int:
        """VekDevControl: run a command by number (1 to 35) or name (see COMMANDS).

        Returns the value word after the call (the result of commands 30, 33, 34).
        """
        number = _number("command", COMMANDS, command)
        word = ctypes.c_uint32(_u32(value, "value"))
        check(lib.VekDevControl(self.handle, number, ctypes.byref(word)), f"VekDevControl {number}")
        return word.value

    def inquire(self, inquiry: Union[int, str]) -> int:
        """VekDevInquire: run an inquiry by number (0 to 23) or name (see INQUIRIES)."""
        number = _number("inquiry", INQUIRIES, inquiry)
        word = ctypes.c_uint32(0)
        check(lib.VekDevInquire(self.handle, number, ctypes.byref(word)), f"VekDevInquire {number}")
        if number == INQUIRIES["board-type"]:
            self._layout_known = word.value in FRAME_SIZES
            self._type = word.value
        return word.value

    def board_type(self) -> int:
        """Inquiry 5: the board type (1, 2, 3 or 255); also sets the frame layout."""
        return self.inquire(5)

    def frame_size(self) -> Tuple[int, int]:
        """(width, height) of the board's bit planes, from inquiry 5."""
        kind = self.board_type()
        if kind not in FRAME_SIZES:
            raise VekError(NUMBERS["DEV_ERR_FRAME_MODE"], f"board type {kind}")
        return FRAME_SIZES[kind]

    def read_register(self, address: int) -> int:
        """VekDevRReg: read one register under the handle's gate.

        Raises StaleReplyError when the reply names another register (VekDevRRegEcho).
        """
        word, echoed = ctypes.c_uint32(0), ctypes.c_uint32(0)
        check(lib.VekDevRRegEcho(self.handle, _u32(address, "address"), ctypes.byref(word), ctypes.byref(echoed)),
              f"VekDevRRegEcho 0x{address:X}")
        if echoed.value != address & 0x7FFFFFFF:
            raise StaleReplyError(address, echoed.value)
        return word.value

    def _device(self) -> int:
        return lib.VekDevGetDevice(self.handle)

    def attached_device_names(self) -> List[str]:
        """Driver names of the attached devices, as listed when this board was opened."""
        names: List[str] = []
        while True:
            length = lib.VekDevGetListedName(self.handle, len(names), None, 0)
            if length < 0:
                return names
            buffer = ctypes.create_string_buffer(length + 1)
            lib.VekDevGetListedName(self.handle, len(names), buffer, length + 1)
            names.append(buffer.raw[:length].decode("latin-1"))

    def write_register(self, address: int, value: int) -> None:
        """VekWriteReg: write one register (raw transport call)."""
        word = ctypes.c_uint32(_u32(value, "value"))
        check(lib.VekWriteReg(self._device(), _u32(address, "address"), ctypes.byref(word)), f"VekWriteReg 0x{address:X}")

    def read_register_raw(self, address: int) -> int:
        """VekReadReg: read one register with the raw transport call (no gate)."""
        word = ctypes.c_uint32(0)
        check(lib.VekReadReg(self._device(), _u32(address, "address"), ctypes.byref(word)), f"VekReadReg 0x{address:X}")
        return word.value

    def write_data(self, data: Union[bytes, bytearray, np.ndarray]) -> None:
        """VekWriteData: send bytes to the frame data endpoint as one bulk transfer (raw transport call).

        The board stores them only while a frame transfer is armed; :meth:`load_frame` does all of it.
        """
        buf = as_uint8(data, False, "data").reshape(-1)
        check(lib.VekWriteData(self._device(), buf.size, buf.ctypes.data), "VekWriteData")

    # -- frames -----------------------------------------------------------

    def _learn_layout(self) -> None:
        """Inquiry 5 when the frame layout is not known yet: frame transfers need it."""
        if not self._layout_known:
            self.board_type()

    @staticmethod
    def _check_address(address: int) -> int:
        address = _u32(address, "address")
        if address % 16:
            raise ArgumentError(f"address 0x{address:X} is not a multiple of 16 (the board counts in 16-byte units)")
        return address

    def load_frame(self, data: Union[np.ndarray, bytes, bytearray], address: Optional[int] = None,
                   verify: bool = False) -> int:
        """VekDevLoadFrame: write frame bytes into board memory.

        Runs inquiry 5 first when the frame layout is not known yet.

        Args:
            data: the frame: bytes, or a uint8 array (another dtype raises
                DataTypeError, a TypeError).
            address: byte address (multiple of 16); None: the first 16-byte
                boundary at or after the end of the previous frame (inquiry 17
                counts bytes; the board places frames in 16-byte units).
            verify: read the frame back and compare; a difference raises
                VekFailure. The library's DEV_OK alone does not say the data
                arrived.

        Returns:
            The address the frame was written at.
        """
        buf = as_uint8(data, False, "frame").reshape(-1)
        self._learn_layout()
        address = (self.inquire(17) + 15) // 16 * 16 if address is None else self._check_address(address)
        if address + buf.size > 1 << 32:
            raise ArgumentError(f"{buf.size} bytes at 0x{address:X} run past the end of board memory (4 GiB)")
        check(lib.VekDevLoadFrame(self.handle, buf.ctypes.data, address, buf.size), "VekDevLoadFrame")
        if verify:
            back = self.get_frame(address, buf.size)
            if not np.array_equal(back, buf):
                first = int(np.flatnonzero(back != buf)[0])
                raise VekFailure(f"frame at 0x{address:X} read back differs from what was loaded "
                                 f"(first at byte {first} of {buf.size})")
        return address

    def get_frame(self, address: int, length: int) -> np.ndarray:
        """VekDevGetFrame: read `length` bytes of board memory at `address`.

        Runs inquiry 5 first when the frame layout is not known yet.
        """
        address = self._check_address(address)
        out = np.zeros(_u32(length, "length"), dtype=np.uint8)
        self._learn_layout()
        check(lib.VekDevGetFrame(self.handle, out.ctypes.data, address, out.size), "VekDevGetFrame")
        return out

    def reset_loaded_bytes(self, address: int = 0) -> None:
        """Command 17: the next :meth:`load_frame` without an address goes to `address`."""
        self.control(17, address)

    def block_clear(self, first: int = 0, second: int = 0) -> None:
        """VekDevBlockClear (not supported by the library: always raises DEV_ERR_UNSUPPORTED)."""
        check(lib.VekDevBlockClear(self.handle, first, second), "VekDevBlockClear")

    # -- timing, trigger, GPIO, pipes --------------------------------------

    def set_timing(self, planes: int, frame_period_us: int, aux_us: int = 0) -> None:
        """VekDevNewFrequencySet: bit-plane timing for `planes` planes in `frame_period_us`.

        Run :meth:`board_type` first: the timing constant depends on it.
        """
        if not 1 <= _u32(planes, "planes") <= 16:
            raise ArgumentError("planes must be 1 to 16")
        check(lib.VekDevNewFrequencySet(self.handle, planes, _u32(frame_period_us, "frame_period_us"),
                                        _u32(aux_us, "aux_us")), "VekDevNewFrequencySet")

    def set_trigger(self, reg34: int = 0, enable: bool = False, reg36: int = 0, reg37: int = 0) -> None:
        """VekDevTriggerExtSet: the trigger extension registers 0x34 to 0x37."""
        check(lib.VekDevTriggerExtSet(self.handle, _u32(reg34, "reg34"), 1 if enable else 0, _u32(reg36, "reg36"),
                                      _u32(reg37, "reg37")), "VekDevTriggerExtSet")

    def set_gpio(self, value: int) -> None:
        """VekDevSetGPIO: set the GPIO outputs (register 0x04)."""
        word = ctypes.c_uint32(_u32(value, "value"))
        check(lib.VekDevSetGPIO(self.handle, ctypes.byref(word)), "VekDevSetGPIO")

    def get_gpio(self) -> int:
        """VekDevGetGPIO: read the GPIO inputs (register 0x03)."""
        word = ctypes.c_uint32(0)
        check(lib.VekDevGetGPIO(self.handle, ctypes.byref(word)), "VekDevGetGPIO")
        return word.value

    def reset_pipe(self, endpoint: int) -> bool:
        """ResetUSBPipe: reset a bulk endpoint's pipe; False if there is none of that address."""
        return lib.ResetUSBPipe(self.handle, endpoint) == 1


def _described_boards() -> List[BoardInfo]:
    """VekListBoards: the attached boards in VekDevAlloc's order, none opened."""
    count = lib.VekListBoards(None, 0)
    entries = (BoardInfo * max(count, 0))()
    listed = lib.VekListBoards(entries, len(entries))
    return list(entries)[:max(min(listed, len(entries)), 0)]


def _board_index(board: Union[int, str]) -> int:
    """The VekDevAlloc index of a board named by index, port path or serial number."""
    if isinstance(board, str):
        found = [b.index for b in _described_boards() if board in (b.portPath.decode(), b.serial.decode())]
        if not found:
            raise VekError(NUMBERS["DEV_ERR_NO_DEVICE"], f"no attached board has the port path or serial number {board!r}")
        if len(found) > 1:
            raise ArgumentError(f"{len(found)} boards have the serial number {board!r}: choose one by its port path")
        return found[0]
    if isinstance(board, bool) or _u32(board, "board index") > MAX_BOARD_INDEX:
        raise ArgumentError(f"board index {board!r} is outside 0 to {MAX_BOARD_INDEX}")
    return board


def list_boards() -> List[Dict[str, object]]:
    """The attached boards, in index order, each a dict of:

    index, serial ("" when none), bus (0 for a virtual board), port_path ("1-2.3", or "virtual-N"),
    vendor_id, product_id, backend, virtual, and from opening it device_name, firmware_version and
    vek40 (or open_error, the result code's name, when it could not be opened).
    """
    boards: List[Dict[str, object]] = []
    for info in _described_boards():
        entry: Dict[str, object] = {
            "index": info.index, "serial": info.serial.decode(errors="replace"), "bus": info.bus,
            "port_path": info.portPath.decode(errors="replace"), "vendor_id": info.vendorId,
            "product_id": info.productId, "backend": info.backend.decode(errors="replace"),
            "virtual": info.isVirtual == 1}
        try:
            with Board(info.index) as b:
                names = b.attached_device_names()
                name = names[info.index] if info.index < len(names) else ""
                entry.update(device_name=name, firmware_version=b.firmware_version, vek40=name.startswith("VEK4.0"))
        except VekError as exc:
            entry.update(device_name="", firmware_version="", vek40=False, open_error=exc.name)
        boards.append(entry)
    return boards
