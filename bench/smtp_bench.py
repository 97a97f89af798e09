#!/usr/bin/env python3
"""SMTP reception benchmark of quillpost (a command, not a test).

  python3 bench/smtp_bench.py [--bin-dir BUILD] [--messages 5000] [--big-mib 100]

Runs the real service in console mode on a machine of its own (a temporary
QUILLPOST_HOME, loopback only, high ports) and reports:

  1. 5000 messages of 1 KiB, one message per connection, over 1 and over 8
     concurrent connections: messages per second until the last "250" reply,
     and until every message is in the recipient's mailbox folder;
  2. the server's peak resident memory (VmHWM) while it receives one message
     of 100 MiB, on a freshly started server.

Each client behaves like an ordinary SMTP client: connect, wait for the
greeting, then one command at a time (HELO, MAIL, RCPT, DATA, message, QUIT).
The service runs with its durable settings (every accepted message is synced
to disk before "250", every delivered copy before the spool file goes), so
the figures follow the disk's latency, which is printed first (a small file
created, then it and its folder synced, as for one spool file). The load client is
bench/smtp_load.cpp, compiled on first use unless the build has smtp_load.
"""

import argparse
import atexit
import os
import shutil
import socket
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "e2e"))

MESSAGE_SIZE = 1024


class Client:
    def __init__(self, port):
        self.sock = socket.create_connection(("127.0.0.1", port))
        self.sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        self.pending = b""

    def reply(self):
        while True:
            end = self.pending.find(b"\r\n")
            if end >= 0:
                line, self.pending = self.pending[:end], self.pending[end + 2:]
                if len(line) >= 4 and line[3:4] == b"-":
                    continue
                return line
            data = self.sock.recv(65536)
            if not data:
                raise ConnectionError("server closed the connection")
            self.pending += data

    def command(self, data, expect):
        self.sock.sendall(data)
        line = self.reply()
        if not line.startswith(expect):
            raise RuntimeError("expected %r, got %r" % (expect, line))
        return line

    def close(self):
        self.sock.close()


def load_client():
    """The C++ load client: built by CMake as smtp_load, or compiled here."""
    import qptest
    built = os.path.join(qptest.BIN_DIR, "smtp_load")
    if os.access(built, os.X_OK):
        return built
    folder = tempfile.mkdtemp(prefix="smtp-load-")
    atexit.register(shutil.rmtree, folder, True)
    target = os.path.join(folder, "smtp_load")
    subprocess.run(["c++", "-std=c++20", "-O2", "-pthread", os.path.join(HERE, "smtp_load.cpp"),
                    "-o", target], check=True)
    return target


def count_files(path):
    try:
        with os.scandir(path) as entries:
            return sum(1 for _ in entries)
    except FileNotFoundError:
        return 0


def run_load(machine, server, client, mailbox, connections, messages):
    """Returns (seconds to the last 250, seconds until all are in the mailbox)."""
    import smtpkit
    box = smtpkit.folder(machine, mailbox)
    proc = subprocess.Popen([client, str(server.smtp_port), str(connections), str(messages),
                             mailbox + "@d1.test", str(MESSAGE_SIZE)],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    out, err = proc.communicate()
    if proc.returncode != 0 or "RESULT" not in out:
        raise RuntimeError("smtp_load failed: %s %s" % (out, err))
    fields = dict(f.split("=") for f in out.split("RESULT", 1)[1].split())
    start, end = float(fields["start"]), float(fields["end"])
    deadline = time.time() + 300
    while True:
        if count_files(box) >= messages:
            done_in_box = time.time()
            break
        if time.time() > deadline:
            raise RuntimeError("only %d of %d messages delivered" % (count_files(box), messages))
        time.sleep(0.002)
    return end - start, max(done_in_box, end) - start


def disk_latency_ms(folder, rounds=200):
    """Milliseconds to create a small file, and to write and sync it and its
    folder (as for one spool file). Both follow the file system: creating
    can be slow on one without a journal that has freed many inodes in the
    last minutes (it passes over them), syncing follows the device."""
    create = sync = 0.0
    for i in range(rounds):
        path = os.path.join(folder, "sync-%d" % i)
        started = time.perf_counter()
        fd = os.open(path, os.O_CREAT | os.O_WRONLY | os.O_TRUNC, 0o600)
        created = time.perf_counter()
        os.write(fd, b"x" * 1024)
        os.fsync(fd)
        os.close(fd)
        dir_fd = os.open(folder, os.O_RDONLY | os.O_DIRECTORY)
        os.fsync(dir_fd)
        os.close(dir_fd)
        create += created - started
        sync += time.perf_counter() - created
    for i in range(rounds):
        os.unlink(os.path.join(folder, "sync-%d" % i))
    return create * 1000.0 / rounds, sync * 1000.0 / rounds


def peak_rss_kib(pid):
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1])
    return -1


