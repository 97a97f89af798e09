#!/usr/bin/env python3
"""Connection benchmark: 8 workers connect, read the greeting, send QUIT and
close, for 10 s, against a quillpost -d of its own on loopback. Reports
connections per second, and the server's thread count and memory before and
after (no thread or memory may be left behind).

    bench/conn_bench.py [--workers 8] [--seconds 10] [--protocol smtp|pop3]
Needs a build (QP_BIN_DIR or ./build) with quillpost, quillreg and qpload.
"""

import argparse
import os
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "e2e"))
import qptest  # noqa: E402


def proc_status(pid):
    fields = {}
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            key, _, value = line.partition(":")
            fields[key] = value.strip()
    return int(fields["Threads"]), int(fields["VmRSS"].split()[0]), int(fields["VmHWM"].split()[0])


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--workers", type=int, default=8)
    parser.add_argument("--seconds", type=int, default=10)
    parser.add_argument("--protocol", choices=("smtp", "pop3"), default="smtp")
    args = parser.parse_args()

    with qptest.Machine() as machine:
        machine.set_settings(ConnectionsLimit=1000)
        server = machine.start_console(log_level=0)
        server.wait_ready()
        time.sleep(0.5)
        pid = server.proc.pid
        before = proc_status(pid)
        port = server.smtp_port if args.protocol == "smtp" else server.pop3_port
        result = subprocess.run([qptest.binary("qpload"), "conn", str(port), str(args.workers), str(args.seconds)],
                                capture_output=True, text=True)
        time.sleep(1.0)  # connection threads finish their last notices
        after = proc_status(pid)
        server.stop()
    print(result.stdout.strip())
    print("RESULT server threads_before=%d threads_after=%d rss_before_kb=%d rss_after_kb=%d peak_rss_kb=%d"
          % (before[0], after[0], before[1], after[1], after[2]))
    return result.returncode


if __name__ == "__main__":
    sys.exit(main())
