"""Device calls through vek.Board on a virtual board."""

import os
import struct
import subprocess
import sys

import numpy as np
import pytest

import vek


def test_no_board_and_no_library_are_said():
    vek.sim.detach_all()
    with pytest.raises(vek.VekError) as err:
        vek.Board(0)
    assert (err.value.name, err.value.code, vek.list_boards()) == ("DEV_ERR_NO_DEVICE", 0x80000001, [])
    # Without the library the package imports and documents itself; the first call says where it looked.
    env = dict(os.environ, VEK_LIBRARY="/nowhere/vek.so")
    proc = subprocess.run([sys.executable, "-c", "import vek, pydoc; pydoc.render_doc(vek); print(vek.__version__); "
                           "vek.Board(0)"], env=env, capture_output=True, text=True)
    assert proc.returncode != 0 and proc.stdout == "1.0.0\n" and "VEK_LIBRARY" in proc.stderr, proc
    assert "/nowhere/vek.so" in proc.stderr and vek.library_version == vek.__version__


def test_virtual_board_gives_back_the_clock_mode_it_found_and_only_its_board():
    for found in (False, True, False):  # and left off
        vek.sim.set_virtual_clock(found)
        with vek.sim.VirtualBoard():
            assert vek.sim.virtual_clock()
            with vek.sim.VirtualBoard():
                pass
            assert len(vek.list_boards()) == 1
        assert vek.sim.virtual_clock() == found


def test_boards_are_listed_in_attach_order_and_chosen_by_index_port_or_serial(board_id):
    with vek.Board(0) as b:
        assert b.is_open and b.first_is_vek40 and b.firmware_version
        b.init(frequency=1000, gray_bits=8, reg30=0x55)
    assert (vek.sim.get_register(board_id, 0x21), vek.sim.get_register(board_id, 0x30)) == (0x070000FE, 0x55)
    with pytest.raises(ValueError):
        b.inquire(5)
    b.close()  # a second close does nothing
    vek.sim.attach(device_name="OTHER board", manufacturer="second", board_type_register=0x10000000)
    vek.sim.attach(board_type_register=0x30000000)
    other = vek.list_boards()[1]
    assert [other[k] for k in ("index", "vek40", "port_path", "virtual", "vendor_id", "device_name", "firmware_version")
            ] == [1, False, "virtual-1", True, 0x1209, "OTHER board", "second"]
    for name in (1, "virtual-1", other["serial"], 2):  # board types 2, then 3
        with vek.Board(name) as b:
            assert b.index == (2 if name == 2 else 1) and b.frame_size() == (1024, 768)
    assert repr(b) == f"<vek.Board 2: bus 0, port virtual-2, serial {vek.list_boards()[2]['serial']}, closed>"
    for index in (-256, 256, 2**31, 2**32, 255, "9-9"):  # refused, not wrapped to board 0; 255 is just not attached
        with pytest.raises(vek.VekError if index in (255, "9-9") else vek.ArgumentError):
            vek.Board(index)


@pytest.mark.parametrize("call, name", [
    (lambda b: b.control("gray-depth", 17), "DEV_ERR_GRAY_DEPTH"),
    (lambda b: b.inquire(1), "DEV_ERR_UNSUPPORTED"),
    (lambda b: b.init(frequency=0), "DEV_ERR_TIMING"),
    (lambda b: b.set_timing(8, 10000, 0), "DEV_ERR_FAILED"),
    (lambda b: (vek.sim.inject_fault(0, vek.sim.Fault.STALL, 1, 0x04), b.read_register(0)), "DEV_ERR_TRANSFER"),
])
def test_result_codes_surface_as_vek_errors(board, call, name):
    with pytest.raises(vek.VekError) as err:
        call(board)
    assert err.value.name == name and name in str(err.value)


def test_registers_by_command_name_and_a_stale_reply(board_id, board):
    board.control("reg31", 0xFFFFFFFF)  # the top of the range is taken
    board.control(20, 0xABCD)
    assert (vek.sim.get_register(board_id, 0x31), vek.sim.get_register(board_id, 0x12)) == (0xFFFFFFFF, 0xABCD)
    board.control("margin", 3)
    assert board.control("read-margin") == 3
    with pytest.raises(vek.UnknownNameError):
        board.control("no-such-command")
    board.write_register(0x41, 0xDEADBEEF)
    assert board.read_register(0x41) == board.read_register_raw(0x41) == 0xDEADBEEF
    # A reply nobody asked for is taken by the next read, which then says so;
    # the one after gets the reply of the read before it.
    vek.sim.queue_in_data(board_id, 0x86, struct.pack("<II", 0x05, 0))
    for asked, answered in ((0x41, 0x05), (0x12, 0x41)):
        with pytest.raises(vek.StaleReplyError, match=f"register 0x{answered:02X} instead of 0x{asked:02X}: a stale"):
            board.read_register(asked)


