#!/usr/bin/env python3
"""Writes the seed corpora of the fuzz targets (tests/fuzz/corpus/<name>/)
from the inputs of the unit tests: well-formed inputs and the malformed cases
the tests name, in the input layout each target reads (see the target's file
comment). Run it again after changing a layout; the files it writes are
committed, next to the inputs that fuzzing added (named by their hash)."""

import os
import struct
import sys

HERE = os.path.dirname(os.path.abspath(__file__))


def write(target, name, data):
    folder = os.path.join(HERE, "corpus", target)
    os.makedirs(folder, exist_ok=True)
    if isinstance(data, str):
        data = data.encode("utf-8", "surrogateescape")
    with open(os.path.join(folder, "seed-" + name), "wb") as out:
        out.write(data)


# --- serial_list: raw stored list bytes ------------------------------------

def s_text(t):
    b = t.encode()
    if len(b) < 255:
        return bytes([len(b)]) + b
    return b"\xff" + struct.pack("<H", len(b)) + b


def s_list(*texts):
    return struct.pack("<H", len(texts)) + b"".join(s_text(t) for t in texts)


def serial_list():
    write("serial_list", "two-texts", s_list("hello", "world!"))
    write("serial_list", "empty", b"\x00\x00")
    write("serial_list", "length-254", s_list("x" * 254))
    write("serial_list", "length-255", s_list("x" * 255))
    write("serial_list", "long-count", b"\xff\xff\x01\x00\x00\x00\x02ok")
    write("serial_list", "utf16-marker", b"\x01\x00\xff\xfe\xff\x00")
    write("serial_list", "huge-long-count", b"\xff\xff\xff\xff\xff\xff\x00")
    write("serial_list", "length-beyond-end", b"\x01\x00\x05abc")
    write("serial_list", "accounts", s_list("admin", "Administrator", "", "bob", "", "s3cret"))
    write("serial_list", "mx-records", s_list("mx.example|10.0.0.1", "d2.test|192.0.2.7"))
    # For the writing half: texts cut at newlines, odd first byte adds a long one.
    write("serial_list", "texts-to-write", b"\x03joe\nJoe Smith\nsecret\nann\n\npw")


# --- reg_file: .reg file bytes ----------------------------------------------

SAMPLE = (
    "Windows Registry Editor Version 5.00\n"
    "\n"
    "; settings of the mail service\n"
    "[HKEY_LOCAL_MACHINE\\Software\\Orvalen\\Mail Service\\Settings]\n"
    "\"MailFolder\"=\"c:\\\\Mailboxes\\\\\"\n"
    "\"Greeting\"=\"say \\\"hi\\\" to Zo\u00eb\"\n"
    "\"SmtpPort\"=dword:0000006E\n"
    "@=\"default\"\n"
    "\"Blob\"=hex:00,01,02,03,04,05,06,07,08,09,0a,0b,0c,0d,0e,0f,10,11,12,13,14,15,16,17,\\\n"
    "  18,19,1a\n"
    "\"Path\"=hex(2):25,00,54,00,45,00,4d,00,50,00,25,00,00,00\n"
    "\"Gone\"=-\n"
    "\n"
    "[-HKEY_LOCAL_MACHINE\\Software\\Old]\n"
    "  [hklm\\Software\\Short]  \n"
)


def windows_form(text):
    return b"\xff\xfe" + text.replace("\n", "\r\n").encode("utf-16-le")


def reg_file():
    header = "Windows Registry Editor Version 5.00\n"
    key = "[HKLM\\Software\\A]\n"
    write("reg_file", "sample-utf8", SAMPLE)
    write("reg_file", "sample-windows", windows_form(SAMPLE))
    write("reg_file", "sample-utf8-bom", b"\xef\xbb\xbf" + SAMPLE.encode())
    write("reg_file", "regedit4", "REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n\"x\"=hex(2):41,42,00\n")
    write("reg_file", "multi-sz", header + key + "\"m\"=hex(7):61,00,00,00,62,00,00,00,00,00\n")
    write("reg_file", "escapes", header + key + "\"c:\\temp\"=\"a\\\\b\\\"c\"\n\"\"=\"empty name\"\n")
    write("reg_file", "bad-continuation", header + key + "\"a\"=hex:00,\\\n  zz\n")
    write("reg_file", "value-before-key", header + "\"a\"=\"b\"\n")
    write("reg_file", "hex-type-wide", header + key + "\"a\"=hex(123456789):00\n")
    write("reg_file", "odd-utf16", header + key + "\"a\"=hex(2):41,00,42\n")


