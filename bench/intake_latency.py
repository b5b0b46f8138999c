#!/usr/bin/env python3
"""Latency from a file renamed into the inbound directory to the file being
done (deleted after processing), over N messages one at a time, with the
designed 250 ms tick and with WatchInbound. SQLite installation.
Usage: bench/intake_latency.py BUILD_DIR [N]"""

import os
import statistics
import sys
import tempfile
import time
from pathlib import Path

SOURCE = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(SOURCE / "tests" / "e2e"))
os.environ.setdefault("NORV_SOURCE_DIR", str(SOURCE))


def measure(build, n, watch):
    os.environ["NORV_BINARY_DIR"] = str(Path(build).resolve())
    import installation
    installation.BINARY_DIR = Path(build).resolve()
    from messages import join, msh, pid
    with tempfile.TemporaryDirectory() as d:
        inst = installation.Installation(d, keep_files=0)
        inst.values["WatchInbound"] = "1" if watch else "0"
        inst.write_settings()
        env_tick = os.environ.pop("NORVREADER_TICK_MS", None)
        inst.start(tick_ms=250)
        if env_tick:
            os.environ["NORVREADER_TICK_MS"] = env_tick
        time.sleep(1.0)
        latencies = []
        for k in range(1, n + 1):
            text = join(msh("ADT^A08", f"L{k}"), pid(f"U{k}", "Nie", "Da"))
            target = inst.inbound / f"{k}.HL7"
            t0 = time.monotonic()
            inst.drop_message(k, text)
            while target.exists():
                time.sleep(0.0005)
            latencies.append((time.monotonic() - t0) * 1000)
            time.sleep(0.01)
        inst.stop()
    latencies.sort()
    return statistics.median(latencies), latencies[int(0.9 * len(latencies)) - 1]


def main():
    build = sys.argv[1] if len(sys.argv) > 1 else "build"
    n = int(sys.argv[2]) if len(sys.argv) > 2 else 100
    for watch in (False, True):
        p50, p90 = measure(build, n, watch)
        label = "WatchInbound 1" if watch else "designed tick (250 ms)"
        print(f"latency rename->done, {label}: p50 {p50:.1f} ms, p90 {p90:.1f} ms over {n} messages")


if __name__ == "__main__":
    main()
