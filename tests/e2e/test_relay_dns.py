"""The relay's DNS lookups end to end: the real quillpost asks a fake DNS
server on loopback (this file's FakeDns, which can forge) for the mail
exchangers of a recipient's domain and for the addresses of mail servers
given by name, and relays to SmtpReceiver peers (test_relay.py).

Only the reply to the query may count: forged replies with a wrong id, or
with the right id from another address, arriving before the real reply are
ignored; query ids differ from query to query; a referral that also carries
the answer is used as an answer.

Addresses: 127.0.64.x (test_relay.py uses 127.0.62.x, the unit tests
127.0.61.x, the benchmark 127.0.63.x). The relay always asks port 53 and
sends to port 25, so the tests need root and skip otherwise.
"""

import os
import select
import socket
import struct
import sys
import threading

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import qptest  # noqa: E402
import test_relay  # noqa: E402

DNS_IP = "127.0.64.53"
FORGER_IP = "127.0.64.54"
REFERRED_DNS_IP = "127.0.64.55"
MX_REAL = "127.0.64.20"
MX_FORGED = "127.0.64.21"
MX_NAMED = "127.0.64.22"
RELAY_NAMED = "127.0.64.23"
DELIVERY_LIMIT_S = 5

TYPE_A, TYPE_NS, TYPE_MX = 1, 2, 15
FLAGS_REPLY = 0x8180                # response, recursion desired and available
FLAGS_AUTHORITATIVE_REPLY = 0x8580


def encode_name(name):
    out = b""
    for label in name.split("."):
        out += bytes([len(label)]) + label.encode()
    return out + b"\0"


def record(owner, rtype, data):
    return encode_name(owner) + struct.pack(">HHIH", rtype, 1, 60, len(data)) + data


def mx(owner, preference, exchange):
    return record(owner, TYPE_MX, struct.pack(">H", preference) + encode_name(exchange))


def address(owner, ip):
    return record(owner, TYPE_A, socket.inet_aton(ip))


def name_server(owner, host):
    return record(owner, TYPE_NS, encode_name(host))


def setUpModule():
    # The peers' fixed addresses (port 25 and 53) are shared with the runs
    # of other build folders on this machine.
    qptest.hold_peer_addresses(DNS_IP)


class Query:
    """One query as it arrived: its bytes, id, question name and type."""

    def __init__(self, raw):
        self.raw = raw
        self.id = struct.unpack(">H", raw[:2])[0]
        pos, labels = 12, []
        while raw[pos]:
            labels.append(raw[pos + 1:pos + 1 + raw[pos]].decode("latin-1"))
            pos += 1 + raw[pos]
        self.name = ".".join(labels)
        self.qtype = struct.unpack(">H", raw[pos + 1:pos + 3])[0]
        self.question = raw[12:pos + 5]


def reply(query, answers=(), authority=(), additional=(), flags=FLAGS_AUTHORITATIVE_REPLY, id=None):
    header = struct.pack(">HHHHHH", query.id if id is None else id, flags, 1,
                         len(answers), len(authority), len(additional))
    return header + query.question + b"".join(list(answers) + list(authority) + list(additional))


class FakeDns:
    """A DNS server on ip:53 (UDP). respond(query) gives the datagrams to send
    back, in order, as (bytes, source): source None is this server's own
    address, else a socket on that address sends it (a forger)."""

    def __init__(self, ip, respond):
        self.ip = ip
        self.respond = respond
        self.queries = []
        self._lock = threading.Lock()
        self._stop = threading.Event()
        self._socket = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self._socket.bind((ip, 53))
        self._thread = threading.Thread(target=self._serve, daemon=True)
        self._thread.start()

    def _serve(self):
        while not self._stop.is_set():
            if not select.select([self._socket], [], [], 0.05)[0]:
                continue
            raw, peer = self._socket.recvfrom(4096)
            query = Query(raw)
            with self._lock:
                self.queries.append(query)
            for datagram, source in self.respond(query):
                if source is None:
                    self._socket.sendto(datagram, peer)
                    continue
                with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as forger:
                    forger.bind((source, 0))
                    forger.sendto(datagram, peer)

    def stop(self):
        self._stop.set()
        self._thread.join(5)
        self._socket.close()

    def seen(self, qtype=None):
        with self._lock:
            return [q for q in self.queries if qtype is None or q.qtype == qtype]


