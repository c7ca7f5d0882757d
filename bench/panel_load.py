#!/usr/bin/env python3
"""Uploading, converting and loading 17 frames of 1920x1080 through `vek panel` (as its page does:
one POST per file), against `vek load` of the same files, in the same run, on a virtual board.

    bench/panel_load.py BUILD_DIR [ROUNDS]

Prints the median wall time of each over ROUNDS rounds (default 3) and their ratio."""

import http.client
import re
import signal
import socket
import statistics
import struct
import subprocess
import sys
import tempfile
import time
import zlib
from pathlib import Path

import numpy as np

WIDTH, HEIGHT = 1920, 1080


def write_png(path: Path, pixels: np.ndarray) -> None:
    rows = b"".join(b"\0" + row.tobytes() for row in pixels)
    chunk = lambda kind, data: struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))  # noqa: E731
    path.write_bytes(b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", WIDTH, HEIGHT, 8, 0, 0, 0, 0))
                     + chunk(b"IDAT", zlib.compress(rows, 6)) + chunk(b"IEND", b""))


def frames(folder: Path) -> list:
    """The demo's set: 11 Gray-code stripes, 4 phase shifts, white, black."""
    x = np.arange(WIDTH)
    gray = x ^ (x >> 1)
    rows = [((gray >> bit) & 1) * 255 for bit in range(10, -1, -1)]
    rows += [np.round(127.5 + 127.5 * np.cos(2 * np.pi * x / 64 + 2 * np.pi * s / 4)) for s in range(4)]
    rows += [np.full(WIDTH, 255), np.zeros(WIDTH)]
    paths = []
    for i, row in enumerate(rows):
        paths.append(folder / f"frame{i:02}.png")
        write_png(paths[-1], np.tile(row.astype(np.uint8), (HEIGHT, 1)))
    return paths


def time_load(vek: str, files: list) -> float:
    start = time.perf_counter()
    subprocess.run([vek, "--sim", "load", *map(str, files)], check=True, capture_output=True)
    return time.perf_counter() - start


class BrowserLikeConnection(http.client.HTTPConnection):
    """Sends each request at once, as browsers do (TCP_NODELAY): http.client writes the headers and the
    body apart, and Nagle's algorithm would hold the body for the server's delayed ACK (40 ms a request)."""

    def connect(self):
        super().connect()
        self.sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)


def time_panel(vek: str, files: list) -> float:
    proc = subprocess.Popen([vek, "--sim", "panel", "--no-browser"], stdout=subprocess.PIPE, text=True)
    host, token = re.search(r"http://([^/]+)/\?token=(\w+)", proc.stdout.readline()).groups()
    headers = {"Host": host, "Cookie": f"vek_panel_{host.rsplit(':', 1)[1]}={token}"}
    conn = BrowserLikeConnection(host)

    def post(path, body):
        conn.request("POST", path, body=body, headers=headers)
        res = conn.getresponse()
        res.read()
        assert res.status == 200, path

    post("/api/open", b'{"index": 0}')
    start = time.perf_counter()
    for f in files:
        post(f"/api/frames?name={f.name}", f.read_bytes())
    elapsed = time.perf_counter() - start
    proc.send_signal(signal.SIGINT)
    proc.wait()
    return elapsed


def main() -> None:
    vek = str(Path(sys.argv[1]) / "tools/vek/vek")
    rounds = int(sys.argv[2]) if len(sys.argv) > 2 else 3
    with tempfile.TemporaryDirectory() as folder:
        files = frames(Path(folder))
        load, panel = [], []
        for _ in range(rounds):
            load.append(time_load(vek, files))
            panel.append(time_panel(vek, files))
    a, b = statistics.median(load), statistics.median(panel)
    print(f"vek load: {a:.3f} s, vek panel uploads: {b:.3f} s, ratio {b / a:.2f} "
          f"(median of {rounds}; {len(files)} frames of {WIDTH}x{HEIGHT})")


if __name__ == "__main__":
    main()
