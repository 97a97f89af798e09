#!/usr/bin/env python3
"""Every speed scenario against quillpost and the peer servers, as one table
(a command, not a test).

  python3 bench/peer_table.py [--bin-dir BUILD] [--only NAME[,NAME...]]
                              [--runs 1] [--messages 5000] [--no-peers]
                              [--state-dir /var/tmp]

Scenarios (names for --only): accept, pop3, conn, relay, greeting, bigbox.

quillpost runs on a machine of its own (a temporary QUILLPOST_HOME in
--state-dir, high ports, loopback only). Files are deleted at the end of the
whole run, not between scenarios (see LEFT_FOR_THE_END). The peers are used where they are installed and
listening on loopback: Postfix SMTP 127.0.0.1:2525 (mailbox ~mb0/Maildir),
OpenSMTPD 2526, Dovecot POP3 2110 (users mb1..mb4, password "benchpw",
Maildir in ~mbN/Maildir). Every server is driven by the same load clients of
this folder (smtp_load, pop3_load, qpload), so the figures of one run
compare like with like; only figures of one sitting mean anything, as the
disk and the machine are shared.

  accept    1 KiB messages, one per connection, over 1 and 8 connections:
            messages/s to the last "250", and with 8 connections until all
            are in the mailbox folder. Where the peers' smtp-sink listens on
            2599 (peers.sh start sink), its figures are the ceiling: the
            load client and loopback with a server that stores nothing.
  pop3      2000 messages of 4 KiB per mailbox fetched (RETR) and deleted
            (DELE, QUIT) by 1 client and by 4 clients on 4 mailboxes.
  conn      connections/s with 8 workers (connect, greeting, QUIT, close).
  relay     2000 messages from 8 clients to a domain whose mail exchanger is
            a receiver on 127.0.63.21:25 that accepts at once (Postfix's
            smtp-sink), until the receiver has all of them; Postfix relays
            the same through a transport to the same receiver (its settings
            are restored afterwards). Needs root and smtp-sink.
  greeting  a well-behaved client's time to the greeting while 1000 slow
            senders hold sessions (bench/load_bench.py --only slow).
  bigbox    a mailbox of 100,000 messages: login to "+OK" with STAT, UIDL,
            one RETR, and the server's memory growth while the session is
            open. Dovecot gets the same mailbox in ~mb4/Maildir (its first
            login builds its index; the second is shown too).
"""

import argparse
import os
import pwd
import shutil
import socket
import stat
import statistics
import subprocess
import sys
import tempfile
import time
import uuid

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "e2e"))

SCENARIOS = ("accept", "pop3", "conn", "relay", "greeting", "bigbox")
POSTFIX_PORT, OPENSMTPD_PORT, DOVECOT_PORT, SINK_PORT = 2525, 2526, 2110, 2599
CEILING = "ceiling (smtp-sink)"
PEER_DOMAIN, PEER_PASSWORD = "bench.test", "benchpw"
POP3_USERS = ["mb1", "mb2", "mb3", "mb4"]
BIGBOX_USER = "mb4"
RECEIVER_IP = "127.0.63.21"
RELAY_DOMAIN = "remote.test"
OUR_DOMAIN = "d1.test"
MESSAGE_SIZE = 1024
POP3_MESSAGE_SIZE = 4096
SETTLE_LIMIT_S = 300


# --- helpers ---

# Clean-ups left for the end of the run: thousands of files deleted between
# two scenarios would slow the file creation of the next one on some file
# systems (ext4 without a journal passes over inodes freed in the last
# minutes at every new file), charging the bench's own clean-up to whichever
# server runs next.
LEFT_FOR_THE_END = []


def clean_up_at_the_end(action, *args):
    LEFT_FOR_THE_END.append((action, args))


def clean_up_now():
    while LEFT_FOR_THE_END:
        action, args = LEFT_FOR_THE_END.pop()
        action(*args)

def listening(port):
    try:
        with socket.create_connection(("127.0.0.1", port), timeout=1):
            return True
    except OSError:
        return False


def count_files(path):
    try:
        with os.scandir(path) as entries:
            return sum(1 for e in entries if e.is_file() and not e.name.startswith("."))
    except FileNotFoundError:
        return 0


