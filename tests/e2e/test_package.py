"""The systemd unit and the Debian package: the unit passes systemd's own
checks, the package holds the programs, unit, desktop entry and manual pages
with its maintainer scripts, and the packaged service runs as an unprivileged
user that may bind only ports below 1024, with the package's default message
size limit (as root; skipped otherwise)."""

import os
import poplib
import pwd
import shutil
import smtplib
import socket
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import qptest  # noqa: E402

SOURCE = os.path.normpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", ".."))
UNIT = os.path.join(SOURCE, "packaging", "quillpost.service")
SETTINGS = qptest.SETTINGS_KEY + "\\Settings"
# Addresses of this test's own (no other test binds them), so that the
# designed ports 25 and 110 are free for it.
ADDRESS = "127.0.21.25"
# The unit's sandboxing must keep systemd's exposure figure at most this
# (tenths: 20 is 2.0, "OK").
MAX_EXPOSURE = 20


def require_tool(test, name):
    path = shutil.which(name)
    if path is None:
        test.skipTest("%s is not installed" % name)
    return path


def setUpModule():
    # The fixed address (ports 25 and 110) is shared with the runs of
    # other build folders on this machine.
    qptest.hold_peer_addresses(ADDRESS)


class UnitFileTest(unittest.TestCase):
    def unit_for_this_build(self, folder):
        """The unit with its program path turned to the one just built:
        verify checks that ExecStart names a program that exists."""
        with open(UNIT) as f:
            text = f.read().replace("/usr/sbin/quillpost", qptest.binary("quillpost"))
        path = os.path.join(folder, "quillpost.service")
        with open(path, "w") as f:
            f.write(text)
        return path

    def test_verify_and_security_exposure(self):
        tool = require_tool(self, "systemd-analyze")
        with tempfile.TemporaryDirectory() as folder:
            unit = self.unit_for_this_build(folder)
            verify = subprocess.run([tool, "verify", "--man=no", unit],
                                    capture_output=True, text=True, timeout=60)
            self.assertEqual((verify.returncode, verify.stdout + verify.stderr), (0, ""))
            security = subprocess.run(
                [tool, "security", "--offline=true", "--threshold=%d" % MAX_EXPOSURE, unit],
                capture_output=True, text=True, timeout=60)
            self.assertEqual(security.returncode, 0, security.stdout[-400:] + security.stderr)


