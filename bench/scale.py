#!/usr/bin/env python3
"""Scale benchmark: the release server on small and on large data sets, side by side.

Writes each data set straight into the server's own schema (the server creates its files
on a first start; the rows are added while it is stopped, as a year of use would have left
them), runs build/release/velmorserver on it in a temporary folder (port forwarding off,
127.0.0.1), measures from outside over TCP and from its status text, stops it by its pid and
deletes the folder. Every wait is bounded. Prints a table and writes
bench/results/scale.md (and scale.json).

  bench/scale.py [--quick] [--only PART]
    --quick: smaller large sets, for a try; --only: one of accounts, rooms, bans, expiry_start,
    expiry_running, live_rooms (the table is then printed for that part only)
"""
import atexit
import hashlib
import json
import os
import shutil
import signal
import socket
import sqlite3
import struct
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
SERVER = os.path.join(ROOT, "build", "release", "velmorserver")
LOAD = os.path.join(ROOT, "build", "release", "velmor-load")
EXPIRY = 604800
ADMIN = "bench"
PASSWORD_HASH = hashlib.md5(b"pw").digest()  # the members' stored hash (velmor-probe --account-password pw)
QUICK = "--quick" in sys.argv
ONLY = sys.argv[sys.argv.index("--only") + 1] if "--only" in sys.argv else None


def wanted(part):
    return ONLY is None or ONLY == part


# --- a minimal client ---------------------------------------------------------------------

class Client:
    """Just enough of the protocol for logins and the status text."""

    def __init__(self, port, source):
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.sock.bind((source, 0))
        self.sock.settimeout(10)
        self.sock.connect(("127.0.0.1", port))
        self.buffer = b""

    def close(self):
        self.sock.close()

    def send(self, payload):
        self.sock.sendall(struct.pack("<H", len(payload)) + payload)

    def frame(self, deadline):
        while True:
            if len(self.buffer) >= 2:
                (n,) = struct.unpack_from("<H", self.buffer)
                if len(self.buffer) >= 2 + n:
                    payload, self.buffer = self.buffer[2:2 + n], self.buffer[2 + n:]
                    return payload
            left = deadline - time.monotonic()
            if left <= 0:
                raise TimeoutError("no frame")
            self.sock.settimeout(left)
            chunk = self.sock.recv(65536)
            if not chunk:
                raise ConnectionError("closed")
            self.buffer += chunk

    def until(self, first_byte, timeout=30):
        deadline = time.monotonic() + timeout
        while True:
            payload = self.frame(deadline)
            if payload and payload[0] == first_byte:
                return payload

    @staticmethod
    def string(text):
        data = text.encode()
        return struct.pack("<H", len(data)) + data

    def login(self, name, password=""):
        self.send(bytes([1, 1]) + struct.pack("<IIHIIBHHI", 1, 2, 3, 4, 5, 6, 7, 8, 0) +
                  self.string(name) + self.string("coat") + self.string(password))

    def member_login(self, name):
        """Challenge and proof; returns when the welcome came."""
        self.login(name)
        challenge = self.until(0x34)
        (salt_len,) = struct.unpack_from("<H", challenge, 1)
        at = 3 + salt_len
        (n,) = struct.unpack_from("<H", challenge, at)
        text = challenge[at + 2:at + 2 + n]
        words = struct.unpack("<4I", PASSWORD_HASH)
        digest = hashlib.md5(("%08x%08x%08x%08x" % words).encode() + text).digest()
        proof = b"".join(digest[i:i + 4][::-1] for i in range(0, 16, 4))
        self.send(bytes([16]) + proof)
        self.until(0x32)  # ServerInfo opens the welcome

    def status(self):
        self.send(bytes([41]) + self.string(ADMIN))
        payload = self.until(0x06, timeout=10)
        (n,) = struct.unpack_from("<H", payload, 2)
        return payload[4:4 + n].decode()


_next_source = [0]


