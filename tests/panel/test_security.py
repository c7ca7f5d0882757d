"""The panel's gate, with plain HTTP requests: only the page it served, with its token, reaches the board."""

import pytest


@pytest.mark.parametrize("headers, token, status", [
    ({}, False, 401),                                         # no token
    ({"Cookie": "vek_panel_{port}=0123456789abcdef0123456789abcdef"}, False, 401),  # a wrong one
    ({"Origin": "http://evil.example"}, True, 403),           # another site's page
    ({"Sec-Fetch-Site": "cross-site"}, True, 403),
    ({"Host": "evil.example:{port}"}, True, 403),             # a name rebound to this machine
    ({"Host": "127.0.0.1:1"}, True, 403),                     # another port
])
def test_refused_requests_reach_nothing(start_panel, headers, token, status):
    panel = start_panel()
    headers = {k: v.format(port=panel.port) for k, v in headers.items()}
    got, answer = panel.request("POST", "/api/open", {"index": 0}, headers, token)
    assert (got, answer["ok"]) == (status, False)
    assert "VekDevAlloc" not in str(panel.request("GET", "/api/activity")[1])
    assert not any(" register " in line for line in panel.stop())


def test_token_moves_to_a_strict_cookie(start_panel):
    panel = start_panel()
    status, _ = panel.request("GET", f"/?token={panel.token}", token=False)
    assert status == 303
    conn_status, page = panel.request("GET", "/")
    assert conn_status == 200 and b"/panel.js" in page
    import http.client
    conn = http.client.HTTPConnection("127.0.0.1", panel.port)
    conn.request("GET", f"/?token={panel.token}", headers={"Host": panel.host})
    cookie = conn.getresponse().getheader("Set-Cookie")
    assert f"vek_panel_{panel.port}={panel.token}" in cookie and "HttpOnly" in cookie and "SameSite=Strict" in cookie
    # Both loopback families answer.
    v6 = http.client.HTTPConnection("::1", panel.port)
    v6.request("GET", "/api/boards", headers={"Host": f"[::1]:{panel.port}", "Cookie": f"vek_panel_{panel.port}={panel.token}"})
    assert v6.getresponse().status == 200


@pytest.mark.parametrize("method, path, body, headers, status", [
    ("POST", "/api/open", "{not json", {}, 400),
    ("POST", "/api/open", {"index": "x"}, {}, 400),
    ("POST", "/api/command", {"command": "no-such-command"}, {}, 400),
    ("POST", "/api/frames?name=a.png", b"x", {"Content-Length": str(64 << 20)}, 413),
    ("GET", "/api/nowhere", None, {}, 404),
])
def test_bad_requests_get_a_json_error_and_the_server_goes_on(start_panel, method, path, body, headers, status):
    panel = start_panel()
    assert panel.request("POST", "/api/open", {"index": 0})[0] == 200
    got, answer = panel.request(method, path, body, headers)
    assert (got, answer["ok"]) == (status, False) and answer["error"]["message"]
    assert panel.request("GET", "/api/boards")[1]["boards"][0]["open"] is True


def test_uploads_are_checked_and_read_back(start_panel):
    panel = start_panel()
    panel.request("POST", "/api/open", {"index": 0})
    status, answer = panel.request("POST", "/api/frames?name=frame.png", b"\x89PNG\r\n\x1a\nnot really")
    assert status == 415 and "frame.png" in answer["error"]["message"]
    # A frame loaded over another: the first no longer reads back as it was sent.
    for fill in (b"\x01", b"\x02"):
        assert panel.request("POST", "/api/frames?name=f.bin&planes=0x80&address=0", fill * (1920 // 8 * 1080))[0] == 200
    frames = panel.request("GET", "/api/gallery")[1]["frames"]
    assert [(f["address"], f["verified"]) for f in frames] == [(0, False), (0, True)]


def test_one_panel_owns_a_board(start_panel):
    first, second = start_panel(folder="a"), start_panel(folder="b")
    assert first.request("POST", "/api/open", {"index": 0})[0] == 200
    status, answer = second.request("POST", "/api/open", {"index": 0})
    assert status == 409 and first.base in answer["error"]["message"]
    first.stop()  # Ctrl-C frees the board
    assert second.request("POST", "/api/open", {"index": 0})[0] == 200
