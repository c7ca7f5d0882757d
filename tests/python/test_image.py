"""Bit-plane conversion and the image getters through the Python package."""

import numpy as np
import pytest

import vek
from conftest import write_pgm, write_ppm


def test_pixel2bin_shapes_and_plane_order():
    pixels = np.zeros((2, 16), dtype=np.uint8)
    pixels[0, 0] = 0xA5
    pixels[0, 7] = 0x80
    frame = vek.pixel2bin(pixels, 0xFF)
    assert frame.shape == (8, 2, 2)
    assert list(frame[:, 0, 0]) == [0x81, 0, 0x80, 0, 0, 0x80, 0, 0x80]
    assert list(vek.pixel2bin(pixels, 0x81)[:, 0, 0]) == [0x81, 0x80]  # bit 7 first, then bit 0
    assert vek.frame_bytes(1920, 1080, 0xFF) == 2_073_600 and vek.frame_bytes(1024, 768, 0x81) == 196_608


@pytest.mark.parametrize("mask", [0xFF, 0x81])
def test_bin2pixel_inverts_pixel2bin_on_selected_planes(mask):
    pixels = np.random.default_rng(mask).integers(0, 256, size=(24, 64), dtype=np.uint8)
    assert np.array_equal(vek.bin2pixel(vek.pixel2bin(pixels, mask), mask), pixels & mask)
    flat = vek.pixel2bin(pixels, mask).tobytes()
    assert np.array_equal(vek.bin2pixel(flat, mask, width=64, height=24), pixels & mask)


@pytest.mark.parametrize("call", [
    lambda: vek.pixel2bin(np.zeros((4, 12), dtype=np.uint8)),          # width not a multiple of 8
    lambda: vek.pixel2bin(np.zeros(16, dtype=np.uint8)),               # not 2-D
    lambda: vek.pixel2bin(np.zeros((4, 16), dtype=np.uint8), 0x100),   # mask not a byte
    lambda: vek.bin2pixel(np.zeros((2, 4, 2), dtype=np.uint8), 0xFF),  # 2 planes for a mask of 8
    lambda: vek.bin2pixel(b"\0" * 10, 0xFF, width=16, height=4),       # wrong byte count
    lambda: vek.bin2pixel(b"\0" * 64, 0xFF),                           # flat without a size
])
def test_bad_shapes_are_refused_before_the_library_runs(call):
    with pytest.raises(ValueError):
        call()


def test_other_dtypes_are_refused_unless_converted():
    for pixels in (np.full((1, 8), 0.9), np.full((1, 8), 300, np.uint16)):
        with pytest.raises(TypeError):
            vek.pixel2bin(pixels)
    assert vek.pixel2bin(np.full((1, 8), 0.9), 0x01, convert=True).tobytes() == b"\xff"  # rounded to 1
    assert vek.pixel2bin(np.full((1, 8), 300, np.uint16), 0x80, convert=True).tobytes() == b"\xff"  # clipped


def test_getters_read_gray_and_rgb_files(tmp_path):
    pixels = np.tile(np.arange(64, dtype=np.uint8) * 4, (16, 1))
    path = write_pgm(tmp_path / "ramp.pgm", pixels)
    assert np.array_equal(vek.gray_pixels(path, 64, 16), pixels)
    assert vek.gray_pixels(path, 32, 8).shape == (8, 32)
    assert np.array_equal(vek.bin2pixel(vek.gray_bin(path, 64, 16, 0xC0), 0xC0), pixels & 0xC0)
    rgb = np.zeros((8, 16, 3), dtype=np.uint8)
    rgb[..., 0] = 255  # pure red
    rgb[:, 8:, 2] = 200
    path = write_ppm(tmp_path / "red.ppm", rgb)
    r, g, b = vek.rgb_pixels(path, 16, 8)
    assert (r[0, 0], g[0, 0], b[0, 0], b[0, 15]) == (255, 0, 0, 200)
    rb, gb, bb = vek.rgb_bin(path, 16, 8, 0x80)
    assert rb.shape == (1, 8, 2) and rb.min() == 0xFF and gb.max() == 0
    assert list(bb[0, 0]) == [0x00, 0xFF]
    missing = tmp_path / "none.png"
    for getter in (vek.gray_pixels, vek.rgb_pixels, vek.gray_bin, vek.rgb_bin):
        with pytest.raises(vek.VekFailure):
            getter(missing, 16, 8)


def test_batch_stamp_and_test_patterns_write_their_files(tmp_path):
    write_pgm(tmp_path / "a.pgm", np.full((8, 16), 200, dtype=np.uint8))
    vek.batch_image_to_bin(tmp_path, 16, 8)
    assert (tmp_path / "a.pgm.bin").read_bytes() == vek.pixel2bin(np.full((8, 16), 200, np.uint8)).tobytes()
    with pytest.raises(vek.VekFailure):
        vek.batch_image_to_bin(tmp_path / "missing", 16, 8)
    vek.add_serial_number(tmp_path / "a.pgm", 64, 40, 2)
    assert sorted(p.name for p in tmp_path.glob("a_*.bmp")) == ["a_00001.bmp", "a_00002.bmp"]
    patterns = tmp_path / "patterns"
    patterns.mkdir()
    vek.write_test_patterns(patterns)
    assert sorted(p.stat().st_size for p in patterns.iterdir() if p.suffix == ".bin") == [259_200, 259_200]
