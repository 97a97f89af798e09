#!/usr/bin/env python3
"""Load benchmark of quillpost's connection handling (a command, not a test).

  python3 bench/load_bench.py [--bin-dir BUILD] [--slow 1000] [--lines 30]
                              [--interval 1.0] [--ramp 0] [--idle 2000]
                              [--idle-limit 100] [--only slow|idle|fdlimit]

Runs the real service in console mode on a machine of its own (a temporary
QUILLPOST_HOME, loopback only, high ports) and reports:

  1. Slow senders: --slow connections (ConnectionsLimit raised above them),
     opened all at once or spread over --ramp seconds, each open a message and send it one line every --interval seconds
     (--lines lines, so the message takes about lines x interval seconds,
     well inside the session Timeout). Meanwhile a well-behaved client sends
     one message per connection, one after the other; its latency from
     connect to "250 OK: Queued as" and to the file in the mailbox folder
     (median, p99, worst) is compared with the same client on the idle
     server. The server's thread count, open descriptors and memory are
     sampled throughout; at the end every acknowledged message is checked in
     its mailbox.
  2. Idle clients over the limit: with ConnectionsLimit --idle-limit and the
     server's descriptor limit at 1024, --idle clients connect at once and
     stay idle. Those over the limit must get "421 Service not available" and
     be closed; the server's descriptors, threads and memory must stay
     bounded, and once the idle clients leave a new client is served.
  3. Only with --only fdlimit: --starve clients against a server whose
     descriptor limit (--starve-fds) is below what ConnectionsLimit 1000
     needs. Each client must be greeted or refused (none left without an
     answer), and the server must not spin while out of descriptors.

The clients run in a child process of their own (asyncio), so that their
work does not delay the well-behaved client's measurements. Both sides get
their descriptor limits raised as far as the hard limit allows.
"""

import argparse
import asyncio
import json
import os
import random
import resource
import socket
import statistics
import subprocess
import sys
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "e2e"))

GOOD_MESSAGE = b"Subject: good\r\n\r\n" + (b"w" * 76 + b"\r\n") * 13
REFUSED = b"421 Service not available"
GREETING = b"220 "
IDLE_SERVER_FDS = 1024
REPLY_TIMEOUT = 60.0


