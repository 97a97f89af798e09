#!/usr/bin/env python3
"""Encryption benchmark against a quillpost -d of its own on loopback, with a
self-signed certificate made for the run (openssl req):

  handshakes   TLS handshakes per second on the implicit SMTP port, 8 workers
               (connect, handshake, greeting, close);
  messages     1 KiB messages per second over 8 connections into the
               mailbox, plain and with STARTTLS, side by side;
  idle         the server's memory (VmRSS, VmHWM) with 1000 idle sessions,
               plain and encrypted (handshake done, greeting read).

    bench/tls_bench.py [--workers 8] [--seconds 10] [--messages 2000] [--idle 1000] [--key rsa|ec]
Needs a build (QP_BIN_DIR or ./build) with quillpost and quillreg. The client
side is Python's ssl module and shares the machine's cores with the server.
"""

import argparse
import os
import resource
import smtplib
import socket
import ssl
import subprocess
import sys
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "e2e"))
import qptest  # noqa: E402
from conn_bench import proc_status  # noqa: E402

NO_CHECK = ssl._create_unverified_context()
BODY = b"Subject: bench\r\n\r\n" + (b"x" * 78 + b"\r\n") * 12 + b"y" * 26 + b"\r\n"  # 1 KiB


def proc_memory(pid):
    """VmRSS and VmHWM in KiB, and the thread count."""
    threads, rss, peak = proc_status(pid)
    return rss, peak, threads


def make_certificate(machine, key_type):
    folder = machine.native("c:\\tls")
    os.makedirs(folder, exist_ok=True)
    key = ["-newkey", "rsa:2048"] if key_type == "rsa" else ["-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256"]
    subprocess.run(["openssl", "req", "-x509", "-nodes", "-days", "2", "-subj", "/CN=bench.test"] + key
                   + ["-keyout", os.path.join(folder, "k.pem"), "-out", os.path.join(folder, "c.pem")],
                   check=True, capture_output=True)
    return "c:\\tls\\c.pem", "c:\\tls\\k.pem"


def start(machine, args):
    cert, key = make_certificate(machine, args.key)
    machine.set_settings(TlsCertificate=cert, TlsPrivateKey=key, SmtpsPort=qptest.free_port(),
                         ConnectionsLimit=args.idle * 2 + 100, Timeout=600, MailFolder="c:\\Mail\\",
                         AuthRemote=0)
    machine.set_list("Domains", "Extensions", ["bench.test"])
    machine.set_list("UserAccounts", "Users", [("bob", "Bob", "pw")])
    server = machine.start_console(log_level=0)
    server.wait_ready()
    server.wait_port(machine.settings["SmtpsPort"])
    return server


def handshakes(port, workers, seconds):
    count = [0] * workers
    end = time.monotonic() + seconds

    def work(i):
        while time.monotonic() < end:
            with socket.create_connection(("127.0.0.1", port), timeout=30) as raw:
                with NO_CHECK.wrap_socket(raw) as s:
                    s.recv(512)
            count[i] += 1
    threads = [threading.Thread(target=work, args=(i,)) for i in range(workers)]
    began = time.monotonic()
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    return sum(count) / (time.monotonic() - began)


def message_rate(machine, port, messages, starttls):
    mailbox = os.path.join(machine.native("c:\\Mail\\"), "bob")
    before = len(os.listdir(mailbox))
    per_connection = messages // 8

    def work():
        with smtplib.SMTP("127.0.0.1", port, local_hostname="bench.test", timeout=60) as c:
            if starttls:
                c.starttls(context=NO_CHECK)
            c.ehlo()
            for _ in range(per_connection):
                c.sendmail("a@bench.test", ["bob@bench.test"], BODY)
    threads = [threading.Thread(target=work) for _ in range(8)]
    began = time.monotonic()
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    replied = time.monotonic() - began
    while len(os.listdir(mailbox)) < before + per_connection * 8:
        time.sleep(0.01)
    stored = time.monotonic() - began
    return per_connection * 8 / replied, per_connection * 8 / stored


def idle_memory(server, port, count, encrypted):
    sessions = []
    try:
        for _ in range(count):
            s = socket.create_connection(("127.0.0.1", port), timeout=30)
            if encrypted:
                s = NO_CHECK.wrap_socket(s)
            s.recv(512)
            sessions.append(s)
        time.sleep(1.0)
        return proc_memory(server.proc.pid)
    finally:
        for s in sessions:
            s.close()


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--workers", type=int, default=8)
    parser.add_argument("--seconds", type=int, default=10)
    parser.add_argument("--messages", type=int, default=2000)
    parser.add_argument("--idle", type=int, default=1000)
    parser.add_argument("--key", choices=("rsa", "ec"), default="rsa")
    args = parser.parse_args()
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (max(soft, min(hard, args.idle * 2 + 256)), hard))

    with qptest.Machine() as machine:
        server = start(machine, args)
        smtps = machine.settings["SmtpsPort"]
        time.sleep(0.5)
        base = proc_memory(server.proc.pid)
        print("RESULT idle_start rss_kb=%d threads=%d" % (base[0], base[2]))
        for encrypted in (False, True):
            rss, peak, threads = idle_memory(server, smtps if encrypted else server.smtp_port, args.idle, encrypted)
            print("RESULT idle sessions=%d %s rss_kb=%d peak_rss_kb=%d threads=%d per_session_kb=%.1f"
                  % (args.idle, "tls" if encrypted else "plain", rss, peak, threads, (rss - base[0]) / args.idle))
            time.sleep(2.0)
        rate = handshakes(smtps, args.workers, args.seconds)
        print("RESULT handshakes key=%s workers=%d per_second=%.0f" % (args.key, args.workers, rate))
        for starttls in (False, True):
            replied, stored = message_rate(machine, server.smtp_port, args.messages, starttls)
            print("RESULT messages %s connections=8 size=1KiB replied_per_second=%.0f stored_per_second=%.0f"
                  % ("starttls" if starttls else "plain", replied, stored))
        server.stop()


if __name__ == "__main__":
    main()
