#!/usr/bin/env python3
"""POP3 with a mailbox of 100,000 messages (a command, not a test; loopback only).

The mailbox is filled by writing its files directly (untimed), then one
client measures, each as wall time on its own side of the connection:

  login      PASS sent to its "+OK", and to the STAT reply after it
  uidl, list the whole listing, to its "." line (its lines are counted and
             must agree with STAT)
  retr       one RETR of a message in the middle of the mailbox
  rss        the server's resident memory: its peak during the session less
             what it held after a session of an empty mailbox
  quit       DELE of every message (pipelined, untimed), then QUIT to its
             reply; meanwhile a second client connects again and again to
             another mailbox (greeting, USER, PASS, STAT, QUIT) and its
             times to the greeting and to the STAT reply are reported

Against quillpost (default) the server runs on a temporary state root; with
--peer HOST:PORT the same runs against another POP3 server whose user's
Maildir is filled directly (as root: the files are given to the folder's
owner):

  python3 bench/pop3_bigbox_bench.py [--messages 100000] [--size 1024]
  python3 bench/pop3_bigbox_bench.py --peer 127.0.0.1:2110 --user mb1 \\
      --password benchpw --maildir ~mb1/Maildir/cur --other mb2

Binaries come from QP_BIN_DIR (default ./build).
"""

import argparse
import os
import re
import socket
import statistics
import sys
import threading
import time
import uuid

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "e2e"))
import qptest  # noqa: E402

MAIL_FOLDER = "c:\\Mail\\"
USER, OTHER, PASSWORD = "bigbox", "other", "pw"


