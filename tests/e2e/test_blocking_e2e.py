"""The database holds the service up: a lock held by another client, a
server that accepts and never answers, the process killed in the middle of
its work. The loop must keep its heartbeat going (the supervisor and the
service watchdog judge the service by it), honour SIGTERM, keep the message
waiting instead of failing it, and leave nothing half-written behind."""

import os
import random
import signal
import socket
import sqlite3
import subprocess
import threading
import time

import pytest

import pg_cluster
from installation import Installation
from messages import batch, join, msh, pid, seed_sql

SEEDED = "S00000"  # a stored patient (seed_sql)
# The heartbeat goes out every 5 s; database calls give up after DBTimeout
# (10 s by default). A pause longer than this means the loop was blocked.
MAX_HEARTBEAT_GAP = 20
HOLD_SECONDS = 25


def adt(n):
    return join(msh("ADT^A08", f"B{n}"), pid(SEEDED, "Nowak", "Ewa"))


class Heartbeat:
    """Receives the service's UDP heartbeat on loopback and keeps the times."""

    def __init__(self):
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.sock.bind(("127.0.0.1", 0))
        self.sock.settimeout(0.5)
        self.port = self.sock.getsockname()[1]
        self.times = []
        self.running = True
        self.thread = threading.Thread(target=self._run, daemon=True)
        self.thread.start()

    def _run(self):
        while self.running:
            try:
                self.sock.recv(2048)
                self.times.append(time.monotonic())
            except socket.timeout:
                pass

    def longest_pause(self, since, until):
        marks = [since] + [t for t in self.times if since < t < until] + [until]
        return max(b - a for a, b in zip(marks, marks[1:]))

    def close(self):
        self.running = False
        self.thread.join()
        self.sock.close()


@pytest.fixture
def heartbeat():
    hb = Heartbeat()
    yield hb
    hb.close()


def hold_and_release(inst, heartbeat, hold, release):
    """Starts the service on one waiting message while `hold` keeps the
    database busy, releases it after HOLD_SECONDS and checks the loop and
    the message."""
    inst.shared["UDP"] = str(heartbeat.port)
    inst.write_settings()
    hold()
    inst.drop_message(1, adt(1))
    inst.start()
    try:
        begin = time.monotonic()
        time.sleep(HOLD_SECONDS)
        end = time.monotonic()
        assert inst.process.poll() is None, "the service must keep running"
        assert [p.name for p in inst.pending()] == ["1.HL7"], "the held message must wait"
    finally:
        release()
    pause = heartbeat.longest_pause(begin, end)
    assert pause <= MAX_HEARTBEAT_GAP, f"the heartbeat paused {pause:.1f} s"
    assert inst.wait_drained(timeout=120)
    assert inst.stop() == 0
    assert inst.disposed("debug") == {"1.HL7"} and not inst.disposed("failed")
    log = inst.error_log()
    assert log.count("The database cannot be reached") == 1, log
    assert log.count("The database can be reached again") == 1, log


def test_sqlite_lock_held_by_another_writer(tmp_path, heartbeat):
    inst = Installation(tmp_path)
    inst.db.execute(seed_sql(1))
    other = sqlite3.connect(inst.db.path, isolation_level=None, check_same_thread=False)
    try:
        hold_and_release(inst, heartbeat, lambda: other.execute("BEGIN EXCLUSIVE"),
                         lambda: other.execute("ROLLBACK"))
    finally:
        other.close()


@pytest.mark.skipif(not pg_cluster.available(), reason="needs PostgreSQL (NORV_TEST_PG_CONNECTION)")
def test_postgresql_table_lock(tmp_path, heartbeat):
    inst = Installation(tmp_path, backend="postgresql")
    inst.db.execute(seed_sql(1))
    holder = []
    lock = ("BEGIN; LOCK TABLE tblPatienten, tblTermine, tblStudien, tblLetzteID "
            f"IN ACCESS EXCLUSIVE MODE; SELECT pg_sleep({HOLD_SECONDS + 60}); COMMIT;")

    def hold():
        holder.append(subprocess.Popen(inst.db.psql + ["-c", lock], stdout=subprocess.DEVNULL,
                                       stderr=subprocess.DEVNULL))
        deadline = time.monotonic() + 10
        while time.monotonic() < deadline:
            rows = inst.db.query("SELECT COUNT(*) FROM pg_locks WHERE mode = 'AccessExclusiveLock' "
                                 "AND relation = 'tblpatienten'::regclass")
            if int(rows[0][0]) > 0:
                return
            time.sleep(0.1)
        raise AssertionError("the lock was not taken")

    def release():
        for p in holder:
            p.kill()
            p.wait()

    try:
        hold_and_release(inst, heartbeat, hold, release)
    finally:
        release()
        inst.db.drop()


