"""Relay retries and bounces end to end (RetryFor above "0"): the real
quillpost relays to scripted SMTP receivers on loopback whose RCPT replies
follow a list (the last one repeats), with RetryFor and RetrySchedule in
seconds:

  - 450 then 250 delivers on the second try; 550 bounces at once; a 451
    that lasts past RetryFor bounces when the time runs out; a receiver
    that is down at first gets the message once it is up;
  - a bounce to a remote sender goes out with "MAIL FROM:<>", names every
    recipient that failed in the pass, and parses as a delivery report;
  - no bounce for a message whose sender is empty;
  - a SIGKILL during the wait keeps the schedule; `quillctl queue list`
    shows it and `quillctl queue retry` makes it due now.

Peers on 127.0.68.x (port 25 needs root; the tests skip otherwise). Every
domain has a pre-defined record: no name is looked up anywhere.
"""

import email
import email.policy
import os
import signal
import socketserver
import subprocess
import sys
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import qptest  # noqa: E402
import test_relay  # noqa: E402
from test_relay_dns import FakeDns, mx, reply  # noqa: E402

MX_GREYLIST = "127.0.68.20"
MX_REJECT = "127.0.68.21"
MX_BUSY = "127.0.68.22"
MX_LATE = "127.0.68.23"
MX_SENDER = "127.0.68.24"
MX_FOUND = "127.0.68.25"
DNS_IP = "127.0.68.53"


def setUpModule():
    # The peers' fixed addresses (port 25 and 53) are shared with the runs
    # of other build folders on this machine.
    qptest.hold_peer_addresses(DNS_IP)


class ScriptedReceiver:
    """Accepts mail on ip:25; each RCPT is answered with the next reply of
    `rcpt_replies` (the last one repeats). Records (MAIL FROM, RCPTs, text)
    of every accepted message and the time of every RCPT."""

    def __init__(self, ip, rcpt_replies=("250 OK",)):
        self.ip = ip
        self.rcpt_replies = list(rcpt_replies)
        self.rcpt_times = []
        self.messages = []
        self._lock = threading.Lock()
        self._server = None

    def _next_rcpt_reply(self):
        with self._lock:
            self.rcpt_times.append(time.monotonic())
            return self.rcpt_replies.pop(0) if len(self.rcpt_replies) > 1 else self.rcpt_replies[0]

    def start(self):
        receiver = self

        class Handler(socketserver.StreamRequestHandler):
            timeout = 30

            def reply(self, text):
                self.wfile.write(text.encode() + b"\r\n")

            def handle(self):
                try:
                    self.dialogue()
                except OSError:
                    pass

            def dialogue(self):
                self.reply("220 receiver.test ESMTP")
                sender, rcpts = "", []
                while True:
                    line = self.rfile.readline(4096)
                    if not line:
                        return
                    line = line.rstrip(b"\r\n").decode("latin-1")
                    verb = line[:4].upper()
                    if verb == "MAIL":
                        sender, rcpts = line.split(":", 1)[1].strip(), []
                        self.reply("250 OK")
                    elif verb == "RCPT":
                        answer = receiver._next_rcpt_reply()
                        if answer.startswith("250"):
                            rcpts.append(line.split(":", 1)[1].strip())
                        self.reply(answer)
                    elif verb == "DATA":
                        self.reply("354 Go ahead")
                        lines = []
                        while True:
                            text = self.rfile.readline(1 << 20)
                            if not text or text == b".\r\n":
                                break
                            lines.append(text[1:] if text.startswith(b".") else text)
                        with receiver._lock:
                            receiver.messages.append((sender, rcpts, b"".join(lines)))
                        self.reply("250 OK: accepted")
                    elif verb == "QUIT":
                        self.reply("221 Bye")
                        return
                    else:
                        self.reply("250 receiver.test")

        class Server(socketserver.ThreadingTCPServer):
            allow_reuse_address = True
            daemon_threads = True

        self._server = Server((self.ip, 25), Handler)
        threading.Thread(target=self._server.serve_forever, daemon=True).start()
        return self

    def stop(self):
        if self._server:
            self._server.shutdown()
            self._server.server_close()
            self._server = None

    def received(self):
        with self._lock:
            return list(self.messages)

    def wait_messages(self, count, timeout):
        qptest.wait_until(lambda: len(self.received()) >= count, timeout,
                          "%d message(s) at %s" % (count, self.ip))
        return self.received()


