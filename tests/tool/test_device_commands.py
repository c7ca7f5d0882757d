"""Board subcommands on virtual boards: what they print and what the board was told."""

import struct

import pytest

from conftest import trace_lines


def test_list_shows_each_board_and_any_of_them_is_chosen_by_index_port_or_serial(vek):
    boards = vek("--sim", "--sim-boards", "2", "--json", "list").json()["boards"]
    assert all(b["device_name"].startswith("VEK4.0") and b["vek40"] and b["firmware_version"] for b in boards)
    assert [(b["port_path"], b["bus"], b["vendor_id"], b["product_id"]) for b in boards] == [
        ("virtual-0", 0, 0x1209, 0x7E40), ("virtual-1", 0, 0x1209, 0x7E40)]
    assert boards[1]["serial"] in vek("--sim", "--sim-boards", "2", "list").out
    for spec in ("1", "virtual-1", boards[1]["serial"]):
        assert vek("--sim", "--sim-boards", "2", "--json", "--board", spec, "info").json()["index"] == 1


def test_info_reports_board_type_and_frame_mode(vek):
    assert "unknown" in vek("--sim", "--sim-board-type", "0x20000000", "info").out
    j = vek("--sim", "--sim-board-type", "0x10000000", "--json", "info").json()
    assert (j["board_type"], j["frame_width"], j["frame_height"]) == (2, 1024, 768)
    assert j["inquiries"]["fixed-4"] == 0x120315 and j["inquiries"]["loaded-bytes"] == 0


@pytest.mark.parametrize("args, expected_writes", [
    (["init", "--frequency", "1000", "--gray-bits", "8", "--reg30", "0x55"],
     ["0x21 = 0x070000FE", "0x20 = 0x00000000", "0x22 = 0x00000000", "0x30 = 0x00000055"]),
    (["control", "reg31", "0x1234"], ["0x31 = 0x00001234"]),
    (["control", "19", "0x1234"], ["0x31 = 0x00001234"]),
    (["gpio", "set", "0xF0"], ["0x04 = 0x000000F0"]),
    (["timing", "--planes", "8", "--period", "20000"], ["0x6F = 0x00000EB4"]),  # 3764: first plane time x 48
])
def test_commands_write_their_registers(vek, tmp_path, args, expected_writes):
    trace = tmp_path / "t.txt"
    r = vek("--sim", "--sim-trace", trace, *args)
    assert r.status == 0, r
    writes = [line.split("register write ")[1] for line in trace_lines(trace, "register write")]
    assert [w for w in writes if w in expected_writes] == expected_writes


@pytest.mark.parametrize("args, status, says", [
    (["gpio", "get"], 0, "GPIO inputs: 0x00000000"),
    (["control", "read-margin"], 0, "0x00000000"),
    (["inquire", "fixed-2"], 0, "0x00001000 (4096)"),
    (["--sim-board-type", "0x10000000", "inquire", "board-type"], 0, "0x00000002 (2)"),
    (["control", "i2c-read"], 1, "DEV_ERR_I2C_NOT_READY"),  # the status register reads 0
    (["control", "gray-depth", "17"], 1, "DEV_ERR_GRAY_DEPTH (0x8000000E)\n  the gray depth is outside 1 to 16"),
    (["timing", "--planes", "8", "--period", "10000"], 1, "longer frame period"),
    (["reset-pipe", "0x86"], 0, ""),
    (["reset-pipe", "0x00"], 1, "no bulk endpoint"),
])
def test_commands_say_what_they_read_or_why_they_failed(vek, args, status, says):
    r = vek("--sim", *args)
    assert r.status == status and says in r.out + r.err, r


def iic(records, final=True):
    data = b"\xC2" + b"\0" * 7
    for address, payload in records:
        data += struct.pack(">HH", len(payload), address) + payload
    if final:
        data += struct.pack(">HH", 0x8001, 0xE600) + b"\0"
    return data


def test_firmware_download_and_reopen(vek, tmp_path):
    (tmp_path / "fw.iic").write_bytes(iic([(0x0000, bytes(16)), (0x0100, bytes(range(16)))]))
    trace = tmp_path / "t.txt"
    j = vek("--sim", "--sim-trace", trace, "--json", "firmware", "fw.iic").json()
    assert j["reopened"] is True and j["bytes"] == 0x110 and (j["start"], j["end"]) == (0, 0x110)
    loads = trace_lines(trace, "bRequest 0xA0")
    assert len(loads) == 3 and "wLength 272" in loads[1]  # hold, one chunk of 272 bytes, run
    assert not list(tmp_path.glob("dlp_usb.iic"))  # the copy lived in a private folder


@pytest.mark.parametrize("content, says", [
    (iic([(0, bytes(16))], final=False), "no final record"),
    (iic([(0, bytes(16))])[:20], "past the end"),
    (b"\xC2" * 70000, "larger than 65535"),
    (iic([(0xF800, bytes(0x100))]), "above 0xF800"),
], ids=["no-final-record", "truncated", "too-large", "ends-above-0xF800"])
def test_bad_firmware_files_are_refused_before_the_board_is_touched(vek, tmp_path, content, says):
    (tmp_path / "bad.iic").write_bytes(content)
    trace = tmp_path / "t.txt"
    r = vek("--sim", "--sim-trace", trace, "firmware", "bad.iic")
    assert r.status == 2 and says in r.err, r
    assert "request" not in trace.read_text()