def client_address(number):
    """A loopback address of its own for client `number`: the server lets
    one address hold only a quarter of its connections."""
    return "127.%d.%d.%d" % (1 + number // 62500, number // 250 % 250, 1 + number % 250)


def raise_fd_limit(want):
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    target = want if hard == resource.RLIM_INFINITY else min(want, hard)
    if target > soft:
        resource.setrlimit(resource.RLIMIT_NOFILE, (target, hard))
    return resource.getrlimit(resource.RLIMIT_NOFILE)[0]


def set_fd_limit(value):
    """For preexec_fn: the server's own descriptor limit (soft), at the
    normal priority."""
    def apply():
        normal_priority()
        _, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
        soft = value if hard == resource.RLIM_INFINITY else min(value, hard)
        resource.setrlimit(resource.RLIMIT_NOFILE, (soft, hard))
    return apply


def raise_measuring_priority():
    """The measuring process goes first where it may (root): on a machine
    as small as the server's, its own wait for a turn would be counted as
    the server's latency. Its children start at the normal priority."""
    try:
        os.setpriority(os.PRIO_PROCESS, 0, -20)  # this thread and those it makes
        return True
    except OSError:
        return False


def normal_priority():
    try:
        os.setpriority(os.PRIO_PROCESS, 0, 0)
    except OSError:
        pass


# --- the client swarm (child process) ---

async def read_reply(reader):
    """One whole reply (continuation lines skipped): its last line."""
    while True:
        line = await asyncio.wait_for(reader.readline(), REPLY_TIMEOUT)
        if not line:
            raise ConnectionError("closed by the server")
        if len(line) < 4 or line[3:4] != b"-":
            return line.rstrip(b"\r\n")


async def expect(reader, prefix, what):
    line = await read_reply(reader)
    if not line.startswith(prefix):
        raise RuntimeError("%s: %r" % (what, line[:60]))
    return line


class SwarmStats:
    def __init__(self):
        self.connect_s = []
        self.errors = {}
        self.acknowledged = 0
        self.in_data = 0
        self.peak_in_data = 0
        self.reached_data = 0
        self.greeted = 0
        self.refused = 0
        self.refused_closed = 0

    def error(self, e, stage):
        key = "%s in %s: %s" % (type(e).__name__, stage, str(e)[:80])
        self.errors[key] = self.errors.get(key, 0) + 1


async def slow_sender(number, port, lines, interval, delay, stats, rng):
    await asyncio.sleep(delay)
    started = time.monotonic()
    writer = None
    in_data = False
    stage = "connect"
    try:
        reader, writer = await asyncio.wait_for(
            asyncio.open_connection("127.0.0.1", port, local_addr=(client_address(number), 0)), REPLY_TIMEOUT)
        stats.connect_s.append(time.monotonic() - started)
        stage = "greeting"
        await expect(reader, b"220", "greeting")
        for command, code in ((b"HELO slow%d.test" % number, b"250"),
                              (b"MAIL FROM:<slow%d@d1.test>" % number, b"250"),
                              (b"RCPT TO:<ann@d1.test>", b"250"),
                              (b"DATA", b"354")):
            stage = command.split()[0].decode()
            writer.write(command + b"\r\n")
            await expect(reader, code, stage)
        stage = "message text"
        in_data = True
        stats.in_data += 1
        stats.reached_data += 1
        stats.peak_in_data = max(stats.peak_in_data, stats.in_data)
        await asyncio.sleep(rng.uniform(0, interval))  # spreads the writes over the interval
        writer.write(b"Subject: slow %d\r\n\r\n" % number)
        for line in range(lines):
            await asyncio.sleep(interval)
            writer.write(b"line %d of slow sender %d\r\n" % (line, number))
        writer.write(b".\r\n")
        stage = "end of data"
        await expect(reader, b"250 OK: Queued as: ", stage)
        stats.acknowledged += 1
        stats.in_data -= 1
        in_data = False
        stage = "QUIT"
        writer.write(b"QUIT\r\n")
        await expect(reader, b"221", "QUIT")
    except Exception as e:  # counted and reported
        if in_data:
            stats.reached_data -= 1
        stats.error(e, stage)
    finally:
        if in_data:
            stats.in_data -= 1
        if writer is not None:
            writer.close()


async def idle_client(number, port, hold, stats):
    writer = None
    stage = "connect"
    try:
        reader, writer = await asyncio.wait_for(
            asyncio.open_connection("127.0.0.1", port, local_addr=(client_address(number), 0)), REPLY_TIMEOUT)
        stage = "first line"
        line = await asyncio.wait_for(reader.readline(), REPLY_TIMEOUT)
        stage = "idle"
        if line.startswith(GREETING):
            stats.greeted += 1
            await hold.wait()  # idle until released
        elif line.rstrip(b"\r\n") == REFUSED:
            stats.refused += 1
            stage = "close after 421"
            if await asyncio.wait_for(reader.read(1), REPLY_TIMEOUT) == b"":
                stats.refused_closed += 1
        else:
            raise RuntimeError("first line %r" % line[:60])
    except Exception as e:  # counted and reported
        stats.error(e, stage)
    finally:
        if writer is not None:
            writer.close()


async def run_swarm(mode, port, count, lines, interval, ramp):
    stats = SwarmStats()
    rng = random.Random(1)
    if mode == "slow":
        tasks = [slow_sender(n, port, lines, interval, ramp * n / count, stats, rng) for n in range(count)]
        reporter = asyncio.ensure_future(report_in_data(stats, count))
        await asyncio.gather(*tasks)
        reporter.cancel()
    else:
        hold = asyncio.Event()
        tasks = [asyncio.ensure_future(idle_client(n, port, hold, stats)) for n in range(count)]
        while stats.greeted + stats.refused + sum(stats.errors.values()) < count:
            await asyncio.sleep(0.1)
        print("ALL_ANSWERED", flush=True)
        await asyncio.get_running_loop().run_in_executor(None, sys.stdin.readline)  # parent says release
        hold.set()
        await asyncio.gather(*tasks)
    return stats


async def report_in_data(stats, count):
    said = False
    while True:
        await asyncio.sleep(0.05)
        if not said and stats.reached_data + sum(stats.errors.values()) >= count:
            print("ALL_IN_DATA", flush=True)
            said = True


def swarm_main(mode, port, count, lines, interval, ramp):
    raise_fd_limit(count + 256)
    stats = asyncio.run(run_swarm(mode, port, count, lines, interval, ramp))
    connect = sorted(stats.connect_s)
    print("RESULT " + json.dumps({
        "acknowledged": stats.acknowledged, "peak_in_data": stats.peak_in_data,
        "greeted": stats.greeted, "refused": stats.refused, "refused_closed": stats.refused_closed,
        "errors": stats.errors,
        "connect_median_s": statistics.median(connect) if connect else None,
        "connect_worst_s": connect[-1] if connect else None}), flush=True)


# --- the parent: server, samples, well-behaved client ---

class Sampler(threading.Thread):
    """Peak thread count, descriptors and resident memory of one process."""

    def __init__(self, pid, period=0.1):
        super().__init__(daemon=True)
        self.pid = pid
        self.period = period
        self.stop_event = threading.Event()
        self.peak = {"threads": 0, "fds": 0, "rss_kib": 0}
        self.last = dict(self.peak)

    def sample(self):
        values = {"fds": len(os.listdir("/proc/%d/fd" % self.pid))}
        with open("/proc/%d/status" % self.pid) as f:
            for line in f:
                if line.startswith("Threads:"):
                    values["threads"] = int(line.split()[1])
                elif line.startswith("VmRSS:"):
                    values["rss_kib"] = int(line.split()[1])
        return values

    def run(self):
        while not self.stop_event.is_set():
            try:
                self.last = self.sample()
            except (OSError, ValueError):
                return
            for key, value in self.last.items():
                self.peak[key] = max(self.peak[key], value)
            self.stop_event.wait(self.period)

    def stop(self):
        self.stop_event.set()
        self.join(5)
        return self.peak


def line_reply(sock, pending):
    while True:
        end = pending[0].find(b"\r\n")
        if end >= 0:
            line, pending[0] = pending[0][:end], pending[0][end + 2:]
            if len(line) >= 4 and line[3:4] == b"-":
                continue
            return line
        data = sock.recv(65536)
        if not data:
            raise ConnectionError("server closed the connection")
        pending[0] += data


def good_message(port, mailbox_path):
    """One message on a new connection: seconds from the connect to the
    greeting, to "250" and to the file in the mailbox, and when it began."""
    started = time.monotonic()
    sock = socket.create_connection(("127.0.0.1", port), timeout=REPLY_TIMEOUT)
    sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    pending = [b""]
    try:
        line_reply(sock, pending)
        greeted = time.monotonic() - started
        for command in (b"HELO good.test", b"MAIL FROM:<good@d1.test>", b"RCPT TO:<joe@d1.test>", b"DATA"):
            sock.sendall(command + b"\r\n")
            line_reply(sock, pending)
        sock.sendall(GOOD_MESSAGE + b".\r\n")
        reply = line_reply(sock, pending).decode()
        if not reply.startswith("250 OK: Queued as: "):
            raise RuntimeError("good client got %r" % reply)
        queued = time.monotonic() - started
        sock.sendall(b"QUIT\r\n")
        line_reply(sock, pending)
    finally:
        sock.close()
    path = os.path.join(mailbox_path, reply.rsplit(" ", 1)[1] + ".eml")
    deadline = time.monotonic() + REPLY_TIMEOUT
    while not os.path.exists(path):
        if time.monotonic() > deadline:
            raise RuntimeError("good message %s not delivered" % path)
        time.sleep(0.001)
    return greeted, queued, time.monotonic() - started, started


def latency_text(values):
    values = sorted(values)
    if not values:
        return "no samples"
    p99 = values[min(len(values) - 1, int(round(0.99 * (len(values) - 1))))]
    return "median %.1f ms, p99 %.1f ms, worst %.1f ms (n=%d)" % (
        1000 * statistics.median(values), 1000 * p99, 1000 * values[-1], len(values))


def good_client(port, mailbox_path, until, pause, results):
    while not until():
        try:
            results.append(good_message(port, mailbox_path))
        except Exception as e:  # counted and reported
            results.append(e)
        time.sleep(pause)


def start_swarm(mode, port, count, lines=0, interval=0.0, ramp=0.0):
    return subprocess.Popen([sys.executable, os.path.abspath(__file__), "--swarm", mode, str(port), str(count),
                             str(lines), str(interval), str(ramp)],
                            stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True, bufsize=1,
                            preexec_fn=lambda: (normal_priority(), raise_fd_limit(count + 256)))


def swarm_lines(proc, seen):
    for line in proc.stdout:
        seen.append(line.strip())


def wait_line(seen, prefix, proc, timeout):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        for line in seen:
            if line.startswith(prefix):
                return line
        if proc.poll() is not None and not any(line.startswith(prefix) for line in seen):
            time.sleep(0.2)
            break
        time.sleep(0.05)
    for line in seen:
        if line.startswith(prefix):
            return line
    raise RuntimeError("client swarm gave no %s (exit %s): %s" % (prefix, proc.poll(), seen))


def count_files(path):
    try:
        return len(os.listdir(path))
    except FileNotFoundError:
        return 0


def slow_senders(args, qptest, smtpkit):
    print("1. %d slow senders (%d lines, one every %.1f s, connecting %s), one well-behaved client"
          % (args.slow, args.lines, args.interval,
             "over %.1f s" % args.ramp if args.ramp else "all at once"))
    session_seconds = args.lines * args.interval + args.interval
    with qptest.Machine() as machine:
        smtpkit.configure(machine, ConnectionsLimit=args.slow + 100, LogLevel=args.log_level,
                          Timeout=int(session_seconds + 60))
        server = machine.start_console(preexec_fn=set_fd_limit(4 * args.slow + 1024))
        server.wait_ready()
        time.sleep(0.3)  # the probes of wait_ready have ended
        pid = server.proc.pid
        joe = smtpkit.folder(machine, "joe")
        ann = smtpkit.folder(machine, "ann")
        sampler = Sampler(pid)
        idle = sampler.sample()

        baseline = []
        good_client(server.smtp_port, joe, lambda: len(baseline) >= 200, 0.0, baseline)
        baseline_errors = [r for r in baseline if isinstance(r, Exception)]
        baseline = [r for r in baseline if not isinstance(r, Exception)]

        sampler.start()
        started = time.monotonic()
        swarm = start_swarm("slow", server.smtp_port, args.slow, args.lines, args.interval, args.ramp)
        seen = []
        threading.Thread(target=swarm_lines, args=(swarm, seen), daemon=True).start()
        loaded = []
        runner = threading.Thread(target=good_client, args=(
            server.smtp_port, joe, lambda: swarm.poll() is not None or any(s.startswith("RESULT") for s in seen),
            args.good_pause, loaded))
        runner.start()
        wait_line(seen, "ALL_IN_DATA", swarm, session_seconds + 120)
        all_in_data = time.monotonic() - started
        at_peak = sampler.sample()
        result = json.loads(wait_line(seen, "RESULT", swarm, session_seconds + 180)[len("RESULT "):])
        acknowledged_at = time.monotonic()
        drained = None
        while drained is None and time.monotonic() < acknowledged_at + 120:
            if count_files(ann) >= result["acknowledged"]:
                drained = time.monotonic() - acknowledged_at
            time.sleep(0.01)
        swarm.wait(30)
        runner.join(REPLY_TIMEOUT * 2)
        peak = sampler.stop()
        elapsed = time.monotonic() - started
        time.sleep(1.0)
        after = sampler.sample()
        deadline = time.monotonic() + 60
        while count_files(ann) < result["acknowledged"] and time.monotonic() < deadline:
            time.sleep(0.1)
        delivered_slow = count_files(ann)
        server.stop()

    loaded_errors = [r for r in loaded if isinstance(r, Exception)]
    loaded = [r for r in loaded if not isinstance(r, Exception)]
    print("   all %d in DATA after %.1f s (connect median %.3f s, worst %.3f s); run %.1f s"
          % (result["peak_in_data"], all_in_data, result["connect_median_s"] or -1,
             result["connect_worst_s"] or -1, elapsed))
    print("   slow messages acknowledged %d of %d, in the mailbox %d; client errors %s"
          % (result["acknowledged"], args.slow, delivered_slow, result["errors"] or "none"))
    print("   server idle:    threads %d, fds %d, RSS %.1f MB"
          % (idle["threads"], idle["fds"], idle["rss_kib"] / 1024))
    print("   server at peak: threads %d, fds %d, RSS %.1f MB (sampled peaks: threads %d, fds %d, RSS %.1f MB)"
          % (at_peak["threads"], at_peak["fds"], at_peak["rss_kib"] / 1024,
             peak["threads"], peak["fds"], peak["rss_kib"] / 1024))
    print("   server after:   threads %d, fds %d, RSS %.1f MB"
          % (after["threads"], after["fds"], after["rss_kib"] / 1024))
    for label, samples in (("idle server", baseline), ("under load", loaded)):
        print("   well-behaved client, %s:" % label)
        for index, what in ((0, "greeting"), (1, "250"), (2, "mailbox")):
            print("      to %-9s %s" % (what, latency_text([sample[index] for sample in samples])))
    # When the worst greetings came tells their cause apart: the burst of
    # connects at the start, the slow messages' ends, or neither.
    worst = sorted(loaded, key=lambda sample: sample[0], reverse=True)[:5]
    if worst:
        print("   slowest greetings under load: %s" % ", ".join(
            "%.1f ms at %.2f s" % (1000 * sample[0], sample[3] - started) for sample in worst))
    slow = [sample for sample in loaded if sample[2] > 1.0]
    if slow:
        print("   well-behaved messages over 1 s: %s" % ", ".join(
            "at %.1f s: greeting %.2f s, 250 %.2f s, mailbox %.2f s" % (sample[3] - started, *sample[:3])
            for sample in slow[:5]))
    if drained is not None:
        print("   the %d slow messages were all in the mailbox %.2f s after the last slow client ended"
              % (delivered_slow, drained))
    if baseline_errors or loaded_errors:
        print("   well-behaved client errors: %s" % [str(e) for e in (baseline_errors + loaded_errors)[:5]])
    ok = (result["acknowledged"] == args.slow and delivered_slow == args.slow and not result["errors"]
          and not loaded_errors and not baseline_errors and loaded)
    return ok


def idle_over_limit(args, qptest, smtpkit):
    print("2. %d idle clients at once, ConnectionsLimit %d, server descriptor limit %d"
          % (args.idle, args.idle_limit, IDLE_SERVER_FDS))
    with qptest.Machine() as machine:
        smtpkit.configure(machine, ConnectionsLimit=args.idle_limit, LogLevel=args.log_level, Timeout=300)
        server = machine.start_console(preexec_fn=set_fd_limit(IDLE_SERVER_FDS))
        server.wait_ready()
        time.sleep(0.3)
        sampler = Sampler(server.proc.pid, period=0.02)
        idle = sampler.sample()
        sampler.start()
        started = time.monotonic()
        swarm = start_swarm("idle", server.smtp_port, args.idle)
        seen = []
        threading.Thread(target=swarm_lines, args=(swarm, seen), daemon=True).start()
        wait_line(seen, "ALL_ANSWERED", swarm, 300)
        answered = time.monotonic() - started
        time.sleep(2.0)  # refused connections' threads have ended
        holding = sampler.sample()
        # One more client while the idle ones hold every place: refused too.
        extra_line = first_line(server.smtp_port)
        swarm.stdin.write("release\n")
        swarm.stdin.flush()
        result = json.loads(wait_line(seen, "RESULT", swarm, 60)[len("RESULT "):])
        swarm.wait(30)
        time.sleep(1.0)
        fresh_line = first_line(server.smtp_port)
        peak = sampler.stop()
        after = sampler.sample()
        log = server.read_log()
        server.stop()

    expected_greeted = args.idle_limit + 1  # refused while the count *exceeds* the limit
    print("   answered all in %.2f s: greeted %d (expected %d), refused with 421 %d (closed by the server %d),"
          " errors %s" % (answered, result["greeted"], expected_greeted, result["refused"],
                          result["refused_closed"], result["errors"] or "none"))
    print("   server idle: threads %d, fds %d, RSS %.1f MB" % (idle["threads"], idle["fds"], idle["rss_kib"] / 1024))
    print("   sampled peaks: threads %d, fds %d (limit %d), RSS %.1f MB"
          % (peak["threads"], peak["fds"], IDLE_SERVER_FDS, peak["rss_kib"] / 1024))
    print("   holding the idle clients: threads %d, fds %d, RSS %.1f MB"
          % (holding["threads"], holding["fds"], holding["rss_kib"] / 1024))
    print("   after they left:          threads %d, fds %d, RSS %.1f MB"
          % (after["threads"], after["fds"], after["rss_kib"] / 1024))
    print("   one more client while full: %r; a new client after: %r"
          % (extra_line and extra_line.strip()[:40], fresh_line and fresh_line.strip()[:40]))
    if args.log_level:
        print("   log: %d \"Too many users\" lines" % log.count("Connection denied: Too many users!"))
    return (result["greeted"] == expected_greeted and result["refused"] == args.idle - expected_greeted
            and result["refused_closed"] == result["refused"] and not result["errors"]
            and bool(extra_line) and extra_line.startswith(REFUSED)
            and bool(fresh_line) and fresh_line.startswith(GREETING)
            and peak["fds"] < IDLE_SERVER_FDS)


def first_line(port, timeout=10):
    """What a new client is told first; None when nothing comes in time."""
    with socket.create_connection(("127.0.0.1", port), timeout=timeout) as sock:
        try:
            return sock.recv(256)
        except socket.timeout:
            return None


def cpu_seconds(pid):
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def cpu_share(pid, seconds=2.0):
    before = cpu_seconds(pid)
    time.sleep(seconds)
    return (cpu_seconds(pid) - before) / seconds


def fd_starved(args, qptest, smtpkit):
    """More clients than the server's descriptors allow, the limit above them."""
    print("3. %d clients, ConnectionsLimit 1000, server descriptor limit %d" % (args.starve, args.starve_fds))
    with qptest.Machine() as machine:
        smtpkit.configure(machine, ConnectionsLimit=1000, LogLevel=args.log_level, Timeout=300)
        server = machine.start_console(preexec_fn=set_fd_limit(args.starve_fds))
        server.wait_ready()
        time.sleep(0.3)
        pid = server.proc.pid
        idle_cpu = cpu_share(pid, 1.0)
        clients = [socket.create_connection(("127.0.0.1", server.smtp_port), timeout=10,
                                            source_address=(client_address(n), 0)) for n in range(args.starve)]
        time.sleep(3.0)
        first_lines = []
        for c in clients:
            c.setblocking(False)
            try:
                first_lines.append(c.recv(256))
            except BlockingIOError:
                first_lines.append(None)
        full_fds = len(os.listdir("/proc/%d/fd" % pid))
        full_cpu = cpu_share(pid)
        for c in clients:
            c.close()
        time.sleep(1.0)
        after_cpu = cpu_share(pid)
        fresh_line = first_line(server.smtp_port)
        try:
            server.stop()
            stopped = True
        except AssertionError:  # killed by stop()
            stopped = False
    greeted = sum(1 for line in first_lines if line and line.startswith(GREETING))
    refused = sum(1 for line in first_lines if line and line.startswith(REFUSED))
    silent = sum(1 for line in first_lines if line is None)
    print("   greeted %d, refused %d, no answer after 3 s %d; server fds %d" % (greeted, refused, silent, full_fds))
    print("   server CPU: idle %.0f%%, while out of descriptors %.0f%%, after the clients left %.0f%% of a core"
          % (100 * idle_cpu, 100 * full_cpu, 100 * after_cpu))
    print("   a new client after the others left: %s"
          % (repr(fresh_line.strip()[:40]) if fresh_line else "no answer within 10 s"))
    print("   Ctrl+C: %s" % ("stopped" if stopped else "did not stop within 20 s (killed)"))
    return (silent == 0 and full_cpu < 0.2 and bool(fresh_line) and fresh_line.startswith(GREETING)
            and stopped)


def main():
    if len(sys.argv) == 8 and sys.argv[1] == "--swarm":
        mode, port, count, lines, interval, ramp = sys.argv[2], int(sys.argv[3]), int(sys.argv[4]), \
            int(sys.argv[5]), float(sys.argv[6]), float(sys.argv[7])
        swarm_main(mode, port, count, lines, interval, ramp)
        return 0
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--bin-dir", default=os.environ.get("QP_BIN_DIR") or os.path.join(HERE, "..", "build"))
    parser.add_argument("--slow", type=int, default=1000)
    parser.add_argument("--lines", type=int, default=30)
    parser.add_argument("--interval", type=float, default=1.0)
    parser.add_argument("--ramp", type=float, default=0.0,
                        help="seconds over which the slow senders connect (0: all at once)")
    parser.add_argument("--good-pause", type=float, default=0.05, help="pause between well-behaved messages")
    parser.add_argument("--idle", type=int, default=2000)
    parser.add_argument("--idle-limit", type=int, default=100)
    parser.add_argument("--log-level", type=int, default=0)
    parser.add_argument("--starve", type=int, default=60, help="clients of the descriptor test (--only fdlimit)")
    parser.add_argument("--starve-fds", type=int, default=128, help="server descriptor limit of that test")
    parser.add_argument("--only", choices=("slow", "idle", "fdlimit"),
                        help="one part; fdlimit runs only when named")
    args = parser.parse_args()
    os.environ["QP_BIN_DIR"] = os.path.abspath(args.bin_dir)
    import qptest
    import smtpkit
    qptest.BIN_DIR = os.environ["QP_BIN_DIR"]
    raise_fd_limit(4096)
    raised = raise_measuring_priority()

    print("quillpost load benchmark (loopback only%s)"
          % ("; the measuring client at the highest priority" if raised else ""))
    ok = True
    if args.only in (None, "slow"):
        ok = slow_senders(args, qptest, smtpkit) and ok
    if args.only in (None, "idle"):
        ok = idle_over_limit(args, qptest, smtpkit) and ok
    if args.only == "fdlimit":
        ok = fd_starved(args, qptest, smtpkit) and ok
    print("RESULT %s" % ("ok" if ok else "FAILED"))
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
