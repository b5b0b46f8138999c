"""End-to-end: the operations commands on a real installation.
`norvreader --status` against a service that was never started, one that
runs (idle, then after a mixed batch with failures), one that stopped, and a
damaged state record: each of the exit codes 0-3 is reached and the JSON form
agrees with the batch. The metrics file is read with a small parser of the
Prometheus text format (and `promtool` when it is installed). A database
outage counts once and the messages it holds count only once handled.
`--requeue` moves failed files back in order, under numbers above the
waiting ones."""

import json
import os
import re
import shutil
import subprocess
import time

import pytest

from installation import BINARY_DIR, Installation, week_folder
from messages import batch, seed_sql
from mllp import Receiver

COUNTED = {"ADT^A08", "ADT^A40", "ADT^A47", "ORM^O01", "OMG^O19", "ORU^R01"}


def status(inst, *extra):
    r = subprocess.run([str(BINARY_DIR / "norvreader"), "--home", str(inst.home), "--status", *extra],
                       capture_output=True, text=True, timeout=60)
    return r.returncode, r.stdout


def status_json(inst):
    code, out = status(inst, "--json")
    report = json.loads(out)
    assert report["exit_code"] == code
    return code, report


def counted_event(text):
    """The event the service counts a message under: MSH-9 when it has a
    header, "unknown" without one, "other" for events it does not handle."""
    if "MSH" not in text:
        return "unknown"
    event = text[text.index("MSH"):].split("\r")[0].split("|")[8]
    return event if event in COUNTED else "other"


def expected_counts(messages, model, suffix="HL7"):
    counts = {}
    for number, text in messages:
        outcome = "processed" if f"{number}.{suffix}" in model.processed else "failed"
        key = (counted_event(text), outcome)
        counts[key] = counts.get(key, 0) + 1
    return counts


def wait_for(predicate, timeout=20):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        value = predicate()
        if value:
            return value
        time.sleep(0.25)
    return predicate()


SAMPLE = re.compile(r'^([a-zA-Z_:][a-zA-Z0-9_:]*)(?:\{(.*)\})? (\S+)$')
LABEL = re.compile(r'\s*([a-zA-Z_][a-zA-Z0-9_]*)="((?:[^"\\]|\\.)*)"\s*(,|$)')


def parse_metrics(text):
    """Prometheus text format: returns ({family: type}, [(name, labels, value)]).
    Fails on anything a scraper would reject: samples without a TYPE, families
    split or declared twice, malformed labels or values."""
    types, samples, seen, current = {}, [], set(), None
    for line in text.splitlines():
        if line.startswith("# HELP "):
            continue
        if line.startswith("# TYPE "):
            _, _, name, kind = line.split(" ", 3)
            assert name not in types, f"TYPE twice for {name}"
            assert kind in ("counter", "gauge", "histogram", "summary", "untyped")
            types[name] = kind
            seen.add(current)
            current = name
            continue
        assert not line.startswith("#") and line.strip(), f"unexpected line {line!r}"
        m = SAMPLE.match(line)
        assert m, f"malformed sample {line!r}"
        name, raw, value = m.groups()
        labels, pos = {}, 0
        while raw and pos < len(raw):
            lm = LABEL.match(raw, pos)
            assert lm, f"malformed labels {raw!r}"
            assert lm.group(1) not in labels
            labels[lm.group(1)] = re.sub(r'\\(.)', lambda e: {"n": "\n"}.get(e.group(1), e.group(1)),
                                         lm.group(2))
            pos = lm.end()
        family = name
        for suffix in ("_bucket", "_sum", "_count"):
            base = name[: -len(suffix)]
            if name.endswith(suffix) and types.get(base) == "histogram":
                family = base
        assert family == current and family not in seen, f"{name} outside its family"
        if types[family] == "counter":
            assert name.endswith("_total")
        samples.append((name, labels, float(value)))
    return types, samples


def check_histogram(samples, name):
    buckets = [(s[1]["le"], s[2]) for s in samples if s[0] == name + "_bucket"]
    assert buckets[-1][0] == "+Inf"
    bounds = [float(le) for le, _ in buckets]
    assert bounds == sorted(bounds)
    values = [v for _, v in buckets]
    assert values == sorted(values), "histogram buckets must be cumulative"
    count = [s[2] for s in samples if s[0] == name + "_count"]
    assert count == [values[-1]]
    return values[-1]


def counters(types, samples):
    return {(n, tuple(sorted(l.items()))): v for n, l, v in samples
            if types.get(n) == "counter" or (n.endswith(("_bucket", "_count", "_sum"))
                                             and types.get(n.rsplit("_", 1)[0]) == "histogram")}


