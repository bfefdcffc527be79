"""LarkspurDriver: one larkspur run on one board in download mode, as a labgrid console."""

import ctypes
import fcntl
import logging
import os
import select
import signal
import shlex
import shutil
import subprocess
import tempfile
import threading

import attr
import pexpect

from labgrid.driver.common import Driver
from labgrid.driver.consoleexpectmixin import ConsoleExpectMixin
from labgrid.driver.exception import ExecutionError
from labgrid.factory import target_factory
from labgrid.protocol import ConsoleProtocol
from labgrid.step import step

ESC = b"\x1b"
PR_SET_PDEATHSIG = 1
_libc = ctypes.CDLL(None, use_errno=True)

# Resources of a board in download mode: its serial port, or its boot ROM's USB device.
SERIAL_RESOURCES = {"RawSerialPort", "USBSerialPort", "NetworkSerialPort"}
USB_RESOURCES = {"USBFlashableDevice", "NetworkUSBFlashableDevice"}
# larkspur's -t values
CHIPS = ("egret", "heron", "falcon")


@attr.s(eq=False)
class LarkspurError(ExecutionError):
    """larkspur ended on its own; msg carries its last line and exit value."""

    exit_value = attr.ib(default=None)

    def __str__(self):
        return self.msg


def _failure(output, stderr, exit_value):
    lines = [l for l in output.decode("utf-8", "replace").splitlines() if l.strip()]
    last = lines[-1].strip() if lines else "(no output)"
    return LarkspurError(f"larkspur ended with {exit_value}: {last}", lines, stderr, exit_value)


def _end_with_parent():
    # a run must not outlive the test that started it, however that one ends
    _libc.prctl(PR_SET_PDEATHSIG, signal.SIGTERM)