# --- dns_message: DNS replies -------------------------------------------------

def d_name(dotted):
    out = b""
    for label in dotted.split(".") if dotted else []:
        out += bytes([len(label)]) + label.encode()
    return out + b"\x00"


def d_ptr(offset):
    return bytes([0xC0 | (offset >> 8), offset & 0xFF])


def d_header(flags, qd, an, ns, ar, ident=1):
    return struct.pack(">HHHHHH", ident, flags, qd, an, ns, ar)


def d_question(name, qtype=15):
    return name + struct.pack(">HH", qtype, 1)


def d_record(owner, rtype, data, ttl=3600):
    return owner + struct.pack(">HHIH", rtype, 1, ttl, len(data)) + data


def d_mx(pref, exchange):
    return struct.pack(">H", pref) + exchange


def dns_message():
    q = d_name("example.org")
    write("dns_message", "two-mx", d_header(0x8580, 1, 2, 0, 0) + d_question(q)
          + d_record(d_ptr(12), 15, d_mx(10, d_name("mx1.example.org")))
          + d_record(d_ptr(12), 15, d_mx(5, d_name("mx2")[:-1] + d_ptr(12))))
    write("dns_message", "a-aaaa-soa", d_header(0x8580, 1, 3, 0, 0) + d_question(q)
          + d_record(d_ptr(12), 1, bytes([192, 0, 2, 1]))
          + d_record(d_ptr(12), 28, bytes(range(16)))
          + d_record(d_ptr(12), 6, b"\x00\x00" + bytes(20)))
    write("dns_message", "referral", d_header(0x8180, 1, 0, 1, 2) + d_question(q)
          + d_record(d_ptr(12), 2, d_name("ns1.example.org"))
          + d_record(d_name("ns1.example.org"), 28, bytes(16))
          + d_record(d_name("NS1.example.org"), 1, bytes([127, 0, 0, 53])))
    write("dns_message", "cname-ptr", d_header(0x8180, 1, 2, 0, 0) + d_question(q)
          + d_record(d_ptr(12), 5, d_name("alias.example.org"))
          + d_record(d_ptr(12), 12, d_name("1.2.0.192.in-addr.arpa")))
    write("dns_message", "pointer-loop", d_header(0x8180, 1, 0, 0, 0) + d_ptr(12) + b"\x00\x0f\x00\x01")
    write("dns_message", "truncated", (d_header(0x8580, 1, 1, 0, 0) + d_question(q)
                                       + d_record(d_ptr(12), 15, d_mx(10, d_name("mx.example.org"))))[:-6])
    write("dns_message", "counts-lie", d_header(0x8580, 1, 9, 0, 0) + d_question(q))
    write("dns_message", "label-63", d_header(0x8580, 1, 0, 0, 0) + d_question(d_name("a" * 63 + ".org")))
    write("dns_message", "reserved-label-bytes", d_header(0x8580, 1, 0, 0, 0) + b"\x40\x80\x03org\x00\x00\x0f\x00\x01")


# --- base64: capacity byte, then the text ------------------------------------

def base64():
    write("base64", "plain-joe", b"\x40" + b"AGpvZQBzZWNyZXQ=")
    write("base64", "login-user", b"\x10am9l")
    write("base64", "short-capacity", b"\x01eA==")
    write("base64", "blanks-and-padding", b"\xff" + b" c2Vj\tcmV0 ==\r\n")
    write("base64", "three-and-one", b"\x08" + b"YWJjZA" + b"Q")


