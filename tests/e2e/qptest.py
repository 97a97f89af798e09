"""End-to-end harness for Kestrune Mail Service (standard library only).

Each test gets a machine of its own: a temporary state root (QUILLPOST_HOME)
holding its registry hive, its run/ folder and its drive folders. The real
programs run against it; nothing binds a privileged port and nothing leaves
the loopback interface.

Binaries come from the folder in the environment variable QP_BIN_DIR (set by
ctest to the build folder), else ../../build relative to this file.

API (kept stable; other tests build on it):

  BIN_DIR                      folder of quillpost and quillreg
  SERVICE_NAME                 "Kestrune Mail Service"
  SETTINGS_KEY                 r"HKLM\\software\\Orvalen\\Mail Service"
  SERVICE_KEY, EVENTLOG_KEY    the service's database key and event-log source
  BANNER                       the exact banner quillpost prints first
  binary(name) -> str          full path of a program; error when missing
  free_port() -> int           an unused high TCP port (20000-32000), never
                               handed out twice by this process
  serialise_list(items) -> bytes
                               the registry's list format: items are texts
                               (str or bytes) or (user, full name, password)
                               triples for the accounts list
  process_alive(pid) -> bool   running and not a zombie
  hold_peer_addresses(address) waits until no other process holds the
                               addresses of address's /24 (a test run of
                               another build folder, binding the same fixed
                               peer addresses), then holds them until this
                               process ends
  local_user()                 context manager: a new unprivileged local user
                               (uid, name) with a unique name, removed on exit
                               (needs root)
  wait_until(predicate, timeout, what) -> value
                               polls predicate every 50 ms until it returns a
                               true value (returned); AssertionError naming
                               `what` on time-out

  class Machine                a temporary QUILLPOST_HOME
    home                       the state root (str)
    env                        environment for the programs (dict): the
                               caller's, QUILLPOST_HOME set, and the service
                               manager's own variable removed
    settings                   what set_settings() wrote, by value name
    cleanup()                  stops what it started (consoles, service
                               processes, any quillpost left running with
                               this machine's state root), removes the
                               folder; also on leaving a `with Machine() as
                               m:` block
    quillreg(*args, check=False) -> CompletedProcess (text mode, captured)
    reg_import(text)           writes text as a UTF-8 .reg file and runs
                               `quillreg import`; raises on failure. The
                               header line is added when text lacks it.
    set_values(section, **kw)  values under SETTINGS_KEY\\<section>: int and
                               bool -> REG_DWORD, str -> REG_SZ, bytes ->
                               REG_BINARY
    set_settings(**kw)         set_values("Settings", **kw), remembered in
                               .settings (e.g. Port=..., SmtpPort=...,
                               LogLevel=2, MailFolder="c:\\Mailboxes\\")
    set_list(section, value, items)
                               the serialised list as REG_BINARY
    prepare_server(log_level=None)
                               gives a server what it needs to run here:
                               free ports for Port and SmtpPort and LogPath
                               "c:\\Logs" unless they were set (the log
                               folder is created: the server does not create
                               it); the optional log_level sets LogLevel.
                               Returns (pop3, smtp).
    native(path) -> str        "c:\\a\\b" -> <home>/drive_c/a/b (components
                               matched without regard to case where they
                               exist, as the programs do); native paths as-is
    log_path -> str            the trace log the server writes (LogPath, or
                               the program folder when LogPath is unset)
    read_log() -> str          its text ("" while missing)
    run(*args, timeout=60, input=None) -> CompletedProcess
                               runs quillpost with the arguments, waits
    start_console(*args, log_level=None, **popen) -> Server
                               prepare_server(log_level), then starts
                               `quillpost -d *args` (stdout and stderr
                               collected by the Server)
    service_pid() -> int|None  pid recorded by the service manager for the
                               installed service (run/services/<name>/pid)
    service_output() -> str    the service process's output.log

  class Server                 a running `quillpost -d`
    proc                       its subprocess.Popen
    pop3_port, smtp_port       the ports it was given
    output() -> str            stdout and stderr so far
    wait_output(text, timeout=10) -> str
    wait_port(port, timeout=10)
                               until a TCP connect to 127.0.0.1:port works
                               (raises when the process ended or on time-out)
    wait_ready(timeout=10)     wait_port for both ports
    log_path, read_log()       as on the Machine
    wait_log(text, timeout=10) -> str
                               until the trace log contains text
    stop(timeout=20) -> int    SIGINT (Ctrl+C), wait, return the exit code;
                               kills and raises when it does not end in time
    kill()                     SIGKILL, for cleanup

  class Detached(pid)          enough of Popen (poll, pid) for a Server around
                               a process the test did not start (the
                               installed service)

  class MachineTestCase(unittest.TestCase)
                               self.machine, a fresh Machine per test,
                               cleaned up afterwards
  main()                       unittest.main() with verbosity 2
"""

