"""The labgrid driver against the virtual board: the soak test of soak/ run by pytest
through labgrid, its boards in the virtual board's emulation; each row compares the test
outcomes, the failure lines and pytest's exit value."""

import glob
import os
import pathlib
import re
import select
import shutil
import signal
import subprocess
import sys
import time

import pytest

HERE = pathlib.Path(__file__).resolve().parent
SOURCE = HERE.parents[2]
LARKSPUR = os.environ.get("LARKSPUR_EXE", str(SOURCE / "build/debug/app/larkspur"))
BOARD = os.environ.get("LARKSPUR_BOARD_EXE", str(SOURCE / "build/debug/boardsim/larkspur-board"))
RUN_LIMIT_S = 180


@pytest.fixture(scope="module")
def workdir(tmp_path_factory):
    """The test images and sample scripts, where larkspur runs."""
    d = tmp_path_factory.mktemp("work")
    subprocess.run([BOARD, "--write-images", str(d)], check=True, timeout=30)
    for inc in (SOURCE / "examples").glob("*.inc"):
        shutil.copy(inc, d)
    return d


def start(argv, **kw):
    # a session of its own, so that the whole tree goes when the row ends, however it ends
    return subprocess.Popen(argv, start_new_session=True, **kw)


def stop(proc):
    if proc.poll() is None:
        os.killpg(proc.pid, signal.SIGTERM)
        try:
            proc.wait(5)
        except subprocess.TimeoutExpired:
            os.killpg(proc.pid, signal.SIGKILL)
            proc.wait()


