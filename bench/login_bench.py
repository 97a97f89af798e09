#!/usr/bin/env python3
"""Password guessing rate over POP3 (a command, not a test).

  python3 bench/login_bench.py [--bin-dir BUILD] [--guesses 20000] [--seconds 30] [--connections 5]

Runs the real service in console mode on a machine of its own (a temporary
QUILLPOST_HOME, loopback only, high ports).

  per connection: one connection sends USER and then all the PASS guesses in
  one packet, and reads the answers until the server closes or the time is
  up;
  per address: that many connections from one address at once, each opened
  again when the server closes it, sending one guess at a time for that
  long. Of the answers, only those before the address was locked out (the
  Error line of the trace log) can have checked a password.

Prints guesses answered per second for both.
"""

import argparse
import os
import socket
import sys
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "e2e"))


class Conn:
    def __init__(self, port):
        self.sock = socket.create_connection(("127.0.0.1", port), timeout=30, source_address=("127.0.0.1", 0))
        self.buffer = b""
        self.line()

    def line(self):
        while b"\r\n" not in self.buffer:
            try:
                data = self.sock.recv(65536)
            except (ConnectionResetError, socket.timeout):
                return None
            if not data:
                return None
            self.buffer += data
        line, self.buffer = self.buffer.split(b"\r\n", 1)
        return line

    def send(self, data):
        try:
            self.sock.sendall(data)
        except OSError:
            pass


def per_connection(port, guesses, seconds):
    c = Conn(port)
    c.send(b"USER joe\r\n")
    c.line()
    c.sock.settimeout(seconds)
    start = time.monotonic()
    sender = threading.Thread(target=c.send, args=(b"".join(b"PASS guess%d\r\n" % i for i in range(guesses)),),
                              daemon=True)
    sender.start()
    answered = 0
    while time.monotonic() - start < seconds:
        line = c.line()
        if line is None:
            break
        answered += 1
        if answered == guesses:
            break
    elapsed = time.monotonic() - start
    c.sock.close()
    return answered, elapsed


def per_address(port, connections, seconds):
    end = time.monotonic() + seconds
    counts = []
    lock = threading.Lock()

    def worker():
        answered = 0
        while time.monotonic() < end:
            c = Conn(port)
            c.send(b"USER joe\r\n")
            c.line()
            while time.monotonic() < end:
                c.send(b"PASS guess\r\n")
                c.sock.settimeout(max(0.1, end - time.monotonic()))
                line = c.line()
                if line is None or not line.startswith(b"-ERR login failed"):
                    if line is not None:
                        answered += 1
                    break
                answered += 1
            c.sock.close()
        with lock:
            counts.append(answered)

    threads = [threading.Thread(target=worker) for _ in range(connections)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    return sum(counts)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--bin-dir", default=os.environ.get("QP_BIN_DIR") or os.path.join(HERE, "..", "build"))
    parser.add_argument("--guesses", type=int, default=20000)
    parser.add_argument("--seconds", type=float, default=30)
    parser.add_argument("--connections", type=int, default=5)
    args = parser.parse_args()
    os.environ["QP_BIN_DIR"] = os.path.abspath(args.bin_dir)
    import qptest
    from smtpkit import start
    with qptest.Machine() as machine:
        server = start(machine, log_level=1)
        answered, elapsed = per_connection(server.pop3_port, args.guesses, args.seconds)
        print("RESULT per connection: %d of %d pipelined guesses answered in %.2f s: %.1f guesses/s"
              % (answered, args.guesses, elapsed, answered / elapsed))
        sys.stdout.flush()
        server.stop()
    with qptest.Machine() as machine:
        server = start(machine, log_level=1)
        start_time = time.monotonic()
        answered = per_address(server.pop3_port, args.connections, args.seconds)
        locked = "failed logins within" in server.read_log()
        print("RESULT per address: %d guesses answered over %d connections in %.0f s: %.1f guesses/s%s"
              % (answered, args.connections, args.seconds, answered / (time.monotonic() - start_time),
                 " (locked out after 21; later answers checked no password)" if locked else ""))
        sys.stdout.flush()
        server.stop()


if __name__ == "__main__":
    main()
