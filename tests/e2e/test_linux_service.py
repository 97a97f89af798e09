"""The service under a Linux service manager: SIGHUP reloads, the readiness
notifications on NOTIFY_SOCKET, loud failure when a port cannot be bound,
trace-log lines on a journal stream, and listeners on chosen addresses."""

import fcntl
import os
import signal
import socket
import subprocess
import sys
import termios
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import qptest  # noqa: E402

LOADING = "Loading configuration..."


def loads(server):
    return server.read_log().count(LOADING)


class ReloadSignalTest(qptest.MachineTestCase):
    """SIGHUP reads the configuration again wherever the service runs; only
    a terminal that really closed still stops a console run."""

    def start_on_terminal(self):
        """quillpost -d with a pseudo-terminal as its controlling terminal;
        returns the server and the terminal's master side."""
        master, slave = os.openpty()
        self.addCleanup(lambda: _close_quietly(master))
        server = self.machine.start_console(
            log_level=2, stdin=slave, start_new_session=True,
            preexec_fn=lambda: fcntl.ioctl(0, termios.TIOCSCTTY, 0))
        os.close(slave)
        return server, master

    def assert_reloads(self, server, pid):
        server.wait_ready()
        server.wait_log("Server started on port %d" % server.smtp_port)
        before = loads(server)
        os.kill(pid, signal.SIGHUP)
        qptest.wait_until(lambda: loads(server) == before + 1, 10, "a reload after SIGHUP")
        time.sleep(0.3)
        self.assertTrue(qptest.process_alive(pid), "SIGHUP must not stop the service")
        server.wait_ready()

    def test_sighup_reloads_console_and_service_manager_runs(self):
        cases = {
            "console without a terminal (a daemon)":
                lambda: (self.machine.start_console(log_level=2, start_new_session=True), None),
            "console whose terminal is still open": self.start_on_terminal,
        }
        for label, start in cases.items():
            with self.subTest(label):
                server, _ = start()
                self.assert_reloads(server, server.proc.pid)
                self.assertEqual(server.stop(), 1)

        with self.subTest("started by the service manager"):
            m = self.machine
            self.assertEqual(m.run("-i").returncode, 1)
            self.assertEqual(m.run("-s", timeout=60).returncode, 1)
            pid = m.service_pid()
            server = qptest.Server(m, qptest.Detached(pid), *m.prepare_server())
            self.assert_reloads(server, pid)
            self.assertEqual(m.run("-e", timeout=60).returncode, 1)

    def test_closing_the_terminal_still_stops_a_console_run(self):
        server, master = self.start_on_terminal()
        server.wait_ready()
        os.close(master)  # the terminal hangs up: SIGHUP to its session
        self.assertEqual(server.proc.wait(20), 1)
        server.wait_output("Stopping Kestrune Mail Service.\n")
        self.assertIn("*** APPLICATION STOPPED ***", server.read_log())


