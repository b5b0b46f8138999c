"""Faults injected into a running service: the database going away, Temp
disappearing, the log folder unusable, a full disk, the settings file
rewritten. The service must keep running, every affected file must end in
failed (never deleted as processed), and processing must resume once the
fault is gone."""

import os
import shutil
import signal
import subprocess
import time

import pytest

import pg_cluster
from installation import Installation
from messages import batch, kind, seed_sql

BLOCK = 16
# Which messages of a block need the database (all but the dropped order
# with an unknown procedure code and the broken files).
NEEDS_DATABASE = {1, 2, 3, 4, 5, 6, 8, 9, 10, 11, 12}


def run_phase(inst, first_block, blocks=2):
    messages, model = batch(blocks * BLOCK, lambda k: f"S{k:05d}", first_block=first_block,
                            first_number=first_block * BLOCK)
    for number, text in messages:
        inst.drop_message(number, text)
    assert inst.wait_drained(timeout=120), f"{len(inst.pending())} files still waiting"
    assert inst.process.poll() is None, "the service must keep running"
    return model


def placed(inst, model):
    debug, failed = inst.disposed("debug"), inst.disposed("failed")
    return model.processed <= debug and model.failed <= failed


@pytest.fixture
def sqlite_installation(tmp_path):
    inst = Installation(tmp_path)
    inst.db.execute(seed_sql(8))
    yield inst
    if inst.process is not None and inst.process.poll() is None:
        inst.process.kill()
        inst.process.wait()


OUTAGE_SECONDS = int(os.environ.get("NORV_E2E_OUTAGE_SECONDS", "30"))


@pytest.mark.skipif(not pg_cluster.available(), reason="needs PostgreSQL (NORV_TEST_PG_CONNECTION)")
def test_database_outage_holds_the_queue_and_loses_nothing(tmp_path):
    cluster = pg_cluster.PgCluster()
    try:
        inst = Installation(tmp_path, backend="postgresql", db_env=cluster.env())
        inst.db.execute(seed_sql(8))
        inst.start()
        before = run_phase(inst, 0)
        cluster.stop()
        messages, down = batch(2 * BLOCK, lambda k: f"S{k:05d}", first_block=2,
                               first_number=2 * BLOCK)
        for number, text in messages:
            inst.drop_message(number, text)
        time.sleep(OUTAGE_SECONDS)
        assert inst.process.poll() is None, "the service must keep running"
        names = down.processed | down.failed
        # Messages that need no database (broken files, an unknown
        # procedure) may go before the first one that does: the queue then
        # waits at that one, and nothing behind it is taken.
        first_held = min(int(n.split(".")[0]) for n in names if kind(n) in NEEDS_DATABASE)
        waiting = {p.name for p in inst.pending()}
        assert {n for n in names if int(n.split(".")[0]) >= first_held} <= waiting
        assert not {n for n in inst.disposed("failed") & names if kind(n) in NEEDS_DATABASE}
        cluster.start()
        assert inst.wait_drained(timeout=150), f"{len(inst.pending())} files still waiting"
        assert inst.stop() == 0
        assert placed(inst, before) and placed(inst, down)
        log = inst.error_log()
        assert log.count("The database cannot be reached") == 1, log
        assert log.count("The database can be reached again") == 1, log
        # Applied in order: booked then cancelled is gone, the status change
        # came after the booking.
        rows = inst.db.query("SELECT COUNT(*) FROM tblTermine WHERE AccessionNumber = 'ACC00002-2'")
        assert int(rows[0][0]) == 0
        rows = inst.db.query("SELECT TerminStatus FROM tblTermine WHERE AccessionNumber = "
                             "'ACC00002-1' ORDER BY TerminID")
        assert rows and rows[0][0] == "SC/IP"
    finally:
        cluster.destroy()


def test_temp_disappearing(sqlite_installation):
    inst = sqlite_installation
    inst.start()
    before = run_phase(inst, 0)
    shutil.move(inst.temp, str(inst.temp) + ".away")
    down = run_phase(inst, 2)
    shutil.move(str(inst.temp) + ".away", inst.temp)
    after = run_phase(inst, 4)
    assert inst.stop() == 0
    assert placed(inst, before) and placed(inst, after)
    failed = inst.disposed("failed")
    reports = {n for n in down.processed if kind(n) == 11}
    assert reports and reports <= failed, "reports without Temp must end in failed"
    assert len(list(inst.temp.glob("*.dcm"))) == 2 * 2 * 2  # two phases x two blocks x two pages


def test_log_folder_unusable(sqlite_installation):
    inst = sqlite_installation
    (inst.home / "Logs").write_text("not a folder")
    inst.values["Debug"] = "1"
    inst.write_settings()
    inst.start()
    model = run_phase(inst, 0, blocks=3)
    assert inst.stop() == 0
    assert placed(inst, model)
    assert (inst.home / "Logs").read_text() == "not a folder"


def test_full_disk(sqlite_installation, tmp_path):
    inst = sqlite_installation
    mnt = tmp_path / "small"
    mnt.mkdir()
    # 700 kB: room for one report page (about 500 kB) but not two.
    if subprocess.run(["mount", "-t", "tmpfs", "-o", "size=700k", "tmpfs", str(mnt)],
                      capture_output=True).returncode != 0:
        pytest.skip("cannot mount a tmpfs here")
    try:
        inst.shared["Temp"] = str(mnt) + "/"
        inst.write_settings()
        inst.start()
        full = run_phase(inst, 0, blocks=1)
        failed = inst.disposed("failed")
        reports = {n for n in full.processed if kind(n) == 11}
        assert reports <= failed, "a report that does not fit must end in failed"
        assert not [p for p in mnt.iterdir() if p.suffix == ".part"], "no partial files left"
        for p in mnt.iterdir():
            p.unlink()
        inst.shared["Temp"] = str(inst.temp) + "/"
        inst.write_settings()
        inst.process.send_signal(signal.SIGHUP)
        time.sleep(0.5)
        after = run_phase(inst, 1, blocks=1)
        assert inst.stop() == 0
        assert placed(inst, after)
    finally:
        subprocess.run(["umount", "-l", str(mnt)], check=False)


def test_settings_rewritten_while_running(sqlite_installation):
    inst = sqlite_installation
    messages, model = batch(6 * BLOCK, lambda k: f"S{k:05d}")
    for number, text in messages:
        inst.drop_message(number, text)
    inst.start(tick_ms=20)
    # Signals sent before the program has taken them over (its start-up
    # takes a few hundred milliseconds under the sanitizers) would end it
    # with the default action, as with any program: wait for its first file.
    deadline = time.monotonic() + 120
    while len(inst.pending()) == len(messages) and time.monotonic() < deadline:
        time.sleep(0.01)
    n = 0
    while inst.pending() and time.monotonic() < deadline:
        n += 1
        inst.values["Caption"] = f"NORVReader e2e {n}"
        inst.values["Debug"] = str(n % 2)
        inst.write_settings()
        if n % 3 == 0:
            inst.process.send_signal(signal.SIGHUP)
        time.sleep(0.05)
    assert not inst.pending()
    assert inst.stop() == 0
    assert inst.disposed("debug") == model.processed
    assert inst.disposed("failed") == model.failed
