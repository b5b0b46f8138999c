#!/usr/bin/env python3
"""Messages per second of the running service at NORVREADER_TICK_MS=1, and
database connects and commits per message, on SQLite and (when
NORV_TEST_PG_CONNECTION is set) PostgreSQL. Each figure is measured twice in
the same run: with a new connection per procedure call and every statement
committed on its own (NORVREADER_CONNECTION_PER_CALL=1, as before), and with
the kept connection and one transaction per message. Beside them the floors
of this disk: a bare SQLite commit and an fsync of 1 KB.

Each rate is measured with the whole batch pending at the start (each tick
then also lists the whole backlog) and with WINDOW files pending, dropped
as the service takes them (the database work without the backlog's cost).
The service's own CPU time per message is shown beside it, as a machine
shared with other work slows the wall-clock figures.

Usage: bench/intake_rate.py BUILD_DIR   (MESSAGES=2000, WINDOW=32,
COUNT_MESSAGES=320, BENCH_DIR). Prints a Markdown table."""

import os
import re
import signal
import sqlite3
import subprocess
import sys
import tempfile
import time
from pathlib import Path

SOURCE = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(SOURCE / "tests/e2e"))
BUILD = Path(sys.argv[1] if len(sys.argv) > 1 else SOURCE / "build").resolve()
os.environ["NORV_BINARY_DIR"] = str(BUILD)
os.environ["NORV_SOURCE_DIR"] = str(SOURCE)

from installation import Installation  # noqa: E402
from messages import batch, seed_sql  # noqa: E402

MESSAGES = int(os.environ.get("MESSAGES", "2000"))
COUNT_MESSAGES = int(os.environ.get("COUNT_MESSAGES", "320"))
WINDOW = int(os.environ.get("WINDOW", "32"))
# Where the installations live (default: the system's temporary directory);
# /dev/shm leaves the disk's sync latency out.
BENCH_DIR = os.environ.get("BENCH_DIR") or None
MODES = {"before": {"NORVREADER_CONNECTION_PER_CALL": "1"}, "after": {}}


