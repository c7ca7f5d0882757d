"""Running the vek tool as a user would."""

import json
import os
import subprocess
from pathlib import Path

import pytest

TOOL = os.environ.get("VEK_TOOL", "")
# "0" when the tool is built without image support (the build says which).
IMAGES = os.environ.get("VEK_TOOL_IMAGES", "1") != "0"
needs_images = pytest.mark.skipif(not IMAGES, reason="this vek is built without image support")


class Result:
    def __init__(self, proc: subprocess.CompletedProcess):
        self.status, self.out, self.err = proc.returncode, proc.stdout, proc.stderr

    def json(self):
        return json.loads(self.out)

    def __repr__(self) -> str:
        return f"<exit {self.status}\nstdout:\n{self.out}\nstderr:\n{self.err}>"


@pytest.fixture
def vek(tmp_path):
    """vek(*args) runs the tool in a fresh folder and returns its exit status and output."""
    if not TOOL or not Path(TOOL).is_file():
        pytest.skip("VEK_TOOL does not name the built vek binary")

    def run(*args: str, timeout: int = 120) -> Result:
        return Result(subprocess.run([TOOL, *map(str, args)], cwd=tmp_path, capture_output=True, text=True,
                                     errors="replace", timeout=timeout))

    return run


def write_pgm(path: Path, width: int, height: int, value_of=lambda x, y: x) -> Path:
    """An 8-bit gray PGM image (OpenCV reads it) with pixel (x, y) = value_of(x, y) % 256."""
    pixels = bytes(value_of(x, y) % 256 for y in range(height) for x in range(width))
    path.write_bytes(b"P5\n%d %d\n255\n" % (width, height) + pixels)
    return path