def parse_report(text):
    """The parts of a delivery report: (message, readable text, list of
    per-recipient field dicts, copied headers)."""
    message = email.message_from_bytes(text, policy=email.policy.compat32)
    assert message.get_content_type() == "multipart/report", message.get_content_type()
    assert message.get_param("report-type") == "delivery-status"
    readable, status, headers = message.get_payload()
    assert readable.get_content_type() == "text/plain"
    assert status.get_content_type() == "message/delivery-status"
    assert headers.get_content_type() == "text/rfc822-headers"
    # The status part parses as a list of field blocks: the message's own
    # (Reporting-MTA) first, then one per recipient.
    blocks = status.get_payload()
    recipients = [dict(block.items()) for block in blocks[1:]]
    return message, readable.get_payload(), recipients, headers.get_payload()


class RetryTestBase(test_relay.RelayTestBase):
    mx_records = ("greylist.test|" + MX_GREYLIST, "reject.test|" + MX_REJECT, "busy.test|" + MX_BUSY,
                  "late.test|" + MX_LATE, "sender.test|" + MX_SENDER)

    def setUp(self):
        super().setUp()
        self.machine.set_settings(RetryFor="4s", RetrySchedule="1s")
        self.machine.set_list("UserAccounts", "Users", [("alice", "Alice", "pw")])

    def receiver(self, ip, replies=("250 OK",)):
        receiver = ScriptedReceiver(ip, replies).start()
        self.addCleanup(receiver.stop)
        return receiver

    def send_from(self, sender, recipients, message=test_relay.MESSAGE):
        import smtplib
        with smtplib.SMTP("127.0.0.1", self.server.smtp_port, timeout=30) as client:
            client.helo("client.local.test")
            client.mail(sender)
            for recipient in recipients:
                self.assertEqual(client.rcpt(recipient)[0], 250)
            self.assertEqual(client.data(message)[0], 250)

    def mailbox(self, user):
        path = self.machine.native("c:\\Mailboxes\\" + user)
        if not os.path.isdir(path):
            return []
        return [open(os.path.join(path, name), "rb").read() for name in sorted(os.listdir(path))]

    def ctl(self, *args):
        return subprocess.run([qptest.binary("quillctl")] + list(args), env=self.machine.env,
                              capture_output=True, text=True, timeout=60)


