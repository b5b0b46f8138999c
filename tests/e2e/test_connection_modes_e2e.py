"""End-to-end: the same inbound batch, with failing messages of every kind,
run once with a connection per procedure call at the tick of the designed
cycle, and once on the kept connection with the backlog drained and the
folder watched, must leave the same database, row for row, and the same
week folders, file for file."""

import os

import pytest

from installation import Installation
from messages import TOMORROW, batch, join, msh, obr, orc, pid, pv1, seed_sql

N_MESSAGES = max(160, int(os.environ.get("NORV_E2E_MESSAGES", "2000")) // 5)
BACKENDS = ["sqlite"] + (["postgresql"] if os.environ.get("NORV_TEST_PG_CONNECTION") else [])

# A booking the database refuses for the second AET only: the first row
# must not stay behind on its own.
REFUSE = {
    "sqlite": "CREATE TRIGGER refuse AFTER INSERT ON tblTermine WHEN NEW.AccessionNumber = "
              "'REFUSED' AND NEW.FKeyAETID = 2 BEGIN SELECT RAISE(ABORT, 'refused'); END;",
    "postgresql": "CREATE FUNCTION refuse() RETURNS trigger AS $$ BEGIN IF NEW.AccessionNumber = "
                  "'REFUSED' AND NEW.FKeyAETID = 2 THEN RAISE EXCEPTION 'refused'; END IF; "
                  "RETURN NEW; END $$ LANGUAGE plpgsql; CREATE TRIGGER refuse AFTER INSERT ON "
                  "tblTermine FOR EACH ROW EXECUTE FUNCTION refuse();",
}


def failing_messages():
    """Messages that fail, or are consumed without a change, in other ways
    than those of the batch: (text, ends in failed)."""
    return [
        # No AET serves MR9: the patient is registered, nothing booked.
        (join(msh("ORM^O01", "F1"), pid("PN1", "Ohne", "Aet"), pv1("MR9"), orc("NW"),
              obr("ACC-NOAET")), True),
        # The second of two bookings refused: the patient stays, no row.
        (join(msh("ORM^O01", "F2"), pid("PN2", "Halb", "Gebucht"), pv1("CT1"), orc("NW"),
              obr("REFUSED")), True),
        # An appointment time that is no time, after the past ones were purged.
        (join(msh("ORM^O01", "F3"), pid("PN3", "Zeit", "Los"), pv1("CT1"),
              orc("NW", when=TOMORROW + "2599"), obr("ACC-TIME")), True),
        # A birth date that is no date: the new patient is not registered.
        (join(msh("ORM^O01", "F4"), pid("PN4", "Geb", "Datum", dob="19601399"), pv1("CT1"),
              orc("NW"), obr("ACC-DOB")), True),
        # A merge without MRG of a known patient.
        (join(msh("ADT^A40", "F5"), pid("S00000", "Merge", "Ohne")), True),
        # A header cut short.
        ("MSH|^~\\&\r", True),
        # Unknown patient reports and updates, an unknown procedure: consumed.
        (join(msh("ORU^R01", "F7"), pid("PN9", "Nie", "Da"), orc("RE"), obr("R-X"),
              "OBX|1|TX|||x"), False),
        (join(msh("ORM^O01", "F8"), pid("PN8", "Nie", "Da"), pv1("CT1"), orc("NW"),
              obr("ACC-UNK", "XX1^Unbekannt")), False),
    ]


def run(tmp_path, backend, kept):
    inst = Installation(tmp_path, backend=backend)
    try:
        messages, model = batch(N_MESSAGES, lambda k: f"S{k:05d}")
        extra = failing_messages()
        inst.db.execute(seed_sql(model.count // 16) + "\n" + REFUSE[backend] + "\n"
                        "INSERT INTO tblTermine (FKeyPatID, FKeyAETID, TerminDatum, TerminZeit, "
                        "AccessionNumber, Modality) VALUES (100000, 1, '2000-01-03', '08:00', "
                        "'PAST', 'CT');")
        # The failing messages come first, while the past appointment is
        # there to be purged, and once more after the batch.
        numbered = [(n + 1, text) for n, (text, _) in enumerate(extra)]
        numbered += [(len(extra) + n, text) for n, text in messages]
        numbered += [(len(numbered) + n + 1, text) for n, (text, _) in enumerate(extra)]
        for number, text in numbered:
            inst.drop_message(number, text)
        if kept:
            inst.values.update({"DrainBacklog": "1", "WatchInbound": "1"})
            inst.write_settings()
            inst.start()
        else:
            inst.start(env={"NORVREADER_CONNECTION_PER_CALL": "1"})
        drained = inst.wait_drained(timeout=600)
        assert inst.stop() == 0
        assert drained, f"{len(inst.pending())} files still waiting"
        return outcome(inst)
    finally:
        if inst.process is not None and inst.process.poll() is None:
            inst.process.kill()
            inst.process.wait()
        inst.db.drop()


def outcome(inst):
    """The rows of every table (study UIDs only as present or not: they are
    new for every booking) and the week folders' files with their bytes."""
    q = inst.db.query
    tables = {
        "tblPatienten": q("SELECT PATID, PATID1, PATID2, PATNachname, PATVorname, PAT2Vorname, "
                          "PATGebDatum, PATGeschlecht FROM tblPatienten ORDER BY PATID"),
        "tblTermine": q("SELECT TerminID, FKeyPatID, FKeyAETID, TerminDatum, TerminZeit, "
                        "AccessionNumber, StudyInstanceUID IS NULL, TerminUeberweiser, Modality, "
                        "TerminStatus, RequestedProcedureID, RequestedProcedureDescription, "
                        "CurrentPatientLocation, ScheduledProcedureStepID, ReferringPhysicianID, "
                        "TerminSonstiges FROM tblTermine ORDER BY TerminID"),
        "tblLetzteID": q("SELECT Tabellenname, LetzteID FROM tblLetzteID ORDER BY Tabellenname"),
    }
    folders = {}
    for kind in ("debug", "failed"):
        root = inst.inbound / kind
        for path in sorted(root.rglob("*")) if root.is_dir() else []:
            if path.is_file():
                folders[str(path.relative_to(inst.inbound))] = path.read_bytes()
    orders = sorted(p.read_bytes() for p in (inst.home / "RenameOrders").glob("*.JRQ"))
    pages = len(list(inst.temp.glob("*.dcm")))
    return tables, folders, orders, pages


@pytest.mark.parametrize("backend", BACKENDS)
def test_both_connection_ways_store_the_same(tmp_path, backend):
    per_call = run(tmp_path / "per_call", backend, kept=False)
    kept = run(tmp_path / "kept", backend, kept=True)
    for name in per_call[0]:
        assert kept[0][name] == per_call[0][name], name
    assert sorted(kept[1]) == sorted(per_call[1])
    for path, data in per_call[1].items():
        assert kept[1][path] == data, path
    assert kept[2] == per_call[2], "rename orders"
    assert kept[3] == per_call[3], "report pages"
    # The designed results themselves: the patient of an order without an
    # AET, or whose booking was refused or had no valid time, is stored; no
    # half-booked order is; the past appointment was purged.
    patients = {row[1] for row in per_call[0]["tblPatienten"]}
    assert {"PN1", "PN2", "PN3"} <= patients and not {"PN4", "PN8", "PN9"} & patients
    accessions = [row[5] for row in per_call[0]["tblTermine"]]
    assert not {"REFUSED", "ACC-TIME", "ACC-NOAET", "PAST"} & set(accessions)
    failed = {p.rsplit("/", 1)[1] for p in per_call[1] if p.startswith("failed/")}
    assert {"1.HL7", "2.HL7", "3.HL7", "4.HL7", "5.HL7", "6.HL7"} <= failed