import contextlib
import fcntl
import os
import pwd
import random
import shutil
import signal
import socket
import subprocess
import tempfile
import threading
import time
import unittest
import uuid

_HERE = os.path.dirname(os.path.abspath(__file__))
BIN_DIR = os.environ.get("QP_BIN_DIR") or os.path.normpath(
    os.path.join(_HERE, "..", "..", "build"))

SERVICE_NAME = "Kestrune Mail Service"
SETTINGS_KEY = "HKLM\\software\\Orvalen\\Mail Service"
SERVICE_KEY = "HKLM\\SYSTEM\\CurrentControlSet\\Services\\" + SERVICE_NAME
EVENTLOG_KEY = ("HKLM\\SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\"
                + SERVICE_NAME)

BANNER = ("*" * 44 + "\n"
          + "*" + " " * 10 + SERVICE_NAME + " " * 11 + "*\n"
          + "*  " + "             Version 3.3              " + "  *\n"
          + "*" * 44 + "\n"
          + "\n")

_REG_HEADER = "Windows Registry Editor Version 5.00"
_PORT_RANGE = (20000, 32000)
_given_ports = set()
_ports_lock = threading.Lock()


def binary(name):
    path = os.path.join(BIN_DIR, name)
    if not os.access(path, os.X_OK):
        raise FileNotFoundError("%s not built in %s (set QP_BIN_DIR)" % (name, BIN_DIR))
    return path


def free_port():
    """An unused TCP port on every local address, not handed out before."""
    rng = random.Random()
    with _ports_lock:
        for _ in range(200):
            port = rng.randrange(*_PORT_RANGE)
            if port in _given_ports:
                continue
            probe = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
            try:
                probe.bind(("", port))
            except OSError:
                continue
            finally:
                probe.close()
            _given_ports.add(port)
            return port
    raise RuntimeError("no free port found")


_held_addresses = {}


def hold_peer_addresses(address):
    network = address.rsplit(".", 1)[0]
    if network in _held_addresses:
        return
    path = "/tmp/quillpost-test-peers-%s.lock" % network  # the unit tests' fake peers take the same
    fd = os.open(path, os.O_RDWR | os.O_CREAT | os.O_CLOEXEC, 0o666)
    fcntl.flock(fd, fcntl.LOCK_EX)  # released by the kernel when this process ends
    _held_addresses[network] = fd


def _serialise_text(data):
    if isinstance(data, str):
        data = data.encode("utf-8")
    if len(data) < 255:
        return bytes([len(data)]) + data
    if len(data) > 0xFFFF:
        raise ValueError("text too long for the list format")
    return b"\xff" + len(data).to_bytes(2, "little") + data


def serialise_list(items):
    items = list(items)
    out = bytearray(len(items).to_bytes(2, "little"))
    for item in items:
        if isinstance(item, (tuple, list)):
            for part in item:
                out += _serialise_text(part)
        else:
            out += _serialise_text(item)
    return bytes(out)


