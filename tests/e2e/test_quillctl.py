"""quillctl end to end against the real quillpost: an account added with
quillctl logs in over POP3 at once (the reload it signals), a removed one no
longer does; a bad-mail message retried reaches its receiver (a fake SMTP
receiver on port 25 of 127.0.118.2, found through a pre-defined record, and
DNSServer naming a loopback address that is never asked); check finds a
planted oversized list; every --json output parses; the log is followed as
it grows; the installed service starts and stops. Loopback only."""

import json
import os
import poplib
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import qptest  # noqa: E402
import test_relay  # noqa: E402

# An address block of this test's own, apart from the relay tests' ones.
RECEIVER_IP = "127.0.118.2"
DNS_IP = "127.0.118.53"
MAIL_FOLDER = "c:\\Mailboxes\\"
BAD_MAIL = (b"x-sender: <alice@local.test>\r\nx-receiver: <bob@retry.test>\r\n"
            b"Received: from client.local.test\r\n\tby local.test\r\n"
            b"Subject: retried\r\n\r\nHello again.\r\n")
BAD_MAIL_ID = "0123456789ABCDEF0123456789ABCDEF"


def setUpModule():
    # The peers' fixed addresses (port 25 and 53) are shared with the runs
    # of other build folders on this machine.
    qptest.hold_peer_addresses(RECEIVER_IP)


class QuillctlTestCase(qptest.MachineTestCase):
    def setUp(self):
        super().setUp()
        m = self.machine
        m.set_settings(MailFolder=MAIL_FOLDER, AuthRemote=0)
        m.set_list("Domains", "Extensions", ["local.test"])
        m.set_list("UserAccounts", "Users", [("admin", "Administrator", "admin-pw")])

    def ctl(self, *args, input=None, check=True):
        result = subprocess.run([qptest.binary("quillctl")] + list(args), env=self.machine.env, input=input,
                                capture_output=True, text=True, timeout=60)
        if check and result.returncode != 0:
            self.fail("quillctl %s: exit %d: %s" % (" ".join(args), result.returncode, result.stderr))
        return result

    def ctl_json(self, *args):
        return json.loads(self.ctl(*(args + ("--json",))).stdout)

    def pop3_login(self, server, user, password):
        """True when USER and PASS are taken."""
        client = poplib.POP3("127.0.0.1", server.pop3_port, timeout=10)
        try:
            client.user(user)
            client.pass_(password)
            return True
        except poplib.error_proto:
            return False
        finally:
            client.quit()

    def wait_reloads(self, server, count):
        qptest.wait_until(lambda: server.read_log().count("Loading configuration...") >= count, 10,
                          "%d configuration reloads" % count)