def prepared(workdir, backend, n):
    inst = Installation(workdir, backend=backend, keep_files=0)
    messages, model = batch(n, lambda k: f"S{k:05d}")
    inst.db.execute(seed_sql(model.count // 16))
    return inst, messages


def drop(inst, number, text):
    """An inbound file dated back past the cycle's one-second guard, so the
    service may take it at once."""
    inst.drop_message(number, text)
    path = inst.inbound / f"{number}.{inst.suffix}"
    past = time.time() - 10
    os.utime(path, (past, past))


def cpu_seconds(pid):
    fields = Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def drain(inst, env, messages, window=0, wrap=(), tick_ms="1"):
    """Runs the service until every message is taken. With `window` the
    files are dropped while it runs, keeping about that many pending;
    otherwise all are pending at the start. `tick_ms` "" keeps the designed
    tick. Returns the seconds from the start and the service's CPU seconds
    (None under a wrapper)."""
    queue = list(messages)
    for number, text in queue[:window or len(queue)]:
        drop(inst, number, text)
    queue = queue[window or len(queue):]
    started = time.monotonic()
    inst.process = subprocess.Popen(
        [*wrap, str(BUILD / "norvreader"), "--home", str(inst.home)],
        env=dict(os.environ, NORVREADER_TICK_MS=tick_ms, **env),
        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    while True:
        pending = len(inst.pending())
        if not pending and not queue:
            break
        while queue and pending < window:
            drop(inst, *queue.pop(0))
            pending += 1
        if inst.process.poll() is not None or time.monotonic() - started > 1800:
            raise SystemExit("norvreader stopped before the batch was done")
        time.sleep(0.001 if window else 0.02)
    elapsed = time.monotonic() - started
    pid = inst.process.pid
    # Under strace the service is the tracer's child: it is the one to stop.
    children = Path(f"/proc/{pid}/task/{pid}/children").read_text().split() if wrap else []
    cpu = None if wrap else cpu_seconds(pid)
    for child in children or [pid]:
        os.kill(int(child), signal.SIGTERM)
    inst.process.wait(timeout=30)
    return elapsed, cpu


def pg_counters(inst):
    # The statistics of a backend reach the view when it ends.
    time.sleep(1.0)
    row = inst.db.query("SELECT xact_commit, sessions FROM pg_stat_database "
                        f"WHERE datname = '{inst.db.name}'")[0]
    return int(row[0]), int(row[1])


def measure(backend, mode, window):
    with tempfile.TemporaryDirectory(prefix="norv-rate.", dir=BENCH_DIR) as tmp:
        inst, messages = prepared(Path(tmp), backend, MESSAGES)
        try:
            before = pg_counters(inst) if backend == "postgresql" else None
            seconds, cpu = drain(inst, MODES[mode], messages, window)
            result = {"rate": len(messages) / seconds, "cpu": cpu * 1000 / len(messages)}
            if backend == "postgresql":
                after = pg_counters(inst)
                # The first reading is one session and one transaction.
                result["commits"] = (after[0] - before[0] - 1) / len(messages)
                result["connects"] = (after[1] - before[1] - 1) / len(messages)
        finally:
            inst.db.drop()
    if backend == "sqlite" and not window:
        result.update(sqlite_counts(mode))
    return result


def sqlite_counts(mode):
    """Connects (opens of the database file) and commits (syncs of its
    write-ahead log; a transaction that wrote nothing needs none) per
    message, counted with strace on a smaller batch."""
    with tempfile.TemporaryDirectory(prefix="norv-count.", dir=BENCH_DIR) as tmp:
        inst, messages = prepared(Path(tmp), "sqlite", COUNT_MESSAGES)
        trace = Path(tmp) / "trace"
        drain(inst, MODES[mode], messages, 0, ["strace", "-f", "-qq", "-y", "-o", str(trace),
                                               "-e", "trace=openat,fsync,fdatasync"])
        db = str(inst.db.path)
        text = trace.read_text(errors="replace")
        opens = len(re.findall(r'openat\([^,]*, "' + re.escape(db) + r'", ', text))
        syncs = len(re.findall(r"f(?:data)?sync\(\d+<" + re.escape(db) + r"-wal>\)", text))
        return {"connects": opens / len(messages), "commits": syncs / len(messages)}


def floors(directory):
    """A bare SQLite commit (WAL, one row) and an fsync of 1 KB, in ms."""
    with tempfile.TemporaryDirectory(prefix="norv-floor.", dir=directory) as tmp:
        con = sqlite3.connect(Path(tmp) / "floor.db", isolation_level=None)
        con.execute("PRAGMA journal_mode = WAL")
        con.execute("CREATE TABLE t (v INTEGER)")
        n = 300
        started = time.perf_counter()
        for i in range(n):
            con.execute("BEGIN IMMEDIATE")
            con.execute("INSERT INTO t VALUES (?)", (i,))
            con.execute("COMMIT")
        commit_ms = (time.perf_counter() - started) * 1000 / n
        con.close()
        fd = os.open(Path(tmp) / "sync", os.O_WRONLY | os.O_CREAT)
        started = time.perf_counter()
        for _ in range(n):
            os.pwrite(fd, b"x" * 1024, 0)
            os.fsync(fd)
        fsync_ms = (time.perf_counter() - started) * 1000 / n
        os.close(fd)
    return commit_ms, fsync_ms


def main():
    backends = ["sqlite"] + (["postgresql"] if os.environ.get("NORV_TEST_PG_CONNECTION") else [])
    goals = {"sqlite": ">= 500", "postgresql": ">= 300"}
    names = {"sqlite": "SQLite", "postgresql": "PostgreSQL"}
    print(f"| Intake at NORVREADER_TICK_MS=1, {MESSAGES} mixed messages | before | after | goal |")
    print("|---|---|---|---|")
    for b in backends:
        for window in (0, WINDOW):
            r = {m: measure(b, m, window) for m in MODES}
            when = f"{WINDOW} pending, fed as taken" if window else "all pending at the start"
            print(f"| messages/s, {names[b]}, {when} | {r['before']['rate']:.0f} | "
                  f"{r['after']['rate']:.0f} | {goals[b]} |")
            print(f"| service CPU per message, {names[b]}, {when} | {r['before']['cpu']:.2f} ms | "
                  f"{r['after']['cpu']:.2f} ms | |")
            if window:
                continue
            commits = "commits" if b == "postgresql" else "write commits (WAL syncs)"
            for key, label, goal in (("connects", "connects", "kept open"), ("commits", commits, "1")):
                print(f"| {label} per message, {names[b]} | {r['before'][key]:.2f} | "
                      f"{r['after'][key]:.2f} | {goal} |")
    commit_ms, fsync_ms = floors(BENCH_DIR or tempfile.gettempdir())
    print(f"| floor: bare SQLite commit (WAL) | {commit_ms:.2f} ms | | |")
    print(f"| floor: fsync of 1 KB | {fsync_ms:.2f} ms | | |")


if __name__ == "__main__":
    main()
