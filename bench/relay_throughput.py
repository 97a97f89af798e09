#!/usr/bin/env python3
"""Relay throughput end to end: messages per second from the first SMTP
connection of the load client to the moment a receiver on loopback has
accepted the last of them (a command, not a test).

  python3 bench/relay_throughput.py [--bin-dir BUILD] [--messages 2000] [--clients 8]
                                    [--receiver 127.0.75.20] [--target HOST:PORT] [--postfix]

Starts the real quillpost on a machine of its own (a temporary
QUILLPOST_HOME, loopback only) with a pre-defined mail server for the domain
relay.test, the receiver's address, so that no name is looked up. The load
client (the peers' mailbench where it is built in /tmp, as for the figures
of the issues, else bench/smtp_load.cpp, which knows only quillpost's
replies) sends --messages messages of 1 KiB to
sink@relay.test over --clients connections at a time; the receiver, a
process of its own, accepts every message at once on port 25 (root) and
stamps the arrival of each.

--target HOST:PORT measures a server that is already running instead (it
must relay relay.test to the receiver). --postfix measures the Postfix on
127.0.0.1:2525 in the same sitting after quillpost: relay.test is pointed at
the receiver for the run (relay_domains, transport_maps, `postfix reload`)
and both settings are put back afterwards; nothing leaves the machine.
Prints one RESULT line per server and the ratio.
"""

import argparse
import asyncio
import multiprocessing
import os
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "e2e"))
sys.path.insert(0, HERE)

DOMAIN = "relay.test"
MESSAGE_SIZE = 1024
# A run that has not drained by then has lost mail or stalled.
DRAIN_LIMIT_S = 600


def run_receiver(ip, ready, count, last_at):
    """The receiver process: accepts everything on ip:25, counts the texts."""

    async def session(reader, writer):
        writer.write(b"220 sink.test ESMTP\r\n")
        try:
            while True:
                line = await reader.readline()
                if not line:
                    break
                verb = line[:4].upper()
                if verb == b"DATA":
                    writer.write(b"354 Go ahead\r\n")
                    while True:
                        text = await reader.readline()
                        if not text or text == b".\r\n":
                            break
                    with count.get_lock():
                        count.value += 1
                        last_at.value = time.time()
                    writer.write(b"250 OK\r\n")
                elif verb == b"QUIT":
                    writer.write(b"221 Bye\r\n")
                    await writer.drain()
                    break
                else:  # HELO, EHLO, MAIL, RCPT, RSET, NOOP
                    writer.write(b"250 OK\r\n")
                await writer.drain()
        except (ConnectionError, asyncio.IncompleteReadError):
            pass
        writer.close()

    async def serve():
        server = await asyncio.start_server(session, ip, 25, reuse_address=True, backlog=256)
        ready.set()
        async with server:
            await server.serve_forever()

    asyncio.run(serve())


class Receiver:
    def __init__(self, ip):
        self.count = multiprocessing.Value("l", 0)
        self.last_at = multiprocessing.Value("d", 0.0)
        ready = multiprocessing.Event()
        self.proc = multiprocessing.Process(target=run_receiver, args=(ip, ready, self.count, self.last_at),
                                            daemon=True)
        self.proc.start()
        if not ready.wait(10):
            raise SystemExit("the receiver did not start on %s:25" % ip)

    def wait(self, expected, what):
        """The time the expected'th message arrived."""
        deadline = time.time() + DRAIN_LIMIT_S
        while self.count.value < expected:
            if time.time() > deadline:
                raise SystemExit("%s: only %d of %d messages arrived" % (what, self.count.value, expected))
            time.sleep(0.005)
        return self.last_at.value

    def stop(self):
        self.proc.terminate()
        self.proc.join(5)


def run_load(client, port, messages, clients):
    """Sends the messages; returns the wall-clock start, the time of the
    last "250" and the count the server accepted. `client` is the peer
    tool mailbench (any server's replies) or smtp_load (quillpost's only)."""
    rcpt = "sink@" + DOMAIN
    mailbench = os.path.basename(client).startswith("mailbench")
    if mailbench:
        command = [client, "smtp", "-H", "127.0.0.1", "-p", str(port), "-n", str(messages), "-c", str(clients),
                   "-l", str(MESSAGE_SIZE), "-f", "bench@bench.test", "-t", rcpt]
    else:
        command = [client, str(port), str(clients), str(messages), rcpt, str(MESSAGE_SIZE)]
    start = time.time()
    done = subprocess.run(command, capture_output=True, text=True)
    if done.returncode != 0 or "RESULT" not in done.stdout:
        raise SystemExit("the load client failed: %s %s" % (done.stdout, done.stderr))
    fields = dict(f.split("=", 1) for f in done.stdout.split("RESULT", 1)[1].split() if "=" in f)
    if mailbench:
        return start, start + float(fields["accept_s"]), int(fields["ok"])
    return float(fields["start"]), float(fields["end"]), int(fields["sent"])


