"""Crash safety of the mail store against the real quillpost -d: the server is
killed with SIGKILL at random moments while several clients send mail, and
started again, hundreds of times. After every restart (leftover spool files
are delivered before the listeners accept anyone):

  - every message answered "250 OK: Queued as: <id>" is in the mailbox
    folder exactly once, under "<id>.eml";
  - no message is there twice (messages that were not answered may or may
    not be there, never in two files);
  - every file of the mailbox folder is one complete message (its body
    digest checks), and so is every message POP3 hands out;
  - the drop folder is empty.

While mail flows, the mailbox folder is read as well: a file that appears
there is whole from the first moment.

Each message carries a unique tag in its Subject and Message-ID, and a
digest of its body in a header, so a truncated or mixed file is caught.
About one kill in ten lands while the server starts, when it may be
delivering spool files that the kill before left in the drop folder.
The run's size can be changed with QP_CRASH_KILLS (default 200)."""

import hashlib
import os
import poplib
import random
import re
import smtplib
import sys
import threading
import time
import traceback

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import qptest  # noqa: E402
from smtpkit import CLIENT_NAME, configure, files, folder  # noqa: E402

KILLS = int(os.environ.get("QP_CRASH_KILLS", "200"))
SENDERS = 4
RUN_MS = (10, 200)           # the server lives this long with senders active
START_KILL_SHARE = 0.1       # share of kills while the server starts
START_KILL_MS = 60
PARK_TIMEOUT = 15            # seconds for every sender to notice a kill
TAG_HEADER = re.compile(rb"^Subject: crash (\S+)\r$", re.M)
DIGEST_HEADER = re.compile(rb"^X-Body-Digest: ([0-9a-f]{64})\r$", re.M)
QUEUED = re.compile(r"OK: Queued as: ([0-9A-F]{32})$")


def make_message(tag, rng):
    lines = ["%s line %d %s" % (tag, i, "x" * rng.randrange(0, 300)) for i in range(rng.randrange(1, 200))]
    body = ("\r\n".join(lines) + "\r\nEND " + tag).encode()
    head = ("Subject: crash %s\r\nMessage-ID: <%s@crash.test>\r\nX-Body-Digest: %s\r\n"
            % (tag, tag, hashlib.sha256(body).hexdigest())).encode()
    return head + b"\r\n" + body + b"\r\n"


def expect_ok(step, answer):
    if answer[0] != 250:
        raise AssertionError("%s answered %d %r" % (step, answer[0], answer[1]))


def check_complete(text, where):
    """The tag of one stored message; AssertionError when it is not whole."""
    tag = TAG_HEADER.search(text)
    digest = DIGEST_HEADER.search(text)
    head_end = text.find(b"\r\n\r\n")
    if not tag or not digest or head_end < 0:
        raise AssertionError("%s is not a complete message: %r" % (where, text[-200:]))
    body = text[head_end + 4:].rstrip(b"\r\n")
    if hashlib.sha256(body).hexdigest().encode() != digest.group(1):
        raise AssertionError("%s: body does not match its digest (%d bytes, ends %r)"
                             % (where, len(body), body[-80:]))
    return tag.group(1).decode()


class Gate:
    """Opens and closes the senders' way to the server. After close(), a
    sender parks once its message in flight has ended (acknowledged or
    failed), so wait_parked() returns only when every acknowledgement that
    the killed server gave has been recorded. A sender counts as parked for
    as long as it waits in park(): one that slept through a whole open
    spell (a loaded machine may not run it for that long) sent nothing."""

    def __init__(self, count):
        self.cv = threading.Condition()
        self.count = count
        self.is_open = False
        self.stopped = False
        self.parked = set()

    def open(self):
        with self.cv:
            self.is_open = True
            self.cv.notify_all()

    def close(self):
        with self.cv:
            self.is_open = False

    def stop(self):
        with self.cv:
            self.stopped = True
            self.cv.notify_all()

    def park(self, sender):
        with self.cv:
            self.parked.add(sender)
            self.cv.notify_all()
            self.cv.wait_for(lambda: self.is_open or self.stopped)
            self.parked.discard(sender)
            return not self.stopped

    def wait_parked(self, timeout):
        with self.cv:
            return self.cv.wait_for(lambda: len(self.parked) == self.count, timeout)

    def unparked(self):
        with self.cv:
            return sorted(set(range(self.count)) - self.parked)


