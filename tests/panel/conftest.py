"""Running `vek panel` on a virtual board and talking to it as a browser would."""

import http.client
import json
import os
import re
import signal
import subprocess
from pathlib import Path

import pytest

TOOL = os.environ.get("VEK_TOOL", "")


class Panel:
    def __init__(self, workdir: Path, *args: str):
        self.trace_file = workdir / "trace.txt"
        # Board locks in the test's own folder: tests running side by side each have their virtual-0.
        env = dict(os.environ, XDG_RUNTIME_DIR=str(workdir.parent))
        self.proc = subprocess.Popen([TOOL, "--sim", "--sim-trace", str(self.trace_file), "panel", "--no-browser", *args],
                                     cwd=workdir, env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        line = self.proc.stdout.readline()
        found = re.search(r"(http://([^/]+)/)\?token=([0-9a-f]+)", line)
        assert found, f"no address in {line!r}: {self.proc.stderr.read() if self.proc.poll() is not None else ''}"
        self.base, self.host, self.token = found.groups()
        self.port = int(self.host.rsplit(":", 1)[1])

    def request(self, method, path, body=None, headers=None, token=True):
        """(status, JSON answer); the token goes as the page's cookie."""
        sent = {"Host": self.host}
        if token:
            sent["Cookie"] = f"vek_panel_{self.port}={self.token}"
        if isinstance(body, (dict, list)):
            body = json.dumps(body)
        sent.update(headers or {})
        conn = http.client.HTTPConnection("127.0.0.1", self.port, timeout=60)
        conn.request(method, path, body=body, headers=sent)
        res = conn.getresponse()
        data = res.read()
        conn.close()
        is_json = res.getheader("Content-Type", "").startswith("application/json")
        return res.status, (json.loads(data) if is_json else data)

    def stop(self) -> list:
        """Stops the panel as Ctrl-C does; the virtual board's trace, one line per entry."""
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGINT)
        assert self.proc.wait(timeout=60) == 0, self.proc.stderr.read()
        self.proc.stdout.close()
        self.proc.stderr.close()
        return self.trace_file.read_text().splitlines()


@pytest.fixture
def start_panel(tmp_path):
    if not TOOL or not Path(TOOL).is_file():
        pytest.skip("VEK_TOOL does not name the built vek binary")
    started = []

    def start(*args, folder="a"):
        workdir = tmp_path / folder
        workdir.mkdir()
        started.append(Panel(workdir, *args))
        return started[-1]

    yield start
    for p in started:
        if p.proc.poll() is None:
            p.proc.kill()
            p.proc.wait()


def write_pgm(path: Path, width: int, height: int, row: bytes) -> Path:
    """A gray PGM image whose every row is `row` (OpenCV reads it)."""
    path.write_bytes(b"P5\n%d %d\n255\n" % (width, height) + row * height)
    return path
