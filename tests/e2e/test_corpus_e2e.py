"""End-to-end: the public HL7 sample corpus (../shared/corpus/hl7 beside the
checkout, or NORV_CORPUS_DIR) through the real norvreader, one file at a
time, in both reading modes. In both, nothing may crash, every file must be
accounted for, no patient may be stored under a PID-3 type code and no
report text may run off a page. In the standard reading every well-formed
message of a handled event must give exactly the values an independent
reading (hl7_expect.py) gives, and at least 90 % of them must be processed,
95 % when orders without a time are booked at the message's time
(AppointmentTimeFallback 1). The per-type table is written to
<build>/corpus-e2e-<mode>.txt."""

import collections
import os
import sqlite3
import time
from pathlib import Path

import pydicom
import pytest

from hl7_expect import HANDLED, ORDERS, expect, fate
from installation import BINARY_DIR, SOURCE_DIR, Installation

CORPUS = Path(os.environ.get("NORV_CORPUS_DIR", SOURCE_DIR.parent / "shared" / "corpus" / "hl7"))
FILES = sorted(CORPUS.glob("*.hl7")) if CORPUS.is_dir() else []
READINGS = {fallback: {f.name: expect(f.read_bytes(), fallback) for f in FILES} for fallback in (False, True)}

pytestmark = pytest.mark.skipif(not FILES, reason=f"no sample corpus at {CORPUS}")


def corpus_codes():
    codes = {u["code"] for r in READINGS[False].values() for u in r.get("units", []) if u["code"]}
    return ";".join(sorted(c for c in codes if ";" not in c))


class Run:
    """One installation in one reading mode, fed one corpus file at a time."""

    def __init__(self, workdir, standard, time_fallback):
        self.inst = Installation(workdir, keep_files=1, convert_reports=1, modality_location="")
        self.inst.values["StandardHL7"] = "1" if standard else "0"
        self.inst.values["AppointmentTimeFallback"] = "1" if time_fallback else "0"
        self.inst.write_settings()
        (self.inst.home / "procedure-ids.txt").write_text(corpus_codes(), encoding="cp1252")
        self.db = sqlite3.connect(self.inst.db.path, timeout=30)
        self.seeded = 900000
        self.inst.start(tick_ms=2)

    def seed(self, patient_id):
        if not self.db.execute("SELECT 1 FROM tblPatienten WHERE PATID1 = ?", (patient_id,)).fetchall():
            self.seeded += 1
            self.db.execute("INSERT INTO tblPatienten (PATID, PATID1, PATNachname) VALUES (?, ?, 'Seeded')",
                            (self.seeded, patient_id))
            self.db.commit()

    def feed(self, number, data):
        """Drops one file (aged, so that it is taken at once) and waits until
        it has left the inbound directory; returns where it went."""
        name = f"{number}.HL7"
        tmp = self.inst.inbound / f".{number}.part"
        tmp.write_bytes(data)
        past = time.time() - 60
        os.utime(tmp, (past, past))
        os.replace(tmp, self.inst.inbound / name)
        deadline = time.monotonic() + 60
        while (self.inst.inbound / name).exists():
            assert self.inst.process.poll() is None, "norvreader died"
            assert time.monotonic() < deadline, f"{name} was never taken"
            time.sleep(0.01)
        for kind in ("debug", "failed"):
            if name in self.inst.disposed(kind):
                return kind
        return "deleted"

    def pages(self, before):
        return sorted(set(self.inst.temp.glob("*.dcm")) - before)

    def errors_about(self, number):
        """The descriptions of the error-log lines that name file `number`
        (the description starts at the fourth print zone and ends with the
        file's name)."""
        marker = f" ({self.inst.inbound}/{number}.HL7)"
        return [line[42:line.index(marker)] for line in self.inst.error_log().splitlines() if marker in line]


