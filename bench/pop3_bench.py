#!/usr/bin/env python3
"""POP3 benchmark of quillpost (loopback only, a temporary state root).

Scenarios:
  drain-1   one client fetches (RETR) and marks (DELE) every message of one
            mailbox, then QUITs (the server deletes the files); messages/s
            from the first command after login to the QUIT reply.
  drain-4   the same with 4 clients at once, each on a mailbox of its own.
  rss-100m  one client fetches a 100 MiB message; the server's peak resident
            memory (VmHWM) before and after.

The mailboxes are filled straight in the mail folder with messages of
--size bytes (default 4 KiB) named like local delivery names them. The load
client is bench/pop3_load.cpp (built by CMake as pop3_load, or compiled here
when missing).

  python3 bench/pop3_bench.py [--messages 2000] [--size 4096] [--runs 3]
                              [--log-level 0]
Binaries come from QP_BIN_DIR (default ./build).
"""

import argparse
import os
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
import uuid

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "e2e"))
import qptest  # noqa: E402

MAIL_FOLDER = "c:\\Mail\\"
PASSWORD = "pw"
USERS = ["u1", "u2", "u3", "u4"]
LARGE_SIZE = 100 * 1024 * 1024


def load_client(tmp):
    built = os.path.join(qptest.BIN_DIR, "pop3_load")
    if os.access(built, os.X_OK):
        return built
    target = os.path.join(tmp, "pop3_load")
    subprocess.run(["c++", "-std=c++20", "-O2", "-pthread", os.path.join(HERE, "pop3_load.cpp"),
                    "-o", target], check=True)
    return target


def message(size):
    head = b"From: bench@d1.test\r\nTo: user@d1.test\r\nSubject: benchmark\r\n\r\n"
    line = b"The quick brown fox jumps over the lazy dog 0123456789 %d\r\n"
    body = (line * (size // len(line) + 1))[:max(0, size - len(head) - 2)]
    return head + body + b"\r\n"


def fill(machine, user, count, data):
    folder = os.path.join(machine.native(MAIL_FOLDER), user)
    os.makedirs(folder, exist_ok=True)
    for _ in range(count):
        with open(os.path.join(folder, uuid.uuid4().hex.upper() + ".eml"), "wb") as f:
            f.write(data)
    return folder


def result(output):
    line = [l for l in output.splitlines() if l.startswith("RESULT ")]
    if not line:
        raise RuntimeError("no RESULT line: %r" % output)
    return dict(kv.split("=", 1) for kv in line[-1].split()[1:])


def run_client(client, *args):
    proc = subprocess.run([client] + [str(a) for a in args], capture_output=True, text=True,
                          timeout=600)
    if proc.returncode != 0:
        raise RuntimeError("pop3_load failed: %s %s" % (proc.stdout, proc.stderr))
    return result(proc.stdout)


def cpu_seconds(pid):
    """User and system time the process has used so far."""
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def peak_rss_kib(pid):
    with open("/proc/%d/status" % pid) as f:
        return int(re.search(r"VmHWM:\s+(\d+) kB", f.read()).group(1))


def start_server(machine, log_level):
    machine.set_settings(MailFolder=MAIL_FOLDER, LogLevel=log_level, ConnectionsLimit=100)
    machine.set_list("UserAccounts", "Users", [(u, u, PASSWORD) for u in USERS])
    server = machine.start_console()
    server.wait_ready()
    return server


def drain(machine, server, client, users, messages, data, runs):
    """Messages per second of each run, and the server's CPU time per message."""
    rates = []
    cpu = []
    for _ in range(runs):
        for user in users:
            fill(machine, user, messages, data)
        used = cpu_seconds(server.proc.pid)
        r = run_client(client, "drain", server.pop3_port, PASSWORD, *users)
        cpu.append((cpu_seconds(server.proc.pid) - used) / (messages * len(users)))
        if int(r["messages"]) != messages * len(users):
            raise RuntimeError("fetched %s of %d messages" % (r["messages"], messages * len(users)))
        for user in users:
            left = os.listdir(os.path.join(machine.native(MAIL_FOLDER), user))
            if left:
                raise RuntimeError("%d messages left in %s" % (len(left), user))
        rates.append(float(r["msg_per_s"]))
    return rates, cpu


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--messages", type=int, default=2000, help="messages per mailbox")
    parser.add_argument("--size", type=int, default=4096, help="bytes per message")
    parser.add_argument("--runs", type=int, default=3, help="runs of each drain scenario")
    parser.add_argument("--log-level", type=int, default=0, help="LogLevel of the server")
    args = parser.parse_args()

    tmp = tempfile.mkdtemp(prefix="qp-bench-")
    try:
        client = load_client(tmp)
        data = message(args.size)
        with qptest.Machine() as machine:
            server = start_server(machine, args.log_level)
            print("load average before: %s" % " ".join(open("/proc/loadavg").read().split()[:3]))
            for name, users in (("drain-1", USERS[:1]), ("drain-4", USERS)):
                rates, cpu = drain(machine, server, client, users, args.messages, data, args.runs)
                print("%s: clients=%d messages=%d size=%d runs=%s median_msg_per_s=%.0f"
                      " server_cpu_us_per_msg=%.0f"
                      % (name, len(users), args.messages * len(users), len(data),
                         " ".join("%.0f" % r for r in rates), statistics.median(rates),
                         statistics.median(cpu) * 1e6))
            server.stop()

        with qptest.Machine() as machine:
            server = start_server(machine, args.log_level)
            folder = os.path.join(machine.native(MAIL_FOLDER), USERS[0])
            os.makedirs(folder, exist_ok=True)
            with open(os.path.join(folder, "LARGE.eml"), "wb") as f:
                chunk = message(1 << 20)
                for _ in range(LARGE_SIZE // len(chunk)):
                    f.write(chunk)
                f.write(b"x" * (LARGE_SIZE % len(chunk)))
            before = peak_rss_kib(server.proc.pid)
            r = run_client(client, "fetch", server.pop3_port, USERS[0], PASSWORD, 1)
            after = peak_rss_kib(server.proc.pid)
            print("rss-100m: bytes=%s seconds=%s peak_rss_before_kib=%d peak_rss_after_kib=%d"
                  % (r["bytes"], r["seconds"], before, after))
            server.stop()
    finally:
        shutil.rmtree(tmp, ignore_errors=True)


if __name__ == "__main__":
    main()