class RetryOutcomeTest(RetryTestBase):
    def test_each_reply_script_ends_as_it_should(self):
        # (domain, receiver's RCPT replies, tries, delivered, bounce status)
        cases = [
            ("greylist.test", ["450 4.7.1 Greylisted, try again", "250 OK"], 2, True, None),
            ("reject.test", ["550 5.1.1 No such user"], 1, False, "5.1.1"),
            ("busy.test", ["451 4.3.0 Busy"], None, False, "4.3.0"),
        ]
        receivers = {domain: self.receiver(ip, replies) for (domain, replies, *_), ip
                     in zip(cases, (MX_GREYLIST, MX_REJECT, MX_BUSY))}
        self.start_server()
        for domain, *_ in cases:
            self.send(["<bob@%s>" % domain])
        self.wait_queue_empty(15)
        # A bounce is delivered after its queued message has gone.
        expected = sum(1 for *_, status in cases if status is not None)
        qptest.wait_until(lambda: len(self.mailbox("alice")) >= expected, 10, "the bounces in the mailbox")

        bounces = self.mailbox("alice")
        log = self.server.read_log()
        for domain, replies, tries, delivered, status in cases:
            with self.subTest(domain=domain):
                receiver = receivers[domain]
                if tries is not None:
                    self.assertEqual(len(receiver.rcpt_times), tries)
                self.assertEqual(len(receiver.received()), 1 if delivered else 0)
                if replies[0].startswith("4"):
                    self.assertIn("<RELAY> Deferred <bob@%s>: %s; next try in 1 seconds." % (domain, replies[0]), log)
                naming = [b for b in bounces if ("bob@" + domain).encode() in b]
                if status is None:
                    self.assertEqual(naming, [])
                    continue
                self.assertEqual(len(naming), 1, "one bounce to the local sender")
                message, readable, [fields], headers = parse_report(naming[0].split(b"\r\n", 1)[1])
                self.assertEqual(message["From"], "Mail Delivery System <MAILER-DAEMON@relay.local.test>")
                self.assertEqual(fields["Final-Recipient"], "rfc822; bob@" + domain)
                self.assertEqual(fields["Action"], "failed")
                self.assertEqual(fields["Status"], status)
                self.assertEqual(fields["Diagnostic-Code"], "smtp; " + replies[-1])
                self.assertIn(replies[-1], readable)
                self.assertIn("Subject: Relay test", headers)
        # The retries of the busy receiver spread over the retry time.
        busy = receivers["busy.test"].rcpt_times
        self.assertGreaterEqual(len(busy), 3)
        self.assertGreaterEqual(busy[-1] - busy[0], 3.0)
        self.assertEqual(len(self.folder("badmail")), 2, "the failed messages are kept as without retries")

    def test_receiver_down_at_first_gets_the_message_once_it_is_up(self):
        self.start_server()
        self.send(["<bob@late.test>"])
        self.server.wait_log("<RELAY> Deferred <bob@late.test>: Cannot connect to %s; next try in 1 seconds." % MX_LATE)
        late = self.receiver(MX_LATE)
        [(sender, rcpts, _)] = late.wait_messages(1, 10)
        self.assertEqual((sender, rcpts), ("<alice@local.test>", ["<bob@late.test>"]))
        self.wait_queue_empty(5)
        self.assertEqual(self.folder("badmail"), [])


    def test_malformed_retry_for_is_named_and_the_relay_makes_one_pass(self):
        self.machine.set_settings(RetryFor="5x")
        greylist = self.receiver(MX_GREYLIST, ["450 4.7.1 Greylisted", "250 OK"])
        self.start_server()
        self.server.wait_log('Malformed value ignored: Settings\\RetryFor; the default "0" is used.')
        self.send(["<bob@greylist.test>"])
        # Without retries the relay waits its 10 s for the refusing server to close.
        self.wait_folder("badmail", 1, 20)
        self.wait_queue_empty(5)
        self.assertEqual(len(greylist.rcpt_times), 1)
        self.assertNotIn("<RELAY> Deferred", self.server.read_log())


class DnsOutcomeTest(RetryTestBase):
    def test_dns_failures_that_may_pass_defer_and_final_answers_bounce(self):
        self.machine.set_settings(DNSServer=DNS_IP)
        found = self.receiver(MX_FOUND)
        servfail_answers = [0x8182]  # the first answer: server failure; then the record
        # domain -> the flags of its answer (rcode in the low bits), or None for the MX record
        answers = {"servfail.test": None, "nx.test": 0x8583, "nomx.test": 0x8580}

        def respond(q):
            if q.name == "servfail.test" and servfail_answers:
                return [(reply(q, flags=servfail_answers.pop()), None)]
            if answers.get(q.name) is None:
                return [(reply(q, [mx(q.name, 10, MX_FOUND)]), None)]
            return [(reply(q, flags=answers[q.name]), None)]
        self.addCleanup(FakeDns(DNS_IP, respond).stop)
        self.start_server()
        self.send(["<bob@servfail.test>", "<bob@nx.test>", "<bob@nomx.test>"])

        [(_, rcpts, _)] = found.wait_messages(1, 10)
        self.assertEqual(rcpts, ["<bob@servfail.test>"])
        self.wait_queue_empty(5)
        log = self.server.read_log()
        self.assertIn("<RELAY> Deferred <bob@servfail.test>: DNS Lookup for 'servfail.test' failed!", log)
        for domain in ("nx.test", "nomx.test"):
            self.assertNotIn("Deferred <bob@%s>" % domain, log)
        qptest.wait_until(lambda: self.mailbox("alice"), 10, "the bounce in the mailbox")
        [bounce] = self.mailbox("alice")
        _, _, fields, _ = parse_report(bounce.split(b"\r\n", 1)[1])
        self.assertEqual([(f["Final-Recipient"], f["Status"]) for f in fields],
                         [("rfc822; bob@nx.test", "5.4.4"), ("rfc822; bob@nomx.test", "5.4.4")])


