"""The vek tool's arguments and error reports, and its board and frame subcommands on virtual boards: what
they print, write and what the board was told."""

import os
import shlex
import struct
import subprocess

import pytest

from conftest import IMAGES, TOOL, needs_images, trace_lines, write_pgm


def test_list_shows_each_board_and_any_of_them_is_chosen_by_index_port_or_serial(vek):
    boards = vek("--sim", "--sim-boards", "2", "--json", "list").json()["boards"]
    assert all(b["firmware_version"] for b in boards)
    assert [(b["port_path"], b["bus"], b["vendor_id"], b["product_id"]) for b in boards] == [
        ("virtual-0", 0, 0x1209, 0x7E40), ("virtual-1", 0, 0x1209, 0x7E40)]
    assert boards[1]["serial"] in vek("--sim", "--sim-boards", "2", "list").out
    for spec in ("1", "virtual-1", boards[1]["serial"]):
        assert vek("--sim", "--sim-boards", "2", "--json", "--board", spec, "info").json()["index"] == 1


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
    (["--sim-board-type", "0x10000000", "reg", "read", "0x80000002"], 0, "= 0x10000000"),  # the read bit given
    (["--sim-board-type", "0x10000000", "info"], 0, "board type         2\n  frame mode         1024x768 bit"),
    (["--sim-board-type", "0x20000000", "info"], 0, "board type         255\n  frame mode         unknown"),
    (["control", "i2c-read"], 1, "DEV_ERR_I2C_NOT_READY"),  # the status register reads 0
    (["control", "gray-depth", "17"], 1, "DEV_ERR_GRAY_DEPTH (0x8000000E)\n  the gray depth is outside 1 to 16"),
    (["timing", "--planes", "8", "--period", "10000"], 1, "longer frame period"),
    (["reset-pipe", "0x86"], 0, ""),
    # The ranges take their bounds; boards past the attached ones are not there.
    (["init", "--gray-bits", "16"], 0, ""),
    (["timing", "--planes", "16", "--period", "1000000"], 1, "VekDevNewFrequencySet failed"),  # past the tool
    (["trigger", "--enable", "1"], 0, ""),
    (["--board", "255", "list"], 0, ""),
    (["--sim-boards", "2", "--board", "2", "info"], 1, "DEV_ERR_NO_DEVICE"),
    (["--sim-boards", "2", "--board", "9-9", "info"], 1, "DEV_ERR_NO_DEVICE"),
    (["reset-pipe", "0x00"], 1, "no bulk endpoint"),
])
def test_commands_say_what_they_read_or_why_they_failed(vek, args, status, says):
    r = vek("--sim", *args)
    assert r.status == status and says in r.out + r.err, r


def iic(records, final=True):
    """A firmware file: the header, records of (address, data), the final record unless told otherwise."""
    body = b"".join(struct.pack(">HH", len(data), address) + data for address, data in records)
    return b"\xC2" + b"\0" * 7 + body + (struct.pack(">HH", 0x8001, 0xE600) + b"\0" if final else b"")


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


@pytest.mark.parametrize("args, says", [
    ([], "a subcommand is required"),
    (["frobnicate"], "frobnicate"),
    (["--sim", "init", "--gray-bits", "17"], "gray-bits"),
    (["--sim", "timing", "--planes", "0"], "planes"),
    (["--sim", "trigger", "--enable", "2"], "enable"),
    (["--board", "-1", "list"], "board"),
    (["--sim", "control", "nonsense"], "unknown command"),
    (["--sim", "control", "gray-depth"], "needs a VALUE"),
    (["--sim", "control", "set-bit1", "5"], "takes no VALUE"),
    (["--sim", "inquire", "99"], "unknown inquiry"),
])
def test_bad_arguments_get_a_usage_message_and_status_2(vek, tmp_path, args, says):
    trace = tmp_path / "trace.txt"
    r = vek("--json", "--sim-trace", trace, *args)
    assert r.status == 2 and says.lower() in r.err.lower() and r.json()["error"]["kind"] == "usage", r
    assert not trace.exists() or "request" not in trace.read_text()  # nothing reached a board


def test_version_and_device_errors_are_named_explained_and_fail(vek):
    r = vek("--version")
    assert r.status == 0 and "library vek_dll 1." in r.out, r
    assert vek("--json", "list").json() == {"boards": [], "ok": True}  # no board is no failure
    r = vek("info")
    assert r.status == 1 and "DEV_ERR_NO_DEVICE (0x80000001)" in r.err and "Try:" in r.err, r
    r = vek("--sim", "--json", "control", "2", "--any")
    e = r.json()["error"]
    assert (r.status, r.json()["ok"], e["name"], e["code"]) == (1, False, "DEV_ERR_UNSUPPORTED", 0x80000008)
    assert e["meaning"] and e["advice"]
    assert vek("--sim-boards", "2", "--board", "1", "info").status == 0  # --sim-* imply --sim