class NotifySocketTest(qptest.MachineTestCase):
    def listen_notify(self, machine, name):
        """A datagram socket for the service's notifications; `name` is a
        path or an abstract name with a leading "@"."""
        sock = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        self.addCleanup(sock.close)
        sock.bind("\0" + name[1:] if name.startswith("@") else name)
        sock.settimeout(15)
        machine.env["NOTIFY_SOCKET"] = name
        return sock

    def test_ready_reloading_stopping(self):
        notify = self.listen_notify(self.machine, os.path.join(self.machine.home, "notify"))
        server = self.machine.start_console(log_level=2)

        self.assertEqual(notify.recv(4096), b"READY=1")
        # Ready means both ports accept already: no waiting here.
        for port in (server.pop3_port, server.smtp_port):
            socket.create_connection(("127.0.0.1", port), timeout=2).close()
        second = self.machine.run("-d", timeout=30)
        # The service's own error line may come first; the summary for the
        # service manager is the last line.
        self.assertEqual((second.returncode, second.stderr.splitlines()[-1:]),
                         (2, ["Kestrune Mail Service: another instance is running."]))

        before_us = time.monotonic_ns() // 1000
        server.proc.send_signal(signal.SIGHUP)
        fields = dict(line.split("=", 1) for line in notify.recv(4096).decode().split("\n"))
        self.assertEqual(fields.get("RELOADING"), "1", fields)
        self.assertLessEqual(before_us, int(fields["MONOTONIC_USEC"]))
        self.assertLessEqual(int(fields["MONOTONIC_USEC"]), time.monotonic_ns() // 1000)
        self.assertEqual(notify.recv(4096), b"READY=1", "ready again after the reload")
        self.assertEqual(loads(server), 1, "the reload's (the start's comes before the log opens)")

        server.proc.send_signal(signal.SIGTERM)
        self.assertEqual(notify.recv(4096), b"STOPPING=1")
        self.assertEqual(server.proc.wait(20), 1, "a stop ends with the usual exit code")

    def test_listener_that_cannot_start(self):
        cases = [
            # label, NOTIFY_SOCKET set, ListenAddresses, what standard error says
            ("port taken, with NOTIFY_SOCKET", True, "",
             "SMTP on port {smtp}: Address already in use"),
            ("address not on this machine", True, "127.0.0.1,192.0.2.1",
             "POP3 on port {pop3} of 192.0.2.1: Cannot assign requested address"),
            ("port taken, without NOTIFY_SOCKET", False, "", None),
        ]
        for label, watched, addresses, reason in cases:
            with self.subTest(label), qptest.Machine() as m:
                m.set_settings(ListenAddresses=addresses)
                pop3, smtp = m.prepare_server(log_level=2)
                taken = socket.socket()
                self.addCleanup(taken.close)
                if not addresses:
                    taken.bind(("127.0.0.1", smtp))
                    taken.listen()
                if watched:
                    notify = self.listen_notify(m, "@qp-notify-%d-%d" % (os.getpid(), smtp))
                server = m.start_console(stderr=subprocess.PIPE)
                server.wait_log("Server failed to start on port")
                if watched:
                    self.assertEqual(server.proc.wait(20), 2, "no half a server")
                    self.assertEqual(server.proc.stderr.read().decode(),
                                     "Kestrune Mail Service: cannot listen for "
                                     + reason.format(pop3=pop3, smtp=smtp) + ".\n")
                    notify.settimeout(0.5)
                    self.assertEqual(notify.recv(4096), b"STOPPING=1", "never READY=1")
                else:
                    time.sleep(0.5)
                    self.assertIsNone(server.proc.poll(), "the console run goes on as it did")
                    server.wait_port(pop3)
                    self.assertEqual(server.stop(), 1)
                    self.assertEqual(server.proc.stderr.read(), b"")


class ListenAddressesTest(qptest.MachineTestCase):
    def test_served_only_on_the_listed_addresses(self):
        m = self.machine
        m.set_settings(ListenAddresses=" 127.0.21.2 ,127.0.21.3,, 127.0.21.2")
        server = m.start_console(log_level=2)
        server.wait_log("<SMTP> Server started on port %d." % server.smtp_port)
        for port in (server.pop3_port, server.smtp_port):
            for address in ("127.0.21.2", "127.0.21.3"):
                with socket.create_connection((address, port), timeout=2) as c:
                    self.assertRegex(c.recv(100), rb"^(\+OK|220) ", (address, port))
            for address in ("127.0.21.4", "127.0.0.1"):
                with self.assertRaises(ConnectionRefusedError, msg=(address, port)):
                    socket.create_connection((address, port), timeout=2)
        self.assertEqual(server.stop(), 1)
        self.assertEqual(server.read_log().count("Server started on port"), 2,
                         "one line per protocol, as with every address")


class JournalStreamTest(qptest.MachineTestCase):
    def test_trace_lines_on_the_journal_stream_with_priorities(self):
        m = self.machine
        stderr_path = os.path.join(m.home, "stderr")
        for label, names_stderr in [("names standard error", True), ("names another stream", False)]:
            with self.subTest(label), open(stderr_path, "w+b") as err:
                m.set_values("Domains", Extensions=qptest.serialise_list([]))
                st = os.fstat(err.fileno()) if names_stderr else os.stat(m.home)
                m.env["JOURNAL_STREAM"] = "%d:%d" % (st.st_dev, st.st_ino)
                server = m.start_console(log_level=2, stderr=err)
                server.wait_ready()
                # A malformed list, taken up by a reload, is an error line.
                m.set_values("Domains", Extensions=b"\x05\x00\x03ab")
                server.proc.send_signal(signal.SIGHUP)
                server.wait_log("Malformed list ignored: Domains\\Extensions")
                self.assertEqual(server.stop(), 1)
                err.seek(0)
                lines = err.read().decode().splitlines()
                if not names_stderr:
                    self.assertEqual(lines, [])
                    continue
                self.assertIn("<3>Malformed list ignored: Domains\\Extensions", lines)
                self.assertIn("<6><SMTP> Server started on port %d." % server.smtp_port, lines)
                self.assertIn("<6>*** APPLICATION STOPPED ***", lines)
                self.assertEqual([l for l in lines if not l.startswith(("<3>", "<6>"))], [])
                self.assertIn("Malformed list ignored: Domains\\Extensions\r\n", m.read_log(),
                              "the trace log stays as it was")
                self.assertNotIn("<6>", m.read_log())


def _close_quietly(fd):
    try:
        os.close(fd)
    except OSError:
        pass


if __name__ == "__main__":
    qptest.main()
