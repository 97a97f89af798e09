"""A full disk under the mail folder, against the real quillpost -d: the mail
folder is a tmpfs of 80 MiB mounted by the test (root only), filled with a
file of its own.

  - While less than 64 MiB are free, MAIL is answered "452 4.3.1
    Insufficient system storage"; once space is back, mail is taken again.

  - A message that does not fit (the disk filled up after MAIL) is answered "451 Requested action aborted:
    local error in processing", leaves nothing behind (no temporary file, no
    spool file, no partial copy, the free space as it was), the session goes
    on, and no earlier message is lost or changed (folder and POP3).
  - Once space is back, the same session and new ones get mail through.
  - A message whose spool file fits but whose mailbox copy does not is kept
    in the drop folder (it was answered "250") and delivered at the next
    start, with no partial copy in the mailbox meanwhile."""

import errno
import os
import poplib
import subprocess
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import qptest  # noqa: E402
from smtpkit import MAIL_FOLDER, QUEUED, Dialogue, configure, files, read, wait_delivered  # noqa: E402

LOCAL_ERROR = "451 Requested action aborted: local error in processing"
FS_SIZE = "80m"
LOW_STORAGE = "452 4.3.1 Insufficient system storage"
FILLER = "filler.bin"  # in the mail folder itself: no mailbox, no system folder
CHUNK = 64 * 1024