def measure(name, receiver, client, port, messages, clients):
    before = receiver.count.value
    start, accepted_end, sent = run_load(client, port, messages, clients)
    if sent != messages:
        raise SystemExit("%s: the load client sent %d of %d messages" % (name, sent, messages))
    last = receiver.wait(before + messages, name)
    seconds = last - start
    print("RESULT server=%s messages=%d clients=%d accept_msg_s=%.0f relay_msg_s=%.0f seconds=%.2f"
          % (name, messages, clients, messages / (accepted_end - start), messages / seconds, seconds), flush=True)
    return messages / seconds


def run_quillpost(args, receiver, client):
    from retry_bench import process_cpu
    import qptest
    import smtpkit
    with qptest.Machine() as machine:
        # mailbench-style clients come from one address: the per-address share
        # of the connection slots must hold them all.
        smtpkit.configure(machine, ConnectionsLimit=64, RelayMessages=1, AuthRemote=0, LogLevel=0,
                          DNSServer="127.0.75.53", RelayTimeout=30)
        machine.set_list("Relay", "MxRecords", ["%s|%s" % (DOMAIN, args.receiver)])
        server = machine.start_console()
        server.wait_ready()
        try:
            rate = measure("quillpost", receiver, client, server.smtp_port, args.messages, args.clients)
            cpu = process_cpu(server.proc.pid)
            print("  quillpost used %.2f s of CPU, %.2f ms per message" % (cpu, 1000 * cpu / args.messages))
            return rate
        finally:
            server.stop()


def postconf_value(name):
    """The value set in main.cf, or None when the default holds."""
    done = subprocess.run(["postconf", "-n", name], capture_output=True, text=True)
    line = done.stdout.strip()
    return line.split("=", 1)[1].strip() if line else None


def run_postfix(args, receiver, client):
    names = ("relay_domains", "transport_maps")
    saved = {name: postconf_value(name) for name in names}
    subprocess.run(["postconf", "-e", "relay_domains = " + DOMAIN,
                    "transport_maps = inline:{ %s=smtp:[%s]:25 }" % (DOMAIN, args.receiver)], check=True)
    subprocess.run(["postfix", "reload"], check=True, capture_output=True)
    try:
        time.sleep(1)  # the reloaded services pick up the new map
        return measure("postfix", receiver, client, 2525, args.messages, args.clients)
    finally:
        for name, value in saved.items():
            if value is None:
                subprocess.run(["postconf", "-X", name], check=True)
            else:
                subprocess.run(["postconf", "-e", "%s = %s" % (name, value)], check=True)
        subprocess.run(["postfix", "reload"], check=True, capture_output=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--bin-dir", default=os.environ.get("QP_BIN_DIR") or os.path.join(HERE, "..", "build"))
    parser.add_argument("--messages", type=int, default=2000)
    parser.add_argument("--clients", type=int, default=8)
    parser.add_argument("--receiver", default="127.0.75.20", help="the receiver's loopback address (port 25)")
    parser.add_argument("--target", help="HOST:PORT of a running server that relays %s to the receiver" % DOMAIN)
    parser.add_argument("--postfix", action="store_true", help="also measure Postfix on 127.0.0.1:2525")
    parser.add_argument("--client", default="/tmp/mailbench" if os.access("/tmp/mailbench", os.X_OK) else None,
                        help="the load client: mailbench (default, where built) or bench/smtp_load")
    args = parser.parse_args()
    if not args.receiver.startswith("127."):
        raise SystemExit("the receiver must be on loopback (127.0.0.0/8)")
    os.environ["QP_BIN_DIR"] = os.path.abspath(args.bin_dir)
    import qptest
    from smtp_bench import load_client
    qptest.BIN_DIR = os.environ["QP_BIN_DIR"]
    if os.geteuid() != 0:
        raise SystemExit("the receiver listens on port 25: run as root")

    client = args.client or load_client()
    receiver = Receiver(args.receiver)
    try:
        if args.target:
            host, port = args.target.rsplit(":", 1)
            if host not in ("127.0.0.1", "localhost"):
                raise SystemExit("the load client connects to 127.0.0.1 only")
            measure(args.target, receiver, client, int(port), args.messages, args.clients)
            return
        ours = run_quillpost(args, receiver, client)
        if args.postfix:
            theirs = run_postfix(args, receiver, client)
            print("RESULT ratio quillpost/postfix=%.2f" % (ours / theirs))
    finally:
        receiver.stop()


if __name__ == "__main__":
    main()
