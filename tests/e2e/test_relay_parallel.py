"""Several relay transactions at once, end to end: the real quillpost relays
a burst of mail to receivers on loopback that count the transactions open at
the same moment.

  - a burst to two mail servers is relayed with transactions to both open
    at once, and never more than eight to one server;
  - a crash (SIGKILL) in the middle of a burst loses nothing and sends no
    recipient a second copy that its journal marked delivered.

Peers on 127.0.74.x, port 25 (root; the tests skip otherwise). A transaction
counts as open from its MAIL to the reply to its text.
"""

import collections
import os
import smtplib
import socketserver
import sys
import threading

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import qptest  # noqa: E402
import test_relay  # noqa: E402

MX_A = "127.0.74.20"
MX_B = "127.0.74.21"
# The relay's bound on the transactions open to one server, and its senders.
PER_HOST = 8
SENDERS = 16
DELIVERED = "delivered"  # a recipient's state in the relay journal once a server accepted it


def setUpModule():
    # The peers' fixed addresses (port 25 and 53) are shared with the runs
    # of other build folders on this machine.
    qptest.hold_peer_addresses(MX_A)


class Gauge:
    """The transactions open at once, per receiver and over all, and the most seen."""

    def __init__(self):
        self.changed = threading.Condition()
        self.open = collections.Counter()
        self.most = collections.Counter()
        self.total = 0
        self.most_total = 0

    def enter(self, ip):
        with self.changed:
            self.open[ip] += 1
            self.total += 1
            self.most[ip] = max(self.most[ip], self.open[ip])
            self.most_total = max(self.most_total, self.total)
            self.changed.notify_all()

    def leave(self, ip):
        with self.changed:
            self.open[ip] -= 1
            self.total -= 1
            self.changed.notify_all()

    def wait(self, predicate, timeout):
        with self.changed:
            return self.changed.wait_for(lambda: predicate(self), timeout)


class CountingReceiver:
    """Accepts mail on ip:25 and records each recipient it accepted a text
    for. `hold(gauge)`: called at MAIL, with the transaction counted as
    open, before the reply."""

    def __init__(self, ip, gauge, hold):
        self.ip = ip
        self.gauge = gauge
        self.hold = hold
        self.rcpts = []
        self.lock = threading.Lock()
        self.server = None

    def start(self):
        receiver = self

        class Handler(socketserver.StreamRequestHandler):
            timeout = 60

            def reply(self, text):
                self.wfile.write(text.encode() + b"\r\n")

            def handle(self):
                opened = False
                try:
                    self.reply("220 receiver.test ESMTP")
                    rcpts = []
                    while True:
                        line = self.rfile.readline(4096)
                        if not line:
                            return
                        verb = line[:4].upper()
                        if verb in (b"HELO", b"EHLO"):
                            self.reply("250 receiver.test")
                        elif verb == b"MAIL":
                            receiver.gauge.enter(receiver.ip)
                            opened = True
                            receiver.hold(receiver.gauge)
                            rcpts = []
                            self.reply("250 OK")
                        elif verb == b"RCPT":
                            rcpts.append(line.split(b":", 1)[1].strip().decode())
                            self.reply("250 OK")
                        elif verb == b"DATA":
                            self.reply("354 Go ahead")
                            while self.rfile.readline(1 << 20) not in (b".\r\n", b""):
                                pass
                            with receiver.lock:
                                receiver.rcpts += rcpts
                            receiver.gauge.leave(receiver.ip)
                            opened = False
                            self.reply("250 OK: accepted")
                        elif verb == b"QUIT":
                            self.reply("221 Bye")
                            return
                        else:
                            self.reply("502 Command not implemented")
                except OSError:
                    pass  # the relay went away (a test killed it)
                finally:
                    if opened:
                        receiver.gauge.leave(receiver.ip)

        class Server(socketserver.ThreadingTCPServer):
            allow_reuse_address = True
            daemon_threads = True

        self.server = Server((self.ip, 25), Handler)
        threading.Thread(target=self.server.serve_forever, daemon=True).start()
        return self

    def stop(self):
        self.server.shutdown()
        self.server.server_close()

    def received(self):
        with self.lock:
            return list(self.rcpts)


