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
    """An open, initialised board."""
    with vek.Board(0) as b:
        b.init(frequency=60, gray_bits=8)
        yield b


def write_image(path: Path, pixels: np.ndarray) -> Path:
    """A binary PGM (height x width: 8-bit gray) or PPM (height x width x 3: red, green, blue) file."""
    h, w = pixels.shape[:2]
    path.write_bytes(b"P%d\n%d %d\n255\n" % (6 if pixels.ndim == 3 else 5, w, h) + pixels.astype(np.uint8).tobytes())
    return path