# --- ip_filter: mode byte, address line, entry lines --------------------------

def ip_filter():
    entries = [
        "10.0.0.1 10.0.0.255", "10.0.0.1-10.0.0.5", "10.0.0.1,10.0.0.5", "10.0.0.1;10.0.0.5",
        "10.0.0.1|10.0.0.5", "10.0.0.1 -10.0.0.5", "192.168.0.7", "192.168.*.*", "192.168.*.* 1.1.1.1",
        "192.*", "010.*.*.*", "", "10.0.0.1 ", "10.0.0.1 zzz", "a.b.c.d", "10.0.0.1 10.0.0.300",
    ]
    write("ip_filter", "deny-listed", b"\x01" + ("10.0.0.7\n" + "\n".join(entries)).encode())
    write("ip_filter", "allow-listed", b"\x02" + "192.168.4.20\n192.168.*.*\n010.000.000.001 010.000.000.009".encode())
    write("ip_filter", "padded", b"\x02" + b"192.168.000.007\n192.168.0.7")
    write("ip_filter", "off", b"\x00" + b"8.8.8.8\n8.8.8.8")


# --- wildcard: case byte, text, NUL, pattern (its lines are forward rules) ----

def wildcard():
    write("wildcard", "forward-domain", b"\x01" + b"joe@d1.test\x00*@d1.test|*@d2.test")
    write("wildcard", "question-marks", b"\x00" + b"ann@d1.test\x00a?n@*\na*|?x*@remote.test")
    write("wildcard", "many-stars", b"\x01" + b"aaaaaaaaaaaaaaaaaaaaaaaaaaab\x00*a*a*a*a*a*b")
    write("wildcard", "info", b"\x01" + b"info@d1.test\x00info@d1.test|joe@d1.test")
    write("wildcard", "blocked", b"\x01" + b"spammer@blocked.test\x00*@blocked.test")


# --- smtp_session: options byte, read-size byte, what the client sends --------

PLAIN_JOE = "AGpvZQBzZWNyZXQ="  # "\0joe\0secret"


def smtp_session():
    crlf = lambda *lines: "".join(line + "\r\n" for line in lines)
    mail = crlf("EHLO client.test", "MAIL FROM:<a@d1.test>", "RCPT TO:<joe@d1.test>",
                "RCPT TO:<ann@d1.test>", "DATA") + "Subject: hi\r\n\r\nbody\r\n..dot\r\n.\r\n" + crlf("QUIT")
    write("smtp_session", "two-recipients", b"\x00\x00" + mail.encode())
    write("smtp_session", "byte-by-byte", b"\x00\x01" + mail.encode())
    write("smtp_session", "random-reads", b"\x00\x02" + mail.encode())
    write("smtp_session", "auth-plain-remote", b"\x01\x00" + crlf(
        "EHLO x", "AUTH PLAIN", PLAIN_JOE, "MAIL FROM:<joe@d1.test>", "RCPT TO:<far@remote.test>",
        "RCPT TO:<nobody@d1.test>", "RCPT TO:<drop@d1.test>", "RCPT TO:<../x@d1.test>", "DATA").encode()
          + b"x\r\n.\r\n")
    write("smtp_session", "auth-login", b"\x00\x00" + crlf(
        "HELO x", "AUTH LOGIN", "am9l", "c2VjcmV0", "AUTH PLAIN", "eA==", "AUTH=LOGIN", "*").encode())
    write("smtp_session", "forward-rules", b"\x04\x02" + crlf(
        "EHLO c", "MAIL FROM:<s@fwd.test>", "RCPT TO:<bob@fwd.test>", "RCPT TO:<info@d1.test>",
        "RCPT TO:<x@out.test>", "DATA").encode() + b"a\r\n.\r\n")
    write("smtp_session", "blocked-sender", b"\x08\x00" + crlf(
        "EHLO c", "MAIL FROM:<s@blocked.test>", "MAIL FROM: spam@x", "MAIL FROM:<ok@d1.test>",
        "RCPT TO:<joe@d1.test>", "RSET", "DATA").encode())
    write("smtp_session", "out-of-order", b"\x00\x00" + crlf(
        "MAIL FROM:<a@b>", "DATA", "HELO", "RCPT TO:<joe@d1.test>", "DATA", "VRFY joe", "HELP", "NOOP",
        "XYZZY", "").encode() + b"bare\nLF\r\nCR\rinside\r\npartial")
    write("smtp_session", "terminator-split", b"\x00\x02" + crlf(
        "HELO x", "MAIL FROM:<a@d1.test>", "RCPT TO:<joe@d1.test>", "DATA").encode()
          + b"a\r\n.\r\nQUIT\r\n" + b"\r\n.\r\n" + crlf("MAIL FROM:<b@d1.test>", "RCPT TO:<ann@d1.test>",
                                                      "DATA").encode() + b".\r\n")
    write("smtp_session", "large-message", b"\x20\x00" + crlf(
        "EHLO x", "MAIL FROM:<a@d1.test>", "RCPT TO:<joe@d1.test>", "DATA").encode() + b"end\r\n.\r\n")
    write("smtp_session", "no-domain", b"\x12\x00" + crlf(
        "HELO x", "MAIL FROM:<>", "RCPT TO:<joe@d1.test>", "RCPT TO: <JOE@D1.TEST> ", "DATA").encode()
          + b"\r\n.\r\n")
    write("smtp_session", "nul-in-read", b"\x00\x00" + b"HELO x\r\nNOOP\x00ignored\r\n")