def soak(workdir, env_file, extra_env=None, boards=None, passes=3):
    """pytest on the soak test, one process per board named (side by side), or one for
    every board of the file; their joined output and their exit values."""
    tests = [f"soak/test_soak.py::test_soak[{b}]" for b in boards] if boards else [
        "soak/test_soak.py"]
    env = dict(os.environ, LG_LARKSPUR=LARKSPUR, LG_WORKDIR=str(workdir), **(extra_env or {}))
    procs = [start([sys.executable, "-m", "pytest", test, "-p", "no:cacheprovider",
                    "-W", "ignore::DeprecationWarning", "-q", "-rA", f"--passes={passes}",
                    f"--lg-env=soak/{env_file}"],
                   cwd=HERE, env=env, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
             for test in tests]
    deadline = time.monotonic() + RUN_LIMIT_S
    outs = []
    try:
        for proc in procs:
            outs.append(proc.communicate(timeout=max(1, deadline - time.monotonic()))[0])
    finally:
        for proc in procs:
            stop(proc)
    return "".join(outs), [proc.returncode for proc in procs]


def emulation(board, count, limit_s=20):
    """The variables that enter a running board's emulation, once its `count` boards are
    ready (it prints them first, then one READY line a board)."""
    env, ready, text = {}, 0, b""
    deadline = time.monotonic() + limit_s
    while ready < count and time.monotonic() < deadline:
        if not select.select([board.stdout], [], [], 0.1)[0]:
            continue
        chunk = os.read(board.stdout.fileno(), 4096)
        if not chunk:
            break
        text += chunk
        *lines, text = text.split(b"\n")
        for line in lines:
            words = line.decode().split()
            if words and words[0] == "READY":
                ready += 1
            elif words and all("=" in w for w in words):
                env.update(w.split("=", 1) for w in words)
    assert ready == count, "the virtual board did not get ready"
    return env


def outcomes(out):
    """The outcome lines of pytest's short summary, without a failure's text."""
    return sorted(re.sub(r" - .*", "", l) for l in out.splitlines()
                  if l.startswith(("PASSED ", "FAILED ", "ERROR ")))


TWO_BOARDS = ["--target", "kestrel", "--port", "1-1", "--log", "{logs}/kestrel.log", "--board",
              "--target", "egret", "--transport", "usb", "--port", "1-2", "--log",
              "{logs}/egret.log"]
TWO_KESTRELS = ["--target", "kestrel", "--port", "1-1", "--log", "{logs}/kestrel.log",
                "--board", "--target", "kestrel", "--port", "1-2", "--log", "{logs}/kestrel-2.log"]
# places taken from the exporter's view of the boards, and an ssh to the exporting host
# (this one)
THROUGH_EXPORTER = {"PATH": f"{HERE / 'bin'}:{os.environ['PATH']}",
                    "LG_EXPORTER": str(HERE / "soak" / "exporter.yaml")}

USB_ROWS = [
    # (board options, environment file, its variables, each target's outcome, a line that
    # must show); one pytest a target, side by side
    pytest.param(TWO_BOARDS, "two-boards.yaml", {}, {"kestrel": "PASSED", "egret": "PASSED"},
                 None, id="local"),
    pytest.param(TWO_KESTRELS, "two-kestrels.yaml", {},
                 {"kestrel": "PASSED", "kestrel-2": "PASSED"}, None, id="two-of-a-kind"),
    pytest.param(TWO_BOARDS + ["--never-reappear"], "two-boards.yaml", {},
                 {"kestrel": "PASSED", "egret": "FAILED"},
                 "LarkspurError: larkspur ended with 255: Re-open the egret device failed.",
                 id="never-reappears"),
    pytest.param(TWO_BOARDS, "remote-two-boards.yaml", THROUGH_EXPORTER,
                 {"kestrel": "PASSED", "egret": "PASSED"}, None, id="remote"),
]


@pytest.mark.parametrize("boards, env_file, extra_env, expected, line", USB_ROWS)
def test_usb_boards_side_by_side(workdir, tmp_path, boards, env_file, extra_env, expected, line):
    boards = [word.format(logs=tmp_path) for word in boards]
    board = start([BOARD, "--devices", str(tmp_path), *boards], stdout=subprocess.PIPE)
    try:
        env = dict(extra_env, **emulation(board, boards.count("--target")))
        out, exit_values = soak(workdir, env_file, env, boards=list(expected))
    finally:
        stop(board)
    assert outcomes(out) == sorted(f"{outcome} soak/test_soak.py::test_soak[{name}]"
                                   for name, outcome in expected.items()), out
    if line:
        assert line in out, out
    assert exit_values == [0 if o == "PASSED" else 1 for o in expected.values()], out


SERIAL_ROWS = [
    pytest.param("serial.yaml", {}, id="local"),
    pytest.param("remote-serial.yaml", THROUGH_EXPORTER, id="remote"),
]


def wait_for(condition, limit_s):
    deadline = time.monotonic() + limit_s
    while not condition() and time.monotonic() < deadline:
        time.sleep(0.05)
    return condition()


def serial_board(tmp_path):
    """A heron on a serial line: the board's process, and its comN link."""
    devices = tmp_path / "devices"
    devices.mkdir(mode=0o700)
    board = start([BOARD, "--target", "heron", "--com", "7", "--devices", str(devices),
                   "--log", str(tmp_path / "board.log")], stdout=subprocess.DEVNULL)
    link = devices / "com7"
    wait_for(link.is_symlink, 10)
    return board, link


@pytest.mark.parametrize("env_file, extra_env", SERIAL_ROWS)
def test_serial_board(workdir, tmp_path, env_file, extra_env):
    board, link = serial_board(tmp_path)
    try:
        out, (rc,) = soak(workdir, env_file, dict(extra_env, LG_TTY=str(link)))
    finally:
        stop(board)
    assert outcomes(out) == [
        "PASSED soak/test_soak.py::test_soak[heron]"], out
    assert rc == 0, out


def line_holders(tty, but):
    """Processes other than `but` with the tty open."""
    holders = set()
    for fd in glob.glob("/proc/[0-9]*/fd/*"):
        try:
            if os.readlink(fd) == tty:
                holders.add(int(fd.split("/")[2]))
        except OSError:
            pass
    return holders - {but}


def test_remote_run_ends_when_its_client_goes(workdir, tmp_path):
    # A client killed while its relay is quiet (a CI job's time limit, say): the larkspur
    # it started on the exporting host must not keep the board's line.
    board, link = serial_board(tmp_path)
    holding = tmp_path / "holding"
    client = None
    try:
        tty = os.path.realpath(link)
        env = dict(os.environ, LG_LARKSPUR=LARKSPUR, LG_WORKDIR=str(workdir), LG_TTY=str(link),
                   LG_HOLDING=str(holding), **THROUGH_EXPORTER)
        client = start([sys.executable, "-m", "pytest", "soak/test_hold.py", "-q",
                        "-p", "no:cacheprovider", "--lg-env=soak/remote-serial.yaml"],
                       cwd=HERE, env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        assert wait_for(holding.exists, 60)
        assert line_holders(tty, board.pid)
        os.killpg(client.pid, signal.SIGKILL)
        assert wait_for(lambda: not line_holders(tty, board.pid), 15)
    finally:
        if client:
            stop(client)
        stop(board)