class BounceTest(RetryTestBase):
    def test_bounce_to_a_remote_sender_goes_out_with_the_empty_sender(self):
        # The reply tries to add a header line and a MIME part of its own.
        self.receiver(MX_REJECT, ["550-5.1.1 No such user\r\n550-X-Injected: yes\r\n550 --=_report_x--"])
        home = self.receiver(MX_SENDER)
        self.start_server()
        self.send_from("<carol@sender.test>", ["<bob@reject.test>", "<dan@reject.test>"])

        [(sender, rcpts, text)] = home.wait_messages(1, 15)
        self.assertEqual(sender, "<>")
        self.assertEqual(rcpts, ["<carol@sender.test>"])
        message, readable, fields, headers = parse_report(text)
        self.assertEqual(message["To"], "<carol@sender.test>")
        self.assertEqual([f["Final-Recipient"] for f in fields], ["rfc822; bob@reject.test", "rfc822; dan@reject.test"])
        for f in fields:
            self.assertEqual(f["Diagnostic-Code"], "smtp; 550-5.1.1 No such user 550-X-Injected: yes 550 --=_report_x--")
            self.assertNotIn("X-Injected", f)
        self.assertIn("From: Alice <alice@local.test>", headers)
        self.server.wait_log("<RELAY> Bounce ")
        self.assertEqual(self.server.read_log().count("<RELAY> Bounce "), 1, "one bounce for both")

    def test_no_bounce_for_the_empty_sender(self):
        reject = self.receiver(MX_REJECT, ["550 5.1.1 No such user"])
        self.start_server()
        self.send_from("<>", ["<bob@reject.test>"])
        self.server.wait_log("<RELAY> No bounce for ")
        self.wait_queue_empty(5)
        self.assertEqual(len(reject.rcpt_times), 1)
        self.assertEqual(len(self.folder("badmail")), 1)
        self.assertEqual(self.folder("drop"), [])
        self.assertNotIn("<RELAY> Bounce ", self.server.read_log())


class RetryScheduleTest(RetryTestBase):
    def test_sigkill_during_the_wait_keeps_the_schedule(self):
        self.machine.set_settings(RetryFor="1m", RetrySchedule="6s")
        greylist = self.receiver(MX_GREYLIST, ["450 4.7.1 Greylisted", "250 OK"])
        self.start_server()
        self.send(["<bob@greylist.test>"])
        self.server.wait_log("<RELAY> Deferred <bob@greylist.test>: 450 4.7.1 Greylisted; next try in 6 seconds.")
        first_try = greylist.rcpt_times[0]
        self.server.kill()
        self.assertEqual(self.server.proc.returncode, -signal.SIGKILL)

        listing = self.ctl("queue", "list").stdout
        self.assertRegex(listing, r"<bob@greylist.test>\s+deferred\s+1\s+in \d+ s\s+450 4.7.1 Greylisted")

        self.start_server()
        [_] = greylist.wait_messages(1, 15)
        self.assertEqual(len(greylist.rcpt_times), 2, "not tried again at the restart")
        # Tries are due to the second, so the wait may be up to one short.
        self.assertGreaterEqual(greylist.rcpt_times[1] - first_try, 4.9)
        self.wait_queue_empty(5)

    def test_queue_retry_makes_a_waiting_recipient_due_now(self):
        self.machine.set_settings(RetryFor="1d", RetrySchedule="1h")
        greylist = self.receiver(MX_GREYLIST, ["450 4.7.1 Greylisted", "250 OK"])
        self.start_server()
        self.send(["<bob@greylist.test>"])
        self.server.wait_log("<RELAY> Deferred <bob@greylist.test>: 450 4.7.1 Greylisted; next try in 60 minutes.")
        [queued] = self.folder("queue")
        self.assertEqual(self.ctl("queue", "retry", "NO-SUCH-ID").returncode, 1)

        done = self.ctl("queue", "retry", queued[:-len(".eml")])
        self.assertEqual(done.returncode, 0, done.stderr)
        greylist.wait_messages(1, 10)
        self.wait_queue_empty(5)


if __name__ == "__main__":
    qptest.main()
