"""Board subcommands on virtual boards: what they print and what the board was told."""

import struct

import pytest

from conftest import trace_lines


def test_list_shows_each_board_with_name_firmware_and_kind(vek):
    r = vek("--sim", "--sim-boards", "2", "list")
    assert r.status == 0, r
    rows = [line for line in r.out.splitlines() if line[:1].isdigit()]
    assert [row.split()[0] for row in rows] == ["0", "1"]
    boards = vek("--sim", "--sim-boards", "2", "--json", "list").json()["boards"]
    assert len(boards) == 2
    assert all(b["device_name"].startswith("VEK4.0") and b["vek40"] for b in boards)
    assert all(b["firmware_version"] for b in boards)
    assert [(b["port_path"], b["bus"], b["vendor_id"], b["product_id"]) for b in boards] == [
        ("virtual-0", 0, 0x1209, 0x7E40), ("virtual-1", 0, 0x1209, 0x7E40)]
    assert boards[0]["serial"] != boards[1]["serial"] and boards[1]["serial"] in r.out
    # A board is chosen by its port path or serial number as well as by its index.
    for spec in ("1", "virtual-1", boards[1]["serial"]):
        assert vek("--sim", "--sim-boards", "2", "--json", "--board", spec, "info").json()["index"] == 1


def test_info_reports_board_type_and_frame_mode(vek):
    assert "unknown" in vek("--sim", "--sim-board-type", "0x20000000", "info").out
    j = vek("--sim", "--sim-board-type", "0x10000000", "--json", "info").json()
    assert (j["board_type"], j["frame_width"], j["frame_height"]) == (2, 1024, 768)
    assert j["inquiries"]["fixed-4"] == 0x120315 and j["inquiries"]["loaded-bytes"] == 0


def test_init_runs_gray_depth_frequency_and_register_30(vek, tmp_path):
    trace = tmp_path / "t.txt"
    r = vek("--sim", "--sim-trace", trace, "--json", "init", "--frequency", "1000", "--gray-bits", "8",
            "--reg30", "0x55")
    assert r.status == 0, r
    assert r.json()["board_type"] == 1
    writes = trace_lines(trace, "register write")
    assert [w.split("register write ")[1] for w in writes] == [
        "0x21 = 0x070000FE", "0x20 = 0x00000000", "0x22 = 0x00000000", "0x30 = 0x00000055"]


@pytest.mark.parametrize("args, expected_writes", [
    (["control", "reg31", "0x1234"], ["0x31 = 0x00001234"]),
    (["control", "19", "0x1234"], ["0x31 = 0x00001234"]),
    (["reg", "write", "0x40", "0xCAFE"], ["0x40 = 0x0000CAFE"]),
    (["gpio", "set", "0xF0"], ["0x04 = 0x000000F0"]),
    (["trigger", "--reg34", "7", "--enable", "1"], ["0x34 = 0x00000007", "0x35 = 0x00000001"]),
])
def test_commands_write_their_registers(vek, tmp_path, args, expected_writes):
    trace = tmp_path / "t.txt"
    r = vek("--sim", "--sim-trace", trace, *args)
    assert r.status == 0, r
    writes = trace_lines(trace, "register write")
    for expected in expected_writes:
        assert any(expected in line for line in writes), (expected, writes)


def test_reads_print_the_value(vek):
    assert vek("--sim", "--json", "gpio", "get").json()["value"] == 0
    j = vek("--sim", "--sim-board-type", "0x10000000", "--json", "reg", "read", "0x02").json()
    assert j == {"address": 2, "value": 0x10000000, "ok": True}
    assert vek("--sim", "--json", "control", "read-margin").json()["value"] == 0
    r = vek("--sim", "control", "i2c-read")
    assert r.status == 1 and "DEV_ERR_I2C_NOT_READY" in r.err  # status register reads 0
    assert vek("--sim", "--sim-board-type", "0x10000000", "--json", "inquire", "board-type").json()["value"] == 2
    assert vek("--sim", "inquire", "fixed-2").out.startswith("0x00001000")


def test_timing_normal_and_impossible(vek, tmp_path):
    trace = tmp_path / "t.txt"
    r = vek("--sim", "--sim-trace", trace, "--json", "timing", "--planes", "8", "--period", "20000")
    assert r.status == 0, r
    assert r.json()["short_period"] is False
    assert trace_lines(trace, "register write 0x6F = 0x00000EB4")  # 3764: first plane time x 48
    r = vek("--sim", "timing", "--planes", "8", "--period", "10000")
    assert r.status == 1 and "DEV_ERR_FAILED" in r.err and "longer frame period" in r.err


def test_trigger_keeps_json_clean_of_the_library_banner(vek):
    r = vek("--sim", "--json", "trigger", "--reg34", "7", "--enable", "1")
    assert r.status == 0, r
    assert r.json()["enable"] is True
    assert "Trigger extension setting" in r.err


def test_reset_pipe(vek):
    assert vek("--sim", "reset-pipe", "0x86").status == 0
    r = vek("--sim", "reset-pipe", "0x00")
    assert r.status == 1 and "no bulk endpoint" in r.err


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
    r = vek("--sim", "--sim-trace", trace, "--json", "firmware", "fw.iic")
    assert r.status == 0, r
    j = r.json()
    assert j["reopened"] is True and j["bytes"] == 0x110 and (j["start"], j["end"]) == (0, 0x110)
    loads = [line for line in trace_lines(trace, "bRequest 0xA0")]
    assert len(loads) == 3  # hold, one chunk of 272 bytes, run
    assert "wLength 272" in loads[1]
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
    assert r.status == 2, r
    assert says in r.err
    assert "request" not in trace.read_text()
