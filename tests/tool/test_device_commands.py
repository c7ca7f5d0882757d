"""The vek tool's arguments and error reports, and its board and frame subcommands on virtual boards: what
they print, write and what the board was told."""

import json
import os
import shlex
import signal
import struct
import subprocess
from pathlib import Path

import pytest

from conftest import IMAGES, TOOL, needs_images, write_pgm


# What a command wrote shows in the trace (on standard error), read values and errors in what it prints.
@pytest.mark.parametrize("args, status, says", [
    (["init", "--frequency", "1000", "--gray-bits", "8", "--reg30", "0x55"], 0,
     ("write 0x21 = 0x070000FE\n", "write 0x20 = 0x00000000\n", "write 0x22 = 0x00000000\n",
      "write 0x30 = 0x00000055\n")),
    (["control", "19", "0x1234"], 0, "write 0x31 = 0x00001234\n"),  # by number (the checks name one)
    (["gpio", "set", "0xF0"], 0, "write 0x04 = 0x000000F0\n"),
    (["timing", "--planes", "8", "--period", "20000"], 0, "write 0x6F = 0x00000EB4\n"),  # 3764: first plane time x 48
    (["gpio", "get"], 0, "GPIO inputs: 0x00000000"),
    (["inquire", "fixed-2"], 0, "0x00001000 (4096)"),
    (["--sim-board-type", "0x10000000", "reg", "read", "0x80000002"], 0, "= 0x10000000"),  # the read bit given
    (["--sim-board-type", "0x10000000", "info"], 0, "board type         2\n  frame mode         1024x768 bit"),
    (["--sim-board-type", "0x30000000", "info"], 0, "board type         3\n  frame mode         1024x768 bit"),
    (["--sim-board-type", "0x20000000", "info"], 0, "board type         255\n  frame mode         unknown"),
    (["control", "gray-depth", "17"], 1, "DEV_ERR_GRAY_DEPTH (0x8000000E)\n  the gray depth is outside 1 to 16"),
    (["reset-pipe", "0x86"], 0, ""),
    # Boards by index, port path or serial; the ranges take their bounds; boards not attached are not there.
    (["--sim-boards", "2", "--board", "1", "info"], 0, "Board 1: "),
    (["--sim-boards", "2", "--board", "virtual-1", "info"], 0, "Board 1: "),
    (["--sim-boards", "2", "--board", "VEKSIM0002", "info"], 0, "Board 1: "),
    (["init", "--gray-bits", "16", "--frequency", "1073741824"], 0, "write 0x20 = 0x00000000\n"),
    (["control", "reg31", "0xFFFFFFFF"], 0, "write 0x31 = 0xFFFFFFFF\n"),
    (["--sim-boards", "16", "--board", "15", "info"], 0, "Board 15: "),
    (["timing", "--planes", "16", "--period", "1000000"], 1, "VekDevNewFrequencySet failed"),  # past the tool
    (["--board", "255", "list"], 0, ""),
    (["--sim-boards", "2", "--board", "2", "info"], 1, "Try: run 'vek --sim list'"),  # no advice to add --sim
    (["--sim-boards", "2", "--board", "9-9", "info"], 1, "DEV_ERR_NO_DEVICE"),
    (["reset-pipe", "0x00"], 1, "no bulk endpoint"),
])
def test_commands_say_what_they_wrote_read_or_why_they_failed(vek, args, status, says):
    r = vek("--sim", "--sim-trace", "-", *args)
    assert r.status == status and all(s in r.out + r.err for s in ((says,) if isinstance(says, str) else says)), r


def iic(records, final=True):
    """A firmware file: the header, records of (address, data), the final record unless told otherwise."""
    body = b"".join(struct.pack(">HH", len(data), address) + data for address, data in records)
    return b"\xC2" + b"\0" * 7 + body + (struct.pack(">HH", 0x8001, 0xE600) + b"\0" if final else b"")


def test_firmware_download_and_reopen(vek, tmp_path):
    (tmp_path / "fw.iic").write_bytes(iic([(0x0000, bytes(16)), (0x0100, bytes(range(16)))]))
    j = vek("--sim", "--json", "firmware", "fw.iic").json()
    assert j["reopened"] is True and j["bytes"] == 0x110 and (j["start"], j["end"]) == (0, 0x110)
    assert not list(tmp_path.glob("dlp_usb.iic"))  # the copy lived in a private folder


