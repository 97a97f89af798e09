"""Helpers of the SMTP end-to-end tests: a configured mail server, a raw SMTP
dialogue over a socket, expected spool texts and waits for delivered files.
Every connection goes to 127.0.0.1; no name is ever resolved."""

import os
import re
import smtplib
import socket
import time


DOMAIN = "d1.test"
ACCOUNTS = [("joe", "Joe", "secret"), ("ann", "Ann", "pw2")]
MAIL_FOLDER = "c:\\Mail\\"
CLIENT_NAME = "client.test"
SERVER_ID = "Kestrune Mail Server SMTP (1.0.0.0)"
DATE = (r"(Sun|Mon|Tue|Wed|Thu|Fri|Sat), [0-3][0-9] "
        r"(Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) [0-9]{4} "
        r"[0-2][0-9]:[0-5][0-9]:[0-6][0-9] GMT")
QUEUED = re.compile(r"250 OK: Queued as: ([0-9A-F]{32})$")


def configure(machine, **settings):
    """Mail folder, one local domain and two accounts; extra settings as given."""
    values = dict(MailFolder=MAIL_FOLDER)
    values.update(settings)
    machine.set_settings(**values)
    machine.set_list("Domains", "Extensions", [DOMAIN])
    machine.set_list("UserAccounts", "Users", ACCOUNTS)


def folder(machine, name):
    return os.path.join(machine.native(MAIL_FOLDER), name)


def files(machine, name):
    """Sorted names of the files in one folder of the mail store."""
    path = folder(machine, name)
    if not os.path.isdir(path):
        return []
    return sorted(f for f in os.listdir(path) if os.path.isfile(os.path.join(path, f)))


def read(machine, name, file_name):
    with open(os.path.join(folder(machine, name), file_name), "rb") as f:
        return f.read()


def wait_for(predicate, timeout=10, what="condition"):
    end = time.monotonic() + timeout
    while True:
        value = predicate()
        if value:
            return value
        if time.monotonic() > end:
            raise AssertionError("timed out waiting for " + what)
        time.sleep(0.02)


def wait_delivered(machine, queue_id, folders, timeout=10):
    """Until the message is in each folder and gone from the drop folder."""
    name = queue_id + ".eml"

    def done():
        return (all(name in files(machine, f) for f in folders)
                and name not in files(machine, "drop"))
    wait_for(done, timeout, "%s in %s" % (name, folders))


def client(server):
    """smtplib client that never looks up its own name."""
    return smtplib.SMTP("127.0.0.1", server.smtp_port, local_hostname=CLIENT_NAME, timeout=30)


def spool_pattern(sender, recipients, helo, text, peer="127.0.0.1", by=DOMAIN):
    """A regular expression (bytes) for a whole spool file."""
    head = "x-sender: %s\r\n" % sender
    head += "".join("x-receiver: %s\r\n" % r for r in recipients)
    head += "Received: from %s ([%s]) by %s with %s;\r\n\t" % (helo, peer, by, SERVER_ID)
    return re.compile(re.escape(head.encode()) + DATE.encode() + b"\r\n" + re.escape(text) + b"\\Z")


class Dialogue:
    """A raw SMTP connection: bytes out, replies (all lines of one) in."""

    def __init__(self, port, timeout=30):
        self.sock = socket.create_connection(("127.0.0.1", port), timeout=timeout)
        self.buffer = b""
        self.greeting = self.reply()

    def close(self):
        self.sock.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
        return False

    def _line(self):
        while b"\r\n" not in self.buffer:
            data = self.sock.recv(65536)
            if not data:
                raise ConnectionError("closed; pending %r" % self.buffer)
            self.buffer += data
        line, self.buffer = self.buffer.split(b"\r\n", 1)
        return line.decode("latin-1")

    def reply(self):
        """One reply: its lines joined by CR LF, as the server sent them."""
        lines = [self._line()]
        while len(lines[-1]) >= 4 and lines[-1][3] == "-":
            lines.append(self._line())
        return "\r\n".join(lines)

    def send(self, data):
        self.sock.sendall(data if isinstance(data, bytes) else data.encode("latin-1"))

    def command(self, line):
        self.send(line + "\r\n")
        return self.reply()


def start(machine, log_level=2, **settings):
    configure(machine, **settings)
    server = machine.start_console(log_level=log_level)
    server.wait_ready()
    return server

