#!/usr/bin/env python3
"""Soak and fault run of `quendrix --listen` on loopback.

For a bounded time it runs a mixed load against one server: streamers that
read part of an endless result and leave, writers that commit rows in
transactions, clients that vanish mid-statement, silent sockets, and clients
that announce oversized messages. Then it checks that the server is alive, that
its resident memory stayed bounded, that every row whose COMMIT was
acknowledged is in the database, and that `pragma integrity_check` says ok.

Usage: listener_soak.py QUENDRIX_PROGRAM [--seconds N] [--max-rss-mib M]
Exit status 0 when every check holds; the figures go to standard output.
"""
import argparse
import os
import random
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time

HOST = "127.0.0.1"


class Wire:
    """A minimal client of the PostgreSQL v3 protocol (simple queries only)."""

    def __init__(self, port, timeout=30.0):
        self.sock = socket.create_connection((HOST, port), timeout=timeout)
        body = struct.pack("!i", 196608) + b"user\0soak\0database\0soak\0\0"
        self.sock.sendall(struct.pack("!i", len(body) + 4) + body)
        while True:
            kind, payload = self.message()
            if kind == b"E":
                raise RuntimeError(self.error_text(payload))
            if kind == b"Z":
                return

    def recv_exact(self, n):
        data = b""
        while len(data) < n:
            chunk = self.sock.recv(n - len(data))
            if not chunk:
                raise ConnectionError("the server closed the connection")
            data += chunk
        return data

    def message(self):
        header = self.recv_exact(5)
        length = struct.unpack("!I", header[1:])[0]
        return header[:1], self.recv_exact(length - 4)

    @staticmethod
    def error_text(payload):
        fields = {}
        for part in payload.split(b"\0"):
            if part:
                fields[part[:1]] = part[1:].decode(errors="replace")
        return "%s %s" % (fields.get(b"C", "?"), fields.get(b"M", "?"))

    def send_query(self, sql):
        data = sql.encode() + b"\0"
        self.sock.sendall(b"Q" + struct.pack("!I", len(data) + 4) + data)

    def query(self, sql):
        """Runs sql; returns (rows, error text or None, transaction status)."""
        self.send_query(sql)
        rows, error = [], None
        while True:
            kind, payload = self.message()
            if kind == b"D":
                n, at, row = struct.unpack("!h", payload[:2])[0], 2, []
                for _ in range(n):
                    size = struct.unpack("!i", payload[at:at + 4])[0]
                    at += 4
                    row.append(None if size < 0 else payload[at:at + size].decode())
                    at += max(size, 0)
                rows.append(row)
            elif kind == b"E":
                error = self.error_text(payload)
            elif kind == b"Z":
                return rows, error, payload.decode()

    def close(self):
        try:
            self.sock.sendall(b"X\0\0\0\4")
        except OSError:
            pass
        self.sock.close()