def fresh_folder(path):
    """`path` made anew, empty, with its owner and mode, when it holds
    anything or has grown; the old one is set aside and deleted at the end.
    Emptying it instead would leave the next run a folder that stays as
    large as it ever was (a peer's Maildir/new after 100,000 messages, read
    whole at every listing) and charge it the deletions right before it."""
    try:
        st = os.stat(path)
        with os.scandir(path) as entries:
            holds = any(True for _ in entries)
    except FileNotFoundError:
        return
    if not holds and st.st_size <= 4096:
        return
    aside = "%s.old-%s" % (path, uuid.uuid4().hex[:8])
    os.rename(path, aside)
    os.mkdir(path)
    os.chmod(path, stat.S_IMODE(st.st_mode))
    os.chown(path, st.st_uid, st.st_gid)
    clean_up_at_the_end(shutil.rmtree, aside, True)


def wait_files(path, want, limit=SETTLE_LIMIT_S):
    """The wall-clock time at which `path` held `want` files (None when it
    did not within `limit` seconds)."""
    started = time.time()
    while count_files(path) < want:
        if time.time() - started > limit:
            return None
        # Each look lists thousands of files: more often would take the
        # CPU from the servers measured (10 ms is 0.5 % of a 2 s run).
        time.sleep(0.01)
    return time.time()


def result_fields(output):
    line = [l for l in output.splitlines() if l.startswith("RESULT")]
    if not line:
        raise RuntimeError("no RESULT line in %r" % output[-300:])
    return dict(f.split("=", 1) for f in line[-1].split()[1:])


def run_client(*args, timeout=900):
    proc = subprocess.run([str(a) for a in args], capture_output=True, text=True, timeout=timeout)
    if proc.returncode != 0:
        raise RuntimeError("%s failed: %s %s" % (os.path.basename(str(args[0])), proc.stdout[-300:],
                                                  proc.stderr[-300:]))
    return result_fields(proc.stdout)


def median(values):
    values = [v for v in values if v is not None]
    return statistics.median(values) if values else None


def maildir(user):
    return os.path.join(pwd.getpwnam(user).pw_dir, "Maildir")


def user_exists(user):
    try:
        pwd.getpwnam(user)
        return True
    except KeyError:
        return False


def rss_kib(pid):
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return 0


class Table:
    """Rows of (scenario, server) -> figure, printed with ratios to the peer."""

    def __init__(self):
        self.rows = []  # (label, unit, higher_is_better, reference peer, {server: value})

    def add(self, label, unit, higher_is_better, reference, values):
        self.rows.append((label, unit, higher_is_better, reference, values))
        shown = ", ".join("%s %s" % (k, fmt(v)) for k, v in values.items())
        print("  %s (%s): %s" % (label, unit, shown), flush=True)

    def print(self):
        servers = []
        for row in self.rows:
            for name in row[4]:
                if name not in servers:
                    servers.append(name)
        header = ["scenario"] + servers + ["ratio"]
        lines = []
        for label, unit, higher, reference, values in self.rows:
            ours, peer = values.get("quillpost"), values.get(reference)
            ratio = "-"
            if ours and peer:
                ratio = "%.2f x %s" % ((ours / peer) if higher else (peer / ours), reference)
            lines.append(["%s, %s" % (label, unit)] + [fmt(values.get(s)) for s in servers] + [ratio])
        widths = [max(len(r[i]) for r in lines + [header]) for i in range(len(header))]
        print()
        print("| " + " | ".join(h.ljust(w) for h, w in zip(header, widths)) + " |")
        print("|" + "|".join("-" * (w + 2) for w in widths) + "|")
        for r in lines:
            print("| " + " | ".join(c.ljust(w) for c, w in zip(r, widths)) + " |")
        print("\n(ratio: how many times better quillpost is than the peer named; for times and memory, "
              "the peer's figure over ours)")


def fmt(value):
    if value is None:
        return "-"
    if value >= 100:
        return "%.0f" % value
    if value >= 10:
        return "%.1f" % value
    return "%.3g" % value


# --- quillpost ---

class Ours:
    """A quillpost of its own with local accounts for every scenario."""

    def __init__(self, qptest, smtpkit, **settings):
        self.qptest, self.smtpkit = qptest, smtpkit
        self.machine = qptest.Machine()
        values = dict(ConnectionsLimit=256, LogLevel=0)
        values.update(settings)
        smtpkit.configure(self.machine, **values)
        accounts = list(smtpkit.ACCOUNTS) + [(u, u, PEER_PASSWORD) for u in POP3_USERS]
        self.machine.set_list("UserAccounts", "Users", accounts)
        self.server = None

    def start(self):
        self.server = self.machine.start_console()
        self.server.wait_ready()
        time.sleep(0.3)
        return self

    def folder(self, user):
        return self.smtpkit.folder(self.machine, user)

    def stop(self):
        if self.server:
            self.server.stop()
        clean_up_at_the_end(self.machine.cleanup)


