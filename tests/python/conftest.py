"""Fixtures of the Python package's tests: a virtual board per test, image files."""

from pathlib import Path
from typing import Iterator

import numpy as np
import pytest

import vek


@pytest.fixture
def board_id() -> Iterator[int]:
    """A fresh virtual board (id), with the virtual clock; detached afterwards."""
    vek.sim.detach_all()
    with vek.sim.VirtualBoard() as bid:
        yield bid


@pytest.fixture
def board(board_id: int) -> Iterator[vek.Board]:
    """An open, initialised board whose frame layout is known."""
    with vek.Board(0) as b:
        b.init(frequency=60, gray_bits=8)
        b.board_type()
        yield b


def write_pgm(path: Path, pixels: np.ndarray) -> Path:
    """A binary PGM file (8-bit gray), which the image functions read."""
    h, w = pixels.shape
    path.write_bytes(b"P5\n%d %d\n255\n" % (w, h) + pixels.astype(np.uint8).tobytes())
    return path


def write_ppm(path: Path, rgb: np.ndarray) -> Path:
    """A binary PPM file; rgb has shape (height, width, 3) in red, green, blue order."""
    h, w, _ = rgb.shape
    path.write_bytes(b"P6\n%d %d\n255\n" % (w, h) + rgb.astype(np.uint8).tobytes())
    return path