class Soak:
    def __init__(self, program, seconds, workdir):
        self.program, self.seconds = program, seconds
        self.db = os.path.join(workdir, "soak.db")
        self.stop = threading.Event()
        self.lock = threading.Lock()
        self.acknowledged = []  # (writer, seq) of committed rows
        self.open_now = self.open_peak = self.opened = 0
        self.counts = {}
        self.failures = []
        self.rss_peak_kib = 0

    def count(self, what, n=1):
        with self.lock:
            self.counts[what] = self.counts.get(what, 0) + n

    def held(self, delta):
        with self.lock:
            self.open_now += delta
            if delta > 0:
                self.opened += delta
            self.open_peak = max(self.open_peak, self.open_now)

    def fail(self, why):
        with self.lock:
            self.failures.append(why)

    def start_server(self):
        subprocess.run([self.program, "--database", self.db, "--execute",
                        "create table if not exists rows(writer, seq, primary key(writer, seq))"],
                       check=True)
        self.server = subprocess.Popen(
            [self.program, "--database", self.db, "--listen", HOST + ":0",
             "--startup-timeout", "2", "--auth", "trust"],
            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        line = self.server.stdout.readline()
        self.port = int(line.rsplit(":", 1)[1])

    def rss_kib(self):
        with open("/proc/%d/status" % self.server.pid) as f:
            for line in f:
                if line.startswith("VmRSS:"):
                    return int(line.split()[1])
        return 0

    # The kinds of client, each looping until stop.

    def writer(self, number):
        seq = 0
        while not self.stop.is_set():
            try:
                w = Wire(self.port)
                self.held(1)
                try:
                    while not self.stop.is_set():
                        batch = list(range(seq, seq + 20))
                        values = ",".join("(%d,%d)" % (number, s) for s in batch)
                        w.query("begin")
                        _, error, _ = w.query("insert into rows values " + values)
                        if error is None:
                            _, error, status = w.query("commit")
                            if error is None and status == "I":
                                with self.lock:
                                    self.acknowledged += [(number, s) for s in batch]
                                self.count("commits")
                                seq += 20
                                continue
                        self.count("writer errors (retried)")
                        w.query("rollback")
                finally:
                    w.close()
                    self.held(-1)
            except (OSError, RuntimeError, ConnectionError) as e:
                self.fail("writer %d: %s" % (number, e))
                time.sleep(0.2)

    def streamer(self):
        while not self.stop.is_set():
            try:
                w = Wire(self.port)
                self.held(1)
                w.send_query("call n_range_bif(0, 2147483647)")
                for _ in range(random.randint(100, 5000)):
                    w.message()
                w.sock.close()  # leaves mid-stream
                self.held(-1)
                self.count("streams left midway")
            except (OSError, RuntimeError, ConnectionError) as e:
                self.fail("streamer: %s" % e)
                time.sleep(0.2)

    def vanisher(self):
        while not self.stop.is_set():
            try:
                w = Wire(self.port)
                self.held(1)
                w.send_query("insert into rows with recursive c(x) as (select 1 union all "
                             "select x + 1 from c) select -1, x from c")
                time.sleep(random.uniform(0.05, 0.3))
                w.sock.close()  # its statement must stop and roll back
                self.held(-1)
                self.count("clients vanished mid-statement")
            except (OSError, RuntimeError, ConnectionError) as e:
                self.fail("vanisher: %s" % e)
                time.sleep(0.2)

    def silent(self):
        while not self.stop.is_set():
            socks = []
            try:
                for _ in range(10):
                    socks.append(socket.create_connection((HOST, self.port), timeout=10))
                self.held(len(socks))
                self.count("silent sockets", len(socks))
                # The server closes them at its start-up timeout.
                for s in socks:
                    s.settimeout(10)
                    if s.recv(1) != b"":
                        self.fail("a silent socket got data")
            except OSError as e:
                self.fail("silent: %s" % e)
            finally:
                for s in socks:
                    s.close()
                self.held(-len(socks))

    def oversized(self):
        while not self.stop.is_set():
            try:
                w = Wire(self.port)
                self.held(1)
                w.sock.sendall(b"Q" + struct.pack("!I", 0x7FFFFFFF) + b"select")
                kind, payload = w.message()
                if kind != b"E" or not Wire.error_text(payload).startswith("54000"):
                    self.fail("oversized header answered %r" % payload[:80])
                w.sock.close()
                self.held(-1)
                self.count("oversized headers refused")
                time.sleep(0.05)
            except (OSError, RuntimeError, ConnectionError) as e:
                self.fail("oversized: %s" % e)
                time.sleep(0.2)

    def run(self):
        self.start_server()
        baseline = self.rss_kib()
        kinds = [(self.writer, (n,)) for n in range(3)] + [
            (self.streamer, ()), (self.streamer, ()), (self.vanisher, ()),
            (self.silent, ()), (self.oversized, ())]
        threads = [threading.Thread(target=f, args=a, daemon=True) for f, a in kinds]
        for t in threads:
            t.start()
        end = time.monotonic() + self.seconds
        while time.monotonic() < end and self.server.poll() is None:
            self.rss_peak_kib = max(self.rss_peak_kib, self.rss_kib())
            time.sleep(0.25)
        self.stop.set()
        for t in threads:
            t.join(timeout=30)
        return baseline

    def check(self, max_rss_mib):
        alive = self.server.poll() is None
        if alive:
            try:
                w = Wire(self.port)
                rows, error, _ = w.query("select 1")
                w.close()
                alive = error is None and rows == [["1"]]
            except (OSError, RuntimeError, ConnectionError):
                alive = False
        if not alive:
            self.fail("the server did not survive the load")
        if self.server.poll() is None:
            self.server.send_signal(signal.SIGTERM)
            try:
                status = self.server.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.server.kill()
                status = self.server.wait()
            if status != 0:
                self.fail("exit status %d after SIGTERM" % status)
        if self.rss_peak_kib > max_rss_mib * 1024:
            self.fail("peak RSS %d KiB over %d MiB" % (self.rss_peak_kib, max_rss_mib))

        out = subprocess.run([self.program, "--database", self.db, "--execute",
                              "select writer, seq from rows where writer >= 0"],
                             capture_output=True, text=True).stdout
        present = {tuple(int(v) for v in line.split("|")) for line in out.split()}
        missing = [r for r in self.acknowledged if r not in present]
        if missing:
            self.fail("%d acknowledged rows missing, e.g. %s" % (len(missing), missing[:3]))
        out = subprocess.run([self.program, "--database", self.db, "--execute",
                              "select count(*) from rows where writer < 0; pragma integrity_check"],
                             capture_output=True, text=True).stdout.split()
        if out[:1] != ["0"]:
            self.fail("rows of vanished clients were kept: %s" % out[:1])
        if out[1:] != ["ok"]:
            self.fail("integrity_check: %s" % out[1:])


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("program")
    parser.add_argument("--seconds", type=float, default=60)
    parser.add_argument("--max-rss-mib", type=int, default=512)
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as workdir:
        soak = Soak(args.program, args.seconds, workdir)
        try:
            baseline = soak.run()
            soak.check(args.max_rss_mib)
        finally:
            if soak.server.poll() is None:
                soak.server.kill()
                soak.server.wait()
        print("duration: %.0f s" % args.seconds)
        print("connections opened: %d, held at once at most: %d" % (soak.opened, soak.open_peak))
        print("rows written and acknowledged: %d" % len(soak.acknowledged))
        for what, n in sorted(soak.counts.items()):
            print("%s: %d" % (what, n))
        print("RSS: %d KiB at start, %d KiB at peak" % (baseline, soak.rss_peak_kib))
        for f in soak.failures:
            print("FAILED: " + f)
        print("%d passed, %d failed" % (1 if not soak.failures else 0, 1 if soak.failures else 0))
        return 1 if soak.failures else 0


if __name__ == "__main__":
    sys.exit(main())