@contextlib.contextmanager
def local_user():
    """A local unprivileged user of its own (uid, name), removed afterwards."""
    name = "qpab%s" % uuid.uuid4().hex[:8]
    subprocess.run(["useradd", "--no-create-home", "--shell", "/usr/sbin/nologin", name],
                   check=True, capture_output=True, timeout=30)
    try:
        yield pwd.getpwnam(name).pw_uid, name
    finally:
        subprocess.run(["userdel", name], capture_output=True, timeout=30)


def process_alive(pid):
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    except PermissionError:
        return True
    try:
        with open("/proc/%d/stat" % pid) as f:
            stat = f.read()
        return stat[stat.rindex(")") + 2] not in "ZX"
    except (OSError, ValueError, IndexError):
        return True


def _reg_quote(text):
    return '"' + text.replace("\\", "\\\\").replace('"', '\\"') + '"'


def _reg_value_line(name, value):
    if isinstance(value, bool):
        value = int(value)
    if isinstance(value, int):
        return "%s=dword:%08x" % (_reg_quote(name), value & 0xFFFFFFFF)
    if isinstance(value, str):
        return "%s=%s" % (_reg_quote(name), _reg_quote(value))
    if isinstance(value, (bytes, bytearray)):
        return "%s=hex:%s" % (_reg_quote(name), ",".join("%02x" % b for b in value))
    raise TypeError("no registry type for %r" % (value,))


def _resolve_nocase(folder, name):
    if os.path.lexists(os.path.join(folder, name)):
        return name
    try:
        for entry in os.listdir(folder):
            if entry.lower() == name.lower():
                return entry
    except OSError:
        pass
    return name


def read_greeting(sock):
    """Reads up to the end of the first line, until the server closes, or
    until the socket's time-out (a TLS port greets nobody)."""
    received = b""
    try:
        while not received.endswith(b"\n"):
            piece = sock.recv(512)
            if not piece:
                break
            received += piece
    except OSError:
        pass
    return received


def wait_until(predicate, timeout, what):
    end = time.monotonic() + timeout
    while True:
        value = predicate()
        if value:
            return value
        if time.monotonic() >= end:
            raise AssertionError("timed out after %ss waiting for %s" % (timeout, what))
        time.sleep(0.05)


_wait_until = wait_until  # the earlier name, kept for callers