class Sender(threading.Thread):
    def __init__(self, number, port, gate, ledger):
        super().__init__(daemon=True)
        self.number = number
        self.port = port
        self.gate = gate
        self.ledger = ledger
        self.rng = random.Random(number)
        self.sent = 0
        self.error = None

    def run(self):
        try:
            self.loop()
        except BaseException as e:  # reported by the test
            self.error = e
            self.gate.stop()

    def loop(self):
        client = None
        left_on_connection = 0
        while True:
            if not self.gate.is_open:
                client = self.drop(client)
                if not self.gate.park(self.number):
                    return
                continue
            self.sent += 1
            tag = "s%d-%d" % (self.number, self.sent)
            try:
                if client is None:
                    client = smtplib.SMTP("127.0.0.1", self.port, local_hostname=CLIENT_NAME, timeout=10)
                    left_on_connection = self.rng.randrange(1, 6)
                client.ehlo_or_helo_if_needed()
                expect_ok("MAIL", client.mail("a@d1.test"))
                expect_ok("RCPT", client.rcpt("joe@d1.test"))
                code, reply = client.data(make_message(tag, self.rng))
                found = QUEUED.match(reply.decode("latin-1"))
                if code != 250 or not found:
                    raise AssertionError("DATA answered %d %r" % (code, reply))
                self.ledger.acknowledge(tag, found.group(1))
                left_on_connection -= 1
                if left_on_connection <= 0:
                    client = self.drop(client, quit=True)
            except (OSError, smtplib.SMTPServerDisconnected):
                # The server died under this message: not acknowledged.
                client = self.drop(client)
                if self.gate.is_open:
                    time.sleep(0.005)  # killed and not yet noticed, or restarting

    @staticmethod
    def drop(client, quit=False):
        if client is not None:
            try:
                if quit:
                    client.quit()
                client.close()
            except (OSError, smtplib.SMTPException):
                pass
        return None


def where(senders, numbers):
    """Where the senders of these numbers are now, for a failure message."""
    frames = sys._current_frames()
    lines = []
    for n in numbers:
        frame = frames.get(senders[n].ident)
        stack = "".join(traceback.format_stack(frame)[-4:]) if frame else "(ended)\n"
        lines.append("sender %d at\n%s" % (n, stack))
    return "".join(lines)


class Ledger:
    """Acknowledged messages: tag -> queue id."""

    def __init__(self):
        self.lock = threading.Lock()
        self.acked = {}

    def acknowledge(self, tag, queue_id):
        with self.lock:
            if tag in self.acked:
                raise AssertionError("tag %s acknowledged twice" % tag)
            self.acked[tag] = queue_id

    def snapshot(self):
        with self.lock:
            return dict(self.acked)


class MailboxAudit:
    """What the mailbox folder and POP3 have shown so far; files are read
    once (delivered copies never change, a redelivery writes the same)."""

    def __init__(self, machine):
        self.machine = machine
        self.by_file = {}   # file name -> tag
        self.by_tag = {}    # tag -> file name
        self.pop3_seen = set()
        self.pop3_checked = 0

    def scan(self):
        names = files(self.machine, "joe")
        gone = set(self.by_file) - set(names)
        if gone:
            raise AssertionError("delivered messages vanished: %s" % sorted(gone)[:5])
        for name in names:
            if name in self.by_file:
                continue
            with open(os.path.join(folder(self.machine, "joe"), name), "rb") as f:
                tag = check_complete(f.read(), "mailbox file " + name)
            if tag in self.by_tag:
                raise AssertionError("message %s stored twice: %s and %s" % (tag, self.by_tag[tag], name))
            self.by_file[name] = tag
            self.by_tag[tag] = name
        return len(names)

    def check_acknowledged(self, acked):
        for tag, queue_id in acked.items():
            name = self.by_tag.get(tag)
            if name is None:
                raise AssertionError("acknowledged message %s (%s) is not in the mailbox" % (tag, queue_id))
            if name != queue_id + ".eml":
                raise AssertionError("acknowledged message %s is in %s, not %s.eml" % (tag, name, queue_id))

    def check_pop3(self, port, expected_count):
        box = poplib.POP3("127.0.0.1", port, timeout=10)
        try:
            box.user("joe")
            box.pass_("secret")
            count, _ = box.stat()
            if count != expected_count:
                raise AssertionError("POP3 lists %d messages, the folder holds %d" % (count, expected_count))
            _, listing, _ = box.uidl()
            for entry in listing:
                number, uid = entry.decode().split()
                if uid in self.pop3_seen:
                    continue
                _, lines, _ = box.retr(int(number))
                tag = check_complete(b"\r\n".join(lines) + b"\r\n", "POP3 message " + uid)
                if self.by_file.get(uid + ".eml") != tag:
                    raise AssertionError("POP3 message %s holds %s, the file %s"
                                         % (uid, tag, self.by_file.get(uid + ".eml")))
                self.pop3_seen.add(uid)
                self.pop3_checked += 1
            box.quit()
        finally:
            box.close()