@pytest.mark.parametrize("args", [
    ["--sim", "firmware", "{node}"],
    ["--sim", "load", "{node}"],
    ["convert", "{node}", "out.bin", "--width", "8", "--height", "8"],
    ["stamp", "{node}"],
])
@pytest.mark.parametrize("kind", ["fifo", "directory", "device"])
def test_inputs_that_are_not_regular_files_are_refused_at_once(vek, tmp_path, args, kind):
    node = tmp_path / "input.iic"
    # A FIFO with no writer: an open for reading would wait for ever.
    {"fifo": os.mkfifo, "directory": os.mkdir, "device": lambda path: os.symlink("/dev/zero", path)}[kind](node)
    r = vek(*[a.replace("{node}", str(node)) for a in args], timeout=30)
    assert r.status == 3 and "not a regular file" in r.err.lower(), r  # a file that cannot be read


PLANE = 1920 * 1080 // 8  # one bit plane of the 1920x1080 board


@needs_images
def test_load_puts_frames_one_after_another(vek, tmp_path):
    (tmp_path / "a.bin").write_bytes(bytes([0xAA]) * PLANE)
    write_pgm(tmp_path / "ramp.pgm", 64, 8)
    trace = tmp_path / "t.txt"
    args = ("--sim-trace", trace, "--json", "load", "a.bin", "ramp.pgm", "--planes", "0x81", "--address", "0x1000")
    r = vek(*args)  # an image of another size than the board's is refused
    assert r.status == 2 and "--resize" in r.json()["error"]["message"], r
    j = vek(*args, "--resize").json()
    # The image is stretched to the board's 1920x1080 and keeps two planes.
    assert [(f["address"], f["bytes"]) for f in j["frames"]] == [(0x1000, PLANE), (0x1000 + PLANE, 2 * PLANE)]
    assert j["next_address"] == 0x1000 + 3 * PLANE
    starts = [line.split("= ")[1] for line in trace_lines(trace, "register write 0x10 ")]
    assert starts == ["0x%08X" % (0x1000 // 16), "0x%08X" % ((0x1000 + PLANE) // 16)]


@needs_images
def test_readback_to_images(vek, tmp_path):
    r = vek("--sim", "--sim-board-type", "0x10000000", "readback", "-o", "frame.png", "--planes", "0x80",
            "--frames", "2")
    assert r.status == 0, r
    for name in ("frame_000.png", "frame_001.png"):
        assert (tmp_path / name).read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"


@pytest.mark.parametrize("args, status", [
    (["load", "b.bin", "--address", "8"], 2),
    (["load", "odd.bin", "b.bin"], 2),  # not a multiple of 16 bytes
    (["load", "missing.bin"], 3),
    (["load", "b.bin", "--width", "1920"], 2),
    (["load", "b.bin", "--planes", "0"], 2),
    (["load", "note.txt", "b.bin"], 3 if IMAGES else 2),
    (["readback", "-o", "out.xyz"], 2),
    (["readback", "-o", "out.png", "--length", "16"], 2),
    (["readback", "-o", "out.bin", "--address", "3"], 2),
    (["readback", "-o", "out.bin", "--frames", "0"], 2),
])
def test_bad_frame_arguments_are_refused_before_the_board_is_touched(vek, tmp_path, args, status):
    (tmp_path / "odd.bin").write_bytes(b"\1" * 100)
    (tmp_path / "b.bin").write_bytes(b"\1" * 16)
    (tmp_path / "note.txt").write_text("not an image")
    trace = tmp_path / "t.txt"
    r = vek("--sim", "--sim-trace", trace, *args)
    assert r.status == status, r
    assert "ep 0x02" not in (trace.read_text() if trace.exists() else "") and not list(tmp_path.glob("out.*"))


def run_on_terminal(args, cwd):
    """Runs the tool with its output on a pseudo-terminal (script(1)); returns its status and what it printed."""
    proc = subprocess.run(["script", "-qec", shlex.join([TOOL, *args]), "/dev/null"], cwd=cwd, capture_output=True,
                          stdin=subprocess.DEVNULL, text=True, errors="replace", timeout=60)
    return proc.returncode, proc.stdout


def test_progress_bar_only_on_a_terminal(vek, tmp_path):
    (tmp_path / "a.bin").write_bytes(bytes(4 * PLANE))
    status, out = run_on_terminal(["--sim", "load", "a.bin"], tmp_path)
    assert status == 0 and "100%" in out and "B/s" in out
    piped = vek("--sim", "load", "a.bin")
    assert piped.status == 0 and "B/s" not in piped.out
    status, out = run_on_terminal(["--sim", "--no-progress", "load", "a.bin"], tmp_path)
    assert status == 0 and "B/s" not in out