def test_frames_load_one_after_another_and_read_back(board_id):
    with vek.Board(0) as b:  # no inquiry 5 yet: load_frame runs it
        b.init()
        assert b.load_frame(bytes(range(32)), 0x20, verify=True) == 0x20
        # Frames take whole 16-byte units: the next one starts at the next boundary.
        assert (b.load_frame(bytes(20)), b.load_frame(bytes(range(32)), verify=True)) == (0x40, 0x60)
        for data, address, error in ((np.zeros(8, dtype=np.uint16), 0, TypeError), (bytes(16), 8, ValueError)):
            with pytest.raises(error):
                b.load_frame(data, address)
        width, height = b.frame_size()
        a = vek.pixel2bin(np.full((height, width), 255, np.uint8), 0x80)
        c = vek.pixel2bin(np.tile(np.arange(width, dtype=np.uint8), (height, 1)), 0xFF)
        b.reset_loaded_bytes(0x100)
        assert (b.load_frame(a), b.load_frame(c)) == (0x100, 0x100 + a.size)
        assert b.inquire("loaded-bytes") == 0x100 + a.size + c.size
        assert np.array_equal(b.get_frame(0x100 + a.size, c.size), c.ravel())
        assert vek.sim.read_memory(board_id, 0x100, a.size) == a.tobytes()
    vek.sim.set_register(board_id, 0x02, 0x20000000)  # board type 255: frame transfers are refused
    with vek.Board(0) as b, pytest.raises(vek.VekError, match="DEV_ERR_FRAME_MODE"):
        b.load_frame(b"\0" * 16, 0)


def test_trigger_gpio_and_pipes(board_id, board):
    vek.sim.trace_clear()
    board.set_trigger(reg34=7, enable=True, reg36=1, reg37=2)
    writes = vek.sim.trace([vek.sim.TraceKind.REGISTER_WRITE])
    assert [(e.address, e.value) for e in writes][:2] == [(0x34, 7), (0x35, 1)]
    assert "0x34" in vek.sim.trace_text().lower()
    vek.sim.set_register(board_id, 0x03, 0x5A)
    board.write_register(0x03, 0)  # the GPIO inputs are the board's: the host cannot change them
    board.set_gpio(0xFFFFFFFF)  # the top of the range
    assert (board.get_gpio(), vek.sim.get_register(board_id, 0x04)) == (0x5A, 0xFFFFFFFF)
    assert (board.reset_pipe(0x86), board.reset_pipe(0x00)) == (True, False)


def test_firmware_download_fills_controller_ram_and_reopens_the_same_board(tmp_path, board_id):
    # A firmware file: the header, one record of (length, address, data), the final record.
    image = bytes(range(16))
    (tmp_path / "fw.iic").write_bytes(b"\xC2" + bytes(7) + struct.pack(">HH", 16, 0x100) + image + b"\x80\x01\xE6\0\0")
    with vek.sim.VirtualBoard(manufacturer="Second") as second, vek.Board(1) as board:
        board.download_firmware(tmp_path / "fw.iic")
        assert vek.sim.read_controller_ram(second, 0x100, 16) == image and not vek.sim.controller_held(second)
        assert board.firmware_version == "Second"
        with pytest.raises(FileNotFoundError):
            board.download_firmware(tmp_path / "missing.iic")


# Refused before anything is sent, as vek.Error subclasses (never wrapped to 32 bits or passed on as another type);
# the top of each range is taken (one past it is refused here).
@pytest.mark.parametrize("call, error", [
    (lambda b: b.set_timing(8, -5), ValueError),
    (lambda b: b.set_timing(8, 16666.7), ValueError),
    (lambda b: b.set_timing(8, 16667, 2**32), ValueError),
    (lambda b: b.set_timing(17, 16667), ValueError),
    (lambda b: b.set_gpio(2**32), ValueError),
    (lambda b: b.set_trigger(reg36=2**33), ValueError),
    (lambda b: b.set_trigger(reg34=-1), ValueError),
    (lambda b: b.control("reg31", 2**32), ValueError),
    (lambda b: b.init(frequency=2**32), ValueError),
    (lambda b: b.write_register(0x41, 2**32), ValueError),
    (lambda b: b.load_frame(bytes(32), 2**32 - 16), ValueError),
    (lambda b: b.get_frame(2**32, 16), ValueError),
    (lambda b: vek.Board(256), ValueError),
    (lambda b: vek.batch_image_to_bin(".", 1001, 1080), ValueError),
    (lambda b: vek.add_serial_number(__file__, 2**31, 8, 1), ValueError),
    (lambda b: vek.gray_pixels("missing.png", 8, 8), FileNotFoundError),
    (lambda b: vek.gray_bin(os.path.dirname(__file__), 8, 8), IsADirectoryError),
    (lambda b: vek.rgb_pixels(__file__, 8, 8), OSError),  # not an image
])
def test_arguments_the_library_cannot_take_are_refused(board, call, error):
    vek.sim.trace_clear()
    with pytest.raises(error) as err:
        call(board)
    assert isinstance(err.value, vek.Error) and not vek.sim.trace([vek.sim.TraceKind.REGISTER_WRITE]), err