# --- scenarios ---

def smtp_accept(smtp_load, port, connections, messages, rcpt, folder):
    """(accept msg/s, into-mailbox msg/s or None). What earlier runs left in
    the folder stays until the scenario ends: deleting thousands of files
    right before a run slows the creation of the next ones on some file
    systems (ext4 without a journal passes over inodes freed in the last
    minutes), which would charge the bench's own clean-up to the server."""
    before = count_files(folder) if folder else 0
    fields = run_client(smtp_load, port, connections, messages, rcpt, MESSAGE_SIZE)
    start, end = float(fields["start"]), float(fields["end"])
    boxed = None
    if folder:
        done = wait_files(folder, before + messages)
        if done is not None:
            boxed = messages / (max(done, end) - start)
    return messages / (end - start), boxed


def scenario_accept(args, tools, table, peers):
    targets = [("quillpost", None)]
    if peers.get("Postfix"):
        targets.append(("Postfix", (POSTFIX_PORT, "mb0@" + PEER_DOMAIN, os.path.join(maildir("mb0"), "new"))))
    if peers.get("OpenSMTPD"):
        targets.append(("OpenSMTPD", (OPENSMTPD_PORT, "mb0@" + PEER_DOMAIN, os.path.join(maildir("mb0"), "new"))))
    if peers.get(CEILING):
        # Stores nothing: no mailbox to wait for.
        targets.append((CEILING, (SINK_PORT, "mb0@" + PEER_DOMAIN, None)))
    figures = {}
    for name, peer in targets:
        ours = None
        if peer is None:
            ours = Ours(tools.qptest, tools.smtpkit).start()
            target = (ours.server.smtp_port, "joe@" + OUR_DOMAIN, ours.folder("joe"))
        else:
            target = peer
        try:
            if target[2]:
                fresh_folder(target[2])
            for connections in (1, 8):
                runs = [smtp_accept(tools.smtp_load, target[0], connections, args.messages, target[1], target[2])
                        for _ in range(args.runs)]
                figures[(name, connections, "accept")] = median(r[0] for r in runs)
                figures[(name, connections, "boxed")] = median(r[1] for r in runs)
        finally:
            if target[2]:
                clean_up_at_the_end(fresh_folder, target[2])
            if ours:
                ours.stop()
    names = [n for n, _ in targets]
    table.add("SMTP accept, 1 connection", "msg/s", True, "Postfix", {n: figures[(n, 1, "accept")] for n in names})
    table.add("SMTP accept, 8 connections", "msg/s", True, "Postfix", {n: figures[(n, 8, "accept")] for n in names})
    table.add("into the mailbox, 8 connections", "msg/s", True, "Postfix",
              {n: figures[(n, 8, "boxed")] for n in names})


def pop3_text(size, crlf):
    newline = "\r\n" if crlf else "\n"
    text = "From: bench@bench.test%sSubject: pop3 bench%s%s" % (newline, newline, newline)
    line = "x" * 70 + newline
    while len(text) + len(line) <= size:
        text += line
    return text.encode()


def fill_ours(folder, count, data):
    os.makedirs(folder, exist_ok=True)
    for _ in range(count):
        with open(os.path.join(folder, uuid.uuid4().hex.upper() + ".eml"), "wb") as f:
            f.write(data)


def fill_maildir(user, count, data):
    """Messages put straight into the user's Maildir/new, owned by the user."""
    entry = pwd.getpwnam(user)
    new = os.path.join(maildir(user), "new")
    for sub in ("new", "cur", "tmp"):
        os.makedirs(os.path.join(maildir(user), sub), exist_ok=True)
    stamp = int(time.time())
    for i in range(count):
        path = os.path.join(new, "%d.M%dP%d.bench,S=%d" % (stamp, i, os.getpid(), len(data)))
        with open(path, "wb") as f:
            f.write(data)
        os.chown(path, entry.pw_uid, entry.pw_gid)


def empty_maildir(user):
    for sub in ("new", "cur"):
        fresh_folder(os.path.join(maildir(user), sub))
    # Dovecot's index and its list of UIDs would otherwise outlive the files.
    for name in os.listdir(maildir(user)):
        if name.startswith("dovecot"):
            path = os.path.join(maildir(user), name)
            shutil.rmtree(path) if os.path.isdir(path) else os.unlink(path)


