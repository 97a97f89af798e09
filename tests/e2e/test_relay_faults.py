"""The relay when things go wrong, end to end: the real quillpost relays to
SmtpReceiver peers (test_relay.py) on loopback, and no mail is lost, sent
twice or ended early:

  - a receiver that answers the end of the text after the relay time-out
    gets the message once, and the next exchanger nothing;
  - a bad-mail folder that takes no copy keeps the message in the queue;
  - a queued file that cannot be deleted is delivered once;
  - a crash after the first of three recipients sends each one copy;
  - a "." line after a bare LF arrives as text, in one transaction.

Addresses: 127.0.66.x (test_relay.py uses 127.0.62.x, test_relay_dns.py
127.0.64.x). The relay sends to port 25 and asks port 53, and the tests
make folders immutable or append-only with chattr: they need root and a
file system that has those attributes, and skip otherwise.
"""

import os
import signal
import subprocess
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import qptest  # noqa: E402
import test_relay  # noqa: E402
from smtpkit import Dialogue  # noqa: E402
from test_relay_dns import FakeDns, mx, reply  # noqa: E402

DNS_IP = "127.0.66.53"
MX_SLOW = "127.0.66.20"
MX_NEXT = "127.0.66.21"
MX_A = "127.0.66.22"
NOBODY_LISTENS = "127.0.66.23"


def setUpModule():
    # The peers' fixed addresses (port 25 and 53) are shared with the runs
    # of other build folders on this machine.
    qptest.hold_peer_addresses(DNS_IP)


