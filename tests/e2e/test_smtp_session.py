"""The SMTP service end to end with real clients: Python's smtplib and curl
send mail to local and remote recipients; the spool format is checked byte
for byte in the mailbox and queue folders, and the drop folder is emptied."""

import os
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import qptest  # noqa: E402
from smtpkit import (Dialogue, QUEUED, client, files, read, spool_pattern, start,  # noqa: E402
                     wait_delivered, wait_for)


class SmtpClientsTest(qptest.MachineTestCase):
    def setUp(self):
        super().setUp()
        self.server = start(self.machine)

    def assertSpool(self, data, sender, recipients, helo, text):
        self.assertRegex(data, spool_pattern(sender, recipients, helo, text))

    def test_smtplib_login_local_and_remote(self):
        with client(self.server) as c:
            c.login("joe", "secret")
            c.ehlo_or_helo_if_needed()
            c.mail("joe@d1.test")
            c.rcpt("ann@d1.test")
            c.rcpt("friend@remote.test")
            code, reply = c.data(b"Subject: hi\r\n\r\nhello\r\n.dot line\r\n")
        self.assertEqual(code, 250)
        queue_id = QUEUED.match("250 " + reply.decode()).group(1)
        wait_delivered(self.machine, queue_id, ["ann", "queue"])
        name = queue_id + ".eml"
        self.assertEqual(files(self.machine, "ann"), [name])
        self.assertEqual(files(self.machine, "queue"), [name])
        self.assertEqual(files(self.machine, "joe"), [])
        self.assertEqual(files(self.machine, "drop"), [])
        stored = read(self.machine, "ann", name)
        self.assertSpool(stored, "<joe@d1.test>", ["<ann@d1.test>", "<friend@remote.test>"],
                         "client.test", b"Subject: hi\r\n\r\nhello\r\n..dot line\r\n")
        self.assertEqual(read(self.machine, "queue", name), stored, "copies are the same bytes")

    def test_sendmail_many_recipients(self):
        remote = ["r%d@remote%d.test" % (i, i) for i in range(3)]
        with client(self.server) as c:
            c.login("ann", "pw2")
            refused = c.sendmail("ann@d1.test", ["joe@d1.test"] + remote + ["ann@d1.test"],
                                 "Subject: many\r\n\r\nx\r\n")
        self.assertEqual(refused, {})
        wait_for(lambda: files(self.machine, "queue") and files(self.machine, "ann"),
                 10, "delivery")
        wait_delivered(self.machine, files(self.machine, "queue")[0][:-4], ["joe", "ann", "queue"])
        self.assertEqual(len(files(self.machine, "joe")), 1)
        self.assertEqual(len(files(self.machine, "ann")), 1)
        self.assertEqual(len(files(self.machine, "queue")), 1, "one queued copy for every remote")
        queued = read(self.machine, "queue", files(self.machine, "queue")[0])
        for r in ["joe@d1.test"] + remote + ["ann@d1.test"]:
            self.assertIn(("x-receiver: <%s>\r\n" % r).encode(), queued)

    def test_catch_all_and_upper_case_recipient(self):
        with client(self.server) as c:
            c.sendmail("x@remote.test", ["JOE@D1.TEST"], "Subject: a\r\n\r\na\r\n")
            c.sendmail("x@remote.test", ["nobody@d1.test", "nemo@D1.test"], "Subject: b\r\n\r\nb\r\n")
        wait_for(lambda: files(self.machine, "joe") and files(self.machine, "admin")
                 and not files(self.machine, "drop"), 10, "delivery")
        self.assertEqual(len(files(self.machine, "joe")), 1)
        self.assertEqual(len(files(self.machine, "admin")), 1, "two unknown users, one copy")
        self.assertEqual(files(self.machine, "queue"), [])

    def test_unauthenticated_remote_recipient_refused(self):
        with client(self.server) as c:
            c.ehlo()
            c.mail("x@remote.test")
            self.assertEqual(c.rcpt("y@remote.test"), (551, b"Client was not authenticated"))
            self.assertEqual(c.rcpt("joe@d1.test"), (250, b"OK"))

    def curl(self, *args, body):
        with tempfile.NamedTemporaryFile(delete=False) as f:
            f.write(body)
        self.addCleanup(os.unlink, f.name)
        return subprocess.run(["curl", "-sS", "--max-time", "30", "--noproxy", "*",
                               "smtp://127.0.0.1:%d/client.test" % self.server.smtp_port,
                               "-T", f.name] + list(args),
                              capture_output=True, timeout=60)

    def test_curl(self):
        body = b"Subject: curl\r\n\r\nfirst\r\n.starts with a dot\r\n"
        result = self.curl("--mail-from", "joe@d1.test", "--mail-rcpt", "ann@d1.test",
                           "--mail-rcpt", "far@remote.test", "--user", "joe:secret", body=body)
        self.assertEqual(result.returncode, 0, result.stderr)
        wait_for(lambda: files(self.machine, "ann") and files(self.machine, "queue")
                 and not files(self.machine, "drop"), 10, "delivery")
        name = files(self.machine, "ann")[0]
        self.assertEqual(files(self.machine, "queue"), [name])
        self.assertSpool(read(self.machine, "ann", name), "<joe@d1.test>",
                         ["<ann@d1.test>", "<far@remote.test>"], "client.test",
                         b"Subject: curl\r\n\r\nfirst\r\n..starts with a dot\r\n")

    def test_curl_wrong_password(self):
        result = self.curl("--mail-from", "joe@d1.test", "--mail-rcpt", "far@remote.test",
                           "--user", "joe:nope", body=b"Subject: x\r\n\r\nx\r\n")
        self.assertNotEqual(result.returncode, 0)
        self.assertEqual(files(self.machine, "queue"), [])


