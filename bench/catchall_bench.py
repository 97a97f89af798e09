#!/usr/bin/env python3
"""Delivery cost of mail for unknown users (a command, not a test).

  python3 bench/catchall_bench.py [--bin-dir BUILD] [--messages 10] [--recipients 1000]

Runs the real service in console mode on a machine of its own (a temporary
QUILLPOST_HOME, loopback only, high ports) and sends messages with 1,000
recipients each: once all for one known user, once all for unknown users of
the local domain (the catch-all account takes them). Reports the CPU time of
the server thread (the one that delivers) per message for both.
"""

import argparse
import os
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "e2e"))


def server_thread_cpu(pid):
    """Seconds of CPU the process's first thread (the server thread) used."""
    with open("/proc/%d/task/%d/stat" % (pid, pid)) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def send(port, recipients, messages):
    from smtpkit import Dialogue
    with Dialogue(port) as d:
        d.command("HELO bench")
        for _ in range(messages):
            assert d.command("MAIL FROM:<bench@remote.test>") == "250 OK"
            # Pipelined: the round trips are not what is measured.
            d.send("".join("RCPT TO:<%s>\r\n" % r for r in recipients))
            for _ in recipients:
                reply = d.reply()
                assert reply == "250 OK", reply
            assert d.command("DATA").startswith("354")
            reply = d.command("Subject: bench\r\n\r\nhello\r\n.")
            assert reply.startswith("250 OK: Queued"), reply


def run(machine, server, label, recipients, messages, mailbox):
    from smtpkit import files, wait_for
    before = server_thread_cpu(server.proc.pid)
    send(server.smtp_port, recipients, messages)
    wait_for(lambda: len(files(machine, mailbox)) >= messages and not files(machine, "drop"), 120,
             "delivery")
    cpu = server_thread_cpu(server.proc.pid) - before
    print("RESULT %s: %d messages x %d recipients, server thread CPU %.3f s per message"
          % (label, messages, len(recipients), cpu / messages))
    sys.stdout.flush()


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--bin-dir", default=os.environ.get("QP_BIN_DIR") or os.path.join(HERE, "..", "build"))
    parser.add_argument("--messages", type=int, default=10)
    parser.add_argument("--recipients", type=int, default=1000)
    args = parser.parse_args()
    os.environ["QP_BIN_DIR"] = os.path.abspath(args.bin_dir)
    import qptest
    from smtpkit import start
    with qptest.Machine() as machine:
        # Level 1: the trace lines (one per recipient) are not what is measured.
        server = start(machine, log_level=1)
        run(machine, server, "known user", ["joe@d1.test"] * args.recipients, args.messages, "joe")
        unknown = ["nobody%d@d1.test" % i for i in range(args.recipients)]
        run(machine, server, "unknown users (catch-all)", unknown, args.messages, "admin")
        server.stop()


if __name__ == "__main__":
    main()
