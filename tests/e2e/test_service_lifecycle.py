"""The service program's command line end to end: banner, install, start,
stop, remove, the debug console, the single-instance rule and named objects
that cannot be made."""

import os
import stat
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import qptest  # noqa: E402

# The quickest a second instance may take to give up: it never serves.
SECOND_INSTANCE_LIMIT_S = 10


class CommandLineTest(qptest.MachineTestCase):
    def installed(self):
        return self.machine.quillreg("query", qptest.SERVICE_KEY).returncode == 0

    def test_no_option_prints_banner_and_cannot_connect(self):
        result = self.machine.run()
        self.assertEqual(result.returncode, 0, "started by hand the dispatcher cannot connect")
        self.assertEqual(result.stdout, qptest.BANNER)
        self.assertEqual(result.stderr, "")

    def test_install_registers_service_and_event_source_once(self):
        m = self.machine
        self.assertEqual(m.run("-i").returncode, 1)
        program = qptest.binary("quillpost")
        query = m.quillreg("query", qptest.SERVICE_KEY, check=True).stdout
        for line in ("    ImagePath    REG_EXPAND_SZ    " + program,
                     "    DisplayName    REG_SZ    " + qptest.SERVICE_NAME,
                     "    Type    REG_DWORD    0x10",
                     "    Start    REG_DWORD    0x2",
                     "    ErrorControl    REG_DWORD    0x1",
                     "    ObjectName    REG_SZ    LocalSystem"):
            self.assertIn(line + "\n", query)
        source = m.quillreg("query", qptest.EVENTLOG_KEY, check=True).stdout
        self.assertIn("    EventMessageFile    REG_EXPAND_SZ    " + program + "\n", source)
        self.assertIn("    TypesSupported    REG_DWORD    0x7\n", source)

        second = m.run("-i")
        self.assertEqual(second.returncode, 1, "already installed counts as installed")
        self.assertEqual(second.stdout, qptest.BANNER, "install prints nothing of its own")
        self.assertEqual(m.quillreg("query", qptest.SERVICE_KEY).stdout, query)

        self.assertEqual(m.run("-u").returncode, 1)
        self.assertFalse(self.installed())
        self.assertEqual(m.quillreg("query", qptest.EVENTLOG_KEY).returncode, 0,
                         "the event source stays")
        self.assertEqual(m.run("/u").returncode, 1, "removing what is not installed")

    def test_only_the_first_option_acts(self):
        m = self.machine
        m.prepare_server()
        self.assertEqual(m.run("-i", "-s").returncode, 1)
        self.assertTrue(self.installed())
        time.sleep(1.5)
        self.assertIsNone(m.service_pid(), "-s after -i must not start the service")

    def test_upper_case_letter_is_no_option(self):
        result = self.machine.run("-I")
        self.assertEqual(result.returncode, 0, "runs the dispatcher, which cannot connect")
        self.assertFalse(self.installed())

    def test_start_and_stop_without_install_fail(self):
        self.assertEqual(self.machine.run("-s").returncode, 0)
        self.assertEqual(self.machine.run("-e").returncode, 0)


class ServiceLifecycleTest(qptest.MachineTestCase):
    def wait_gone(self, pid, timeout=15):
        end = time.monotonic() + timeout
        while qptest.process_alive(pid) and time.monotonic() < end:
            time.sleep(0.05)
        return not qptest.process_alive(pid)

    def test_start_run_single_instance_stop_remove(self):
        m = self.machine
        pop3, smtp = m.prepare_server(log_level=2)
        self.assertEqual(m.run("-i").returncode, 1)

        started = time.monotonic()
        result = m.run("-s", timeout=60)
        self.assertEqual(result.returncode, 1, result.stdout + result.stderr)
        self.assertGreaterEqual(time.monotonic() - started, 1.0, "polls once a second")
        pid = m.service_pid()
        self.assertIsNotNone(pid)
        self.assertTrue(qptest.process_alive(pid))
        server = qptest.Server(m, qptest.Detached(pid), pop3, smtp)
        server.wait_ready()
        self.assertIn(qptest.BANNER, m.service_output())

        # A second instance finds the mutex taken and ends at once.
        started = time.monotonic()
        second = m.run("-d", timeout=30)
        self.assertEqual(second.returncode, 1)
        self.assertLess(time.monotonic() - started, SECOND_INSTANCE_LIMIT_S)
        self.assertIn("Debugging Kestrune Mail Service.\n", second.stdout)
        self.assertEqual(m.run("-s").returncode, 0, "already running")
        self.assertEqual(m.service_pid(), pid)
        server.wait_ready()

        result = m.run("-e", timeout=60)
        self.assertEqual(result.returncode, 1, result.stdout + result.stderr)
        self.assertTrue(self.wait_gone(pid), "service process still runs after -e")
        log = m.read_log()
        self.assertIn("Mail Server stopped.", log)
        self.assertIn("*** APPLICATION STOPPED ***", log)
        self.assertEqual(m.run("/e").returncode, 1, "stopping a stopped service")

        # Started again, then removed while it runs: the stop is sent.
        self.assertEqual(m.run("/s", timeout=60).returncode, 1)
        pid = m.service_pid()
        self.assertTrue(qptest.process_alive(pid))
        self.assertEqual(m.run("-u").returncode, 1)
        self.assertNotEqual(m.quillreg("query", qptest.SERVICE_KEY).returncode, 0)
        self.assertTrue(self.wait_gone(pid), "removing a running service stops it")