def message(tag, size):
    """A message of about `size` bytes whose lines name it."""
    line = ("%s %s\r\n" % (tag, "z" * 70)).encode()
    body = line * max(1, size // len(line))
    return ("Subject: %s\r\n\r\n" % tag).encode() + body


def free_bytes(path):
    st = os.statvfs(path)
    return st.f_bavail * st.f_frsize


class DiskFullTest(qptest.MachineTestCase):
    def setUp(self):
        super().setUp()
        if os.geteuid() != 0:
            self.skipTest("needs root: the test mounts a tmpfs of %s as the mail folder" % FS_SIZE)
        m = self.machine
        configure(m)
        self.mount = m.native(MAIL_FOLDER).rstrip("/")
        os.makedirs(self.mount, exist_ok=True)
        mounted = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=" + FS_SIZE, "tmpfs", self.mount],
                                 capture_output=True, text=True)
        if mounted.returncode != 0:
            self.skipTest("cannot mount a tmpfs here (%s): %s" % (mounted.returncode, mounted.stderr.strip()))
        # Cleanups run last-in first-out: unmounted before the machine goes.
        self.addCleanup(self.unmount)
        self.server = m.start_console(log_level=2)
        self.server.wait_ready()
        self.filler = os.path.join(self.mount, FILLER)

    def unmount(self):
        for server in list(self.machine._servers):
            server.kill()
        if subprocess.run(["umount", self.mount], capture_output=True).returncode != 0:
            subprocess.run(["umount", "-l", self.mount], capture_output=True)

    def fill(self, leave=0):
        """Fills the file system, then gives back about `leave` bytes."""
        fd = os.open(self.filler, os.O_WRONLY | os.O_CREAT | os.O_APPEND, 0o600)
        try:
            block = b"\0" * CHUNK
            while True:
                try:
                    os.write(fd, block)
                except OSError as e:
                    self.assertEqual(e.errno, errno.ENOSPC)
                    break
        finally:
            os.close(fd)
        self.assertLess(free_bytes(self.mount), CHUNK, "the file system is full")
        size = os.path.getsize(self.filler)
        os.truncate(self.filler, max(0, size - leave))
        return free_bytes(self.mount)

    def unfill(self):
        os.unlink(self.filler)

    def send(self, d, tag, size, leave=None):
        """One message over an open dialogue; returns the final reply. With
        `leave`, the disk is filled after MAIL (which checks the free space)
        up to that many free bytes, kept in self.free."""
        self.assertEqual(d.command("MAIL FROM:<a@d1.test>"), "250 OK")
        self.assertEqual(d.command("RCPT TO:<joe@d1.test>"), "250 OK")
        if leave is not None:
            self.free = self.fill(leave)
        self.assertEqual(d.command("DATA"), "354 End with <CRLF>.<CRLF>")
        d.send(message(tag, size) + b"\r\n.\r\n")
        return d.reply()

    def deliver(self, d, tag, size):
        reply = self.send(d, tag, size)
        found = QUEUED.match(reply)
        self.assertTrue(found, "message %s answered %r" % (tag, reply))
        wait_delivered(self.machine, found.group(1), ["joe"])
        return found.group(1) + ".eml"

    def mailbox(self):
        return {name: read(self.machine, "joe", name) for name in files(self.machine, "joe")}

    def pop3_messages(self):
        box = poplib.POP3("127.0.0.1", self.server.pop3_port, timeout=10)
        try:
            box.user("joe")
            box.pass_("secret")
            count, _ = box.stat()
            texts = [b"\r\n".join(box.retr(n)[1]) for n in range(1, count + 1)]
            box.quit()
            return sorted(texts)
        finally:
            box.close()

    def test_message_that_does_not_fit_gets_451_and_nothing_is_lost(self):
        m = self.machine
        with Dialogue(self.server.smtp_port) as d:
            self.assertEqual(d.command("HELO c"), "250 OK")
            earlier = [self.deliver(d, "early-%d" % i, 20 * 1024) for i in range(3)]
            stored = self.mailbox()
            self.assertEqual(sorted(stored), sorted(earlier))
            pop3_before = self.pop3_messages()
            self.assertEqual(len(pop3_before), 3)

            # (label, bytes left free, message size): a disk with no room at
            # all, and one with room for part of the message.
            cases = [("full disk, small message", 0, 1024),
                     ("full disk, message over the flush size", 0, 200 * 1024),
                     ("1 MiB free, 2 MiB message", 1024 * 1024, 2 * 1024 * 1024)]
            for label, leave, size in cases:
                with self.subTest(label):
                    self.assertEqual(self.send(d, label.replace(" ", "-"), size, leave), LOCAL_ERROR)
                    free = self.free
                    self.assertEqual(files(m, ".tmp"), [], "temporary file removed")
                    self.assertEqual(files(m, "drop"), [], "no spool file kept")
                    self.assertEqual(free_bytes(self.mount), free, "free space as before the message")
                    self.assertEqual(self.mailbox(), stored, "earlier messages unchanged")
                    self.assertEqual(self.pop3_messages(), pop3_before)
                    # The session goes on: the transaction was reset.
                    self.assertEqual(d.command("RCPT TO:<joe@d1.test>"), "503 Need MAIL FROM: first")
                    self.unfill()

            # Space is back: the same session and a new one get mail through.
            later = [self.deliver(d, "after-same-session", 20 * 1024)]
            self.assertEqual(d.command("QUIT"), "221 Bye")
        with Dialogue(self.server.smtp_port) as d:
            self.assertEqual(d.command("HELO c"), "250 OK")
            later.append(self.deliver(d, "after-new-session", 20 * 1024))
        self.assertEqual(sorted(files(m, "joe")), sorted(earlier + later))
        self.assertEqual(len(self.pop3_messages()), 5)
        self.server.wait_log("<SMTP> " + LOCAL_ERROR)

    def test_message_that_fits_once_is_delivered_without_a_second_copy(self):
        # Mailbox copies are further names of the spool file, not copies of
        # its data: a message that fits on the disk once is delivered.
        m = self.machine
        size = 600 * 1024
        with Dialogue(self.server.smtp_port) as d:
            self.assertEqual(d.command("HELO c"), "250 OK")
            earlier = self.deliver(d, "early", 20 * 1024)
            # Room for the spool file, not for a copy.
            reply = self.send(d, "fits", size, leave=size + size // 2)
            found = QUEUED.match(reply)
            self.assertTrue(found, reply)
            name = found.group(1) + ".eml"
            self.server.wait_log("<SMTP> Incoming message: " + name)
            qptest.wait_until(lambda: name in files(m, "joe"), 10, "the copy in the mailbox")
            self.assertNotIn("Delivery failed", self.server.read_log())
            qptest.wait_until(lambda: files(m, "drop") == [], 10, "the spool file's removal after the sync")
            self.assertEqual(files(m, ".tmp"), [])
            self.unfill()
            later = self.deliver(d, "later", 20 * 1024)
        self.assertEqual(sorted(files(m, "joe")), sorted([earlier, name, later]))
        self.assertEqual(len(self.pop3_messages()), 3)

    def test_mail_is_refused_while_space_is_low_and_taken_once_it_is_back(self):
        with Dialogue(self.server.smtp_port) as d:
            self.assertEqual(d.command("HELO c"), "250 OK")
            earlier = self.deliver(d, "early", 20 * 1024)
            self.fill(40 * 1024 * 1024)
            self.assertEqual(d.command("MAIL FROM:<a@d1.test>"), LOW_STORAGE)
            self.assertEqual(d.command("RCPT TO:<joe@d1.test>"), "503 Need MAIL FROM: first")
            with Dialogue(self.server.smtp_port) as other:
                self.assertEqual(other.command("HELO c"), "250 OK")
                self.assertEqual(other.command("MAIL FROM:<b@d1.test>"), LOW_STORAGE)
            self.unfill()
            later = self.deliver(d, "later", 20 * 1024)
        self.assertEqual(sorted(files(self.machine, "joe")), sorted([earlier, later]))
        self.server.wait_log("<SMTP> " + LOW_STORAGE)


if __name__ == "__main__":
    qptest.main()
