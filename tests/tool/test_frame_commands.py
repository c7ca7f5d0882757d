"""load and readback on virtual boards."""

import shlex
import subprocess

import pytest

from conftest import IMAGES, TOOL, needs_images, trace_lines, write_pgm

PLANE = 1920 * 1080 // 8  # one bit plane of the 1920x1080 board


@needs_images
def test_load_puts_frames_one_after_another(vek, tmp_path):
    (tmp_path / "a.bin").write_bytes(bytes([0xAA]) * PLANE)
    write_pgm(tmp_path / "ramp.pgm", 64, 8)
    trace = tmp_path / "t.txt"
    args = ("--sim-trace", trace, "--json", "load", "a.bin", "ramp.pgm", "--planes", "0x81", "--address", "0x1000")
    r = vek(*args)  # an image of another size than the board's is refused
    assert r.status == 2 and "--resize" in r.json()["error"]["message"], r
    r = vek(*args, "--resize")
    assert r.status == 0, r
    j = r.json()
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