class AccountsTest(QuillctlTestCase):
    def test_added_account_logs_in_at_once_and_a_removed_one_no_longer(self):
        server = self.machine.start_console(log_level=2)
        server.wait_ready()
        self.assertFalse(self.pop3_login(server, "bob", "bob-pw"))

        self.ctl("account", "add", "bob", "--password-stdin", input="bob-pw\n")
        self.wait_reloads(server, 1)
        self.assertTrue(self.pop3_login(server, "bob", "bob-pw"), "logs in after the reload quillctl signalled")
        self.assertTrue(os.path.isdir(self.machine.native(MAIL_FOLDER + "bob")))

        self.ctl("account", "remove", "bob")
        self.wait_reloads(server, 2)
        self.assertFalse(self.pop3_login(server, "bob", "bob-pw"))
        self.assertTrue(self.pop3_login(server, "admin", "admin-pw"))

    def test_log_is_followed_as_it_grows(self):
        server = self.machine.start_console(log_level=2)
        server.wait_ready()
        follower = subprocess.Popen([qptest.binary("quillctl"), "log", "-f", "-n", "1"], env=self.machine.env,
                                    stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        try:
            follower.stdout.readline()  # the last line: the follower waits for more now
            self.ctl("reload")
            self.wait_reloads(server, 1)
            line = ""
            deadline = time.monotonic() + 10
            while "Loading configuration..." not in line and time.monotonic() < deadline:
                line = follower.stdout.readline()
            self.assertIn("Loading configuration...", line)
            self.assertFalse(line.endswith("\r\n"), "line ends as the terminal's")
        finally:
            follower.kill()
            follower.communicate()


class BadMailRetryTest(QuillctlTestCase):
    def setUp(self):
        if os.geteuid() != 0:
            self.skipTest("the receiver needs root for port 25")
        super().setUp()
        m = self.machine
        m.set_settings(RelayMessages=1, DNSServer=DNS_IP, RelayTimeout=5, HostName="relay.local.test")
        m.set_list("Relay", "MxRecords", ["retry.test|" + RECEIVER_IP])
        bad_mail = m.native(MAIL_FOLDER + "badmail")
        os.makedirs(bad_mail)
        with open(os.path.join(bad_mail, BAD_MAIL_ID + ".eml"), "wb") as f:
            f.write(BAD_MAIL)

    def test_retried_message_reaches_its_receiver(self):
        receiver = test_relay.SmtpReceiver(RECEIVER_IP).start()
        self.addCleanup(receiver.stop)
        server = self.machine.start_console(log_level=2)
        server.wait_ready()
        server.wait_log("<RELAY> Relaying thread started.")

        [listed] = self.ctl_json("badmail", "list")
        self.assertEqual(listed["id"], BAD_MAIL_ID)
        self.assertEqual(listed["sender"], "<alice@local.test>")
        self.assertEqual(listed["recipients"], ["<bob@retry.test>"])
        self.assertEqual(receiver.connections, 0)

        self.ctl("badmail", "retry", BAD_MAIL_ID.lower())
        [got] = receiver.wait_transactions(1, 10)
        self.assertEqual(got.mail_from, "<alice@local.test>")
        self.assertEqual(got.rcpts, ["<bob@retry.test>"])
        self.assertIn(b"Hello again.", got.data)
        qptest.wait_until(lambda: self.ctl_json("queue", "list") == [], 10, "an empty queue")
        self.assertEqual(self.ctl_json("badmail", "list"), [])


class CheckAndJsonTest(QuillctlTestCase):
    def test_check_finds_a_planted_oversized_list(self):
        self.machine.prepare_server()
        self.assertEqual(self.ctl("check").returncode, 0)
        self.machine.set_list("Domains", "Extensions", ["d%04d.example.test" % i for i in range(300)])
        result = self.ctl("check", check=False)
        self.assertEqual(result.returncode, 1)
        self.assertIn("error: Domains\\Extensions: takes 5702 bytes; the service ignores lists larger than 4095",
                      result.stdout)
        report = json.loads(self.ctl("check", "--json", check=False).stdout)
        self.assertFalse(report["ok"])
        self.assertEqual([f["subject"] for f in report["findings"]], ["Domains\\Extensions"])

    def test_every_json_output_parses(self):
        self.machine.prepare_server()
        self.ctl("forward", "add", "*@old.test", "*@local.test")
        self.ctl("ipfilter", "add", "10.0.0.1", "10.0.0.9")
        queue = self.machine.native(MAIL_FOLDER + "queue")
        os.makedirs(queue)
        with open(os.path.join(queue, "AB.eml"), "wb") as f:
            f.write(b"x-sender: <a@b.test>\r\nx-receiver: <\xe9@c.test>\r\n\r\n\xff\x00binary\r\n")
        outputs = {}
        for args in (["status"], ["account", "list"], ["domain", "list"], ["forward", "list"], ["block", "list"],
                     ["relay", "show"], ["relay", "record", "list"], ["ipfilter", "show"], ["get", "Port"],
                     ["settings"], ["queue", "list"], ["queue", "show", "AB"], ["badmail", "list"], ["check"]):
            outputs[" ".join(args)] = self.ctl_json(*args)
        self.assertEqual(outputs["domain list"], [{"domain": "local.test"}])
        self.assertEqual(outputs["forward list"], [{"from": "*@old.test", "to": "*@local.test"}])
        self.assertEqual(outputs["get Port"]["value"], self.machine.settings["Port"])
        self.assertEqual(outputs["status"]["service"]["state"], "Not Installed")
        self.assertEqual(outputs["queue show AB"]["text"][-10:], "\xff\x00binary\r\n",
                         "bytes that are no UTF-8 come through as the characters of their bytes")


class ServiceControlTest(QuillctlTestCase):
    def test_installed_service_starts_and_stops(self):
        m = self.machine
        m.prepare_server()
        self.assertEqual(m.run("-i").returncode, 1, "installed")
        self.assertEqual(self.ctl_json("status")["service"]["state"], "Stopped")
        self.ctl("start")
        status = self.ctl_json("status")
        self.assertEqual(status["service"]["state"], "Running")
        self.assertEqual(status["service"]["pid"], m.service_pid())
        self.assertTrue(status["ports"]["smtp"]["listening"])
        self.ctl("restart")
        self.assertNotEqual(self.ctl_json("status")["service"]["pid"], status["service"]["pid"])
        self.ctl("stop")
        self.assertEqual(self.ctl_json("status")["service"]["state"], "Stopped")


if __name__ == "__main__":
    qptest.main()