def source():
    """A fresh 127.0.x.y for each connection (7 connections per address in 10 s)."""
    _next_source[0] += 1
    n = _next_source[0]
    return "127.0.%d.%d" % (100 + n // 250, 1 + n % 250)


def timed_member_login(port, name):
    client = Client(port, source())
    started = time.monotonic()
    client.member_login(name)
    elapsed = (time.monotonic() - started) * 1000
    client.close()
    return elapsed


def status_value(text, label):
    for line in text.splitlines():
        if line.startswith(label + ":"):
            return float(line.split(":")[1].split()[0])
    return -1.0


def tick_figures(text):
    def value(label):
        for line in text.splitlines():
            if line.startswith(label):
                return float(line.split(":")[1].split()[0])
        return 0.0
    return value("Longest tick (5 s)"), value("Tick p99 (5 s)")


# --- the server in a folder of its own ----------------------------------------------------

_servers = []


@atexit.register
def _stop_every_server():
    """Whatever happened, no server of this run outlives it, nor does its folder."""
    for server in list(_servers):
        server.remove()


class Server:
    def __init__(self, port, settings=None):
        self.dir = tempfile.mkdtemp(prefix="velmor-scale-")
        _servers.append(self)
        self.port = port
        shutil.copy(SERVER, self.dir)
        config = {"useupnp": False, "bindaddress": "127.0.0.1", "serverport": port,
                  "adminpassword": ADMIN}
        config.update(settings or {})
        with open(os.path.join(self.dir, "velmorserv.json"), "w") as f:
            json.dump(config, f)
        self.process = None

    def path(self, name):
        return os.path.join(self.dir, name)

    def start(self):
        """Starts it; returns the milliseconds until it accepts connections."""
        # A data set just written is on disk first, as a year's data would be: the server's
        # first commits must not wait for the generator's gigabyte to be written back.
        os.sync()
        started = time.monotonic()
        self.process = subprocess.Popen(["taskset", "-c", "0", "./velmorserver"], cwd=self.dir,
                                        stdout=open(self.path("out.txt"), "w"),
                                        stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL)
        deadline = started + 120
        while time.monotonic() < deadline:
            try:
                socket.create_connection(("127.0.0.1", self.port), timeout=1).close()
                return (time.monotonic() - started) * 1000
            except OSError:
                time.sleep(0.005)
        raise RuntimeError("the server did not listen")

    def rss_mb(self):
        with open("/proc/%d/status" % self.process.pid) as f:
            for line in f:
                if line.startswith("VmRSS:"):
                    return int(line.split()[1]) / 1024
        return 0

    def stop(self):
        if self.process and self.process.poll() is None:
            self.process.send_signal(signal.SIGINT)
            try:
                self.process.wait(20)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        self.process = None

    def remove(self):
        self.stop()
        shutil.rmtree(self.dir, ignore_errors=True)
        if self in _servers:
            _servers.remove(self)


def prepared(port, settings=None):
    """A server whose databases exist (a first start made them), stopped."""
    server = Server(port, settings)
    server.start()
    server.stop()
    return server


# --- data sets ----------------------------------------------------------------------------

def add_accounts(server, count):
    db = sqlite3.connect(server.path("velmordata.db"))
    now = int(time.time())
    db.executemany("INSERT INTO users VALUES (?, ?, ?, ?, ?, ?)",
                   (("Member%d" % i, b"\0" * 16, PASSWORD_HASH, "salt", now, now)
                    for i in range(count)))
    db.commit()
    db.close()


def add_rooms(server, count, expired=0, expiring_in=None):
    """`count` stored rooms; the first `expired` expired already (or, with `expiring_in`,
    expiring that many seconds from now)."""
    now = int(time.time())

    def accessed(i):
        if i >= expired:
            return now
        return now - EXPIRY + expiring_in if expiring_in is not None else now - EXPIRY - 10

    db = sqlite3.connect(server.path("velmordata.db"))
    db.executemany("INSERT INTO channels VALUES (?, 'maker', '', 'lead', ?, 64, 0, 0, 0)",
                   (("Room%d" % i, accessed(i)) for i in range(count)))
    db.commit()
    db.close()


def add_server_bans(server, count):
    """`count` server bans, as ServerBan leaves them: a third by name only, the rest by
    address, every thousandth a /24."""
    db = sqlite3.connect(server.path("velmordata.db"))

    def row(i):
        address = "10.%d.%d.%d" % (i >> 16 & 255, i >> 8 & 255, i & 255)
        mask = "255.255.255.0" if i % 1000 == 0 else ("0.0.0.0" if i % 3 == 0 else "255.255.255.255")
        return (i + 1, "Banned%d" % i, "Admin", "a reason of some length, as administrators write",
                address, mask)

    db.executemany("INSERT INTO serverbans VALUES (?, ?, ?, ?, ?, ?)", (row(i) for i in range(count)))
    db.commit()
    db.close()


def add_files(server, rooms, file_bytes):
    """One file of `file_bytes` in each of the rooms "Room0".."Room<rooms-1>"."""
    files = sqlite3.connect(server.path("velmorfiledata.db"))
    content = os.urandom(file_bytes)
    now = int(time.time())
    files.executemany(
        "INSERT INTO files VALUES (?, 'notes', 'maker', 'maker', ?, ?, ?, 1, 1)",
        (("Room%d" % i, content, file_bytes, now) for i in range(rooms)))
    files.commit()
    files.close()


def file_mb(server):
    return os.path.getsize(server.path("velmorfiledata.db")) / 1048576


def rows(server, db, sql):
    connection = sqlite3.connect(server.path(db), timeout=30)
    value = connection.execute(sql).fetchone()[0]
    connection.close()
    return value


def integrity(server):
    return all(rows(server, db, "PRAGMA integrity_check") == "ok"
               for db in ("velmordata.db", "velmorfiledata.db"))


# --- the measurements ---------------------------------------------------------------------

def accounts(port, count):
    server = prepared(port)
    add_accounts(server, count)
    startup = server.start()
    rss = server.rss_mb()
    logins = sorted(timed_member_login(port, "Member%d" % (count // 2 + i)) for i in range(9))
    guest = Client(port, source())
    guest.login("Newcomer")
    guest.until(0x32)  # the welcome's RoomList
    started = time.monotonic()
    guest.send(bytes([17]) + b"\1" * 16 + PASSWORD_HASH)
    guest.until(0xFF)  # Registered (0xFF 0x05)
    registration = (time.monotonic() - started) * 1000
    guest.close()
    server.remove()
    return {"startup_ms": startup, "rss_mb": rss, "login_ms": logins[4],
            "registration_ms": registration}


def stored_rooms(port, count):
    server = prepared(port)
    add_rooms(server, count)
    startup = server.start()
    rss = server.rss_mb()
    # Three windows of the status text (the last 5 s of ticks each), idle; the median, so
    # that one interrupt of the machine does not stand for the server.
    admin = Client(port, source())
    admin.login("Admin", ADMIN)
    admin.until(0x32)
    windows = []
    for _ in range(3):
        time.sleep(5.5)
        windows.append(tick_figures(admin.status()))
    admin.close()
    longest, p99 = sorted(windows)[1]
    server.remove()
    return {"startup_ms": startup, "rss_mb": rss, "idle_longest_tick_ms": longest,
            "idle_tick_p99_ms": p99}


def server_bans(port, count):
    """Start-up with `count` stored server bans, and a guest's login meanwhile (a connect and
    a Login, each matched against every ban: median of 9)."""
    server = prepared(port)
    add_server_bans(server, count)
    startup = server.start()
    rss = server.rss_mb()
    logins = []
    for i in range(9):
        client = Client(port, source())
        started = time.monotonic()
        client.login("Guest%d" % i)
        client.until(0x32)
        logins.append((time.monotonic() - started) * 1000)
        client.close()
    admin = Client(port, source())
    admin.login("Admin", ADMIN)
    admin.until(0x32)
    listed = status_value(admin.status(), "Server bans")
    admin.close()
    server.remove()
    return {"startup_ms": startup, "rss_mb": rss, "guest_login_ms": sorted(logins)[4],
            "listed": listed}


def mass_expiry(port, rooms, expired, file_bytes, running):
    """`expired` of `rooms` expire at start-up, or (running) about 15 s after it, each with a
    file of `file_bytes`. Until they and their files are gone: a member logs in every 100 ms
    (the slowest is kept) and the status text is read every second (the longest tick kept)."""
    server = prepared(port)
    add_accounts(server, 10)
    add_files(server, expired, file_bytes)
    size = file_mb(server)
    # A copy for timing the deletion of one room's files, after the run: deleting a
    # gigabyte file meanwhile would slow the file system under the server.
    copy = server.path("copy.db")
    shutil.copy(server.path("velmorfiledata.db"), copy)
    add_rooms(server, rooms, expired, 15 if running else None)  # the times from now on
    server.start()
    admin = Client(port, source())
    admin.login("Admin", ADMIN)
    admin.until(0x32)
    slowest_login = 0.0
    longest_tick = 0.0
    started = time.monotonic()
    next_status = started
    gone = False
    member = 0
    while time.monotonic() - started < 300:
        login_ms = timed_member_login(port, "Member%d" % (member % 10))
        if os.environ.get("VELMOR_SCALE_TRACE"):
            print("login %.1f ms at %.2f s" % (login_ms, time.monotonic() - started), flush=True)
        slowest_login = max(slowest_login, login_ms)
        member += 1
        if time.monotonic() >= next_status:
            text = admin.status()
            longest_tick = max(longest_tick, tick_figures(text)[0])
            next_status += 1
            # The databases are looked at only once the server says it has nothing left to
            # delete: a reader of ours must not hold the server's writes up meanwhile.
            if status_value(text, "Expired rooms to delete") == 0 and \
                    rows(server, "velmordata.db", "SELECT COUNT(*) FROM channels") == \
                    rooms - expired and \
                    rows(server, "velmorfiledata.db", "SELECT COUNT(*) FROM files") == 0:
                gone = True
                break
        time.sleep(0.1)
    took = time.monotonic() - started
    longest_tick = max(longest_tick, tick_figures(admin.status())[0])
    admin.close()
    server.stop()
    delete_ms = time_room_file_delete(copy)
    result = {"file_db_mb": size, "longest_tick_ms": longest_tick,
              "slowest_login_ms": slowest_login, "all_gone": gone, "seconds": took,
              "integrity_ok": integrity(server), "one_room_file_delete_ms": delete_ms}
    server.remove()
    return result


def time_room_file_delete(copy):
    """The server's own statement deleting one room's files, on a copy of its file database
    with the server's index (median of 5 rooms); the copy is removed."""
    db = sqlite3.connect(copy)
    db.execute("CREATE INDEX IF NOT EXISTS [FilesByRoomAnyCase] ON [files] "
               "([RoomName] COLLATE NOCASE);")
    times = []
    for i in range(5):
        started = time.monotonic()
        db.execute("DELETE FROM [files] WHERE [RoomName]=? COLLATE NOCASE;", ("room%d" % i,))
        db.commit()
        times.append((time.monotonic() - started) * 1000)
    db.close()
    os.remove(copy)
    return sorted(times)[2]


def live_rooms(port, names):
    """As many navigation rooms live as a RoomList can name, one member each moving at 2 Hz."""
    settings = {"rooms": [{"type": "nav", "name": "Nav%d" % i, "password": "",
                           "leaderpassword": "lead", "loadatstartup": True,
                           "neversleeps": True} for i in range(1, names + 1)]}
    server = Server(port, settings)
    server.start()
    out = os.path.join(server.dir, "nav.json")
    subprocess.run(["taskset", "-c", "1", LOAD, "nav", "--rooms", str(names), "--members", "1", "--senders", "1",
                    "--hz", "2", "--duration", "10", "--port", str(port), "--source-net", "41",
                    "--server-pid", str(server.process.pid), "--admin-password", ADMIN,
                    "--json", out], check=True, timeout=600, stdout=subprocess.DEVNULL)
    figures = json.load(open(out))
    server.remove()
    return figures


def largest_live_rooms():
    """The most rooms "Nav1".."NavN" whose RoomList fits a frame (each entry at its largest)."""
    total, n = 3, 0
    while total + 2 + len("Nav%d" % (n + 1)) + 5 <= 65535:
        n += 1
        total += 2 + len("Nav%d" % n) + 5
    return n


def main():
    port = int(os.environ.get("VELMOR_BENCH_PORT", "7391"))
    big_accounts = 100000 if QUICK else 1000000
    big_rooms = 10000 if QUICK else 100000
    big_expired = big_rooms // 2
    file_bytes = ((100 << 20) if QUICK else (1 << 30)) // big_expired  # over the expired rooms
    results = {}
    if wanted("accounts"):
        print("accounts ...", flush=True)
        results["accounts"] = [accounts(port, 1000), accounts(port, big_accounts)]
    if wanted("rooms"):
        print("stored rooms ...", flush=True)
        results["rooms"] = [stored_rooms(port, 100), stored_rooms(port, big_rooms)]
    if wanted("bans"):
        print("server bans ...", flush=True)
        results["bans"] = [server_bans(port, 100), server_bans(port, 100000)]
    if wanted("expiry_start"):
        print("mass expiry at start-up ...", flush=True)
        results["expiry_start"] = [mass_expiry(port, 100, 50, (10 << 20) // 50, False),
                                   mass_expiry(port, big_rooms, big_expired, file_bytes, False)]
    if wanted("expiry_running"):
        print("mass expiry while running ...", flush=True)
        results["expiry_running"] = [mass_expiry(port, 100, 50, (10 << 20) // 50, True),
                                     mass_expiry(port, big_rooms, big_expired, file_bytes, True)]
    if wanted("live_rooms"):
        print("live rooms ...", flush=True)
        most = largest_live_rooms()
        results["live_rooms"] = [dict(live_rooms(port, 10), rooms=10),
                                 dict(live_rooms(port, most), rooms=most)]
    if ONLY is not None:
        print(json.dumps(results, indent=1))
        return
    report(results, big_accounts, big_rooms)


def report(results, big_accounts, big_rooms):
    a, r, b = results["accounts"], results["rooms"], results["bans"]
    es, er, lv = results["expiry_start"], results["expiry_running"], results["live_rooms"]

    def f(x):
        return "%.2f" % x if isinstance(x, float) else str(x)

    def expiry(e):
        return "tick %s ms, slowest login %s ms, %s s, gone %s, integrity %s, file db %.0f MB" % (
            f(e["longest_tick_ms"]), f(e["slowest_login_ms"]), f(e["seconds"]),
            e["all_gone"], e["integrity_ok"], e["file_db_mb"])

    lines = [
        "| what | small | large |",
        "|---|---|---|",
        "| accounts (1,000 / %d): start-up ms, RSS MB, member login ms, registration ms | %s | %s |"
        % (big_accounts, " / ".join(f(a[0][k]) for k in ("startup_ms", "rss_mb", "login_ms",
                                                           "registration_ms")),
           " / ".join(f(a[1][k]) for k in ("startup_ms", "rss_mb", "login_ms",
                                             "registration_ms"))),
        "| stored rooms (100 / %d): start-up ms, RSS MB | %s / %s | %s / %s |"
        % (big_rooms, f(r[0]["startup_ms"]), f(r[0]["rss_mb"]), f(r[1]["startup_ms"]),
           f(r[1]["rss_mb"])),
        "| same, idle: longest tick / p99 ms | %s / %s | %s / %s |"
        % (f(r[0]["idle_longest_tick_ms"]), f(r[0]["idle_tick_p99_ms"]),
           f(r[1]["idle_longest_tick_ms"]), f(r[1]["idle_tick_p99_ms"])),
        "| server bans (100 / 100000): start-up ms, RSS MB, guest login ms | %s | %s |"
        % tuple(" / ".join(f(x[k]) for k in ("startup_ms", "rss_mb", "guest_login_ms"))
                for x in b),
        "| half the stored rooms expired at start-up | %s | %s |" % (expiry(es[0]), expiry(es[1])),
        "| half the stored rooms expiring while running | %s | %s |"
        % (expiry(er[0]), expiry(er[1])),
        "| one room's files deleted (the server's statement) ms | %s | %s |"
        % (f(es[0]["one_room_file_delete_ms"]), f(es[1]["one_room_file_delete_ms"])),
        "| live navigation rooms, one member each at 2 Hz: rooms, longest tick / p99 ms, server CPU %% "
        "| %d: %s / %s, %s | %d: %s / %s, %s |"
        % (lv[0]["rooms"], f(lv[0].get("server_longest_tick_ms", 0.0)),
           f(lv[0].get("server_tick_p99_ms", 0.0)),
           f(lv[0].get("server_cpu_percent_of_core", 0.0)), lv[1]["rooms"],
           f(lv[1].get("server_longest_tick_ms", 0.0)), f(lv[1].get("server_tick_p99_ms", 0.0)),
           f(lv[1].get("server_cpu_percent_of_core", 0.0))),
    ]
    text = "\n".join(lines)
    print(text)
    out = os.path.join(ROOT, "bench", "results")
    os.makedirs(out, exist_ok=True)
    with open(os.path.join(out, "scale.md"), "w") as md:
        md.write("Scale benchmark (bench/scale.py%s), %s\n\n%s\n"
                 % (" --quick" if QUICK else "", time.strftime("%Y-%m-%d"), text))
    with open(os.path.join(out, "scale.json"), "w") as js:
        json.dump(results, js, indent=1)


if __name__ == "__main__":
    main()
