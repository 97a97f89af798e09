"""Password guessing against the real quillpost -d, over raw sockets from
loopback addresses:

  - every failed PASS or AUTH is answered after a delay of 1, 2, 4, 8 and 8
    seconds, however many guesses one packet holds, and the fifth closes the
    connection ("-ERR too many failed logins", "421 4.7.0 Too many failed
    logins");
  - a client that leaves during a delay is gone at once, not after it;
  - more than 20 failures from one address lock it out (one Error line in the
    trace log): the right password is then refused, while another address
    logs in without delay."""

import base64
import socket
import threading
import time

import qptest
from smtpkit import configure

DELAYS = [1, 2, 4, 8, 8]
LOCKOUT_LINE = "Logins from 127.0.0.1 refused for 10 minutes: more than 20 failed logins within 10 minutes"


class Raw:
    """A raw connection that reads reply lines with their arrival times."""

    def __init__(self, port, source="127.0.0.1"):
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.sock.settimeout(30)
        self.sock.bind((source, 0))
        self.sock.connect(("127.0.0.1", port))
        self.buffer = b""
        self.greeting = self.line()

    def line(self):
        while b"\r\n" not in self.buffer:
            try:
                data = self.sock.recv(65536)
            except ConnectionResetError:
                # Closed with guesses unread: the peer's kernel resets.
                return None
            if not data:
                return None  # closed by the server
            self.buffer += data
        line, self.buffer = self.buffer.split(b"\r\n", 1)
        return line.decode("latin-1")

    def send(self, data):
        try:
            self.sock.sendall(data.encode("latin-1"))
        except (BrokenPipeError, ConnectionResetError):
            pass  # the server closed; what it said before is read by line()

    def command(self, line):
        self.send(line + "\r\n")
        return self.line()

    def close(self):
        self.sock.close()


def plain(user, password):
    return base64.b64encode(b"\0" + user.encode() + b"\0" + password.encode()).decode()


class LoginGuessingTest(qptest.MachineTestCase):
    def setUp(self):
        super().setUp()
        configure(self.machine, ConnectionsLimit=40)
        self.server = self.machine.start_console(log_level=2)
        self.server.wait_ready()

    def test_failed_logins_are_delayed_closed_and_an_address_locked_out(self):
        pop3, smtp = self.server.pop3_port, self.server.smtp_port
        results = {}

        def pipelined_pop3():
            # 20,000 guesses in one packet: each still waits its delay.
            c = Raw(pop3)
            self.assertEqual(c.command("USER joe"), "+OK")
            start = time.monotonic()
            sender = threading.Thread(target=c.send, args=("".join("PASS guess%d\r\n" % i for i in range(20000)),))
            sender.start()
            replies = []
            while True:
                line = c.line()
                if line is None:
                    break
                replies.append((line, time.monotonic() - start))
            sender.join()
            c.close()
            results["pop3"] = replies

        def smtp_guesses():
            c = Raw(smtp)
            self.assertEqual(c.command("EHLO c").splitlines()[0], "250-Supported extensions:")
            while c.line() != "250 OK":
                pass
            replies = [c.command("AUTH PLAIN " + plain("joe", "guess%d" % i)) for i in range(5)]
            results["smtp"] = replies + [c.line()]
            c.close()

        def leaves_during_delay():
            # Three failures, then a fourth whose delay (8 s) the client
            # does not wait for.
            c = Raw(pop3)
            c.command("USER joe")
            for i in range(3):
                self.assertEqual(c.command("PASS wrong%d" % i), "-ERR login failed")
            c.send("PASS wrong3\r\n")
            time.sleep(0.2)
            count = self.server.read_log().count("<POP3> Client disconnected from 127.0.0.1")
            left = time.monotonic()
            c.close()
            qptest.wait_until(
                lambda: self.server.read_log().count("<POP3> Client disconnected from 127.0.0.1") > count, 10,
                "the disconnection")
            results["left"] = time.monotonic() - left

        threads = [threading.Thread(target=f) for f in (pipelined_pop3, smtp_guesses, leaves_during_delay)]
        for t in threads:
            t.start()
        for t in threads:
            t.join(60)

        replies = results["pop3"]
        self.assertEqual([line for line, _ in replies], ["-ERR login failed"] * 4 + ["-ERR too many failed logins"])
        gaps = [b - a for (_, a), (_, b) in zip([("", 0.0)] + replies, replies)]
        for delay, gap in zip(DELAYS, gaps):
            self.assertGreaterEqual(gap, delay - 0.05, gaps)
            self.assertLess(gap, delay + 1.5, gaps)
        self.assertEqual(results["smtp"], ["501 Authentication failed."] * 4 + ["421 4.7.0 Too many failed logins", None])
        self.assertLess(results["left"], 3, "the slot is freed before the delay is over")

        # 5 + 5 + 4 failures so far: seven more lock the address out.
        def more_smtp():
            c = Raw(smtp)
            c.command("HELO c")
            for i in range(4):
                self.assertEqual(c.command("AUTH PLAIN " + plain("joe", "more%d" % i)), "501 Authentication failed.")
            c.close()

        def more_pop3():
            c = Raw(pop3)
            c.command("USER joe")
            for i in range(3):
                self.assertEqual(c.command("PASS more%d" % i), "-ERR login failed")
            c.close()

        threads = [threading.Thread(target=f) for f in (more_smtp, more_pop3)]
        for t in threads:
            t.start()
        for t in threads:
            t.join(60)
        self.server.wait_log(LOCKOUT_LINE)

        # Locked out: the right password is refused. Another address is not.
        c = Raw(pop3)
        c.command("USER joe")
        self.assertEqual(c.command("PASS secret"), "-ERR login failed")
        c.close()
        other = Raw(pop3, source="127.0.0.2")
        other.command("USER joe")
        start = time.monotonic()
        self.assertEqual(other.command("PASS secret"), "+OK authentication successful")
        self.assertLess(time.monotonic() - start, DELAYS[0] - 0.1, "a successful login is not delayed")
        other.close()
        self.assertEqual(self.server.read_log().count(LOCKOUT_LINE), 1)
        self.server.stop()


if __name__ == "__main__":
    qptest.main()