# --- pop3_session: read-size byte, what the client sends, 0x1E, carol's message

def pop3_session():
    crlf = lambda *lines: "".join(line + "\r\n" for line in lines).encode()
    write("pop3_session", "retrieve-all", b"\x00" + crlf(
        "CAPA", "USER bob", "PASS secret", "STAT", "LIST", "UIDL", "LIST 2", "UIDL 1", "RETR 1", "RETR 2",
        "RETR 3", "RETR 4", "TOP 1 0", "TOP 4 3", "LAST", "QUIT"))
    write("pop3_session", "delete-and-quit", b"\x01" + crlf(
        "USER bob", "PASS secret", "DELE 1", "DELE 1", "RETR 1", "LIST 1", "DELE 9", "RSET", "DELE 2", "QUIT"))
    write("pop3_session", "delete-and-drop", b"\x02" + crlf(
        "USER alice", "PASS wonder", "DELE 1", "TOP 1 1", "NOOP"))
    write("pop3_session", "bad-users", b"\x00" + crlf(
        "STAT", "PASS x", "USER ../bob", "PASS secret", "USER drop", "PASS x", "USER BOB", "PASS SECRET",
        "RETR -1", "RETR 2147483648", "TOP 1", "TOP x y", "LIST  1", "FOO"))
    write("pop3_session", "relogin", b"\x03" + crlf(
        "USER bob", "PASS secret", "DELE 3", "USER alice", "PASS wonder", "STAT", "DELE 1", "QUIT", "DELE 1"))
    carol = crlf("USER carol", "PASS pw", "RETR 1", "TOP 1 0", "TOP 1 3")
    write("pop3_session", "carol-default", b"\x00" + carol)
    write("pop3_session", "carol-bare-lf-dots", b"\x01" + carol + b"\x1e" + b"A: 1\n.\n\n.x\n.\r\n..\r\n.\rz\n.")
    write("pop3_session", "carol-envelope-only", b"\x00" + carol + b"\x1e" + b"x-sender: <a>\r\nx-receiver: <b>")
    write("pop3_session", "carol-blanks-before-dot", b"\x00" + carol + b"\x1e" + b" \t.\r\n\r\n.\r\n \r.x")
    write("pop3_session", "carol-nul-in-envelope", b"\x02" + carol + b"\x1e" + b"x-receiver: <b\x00>\r\n.\n")


def main():
    for make in (serial_list, reg_file, dns_message, base64, ip_filter, wildcard, smtp_session, pop3_session):
        make()
    return 0


if __name__ == "__main__":
    sys.exit(main())
