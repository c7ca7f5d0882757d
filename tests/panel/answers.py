"""vek.exe (under its emulator) starts the panel on a virtual board and answers one request:
   answers.py EMULATOR VEK_EXE"""

import http.client
import re
import subprocess
import sys

*emulator, tool = sys.argv[1:]
proc = subprocess.Popen([*emulator, tool, "--sim", "panel", "--no-browser"], stdout=subprocess.PIPE, text=True)
try:
    found = re.search(r"http://([^/]+)/\?token=([0-9a-f]+)", proc.stdout.readline())
    assert found, "vek panel printed no address"
    host, token = found.groups()
    conn = http.client.HTTPConnection(host, timeout=120)
    conn.request("GET", "/api/boards", headers={"Host": host, "Cookie": f"vek_panel_{host.rsplit(':', 1)[1]}={token}"})
    res = conn.getresponse()
    body = res.read().decode()
    assert res.status == 200 and "virtual-0" in body, (res.status, body)
    print("vek panel answered:", body)
finally:
    proc.kill()
    proc.wait()