class ParallelRelayTest(test_relay.RelayTestBase):
    mx_records = ("a.test|" + MX_A, "b.test|" + MX_B)

    def setUp(self):
        super().setUp()
        # The receivers hold transactions for seconds on purpose.
        self.machine.set_settings(RelayTimeout=30, ScanInterval=1)
        self.gauge = Gauge()

    def counting_receiver(self, ip, hold):
        receiver = CountingReceiver(ip, self.gauge, hold).start()
        self.addCleanup(receiver.stop)
        return receiver

    def send_burst(self, envelopes):
        """Sends one message per recipient list over one connection."""
        with smtplib.SMTP("127.0.0.1", self.server.smtp_port, timeout=30) as client:
            for number, recipients in enumerate(envelopes):
                message = ("Subject: burst %d\r\n\r\nMessage %d.\r\n" % (number, number)).encode()
                refused = client.sendmail("<alice@local.test>", recipients, message)
                self.assertEqual(refused, {})

    def journaled(self, state):
        """The recipients with a record of `state` in the relay's journals."""
        folder = self.machine.native("c:\\Mailboxes\\queue\\journal")
        found = set()
        for name in os.listdir(folder) if os.path.isdir(folder) else []:
            with open(os.path.join(folder, name), "rb") as f:
                for line in f.read().decode("utf-8", "replace").split("\n")[1:-1]:
                    fields = line.split("\t")
                    if fields[0] == state and len(fields) > 1:
                        found.add(fields[1])
        return found

    def assert_each_once(self, receiver, expected):
        got = receiver.received()
        self.assertEqual(sorted(got), sorted(expected), "each recipient exactly once at " + receiver.ip)

    def test_burst_to_two_servers_is_relayed_at_once_within_the_bound_per_server(self):
        # Each transaction waits (at most 3 s) until the relay has all its
        # senders' transactions open: a relay that sends one at a time, or
        # more than the bound to one server, shows in the counts.
        def until_all_senders(gauge):
            gauge.wait(lambda g: g.total >= SENDERS, 3)

        a = self.counting_receiver(MX_A, until_all_senders)
        b = self.counting_receiver(MX_B, until_all_senders)
        self.start_server()
        a_rcpts = ["<a%d@a.test>" % i for i in range(12)]
        b_rcpts = ["<b%d@b.test>" % i for i in range(12)]
        self.send_burst([[rcpt] for pair in zip(a_rcpts, b_rcpts) for rcpt in pair])

        qptest.wait_until(lambda: len(a.received()) + len(b.received()) == 24, 60, "24 relayed messages")
        self.wait_queue_empty(10)
        self.assert_each_once(a, a_rcpts)
        self.assert_each_once(b, b_rcpts)
        self.assertEqual(self.gauge.most[MX_A], PER_HOST)
        self.assertEqual(self.gauge.most[MX_B], PER_HOST)
        self.assertEqual(self.gauge.most_total, SENDERS)
        self.assertEqual(self.folder("badmail"), [])

    def test_sigkill_mid_burst_loses_nothing_and_repeats_no_delivered_recipient(self):
        # Each message goes to a.test first, which accepts at once, then to
        # b.test, which holds every transaction before its text: the crash
        # comes while the senders wait there and on their slots for b.test.
        release = threading.Event()
        freeze = threading.Event()
        frozen = []

        def hold_a_once_frozen(gauge):
            if freeze.is_set():
                with gauge.changed:
                    frozen.append(1)
                    gauge.changed.notify_all()
                release.wait(60)

        a = self.counting_receiver(MX_A, hold_a_once_frozen)
        b = self.counting_receiver(MX_B, lambda gauge: release.wait(60))
        self.start_server()
        envelopes = [["<u%d@a.test>" % i, "<u%d@b.test>" % i] for i in range(16)]
        self.send_burst(envelopes)

        self.assertTrue(self.gauge.wait(lambda g: g.open[MX_B] == PER_HOST, 20), "transactions held at b.test")
        # From now on a transaction to a.test waits before anything is
        # accepted; the kill comes once every other one has ended and its
        # recipient is marked delivered, so none is between its reply and
        # its journal line.
        freeze.set()
        self.assertTrue(self.gauge.wait(lambda g: g.open[MX_A] == len(frozen), 20), "transactions to a.test ended")
        qptest.wait_until(lambda: set(a.received()) <= self.journaled(DELIVERED), 10,
                          "the journal lines of a.test's recipients")
        self.assertEqual(self.gauge.most[MX_B], PER_HOST)
        delivered_before = a.received()
        self.assertGreater(len(delivered_before), 0)
        self.assertEqual(b.received(), [])
        self.server.kill()
        release.set()

        self.start_server()
        qptest.wait_until(lambda: len(b.received()) == 16, 60, "every b.test recipient")
        self.wait_queue_empty(10)
        self.wait_queue_empty(5, "queue\\journal")
        self.assert_each_once(a, [e[0] for e in envelopes])
        self.assert_each_once(b, [e[1] for e in envelopes])
        self.assertEqual(self.folder("badmail"), [])


if __name__ == "__main__":
    qptest.main()