@pytest.fixture
def inst(tmp_path):
    installation = Installation(tmp_path)
    installation.values["MetricsFile"] = str(tmp_path / "textfile" / "norvreader.prom")
    (tmp_path / "textfile").mkdir()
    installation.write_settings()
    installation.db.execute(seed_sql(8))
    yield installation
    if installation.process is not None and installation.process.poll() is None:
        installation.process.kill()
        installation.process.wait()


def test_status_and_metrics_through_a_service_life(inst, tmp_path):
    metrics_file = tmp_path / "textfile" / "norvreader.prom"
    code, report = status_json(inst)
    assert code == 2 and report["service"]["state"] == "not started"

    old_mask = os.umask(0o077)  # however strict the service's mask, both files stay readable
    try:
        inst.start()
    finally:
        os.umask(old_mask)
    # The record is written at start-up; an idle service with an empty queue is OK.
    assert wait_for(lambda: status(inst)[0] == 0), status(inst)[1]
    for published in (inst.home / "NORVReader.01.state", metrics_file):
        assert published.stat().st_mode & 0o777 == 0o644, published
    code, report = status_json(inst)
    assert report["service"]["running"] and report["service"]["pid"] == inst.process.pid
    assert report["database"]["reachable"] and report["database"]["query_seconds"] >= 0
    assert report["queue"] == [{"directory": str(inst.inbound) + "/", "readable": True,
                                "waiting": 0, "oldest_age_seconds": 0}]
    assert report["mllp"] is None

    # A configured MLLP receiver must listen: running it is OK, stopping it critical.
    receiver = Receiver(inst).start()
    code, report = status_json(inst)
    assert code == 0 and report["mllp"] == {"bind": "127.0.0.1", "port": receiver.port,
                                            "listening": True, "duplicates": 0}, report
    assert receiver.stop() == 0
    code, report = status_json(inst)
    assert code == 2 and report["mllp"]["listening"] is False
    assert any("MLLP receiver not listening" in r for r in report["reasons"])
    del inst.values["MLLPPort"]
    inst.write_settings()

    messages, model = batch(64, lambda k: f"S{k:05d}")
    for number, text in messages:
        inst.drop_message(number, text)
    assert inst.wait_drained(timeout=120)
    expected = expected_counts(messages, model)
    # The counts are published on the next alive tick.
    report = wait_for(lambda: (lambda r: r if r["today"]["processed"] + r["today"]["failed"]
                               == len(messages) else None)(status_json(inst)[1]))
    assert report, "the batch never showed in the status"
    assert report["exit_code"] == 1 and report["status"] == "WARNING"
    assert report["today"]["processed"] == len(model.processed)
    assert report["today"]["failed"] == len(model.failed)
    assert report["week"]["week"] == week_folder()
    got = {(event, outcome): n for event, c in report["today"]["events"].items()
           for outcome, n in c.items() if n}
    assert got == expected
    assert any("failed today" in r for r in report["reasons"])
    assert 0 < len(report["last_errors"]) <= 5
    screen = status(inst)[1]
    assert screen.startswith("NORVREADER WARNING - ")
    assert f"{len(model.failed)} failed" in screen

    types, first = parse_metrics(metrics_file.read_text())
    assert types["norvreader_messages_total"] == "counter"
    by = {(l["event"], l["outcome"]): v for n, l, v in first if n == "norvreader_messages_total"}
    assert {k: v for k, v in by.items() if v} == expected
    assert check_histogram(first, "norvreader_message_processing_seconds") == len(messages)
    info = [l for n, l, v in first if n == "norvreader_build_info"]
    assert info and info[0]["feed"] == "01"
    if shutil.which("promtool"):
        r = subprocess.run(["promtool", "check", "metrics"], input=metrics_file.read_text(),
                           capture_output=True, text=True)
        assert r.returncode == 0, r.stdout + r.stderr

    # A second batch: every counter only grows, by what the batch adds.
    more, more_model = batch(32, lambda k: f"S{k:05d}", first_block=4, first_number=1000)
    for number, text in more:
        inst.drop_message(number, text)
    assert inst.wait_drained(timeout=120)
    total = len(messages) + len(more)
    wait_for(lambda: check_histogram(parse_metrics(metrics_file.read_text())[1],
                                     "norvreader_message_processing_seconds") == total)
    types2, second = parse_metrics(metrics_file.read_text())
    before, after = counters(types, first), counters(types2, second)
    assert set(before) <= set(after)
    for key, value in before.items():
        assert after[key] >= value, key
    assert check_histogram(second, "norvreader_message_processing_seconds") == total

    assert inst.stop() == 0
    code, report = status_json(inst)
    assert code == 2 and report["service"]["state"] == "stopped"
    assert any("not running" in r for r in report["reasons"])
    assert report["today"]["processed"] + report["today"]["failed"] == total

    (inst.home / "NORVReader.01.state").write_text("this is not a state record\n")
    code, out = status(inst)
    assert code == 3 and out.startswith("NORVREADER UNKNOWN - ")