class CrashSafetyTest(qptest.MachineTestCase):
    def test_acknowledged_mail_survives_sigkill_exactly_once(self):
        m = self.machine
        configure(m, LogLevel=0, ConnectionsLimit=50)
        m.prepare_server()
        gate = Gate(SENDERS)
        ledger = Ledger()
        audit = MailboxAudit(m)
        senders = [Sender(n, m.settings["SmtpPort"], gate, ledger) for n in range(SENDERS)]
        for s in senders:
            s.start()
        self.addCleanup(lambda: [s.join(10) for s in senders])
        self.addCleanup(gate.stop)
        rng = random.Random()
        started = time.monotonic()
        kills = start_kills = start_kills_with_spool = 0
        while True:
            waiting = len(files(m, "drop"))
            server = m.start_console()
            if kills < KILLS and rng.random() < START_KILL_SHARE:
                start_kills_with_spool += 1 if waiting else 0
                # Killed while starting: perhaps while it delivers what the
                # last kill left in the drop folder.
                time.sleep(rng.uniform(0, START_KILL_MS) / 1000.0)
                server.kill()
                kills += 1
                start_kills += 1
                continue
            server.wait_ready()
            parked = gate.wait_parked(PARK_TIMEOUT)
            for s in senders:
                self.assertIsNone(s.error, "sender %d failed" % s.number)
            self.assertTrue(parked, "senders did not stop after kill %d:\n%s" % (kills, where(senders, gate.unparked())))
            acked = ledger.snapshot()
            held = audit.scan()
            audit.check_acknowledged(acked)
            audit.check_pop3(server.pop3_port, held)
            self.assertEqual(files(m, "drop"), [], "spool files left after restart %d" % kills)
            if kills >= KILLS:
                server.stop()
                break
            gate.open()
            # While mail flows, whatever appears in the mailbox is whole.
            kill_at = time.monotonic() + rng.uniform(*RUN_MS) / 1000.0
            while time.monotonic() < kill_at:
                audit.scan()
                time.sleep(min(0.005, max(0.0, kill_at - time.monotonic())))
            server.proc.kill()
            server.proc.wait(10)
            kills += 1
            gate.close()
            server.kill()  # reaps the output reader

        gate.stop()
        elapsed = time.monotonic() - started
        attempted = sum(s.sent for s in senders)
        acked = ledger.snapshot()
        leftovers = len(files(m, ".tmp"))
        print("\ncrash safety: %d kills (%d while starting, %d of them with spool files waiting) in %.1f s, "
              "%d messages sent, %d acknowledged and checked, %d unacknowledged stored, "
              "%d POP3 messages retrieved, %d temporary files left"
              % (kills, start_kills, start_kills_with_spool, elapsed, attempted, len(acked),
                 len(audit.by_tag) - len(acked), audit.pop3_checked, leftovers), file=sys.stderr)
        self.assertGreaterEqual(kills, KILLS)
        self.assertGreater(len(acked), KILLS, "too few messages were acknowledged to prove anything")


if __name__ == "__main__":
    qptest.main()
