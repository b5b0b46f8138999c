"""End-to-end: the message journal and `norvreader --trace` on a real
installation. A mixed batch with failures is traced by patient, accession
and control id (and while the service still writes); a message received
over MLLP traces back to its peer; old records are pruned; a journal that
cannot be written changes nothing but one log line."""

import json
import os
import sqlite3
import subprocess
import time

import pytest

from installation import BINARY_DIR, Installation, week_folder
from messages import batch, join, msh, obr, orc, pid, pv1, seed_sql
from mllp import Client, Receiver, ack_code_and_control

BACKENDS = ["sqlite"] + (["postgresql"] if os.environ.get("NORV_TEST_PG_CONNECTION") else [])
BLOCKS = 20


@pytest.fixture(params=BACKENDS)
def inst(request, tmp_path):
    installation = Installation(tmp_path, backend=request.param)
    installation.db.execute(seed_sql(BLOCKS))
    yield installation
    if installation.process is not None and installation.process.poll() is None:
        installation.process.kill()
        installation.process.wait()
    installation.db.drop()


def trace(inst, *args):
    r = subprocess.run([str(BINARY_DIR / "norvreader"), "--home", str(inst.home), "--trace",
                        *args, "--json"], capture_output=True, text=True, timeout=60)
    assert r.returncode in (0, 1), r.stderr
    return json.loads(r.stdout)


def names(roads):
    return [os.path.basename(r["taken"]["file"]) for r in roads]


def test_a_mixed_batch_is_traced_by_patient_accession_and_control_id(inst):
    messages, model = batch(BLOCKS * 16, lambda k: f"S{k:05d}")
    for number, text in messages:
        inst.drop_message(number, text)
    inst.start()
    # --trace reads while the service writes: every answer is whole.
    deadline = time.monotonic() + 120
    while inst.pending() and inst.process.poll() is None and time.monotonic() < deadline:
        trace(inst, "PA00019")
    assert inst.wait_drained(timeout=120)
    journal = inst.home / "NORVReader.01.journal"
    for f in (journal, journal.with_name(journal.name + "-wal")):
        assert f.stat().st_mode & 0o777 == 0o600, f
    assert inst.stop() == 0

    week = week_folder()
    debug, failed = inst.inbound / "debug" / week, inst.inbound / "failed" / week
    # Patient PA00000: the four orders, the status change and the update
    # that fails for its missing birth date.
    roads = trace(inst, "PA00000")
    assert names(roads) == [f"{n}.HL7" for n in (1, 2, 3, 4, 5, 16)]
    for r in roads:
        t = r["taken"]
        n = os.path.basename(t["file"])
        assert t["outcome"] == ("processed" if n in model.processed else "failed")
        assert t["disposal"] == str((debug if n in model.processed else failed) / n)
        assert r["file_there"] and r["received"] is None
    changes = {names([r])[0]: r["taken"]["changes"] for r in roads}
    assert changes["1.HL7"][0] == "patient inserted: PA00000 (PATID %d)" % (100001 + BLOCKS)
    assert [c.split(" (")[0] for c in changes["1.HL7"][1:]] == ["appointment booked: ACC00000-1"] * 2
    assert changes["4.HL7"] == ["appointments removed: ACC00000-2 (2 rows)"]
    assert roads[-1]["taken"]["error_lines"] and "Type mismatch" in roads[-1]["taken"]["error_lines"][0]

    # Accession ACC00000-1: booked, updated, status changed.
    roads = trace(inst, "ACC00000-1")
    assert names(roads) == ["1.HL7", "2.HL7", "5.HL7"]
    assert [c.split(" (")[0] for c in roads[1]["taken"]["changes"][1:]] == \
        ["appointment updated: ACC00000-1"] * 2
    assert roads[2]["taken"]["changes"] == ["appointment status: ACC00000-1 SC/IP"]

    # Control id 3-15 (block 3, an order without PID): one failure with its
    # error line. A rename order and report pages are named with their files.
    roads = trace(inst, "3-15")
    assert names(roads) == [f"{3 * 16 + 15}.HL7"]
    assert roads[0]["taken"]["outcome"] == "failed"
    assert "Subscript out of range" in roads[0]["taken"]["error_lines"][0]
    stored = {c for r in trace(inst, "S00002") for c in r["taken"]["changes"]}
    written = [c.split(": ", 1)[1] for c in stored if " written: " in c]
    assert len(written) == 4 and all(os.path.exists(w) for w in written)

    # Today's failures: every failed file, still in the failed folder.
    roads = trace(inst, "--failed", "--today")  # no receiver here: only the taken files
    assert sorted(names(roads)) == sorted(model.failed)
    assert all(r["file_there"] and r["file_now"].startswith(str(failed)) for r in roads)
    text = subprocess.run([str(BINARY_DIR / "norvreader"), "--home", str(inst.home), "--trace",
                           "3-15"], capture_output=True, text=True).stdout
    assert "outcome   failed" in text and "requeue   norvreader --requeue journal:" in text


