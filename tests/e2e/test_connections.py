"""The connection framework against the real quillpost -d: greetings, the
connection limit, the IP filter, the idle time-out, the receive limit, the
stop of live connections (also of one that does not end in time), and a
port that is already taken."""

import os
import signal
import socket
import time

import qptest
from test_config_log import Client

SMTP_GREETING = b"220 Kestrune Mail Server"
POP3_GREETING = b"+OK Kestrune Mail Server ready"
REFUSED_SMTP = b"421 Service not available"


def log_lines(machine):
    return [line[24:] for line in machine.read_log().split("\r\n") if line]


def wait_closed(sock, timeout=10):
    """True when the server closes the connection without sending anything."""
    sock.settimeout(timeout)
    try:
        return sock.recv(1) == b""
    except ConnectionResetError:
        return True


def wait_disconnected(server, count, what):
    """A session's thread leaves the server's list, and gives back its slot,
    before its disconnection is logged: once `count` such lines are there,
    that many sessions have ended."""
    qptest.wait_until(lambda: server.read_log().count("> Client disconnected from 127.0.0.1") >= count, 10, what)


class GreetingAndLimitTest(qptest.MachineTestCase):
    def test_greetings_on_both_ports(self):
        server = self.machine.start_console()
        server.wait_ready()
        for port, greeting in ((server.smtp_port, SMTP_GREETING), (server.pop3_port, POP3_GREETING)):
            c = Client(port)
            self.assertEqual(c.read_line(), greeting)
            c.close()
        server.stop()

    def test_second_client_over_a_limit_of_zero_is_refused_in_log_order(self):
        m = self.machine
        m.set_settings(ConnectionsLimit=0)
        server = m.start_console(log_level=2)
        server.wait_ready()
        wait_disconnected(server, 2, "the readiness probes to leave")
        first = Client(server.smtp_port)
        self.assertEqual(first.read_line(), SMTP_GREETING)
        second = Client(server.pop3_port)
        self.assertEqual(second.read_line(), b"-ERR too many users")
        self.assertTrue(wait_closed(second.sock))
        third = Client(server.smtp_port)
        self.assertEqual(third.read_line(), REFUSED_SMTP)
        self.assertTrue(wait_closed(third.sock))
        first.command(b"QUIT")
        first.close()
        # With the first client gone, the next one is served again.
        wait_disconnected(server, 5, "the first client to leave")
        fourth = Client(server.pop3_port)
        self.assertEqual(fourth.read_line(), POP3_GREETING)
        fourth.close()
        server.stop()
        # The SMTP sessions' lines are left out: a reply is logged after it
        # went out, so a line of the next connection may come before it.
        lines = [line for line in log_lines(m) if line.startswith("<POP3> ")]
        start = lines.index("<POP3> Connection denied: Too many users!") - 1
        self.assertEqual(lines[start:start + 4], [
            "<POP3> Client connected from 127.0.0.1",
            "<POP3> Connection denied: Too many users!",
            "<POP3> -ERR too many users",
            "<POP3> Client disconnected from 127.0.0.1"])

    def test_one_address_holds_at_most_a_quarter_of_the_slots(self):
        m = self.machine
        m.set_settings(ConnectionsLimit=20)
        server = m.start_console(log_level=2)
        server.wait_ready()
        wait_disconnected(server, 2, "the readiness probes to leave")
        ports = [server.pop3_port, server.smtp_port]
        # Five slots across both protocols; the sixth of the address is
        # refused as over the limit, in either protocol.
        held = [Client(ports[i % 2]) for i in range(5)]
        for i, c in enumerate(held):
            self.assertEqual(c.read_line(), (POP3_GREETING, SMTP_GREETING)[i % 2])
        for port, refusal in ((server.smtp_port, REFUSED_SMTP), (server.pop3_port, b"-ERR too many users")):
            c = Client(port)
            self.assertEqual(c.read_line(), refusal)
            self.assertTrue(wait_closed(c.sock))
        # Another address is not kept out.
        others = [Client(ports[i % 2], "127.0.0.2") for i in range(5)]
        for i, c in enumerate(others):
            self.assertEqual(c.read_line(), (POP3_GREETING, SMTP_GREETING)[i % 2])
        # A slot given back can be taken again.
        held.pop().close()
        wait_disconnected(server, 5, "the slot to be given back")
        again = Client(server.smtp_port)
        self.assertEqual(again.read_line(), SMTP_GREETING)
        for c in held + others + [again]:
            c.close()
        server.stop()
        self.assertIn("<SMTP> Connection denied: Too many connections from this address!", log_lines(m))


    def check(self, mode, entries, expect_local, expect_other):
        m = self.machine
        m.set_settings(IPFilterMode=mode)
        m.set_list("IpFilter", "Addresses", entries)
        server = m.start_console(log_level=2)
        server.wait_ready()
        for source, allowed in (("127.0.0.1", expect_local), ("127.0.0.2", expect_other)):
            smtp = Client(server.smtp_port, source)
            self.assertEqual(smtp.read_line(), SMTP_GREETING if allowed else REFUSED_SMTP, (mode, source))
            smtp.close()
            pop3 = Client(server.pop3_port, source)
            self.assertEqual(pop3.read_line(), POP3_GREETING if allowed else b"-ERR forbidden", (mode, source))
            pop3.close()
        server.stop()
        if not (expect_local and expect_other):
            self.assertIn("<SMTP> Connection denied: IP address was rejected by the server.", log_lines(m))

    def test_mode_0_accepts_everyone(self):
        self.check(0, ["127.0.0.2 127.0.0.2"], True, True)

    def test_mode_1_refuses_listed_addresses(self):
        self.check(1, ["127.0.0.2 127.0.0.2"], True, False)

    def test_mode_2_accepts_only_listed_addresses(self):
        self.check(2, ["127.0.0.1-127.0.0.1", "10.*.*.*"], True, False)

    def test_other_modes_refuse_everyone(self):
        self.check(7, [], False, False)


