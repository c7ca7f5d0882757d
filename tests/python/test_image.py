"""Bit-plane conversion and the image getters through the Python package."""

import numpy as np
import pytest

import vek
from conftest import write_pgm, write_ppm


def test_pixel2bin_packs_leftmost_pixel_in_top_bit():
    pixels = np.zeros((1, 8), dtype=np.uint8)
    pixels[0, 0] = pixels[0, 7] = 255
    frame = vek.pixel2bin(pixels, 0x80)
    assert frame.shape == (1, 1, 1)
    assert frame[0, 0, 0] == 0x81


def test_pixel2bin_orders_planes_from_highest_bit():
    pixels = np.zeros((2, 16), dtype=np.uint8)
    pixels[0, 0] = 0xA5
    frame = vek.pixel2bin(pixels, 0xFF)
    assert frame.shape == (8, 2, 2)
    assert list(frame[:, 0, 0]) == [0x80, 0, 0x80, 0, 0, 0x80, 0, 0x80]
    two = vek.pixel2bin(pixels, 0x81)  # bit 7 first, then bit 0
    assert list(two[:, 0, 0]) == [0x80, 0x80]


@pytest.mark.parametrize("mask", [0xFF, 0x80, 0x81, 0xF0, 0x01])
def test_bin2pixel_inverts_pixel2bin_on_selected_planes(mask):
    rng = np.random.default_rng(mask)
    pixels = rng.integers(0, 256, size=(24, 64), dtype=np.uint8)
    back = vek.bin2pixel(vek.pixel2bin(pixels, mask), mask)
    assert back.shape == pixels.shape
    assert np.array_equal(back, pixels & mask)


def test_bin2pixel_takes_flat_bytes_with_a_size():
    pixels = np.arange(32 * 4, dtype=np.uint8).reshape(4, 32)
    flat = vek.pixel2bin(pixels).tobytes()
    assert np.array_equal(vek.bin2pixel(flat, 0xFF, width=32, height=4), pixels)


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


def test_frame_bytes_of_the_two_board_layouts():
    assert vek.frame_bytes(1920, 1080, 0xFF) == 2_073_600
    assert vek.frame_bytes(1024, 768, 0x81) == 196_608


def test_gray_getters_read_a_file_at_its_size_and_resized(tmp_path):
    pixels = np.tile(np.arange(64, dtype=np.uint8) * 4, (16, 1))
    path = write_pgm(tmp_path / "ramp.pgm", pixels)
    assert np.array_equal(vek.gray_pixels(path, 64, 16), pixels)
    half = vek.gray_pixels(path, 32, 8)
    assert half.shape == (8, 32)
    assert half[0, 0] < half[0, -1]  # still a ramp from left to right
    frame = vek.gray_bin(path, 64, 16, 0xC0)
    assert frame.shape == (2, 16, 8)
    assert np.array_equal(vek.bin2pixel(frame, 0xC0), pixels & 0xC0)


def test_rgb_getters_split_red_green_blue(tmp_path):
    rgb = np.zeros((8, 16, 3), dtype=np.uint8)
    rgb[..., 0] = 255  # pure red
    rgb[:, 8:, 2] = 200
    path = write_ppm(tmp_path / "red.ppm", rgb)
    r, g, b = vek.rgb_pixels(path, 16, 8)
    assert r[0, 0] == 255 and g[0, 0] == 0 and b[0, 0] == 0
    assert b[0, 15] == 200
    rb, gb, bb = vek.rgb_bin(path, 16, 8, 0x80)
    assert rb.shape == (1, 8, 2) and rb.min() == 0xFF and gb.max() == 0
    assert list(bb[0, 0]) == [0x00, 0xFF]


def test_missing_files_raise(tmp_path):
    missing = tmp_path / "none.png"
    for call in (lambda: vek.gray_pixels(missing, 16, 8), lambda: vek.rgb_pixels(missing, 16, 8),
                 lambda: vek.gray_bin(missing, 16, 8), lambda: vek.rgb_bin(missing, 16, 8)):
        with pytest.raises(vek.VekFailure):
            call()


def test_batch_conversion_writes_a_bin_beside_each_image(tmp_path):
    write_pgm(tmp_path / "a.pgm", np.full((8, 16), 200, dtype=np.uint8))
    write_pgm(tmp_path / "b.pgm", np.zeros((8, 16), dtype=np.uint8))
    (tmp_path / "notes.txt").write_text("not an image")
    vek.batch_image_to_bin(tmp_path, 16, 8)
    assert (tmp_path / "a.pgm.bin").read_bytes() == vek.pixel2bin(np.full((8, 16), 200, np.uint8)).tobytes()
    assert (tmp_path / "b.pgm.bin").stat().st_size == 16 * 8
    assert not (tmp_path / "notes.txt.bin").exists()
    with pytest.raises(vek.VekFailure):
        vek.batch_image_to_bin(tmp_path / "missing", 16, 8)


def test_serial_number_copies_are_numbered(tmp_path):
    src = write_pgm(tmp_path / "logo.pgm", np.full((40, 64), 255, dtype=np.uint8))
    vek.add_serial_number(src, 64, 40, 2)
    assert (tmp_path / "logo_00001.bmp").exists() and (tmp_path / "logo_00002.bmp").exists()
    assert not (tmp_path / "logo_00003.bmp").exists()


def test_test_patterns_go_into_the_given_folder(tmp_path):
    vek.write_test_patterns(tmp_path)
    bins = sorted(p.stat().st_size for p in tmp_path.iterdir() if p.suffix == ".bin")
    assert bins == [259_200, 259_200]
