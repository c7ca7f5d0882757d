"""vek demo, end to end, as `make run` runs it."""

import json
import struct

from conftest import needs_images

pytestmark = needs_images


def test_demo_runs_the_typical_use_and_draws_a_contact_sheet(vek, tmp_path):
    r = vek("demo", "--out", "demo-output", timeout=300)
    assert r.status == 0, r
    out = tmp_path / "demo-output"
    for step in ("VekDevAlloc", "VekDevInit", "inquiry 5", "pixel2bin", "VekDevLoadFrame",
                 "VekDevNewFrequencySet", "VekDevGetFrame", "contact sheet", "VekDevFree"):
        assert step in r.out, step
    assert "What the board was told" in r.out

    png = (out / "contact-sheet.png").read_bytes()
    assert png[:8] == b"\x89PNG\r\n\x1a\n"
    width, height = struct.unpack(">II", png[16:24])
    assert width >= 1000 and height >= 500

    summary = json.loads((out / "summary.json").read_text())
    frames = summary["frames"]
    assert len(frames) == 11 + 4 + 2  # Gray code bits of 1920 columns, phase steps, white and black
    assert summary["frames_identical"] == len(frames) == summary["frames_in_memory"]
    # Frames follow each other in board memory.
    for before, after in zip(frames, frames[1:]):
        assert after["address"] == before["address"] + before["bytes"]
    trace = summary["trace"]
    assert trace["data_out"]["bytes"] == trace["data_in"]["bytes"] == sum(f["bytes"] for f in frames)
    assert trace["last_values"]["0x00000021"] == 0x070000FE  # gray depth 8
    assert "100 ms" in trace["pauses"]
    assert (out / "trace.txt").stat().st_size > 0
    assert len(list((out / "frames").glob("*.bin"))) == len(frames)


def test_demo_json_output(vek, tmp_path):
    r = vek("--json", "demo", "--out", "d", "--no-frames", "--phase-steps", "3", timeout=300)
    assert r.status == 0, r
    j = r.json()
    assert j["ok"] is True and j["frames_identical"] == 11 + 3 + 2
    assert not (tmp_path / "d" / "frames").exists() or not list((tmp_path / "d" / "frames").iterdir())
