"""The order of the real quillpost's system calls that makes accepted mail
durable, recorded with strace while several clients send at once:

  - every "250 OK: Queued as: <id>" is sent only after syncs that started
    after the spool file drop/<id>.eml was put into place (renamed from its
    temporary name, or linked by its descriptor when it was made without a
    name; its data written before, by the same thread) and ended before the
    reply went out: of the file itself and of the drop folder, or of the
    whole file system;
  - every spool file is removed only after syncs that started after all its
    copies (links into the mailboxes) were made and ended before the
    removal: of every folder that got a copy, or of the whole file system.

The trace is read by time: strace stamps each call with its start (-ttt)
and its duration (-T), and a call that another thread's output interrupts
is stitched together from its "unfinished" and "resumed" halves; -y names
the file or folder behind each synced descriptor."""

import os
import re
import signal
import smtplib
import subprocess
import sys
import threading

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import qptest  # noqa: E402
from smtpkit import CLIENT_NAME, QUEUED, configure, files, wait_for  # noqa: E402

SENDERS = 4
MESSAGES_PER_SENDER = 5
TRACED = "rename,renameat,renameat2,link,linkat,unlink,unlinkat,fsync,fdatasync,syncfs,sendto,write"
CALL = re.compile(r"^(\d+) +(\d+\.\d+) (\w+)\((.*)\) += (-?\d+)[^<]*<(\d+\.\d+)>$")
UNFINISHED = re.compile(r"^(\d+) +(\d+\.\d+) (\w+)\((.*) <unfinished \.\.\.>$")
RESUMED = re.compile(r"^(\d+) +\d+\.\d+ <\.\.\. (\w+) resumed>(.*)\) += (-?\d+)[^<]*<(\d+\.\d+)>$")
QUOTED = re.compile(r'"((?:[^"\\]|\\.)*)"')
# A quoted name and the folder descriptor before it, if any ("20</m/drop>, ").
AT_FOLDER = re.compile(r'(?:\d+<([^>]*)>, )?"((?:[^"\\]|\\.)*)"')
RELATIVE_NAMES = ("linkat", "renameat", "renameat2", "unlinkat")
SPOOL_NAME = re.compile(r"/drop/([0-9A-F]{32})\.eml$")
SYNCED_PATH = re.compile(r"^\d+<(.*)>")
FIRST_FD_PATH = re.compile(r"^\d+<([^>]*)>")
REPLY = re.compile(r"250 OK: Queued as: ([0-9A-F]{32})")


class Call:
    def __init__(self, name, args, start, duration, result):
        self.name = name
        self.args = args
        self.start = start
        self.end = start + duration
        self.result = result

    def paths(self):
        """The quoted texts among the arguments (paths, sent bytes); a name
        given relative to an open folder (linkat, renameat, unlinkat with a
        folder descriptor) as the whole path it stands for."""
        if self.name not in RELATIVE_NAMES:
            return QUOTED.findall(self.args)
        paths = []
        for folder, name in AT_FOLDER.findall(self.args):
            relative = folder.startswith("/") and name and not name.startswith("/")
            paths.append(folder.rstrip("/") + "/" + name if relative else name)
        return paths


def read_trace(path):
    """Every completed call of the trace, its start and end in seconds."""
    calls = []
    pending = {}
    with open(path, encoding="utf-8", errors="replace") as f:
        for line in f:
            line = line.rstrip("\n")
            done = CALL.match(line)
            if done:
                _, start, name, args, result, duration = done.groups()
                calls.append(Call(name, args, float(start), float(duration), int(result)))
                continue
            begun = UNFINISHED.match(line)
            if begun:
                pid, start, name, args = begun.groups()
                pending[(pid, name)] = (float(start), args)
                continue
            resumed = RESUMED.match(line)
            if resumed and (resumed.group(1), resumed.group(2)) in pending:
                pid, name, rest, result, duration = resumed.groups()
                start, args = pending.pop((pid, name))
                calls.append(Call(name, args + rest, start, float(duration), int(result)))
    return calls


def synced_path(call):
    """The file or folder a successful fsync or fdatasync synced; "" for a
    file system sync; None for anything else."""
    if call.result != 0:
        return None
    if call.name == "syncfs":
        return ""
    if call.name in ("fsync", "fdatasync"):
        found = SYNCED_PATH.match(call.args)
        return found.group(1) if found else None
    return None


