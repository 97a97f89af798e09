#!/usr/bin/env python3
"""Cost of messages that vanish from a large mailbox during a POP3 session
(a command, not a test; loopback only, a temporary state root).

One client logs in to a mailbox of --messages files, then half of the files
are deleted behind the session's back (another session, a user's shell).
Measured, as the server's CPU time (user + system) and the wall time:

  retr-present  --retrs RETRs of messages whose files are still there
  retr-vanished --retrs RETRs of messages whose files have gone
                (each answered "-ERR no such message")
  quit          DELE of every message, then QUIT: the time from QUIT to its
                reply, while the server deletes the files still there and
                logs the others as failed

  python3 bench/pop3_vanish_bench.py [--messages 20000] [--retrs 2000]
Binaries come from QP_BIN_DIR (default ./build).
"""

import argparse
import os
import socket
import sys
import time
import uuid

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "e2e"))
import qptest  # noqa: E402

MAIL_FOLDER = "c:\\Mail\\"
USER, PASSWORD = "bench", "pw"
MESSAGE = b"From: bench@d1.test\r\nSubject: vanish\r\n\r\n" + b"body line\r\n" * 30


def cpu_seconds(pid):
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


class Client:
    """Pipelined POP3 on a raw socket: send many lines, count the replies."""

    def __init__(self, port):
        self.sock = socket.create_connection(("127.0.0.1", port), timeout=600)
        self.buffer = b""
        self.line()

    def line(self):
        while b"\r\n" not in self.buffer:
            data = self.sock.recv(1 << 20)
            if not data:
                raise ConnectionError("closed")
            self.buffer += data
        line, self.buffer = self.buffer.split(b"\r\n", 1)
        return line

    def multiline(self):
        lines = []
        while True:
            line = self.line()
            if line == b".":
                return lines
            lines.append(line)

    def command(self, text):
        self.sock.sendall(text.encode() + b"\r\n")
        return self.line()

    def pipelined(self, commands, multiline_ok):
        """Sends every command at once; reads each reply; counts the +OKs."""
        self.sock.sendall(b"".join(c.encode() + b"\r\n" for c in commands))
        ok = 0
        for _ in commands:
            first = self.line()
            if first.startswith(b"+OK"):
                ok += 1
                if multiline_ok:
                    self.multiline()
        return ok


def measure(pid, label, work):
    cpu, wall = cpu_seconds(pid), time.monotonic()
    detail = work()
    print("RESULT %s: server_cpu_s=%.2f wall_s=%.2f %s"
          % (label, cpu_seconds(pid) - cpu, time.monotonic() - wall, detail))
    sys.stdout.flush()


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--messages", type=int, default=20000)
    parser.add_argument("--retrs", type=int, default=2000)
    args = parser.parse_args()

    with qptest.Machine() as machine:
        machine.set_settings(MailFolder=MAIL_FOLDER, LogLevel=0)
        machine.set_list("UserAccounts", "Users", [(USER, USER, PASSWORD)])
        folder = os.path.join(machine.native(MAIL_FOLDER), USER)
        os.makedirs(folder)
        for _ in range(args.messages):
            with open(os.path.join(folder, uuid.uuid4().hex.upper() + ".eml"), "wb") as f:
                f.write(MESSAGE)
        server = machine.start_console()
        server.wait_ready()
        pid = server.proc.pid
        try:
            client = Client(server.pop3_port)
            client.command("USER " + USER)
            assert client.command("PASS " + PASSWORD).startswith(b"+OK")
            client.sock.sendall(b"UIDL\r\n")
            assert client.line().startswith(b"+OK")
            ids = [line.split(b" ", 1)[1].decode() for line in client.multiline()]
            assert len(ids) == args.messages, len(ids)
            # Every other message vanishes: the listing order is the folder's.
            for number in range(2, len(ids) + 1, 2):
                os.unlink(os.path.join(folder, ids[number - 1] + ".eml"))
            present = [n for n in range(1, len(ids) + 1, 2)][:args.retrs]
            vanished = [n for n in range(2, len(ids) + 1, 2)][:args.retrs]
            print("mailbox: %d messages, %d vanished after login" % (len(ids), len(ids) // 2))

            measure(pid, "retr-present", lambda: "ok=%d of %d" % (
                client.pipelined(["RETR %d" % n for n in present], True), len(present)))
            measure(pid, "retr-vanished", lambda: "ok=%d of %d" % (
                client.pipelined(["RETR %d" % n for n in vanished], True), len(vanished)))
            marked = client.pipelined(["DELE %d" % n for n in range(1, len(ids) + 1)], False)
            assert marked == len(ids), marked

            def quit():
                reply = client.command("QUIT")
                return "reply=%s left=%d" % (reply.decode(), len(os.listdir(folder)))
            measure(pid, "quit", quit)
        finally:
            server.stop()


if __name__ == "__main__":
    main()
