"""End-to-end: the real norvreader on a temporary installation drains a
mixed batch and every input file, database row, rename order and report page
is accounted for."""

import os

import pytest

from installation import Installation, week_folder
from messages import batch, seed_sql

N_MESSAGES = int(os.environ.get("NORV_E2E_MESSAGES", "2000"))
BACKENDS = ["sqlite"] + (["postgresql"] if os.environ.get("NORV_TEST_PG_CONNECTION") else [])


@pytest.fixture(params=BACKENDS)
def installation(request, tmp_path):
    inst = Installation(tmp_path, backend=request.param)
    yield inst
    if inst.process is not None and inst.process.poll() is None:
        inst.process.kill()
        inst.process.wait()
    inst.db.drop()


def test_mixed_batch_is_fully_accounted_for(installation):
    inst = installation
    messages, model = batch(N_MESSAGES, lambda k: f"S{k:05d}")
    blocks = model.count // 16
    inst.db.execute(seed_sql(blocks))
    for number, text in messages:
        inst.drop_message(number, text)

    inst.start()
    drained = inst.wait_drained(timeout=600)
    peak_kb = inst.rss_kb()
    assert inst.stop() == 0, "norvreader must stop cleanly on SIGTERM"
    assert drained, f"{len(inst.pending())} files still waiting"
    print(f"\n{inst.db.backend}: {model.count} messages, peak RSS {peak_kb} kB")

    # Every file ended where it must.
    assert inst.disposed("debug") == model.processed
    assert inst.disposed("failed") == model.failed
    assert sorted((inst.inbound / "debug").iterdir())[0].name == week_folder()

    # Appointments: rows per accession, status of the first row.
    rows = dict(inst.db.query(
        "SELECT AccessionNumber, COUNT(*) FROM tblTermine GROUP BY AccessionNumber"))
    for acc, count in model.accession_rows.items():
        assert int(rows.get(acc, 0)) == count, acc
    statuses = inst.db.query("SELECT AccessionNumber, TerminStatus FROM tblTermine ORDER BY TerminID")
    first = {}
    for acc, status in statuses:
        first.setdefault(acc, status)
    for acc, status in model.accession_status.items():
        assert first[acc] == status, acc
    assert int(inst.db.query("SELECT COUNT(*) FROM tblTermine")[0][0]) == \
        sum(model.accession_rows.values())

    # Patients: one row per identifier, with the last name of the last update.
    stored = inst.db.query("SELECT PATID1, PATNachname, PATID FROM tblPatienten")
    by_id = {}
    for patid1, last, patid in stored:
        by_id.setdefault(patid1, []).append((last, patid))
    for patid1, last in model.patients.items():
        assert [r[0] for r in by_id.get(patid1, [])] == [last], patid1
    assert all(int(p) != 0 for _, _, p in stored)
    assert not any(k.startswith("PU") for k in by_id), "unknown patients must not be registered"

    # Rename orders and report pages.
    orders = list((inst.home / "RenameOrders").glob("*.JRQ"))
    assert len(orders) == model.rename_orders
    assert all(o.read_bytes().endswith(b"|F|\r\n") for o in orders)
    assert b"O'Brien^Anna^" in orders[0].read_bytes()
    assert len(list(inst.temp.glob("*.dcm"))) == model.report_pages
    assert len(list(inst.temp.glob("*.cae"))) == model.report_pages
    assert not [p for p in inst.temp.iterdir() if p.suffix not in (".dcm", ".cae")], \
        "no temporary files may be left behind"
