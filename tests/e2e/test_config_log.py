"""Settings loaded from the registry, the reload on "Mail Service Event", and
the trace log, against the real quillpost -d."""

import base64
import os
import smtplib
import socket
import stat
import subprocess
import time

import qptest

NOT_AUTHENTICATED = b"551 Client was not authenticated"


def signal_reload(machine):
    """Signals "Mail Service Event" as the applet does (a byte into its FIFO)."""
    path = os.path.join(machine.home, "run", "Mail Service Event")
    fd = os.open(path, os.O_WRONLY | os.O_NONBLOCK)
    try:
        os.write(fd, b"\x01")
    finally:
        os.close(fd)


class Client:
    """A line-based client: send a command, read its reply."""

    def __init__(self, port, source="127.0.0.1"):
        self.sock = socket.create_connection(("127.0.0.1", port), timeout=5,
                                             source_address=(source, 0))
        self.buffer = b""

    def read_line(self):
        while b"\r\n" not in self.buffer:
            data = self.sock.recv(4096)
            if not data:
                raise EOFError("connection closed")
            self.buffer += data
        line, self.buffer = self.buffer.split(b"\r\n", 1)
        return line

    def command(self, line):
        self.sock.sendall(line + b"\r\n")
        return self.read_line()

    def close(self):
        self.sock.close()


def rcpt_reply(port, address):
    c = Client(port)
    c.read_line()
    c.command(b"HELO test")
    c.command(b"MAIL FROM:<sender@example.org>")
    reply = c.command(b"RCPT TO:<" + address + b">")
    c.command(b"QUIT")
    c.close()
    return reply


def pop3_login(port, user, password):
    c = Client(port)
    c.read_line()
    c.command(b"USER " + user)
    reply = c.command(b"PASS " + password)
    c.command(b"QUIT")
    c.close()
    return reply


class DefaultsTest(qptest.MachineTestCase):
    def test_empty_hive_gives_the_admin_account_and_its_folder(self):
        m = self.machine
        server = m.start_console()
        server.wait_ready()
        self.assertTrue(os.path.isdir(m.native("c:\\Mailboxes\\admin")))
        # The default account takes mail but cannot log in without a password.
        self.assertEqual(pop3_login(server.pop3_port, b"ADMIN", b""), b"-ERR login failed")
        with smtplib.SMTP("127.0.0.1", server.smtp_port, local_hostname="client.test", timeout=10) as c:
            c.ehlo()
            with self.assertRaises(smtplib.SMTPAuthenticationError):
                c.login("admin", "")
        # No local domain: every recipient needs authentication by default.
        self.assertEqual(rcpt_reply(server.smtp_port, b"admin@anywhere.test"), NOT_AUTHENTICATED)
        self.assertEqual(server.stop(), 1)
        self.assertEqual(m.read_log(), "", "LogLevel 0 writes nothing")
        self.assertFalse(os.path.exists(m.log_path))

    def test_native_mail_folder_with_trailing_separators(self):
        m = self.machine
        folder = os.path.join(m.home, "native-mail")
        m.set_settings(MailFolder=folder + "//")
        server = m.start_console()
        server.wait_ready()
        self.assertTrue(os.path.isdir(os.path.join(folder, "admin")))
        server.stop()

    def test_empty_user_names_and_passwords_never_log_in(self):
        m = self.machine
        m.set_list("UserAccounts", "Users", [("", "", ""), ("", "No name", "pw"), ("joe", "Joe", "secret")])
        server = m.start_console()
        server.wait_ready()
        with smtplib.SMTP("127.0.0.1", server.smtp_port, local_hostname="client.test", timeout=10) as c:
            c.ehlo()
            for credentials in (b"\0\0", b"\0\0pw", b"joe\0\0", b"\0joe\0"):
                with self.subTest(credentials):
                    self.assertEqual(c.docmd("AUTH", "PLAIN")[0], 334)
                    self.assertEqual(c.docmd(base64.b64encode(credentials).decode())[0], 501)
            self.assertEqual(c.login("joe", "secret")[0], 235)
        self.assertEqual(pop3_login(server.pop3_port, b"", b"pw"), b"-ERR Command not valid in this state")
        self.assertEqual(pop3_login(server.pop3_port, b"joe", b""), b"-ERR login failed")
        server.stop()

    def test_empty_user_list_gives_no_account(self):
        m = self.machine
        m.set_list("UserAccounts", "Users", [])
        server = m.start_console()
        server.wait_ready()
        self.assertEqual(pop3_login(server.pop3_port, b"admin", b""), b"-ERR login failed")
        server.stop()