def message(size):
    head = b"From: bench@d1.test\r\nTo: user@d1.test\r\nSubject: big mailbox\r\n\r\n"
    line = b"The quick brown fox jumps over the lazy dog 0123456789\r\n"
    body = (line * (size // len(line) + 1))[:max(0, size - len(head) - 2)]
    return head + body + b"\r\n"


class Client:
    """A POP3 client on a raw socket that reads replies as they come."""

    def __init__(self, address, timeout=600):
        self.sock = socket.create_connection(address, timeout=timeout)
        self.buffer = b""
        self.pos = 0  # where the unread text of the buffer starts

    def line(self):
        while True:
            end = self.buffer.find(b"\r\n", self.pos)
            if end >= 0:
                line, self.pos = self.buffer[self.pos:end], end + 2
                return line
            data = self.sock.recv(1 << 20)
            if not data:
                raise ConnectionError("closed by the server")
            self.buffer = self.buffer[self.pos:] + data
            self.pos = 0

    def ok(self):
        line = self.line()
        if not line.startswith(b"+OK"):
            raise RuntimeError("reply %r" % line[:200])
        return line

    def command(self, text):
        self.sock.sendall(text.encode() + b"\r\n")
        return self.ok()

    def multiline(self):
        """Lines up to the "." line; returns their count."""
        count = 0
        while self.line() != b".":
            count += 1
        return count

    def close(self):
        self.sock.close()


def timed(work):
    start = time.monotonic()
    value = work()
    return time.monotonic() - start, value


def process_status(pid):
    """VmRSS and VmHWM of a process in KiB."""
    with open("/proc/%d/status" % pid) as f:
        text = f.read()
    return tuple(int(re.search(r"%s:\s+(\d+) kB" % key, text).group(1)) for key in ("VmRSS", "VmHWM"))


def reset_peak(pid):
    """Lets VmHWM count from now (root, or the process's owner)."""
    try:
        with open("/proc/%d/clear_refs" % pid, "w") as f:
            f.write("5")
        return True
    except OSError:
        return False


class OurServer:
    """quillpost on a temporary state root."""

    def __init__(self, machine, messages, data):
        self.machine = machine
        machine.set_settings(MailFolder=MAIL_FOLDER, LogLevel=0, ConnectionsLimit=100)
        machine.set_list("UserAccounts", "Users", [(USER, USER, PASSWORD), (OTHER, OTHER, PASSWORD)])
        self.folder = os.path.join(machine.native(MAIL_FOLDER), USER)
        other = os.path.join(machine.native(MAIL_FOLDER), OTHER)
        os.makedirs(self.folder)
        os.makedirs(other)
        for _ in range(10):
            with open(os.path.join(other, uuid.uuid4().hex.upper() + ".eml"), "wb") as f:
                f.write(data)
        self.server = machine.start_console()
        self.server.wait_ready()
        self.address = ("127.0.0.1", self.server.pop3_port)
        self.user, self.other, self.password = USER, OTHER, PASSWORD
        self.messages, self.data = messages, data

    def fill(self):
        for _ in range(self.messages):
            with open(os.path.join(self.folder, uuid.uuid4().hex.upper() + ".eml"), "wb") as f:
                f.write(self.data)

    def session_pid(self):
        return self.server.proc.pid

    def files_left(self):
        return len(os.listdir(self.folder))

    def stop(self):
        self.server.stop()


class PeerServer:
    """Another POP3 server whose user's Maildir folder we may write."""

    def __init__(self, args, data):
        self.address = (args.peer.rsplit(":", 1)[0], int(args.peer.rsplit(":", 1)[1]))
        self.user, self.other, self.password = args.user, args.other, args.password
        self.folder = os.path.expanduser(args.maildir)
        self.messages, self.data = args.messages, data
        status = os.stat(self.folder)
        self.uid, self.gid = status.st_uid, status.st_gid

    def fill(self):
        stamp = int(time.time())
        for i in range(self.messages):
            path = os.path.join(self.folder, "%d.M%dP%d.bigbox:2," % (stamp, i, os.getpid()))
            fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o600)
            try:
                os.write(fd, self.data)
                os.fchown(fd, self.uid, self.gid)
            finally:
                os.close(fd)

    def session_pid(self):
        """The newest process of the mailbox owner: the session's own."""
        newest = None
        for entry in os.listdir("/proc"):
            if not entry.isdigit():
                continue
            try:
                status = os.stat("/proc/" + entry)
                with open("/proc/%s/comm" % entry) as f:
                    name = f.read().strip()
            except OSError:
                continue
            if status.st_uid == self.uid and "pop3" in name:
                if newest is None or int(entry) > newest:
                    newest = int(entry)
        return newest

    def files_left(self):
        return len([n for n in os.listdir(self.folder) if not n.startswith(".")])

    def stop(self):
        pass


def login(server, user):
    client = Client(server.address)
    client.ok()
    client.command("USER " + user)
    return client


def empty_session_rss(server):
    """The server's resident memory after a session of the empty mailbox."""
    client = login(server, server.user)
    client.command("PASS " + server.password)
    client.command("STAT")
    pid = server.session_pid()
    rss = process_status(pid)[0] if pid else 0
    client.command("QUIT")
    client.close()
    return rss


class Prober(threading.Thread):
    """A second client that logs in to another mailbox again and again."""

    def __init__(self, server):
        super().__init__(daemon=True)
        self.server = server
        self.stop = threading.Event()
        self.greetings = []
        self.logins = []
        self.error = None

    def run(self):
        while not self.stop.is_set():
            try:
                start = time.monotonic()
                client = Client(self.server.address, timeout=60)
                client.ok()
                self.greetings.append(time.monotonic() - start)
                client.command("USER " + self.server.other)
                client.command("PASS " + self.server.password)
                client.command("STAT")
                self.logins.append(time.monotonic() - start)
                client.command("QUIT")
                client.close()
            except (OSError, RuntimeError) as e:
                self.error = str(e)
                return
            time.sleep(0.01)


def milliseconds(values):
    if not values:
        return "none"
    values = sorted(values)
    return "n=%d median_ms=%.1f p99_ms=%.1f max_ms=%.1f" % (
        len(values), statistics.median(values) * 1e3,
        values[min(len(values) - 1, int(len(values) * 0.99))] * 1e3, values[-1] * 1e3)


def report(label, text):
    print("RESULT %s %s" % (label, text))
    sys.stdout.flush()


def measure(server, label):
    baseline = empty_session_rss(server)
    report(label, "empty-session rss_kib=%d" % baseline)
    fill_s, _ = timed(server.fill)
    print("filled %d messages of %d bytes in %.1f s" % (server.messages, len(server.data), fill_s))
    print("load average: %s" % " ".join(open("/proc/loadavg").read().split()[:3]))

    client = login(server, server.user)
    # A server that starts a process per session has none yet: the peak of
    # the new one is the session's own.
    pid = server.session_pid()
    peak_is_sessions = pid is None or reset_peak(pid)
    start = time.monotonic()
    client.command("PASS " + server.password)
    pass_s = time.monotonic() - start
    stat = client.command("STAT").split()
    stat_s = time.monotonic() - start
    count = int(stat[1])
    report(label, "login pass_s=%.3f login_stat_s=%.3f stat=%s" % (pass_s, stat_s, b" ".join(stat[1:]).decode()))
    if count != server.messages:
        raise RuntimeError("STAT counts %d of %d messages" % (count, server.messages))

    for command in ("UIDL", "LIST"):
        def listing():
            client.command(command)
            return client.multiline()
        seconds, lines = timed(listing)
        report(label, "%s seconds=%.3f lines=%d" % (command.lower(), seconds, lines))
        if lines != count:
            raise RuntimeError("%s lists %d of %d messages" % (command, lines, count))

    def retr():
        size = int(client.command("RETR %d" % (count // 2)).split()[1])
        client.multiline()
        return size
    seconds, size = timed(retr)
    report(label, "retr seconds=%.4f octets=%d" % (seconds, size))

    pid = server.session_pid() if pid is None else pid
    if pid:
        rss, peak = process_status(pid)
        report(label, "rss rss_kib=%d peak_kib=%d growth_kib=%d%s" % (
            rss, peak, (peak if peak_is_sessions else rss) - baseline,
            "" if peak_is_sessions else " (from the current, the peak could not be reset)"))

    # Every message marked, in batches of pipelined DELEs.
    batch = 1000
    for first in range(1, count + 1, batch):
        numbers = range(first, min(count, first + batch - 1) + 1)
        client.sock.sendall(b"".join(b"DELE %d\r\n" % n for n in numbers))
        for _ in numbers:
            client.ok()

    prober = Prober(server)
    prober.start()
    time.sleep(0.5)
    before = len(prober.greetings)
    seconds, _ = timed(lambda: client.command("QUIT"))
    during_greetings = prober.greetings[before:]
    during_logins = prober.logins[before:]
    time.sleep(0.3)
    prober.stop.set()
    prober.join()
    client.close()
    report(label, "quit seconds=%.3f files_left=%d" % (seconds, server.files_left()))
    report(label, "other-client-during-quit greeting %s" % milliseconds(during_greetings))
    report(label, "other-client-during-quit login_stat %s" % milliseconds(during_logins))
    if prober.error:
        report(label, "other-client error=%s" % prober.error)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--messages", type=int, default=100000)
    parser.add_argument("--size", type=int, default=1024, help="bytes per message")
    parser.add_argument("--peer", help="HOST:PORT of another POP3 server")
    parser.add_argument("--user", default="mb1")
    parser.add_argument("--other", default="mb2", help="the second client's user (peer)")
    parser.add_argument("--password", default="benchpw")
    parser.add_argument("--maildir", help="the folder the peer reads the user's mail from")
    parser.add_argument("--label", help="name of the server in the output")
    args = parser.parse_args()
    data = message(args.size)

    if args.peer:
        if not args.maildir:
            parser.error("--peer needs --maildir")
        server = PeerServer(args, data)
        if server.files_left():
            parser.error("%s is not empty" % server.folder)
        measure(server, args.label or args.peer)
        return
    with qptest.Machine() as machine:
        server = OurServer(machine, args.messages, data)
        try:
            measure(server, args.label or "quillpost")
        finally:
            server.stop()


if __name__ == "__main__":
    main()