def big_message(machine, server, mib):
    import smtpkit
    line = (b"x" * 998)[:76] + b"\r\n"
    block = line * (64 * 1024 // len(line))
    total = mib * 1024 * 1024
    before = peak_rss_kib(server.proc.pid)
    c = Client(server.smtp_port)
    c.reply()
    c.command(b"HELO bench.client\r\n", b"250")
    c.command(b"MAIL FROM:<bench@d1.test>\r\n", b"250")
    c.command(b"RCPT TO:<joe@d1.test>\r\n", b"250")
    c.command(b"DATA\r\n", b"354")
    started = time.time()
    sent = 0
    while sent < total:
        c.sock.sendall(block)
        sent += len(block)
    reply = c.command(b".\r\n", b"250 OK: Queued as: ")
    elapsed = time.time() - started
    c.command(b"QUIT\r\n", b"221")
    c.close()
    name = reply.decode().rsplit(" ", 1)[1] + ".eml"
    path = os.path.join(smtpkit.folder(machine, "joe"), name)
    deadline = time.time() + 300
    while not os.path.exists(path):
        if time.time() > deadline:
            raise RuntimeError("big message not delivered")
        time.sleep(0.01)
    return before, peak_rss_kib(server.proc.pid), sent, elapsed


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--bin-dir", default=os.environ.get("QP_BIN_DIR") or os.path.join(HERE, "..", "build"))
    parser.add_argument("--messages", type=int, default=5000)
    parser.add_argument("--big-mib", type=int, default=100)
    parser.add_argument("--log-level", type=int, default=0)
    args = parser.parse_args()
    os.environ["QP_BIN_DIR"] = os.path.abspath(args.bin_dir)
    import qptest
    import smtpkit
    qptest.BIN_DIR = os.environ["QP_BIN_DIR"]

    print("quillpost SMTP benchmark: %d messages of %d bytes, one per connection"
          % (args.messages, MESSAGE_SIZE))
    with qptest.Machine() as machine:
        smtpkit.configure(machine, ConnectionsLimit=64, LogLevel=args.log_level)
        print("  disk: %.2f ms to create a file, %.2f ms to sync it and its folder"
              % disk_latency_ms(machine.home))
        server = machine.start_console()
        server.wait_ready()
        client = load_client()
        for connections, mailbox in ((1, "joe"), (8, "ann")):
            last, boxed = run_load(machine, server, client, mailbox, connections, args.messages)
            print("  %d connection%s: %7.0f msg/s to the last 250 (%.2f s), %7.0f msg/s into the mailbox (%.2f s)"
                  % (connections, "" if connections == 1 else "s", args.messages / last, last,
                     args.messages / boxed, boxed))
        server.stop()

    with qptest.Machine() as machine:
        smtpkit.configure(machine, LogLevel=args.log_level)
        server = machine.start_console()
        server.wait_ready()
        before, peak, sent, elapsed = big_message(machine, server, args.big_mib)
        print("  one %d MiB message: peak RSS %.1f MB (%.1f MB before it), received in %.2f s"
              % (args.big_mib, peak / 1024.0, before / 1024.0, elapsed))
        server.stop()


if __name__ == "__main__":
    main()