# Refused before a board is touched (--sim-trace implies --sim): usage errors (status 2), unreadable files (3).
@pytest.mark.parametrize("args, status, says", [
    ([], 2, "a subcommand is required"),
    (["frobnicate"], 2, "frobnicate"),
    (["init", "--gray-bits", "17"], 2, "gray-bits"),  # one past the top of each range
    (["init", "--frequency", "1073741825"], 2, "frequency"),
    (["control", "reg31", "0x100000000"], 2, "value"),
    (["--sim-boards", "17", "list"], 2, "sim-boards"),
    (["--board", "256", "list"], 2, "board index"),
    (["timing", "--planes", "0"], 2, "planes"),
    (["trigger", "--enable", "2"], 2, "enable"),
    (["--board", "-1", "list"], 2, "board"),
    (["control", "nonsense"], 2, "unknown command"),
    (["control", "gray-depth"], 2, "needs a VALUE"),
    (["control", "set-bit1", "5"], 2, "takes no VALUE"),
    (["inquire", "99"], 2, "unknown inquiry"),
    (["firmware", "no-final.iic"], 2, "no final record"),
    (["firmware", "cut.iic"], 2, "past the end"),
    (["firmware", "large.iic"], 2, "larger than 65535"),
    (["firmware", "high.iic"], 2, "above 0xF800"),
    (["load", "b.bin", "--address", "8"], 2, "multiple of 16"),
    (["load", "odd.bin", "b.bin"], 2, "odd.bin"),  # not a multiple of 16 bytes
    (["load", "missing.bin"], 3, "missing.bin"),
    (["load", "b.bin", "--width", "1920"], 2, "width"),
    (["load", "b.bin", "--planes", "0"], 2, "planes"),
    (["load", "note.txt", "b.bin"], 3 if IMAGES else 2, "note.txt"),
    (["readback", "-o", "out.xyz"], 2, "out.xyz"),
    (["readback", "-o", "out.png", "--length", "16"], 2, "length" if IMAGES else "out.png"),
    (["readback", "-o", "out.bin", "--address", "3"], 2, "address"),
    (["readback", "-o", "out.bin", "--frames", "0"], 2, "frames"),
    # A FIFO with no writer, where an open for reading would wait for ever (one check holds every kind of node).
    (["firmware", "fifo"], 3, "not a regular file"),
    (["load", "fifo"], 3, "not a regular file"),
    *([(["convert", "fifo", "out.bin", "--width", "8", "--height", "8"], 3, "not a regular file"),
       (["stamp", "fifo"], 3, "not a regular file"),
       (["convert", "b.bin", "out.bin"], 2, "from an image to a .bin file or from a .bin file"),
       (["convert", "b.bin", "out.png", "--width", "16", "--height", "16"], 2, "is 16 bytes; a 16x16 frame"),
       (["convert", "img.pgm", "out.bin", "--width", "12", "--height", "8"], 2, "width 12 is not a multiple of 8"),
       (["convert", "b.bin", "out.unknownext", "--width", "16", "--height", "1"], 2, "cannot tell how to write"),
       (["convert", "note.txt", "out.bin", "--width", "16", "--height", "8"], 3, "cannot load 'note.txt'"),
       (["stamp", "img.pgm", "--count", "0"], 2, "--count"),
       (["batch", "nowhere"], 2, "not a directory"),
       (["batch", ".", "--width", "30"], 2, "width 30")] if IMAGES else []),
])
def test_bad_arguments_and_files_are_refused_before_the_board_is_touched(vek, tmp_path, args, status, says):
    for name, content in (("no-final.iic", iic([(0, bytes(16))], final=False)), ("cut.iic", iic([(0, bytes(16))])[:20]),
                          ("large.iic", b"\xC2" * 70000), ("high.iic", iic([(0xF800, bytes(0x100))])),
                          ("odd.bin", b"\1" * 100), ("b.bin", b"\1" * 16), ("note.txt", b"not an image"),
                          ("img.pgm", b"P5\n16 8\n255\n" + bytes(128))):
        (tmp_path / name).write_bytes(content)
    os.mkfifo(tmp_path / "fifo")
    trace = tmp_path / "trace.txt"
    r = vek("--json", "--sim-trace", trace, *args)
    kinds = {2: ["usage"] + ([] if IMAGES else ["not_in_this_build"]), 3: ["file"]}
    assert r.status == status and r.json()["error"]["kind"] in kinds[status] and says.lower() in r.err.lower(), r
    touched = "ep 0x02" if args[:1] in (["load"], ["readback"]) else "request"  # these open the board, then refuse
    assert not (trace.exists() and touched in trace.read_text()) and not list(tmp_path.glob("out.*"))


def test_version_help_and_device_errors_are_named_explained_and_fail(vek):
    r = vek("--version")
    assert r.status == 0 and "library vek_dll 1." in r.out, r
    assert vek("--json", "--version").json()["library"]["version"] == r.out.split()[1]
    assert "Global options (also accepted after the command):\n  --board" in vek("load", "--help").out
    man = (Path(TOOL).parent / "vek.1").read_text()
    assert all(s in man for s in ("ENVIRONMENT", "VEK_LOG_LEVEL", "VEK_USB_IDS", "\\-\\-frames", "EXIT STATUS"))
    r = vek("info")
    assert r.status == 1 and "DEV_ERR_NO_DEVICE (0x80000001)" in r.err and "Try:" in r.err, r
    r = vek("--sim", "--json", "control", "2", "--any")
    e = r.json()["error"]
    assert (r.status, r.json()["ok"], e["name"], e["code"]) == (1, False, "DEV_ERR_UNSUPPORTED", 0x80000008)
    assert e["meaning"] and e["advice"]