def test_an_outage_is_counted_once_and_held_messages_only_when_done(inst, tmp_path):
    metrics_file = tmp_path / "textfile" / "norvreader.prom"

    def figures():
        if not metrics_file.exists():
            return None
        _, samples = parse_metrics(metrics_file.read_text())
        one = {n: v for n, l, v in samples if set(l) == {"feed"}}
        done = sum(v for n, l, v in samples if n == "norvreader_messages_total")
        return one, done

    away = inst.db.path.with_name("installation.away")
    os.replace(inst.db.path, away)  # the database cannot be opened: an outage
    messages, model = batch(8, lambda k: f"S{k:05d}")
    for number, text in messages:
        inst.drop_message(number, text)
    inst.start()
    assert wait_for(lambda: (figures() or ({}, 0))[0].get("norvreader_database_outages_total") == 1)
    time.sleep(4)  # a few retries of the held message
    one, done = figures()
    assert one["norvreader_database_outages_total"] == 1
    assert done == 0, "a held message is neither processed nor failed"
    assert len(inst.pending()) == len(messages)
    code, report = status_json(inst)
    assert code == 2 and not report["database"]["reachable"]

    os.replace(away, inst.db.path)
    assert inst.wait_drained(timeout=120)
    assert wait_for(lambda: figures()[1] == len(messages))
    one, _ = figures()
    assert one["norvreader_database_outages_total"] == 1
    _, samples = parse_metrics(metrics_file.read_text())
    by = {(l["event"], l["outcome"]): v for n, l, v in samples if n == "norvreader_messages_total"}
    assert {k: v for k, v in by.items() if v} == expected_counts(messages, model)
    assert inst.stop() == 0


def test_requeue_moves_failed_files_back_in_order(inst):
    messages, model = batch(16, lambda k: f"S{k:05d}")
    for number, text in messages:
        inst.drop_message(number, text)
    inst.start()
    assert inst.wait_drained(timeout=60)
    assert inst.stop() == 0
    week = inst.inbound / "failed" / week_folder()
    failed = sorted(model.failed, key=lambda n: int(n.split(".")[0]))
    assert sorted(p.name for p in week.iterdir()) == sorted(failed)

    # Two files wait; a stray file far above the range is never taken.
    inst.drop_message(40, messages[0][1])
    inst.drop_message(41, messages[1][1])
    inst.drop_message(6000000, messages[1][1])
    outside = inst.home / "13.HL7"
    outside.write_text("not in a week folder")

    def snapshot():
        return sorted((str(p), p.stat().st_size) for p in inst.inbound.rglob("*"))

    norv = [str(BINARY_DIR / "norvreader"), "--home", str(inst.home), "--requeue"]
    before = snapshot()
    dry = subprocess.run(norv + ["--dry-run", str(week)], capture_output=True, text=True)
    assert dry.returncode == 0, dry.stderr
    assert snapshot() == before, "a dry run must change nothing"

    real = subprocess.run(norv + [str(week), str(outside)], capture_output=True, text=True)
    assert real.returncode == 1, "the path outside the week folders is refused"
    assert str(outside) in real.stderr and outside.exists()
    moves = [line.split(" -> ") for line in real.stdout.splitlines()]
    assert moves == [line.split(" -> ") for line in dry.stdout.splitlines()[:-1]]
    assert [os.path.basename(a) for a, _ in moves] == failed
    assert [os.path.basename(b) for _, b in moves] == [f"{42 + i}.HL7" for i in range(len(failed))]
    assert not list(week.iterdir())
    contents = dict(messages)
    for old, new in moves:
        assert (inst.inbound / os.path.basename(new)).read_bytes() == \
            contents[int(os.path.basename(old).split(".")[0])].encode("cp1252")

    # The service takes them after the two that waited, and they fail again.
    inst.start()
    assert wait_for(lambda: [p.name for p in inst.pending()] == ["6000000.HL7"], timeout=60)
    assert inst.stop() == 0
    assert {f"{42 + i}.HL7" for i in range(len(failed))} <= {p.name for p in week.iterdir()}
