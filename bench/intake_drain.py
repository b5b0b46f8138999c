#!/usr/bin/env python3
"""A backlog after an outage: how long the running service takes to drain
BACKLOG mixed messages (all pending at the start, SQLite) at the designed
250 ms tick with DrainBacklog 1, beside the same service without it on a
batch of REFERENCE messages (one file per tick), extrapolated to the
backlog; and, when NORV_TEST_PG_CONNECTION is set, PG_BACKLOG messages on
PostgreSQL with DrainBacklog 1.

Usage: bench/intake_drain.py BUILD_DIR   (BACKLOG=10000, REFERENCE=128, PG_BACKLOG=2000,
BENCH_DIR). Prints a Markdown table."""

import os
import sys
import tempfile
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
from intake_rate import BENCH_DIR, drain, prepared  # noqa: E402

BACKLOG = int(os.environ.get("BACKLOG", "10000"))
REFERENCE = int(os.environ.get("REFERENCE", "128"))
PG_BACKLOG = int(os.environ.get("PG_BACKLOG", "2000"))


def seconds(n, drain_backlog, backend="sqlite"):
    with tempfile.TemporaryDirectory(prefix="norv-drain.", dir=BENCH_DIR) as tmp:
        inst, messages = prepared(Path(tmp), backend, n)
        try:
            inst.values["DrainBacklog"] = str(drain_backlog)
            inst.write_settings()
            elapsed, cpu = drain(inst, {}, messages, tick_ms="")
        finally:
            inst.db.drop()
        return len(messages), elapsed, cpu


def main():
    n_ref, ref, _ = seconds(REFERENCE, 0)
    n, took, cpu = seconds(BACKLOG, 1)
    print(f"| Backlog of {n:,} mixed messages, SQLite, 250 ms tick | seconds | messages/s | goal |")
    print("|---|---|---|---|")
    print(f"| DrainBacklog 0 (extrapolated from {n_ref} messages) | {ref * n / n_ref:,.0f} | "
          f"{n_ref / ref:.1f} | |")
    print(f"| DrainBacklog 1 | {took:.1f} | {n / took:.0f} | < 30 s |")
    print(f"| DrainBacklog 1: service CPU per message | {cpu * 1000 / n:.2f} ms | | |")
    if os.environ.get("NORV_TEST_PG_CONNECTION"):
        n, took, cpu = seconds(PG_BACKLOG, 1, "postgresql")
        print(f"| PostgreSQL, {n:,} messages, DrainBacklog 1 | {took:.1f} | {n / took:.0f} | |")
        print(f"| PostgreSQL, DrainBacklog 1: service CPU per message | {cpu * 1000 / n:.2f} ms | | |")


if __name__ == "__main__":
    main()