def scenario_pop3(args, tools, table, peers):
    count = args.pop3_messages
    figures = {}
    ours = Ours(tools.qptest, tools.smtpkit).start()
    try:
        for users in (POP3_USERS[:1], POP3_USERS):
            runs = []
            for _ in range(args.runs):
                for u in users:
                    fill_ours(ours.folder(u), count, pop3_text(POP3_MESSAGE_SIZE, True))
                runs.append(float(run_client(tools.pop3_load, "drain", ours.server.pop3_port, PEER_PASSWORD,
                                             *users)["msg_per_s"]))
            figures[("quillpost", len(users))] = median(runs)
    finally:
        ours.stop()
    if peers.get("Dovecot"):
        for users in (POP3_USERS[:1], POP3_USERS):
            runs = []
            for _ in range(args.runs):
                for u in users:
                    empty_maildir(u)
                    fill_maildir(u, count, pop3_text(POP3_MESSAGE_SIZE, False))
                subprocess.run(["sync"])
                runs.append(float(run_client(tools.pop3_load, "drain", DOVECOT_PORT, PEER_PASSWORD,
                                             *users)["msg_per_s"]))
            figures[("Dovecot", len(users))] = median(runs)
    for clients in (1, 4):
        table.add("POP3 RETR+DELE, %d client%s" % (clients, "" if clients == 1 else "s"), "msg/s", True, "Dovecot",
                  {k[0]: v for k, v in figures.items() if k[1] == clients})


def scenario_conn(args, tools, table, peers):
    values = {}
    ours = Ours(tools.qptest, tools.smtpkit, ConnectionsLimit=1000).start()
    try:
        values["quillpost"] = median(float(run_client(tools.qpload, "conn", ours.server.smtp_port, 8,
                                                      args.seconds)["conn_per_s"]) for _ in range(args.runs))
    finally:
        ours.stop()
    if peers.get("Postfix"):
        values["Postfix"] = median(float(run_client(tools.qpload, "conn", POSTFIX_PORT, 8,
                                                    args.seconds)["conn_per_s"]) for _ in range(args.runs))
    table.add("connections, 8 workers", "conn/s", True, "Postfix", values)