def test_a_message_received_over_mllp_traces_back_to_its_peer(inst):
    receiver = Receiver(inst).start()
    order = join(msh("ORM^O01", "MLLP-1"), pid("PM0001", "Mllp", "Mia"), pv1("CT1"), orc("NW"),
                 obr("ACCM1"))
    with Client(receiver.port) as c:
        assert ack_code_and_control(c.request(order.encode("cp1252"))) == (b"AA", b"MLLP-1")
    inst.start()
    assert inst.wait_drained(timeout=60)
    deadline = time.monotonic() + 20
    while not (roads := trace(inst, "MLLP-1")) or roads[0]["taken"] is None:
        assert time.monotonic() < deadline, roads
        time.sleep(0.2)
    assert receiver.stop() == 0 and inst.stop() == 0
    assert len(roads) == 1
    got, taken = roads[0]["received"], roads[0]["taken"]
    assert got["peer"].startswith("127.0.0.1:") and got["answer"] == "AA"
    assert got["file"] == taken["file"] and taken["outcome"] == "processed"
    assert taken["accessions"] == ["ACCM1"] and trace(inst, "ACCM1") == roads


def test_old_records_are_pruned_on_the_alive_tick(inst):
    messages, _ = batch(16, lambda k: f"S{k:05d}")
    for number, text in messages:
        inst.drop_message(number, text)
    inst.start()
    assert inst.wait_drained(timeout=60)
    assert inst.stop() == 0
    journal = inst.home / "NORVReader.01.journal"
    con = sqlite3.connect(journal)
    con.execute("UPDATE messages SET at = at - 91 * 86400 WHERE id <= 4")
    con.commit()
    con.close()
    assert len(trace(inst, "PA00000")) == 6

    inst.start()
    deadline = time.monotonic() + 20
    while len(trace(inst, "PA00000")) != 2:
        assert time.monotonic() < deadline, "the old records were not pruned"
        time.sleep(0.5)
    assert inst.stop() == 0
    con = sqlite3.connect(journal)
    assert con.execute("SELECT COUNT(*) FROM messages WHERE id <= 4").fetchone() == (0,)
    assert con.execute("SELECT COUNT(*) FROM lookup WHERE message <= 4").fetchone() == (0,)
    con.close()


def test_an_unwritable_journal_changes_nothing_but_one_log_line(inst):
    (inst.home / "NORVReader.01.journal").mkdir()  # a folder where the file should be
    messages, model = batch(64, lambda k: f"S{k:05d}")
    for number, text in messages:
        inst.drop_message(number, text)
    inst.start()
    assert inst.wait_drained(timeout=60)
    assert inst.stop() == 0
    assert inst.disposed("debug") == model.processed
    assert inst.disposed("failed") == model.failed
    lines = [l for l in inst.error_log().splitlines() if "MessageJournal" in l]
    assert len(lines) == 1 and "cannot be written" in lines[0], lines