@target_factory.reg_driver
@attr.s(eq=False)
class LarkspurDriver(ConsoleExpectMixin, Driver, ConsoleProtocol):
    """Runs larkspur for exactly the bound board and offers its relay as the console.

    Activation starts the run; end() sends ESC and gives larkspur's exit value. When the
    resource is exported by another host, larkspur runs there, through the resource's
    command prefix (ssh), as labgrid's loader drivers run their tools.

    Args:
        chip (str): larkspur's -t value: egret, heron or falcon
        script (str): the DDR init script, relative to workdir
        workdir (str): the directory holding the script and the chip's test image, on
            the host that runs larkspur (default: the current directory)
        end_timeout (float): how long larkspur may take to end after ESC
    """

    bindings = {"board": SERIAL_RESOURCES | USB_RESOURCES}

    chip = attr.ib(validator=attr.validators.in_(CHIPS))
    script = attr.ib(validator=attr.validators.instance_of(str))
    workdir = attr.ib(default=None,
                      validator=attr.validators.optional(attr.validators.instance_of(str)))
    end_timeout = attr.ib(default=10.0, converter=float)
    txdelay = attr.ib(default=0.0, validator=attr.validators.instance_of(float))

    def __attrs_post_init__(self):
        super().__attrs_post_init__()
        self.logger = logging.getLogger(f"{self}({self.target})")
        if self.target.env:
            self.tool = self.target.env.config.get_tool("larkspur") or "larkspur"
        else:
            self.tool = "larkspur"
        self._child = None
        self._devices = None
        self._output = bytearray()
        self._stderr = []
        self._stderr_reader = None

    @property
    def _serial(self):
        return type(self.board).__name__ in SERIAL_RESOURCES

    def _argv(self):
        argv = [self.tool, "-t", self.chip, "-df", self.script]
        if self._serial:
            argv += ["-com", "1"]
        elif self.chip != "falcon":
            argv.append("-usb")
        return argv

    def _tty(self):
        if type(self.board).__name__ == "NetworkSerialPort":
            # the exporter names the tty it serves in the resource's extra data
            tty = getattr(self.board, "extra", {}).get("path")
        else:
            tty = self.board.port
        if not tty:
            raise ExecutionError(f"{self.board} names no serial port")
        return tty

    def _remote_script(self):
        """One shell command for the exporting host. An ssh session ends nothing on its
        own when the client goes, and larkspur does not end at the end of its input: keys
        go through a fifo, so that once the client's side is closed (after ESC, or with
        the client gone) larkspur has a few seconds to end and is then stopped."""
        words = " ".join(shlex.quote(w) for w in self._argv())
        if self._serial:
            setup, bind = f'ln -s {shlex.quote(self._tty())} "$d/com1" && ', 'LARKSPUR_DEVICES="$d"'
        else:
            setup, bind = "", f"LARKSPUR_BOARD={shlex.quote(self.board.path)}"
        cd = f"cd {shlex.quote(self.workdir)} && " if self.workdir else ""
        return (
            "d=$(mktemp -d) || exit 1\n"
            "trap 'rm -rf \"$d\"' EXIT\n"
            f'{cd}{setup}mkfifo "$d/keys" || exit 1\n'
            f'{bind} {words} <"$d/keys" &\n'
            "run=$!\n"
            "exec 3<&0\n"
            'cat <&3 >"$d/keys" 2>/dev/null &\n'
            "keys=$!\n"
            "while kill -0 $run 2>/dev/null && kill -0 $keys 2>/dev/null; do sleep 1; done\n"
            "n=0\n"
            "while kill -0 $run 2>/dev/null && [ $n -lt 50 ]; do sleep 0.1; n=$((n+1)); done\n"
            "kill $run $keys 2>/dev/null\n"
            "wait $run\n"
        )

    def on_activate(self):
        self._output = bytearray()
        self._stderr = []
        prefix = self.board.command_prefix
        if prefix:
            argv, env, cwd = prefix + [self._remote_script()], None, None
        else:
            argv, cwd, env = self._argv(), self.workdir, dict(os.environ)
            if self._serial:
                # a device directory of the run's own: com1 is the bound port, nothing else
                self._devices = tempfile.mkdtemp(prefix="larkspur-devices-")
                os.symlink(self._tty(), os.path.join(self._devices, "com1"))
                env["LARKSPUR_DEVICES"] = self._devices
            else:
                env["LARKSPUR_BOARD"] = self.board.path
        self.logger.debug("starting %s", argv)
        self._child = subprocess.Popen(
            argv, cwd=cwd, env=env, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
            stderr=subprocess.PIPE, preexec_fn=_end_with_parent)
        fd = self._child.stdout.fileno()
        fcntl.fcntl(fd, fcntl.F_SETFL, fcntl.fcntl(fd, fcntl.F_GETFL) | os.O_NONBLOCK)
        self._stderr_reader = threading.Thread(
            target=self._drain_stderr, args=(self._child.stderr,), daemon=True)
        self._stderr_reader.start()

    def _drain_stderr(self, stream):
        with stream:
            for line in stream:
                text = line.decode("utf-8", "replace").rstrip()
                self._stderr.append(text)
                self.logger.info("larkspur: %s", text)

    def on_deactivate(self):
        if self._child is not None:
            try:
                self._end()
            except LarkspurError:
                pass
        self._cleanup()

    def _cleanup(self):
        if self._devices:
            shutil.rmtree(self._devices, ignore_errors=True)
            self._devices = None

    def _keep(self, data):
        # a failure is told by the last line, so only the tail is kept
        self._output += data
        del self._output[:-4096]

    def _ended(self):
        """The error for a run that has ended, once its last output is read."""
        try:
            while data := os.read(self._child.stdout.fileno(), 4096):
                self._keep(data)
        except BlockingIOError:  # a process left behind holds the pipe open
            pass
        self._child.wait()
        if self._stderr_reader:
            self._stderr_reader.join(1.0)
        return _failure(bytes(self._output), list(self._stderr), self._child.returncode)

    def _read(self, size: int = 1, timeout: float = 0.0, max_size: int = None):
        if self._child is None:
            raise ExecutionError("larkspur is not running")
        fd = self._child.stdout.fileno()
        ready, _, _ = select.select([fd], [], [], timeout)
        if not ready:
            raise pexpect.TIMEOUT(f"Timeout of {timeout:.2f} seconds exceeded")
        data = os.read(fd, max(size, max_size or 4096))
        if not data:
            raise self._ended()
        self._keep(data)
        return data

    def _write(self, data: bytes):
        if self._child is None:
            raise ExecutionError("larkspur is not running")
        try:
            return os.write(self._child.stdin.fileno(), data)
        except BrokenPipeError:
            raise self._ended() from None

    @Driver.check_active
    @step(result=True)
    def end(self):
        """Sends ESC and gives larkspur's exit value (0 after ESC, 255 after a failure)."""
        return self._end()

    def _end(self):
        child = self._child
        if child is None:
            raise ExecutionError("larkspur is not running")
        try:
            if child.poll() is None:
                try:
                    os.write(child.stdin.fileno(), ESC)
                    child.stdin.close()
                except (BrokenPipeError, OSError):
                    pass
            try:
                return child.wait(self.end_timeout)
            except subprocess.TimeoutExpired:
                child.terminate()
                try:
                    child.wait(self.end_timeout)
                except subprocess.TimeoutExpired:
                    child.kill()
                    child.wait()
                raise LarkspurError(
                    f"larkspur did not end within {self.end_timeout} s of ESC and was stopped",
                    None, list(self._stderr), child.returncode)
        finally:
            # what is left of the output is the log's, not the caller's
            try:
                rest = child.stdout.read()
                if rest:
                    self.logger.debug("after the end: %r", rest)
            except (OSError, ValueError):
                pass
            child.stdout.close()
            if self._stderr_reader:
                self._stderr_reader.join(1.0)
            self._child = None
            self._cleanup()