def check_values(run, reading, event, pages):
    """The database rows and report pages against the independent reading."""
    for unit in reading["units"]:
        if event in ORDERS and not (unit["has_obr"] and unit["code"]):
            continue
        row = run.db.execute("SELECT PATNachname, PATVorname, PAT2Vorname, PATGebDatum, PATGeschlecht "
                             "FROM tblPatienten WHERE PATID1 = ?", (unit["id"],)).fetchall()
        row = row[0] if row else None
        if event in ORDERS and unit["control"] in ("CA", "SC"):
            continue
        assert row is not None, unit["id"]
        if event != "ORU^R01":
            assert row[:3] == (unit["last"], unit["first"], unit["middle"])
            assert (row[3][:10] if row[3] else None) == unit["birth"]
            assert row[4] == unit["sex"]
    if event in ORDERS:
        booked = [u for u in reading["units"] if u["has_obr"] and u["code"] and u["control"] not in ("CA", "SC")]
        if booked:
            last = booked[-1]
            rows = run.db.execute("SELECT TerminDatum, TerminZeit, RequestedProcedureID, Modality "
                                  "FROM tblTermine WHERE AccessionNumber = ?", (last["accession"],)).fetchall()
            assert rows, last["accession"]
            day, clock, code, modality = rows[-1]
            assert (day[:10], clock[:5], code, modality) == (last["date"], last["time"], last["code"],
                                                            last["modality"])
    if event == "ORU^R01":
        unit = reading["units"][0]
        assert len(pages) >= sum(u["pages_at_least"] for u in reading["units"])
        if len(reading["units"]) == 1 and unit["short_lines"]:
            assert len(pages) == unit["pages_at_least"]
        first = pydicom.dcmread(pages[0]) if len(reading["units"]) == 1 else None
        if first is not None:
            assert first.PatientID == unit["id"]
            name = "^".join([unit["last"], unit["first"]] + ([unit["middle"]] if unit["middle"] else []))
            assert str(first.PatientName) == name


def no_cut_text(pages):
    """No ink in the last pixel column of any page: wrapped report text ends
    before it, text running off the edge crosses it."""
    for page in pages:
        ds = pydicom.dcmread(page)
        data, cols = ds.PixelData, ds.Columns
        assert not any(data[row * cols + cols - 1] for row in range(ds.Rows)), f"{page.name}: text cut"


def run_corpus(tmp_path, standard, time_fallback=False):
    mode = ("standard" if standard else "designed") + ("-fallback" if time_fallback else "")
    readings = READINGS[time_fallback]
    run = Run(tmp_path, standard, time_fallback)
    table = collections.defaultdict(lambda: collections.Counter())
    notes, mismatches = [], []
    wellformed = correct = 0
    try:
        for number, f in enumerate(FILES, start=1):
            reading = readings[f.name]
            event = reading["event"]
            for unit in reading.get("units", []):
                if unit["id"]:
                    run.seed(unit["id"])
            before = set(run.inst.temp.glob("*.dcm"))
            where = run.feed(number, f.read_bytes())
            pages = run.pages(before)
            no_cut_text(pages)
            table[event][where] += 1
            why = "; ".join(run.errors_about(number))
            if where == "failed" and not why:
                why = "no error line: MSH-9 is no event the service handles"
            if where == "deleted":
                why = "empty file, deleted"
            if where != "debug":
                notes.append(f"{f.name}: {why}")
            if not standard or not reading["handled"]:
                continue
            wellformed += reading["wellformed"]
            expected_fail = reading["fails"] or next((fate(u, event) for u in reading["units"]
                                                      if fate(u, event)), None)
            try:
                assert where == ("failed" if expected_fail else "debug"), \
                    f"ended in {where}, expected {'failed: ' + expected_fail if expected_fail else 'processed'}"
                if not expected_fail:
                    check_values(run, reading, event, pages)
                    correct += reading["wellformed"]
            except AssertionError as e:
                mismatches.append(f"{f.name}: {e}")
    finally:
        assert run.inst.stop() == 0
    # No patient stored under an identifier type code seen in any PID-3.
    codes = set().union(*(r.get("type_codes", set()) for r in readings.values())) - {""}
    stored = {r[0] for r in run.db.execute("SELECT PATID1 FROM tblPatienten")}
    assert not stored & codes, f"patients stored under type codes: {stored & codes}"
    assert not run.inst.pending()
    report = [f"{mode} reading: {len(FILES)} files", "", "| MSH-9 | processed | failed | deleted |",
              "|---|---|---|---|"]
    for event in sorted(table):
        c = table[event]
        report.append(f"| {event} | {c['debug']} | {c['failed']} | {c['deleted']} |")
    if standard:
        report += ["", f"well-formed messages of handled events: {wellformed}, processed with the "
                       f"expected values: {correct} ({100 * correct / max(1, wellformed):.0f} %)"]
    report += ["", "Not processed:"] + notes
    (BINARY_DIR / f"corpus-e2e-{mode}.txt").write_text("\n".join(report) + "\n", encoding="utf-8")
    print("\n".join(report))
    assert sum(sum(c.values()) for c in table.values()) == len(FILES)
    assert not mismatches, "\n".join(mismatches)
    return wellformed, correct


def test_designed_reading_accounts_for_every_file(tmp_path):
    run_corpus(tmp_path, standard=False)


@pytest.mark.parametrize("time_fallback, share", [(False, 0.9), (True, 0.95)])
def test_standard_reading_gives_the_values_of_an_independent_reading(tmp_path, time_fallback, share):
    wellformed, correct = run_corpus(tmp_path, standard=True, time_fallback=time_fallback)
    assert correct >= share * wellformed, f"only {correct} of {wellformed} processed"
