"""End-to-end: four instances of the service (--instance 01..04), each with
its own inbound directory, on one PostgreSQL database. Their orders share
the same new patients and arrive in the same order, so the instances try to
register each patient at the same moment: every patient must be stored once,
and every appointment on its own patient."""

import os
import signal
import time

import pytest

from installation import Installation
from messages import join, msh, obr, orc, pid, pv1

INSTANCES = ["01", "02", "03", "04"]
PATIENTS = 50
# Per instance; under the sanitizers NORV_E2E_MESSAGES is smaller.
PER_INSTANCE = min(500, int(os.environ.get("NORV_E2E_MESSAGES", "2000")) // len(INSTANCES))


def patient_of(n):
    return f"NP{n % PATIENTS:03d}"


@pytest.mark.skipif(not os.environ.get("NORV_TEST_PG_CONNECTION"),
                    reason="needs PostgreSQL (NORV_TEST_PG_CONNECTION)")
def test_instances_on_one_database_register_each_patient_once(tmp_path):
    inst = Installation(tmp_path, backend="postgresql", keep_files=0)
    processes = []
    try:
        inst.db.execute("INSERT INTO tblDicomAETs (AETID, ModalityLocation, ModalityName) "
                        "VALUES (1, '(CT1)', '(CT100)');")
        inbound = {"01": inst.inbound}
        for nn in INSTANCES[1:]:
            inbound[nn] = inst.add_instance(nn)
        expected = {}  # accession -> PATID1 of its patient
        for nn in INSTANCES:
            for n in range(PER_INSTANCE):
                patient, accession = patient_of(n), f"I{nn}-{n:04d}"
                expected[accession] = patient
                text = join(msh("ORM^O01", accession), pid(patient, f"Name{patient}", "Vorname"),
                            pv1("CT1"), orc("NW"), obr(accession))
                tmp = inbound[nn] / f".{n + 1}.part"
                tmp.write_bytes(text.encode("cp1252"))
                os.replace(tmp, inbound[nn] / f"{n + 1}.HL7")

        started = time.monotonic()
        processes = [inst.start_instance(nn, tick_ms=1) for nn in INSTANCES]
        deadline = started + 120
        while time.monotonic() < deadline:
            if not any(p.is_file() for d in inbound.values() for p in d.iterdir()):
                break
            for p in processes:
                assert p.poll() is None, p.stdout.read().decode(errors="replace")
            time.sleep(0.1)
        elapsed = time.monotonic() - started
        for p in processes:
            p.send_signal(signal.SIGTERM)
        assert [p.wait(timeout=30) for p in processes] == [0] * len(INSTANCES)
        pending = [p for d in inbound.values() for p in d.iterdir() if p.is_file()]
        assert not pending, f"{len(pending)} files still waiting"
        print(f"\n{len(expected)} messages on {len(INSTANCES)} instances in {elapsed:.1f} s")

        # Nothing failed, and no instance met a duplicate key.
        assert not [p for d in inbound.values() if (d / "failed").exists()
                    for p in (d / "failed").rglob("*") if p.is_file()]
        assert inst.error_log() == ""

        # One row per patient, with distinct keys.
        rows = inst.db.query("SELECT PATID, PATID1 FROM tblPatienten")
        assert sorted(r[1] for r in rows) == sorted({patient_of(n) for n in range(PATIENTS)})
        assert len({r[0] for r in rows}) == PATIENTS

        # Every appointment, once, on its own patient.
        booked = inst.db.query("SELECT t.AccessionNumber, p.PATID1 FROM tblTermine t "
                               "JOIN tblPatienten p ON p.PATID = t.FKeyPatID")
        assert len(booked) == len(expected)
        assert dict(booked) == expected
        assert int(inst.db.query("SELECT COUNT(*) FROM tblTermine")[0][0]) == len(expected)
    finally:
        for p in processes:
            if p.poll() is None:
                p.kill()
                p.wait()
            p.stdout.close()
        inst.db.drop()