class Machine:
    def __init__(self):
        self.home = tempfile.mkdtemp(prefix="qp-e2e-")
        self.env = dict(os.environ)
        self.env.pop("QUILLPOST_SERVICE_NAME", None)
        self.env["QUILLPOST_HOME"] = self.home
        self.settings = {}
        self._servers = []
        self._imports = 0

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.cleanup()
        return False

    # --- registry ---

    def quillreg(self, *args, check=False):
        result = subprocess.run([binary("quillreg")] + [str(a) for a in args], env=self.env,
                                capture_output=True, text=True, timeout=60)
        if check and result.returncode != 0:
            raise AssertionError("quillreg %s failed (%d): %s"
                                 % (" ".join(map(str, args)), result.returncode, result.stderr))
        return result

    def reg_import(self, text):
        if not text.lstrip().startswith(_REG_HEADER):
            text = _REG_HEADER + "\n\n" + text
        self._imports += 1
        path = os.path.join(self.home, "import-%d.reg" % self._imports)
        with open(path, "w", encoding="utf-8", newline="\n") as f:
            f.write(text if text.endswith("\n") else text + "\n")
        self.quillreg("import", path, check=True)

    def set_values(self, section, **values):
        lines = ["[HKEY_LOCAL_MACHINE\\software\\Orvalen\\Mail Service\\%s]" % section]
        lines += [_reg_value_line(name, value) for name, value in values.items()]
        self.reg_import("\n".join(lines) + "\n")

    def set_settings(self, **values):
        self.set_values("Settings", **values)
        self.settings.update(values)

    def set_list(self, section, value, items):
        self.set_values(section, **{value: serialise_list(items)})

    def prepare_server(self, log_level=None):
        values = {}
        for name in ("Port", "SmtpPort"):
            if name not in self.settings:
                values[name] = free_port()
        if "LogPath" not in self.settings:
            values["LogPath"] = "c:\\Logs"
        if log_level is not None:
            values["LogLevel"] = log_level
        if values:
            self.set_settings(**values)
        log_folder = self.settings.get("LogPath")
        if log_folder:
            os.makedirs(self.native(log_folder), exist_ok=True)
        return self.settings["Port"], self.settings["SmtpPort"]

    # --- files ---

    def native(self, path):
        if len(path) >= 2 and path[1] == ":" and path[0].isalpha():
            current = os.path.join(self.home, "drive_" + path[0].lower())
            rest = path[2:]
        elif path.startswith("/"):
            return path
        else:
            current = os.path.join(self.home, "drive_c")
            rest = path
        trailing = rest.endswith(("\\", "/"))
        for part in rest.replace("/", "\\").split("\\"):
            if part in ("", "."):
                continue
            current = os.path.join(current, _resolve_nocase(current, part))
        return current + ("/" if trailing else "")

    @property
    def log_path(self):
        folder = self.settings.get("LogPath", "")
        folder = self.native(folder) if folder else BIN_DIR
        folder = folder.rstrip("/") or "/"
        return os.path.join(folder, _resolve_nocase(folder, "Mailtrace.log"))

    def read_log(self):
        try:
            with open(self.log_path, "rb") as f:
                return f.read().decode("utf-8", errors="replace")
        except FileNotFoundError:
            return ""

    # --- programs ---

    def run(self, *args, timeout=60, input=None):
        return subprocess.run([binary("quillpost")] + [str(a) for a in args], env=self.env,
                              capture_output=True, text=True, timeout=timeout, input=input)

    def start_console(self, *args, log_level=None, **popen):
        pop3, smtp = self.prepare_server(log_level)
        popen.setdefault("env", self.env)
        popen.setdefault("stdin", subprocess.DEVNULL)
        popen.setdefault("stdout", subprocess.PIPE)
        popen.setdefault("stderr", subprocess.STDOUT)
        proc = subprocess.Popen([binary("quillpost"), "-d"] + [str(a) for a in args], **popen)
        server = Server(self, proc, pop3, smtp)
        self._servers.append(server)
        return server

    def _service_folder(self):
        return os.path.join(self.home, "run", "services", SERVICE_NAME)

    def service_pid(self):
        try:
            with open(os.path.join(self._service_folder(), "pid")) as f:
                return int(f.read().split()[0])
        except (OSError, ValueError, IndexError):
            return None

    def service_output(self):
        try:
            with open(os.path.join(self._service_folder(), "output.log"), "rb") as f:
                return f.read().decode("utf-8", errors="replace")
        except FileNotFoundError:
            return ""

    def _owns(self, pid):
        """True when the process runs with this machine's state root."""
        try:
            with open("/proc/%d/environ" % pid, "rb") as f:
                return ("QUILLPOST_HOME=" + self.home).encode() in f.read().split(b"\0")
        except OSError:
            return False

    def _servers_left(self):
        """Every quillpost process still running with this state root."""
        found = []
        for entry in os.listdir("/proc"):
            if not entry.isdigit():
                continue
            try:
                program = os.path.basename(os.readlink("/proc/%s/exe" % entry))
            except OSError:
                continue
            if program == "quillpost" and self._owns(int(entry)):
                found.append(int(entry))
        return found

    def cleanup(self):
        for server in self._servers:
            server.kill()
        self._servers = []
        for pid in self._servers_left():
            try:
                os.kill(pid, signal.SIGKILL)
            except OSError:
                pass
        services = os.path.join(self.home, "run", "services")
        if os.path.isdir(services):
            for name in os.listdir(services):
                try:
                    with open(os.path.join(services, name, "pid")) as f:
                        pid = int(f.read().split()[0])
                except (OSError, ValueError, IndexError):
                    continue
                if process_alive(pid) and self._owns(pid):
                    try:
                        os.kill(pid, signal.SIGKILL)
                    except OSError:
                        pass
        shutil.rmtree(self.home, ignore_errors=True)


