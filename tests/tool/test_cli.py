"""Arguments, help, exit statuses and error reports of the vek tool."""

import os

import pytest

COMMANDS = ["list", "info", "init", "control", "inquire", "reg read", "reg write", "timing", "trigger",
            "gpio get", "gpio set", "reset-pipe", "firmware", "load", "readback", "convert", "batch",
            "stamp", "testpatterns", "demo"]


@pytest.mark.parametrize("command", COMMANDS)
def test_every_command_has_help(vek, command):
    r = vek(*command.split(), "--help")
    assert r.status == 0, r
    assert "Usage" in r.out and command.split()[-1] in r.out


def test_without_a_command_prints_usage_and_fails_and_version_names_the_library(vek):
    r = vek()
    assert r.status == 2 and "subcommand" in r.err.lower(), r
    r = vek("--version")
    assert r.status == 0 and "library vek_dll 1." in r.out, r


@pytest.mark.parametrize("args, says", [
    (["frobnicate"], "frobnicate"),
    (["--sim", "init", "--gray-bits", "17"], "gray-bits"),
    (["--sim", "timing", "--planes", "0"], "planes"),
    (["--sim", "trigger", "--enable", "2"], "enable"),
    (["--board", "-1", "list"], "board"),
    (["--sim", "control", "nonsense"], "unknown command"),
    (["--sim", "control", "gray-depth"], "needs a VALUE"),
    (["--sim", "control", "set-bit1", "5"], "takes no VALUE"),
    (["--sim", "inquire", "99"], "unknown inquiry"),
    (["--sim", "reg", "write", "0x40"], "value"),
    (["--sim", "gpio"], "subcommand"),
    (["--sim", "control", "reg30", "notanumber"], "notanumber"),
])
def test_bad_arguments_get_a_usage_message_and_status_2(vek, tmp_path, args, says):
    trace = tmp_path / "trace.txt"
    r = vek("--json", "--sim-trace", trace, *args)
    assert r.status == 2, r
    assert says.lower() in r.err.lower()
    assert r.json()["error"]["kind"] == "usage"
    # Nothing reached a board.
    assert not trace.exists() or "request" not in trace.read_text()


@pytest.mark.parametrize("args", [["init", "--gray-bits", "16"], ["timing", "--planes", "16", "--period", "1000000"],
                                  ["trigger", "--enable", "1"], ["--board", "255", "list"]])
def test_ranges_take_their_bounds(vek, args):
    assert vek("--sim", *args).status != 2, args


def test_device_errors_are_named_explained_and_fail(vek):
    assert vek("--json", "list").json() == {"boards": [], "ok": True}  # no board is no failure
    r = vek("info")
    assert r.status == 1 and "DEV_ERR_NO_DEVICE (0x80000001)" in r.err and "Try:" in r.err, r
    r = vek("--sim", "--json", "control", "2", "--any")
    e = r.json()["error"]
    assert (r.status, r.json()["ok"], e["name"], e["code"]) == (1, False, "DEV_ERR_UNSUPPORTED", 0x80000008)
    assert e["meaning"] and e["advice"]


def test_board_index_beyond_the_attached_boards(vek):
    for board in ("2", "9-9"):
        r = vek("--sim", "--sim-boards", "2", "--board", board, "info")
        assert r.status == 1 and "DEV_ERR_NO_DEVICE" in r.err
    assert vek("--sim-boards", "2", "--board", "1", "info").status == 0  # --sim-* imply --sim


@pytest.mark.parametrize("args", [
    ["--sim", "firmware", "{node}"],
    ["--sim", "load", "{node}"],
    ["convert", "{node}", "out.bin", "--width", "8", "--height", "8"],
    ["stamp", "{node}"],
])
@pytest.mark.parametrize("kind", ["fifo", "directory", "device"])
def test_inputs_that_are_not_regular_files_are_refused_at_once(vek, tmp_path, args, kind):
    node = tmp_path / "input.iic"
    if kind == "fifo":
        os.mkfifo(node)  # with no writer: an open for reading would wait for ever
    elif kind == "directory":
        node.mkdir()
    else:
        node.symlink_to("/dev/zero")
    r = vek(*[a.replace("{node}", str(node)) for a in args], timeout=30)
    assert r.status == 3, r  # a file that cannot be read
    assert "not a regular file" in r.err.lower()