class SessionLimitsTest(qptest.MachineTestCase):
    def test_idle_client_is_disconnected_without_a_reply(self):
        m = self.machine
        m.set_settings(Timeout=2)
        server = m.start_console(log_level=2)
        server.wait_ready()
        c = Client(server.pop3_port)
        c.read_line()
        started = time.time()
        self.assertTrue(wait_closed(c.sock, timeout=10))
        self.assertLess(time.time() - started, 6)
        server.wait_log("<POP3> Connection timed out")
        server.stop()

    def test_receive_limit_is_8192_bytes_without_a_line_end(self):
        m = self.machine
        server = m.start_console(log_level=2)
        server.wait_ready()
        c = Client(server.smtp_port)
        c.read_line()
        c.sock.sendall(b"X" * 8190 + b"\r\n")  # exactly the limit: one line
        self.assertEqual(c.read_line(), b"503 Bad sequence of commands (given out of order)")
        c.sock.sendall(b"Y" * 8192)
        c.sock.settimeout(0.5)
        with self.assertRaises(socket.timeout, msg="8192 bytes without a line end are kept"):
            c.sock.recv(1)
        c.sock.sendall(b"Y")
        self.assertTrue(wait_closed(c.sock))
        server.wait_log("<SMTP> Buffer overflow: DOS attack?")
        server.stop()

    def test_stop_with_clients_connected_stops_each_thread(self):
        m = self.machine
        server = m.start_console(log_level=2)
        server.wait_ready()
        # Once the readiness probes left, only the clients below are left
        # for the stop.
        wait_disconnected(server, 2, "the readiness probes to leave")
        clients = [Client(server.smtp_port), Client(server.pop3_port), Client(server.pop3_port)]
        for c in clients:
            c.read_line()
        self.assertEqual(server.stop(), 1)
        lines = log_lines(m)
        self.assertEqual(lines.count("Shutting down thread..."), 3)
        self.assertEqual(lines.count("Thread successfully stopped."), 3)
        self.assertNotIn("Problem while killing thread.", lines)
        self.assertLess(lines.index("Mail Server stopped."), lines.index("*** APPLICATION STOPPED ***"))
        for c in clients:
            self.assertTrue(wait_closed(c.sock))


    def test_burst_of_clients_is_greeted_and_a_stop_meanwhile_ends_every_thread(self):
        # The threads of a burst are made after the accepts: every client is
        # greeted all the same, and a stop that comes while threads still
        # wait to be made stops each of them.
        m = self.machine
        m.set_settings(ConnectionsLimit=1000)  # one address may hold 250
        server = m.start_console(log_level=2)
        server.wait_ready()
        qptest.wait_until(lambda: server.read_log().count("> Client disconnected from 127.0.0.1") >= 2,
                          10, "the readiness probes to leave")
        burst = [socket.create_connection(("127.0.0.1", server.smtp_port), timeout=30) for _ in range(120)]
        for sock in burst:
            self.assertEqual(sock.makefile("rb").readline(), SMTP_GREETING + b"\r\n")
        burst += [socket.create_connection(("127.0.0.1", server.smtp_port), timeout=30) for _ in range(120)]
        self.assertEqual(server.stop(), 1)
        lines = log_lines(m)
        stopped = lines.count("Thread successfully stopped.")
        self.assertEqual(lines.count("Shutting down thread..."), stopped)
        self.assertGreaterEqual(stopped, 120)
        self.assertNotIn("Problem while killing thread.", lines)
        for sock in burst:
            # Greeted or not yet taken from the backlog: closed either way.
            try:
                self.assertIn(sock.makefile("rb").read(), (b"", SMTP_GREETING + b"\r\n"))
            except ConnectionResetError:
                pass
            sock.close()

    def test_thread_that_does_not_end_in_time_is_left_without_the_server(self):
        # A client that takes none of a large RETR keeps its thread in a send
        # past the stop's wait; the thread ends after the server object is
        # gone, and must not reach it.
        m = self.machine
        m.set_list("UserAccounts", "Users", [("joe", "Joe", "secret")])
        server = m.start_console(log_level=2)
        server.wait_ready()
        with open(os.path.join(m.native("c:\\Mailboxes\\joe"), "big.eml"), "wb") as f:
            f.write((b"x" * 998 + b"\r\n") * (48 * 1024))
        c = Client(server.pop3_port)
        c.sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
        c.read_line()
        c.command(b"USER joe")
        self.assertEqual(c.command(b"PASS secret"), b"+OK authentication successful")
        c.sock.sendall(b"RETR 1\r\n")
        server.wait_log("<POP3> RETR 1")
        server.proc.send_signal(signal.SIGINT)
        server.wait_log("Problem while killing thread.", timeout=20)
        c.close()  # the send fails now, and the thread ends
        # The stop is under way: the process ends on its own (a second
        # interrupt would come after its handler is gone).
        server.proc.wait(20)
        self.assertEqual(server.stop(), 1)
        self.assertNotIn("Sanitizer", server.output())


