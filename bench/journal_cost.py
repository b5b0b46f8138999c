#!/usr/bin/env python3
"""The message journal's cost in the running service: the same mixed batch
(MESSAGES, all pending at the start, NORVREADER_TICK_MS=1, SQLite, as in
intake_rate.py) drained with JournalDays 0 (no journal) and 90, alternating
ROUNDS times so both see the same machine; the medians of the wall time and
of the service's CPU time per message, and the journal's share of each.

Usage: bench/journal_cost.py BUILD_DIR   (MESSAGES=2000, ROUNDS=3, BENCH_DIR)
Prints a Markdown table."""

import os
import sqlite3
import statistics
import sys
import tempfile
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import intake_rate as rate  # noqa: E402

ROUNDS = int(os.environ.get("ROUNDS", "3"))


def run(days):
    with tempfile.TemporaryDirectory(prefix="norv-journal.", dir=rate.BENCH_DIR) as tmp:
        inst, messages = rate.prepared(Path(tmp), "sqlite", rate.MESSAGES)
        inst.values["JournalDays"] = str(days)
        inst.write_settings()
        seconds, cpu = rate.drain(inst, {}, messages)
        journal = inst.home / "NORVReader.01.journal"
        records = 0
        if journal.exists():
            con = sqlite3.connect(journal)
            records = con.execute("SELECT COUNT(*) FROM messages").fetchone()[0]
            con.close()
        if records != (len(messages) if days else 0):
            raise SystemExit(f"JournalDays {days}: {records} records for {len(messages)} messages")
        return seconds * 1000 / len(messages), cpu * 1000 / len(messages)


def main():
    results = {0: [], 90: []}
    for _ in range(ROUNDS):
        for days in results:
            results[days].append(run(days))
    wall = {d: statistics.median(r[0] for r in results[d]) for d in results}
    cpu = {d: statistics.median(r[1] for r in results[d]) for d in results}
    print(f"| {rate.MESSAGES} mixed messages, SQLite, median of {ROUNDS} | no journal | journal | "
          "share | goal |")
    print("|---|---|---|---|---|")
    print(f"| wall time per message | {wall[0]:.3f} ms | {wall[90]:.3f} ms | "
          f"{(wall[90] - wall[0]) / wall[0] * 100:+.1f} % | < 5 % |")
    print(f"| service CPU per message | {cpu[0]:.3f} ms | {cpu[90]:.3f} ms | "
          f"{(cpu[90] - cpu[0]) / cpu[0] * 100:+.1f} % | < 5 % |")


if __name__ == "__main__":
    main()