class RelayFaultTest(test_relay.RelayTestBase):
    mx_records = ("a.test|" + MX_A, "gone.test|" + NOBODY_LISTENS)

    def setUp(self):
        super().setUp()
        # A file left in the queue is looked at again every second.
        self.machine.set_settings(DNSServer=DNS_IP, ScanInterval=1)

    def mail_folder(self, name):
        path = self.machine.native("c:\\Mailboxes\\" + name)
        os.makedirs(path, exist_ok=True)
        return path

    def chattr(self, flag, path):
        """Sets an attribute (+i immutable, +a append-only) until the test
        ends or undo() is called."""
        done = subprocess.run(["chattr", flag, path], capture_output=True, text=True)
        if done.returncode != 0:
            self.skipTest("chattr %s: %s" % (flag, done.stderr.strip()))
        undo = lambda: subprocess.run(["chattr", "-" + flag[1:], path], capture_output=True)  # noqa: E731
        self.addCleanup(undo)
        return undo

    def relay_log_count(self, text):
        return self.server.read_log().count(text)

    def wait_scans(self, name, count):
        """Until the queue pass has looked at the file `count` more times."""
        line = "<RELAY> Checking file: " + name
        seen = self.relay_log_count(line)
        qptest.wait_until(lambda: self.relay_log_count(line) >= seen + count, 10, "%d more scans of %s" % (count, name))

    def test_final_reply_after_the_relay_timeout_is_waited_for(self):
        self.machine.set_settings(RelayTimeout=2)
        self.addCleanup(FakeDns(DNS_IP, lambda q: [(reply(q, [mx(q.name, 10, MX_SLOW),
                                                              mx(q.name, 20, MX_NEXT)]), None)]).stop)
        slow = self.receiver(MX_SLOW, data_delay=5)
        following = self.receiver(MX_NEXT)
        self.start_server()
        self.send(["<bob@slow.test>"])

        [got] = slow.wait_transactions(1, 10)
        self.assertEqual(got.rcpts, ["<bob@slow.test>"])
        self.wait_queue_empty(5)
        self.server.wait_log("<RELAY> Finished delivery of mail.")
        self.assertEqual(following.connections, 0, "no second copy at the next exchanger")
        self.assertEqual(self.folder("badmail"), [])
        self.assertEqual(slow.quits, 1, "the acceptance was read")

    def test_message_stays_queued_while_the_bad_mail_folder_takes_no_copy(self):
        badmail = self.mail_folder("badmail")
        writable_again = self.chattr("+i", badmail)
        self.start_server()
        self.send(["<nobody@gone.test>"])

        [name] = self.wait_folder("queue", 1, 5)
        self.server.wait_log("<RELAY> ERROR: Cannot copy %s to the bad-mail folder: Access is denied. "
                             "It stays in the queue." % name)
        self.assertIn("<RELAY> Copying message to: ", self.server.read_log())
        self.wait_scans(name, 2)
        self.assertEqual(self.folder("queue"), [name])
        self.assertEqual(self.relay_log_count("<RELAY> Delivering email to '<nobody@gone.test>'"), 1,
                         "the recipient is not tried again, only the copy")

        writable_again()
        self.wait_queue_empty(5)
        self.assertEqual(self.folder("badmail"), [name])
        with open(os.path.join(badmail, name), "rb") as f:
            self.assertTrue(f.read().startswith(b"x-sender: <alice@local.test>\r\nx-receiver: <nobody@gone.test>\r\n"))

    def test_queued_file_that_cannot_be_deleted_is_delivered_once(self):
        a = self.receiver(MX_A)
        deletable_again = self.chattr("+a", self.mail_folder("queue"))
        self.start_server()
        self.send(["<bob@a.test>"])

        a.wait_transactions(1, 5)
        self.server.wait_log("<RELAY> ERROR: Failed to delete: ")
        [name] = self.folder("queue")
        self.wait_scans(name, 1)  # the file is looked at again
        self.assertEqual(len(a.received()), 1)
        self.assertEqual(a.connections, 1)

        deletable_again()
        self.wait_queue_empty(5)
        self.wait_queue_empty(5, "queue\\journal")  # removed just after the file
        self.assertEqual(len(a.received()), 1)

    def test_crash_after_the_first_of_three_recipients_sends_each_one_copy(self):
        a = self.receiver(MX_A, hold_after=1)
        self.start_server()
        self.send(["<r1@a.test>", "<r2@a.test>", "<r3@a.test>"])

        self.assertTrue(a.held.wait(10), "the relay began the second recipient")
        self.server.kill()
        self.assertEqual(self.server.proc.returncode, -signal.SIGKILL)
        a.release.set()
        self.assertEqual([t.rcpts for t in a.received()], [["<r1@a.test>"]])

        self.start_server()  # the queued file and its journal as the crash left them
        a.wait_transactions(3, 10)
        self.wait_queue_empty(5)
        self.server.wait_log("<RELAY> Finished delivery of mail.")
        self.assertEqual([t.rcpts for t in a.received()], [["<r1@a.test>"], ["<r2@a.test>"], ["<r3@a.test>"]])

    def test_dot_line_after_a_bare_lf_is_relayed_as_text_in_one_transaction(self):
        a = self.receiver(MX_A)
        self.start_server()
        # Read by a server that cuts lines at LF, this text would end at the
        # "." and go on as a second transaction of our own.
        smuggled = (b"hello\n.\nMAIL FROM:<evil@evil.test>\nRCPT TO:<victim@a.test>\nDATA\n"
                    b"forged\n.\nQUIT")
        with Dialogue(self.server.smtp_port) as client:
            self.assertTrue(client.command("HELO client.local.test").startswith("250"))
            self.assertTrue(client.command("MAIL FROM: <alice@local.test>").startswith("250"))
            self.assertTrue(client.command("RCPT TO: <bob@a.test>").startswith("250"))
            self.assertTrue(client.command("DATA").startswith("354"))
            client.send(b"Subject: bare\r\n\r\n" + smuggled + b"\r\n.\r\n")
            self.assertTrue(client.reply().startswith("250"))

        [got] = a.wait_transactions(1, 5)
        self.wait_queue_empty(5)
        self.server.wait_log("<RELAY> Finished delivery of mail.")
        self.assertEqual(len(a.received()), 1)
        self.assertEqual(got.rcpts, ["<bob@a.test>"])
        # Line ends in CR LF, then the empty line the relay ends the text with.
        self.assertTrue(got.data.endswith(b"Subject: bare\r\n\r\n" + smuggled.replace(b"\n", b"\r\n") + b"\r\n\r\n"),
                        got.data)


if __name__ == "__main__":
    qptest.main()