@pytest.mark.skipif(not os.environ.get("NORV_TEST_PG_CONNECTION"),
                    reason="needs the PostgreSQL ODBC connection text (NORV_TEST_PG_CONNECTION)")
def test_server_that_never_answers(tmp_path, heartbeat):
    # The kernel completes the handshake on a listening socket nobody
    # accepts from; the client then waits for a greeting that never comes.
    silent = socket.socket()
    silent.bind(("127.0.0.1", 0))
    silent.listen(64)
    try:
        inst = Installation(tmp_path)
        # Without the test connection's own connect_timeout: the service's
        # DBTimeout is what must bound the wait.
        parts = [p for p in os.environ["NORV_TEST_PG_CONNECTION"].split(";") if p and not
                 p.lower().startswith(("port=", "server=", "servername=", "pqopt="))]
        parts[1:1] = ["Server=127.0.0.1", f"Port={silent.getsockname()[1]}"]
        inst.shared["DBServer"] = "odbc:" + ";".join(parts) + ";"
        inst.shared["UDP"] = str(heartbeat.port)
        inst.write_settings()
        inst.drop_message(1, adt(1))
        inst.start()
        begin = time.monotonic()
        time.sleep(HOLD_SECONDS)
        end = time.monotonic()
        assert inst.process.poll() is None, "the service must keep running"
        pause = heartbeat.longest_pause(begin, end)
        assert pause <= MAX_HEARTBEAT_GAP, f"the heartbeat paused {pause:.1f} s"
        asked = time.monotonic()
        assert inst.stop() == 0
        assert time.monotonic() - asked < 15, "SIGTERM must end a connect that hangs"
        assert [p.name for p in inst.pending()] == ["1.HL7"], "the message must wait, not fail"
        assert not inst.disposed("failed")
    finally:
        silent.close()


def test_killed_and_restarted_leaves_nothing_behind(tmp_path):
    inst = Installation(tmp_path, keep_files=1)
    inst.db.execute(seed_sql(8))
    messages, model = batch(8 * 16, lambda k: f"S{k:05d}")
    for number, text in messages:
        inst.drop_message(number, text)
    rng = random.Random(7)
    for _ in range(6):  # 4.3 s in all, at a tick that needs 6.4 s for the batch
        inst.start(tick_ms=50)
        time.sleep(rng.uniform(0.3, 1.5))
        inst.process.send_signal(signal.SIGKILL)
        inst.process.wait()
        inst.process.stdout.close()
    assert inst.pending(), "the kills must come while the batch is in progress"
    # What an interrupted write leaves, planted where a kill might have left it.
    orders = inst.home / "RenameOrders"
    orders.mkdir(exist_ok=True)
    planted = [inst.temp / "2.25.11.dcm.part", inst.temp / "2.25.12.cae",
               inst.temp / ".2.25.13.cae.tmp", orders / "2.25.14.tmp", orders / ".2.25.15.JRQ.part"]
    for p in planted:
        p.write_bytes(b"half")
    keep = inst.temp / "notes.txt"
    keep.write_text("not ours")

    inst.start()
    # Start-up removes them before the first tick; SIGTERM only after that.
    deadline = time.monotonic() + 60
    while [p for p in planted if p.exists()] and time.monotonic() < deadline:
        time.sleep(0.05)
    assert not [p for p in planted if p.exists()]
    assert inst.wait_drained(timeout=300), f"{len(inst.pending())} files still waiting"
    assert inst.stop() == 0
    assert keep.exists()
    leftovers = [p.name for d in (inst.temp, orders) for p in d.iterdir()
                 if p.name.endswith((".part", ".tmp"))]
    assert not leftovers
    pages = {p.name[:-4] for p in inst.temp.glob("*.dcm")}
    assert all(m.name[:-4] in pages for m in inst.temp.glob("*.cae")), "a marker without its page"
    assert inst.disposed("debug") == model.processed
    assert inst.disposed("failed") == model.failed
