"""Bit-plane conversion and the image getters through the Python package."""

import numpy as np
import pytest

import vek
from conftest import write_image


@pytest.mark.parametrize("mask, planes", [(0xFF, 8), (0x81, 2)])
def test_pixel2bin_gives_planes_of_rows_and_bin2pixel_inverts_it(mask, planes):
    pixels = np.random.default_rng(mask).integers(0, 256, size=(24, 64), dtype=np.uint8)
    frame = vek.pixel2bin(pixels, mask)  # the bit layout is the library's (its own tests)
    assert frame.shape == (planes, 24, 8) and frame.nbytes == vek.frame_bytes(64, 24, mask)
    assert np.array_equal(vek.bin2pixel(frame, mask), pixels & mask)
    assert np.array_equal(vek.bin2pixel(frame.tobytes(), mask, width=64, height=24), pixels & mask)
    stack = vek.pixel2bin(np.stack([pixels, ~pixels]), mask)  # a leading stack axis
    assert stack.shape == (2, planes, 24, 8) and np.array_equal(stack[0], frame)


@pytest.mark.parametrize("call, error", [
    (lambda: vek.pixel2bin(np.zeros((4, 12), dtype=np.uint8)), ValueError),          # width not a multiple of 8
    (lambda: vek.pixel2bin(np.zeros(16, dtype=np.uint8)), ValueError),               # not 2-D
    (lambda: vek.pixel2bin(np.zeros((4, 16), dtype=np.uint8), 0x100), ValueError),   # mask not a byte
    (lambda: vek.bin2pixel(np.zeros((2, 4, 2), dtype=np.uint8), 0xFF), ValueError),  # 2 planes for a mask of 8
    (lambda: vek.bin2pixel(b"\0" * 10, 0xFF, width=16, height=4), ValueError),       # wrong byte count
    (lambda: vek.bin2pixel(b"\0" * 64, 0xFF), ValueError),                           # flat without a size
    (lambda: vek.pixel2bin(np.full((1, 8), 0.9)), TypeError),                        # other dtypes unless converted
    (lambda: vek.pixel2bin(np.full((1, 8), 300, np.uint16)), TypeError),
])
def test_bad_shapes_and_dtypes_are_refused_before_the_library_runs(call, error):
    with pytest.raises(error):
        call()


def test_other_dtypes_are_converted_when_asked():
    assert vek.pixel2bin(np.full((1, 8), 0.9), 0x01, convert=True).tobytes() == b"\xff"  # rounded to 1
    assert vek.pixel2bin(np.full((1, 8), 300, np.uint16), 0x80, convert=True).tobytes() == b"\xff"  # clipped


def test_getters_read_gray_and_rgb_files(tmp_path):
    pixels = np.tile(np.arange(64, dtype=np.uint8) * 4, (16, 1))
    path = write_image(tmp_path / "ramp.pgm", pixels)
    assert np.array_equal(vek.gray_pixels(path, 64, 16), pixels) and vek.gray_pixels(path, 32, 8).shape == (8, 32)
    assert np.array_equal(vek.bin2pixel(vek.gray_bin(path, 64, 16, 0xC0), 0xC0), pixels & 0xC0)
    # Red everywhere, blue on the right half.
    rgb = np.zeros((8, 16, 3), dtype=np.uint8) + [255, 0, 0] + np.repeat([[0, 0, 0], [0, 0, 200]], 8, axis=0)
    path = write_image(tmp_path / "red.ppm", rgb)
    assert [c[0, 15] for c in vek.rgb_pixels(path, 16, 8)] == [255, 0, 200]
    assert [list(c[0, 0]) for c in vek.rgb_bin(path, 16, 8, 0x80)] == [[0xFF, 0xFF], [0, 0], [0, 0xFF]]
    for getter in (vek.gray_pixels, vek.rgb_pixels, vek.gray_bin, vek.rgb_bin):
        with pytest.raises(FileNotFoundError):
            getter(tmp_path / "none.png", 16, 8)


def test_batch_stamp_and_test_patterns_write_their_files(tmp_path):
    write_image(tmp_path / "a.pgm", np.full((8, 16), 200, dtype=np.uint8))
    vek.batch_image_to_bin(tmp_path, 16, 8)  # before the others write theirs
    vek.add_serial_number(tmp_path / "a.pgm", 64, 40, 2)
    vek.write_test_patterns(tmp_path)
    assert (tmp_path / "a.pgm.bin").read_bytes() == vek.pixel2bin(np.full((8, 16), 200, np.uint8)).tobytes()
    assert sorted(p.name for p in tmp_path.glob("a_*.bmp")) == ["a_00001.bmp", "a_00002.bmp"]
    assert sorted(p.stat().st_size for p in tmp_path.glob("*.bin")) == [128, 259_200, 259_200]
    with pytest.raises(FileNotFoundError):
        vek.batch_image_to_bin(tmp_path / "missing", 16, 8)
