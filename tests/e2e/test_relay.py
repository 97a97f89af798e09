"""The relay end to end: the real quillpost takes mail over SMTP and relays
it to a real SMTP receiver on loopback, finding it through a pre-defined
record, the "*" record, or a real DNS server (dnsmasq) on loopback.

Peers: SmtpReceiver, a small SMTP server on port 25 of a 127.x.y.z address
(the relay always talks to port 25), recording every transaction with the
time it accepted the message; DnsServer, dnsmasq from Debian's dnsmasq-base
(no system service) on port 53 of a 127.x.y.z address with fixed MX records,
logging every query. Both need root for their low ports; the tests skip
otherwise. Nothing here talks to an address outside 127.0.0.0/8, and the
service's DNSServer always names the loopback DNS server.
"""

import os
import shutil
import signal
import smtplib
import socket
import socketserver
import struct
import subprocess
import sys
import tempfile
import threading
import time


def can_bind_low_ports():
    return os.geteuid() == 0


class Transaction:
    def __init__(self):
        self.helo = ""
        self.mail_from = ""
        self.rcpts = []
        self.data = b""
        self.accepted_at = None  # time.monotonic() of the 250 after the text


class SmtpReceiver:
    """Accepts mail on ip:25. `reject`: RCPT arguments answered 550;
    `data_delay`: seconds before the message text is accepted; `hold_after`:
    once that many messages were accepted, the next MAIL is answered only
    after `release` is set (`held` tells that it waits)."""

    def __init__(self, ip, reject=(), data_delay=0.0, hold_after=None):
        self.ip = ip
        self.reject = set(reject)
        self.data_delay = data_delay
        self.hold_after = hold_after
        self.held = threading.Event()
        self.release = threading.Event()
        self.transactions = []
        self.connections = 0
        self.quits = 0
        self.data_started = threading.Event()
        self._lock = threading.Lock()
        self._server = None
        self._thread = None

    def start(self):
        receiver = self

        class Handler(socketserver.StreamRequestHandler):
            timeout = 30

            def reply(self, text):
                self.wfile.write(text.encode() + b"\r\n")
                self.wfile.flush()

            def handle(self):
                try:
                    self.dialogue()
                except OSError:
                    pass  # the client went away (a test killed it)

            def dialogue(self):
                with receiver._lock:
                    receiver.connections += 1
                self.reply("220 receiver.test ESMTP")
                helo = ""
                current = Transaction()
                while True:
                    line = self.rfile.readline(4096)
                    if not line:
                        return
                    line = line.rstrip(b"\r\n").decode("latin-1")
                    verb = line[:4].upper()
                    if verb in ("HELO", "EHLO"):
                        helo = line[5:]
                        self.reply("250 receiver.test")
                    elif verb == "MAIL":
                        if receiver.hold_after is not None and len(receiver.received()) >= receiver.hold_after:
                            receiver.held.set()
                            receiver.release.wait(30)
                            receiver.hold_after = None
                        current = Transaction()
                        current.helo = helo
                        current.mail_from = line.split(":", 1)[1].strip()
                        self.reply("250 OK")
                    elif verb == "RCPT":
                        rcpt = line.split(":", 1)[1].strip()
                        if rcpt in receiver.reject:
                            self.reply("550 No such user here")
                            continue
                        current.rcpts.append(rcpt)
                        self.reply("250 OK")
                    elif verb == "DATA":
                        self.reply("354 Go ahead")
                        receiver.data_started.set()
                        lines = []
                        while True:
                            text = self.rfile.readline(1 << 20)
                            if not text or text == b".\r\n":
                                break
                            # Transparency (RFC 5321 4.5.2): a leading dot was doubled.
                            lines.append(text[1:] if text.startswith(b".") else text)
                        if receiver.data_delay:
                            time.sleep(receiver.data_delay)
                        current.data = b"".join(lines)
                        current.accepted_at = time.monotonic()
                        with receiver._lock:
                            receiver.transactions.append(current)
                        self.reply("250 OK: accepted")
                    elif verb == "QUIT":
                        with receiver._lock:
                            receiver.quits += 1
                        self.reply("221 Bye")
                        return
                    else:
                        self.reply("502 Command not implemented")

        class Server(socketserver.ThreadingTCPServer):
            allow_reuse_address = True
            daemon_threads = True

        self._server = Server((self.ip, 25), Handler)
        self._thread = threading.Thread(target=self._server.serve_forever, daemon=True)
        self._thread.start()
        return self

    def stop(self):
        if self._server:
            self._server.shutdown()
            self._server.server_close()
            self._server = None

    def received(self):
        with self._lock:
            return list(self.transactions)

    def wait_transactions(self, count, timeout):
        end = time.monotonic() + timeout
        while time.monotonic() < end:
            if len(self.received()) >= count:
                return self.received()
            time.sleep(0.01)
        raise AssertionError("receiver %s got %d of %d messages in %ss"
                             % (self.ip, len(self.received()), count, timeout))