class RelayDnsTest(test_relay.RelayTestBase):
    def setUp(self):
        super().setUp()
        self.machine.set_settings(DNSServer=DNS_IP)

    def fake_dns(self, respond, ip=DNS_IP):
        server = FakeDns(ip, respond)
        self.addCleanup(server.stop)
        return server

    def relay_one(self, domain):
        """Relays a message to bob@domain; returns the real and the forged exchanger."""
        real = self.receiver(MX_REAL)
        forged = self.receiver(MX_FORGED)
        self.start_server()
        self.send(["<bob@%s>" % domain])
        real.wait_transactions(1, DELIVERY_LIMIT_S)
        self.wait_queue_empty(DELIVERY_LIMIT_S)
        return real, forged

    def test_forged_reply_with_a_wrong_id_arriving_first_is_ignored(self):
        self.fake_dns(lambda q: [
            (reply(q, [mx(q.name, 10, MX_FORGED)], id=(q.id + 1) & 0xFFFF), None),
            (reply(q, [mx(q.name, 10, MX_REAL)]), None)])
        _, forged = self.relay_one("a.test")
        self.assertEqual(forged.connections, 0)
        self.assertEqual(self.folder("badmail"), [])

    def test_reply_with_the_right_id_from_another_address_is_ignored(self):
        self.fake_dns(lambda q: [
            (reply(q, [mx(q.name, 10, MX_FORGED)]), FORGER_IP),
            (reply(q, [mx(q.name, 10, MX_REAL)]), None)])
        _, forged = self.relay_one("a.test")
        self.assertEqual(forged.connections, 0)

    def test_query_ids_differ_and_the_rest_of_the_query_is_as_designed(self):
        dns = self.fake_dns(lambda q: [(reply(q, [mx(q.name, 10, MX_REAL)]), None)])
        real = self.receiver(MX_REAL)
        self.start_server()
        domains = ["one.test", "two.test", "three.test"]
        self.send(["<bob@%s>" % d for d in domains])
        real.wait_transactions(3, DELIVERY_LIMIT_S)
        queries = dns.seen()
        self.assertEqual([q.name for q in queries], domains)
        for q in queries:
            expected = (struct.pack(">HHHHH", 0x0100, 1, 0, 0, 0)
                        + encode_name(q.name) + struct.pack(">HH", TYPE_MX, 1))
            self.assertEqual(q.raw[2:], expected)
        # Three equal random ids come once in 2^32 runs.
        self.assertGreater(len({q.id for q in queries}), 1, [q.id for q in queries])

    def test_referral_that_also_carries_the_answer_is_used(self):
        referred = self.fake_dns(lambda q: [(reply(q, [mx(q.name, 10, MX_FORGED)]), None)],
                                 ip=REFERRED_DNS_IP)
        self.fake_dns(lambda q: [(reply(q, [mx(q.name, 10, MX_REAL)],
                                        [name_server(q.name, "ns.referred.test")],
                                        [address("ns.referred.test", REFERRED_DNS_IP)],
                                        flags=FLAGS_REPLY), None)])
        _, forged = self.relay_one("a.test")
        self.assertEqual(forged.connections, 0)
        self.assertEqual(referred.seen(), [])

    def test_mail_server_names_are_resolved_through_the_dns_server(self):
        addresses = {"mx.named.test": MX_NAMED, "relay.byname.test": RELAY_NAMED}
        exchangers = {"named.test": "mx.named.test", "nowhere.test": "mx.nowhere.test"}

        def respond(q):
            if q.qtype == TYPE_MX and q.name in exchangers:
                return [(reply(q, [mx(q.name, 10, exchangers[q.name])]), None)]
            if q.qtype == TYPE_A and q.name in addresses:
                return [(reply(q, [address(q.name, addresses[q.name])]), None)]
            return [(reply(q), None)]

        dns = self.fake_dns(respond)
        self.machine.set_list("Relay", "MxRecords", ["byname.test|relay.byname.test"])
        named = self.receiver(MX_NAMED)
        predefined = self.receiver(RELAY_NAMED)
        self.start_server()
        self.send(["<bob@named.test>", "<carol@byname.test>", "<dave@nowhere.test>"])

        self.assertEqual(named.wait_transactions(1, DELIVERY_LIMIT_S)[0].rcpts, ["<bob@named.test>"])
        self.assertEqual(predefined.wait_transactions(1, DELIVERY_LIMIT_S)[0].rcpts,
                         ["<carol@byname.test>"])
        self.wait_folder("badmail", 1, DELIVERY_LIMIT_S)
        self.server.wait_log("<RELAY> DNS Lookup for 'mx.nowhere.test' failed!")
        self.assertEqual(sorted(q.name for q in dns.seen(TYPE_A)),
                         ["mx.named.test", "mx.nowhere.test", "relay.byname.test"])


if __name__ == "__main__":
    qptest.main()