PLANE = 1920 * 1080 // 8  # one bit plane of the 1920x1080 board


@needs_images
def test_load_puts_frames_one_after_another_and_readback_writes_images(vek, tmp_path):
    (tmp_path / "a.bin").write_bytes(bytes([0xAA]) * PLANE)
    write_pgm(tmp_path / "ramp.pgm", 64, 8)
    trace = tmp_path / "t.txt"
    args = ("--sim-trace", trace, "--json", "load", "a.bin", "ramp.pgm", "--planes", "0x81", "--address", "0x1000")
    r = vek(*args)  # an image of another size than the board's is refused
    assert r.status == 2 and "--resize" in r.json()["error"]["message"], r
    j = vek(*args, "--resize").json()
    # The image is stretched to the board's 1920x1080 and keeps two planes.
    assert [(f["address"], f["bytes"]) for f in j["frames"]] == [(0x1000, PLANE), (0x1000 + PLANE, 2 * PLANE)]
    starts = [line.split("= ")[1] for line in trace.read_text().splitlines() if "register write 0x10 " in line]
    assert starts == ["0x%08X" % (0x1000 // 16), "0x%08X" % ((0x1000 + PLANE) // 16)]
    assert vek("--sim", "readback", "-o", "frame.png", "--planes", "0x80", "--frames", "2").status == 0
    assert [(tmp_path / f"frame_00{i}.png").read_bytes()[:8] for i in (0, 1)] == [b"\x89PNG\r\n\x1a\n"] * 2


def test_progress_bar_only_on_a_terminal_and_on_standard_error(vek, tmp_path):
    (tmp_path / "a.bin").write_bytes(bytes(4 * PLANE))
    # script(1) gives the tool a pseudo-terminal; standard output goes to a file.
    bar, quiet = [subprocess.run(["script", "-qec", shlex.join([TOOL, "--sim", *args, "load", "a.bin"]) + " >out.txt",
                                  "/dev/null"], cwd=tmp_path, capture_output=True, stdin=subprocess.DEVNULL, text=True,
                                 errors="replace", timeout=60) for args in ([], ["--no-progress"])]
    assert (bar.returncode, quiet.returncode) == (0, 0) and "100%" in bar.stdout and "B/s" in bar.stdout, bar
    assert "B/s" not in quiet.stdout + (tmp_path / "out.txt").read_text() + vek("--sim", "load", "a.bin").err


# A command of several steps checks what it can before the first (sizes and formats from the files' headers):
# status 2 or 3 and nothing sent. A step that still fails later says what landed (status 4); Ctrl-C, status 130.
@pytest.mark.parametrize("args, status, done", [
    (["load", "a.bin", "b.bin", "small.pgm"], 2, None),
    (["load", "a.bin", "b.bin", "note.txt"], 3, None),
    (["load", "a.bin", "b.bin", "cut.png"], 4, [("a.bin", 0), ("b.bin", PLANE)]),
    (["readback", "-o", "f.png", "--frames", "3"], 4, ["f_000.png"]),
    (["readback", "-o", "pipe.bin", "--length", str(16 << 20), "--frames", "4"], 130, None),
])
def test_partial_failures_say_what_was_done(vek, tmp_path, args, status, done):
    if not IMAGES and any(a.endswith(("png", "pgm", "txt")) for a in args):
        pytest.skip("images")
    for name, content in (("a.bin", bytes(PLANE)), ("b.bin", bytes(PLANE)), ("note.txt", b"no image"),
                          ("small.pgm", b"P5\n16 8\n255\n" + bytes(128)), ("cut.png", b"\x89PNG\r\n\x1a\n" + bytes(30))):
        (tmp_path / name).write_bytes(content)
    (tmp_path / "f_001.png").mkdir()
    os.mkfifo(tmp_path / "pipe.bin")
    cmd = [TOOL, "--json", "--sim-trace", tmp_path / "t.txt", *args]
    p = subprocess.Popen(cmd, cwd=tmp_path, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    if status == 130:  # the reader takes one piece, then presses Ctrl-C
        with open(tmp_path / "pipe.bin", "rb") as pipe:
            pipe.read(1)
            p.send_signal(signal.SIGINT)
            pipe.read()
    out, err = p.communicate(timeout=120)
    j = json.loads(out)
    assert (p.returncode, j["status"], "done" in j) == (status, status, status >= 4), (out, err)
    if status == 2 or status == 3:
        assert "ep 0x02" not in (tmp_path / "t.txt").read_text()
    elif status == 130:
        assert j["done"]["bytes"] % (8 << 20) == 0 and 0 < j["done"]["bytes"] < 64 << 20 and "Before it stopped" in err
    elif args[0] == "load":
        assert [(f["file"], f["address"]) for f in j["done"]["frames"]] == done and j["done"]["count"] == len(done)
        assert all(f"{f} -> 0x{a:08X}" in err for f, a in done), err
    else:
        assert j["done"]["files"] == done and (tmp_path / done[0]).is_file()