class ConsoleModeTest(qptest.MachineTestCase):
    def test_ctrl_c_stops_the_console_server(self):
        server = self.machine.start_console(log_level=2)
        server.wait_output("Debugging Kestrune Mail Service.\n")
        server.wait_ready()
        self.assertEqual(server.stop(), 1)
        output = server.output()
        self.assertTrue(output.startswith(qptest.BANNER + "Debugging Kestrune Mail Service.\n"),
                        output)
        self.assertIn("Stopping Kestrune Mail Service.\n", output)
        self.assertIn("*** APPLICATION STOPPED ***", server.read_log())

    def test_second_console_returns_at_once_and_says_why(self):
        server = self.machine.start_console(log_level=1)
        server.wait_ready()
        started = time.monotonic()
        second = self.machine.run("-d", timeout=30)
        self.assertEqual(second.returncode, 1)
        self.assertLess(time.monotonic() - started, SECOND_INSTANCE_LIMIT_S)
        line = 'ERROR: The lock of "Mail Service Mutex" is held by another process; the service does not start.'
        self.assertIn(line, second.stdout + second.stderr)
        self.assertIn(line, self.machine.read_log())
        server.wait_ready()  # the first one still serves
        self.assertEqual(server.stop(), 1)


class StartFailureTest(qptest.MachineTestCase):
    """Named objects that cannot be made (something else has their name) are
    reported on standard error and in the trace log."""

    def block(self, name):
        os.makedirs(os.path.join(self.machine.home, "run", name))

    def test_lock_that_cannot_be_made_is_no_second_instance(self):
        self.block("Mail Service Mutex.lock")
        self.machine.prepare_server(log_level=1)
        result = self.machine.run("-d", timeout=30)
        line = 'ERROR: Cannot create the lock of "Mail Service Mutex" (Is a directory); the service does not start.'
        self.assertIn(line, result.stdout + result.stderr)
        self.assertIn(line, self.machine.read_log())

    def test_lock_file_cannot_be_held_by_another_user(self):
        if os.geteuid() != 0:
            self.skipTest("needs root: a local user against the root service's lock")
        m = self.machine
        server = m.start_console()
        server.wait_ready()
        lock = os.path.join(m.home, "run", "Mail Service Mutex.lock")
        self.assertEqual(stat.S_IMODE(os.stat(lock).st_mode), 0o600)
        for folder in (m.home, os.path.dirname(lock)):
            os.chmod(folder, 0o755)
        with qptest.local_user() as (_, name):
            result = subprocess.run(["flock", "--shared", "--nonblock", lock, "true"], user=name,
                                    capture_output=True, text=True, timeout=30)
        self.assertIn("Permission denied", result.stderr, "the user could open the lock file")
        self.assertEqual(server.stop(), 1)

    def test_reload_event_that_cannot_be_made_is_reported(self):
        self.block("Mail Service Event")
        server = self.machine.start_console(log_level=1)
        server.wait_ready()
        line = 'ERROR: Cannot create the event "Mail Service Event" (File exists); configuration changes take effect'
        server.wait_output(line)
        server.wait_log(line)
        self.assertEqual(server.stop(), 1)


if __name__ == "__main__":
    qptest.main()
