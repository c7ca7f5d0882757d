"""convert, batch, stamp, testpatterns and the demo as `make run` runs it (refusals: test_device_commands.py)."""

import json
import os
import struct

from conftest import needs_images, write_pgm

pytestmark = needs_images


def test_convert_image_to_bin_and_back_and_rgb_to_three_frames(vek, tmp_path):
    write_pgm(tmp_path / "ramp.pgm", 64, 16, lambda x, y: x * 4)
    r = vek("--json", "convert", "ramp.pgm", "ramp.bin", "--width", "64", "--height", "16", "--planes", "0xC0")
    assert r.status == 0 and r.json()["frame_bytes"] == 2 * 64 * 16 // 8, r
    assert vek("convert", "ramp.bin", "back.pgm", "--width", "64", "--height", "16", "--planes", "0xC0").status == 0
    pixels = (tmp_path / "back.pgm").read_bytes()[-64 * 16:]
    assert list(pixels[:64]) == [(x * 4) & 0xC0 for x in range(64)]
    (tmp_path / "c.ppm").write_bytes(b"P6\n16 8\n255\n" + bytes([255, 0, 0]) * 128)  # red: a frame per colour
    assert vek("convert", "c.ppm", "c.bin", "--width", "16", "--height", "8", "--rgb", "--planes", "0x80").status == 0
    red, green, blue = [(tmp_path / f"c.{colour}.bin").read_bytes() for colour in ("red", "green", "blue")]
    assert (red, green, blue) == (b"\xFF" * 16, bytes(16), bytes(16))


def test_batch_converts_every_image_of_a_folder(vek, tmp_path):
    folder = tmp_path / "frames"
    folder.mkdir()
    write_pgm(folder / "a.pgm", 32, 8)
    write_pgm(folder / "b.pgm", 16, 4)
    (folder / "notes.txt").write_text("skip me")
    j = vek("--json", "batch", "frames", "--width", "32", "--height", "8").json()
    assert (sorted(j["files"]), j["skipped"]) == (["frames/a.pgm.bin", "frames/b.pgm.bin"], 1)
    assert (folder / "b.pgm.bin").stat().st_size == 32 * 8


def test_stamp_makes_numbered_copies_and_testpatterns_the_five_files(vek, tmp_path):
    write_pgm(tmp_path / "logo.pgm", 64, 40)
    r = vek("--json", "stamp", "logo.pgm", "--width", "64", "--height", "40", "--count", "3")
    assert r.status == 0 and r.json()["files"] == ["logo_00001.bmp", "logo_00002.bmp", "logo_00003.bmp"], r
    files = vek("--json", "testpatterns", "--out", "pat").json()["files"]
    assert len(files) == 5 and any(f["name"].startswith("黑白") for f in files)
    # GBK names are not UTF-8: escaped so that they name the files.
    assert all(os.path.exists(os.path.join(tmp_path, f["file"])) for f in files)


def test_demo_runs_the_typical_use_and_draws_a_contact_sheet(vek, tmp_path):
    r = vek("demo", "--out", "demo-output", timeout=300)
    assert r.status == 0, r
    out = tmp_path / "demo-output"
    assert all(step in r.out for step in ("VekDevAlloc", "VekDevInit", "inquiry 5", "pixel2bin", "VekDevLoadFrame",
               "VekDevNewFrequencySet", "VekDevGetFrame", "contact sheet", "VekDevFree", "What the board was told",
               "0x21 gray-register ", "0x60-0x6E plane-time: ", "0x6F-0x75 timing-word: ")), r
    png = (out / "contact-sheet.png").read_bytes()
    width, height = struct.unpack(">II", png[16:24])
    assert png[:8] == b"\x89PNG\r\n\x1a\n" and width >= 1000 and height >= 500

    frames = (summary := json.loads((out / "summary.json").read_text()))["frames"]
    assert len(frames) == 11 + 4 + 2  # Gray code bits of 1920 columns, phase steps, white and black
    assert summary["frames_identical"] == len(frames) == summary["frames_in_memory"]
    assert all(b["address"] == a["address"] + a["bytes"] for a, b in zip(frames, frames[1:]))  # one after another
    trace = summary["trace"]
    assert trace["data_out"]["bytes"] == trace["data_in"]["bytes"] == sum(f["bytes"] for f in frames)
    assert trace["last_values"]["0x00000021"] == 0x070000FE and "100 ms" in trace["pauses"]  # gray depth 8
    assert len(list((out / "frames").glob("*.bin"))) == len(frames)


def test_demo_json_output(vek, tmp_path):
    r = vek("--json", "demo", "--out", "d", "--no-frames", "--phase-steps", "3", timeout=300)
    assert r.status == 0 and r.json()["ok"] is True and r.json()["frames_identical"] == 11 + 3 + 2, r
    assert not (tmp_path / "d" / "frames").exists() or not list((tmp_path / "d" / "frames").iterdir())
