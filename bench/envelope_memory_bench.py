#!/usr/bin/env python3
"""Memory of many envelopes at once (a command, not a test).

  python3 bench/envelope_memory_bench.py [--bin-dir BUILD] [--sessions 20] [--recipients 1000]

Runs the real service in console mode on a machine of its own (a temporary
QUILLPOST_HOME, loopback only, high ports). That many SMTP sessions each give
MAIL and then that many recipients of the longest path the server takes (all
in the local domain, pipelined), hold them until every session has them, then
QUIT. Reports the server's resident memory before, at the peak (VmHWM) and
two seconds after the last session ended.
"""

import argparse
import os
import socket
import sys
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "e2e"))


def memory_kb(pid):
    fields = {}
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            name, _, value = line.partition(":")
            fields[name] = value.strip()
    return int(fields["VmRSS"].split()[0]), int(fields["VmHWM"].split()[0])


def session(port, recipients, path_length, ready, go, errors):
    from smtpkit import Dialogue
    try:
        with Dialogue(port, timeout=120) as d:
            d.command("HELO bench")
            assert d.command("MAIL FROM:<bench@remote.test>") == "250 OK"
            domain = "@d1.test>"
            lines = []
            for i in range(recipients):
                user = "r%d-" % i
                user += "x" * (path_length - 1 - len(user) - len(domain))
                lines.append("RCPT TO:<%s%s\r\n" % (user, domain))
            d.send("".join(lines))
            for _ in range(recipients):
                reply = d.reply()
                assert reply == "250 OK", reply
            ready.release()
            go.wait()
            d.command("QUIT")
    except Exception as e:  # reported by the main thread
        errors.append(e)
        ready.release()


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--bin-dir", default=os.environ.get("QP_BIN_DIR") or os.path.join(HERE, "..", "build"))
    parser.add_argument("--sessions", type=int, default=20)
    parser.add_argument("--recipients", type=int, default=1000)
    parser.add_argument("--path-length", type=int, default=256)
    args = parser.parse_args()
    os.environ["QP_BIN_DIR"] = os.path.abspath(args.bin_dir)
    import qptest
    from smtpkit import start
    with qptest.Machine() as machine:
        # Room for every session from one address; level 1: the trace lines
        # of the recipients are not what is measured.
        server = start(machine, log_level=1, ConnectionsLimit=4 * args.sessions)
        time.sleep(0.5)
        pid = server.proc.pid
        before, _ = memory_kb(pid)
        ready = threading.Semaphore(0)
        go = threading.Event()
        errors = []
        threads = [threading.Thread(target=session, args=(server.smtp_port, args.recipients, args.path_length,
                                                           ready, go, errors))
                   for _ in range(args.sessions)]
        for t in threads:
            t.start()
        for _ in threads:
            ready.acquire()
        holding, _ = memory_kb(pid)
        go.set()
        for t in threads:
            t.join()
        if errors:
            print("ERROR %r" % errors[0])
        time.sleep(2)
        after, peak = memory_kb(pid)
        print("RESULT %d sessions x %d recipients of %d octets: rss_before_kb=%d rss_holding_kb=%d "
              "peak_rss_kb=%d rss_after_kb=%d"
              % (args.sessions, args.recipients, args.path_length, before, holding, peak, after))
        sys.stdout.flush()
        server.stop()


if __name__ == "__main__":
    main()
