#!/usr/bin/env python3
"""Instructions the server spends per SMTP message (a command, not a test).

  python3 bench/smtp_cpu_bench.py [--bin-dir BUILD] [--messages 200]
                                  [--connections 1]

Runs the real quillpost under valgrind's callgrind on a machine of its own
(a temporary QUILLPOST_HOME, loopback only, high ports), zeroes the counts
once it is ready, sends --messages messages of 1 KiB with bench/smtp_load
(one per connection: greeting, HELO, MAIL, RCPT, DATA, text, QUIT) and
prints the instructions executed in user space by every thread of the
server, per message, with the functions that cost most (inclusive). Counts
of instructions do not follow the machine's load or the disk's latency as
times do, so runs at different hours compare; system time inside the kernel
is not counted. Needs valgrind (callgrind_control, callgrind_annotate).
"""

import argparse
import glob
import os
import shutil
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "e2e"))


def wrapped_bin_dir(build, out_folder):
    """A folder whose quillpost runs the real one under callgrind."""
    folder = tempfile.mkdtemp(prefix="qp-callgrind-")
    os.symlink(os.path.join(build, "quillreg"), os.path.join(folder, "quillreg"))
    script = os.path.join(folder, "quillpost")
    with open(script, "w") as f:
        f.write("#!/bin/sh\nexec valgrind --tool=callgrind --callgrind-out-file=%s/cg.out.%%p %s \"$@\"\n"
                % (out_folder, os.path.join(build, "quillpost")))
    os.chmod(script, 0o755)
    return folder


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--bin-dir", default=os.environ.get("QP_BIN_DIR") or os.path.join(HERE, "..", "build"))
    parser.add_argument("--messages", type=int, default=200)
    parser.add_argument("--connections", type=int, default=1)
    parser.add_argument("--top", type=int, default=25, help="functions listed")
    args = parser.parse_args()
    if not shutil.which("callgrind_control"):
        raise SystemExit("needs valgrind")
    build = os.path.abspath(args.bin_dir)
    out_folder = tempfile.mkdtemp(prefix="qp-callgrind-out-")
    bin_dir = wrapped_bin_dir(build, out_folder)
    os.environ["QP_BIN_DIR"] = bin_dir
    import qptest
    import smtpkit
    qptest.BIN_DIR = bin_dir
    try:
        with qptest.Machine() as machine:
            smtpkit.configure(machine, ConnectionsLimit=256, LogLevel=0)
            server = machine.start_console()
            server.wait_ready(timeout=60)
            time.sleep(1.0)  # the readiness probes' sessions end
            subprocess.run(["callgrind_control", "--zero", str(server.proc.pid)], check=True, capture_output=True)
            subprocess.run([os.path.join(build, "smtp_load"), str(server.smtp_port), str(args.connections),
                            str(args.messages), "joe@" + smtpkit.DOMAIN, "1024"], check=True)
            smtpkit.wait_for(lambda: len(smtpkit.files(machine, "joe")) >= args.messages, 60, "delivery")
            time.sleep(2.0)  # the sessions' threads end
            subprocess.run(["callgrind_control", "--dump", str(server.proc.pid)], check=True, capture_output=True)
            server.stop(timeout=60)
        dumps = [p for p in glob.glob(os.path.join(out_folder, "cg.out.*")) if p.endswith(".1")]
        if not dumps:
            raise SystemExit("callgrind wrote no dump")
        total = 0
        with open(dumps[0]) as f:
            for line in f:
                if line.startswith("summary:") or line.startswith("totals:"):
                    total = int(line.split()[1])
                    break
        print("RESULT messages=%d connections=%d instructions=%d per_message=%.0f"
              % (args.messages, args.connections, total, total / args.messages))
        report = subprocess.run(["callgrind_annotate", "--inclusive=yes", "--auto=no", dumps[0]],
                                capture_output=True, text=True).stdout.splitlines()
        # Recursive entries (thread starts) count their callees again: above
        # the total they mean nothing.
        rows = [l for l in report if l.strip() and l.lstrip()[0].isdigit() and "%)" in l
                and "PROGRAM TOTALS" not in l and int(l.split()[0].replace(",", "")) <= total]
        for line in rows[:args.top]:
            count = int(line.split()[0].replace(",", ""))
            name = line.split(":", 1)[1].split("[")[0].strip() if ":" in line else line
            print("  %9.0f  %s" % (count / args.messages, name[:150]))
    finally:
        shutil.rmtree(bin_dir, True)
        shutil.rmtree(out_folder, True)


if __name__ == "__main__":
    main()
