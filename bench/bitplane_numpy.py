#!/usr/bin/python3
"""pixel2bin and bin2pixel written with numpy, as the baseline of
bench/run_bitplane.sh: a 1920 x 1080 image, all eight planes, each plane made
with np.packbits (and read back with np.unpackbits). Prints one JSON object
with the median time of each conversion in microseconds of CPU time of the
thread (the C++ benchmark is read the same way), so that other work on a shared
machine does not count."""

import json
import statistics
import sys
import time

import numpy as np

WIDTH, HEIGHT = 1920, 1080


def pixel2bin(pixels: np.ndarray) -> np.ndarray:
    # Plane of bit b: bit b of every pixel, 8 pixels a byte, leftmost pixel in
    # the most significant bit; planes from bit 7 down.
    return np.concatenate([np.packbits((pixels >> b) & 1) for b in range(7, -1, -1)])


def bin2pixel(frame: np.ndarray) -> np.ndarray:
    plane = frame.size // 8
    pixels = np.zeros(plane * 8, dtype=np.uint8)
    for k, b in enumerate(range(7, -1, -1)):
        pixels |= np.unpackbits(frame[k * plane:(k + 1) * plane]) << np.uint8(b)
    return pixels


def median_us(fn, arg, runs: int) -> float:
    fn(arg)  # warm up
    times = []
    for _ in range(runs):
        start = time.thread_time()
        fn(arg)
        times.append(time.thread_time() - start)
    return statistics.median(times) * 1e6


def main() -> int:
    runs = int(sys.argv[1]) if len(sys.argv) > 1 else 30
    rng = np.random.default_rng(1)
    pixels = rng.integers(0, 256, WIDTH * HEIGHT, dtype=np.uint8)

    # The layout's own example: 255, 0, ..., 0, 255 with only bit 7 gives 0x81.
    example = np.array([255, 0, 0, 0, 0, 0, 0, 255], dtype=np.uint8)
    assert pixel2bin(example)[0] == 0x81
    frame = pixel2bin(pixels)
    assert frame.size == WIDTH * HEIGHT and np.array_equal(bin2pixel(frame), pixels)

    print(json.dumps({
        "numpy": np.__version__,
        "runs": runs,
        "pixel2bin_us": median_us(pixel2bin, pixels, runs),
        "bin2pixel_us": median_us(bin2pixel, frame, runs),
    }))
    return 0


if __name__ == "__main__":
    sys.exit(main())