@unittest.skipIf(os.environ.get("QP_SANITIZER"), "the package holds the plain build's programs")
class DebianPackageTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.work = tempfile.mkdtemp(prefix="qp-package-")
        cls.deb = None
        if shutil.which("cpack") is None or shutil.which("dpkg-deb") is None:
            return
        config = os.path.join(qptest.BIN_DIR, "CPackConfig.cmake")
        result = subprocess.run(["cpack", "-G", "DEB", "--config", config, "-B", cls.work],
                                capture_output=True, text=True, timeout=300)
        if result.returncode != 0:
            raise AssertionError("cpack failed: " + result.stdout + result.stderr)
        debs = [n for n in os.listdir(cls.work) if n.endswith(".deb")]
        cls.deb = os.path.join(cls.work, debs[0])
        cls.root = os.path.join(cls.work, "root")
        subprocess.run(["dpkg-deb", "-x", cls.deb, cls.root], check=True)
        cls.control = os.path.join(cls.work, "control")
        subprocess.run(["dpkg-deb", "-e", cls.deb, cls.control], check=True)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.work, ignore_errors=True)

    def setUp(self):
        if self.deb is None:
            self.skipTest("cpack or dpkg-deb is not installed")

    def test_contents_and_dependencies(self):
        listing = subprocess.run(["dpkg-deb", "-c", self.deb], capture_output=True, text=True,
                                 check=True).stdout
        files = {line.split()[5].lstrip(".") for line in listing.splitlines()}
        expected = {"/usr/sbin/quillpost", "/usr/sbin/quillreg", "/usr/sbin/quillctl",
                    "/usr/libexec/quillpost/seed-settings",
                    "/usr/lib/systemd/system/quillpost.service",
                    "/usr/share/man/man8/quillpost.8.gz", "/usr/share/man/man8/quillreg.8.gz",
                    "/usr/share/man/man8/quillctl.8.gz"}
        if os.path.exists(os.path.join(qptest.BIN_DIR, "quillpanel.cpl")):
            expected |= {"/usr/libexec/quillpost/quillpanel", "/usr/libexec/quillpost/quillpanel.cpl",
                         "/usr/share/applications/quillpanel.desktop"}
        self.assertLessEqual(expected, files)
        with open(os.path.join(self.root, "usr/lib/systemd/system/quillpost.service")) as f:
            self.assertIn("\nExecStart=/usr/sbin/quillpost -d\n", f.read())

        depends = subprocess.run(["dpkg-deb", "-f", self.deb, "Depends"], capture_output=True,
                                 text=True, check=True).stdout
        for package in ("adduser", "libc6", "libsqlite3-0"):
            self.assertIn(package, depends, "dependencies from the shared libraries too")

    def test_maintainer_scripts(self):
        scripts = {}
        for name in ("postinst", "prerm", "postrm"):
            path = os.path.join(self.control, name)
            self.assertTrue(os.access(path, os.X_OK), name)
            self.assertEqual(subprocess.run(["sh", "-n", path]).returncode, 0, name)
            with open(path) as f:
                scripts[name] = f.read()
        # What each script must do, by the command that does it.
        for name, command in [
                ("postinst", "adduser --system"),
                ("postinst", 'chown -R "$USER:$USER" "$HOME_DIR"'),
                ("postinst", "/usr/libexec/quillpost/seed-settings"),
                ("postinst", "deb-systemd-helper enable quillpost.service"),
                ("postinst", "deb-systemd-invoke start quillpost.service"),
                ("prerm", "deb-systemd-invoke stop quillpost.service"),
                ("postrm", "rm -rf /var/lib/quillpost")]:
            self.assertIn(command, scripts[name], name)
        purge = scripts["postrm"].index("purge)")
        self.assertGreater(scripts["postrm"].index("rm -rf"), purge, "data goes on purge only")

    def test_serves_as_unprivileged_user_on_ports_below_1024(self):
        if os.geteuid() != 0:
            self.skipTest("needs root to create a user and give it the capability")
        setpriv = require_tool(self, "setpriv")
        user = "qp21-%d" % os.getpid()
        subprocess.run(["useradd", "--system", "--no-create-home", "--shell", "/usr/sbin/nologin",
                        user], check=True)
        self.addCleanup(subprocess.run, ["userdel", user])
        account = pwd.getpwnam(user)
        home = os.path.join(self.work, "home")
        os.makedirs(home, mode=0o755)
        os.chown(home, account.pw_uid, account.pw_gid)
        os.chmod(self.work, 0o755)  # the user reaches the package's programs

        env = dict(os.environ, QUILLPOST_HOME=home)
        env.pop("QUILLPOST_SERVICE_NAME", None)
        sbin = os.path.join(self.root, "usr", "sbin")

        def as_user(args, capable=False, **popen):
            caps = ["--inh-caps=+net_bind_service", "--ambient-caps=+net_bind_service"]
            command = [setpriv, "--reuid=%d" % account.pw_uid, "--regid=%d" % account.pw_gid,
                       "--clear-groups"] + (caps if capable else []) + ["--"] + args
            return subprocess.Popen(command, env=env, **popen)

        def quillreg(*args):
            proc = as_user([os.path.join(sbin, "quillreg")] + list(args),
                           stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
            self.assertEqual(proc.wait(30), 0, proc.stdout.read())
            proc.stdout.close()

        quillreg("add", SETTINGS, "/v", "ListenAddresses", "/d", ADDRESS, "/f")
        quillreg("add", SETTINGS, "/v", "LogPath", "/d", home, "/f")
        quillreg("add", SETTINGS, "/v", "LogLevel", "/t", "REG_DWORD", "/d", "2", "/f")
        for key, value, items in [("UserAccounts", "Users", [("bob", "Bob", "secret")]),
                                  ("Domains", "Extensions", ["package.test"])]:
            quillreg("add", qptest.SETTINGS_KEY + "\\" + key, "/v", value, "/t", "REG_BINARY",
                     "/d", qptest.serialise_list(items).hex(), "/f")
        self.assertEqual(os.stat(os.path.join(home, "registry.db")).st_uid, account.pw_uid)
        # The package's defaults fill in what is not set, and keep what is.
        seed = as_user([os.path.join(self.root, "usr", "libexec", "quillpost", "seed-settings")],
                       stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        self.assertEqual(seed.wait(30), 0, seed.stdout.read())
        seed.stdout.close()
        query = subprocess.run([os.path.join(sbin, "quillreg"), "query", SETTINGS], env=env,
                               capture_output=True, text=True)
        self.assertIn("    MaxMessageSize    REG_DWORD    0x3200000\n", query.stdout)
        self.assertIn("    LogPath    REG_SZ    %s\n" % home, query.stdout)
        # Any other user is told that it may not read the hive, not shown defaults.
        stranger = subprocess.run(
            [setpriv, "--reuid=65534", "--regid=65534", "--clear-groups", "--",
             os.path.join(sbin, "quillctl"), "get", "Port"], env=env, capture_output=True, text=True)
        self.assertEqual((stranger.returncode, stranger.stdout), (1, ""))
        self.assertIn("quillctl: this user may not read %s/registry.db" % home, stranger.stderr)

        # Without the capability the service cannot bind port 110 and says so.
        notify = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        self.addCleanup(notify.close)
        notify.bind("\0qp-package-%d" % os.getpid())
        env["NOTIFY_SOCKET"] = "@qp-package-%d" % os.getpid()
        refused = as_user([os.path.join(sbin, "quillpost"), "-d"], stdout=subprocess.DEVNULL,
                          stderr=subprocess.PIPE)
        self.assertEqual(refused.wait(30), 2)
        self.assertIn("cannot listen for POP3 on port 110 of %s: Permission denied" % ADDRESS,
                      refused.stderr.read().decode())
        refused.stderr.close()
        notify.settimeout(15)
        self.assertEqual(notify.recv(100), b"STOPPING=1", "never ready")

        server = as_user([os.path.join(sbin, "quillpost"), "-d"], capable=True,
                         stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.addCleanup(_kill, server)
        self.assertEqual(notify.recv(100), b"READY=1")
        with smtplib.SMTP(ADDRESS, 25, timeout=10) as smtp:
            smtp.ehlo()
            self.assertEqual(smtp.esmtp_features.get("size"), "52428800")
            smtp.sendmail("alice@example.org", ["bob@package.test"], b"Subject: hello\r\n\r\nfrom the package\r\n")
        with open("/proc/%d/status" % server.pid) as f:
            uid_line = next(l for l in f if l.startswith("Uid:"))
        self.assertEqual(set(uid_line.split()[1:]), {str(account.pw_uid)}, "no root left")
        mailbox = os.path.join(home, "drive_c", "Mailboxes", "bob")
        qptest.wait_until(lambda: os.listdir(mailbox), 10, "the message in bob's folder")
        owners = {os.stat(os.path.join(mailbox, n)).st_uid for n in os.listdir(mailbox)}
        self.assertEqual(owners, {account.pw_uid}, "the mail is the service user's")
        pop = poplib.POP3(ADDRESS, 110, timeout=10)
        pop.user("bob")
        pop.pass_("secret")
        self.assertIn(b"from the package", b"\n".join(pop.retr(1)[1]))
        pop.quit()

        server.terminate()
        self.assertEqual(server.wait(20), 1)


def _kill(proc):
    if proc.poll() is None:
        proc.kill()
        proc.wait(10)


if __name__ == "__main__":
    qptest.main()