class Receiver:
    """Postfix's smtp-sink on RECEIVER_IP:25, each message dumped to a file
    of its own so that arrivals can be counted. The files go to memory
    (/dev/shm) where there is one: the receiver stands for a remote machine,
    and on this one's disk each file it makes would take CPU from the
    servers measured (ext4 without a journal passes over recently freed
    inodes at every new file)."""

    def __init__(self):
        self.folder = tempfile.mkdtemp(prefix="qp-sink-", dir="/dev/shm" if os.path.isdir("/dev/shm") else None)
        os.chmod(self.folder, 0o777)
        self.proc = subprocess.Popen(["smtp-sink", "-u", "nobody", "-d", os.path.join(self.folder, "m."),
                                      "%s:25" % RECEIVER_IP, "1024"],
                                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        deadline = time.monotonic() + 10
        while time.monotonic() < deadline:
            try:
                socket.create_connection((RECEIVER_IP, 25), timeout=1).close()
                return
            except OSError:
                time.sleep(0.05)
        raise RuntimeError("smtp-sink did not start on %s:25" % RECEIVER_IP)

    def count(self):
        return count_files(self.folder)

    def stop(self):
        self.proc.terminate()
        self.proc.wait(10)
        clean_up_at_the_end(shutil.rmtree, self.folder, True)


def relay_run(smtp_load, port, messages, receiver):
    before = receiver.count()
    started = time.time()
    fields = run_client(smtp_load, port, 8, messages, "sink@" + RELAY_DOMAIN, MESSAGE_SIZE)
    accepted = messages / (float(fields["end"]) - float(fields["start"]))
    done = wait_files(receiver.folder, before + messages)
    return (messages / (done - started) if done else None), accepted


class PostfixRelay:
    """Postfix relays RELAY_DOMAIN to the receiver while this lives; its
    earlier settings come back at the end."""

    NAMES = ("relay_domains", "transport_maps")

    def __enter__(self):
        self.saved = {}
        explicit = subprocess.run(["postconf", "-n"] + list(self.NAMES), capture_output=True, text=True).stdout
        for line in explicit.splitlines():
            name, _, value = line.partition(" = ")
            self.saved[name.strip()] = value
        subprocess.run(["postconf", "-e", "relay_domains = " + RELAY_DOMAIN,
                        "transport_maps = inline:{ %s=smtp:[%s]:25 }" % (RELAY_DOMAIN, RECEIVER_IP)], check=True)
        subprocess.run(["postfix", "reload"], capture_output=True, check=True)
        time.sleep(1)
        return self

    def __exit__(self, *exc):
        for name in self.NAMES:
            if name in self.saved:
                subprocess.run(["postconf", "-e", "%s = %s" % (name, self.saved[name])])
            else:
                subprocess.run(["postconf", "-X", name])
        subprocess.run(["postfix", "reload"], capture_output=True)
        return False


def scenario_relay(args, tools, table, peers):
    if os.geteuid() != 0 or not shutil.which("smtp-sink"):
        print("  relay: skipped (needs root and Postfix's smtp-sink)")
        return
    receiver = Receiver()
    values, accepting = {}, {}
    try:
        ours = Ours(tools.qptest, tools.smtpkit, RelayMessages=1, AuthRemote=0, DNSServer="127.0.63.53",
                    HostName="relay.local.test")
        ours.machine.set_list("Relay", "MxRecords", ["%s|%s" % (RELAY_DOMAIN, RECEIVER_IP)])
        ours.start()
        try:
            runs = [relay_run(tools.smtp_load, ours.server.smtp_port, args.relay_messages, receiver)
                    for _ in range(args.runs)]
            values["quillpost"] = median(r[0] for r in runs)
            accepting["quillpost"] = median(r[1] for r in runs)
        finally:
            ours.stop()
        if peers.get("Postfix"):
            with PostfixRelay():
                runs = [relay_run(tools.smtp_load, POSTFIX_PORT, args.relay_messages, receiver)
                        for _ in range(args.runs)]
            values["Postfix"] = median(r[0] for r in runs)
            accepting["Postfix"] = median(r[1] for r in runs)
    finally:
        receiver.stop()
    table.add("relay end to end, 8 clients", "msg/s", True, "Postfix", values)
    table.add("  (accepting meanwhile)", "msg/s", True, "Postfix", accepting)


def scenario_greeting(args, tools, table, peers):
    proc = subprocess.run([sys.executable, os.path.join(HERE, "load_bench.py"), "--only", "slow",
                           "--bin-dir", tools.bin_dir, "--slow", str(args.slow)],
                          capture_output=True, text=True, timeout=900)
    lines = proc.stdout.splitlines()
    figures = None
    for i, line in enumerate(lines):
        if "well-behaved client, under load" in line:
            greeting = lines[i + 1]
            p99 = float(greeting.split("p99 ")[1].split(" ms")[0])
            worst = float(greeting.split("worst ")[1].split(" ms")[0])
            figures = (p99, worst)
    if figures is None:
        print("  greeting: load_bench.py gave no figures:\n" + proc.stdout[-2000:] + proc.stderr[-2000:])
        return
    table.add("greeting p99, %d slow senders" % args.slow, "ms", False, "-", {"quillpost": figures[0]})
    table.add("greeting worst, %d slow senders" % args.slow, "ms", False, "-", {"quillpost": figures[1]})


def bigbox_session(pop3_load, port, user, pid_of_session):
    """(login+STAT s, UIDL s, memory growth MB) of one session on the big mailbox."""
    proc = subprocess.Popen([pop3_load, "bigbox", str(port), user, PEER_PASSWORD],
                            stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    line = proc.stdout.readline()
    growth = pid_of_session()
    proc.stdin.write("\n")
    proc.stdin.flush()
    proc.wait(120)
    fields = result_fields(line)
    if fields.get("ok") != "1":
        raise RuntimeError("bigbox session failed: %s" % line)
    return float(fields["login_stat_s"]), float(fields["uidl_s"]), growth


def dovecot_session_rss_mb(user):
    """Resident memory of the user's Dovecot POP3 process (a new one per session)."""
    uid = pwd.getpwnam(user).pw_uid
    best = 0
    for pid in os.listdir("/proc"):
        if not pid.isdigit():
            continue
        try:
            with open("/proc/%s/cmdline" % pid, "rb") as f:
                cmd = f.read()
            if b"pop3" not in cmd or os.stat("/proc/" + pid).st_uid != uid:
                continue
            best = max(best, rss_kib(int(pid)))
        except OSError:
            continue
    return best / 1024.0


def scenario_bigbox(args, tools, table, peers):
    count = args.bigbox_messages
    data = pop3_text(POP3_MESSAGE_SIZE, True)
    values = {}
    ours = Ours(tools.qptest, tools.smtpkit).start()
    try:
        fill_ours(ours.folder(BIGBOX_USER), count, data)
        pid = ours.server.proc.pid
        before = rss_kib(pid)
        values["quillpost"] = bigbox_session(tools.pop3_load, ours.server.pop3_port, BIGBOX_USER,
                                             lambda: (rss_kib(pid) - before) / 1024.0)
    finally:
        ours.stop()
    if peers.get("Dovecot"):
        empty_maildir(BIGBOX_USER)
        fill_maildir(BIGBOX_USER, count, pop3_text(POP3_MESSAGE_SIZE, False))
        subprocess.run(["sync"])
        try:
            values["Dovecot"] = bigbox_session(tools.pop3_load, DOVECOT_PORT, BIGBOX_USER,
                                               lambda: dovecot_session_rss_mb(BIGBOX_USER))
            values["Dovecot, 2nd login"] = bigbox_session(tools.pop3_load, DOVECOT_PORT, BIGBOX_USER,
                                                          lambda: dovecot_session_rss_mb(BIGBOX_USER))
        finally:
            empty_maildir(BIGBOX_USER)
    label = "%d-message mailbox" % count
    table.add(label + ": login+STAT", "s", False, "Dovecot", {k: v[0] for k, v in values.items()})
    table.add(label + ": UIDL", "s", False, "Dovecot", {k: v[1] for k, v in values.items()})
    table.add(label + ": server memory growth", "MB", False, "Dovecot", {k: v[2] for k, v in values.items()})


# --- main ---

class Tools:
    def __init__(self, bin_dir):
        import qptest
        import smtpkit
        self.bin_dir = bin_dir
        self.qptest, self.smtpkit = qptest, smtpkit
        self.smtp_load = qptest.binary("smtp_load")
        self.pop3_load = qptest.binary("pop3_load")
        self.qpload = qptest.binary("qpload")


def find_peers(use):
    found = {}
    if use:
        found["Postfix"] = listening(POSTFIX_PORT) and user_exists("mb0")
        found["OpenSMTPD"] = listening(OPENSMTPD_PORT) and user_exists("mb0")
        found[CEILING] = listening(SINK_PORT)
        found["Dovecot"] = listening(DOVECOT_PORT) and all(user_exists(u) for u in POP3_USERS)
    return found


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--bin-dir", default=os.environ.get("QP_BIN_DIR") or os.path.join(HERE, "..", "build"))
    parser.add_argument("--only", default=",".join(SCENARIOS), help="comma-separated: " + ", ".join(SCENARIOS))
    parser.add_argument("--runs", type=int, default=1, help="repetitions of each figure (the median is shown)")
    parser.add_argument("--messages", type=int, default=5000, help="messages of the accept scenario")
    parser.add_argument("--pop3-messages", type=int, default=2000, help="messages per mailbox of the pop3 scenario")
    parser.add_argument("--relay-messages", type=int, default=2000)
    parser.add_argument("--bigbox-messages", type=int, default=100000)
    parser.add_argument("--slow", type=int, default=1000, help="slow senders of the greeting scenario")
    parser.add_argument("--seconds", type=int, default=10, help="length of the connection scenario")
    parser.add_argument("--no-peers", action="store_true", help="quillpost alone")
    parser.add_argument("--state-dir", default="/var/tmp",
                        help="where quillpost's state roots go: like the peers' spools under /var, not in /tmp, "
                             "where test runs create and delete thousands of files (see LEFT_FOR_THE_END)")
    args = parser.parse_args()
    chosen = [s.strip() for s in args.only.split(",") if s.strip()]
    unknown = [s for s in chosen if s not in SCENARIOS]
    if unknown:
        parser.error("unknown scenario %s" % ", ".join(unknown))
    os.environ["QP_BIN_DIR"] = os.path.abspath(args.bin_dir)
    tempfile.tempdir = args.state_dir
    import qptest
    qptest.BIN_DIR = os.environ["QP_BIN_DIR"]
    tools = Tools(os.environ["QP_BIN_DIR"])
    peers = find_peers(not args.no_peers)
    print("peers: %s; load average %s" % (", ".join(k for k, v in peers.items() if v) or "none",
                                          open("/proc/loadavg").read().split(" ", 3)[:3]), flush=True)
    table = Table()
    try:
        for name in chosen:
            globals()["scenario_" + name](args, tools, table, peers)
    finally:
        clean_up_now()
    table.print()
    return 0


if __name__ == "__main__":
    sys.exit(main())