class SpoolFormatTest(qptest.MachineTestCase):
    """Exact bytes over a raw connection."""

    def setUp(self):
        super().setUp()
        self.server = start(self.machine)

    def send(self, d, helo, sender, recipients, data):
        self.assertEqual(d.command("HELO " + helo), "250 OK")
        self.assertEqual(d.command("MAIL FROM:" + sender), "250 OK")
        for r in recipients:
            self.assertEqual(d.command("RCPT TO:" + r), "250 OK")
        self.assertEqual(d.command("DATA"), "354 End with <CRLF>.<CRLF>")
        d.send(data)
        reply = d.reply()
        self.assertRegex(reply, QUEUED)
        return QUEUED.match(reply).group(1)

    def test_spool_bytes(self):
        cases = [
            ("header and body", b"Subject: s\r\n\r\nbody\r\n.\r\n", b"Subject: s\r\n\r\nbody\r\n"),
            ("dot-stuffed and trailing blanks", b"a \r\n..b\r\n\r\n.\r\n", b"a \r\n..b\r\n\r\n"),
            ("empty message", b".\r\n", b""),
        ]
        with Dialogue(self.server.smtp_port) as d:
            self.assertEqual(d.greeting, "220 Kestrune Mail Server")
            for label, data, stored in cases:
                with self.subTest(label):
                    queue_id = self.send(d, "my.host", " <s@x.test> ", ["<joe@d1.test>", "ann@d1.test"], data)
                    wait_delivered(self.machine, queue_id, ["joe", "ann"])
                    self.assertRegex(read(self.machine, "joe", queue_id + ".eml"),
                                     spool_pattern("<s@x.test>", ["<joe@d1.test>", "<ann@d1.test>"],
                                                   "my.host", stored))
            self.assertEqual(d.command("QUIT"), "221 Bye")
        self.assertEqual(files(self.machine, "drop"), [])

    def test_terminator_split_over_reads(self):
        with Dialogue(self.server.smtp_port) as d:
            d.command("HELO h")
            d.command("MAIL FROM:<a@d1.test>")
            d.command("RCPT TO:<joe@d1.test>")
            d.command("DATA")
            for part in (b"Subject: s\r\n", b"\r\nbody\r", b"\n.", b"\r", b"\n"):
                d.send(part)
                time.sleep(0.05)
            self.assertRegex(d.reply(), QUEUED)


class MessageSizeTest(qptest.MachineTestCase):
    def test_limit_is_announced_and_larger_mail_refused(self):
        too_large = "552 5.3.4 Message size exceeds fixed maximum message size"
        server = start(self.machine, MaxMessageSize=10000)
        with Dialogue(server.smtp_port) as d:
            self.assertIn("\r\n250-SIZE 10000\r\n250 OK", d.command("EHLO h"))
            self.assertEqual(d.command("MAIL FROM:<a@d1.test> SIZE=10001"), too_large)
            self.assertEqual(d.command("MAIL FROM:<a@d1.test> SIZE=500"), "250 OK")
            self.assertEqual(d.command("RCPT TO:<joe@d1.test>"), "250 OK")
            self.assertEqual(d.command("DATA"), "354 End with <CRLF>.<CRLF>")
            # The client lied about the size: 20 MB follow.
            line = b"x" * 998 + b"\r\n"
            for _ in range(20 * 1024):
                d.send(line)
            d.send(b".\r\n")
            self.assertEqual(d.reply(), too_large)
            self.assertEqual(files(self.machine, "drop"), [])
            self.assertEqual(files(self.machine, ".tmp"), [], "nothing written")
            # The session goes on, and a message under the limit is stored.
            self.assertEqual(d.command("MAIL FROM:<a@d1.test>"), "250 OK")
            self.assertEqual(d.command("RCPT TO:<joe@d1.test>"), "250 OK")
            self.assertEqual(d.command("DATA"), "354 End with <CRLF>.<CRLF>")
            d.send(b"Subject: small\r\n\r\nhi\r\n.\r\n")
            queue_id = QUEUED.match(d.reply()).group(1)
        wait_delivered(self.machine, queue_id, ["joe"])
        self.assertEqual(files(self.machine, "joe"), [queue_id + ".eml"])


if __name__ == "__main__":
    qptest.main()