class DnsServer:
    """dnsmasq answering on ip:53 from its own records only. `mx`: list of
    (domain, exchange, preference), in the order given to dnsmasq."""

    def __init__(self, ip, mx):
        self.ip = ip
        self.mx = list(mx)
        self.folder = tempfile.mkdtemp(prefix="qp-dns-")
        self.log_file = os.path.join(self.folder, "queries.log")
        self.proc = None

    @staticmethod
    def available():
        return shutil.which("dnsmasq") is not None and can_bind_low_ports()

    def start(self):
        args = [shutil.which("dnsmasq"), "--keep-in-foreground", "--conf-file=/dev/null",
                "--no-resolv", "--no-hosts", "--no-poll", "--port=53",
                "--listen-address=" + self.ip, "--bind-interfaces", "--pid-file=",
                "--user=root", "--log-queries", "--log-facility=" + self.log_file]
        args += ["--mx-host=%s,%s,%d" % entry for entry in self.mx]
        self.proc = subprocess.Popen(args, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                     stderr=subprocess.PIPE)
        end = time.monotonic() + 10
        while time.monotonic() < end:
            if self.proc.poll() is not None:
                raise AssertionError("dnsmasq ended: %r" % self.proc.stderr.read())
            if "started" in self.log():
                return self
            time.sleep(0.05)
        raise AssertionError("dnsmasq did not start")

    def stop(self):
        if self.proc and self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            try:
                self.proc.wait(10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait(10)
        if self.proc and self.proc.stderr:
            self.proc.stderr.close()
        shutil.rmtree(self.folder, ignore_errors=True)

    def log(self):
        try:
            with open(self.log_file, encoding="utf-8", errors="replace") as f:
                return f.read()
        except FileNotFoundError:
            return ""

    def mx_queries(self, domain):
        """How often an MX query for `domain` arrived."""
        return self.log().count("query[MX] %s from" % domain)

    def ask_mx(self, domain):
        """The MX preferences of the answer, in answer order (a query of our own)."""
        query = struct.pack(">HHHHHH", 7, 0x0100, 1, 0, 0, 0)
        for label in domain.split("."):
            query += bytes([len(label)]) + label.encode()
        query += b"\0" + struct.pack(">HH", 15, 1)
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
            s.settimeout(5)
            s.sendto(query, (self.ip, 53))
            reply = s.recv(4096)
        count = struct.unpack(">H", reply[6:8])[0]
        pos = len(query)  # the question is echoed
        preferences = []
        for _ in range(count):
            pos += 2 if reply[pos] >= 0xC0 else reply.index(b"\0", pos) + 1 - pos
            _, _, _, length = struct.unpack(">HHIH", reply[pos:pos + 10])
            pos += 10
            preferences.append(struct.unpack(">H", reply[pos:pos + 2])[0])
            pos += length
        return preferences


sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import qptest  # noqa: E402

# Addresses of this test's peers (the unit tests use 127.0.61.x, the
# benchmark 127.0.63.x).
DNS_IP = "127.0.62.53"
MX_A = "127.0.62.20"
MX_B = "127.0.62.21"
MX_CATCH_ALL = "127.0.62.22"
# A recipient's message leaves the queue within this time: far below the
# queue scans' interval (60 s), so that only the watch on the queue folder
# meets it, also on a loaded machine.
QUEUE_LIMIT_S = 10.0
# A rejected recipient's client is given 10 s to see the server close.
REJECT_WAIT_S = 25

MESSAGE = (b"From: Alice <alice@local.test>\r\n"
           b"To: Bob <bob@a.test>\r\n"
           b"Subject: Relay test\r\n"
           b"X-Sender: a header line of the message itself\r\n"
           b"x-receiver: another one\r\n"
           b"\r\n"
           b"Body text.\r\n"
           b".A line that begins with a dot\r\n")


def setUpModule():
    # The peers' fixed addresses (port 25 and 53) are shared with the runs
    # of other build folders on this machine.
    qptest.hold_peer_addresses(DNS_IP)


class RelayTestBase(qptest.MachineTestCase):
    mx_records = ()
    dns_records = ()

    def setUp(self):
        if not can_bind_low_ports():
            self.skipTest("the receiver and DNS server need root for ports 25 and 53")
        super().setUp()
        self.dns = None
        if self.dns_records:
            if not DnsServer.available():
                self.skipTest("dnsmasq (dnsmasq-base) is not installed")
            self.dns = DnsServer(DNS_IP, self.dns_records).start()
            self.addCleanup(self.dns.stop)
        m = self.machine
        m.set_settings(MailFolder="c:\\Mailboxes\\", RelayMessages=1, AuthRemote=0,
                       DNSServer=DNS_IP, RelayTimeout=5, HostName="relay.local.test")
        m.set_list("Domains", "Extensions", ["local.test"])
        m.set_list("Relay", "MxRecords", list(self.mx_records))

    def receiver(self, ip, **options):
        receiver = SmtpReceiver(ip, **options).start()
        self.addCleanup(receiver.stop)
        return receiver

    def start_server(self):
        self.server = self.machine.start_console(log_level=2)
        self.server.wait_ready()
        self.server.wait_log("<RELAY> Relaying thread started.")
        return self.server

    def send(self, recipients, message=MESSAGE):
        """Sends one message; returns time.monotonic() of the "250 OK: Queued as" reply."""
        with smtplib.SMTP("127.0.0.1", self.server.smtp_port, timeout=30) as client:
            client.helo("client.local.test")
            client.mail("<alice@local.test>")
            for recipient in recipients:
                code, text = client.rcpt(recipient)
                self.assertEqual(code, 250, text)
            code, text = client.data(message)
            queued_at = time.monotonic()
            self.assertEqual(code, 250)
            self.assertTrue(text.startswith(b"OK: Queued as"), text)
        return queued_at

    def folder(self, name):
        """The files of a folder of the mail folder (the queue's journal
        folder is no mail)."""
        path = self.machine.native("c:\\Mailboxes\\" + name)
        if not os.path.isdir(path):
            return []
        return sorted(f for f in os.listdir(path) if os.path.isfile(os.path.join(path, f)))

    def wait_folder(self, name, count, timeout):
        end = time.monotonic() + timeout
        while len(self.folder(name)) < count:
            if time.monotonic() > end:
                self.fail("%s holds %r after %ss" % (name, self.folder(name), timeout))
            time.sleep(0.01)
        return self.folder(name)

    def wait_queue_empty(self, timeout, name="queue"):
        end = time.monotonic() + timeout
        while self.folder(name):
            if time.monotonic() > end:
                self.fail("%s still holds %r after %ss" % (name, self.folder(name), timeout))
            time.sleep(0.01)
        return time.monotonic()


class PredefinedRecordTest(RelayTestBase):
    mx_records = ("a.test|" + MX_A, "*|" + MX_CATCH_ALL)

    def test_message_goes_to_the_predefined_server_at_once(self):
        a = self.receiver(MX_A)
        catch_all = self.receiver(MX_CATCH_ALL)
        self.start_server()
        queued_at = self.send(["<bob@a.test>"])

        [got] = a.wait_transactions(1, QUEUE_LIMIT_S)
        left_at = self.wait_queue_empty(QUEUE_LIMIT_S)
        self.assertLess(got.accepted_at - queued_at, QUEUE_LIMIT_S)
        self.assertLess(left_at - queued_at, QUEUE_LIMIT_S)
        self.assertEqual(got.helo, "relay.local.test")
        self.assertEqual(got.mail_from, "<alice@local.test>")
        self.assertEqual(got.rcpts, ["<bob@a.test>"])
        self.assertEqual(catch_all.connections, 0, "a domain entry wins over *")
        self.assertEqual(self.folder("badmail"), [])
        log = self.server.wait_log("<RELAY> Finished delivery of mail.")
        for line in ("<RELAY> Detected new messages in queue.",
                     "<RELAY> Delivering email to '<bob@a.test>' (%s)" % MX_A,
                     "<RELAY> Connected to SMTP server.",
                     "<RELAY> HELO relay.local.test",
                     "<RELAY> Disconnected from SMTP server."):
            self.assertIn(line, log)

    def test_envelope_is_stripped_and_headers_stay_intact(self):
        a = self.receiver(MX_A)
        self.start_server()
        self.send(["<bob@a.test>"])
        [got] = a.wait_transactions(1, QUEUE_LIMIT_S)

        received, date, rest = got.data.split(b"\r\n", 2)
        self.assertTrue(received.startswith(b"Received: from client.local.test"), got.data)
        self.assertTrue(date.startswith(b"\t"), got.data)
        # The message as the client sent it, then the empty line the relay ends with.
        self.assertEqual(rest, MESSAGE + b"\r\n")
        self.assertNotIn(b"x-sender: <alice", got.data.lower())
        self.assertNotIn(b"x-receiver: <bob", got.data.lower())

    def test_one_transaction_per_recipient_and_local_ones_skipped(self):
        a = self.receiver(MX_A)
        catch_all = self.receiver(MX_CATCH_ALL)
        self.start_server()
        self.send(["<bob@a.test>", "<admin@local.test>", "<carol@a.test>", "<dave@elsewhere.test>"])

        got = a.wait_transactions(2, 5)
        self.assertEqual([t.rcpts for t in got], [["<bob@a.test>"], ["<carol@a.test>"]])
        self.assertEqual(a.connections, 2)
        [other] = catch_all.wait_transactions(1, 5)
        self.assertEqual(other.rcpts, ["<dave@elsewhere.test>"], "other domains go to *")
        self.wait_queue_empty(5)

    def test_rejected_recipient_puts_a_copy_in_badmail(self):
        a = self.receiver(MX_A, reject={"<nobody@a.test>"})
        self.start_server()
        self.send(["<nobody@a.test>", "<bob@a.test>"])

        [got] = a.wait_transactions(1, REJECT_WAIT_S)
        self.assertEqual(got.rcpts, ["<bob@a.test>"])
        self.wait_queue_empty(5)
        [copy] = self.folder("badmail")
        with open(os.path.join(self.machine.native("c:\\Mailboxes\\badmail"), copy), "rb") as f:
            kept = f.read()
        self.assertTrue(kept.startswith(b"x-sender: <alice@local.test>\r\nx-receiver: <nobody@a.test>\r\n"),
                        "the whole queued file, envelope included")
        log = self.server.read_log()
        self.assertIn("<RELAY> 550 No such user here", log)
        self.assertIn("<RELAY> Copying message to: ", log)

    def test_stop_during_a_queue_pass_waits_for_the_pass(self):
        delay = 3.0
        a = self.receiver(MX_A, data_delay=delay)
        self.start_server()
        self.send(["<bob@a.test>"])
        self.assertTrue(a.data_started.wait(QUEUE_LIMIT_S), "the relay began the transfer")

        self.server.stop(timeout=30)
        stopped_at = time.monotonic()

        # The pass ran to its end: the relay read the acceptance (it said
        # QUIT only after it), and the queued file was deleted.
        [got] = a.received()
        self.assertGreater(stopped_at, got.accepted_at)
        self.assertEqual(a.quits, 1)
        self.assertEqual(self.folder("queue"), [])
        self.assertEqual(self.folder("badmail"), [])


class CatchAllRecordTest(RelayTestBase):
    mx_records = ("*|" + MX_CATCH_ALL,)
    dns_records = (("any.test", MX_A, 10),)

    def test_catch_all_serves_every_domain_without_dns(self):
        catch_all = self.receiver(MX_CATCH_ALL)
        a = self.receiver(MX_A)
        self.start_server()
        queued_at = self.send(["<bob@any.test>"])
        [got] = catch_all.wait_transactions(1, QUEUE_LIMIT_S)
        self.assertLess(got.accepted_at - queued_at, QUEUE_LIMIT_S)
        self.assertEqual(a.connections, 0)
        self.assertEqual(self.dns.mx_queries("any.test"), 0, "no DNS query with a * record")


class DnsLookupTest(RelayTestBase):
    # For b.test dnsmasq answers the preference-20 record first.
    dns_records = (("a.test", MX_A, 10), ("twice.test", MX_A, 10),
                   ("b.test", MX_A, 10), ("b.test", MX_B, 20))

    def test_delivery_via_dns_mx_record(self):
        a = self.receiver(MX_A)
        self.start_server()
        queued_at = self.send(["<bob@a.test>"])
        [got] = a.wait_transactions(1, QUEUE_LIMIT_S)
        self.assertLess(got.accepted_at - queued_at, QUEUE_LIMIT_S)
        self.assertEqual(got.rcpts, ["<bob@a.test>"])
        self.assertEqual(self.dns.mx_queries("a.test"), 1)

    def test_one_query_for_two_recipients_of_one_domain(self):
        a = self.receiver(MX_A)
        self.start_server()
        self.send(["<ann@twice.test>", "<ben@twice.test>"])
        got = a.wait_transactions(2, 5)
        self.assertEqual([t.rcpts for t in got], [["<ann@twice.test>"], ["<ben@twice.test>"]])
        self.wait_queue_empty(5)
        self.assertEqual(self.dns.mx_queries("twice.test"), 1)

    def test_lowest_preference_is_tried_first(self):
        preferences = self.dns.ask_mx("b.test")
        self.assertEqual(preferences, [20, 10], "the answer must list the worse exchanger first")
        a = self.receiver(MX_A)
        b = self.receiver(MX_B)
        self.start_server()
        self.send(["<bob@b.test>"])
        a.wait_transactions(1, QUEUE_LIMIT_S)
        self.assertEqual(b.connections, 0, "answer order was %r" % preferences)

    def test_domain_without_mx_goes_to_badmail(self):
        self.start_server()
        self.send(["<bob@none.test>"])
        self.wait_folder("badmail", 1, 10)
        self.server.wait_log("<RELAY> Finished delivery of mail.")
        self.assertEqual(self.folder("queue"), [])
        self.assertIn("<RELAY> DNS Lookup for 'none.test' failed", self.server.read_log())


if __name__ == "__main__":
    qptest.main()