class PortTakenTest(qptest.MachineTestCase):
    def test_smtp_port_taken_leaves_pop3_serving(self):
        m = self.machine
        m.set_list("UserAccounts", "Users", [("joe", "Joe", "secret")])
        pop3_port, smtp_port = m.prepare_server(log_level=2)
        holder = socket.socket()
        holder.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        holder.bind(("0.0.0.0", smtp_port))
        holder.listen(1)
        try:
            server = m.start_console()
            server.wait_port(pop3_port)
            mailbox = m.native("c:\\Mailboxes\\joe")
            with open(os.path.join(mailbox, "m.eml"), "wb") as f:
                f.write(b"Subject: s\r\n\r\nb\r\n")
            c = Client(pop3_port)
            self.assertEqual(c.read_line(), POP3_GREETING)
            c.command(b"USER joe")
            self.assertEqual(c.command(b"PASS secret"), b"+OK authentication successful")
            self.assertEqual(c.command(b"DELE 1"), b"+OK message 1 marked as deleted")
            # The stop still ends the POP3 client's thread, which carries out
            # its marks.
            server.stop()
            self.assertTrue(wait_closed(c.sock))
            self.assertEqual(os.listdir(mailbox), [])
        finally:
            holder.close()
        lines = log_lines(m)
        self.assertIn("<POP3> Server started on port %d." % pop3_port, lines)
        self.assertIn("<SMTP> Server failed to start on port %d." % smtp_port, lines)
        self.assertIn("Shutting down thread...", lines)
        self.assertIn("Thread successfully stopped.", lines)
        self.assertIn("Mail Service stopping...", lines)
        self.assertNotIn("Mail Server stopped.", lines)
        self.assertNotIn("*** APPLICATION STOPPED ***", lines)


if __name__ == "__main__":
    qptest.main()
