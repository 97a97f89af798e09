#!/usr/bin/env python3
"""Draining a queue through receivers that greylist (a command, not a test).

  python3 bench/retry_bench.py [--bin-dir BUILD] [--messages 1000] [--domains 10]

Writes the messages into the queue folder of a machine of its own (a
temporary QUILLPOST_HOME, loopback only), one recipient each, spread over the
domains; every domain has a receiver on port 25 of 127.0.69.x (root) that
answers the first RCPT of each recipient with 450 and accepts it the next
time. Starts the real service with RetryFor "1h" and RetrySchedule "1s" and
reports how long the queue took to drain (from the start to the last
acceptance, queue folder empty) and the CPU time the whole service used.
"""

import argparse
import os
import socketserver
import sys
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "e2e"))


class GreylistReceiver:
    """ip:25: 450 for a recipient's first RCPT, then 250; counts acceptances."""

    def __init__(self, ip):
        self.ip = ip
        self.seen = set()
        self.accepted = 0
        self.lock = threading.Lock()

    def start(self):
        receiver = self

        class Handler(socketserver.StreamRequestHandler):
            def reply(self, text):
                self.wfile.write(text.encode() + b"\r\n")

            def handle(self):
                try:
                    self.reply("220 bench.test")
                    while True:
                        line = self.rfile.readline(4096)
                        if not line:
                            return
                        verb = line[:4].upper()
                        if verb == b"RCPT":
                            with receiver.lock:
                                first = line not in receiver.seen
                                receiver.seen.add(line)
                            self.reply("450 4.7.1 Greylisted" if first else "250 OK")
                        elif verb == b"DATA":
                            self.reply("354 Go ahead")
                            while self.rfile.readline(1 << 20) not in (b".\r\n", b""):
                                pass
                            with receiver.lock:
                                receiver.accepted += 1
                            self.reply("250 OK")
                        elif verb == b"QUIT":
                            self.reply("221 Bye")
                            return
                        else:
                            self.reply("250 OK")
                except OSError:
                    pass

        class Server(socketserver.ThreadingTCPServer):
            allow_reuse_address = True
            daemon_threads = True

        self.server = Server((self.ip, 25), Handler)
        threading.Thread(target=self.server.serve_forever, daemon=True).start()
        return self

    def stop(self):
        self.server.shutdown()
        self.server.server_close()


def process_cpu(pid):
    """Seconds of CPU (user and system) the process used so far."""
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--bin-dir", default=os.environ.get("QP_BIN_DIR") or os.path.join(HERE, "..", "build"))
    parser.add_argument("--messages", type=int, default=1000)
    parser.add_argument("--domains", type=int, default=10)
    args = parser.parse_args()
    if os.geteuid() != 0:
        sys.exit("the receivers need root for port 25")
    os.environ["QP_BIN_DIR"] = os.path.abspath(args.bin_dir)
    import qptest

    receivers = [GreylistReceiver("127.0.69.%d" % (i + 1)).start() for i in range(args.domains)]
    try:
        with qptest.Machine() as machine:
            machine.set_settings(MailFolder="c:\\Mailboxes\\", RelayMessages=1, DNSServer="127.0.69.53",
                                 HostName="relay.bench.test", RetryFor="1h", RetrySchedule="1s")
            machine.set_list("Domains", "Extensions", ["local.test"])
            machine.set_list("Relay", "MxRecords",
                             ["d%d.test|127.0.69.%d" % (i, i + 1) for i in range(args.domains)])
            queue = machine.native("c:\\Mailboxes\\queue")
            os.makedirs(queue, exist_ok=True)
            for n in range(args.messages):
                with open(os.path.join(queue, "%032X.eml" % (n + 1)), "wb") as f:
                    f.write(b"x-sender: <bench@local.test>\r\nx-receiver: <u%d@d%d.test>\r\n"
                            b"Subject: bench %d\r\n\r\n%s\r\n" % (n, n % args.domains, n, b"x" * 1000))

            started = time.monotonic()
            server = machine.start_console(log_level=1)
            server.wait_ready()
            qptest.wait_until(lambda: sum(r.accepted for r in receivers) >= args.messages
                              and not [f for f in os.listdir(queue) if f.endswith(".eml")],
                              600, "the queue to drain")
            drained = time.monotonic() - started
            cpu = process_cpu(server.proc.pid)
            server.stop()
    finally:
        for receiver in receivers:
            receiver.stop()
    print("RESULT retry drain: %d messages to %d domains (450 once each, then 250): %.2f s, "
          "%.1f messages/s; service CPU %.2f s (%.2f ms per message)"
          % (args.messages, args.domains, drained, args.messages / drained, cpu, 1000 * cpu / args.messages))


if __name__ == "__main__":
    main()