def order_faults(calls):
    """What in the trace breaks the durability order; empty when nothing."""
    syncs = [(c, synced_path(c)) for c in calls if synced_path(c) is not None]
    placed = {}    # queue id -> (end of the rename or link, spool file path, path its syncs show)
    linked = {}    # queue id -> (end of its last copy, folders of its copies)
    removed = {}   # queue id -> start of the spool file's removal
    replied = {}   # queue id -> start of the "250" reply
    for c in calls:
        if c.result < 0:
            continue
        paths = c.paths()
        placing = paths and SPOOL_NAME.search(paths[-1])
        if placing and c.name.startswith("rename"):
            placed[placing.group(1)] = (c.end, paths[-1], paths[-1])
        elif placing and c.name.startswith("link") and not SPOOL_NAME.search(paths[0]):
            # An unnamed file linked by its descriptor: its syncs show the
            # descriptor's path, not the new name.
            fd_path = FIRST_FD_PATH.match(c.args)
            placed[placing.group(1)] = (c.end, paths[-1], fd_path.group(1) if fd_path else None)
        elif c.name.startswith("link") and len(paths) > 1:
            found = SPOOL_NAME.search(paths[0])
            if found:
                end, folders = linked.get(found.group(1), (0, set()))
                linked[found.group(1)] = (max(end, c.end), folders | {os.path.dirname(paths[1])})
        elif c.name.startswith("unlink") and paths:
            found = SPOOL_NAME.search(paths[-1])
            if found:
                removed[found.group(1)] = c.start
        elif c.name in ("sendto", "write") and paths:
            found = REPLY.match(paths[0])
            if found:
                replied[found.group(1)] = c.start

    def covered(after, before, paths):
        """Synced between the two times: the whole file system, or each path."""
        inside = [p for c, p in syncs if c.start >= after and c.end <= before]
        return "" in inside or all(p in inside for p in paths)

    faults = []
    for queue_id, sent in replied.items():
        if queue_id not in placed:
            faults.append("%s answered without a rename or link into the drop folder" % queue_id)
            continue
        end, path, synced_as = placed[queue_id]
        if not covered(end, sent, [synced_as, os.path.dirname(path)]):
            faults.append("%s answered without the syncs of its file and folder between its placing and the "
                          "reply" % queue_id)
    for queue_id, gone in removed.items():
        if queue_id not in linked:
            faults.append("%s removed without a copy" % queue_id)
            continue
        end, folders = linked[queue_id]
        if not covered(end, gone, sorted(folders)):
            faults.append("%s removed without the syncs of its copies' folders between the copies and the "
                          "removal" % queue_id)
    return faults, replied, removed


def tracee_pid(strace_pid):
    """The traced quillpost: the strace process's child once it runs the
    program (strace first forks short-lived children of its own, to try
    what the kernel's tracing offers)."""
    program = os.path.realpath(qptest.binary("quillpost"))

    def child():
        try:
            with open("/proc/%d/task/%d/children" % (strace_pid, strace_pid)) as f:
                found = f.read().split()
        except OSError:
            return None
        for pid in found:
            try:
                if os.readlink("/proc/%s/exe" % pid) == program:
                    return int(pid)
            except OSError:
                continue
        return None
    return wait_for(child, 10, "the traced server")


class DurabilityOrderTest(qptest.MachineTestCase):
    def test_replies_and_removals_follow_the_syncs_that_cover_them(self):
        m = self.machine
        configure(m, LogLevel=0, ConnectionsLimit=50)
        pop3, smtp = m.prepare_server()
        trace = os.path.join(m.home, "trace.txt")
        # The leak check of a sanitizer build cannot run under ptrace: it would
        # report its own failure at exit, not a leak.
        env = dict(m.env)
        env["ASAN_OPTIONS"] = env.get("ASAN_OPTIONS", "") + ":detect_leaks=0"
        proc = subprocess.Popen(
            ["strace", "-f", "-qq", "-ttt", "-T", "-y", "-s", "120", "-e", "signal=none",
             "-e", "trace=" + TRACED, "-o", trace, qptest.binary("quillpost"), "-d"],
            env=env, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        server = qptest.Server(m, proc, pop3, smtp)
        m._servers.append(server)
        traced = tracee_pid(proc.pid)
        # Killing strace would leave the server running, holding the output pipe.
        self.addCleanup(lambda: qptest.process_alive(traced) and os.kill(traced, signal.SIGKILL))
        server.wait_ready(timeout=30)

        acknowledged = []
        lock = threading.Lock()
        errors = []

        def send(number):
            try:
                client = smtplib.SMTP("127.0.0.1", smtp, local_hostname=CLIENT_NAME, timeout=30)
                client.ehlo()
                for i in range(MESSAGES_PER_SENDER):
                    # Some messages go to two mailboxes: two copies, one removal.
                    recipients = ["joe@d1.test"] + (["ann@d1.test"] if i % 2 else [])
                    message = "Subject: order %d-%d\r\n\r\nbody %d\r\n" % (number, i, i)
                    client.mail("a@d1.test")
                    for r in recipients:
                        client.rcpt(r)
                    code, reply = client.data(message)
                    found = QUEUED.match("250 " + reply.decode("latin-1"))
                    if code != 250 or not found:
                        raise AssertionError("DATA answered %d %r" % (code, reply))
                    with lock:
                        acknowledged.append(found.group(1))
                client.quit()
            except Exception as e:  # reported below
                errors.append(e)

        senders = [threading.Thread(target=send, args=(n,)) for n in range(SENDERS)]
        for s in senders:
            s.start()
        for s in senders:
            s.join(120)
        self.assertEqual(errors, [])
        self.assertEqual(len(acknowledged), SENDERS * MESSAGES_PER_SENDER)
        wait_for(lambda: not files(m, "drop"), 30, "the drop folder to empty")

        os.kill(traced, signal.SIGINT)
        # Ctrl+C ends quillpost -d with 1; strace passes its status on.
        self.assertEqual(proc.wait(60), 1, server.output())

        faults, replied, removed = order_faults(read_trace(trace))
        self.assertEqual(faults, [])
        # The trace saw every reply and every removal it judged.
        self.assertEqual(sorted(replied), sorted(acknowledged))
        self.assertEqual(sorted(removed), sorted(acknowledged))


if __name__ == "__main__":
    qptest.main()