class TraceLogTest(qptest.MachineTestCase):
    def test_trace_level_writes_start_and_stop_lines_and_a_restart_appends(self):
        m = self.machine
        server = m.start_console(log_level=2)
        server.wait_ready()
        server.stop()
        first = m.read_log()
        for line in ("<POP3> Server started on port %d." % server.pop3_port,
                     "<SMTP> Server started on port %d." % server.smtp_port,
                     "Mail Server stopped.", "*** APPLICATION STOPPED ***"):
            self.assertIn(line, first)
        self.assertNotIn("Loading configuration...", first, "the log opens after the first load")
        # Every line: MM/DD/YYYY HH:MM:SS.mmm text CR LF.
        for line in first.split("\r\n")[:-1]:
            self.assertRegex(line, r"^\d\d/\d\d/\d{4} \d\d:\d\d:\d\d\.\d{3} ")
        mode = stat.S_IMODE(os.stat(m.log_path).st_mode)
        self.assertEqual(mode & 0o007, 0, "the trace log is not world-readable")

        server = m.start_console()
        server.wait_ready()
        server.stop()
        second = m.read_log()
        self.assertTrue(second.startswith(first), "a restart appends")
        self.assertEqual(second.count("*** APPLICATION STOPPED ***"), 2)

    def test_error_level_writes_only_errors_and_the_closing_line(self):
        m = self.machine
        server = m.start_console(log_level=1)
        server.wait_ready()
        # A malformed list, taken up by a reload, is an error worth a line.
        m.set_values("Domains", Extensions=b"\x05\x00\x03ab")
        signal_reload(m)
        server.wait_log("Malformed list ignored: Domains\\Extensions")
        server.stop()
        lines = [l[24:] for l in m.read_log().split("\r\n") if l]
        self.assertEqual(lines, ["Malformed list ignored: Domains\\Extensions",
                                 "*** APPLICATION STOPPED ***"])

    def test_client_text_keeps_percent_and_shows_control_bytes_escaped(self):
        m = self.machine
        server = m.start_console(log_level=2)
        server.wait_ready()
        c = Client(server.smtp_port)
        c.read_line()
        # A terminal title (OSC), a colour, a bell and a backspace never reach
        # the file raw; TAB does.
        c.command(b"HELO 100%s%d%%\x1b]0;owned\x07\x1b[31m\x08\tend")
        c.command(b"QUIT")
        c.close()
        server.wait_log("<SMTP> HELO 100%s%d%%\\x1b]0;owned\\x07\\x1b[31m\\x08\tend")
        server.stop()
        self.assertNotIn("\x1b", m.read_log())

    def test_link_at_the_log_path_is_refused_and_an_open_folder_reported(self):
        if os.geteuid() != 0:
            self.skipTest("needs root: a local user's link against the root service")
        m = self.machine
        m.set_settings(LogPath="c:\\OpenLogs")
        folder = m.native("c:\\OpenLogs")
        os.makedirs(folder)
        os.chmod(folder, 0o777)  # writable by everyone, no sticky bit
        for part in (m.home, os.path.dirname(folder)):
            os.chmod(part, 0o755)
        with qptest.local_user() as (uid, name):
            victim = os.path.join(m.home, "victim.txt")
            open(victim, "w").close()
            os.chown(victim, uid, -1)
            subprocess.run(["ln", "-s", victim, os.path.join(folder, "Mailtrace.log")],
                           user=name, check=True, timeout=10)
            server = m.start_console(log_level=2)
            server.wait_ready()
            c = Client(server.smtp_port)
            self.assertTrue(c.read_line().startswith(b"220 "), "the service runs without its log")
            c.close()
            server.stop()
            out = server.output()
            self.assertIn("'c:\\OpenLogs\\Mailtrace.log' is a symbolic link", out)
            self.assertEqual(out.count("can be written by other users"), 1, out)
            self.assertEqual(os.path.getsize(victim), 0, "nothing written through the link")