class Server:
    def __init__(self, machine, proc, pop3_port, smtp_port):
        self.machine = machine
        self.proc = proc
        self.pop3_port = pop3_port
        self.smtp_port = smtp_port
        self._chunks = []
        self._lock = threading.Lock()
        self._reader = None
        if proc.stdout is not None:
            self._reader = threading.Thread(target=self._collect, daemon=True)
            self._reader.start()

    def _collect(self):
        stream = self.proc.stdout
        while True:
            data = stream.read1(4096) if hasattr(stream, "read1") else stream.read(4096)
            if not data:
                break
            if isinstance(data, str):
                data = data.encode()
            with self._lock:
                self._chunks.append(data)

    def output(self):
        with self._lock:
            return b"".join(self._chunks).decode("utf-8", errors="replace")

    def wait_output(self, text, timeout=10):
        def seen():
            out = self.output()
            if text in out:
                return out
            if self.proc.poll() is not None:
                if self._reader:
                    self._reader.join(2)
                out = self.output()
                if text in out:
                    return out
                raise AssertionError("quillpost ended (%s) before printing %r; output: %r"
                                     % (self.proc.returncode, text, out))
            return None
        return wait_until(seen, timeout, "output %r" % text)

    def wait_port(self, port, timeout=10):
        def connects():
            if self.proc.poll() is not None:
                raise AssertionError("quillpost ended (%s) before listening on %d; output: %r"
                                     % (self.proc.returncode, port, self.output()))
            try:
                with socket.create_connection(("127.0.0.1", port), timeout=1) as probe:
                    # Read the greeting before closing: a close with unread
                    # bytes resets the connection, and the server logs the
                    # reset as an error some tests count lines of.
                    read_greeting(probe)
                    return True
            except OSError:
                return False
        wait_until(connects, timeout, "port %d" % port)

    def wait_ready(self, timeout=10):
        self.wait_port(self.pop3_port, timeout)
        self.wait_port(self.smtp_port, timeout)

    @property
    def log_path(self):
        return self.machine.log_path

    def read_log(self):
        return self.machine.read_log()

    def wait_log(self, text, timeout=10):
        def seen():
            log = self.read_log()
            return log if text in log else None
        try:
            return wait_until(seen, timeout, "log line %r" % text)
        except AssertionError as e:
            raise AssertionError("%s; log so far: %r" % (e, self.read_log()))

    def stop(self, timeout=20):
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGINT)
        try:
            code = self.proc.wait(timeout)
        except subprocess.TimeoutExpired:
            self.kill()
            raise AssertionError("quillpost did not stop within %ss; output: %r"
                                 % (timeout, self.output()))
        if self._reader:
            self._reader.join(5)
        return code

    def kill(self):
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait(10)
        if self._reader:
            self._reader.join(5)
            if self._reader.is_alive():
                # A process of its own still holds the output (a server that
                # outlived the strace it ran under): closing the pipe would
                # wait for it. Machine.cleanup ends it, and the reader then.
                return
        if self.proc.stdout:
            self.proc.stdout.close()


class Detached:
    """Enough of Popen for Server.wait_port on a process we did not start."""

    def __init__(self, pid):
        self.pid = pid
        self.returncode = None
        self.stdout = None

    def poll(self):
        return None if process_alive(self.pid) else 0


class MachineTestCase(unittest.TestCase):
    def setUp(self):
        super().setUp()
        self.machine = Machine()
        self.addCleanup(self.machine.cleanup)


def main():
    unittest.main(verbosity=2)