class ReloadTest(qptest.MachineTestCase):
    def test_signal_reloads_lists_and_keeps_them_when_too_large(self):
        m = self.machine
        server = m.start_console(log_level=2)
        server.wait_ready()
        self.assertEqual(rcpt_reply(server.smtp_port, b"joe@first.test"), NOT_AUTHENTICATED)

        m.set_list("Domains", "Extensions", ["first.test"])
        signal_reload(m)
        server.wait_log("Loading configuration...")
        self.assertEqual(rcpt_reply(server.smtp_port, b"joe@First.TEST"), b"250 OK")

        # A list over 4095 bytes is ignored: the previous domains stay.
        big = ["second.test"] + ["filler%04d.test" % i for i in range(300)]
        self.assertGreater(len(qptest.serialise_list(big)), 4095)
        m.set_list("Domains", "Extensions", big)
        log_before = m.read_log().count("Loading configuration...")
        signal_reload(m)
        deadline = time.time() + 10
        while m.read_log().count("Loading configuration...") == log_before and time.time() < deadline:
            time.sleep(0.05)
        self.assertEqual(rcpt_reply(server.smtp_port, b"joe@second.test"), NOT_AUTHENTICATED)
        self.assertEqual(rcpt_reply(server.smtp_port, b"joe@first.test"), b"250 OK")
        server.stop()

    def test_signal_storm_reloads_once_a_second_and_never_misses_the_last(self):
        m = self.machine
        server = m.start_console(log_level=2)
        server.wait_ready()
        path = os.path.join(m.home, "run", "Mail Service Event")
        fd = os.open(path, os.O_WRONLY | os.O_NONBLOCK)
        try:
            started = time.monotonic()
            while time.monotonic() - started < 2.5:
                try:
                    os.write(fd, b"\x01")
                except BlockingIOError:
                    time.sleep(0.001)  # the pipe is full: the server is behind
            # A change signalled in the middle of a quiet second is still read
            # (a full pipe is a signal already pending).
            m.set_list("Domains", "Extensions", ["late.test"])
            try:
                os.write(fd, b"\x01")
            except BlockingIOError:
                pass
        finally:
            os.close(fd)
        qptest.wait_until(lambda: rcpt_reply(server.smtp_port, b"joe@late.test") == b"250 OK", 5,
                          "the last reload")
        storm = time.monotonic() - started
        time.sleep(1.5)
        reloads = m.read_log().count("Loading configuration...")
        self.assertGreaterEqual(reloads, 2)
        self.assertLessEqual(reloads, int(storm) + 2, "at most one reload a second")
        server.stop()

    def test_reload_reopens_a_rotated_log(self):
        m = self.machine
        server = m.start_console(log_level=2)
        server.wait_ready()
        os.rename(m.log_path, m.log_path + ".1")
        signal_reload(m)
        server.wait_log("Loading configuration...")
        server.stop()
        with open(m.log_path + ".1", "rb") as f:
            rotated = f.read().decode()
        self.assertIn("<SMTP> Server started", rotated)
        self.assertNotIn("Loading configuration...", rotated)
        self.assertIn("*** APPLICATION STOPPED ***", m.read_log())

    def test_reload_changes_level_in_memory_only(self):
        m = self.machine
        server = m.start_console(log_level=2)
        server.wait_ready()
        m.set_settings(LogLevel=0)
        signal_reload(m)
        server.wait_log("Loading configuration...")
        rcpt_reply(server.smtp_port, b"x@y.test")
        server.stop()
        after_reload = m.read_log().split("Loading configuration...\r\n", 1)[1]
        # Level 0 stops further lines at once; the closing line is always written.
        self.assertEqual([l[24:] for l in after_reload.split("\r\n") if l], ["*** APPLICATION STOPPED ***"])


if __name__ == "__main__":
    qptest.main()
