"""HL7 messages for the end-to-end tests, and a model of what the service
must make of them. Segments are separated by carriage returns."""

import datetime
import math

TOMORROW = (datetime.date.today() + datetime.timedelta(days=1)).strftime("%Y%m%d")


def msh(event, control):
    return f"MSH|^~\\&|RIS|HOSP|NORV|ARCH|20261207093000||{event}|{control}|P|2.3"


def pid(patient_id, last, first, middle="", dob="19600131", sex="F"):
    return f"PID|1||X1^^^KH^PI~{patient_id}^^^KH^PN||{last}^{first}^{middle}||{dob}|{sex}"


def pv1(location):
    return f"PV1|1|O|{location}"


def orc(control, status="SC", when=TOMORROW + "0930", ref="R1^Dr. Referrer"):
    fields = ["ORC", control, "P1", "F1", "", status, "", f"^^^{when}", "", "", "", "", ref]
    return "|".join(fields)


def obr(accession, code="CT100^CT Thorax", modality="CT"):
    fields = ["OBR", "1", "", "", code] + [""] * 16 + [accession, "", "", modality]
    return "|".join(fields)


def obx(n, text):
    return f"OBX|{n}|TX|||{text}"


def join(*segments):
    return "\r".join(segments) + "\r"


class Model:
    """What the database and the folders must hold after the batch."""

    def __init__(self):
        self.processed = set()   # file names that must end in debug
        self.failed = set()      # file names that must end in failed
        self.accession_rows = {}  # accession -> expected tblTermine row count
        self.accession_status = {}  # accession -> status of its first row (or None)
        self.patients = {}       # PATID1 -> last name expected
        self.rename_orders = 0
        self.report_pages = 0
        self.count = 0


def batch(n_messages, seeded, suffix="HL7", first_block=0, first_number=0):
    """Yields (number, text) for about n_messages messages in blocks of 16
    and fills a Model. `seeded` maps a block index to the PATID1 of a stored
    patient with two live studies (see seed_sql)."""
    model = Model()
    number = first_number
    blocks = max(1, n_messages // 16)
    out = []

    def add(text, ok):
        nonlocal number
        number += 1
        out.append((number, text))
        (model.processed if ok else model.failed).add(f"{number}.{suffix}")

    for k in range(first_block, first_block + blocks):
        pa, pb, pu = f"PA{k:05d}", f"PB{k:05d}", f"PU{k:05d}"
        a1, a2, a3 = f"ACC{k:05d}-1", f"ACC{k:05d}-2", f"ACC{k:05d}-3"
        s = seeded(k)
        # 1-2: a new order books two rows (two AETs serve CT1); the same order
        # again updates them.
        add(join(msh("ORM^O01", f"{k}-1"), pid(pa, "Neu", "Nina"), pv1("CT1"), orc("NW"), obr(a1)), True)
        add(join(msh("ORM^O01", f"{k}-2"), pid(pa, "Neu", "Nina"), pv1("CT1"), orc("XO"), obr(a1)), True)
        model.accession_rows[a1] = 2
        model.patients[pa] = "Neu"
        # 3-4: booked on MR1 (two AETs), then cancelled.
        add(join(msh("ORM^O01", f"{k}-3"), pid(pa, "Neu", "Nina"), pv1("MR1"), orc("NW"),
                 obr(a2, "MR300^MR Knie", "MR")), True)
        add(join(msh("ORM^O01", f"{k}-4"), pid(pa, "Neu", "Nina"), pv1("MR1"), orc("CA"),
                 obr(a2, "MR300^MR Knie", "MR")), True)
        model.accession_rows[a2] = 0
        # 5: status change of the first row.
        add(join(msh("ORM^O01", f"{k}-5"), pid(pa, "Neu", "Nina"), pv1("CT1"), orc("SC", "IP"), obr(a1)), True)
        model.accession_status[a1] = "SC/IP"
        # 6: an OMG^O19 for another new patient, with an umlaut in the name.
        add(join(msh("OMG^O19", f"{k}-6"), pid(pb, "Müller", "Jörg", "Maria", sex="M"), pv1("CT1"),
                 orc("NW"), obr(a3)), True)
        model.accession_rows[a3] = 2
        model.patients[pb] = "Müller"
        # 7: a procedure the installation does not know: dropped, processed.
        add(join(msh("ORM^O01", f"{k}-7"), pid(pu, "Nie", "Da"), pv1("CT1"), orc("NW"),
                 obr(f"ACC{k:05d}-9", "XX999^Unknown")), True)
        # 8: update of a stored patient: two rename orders (one study is gone).
        add(join(msh("ADT^A08", f"{k}-8"), pid(s, "O'Brien", "Anna")), True)
        model.patients[s] = "O'Brien"
        model.rename_orders += 2
        # 9: update of an unknown patient: consumed without change.
        add(join(msh("ADT^A08", f"{k}-9"), pid(pu, "Nie", "Da")), True)
        # 10: identifier change to an identifier nobody holds: consumed.
        add(join(msh("ADT^A47", f"{k}-10"), pid(pu + "N", "Nie", "Da"), f"MRG|{pu}^^^KH^PI"), True)
        # 11: a report of 60 lines for the stored patient: two pages.
        lines = [obx(i + 1, f"Zeile {i + 1}: Befund ohne Auffälligkeiten") for i in range(60)]
        add(join(msh("ORU^R01", f"{k}-11"), pid(s, "O'Brien", "Anna"), orc("RE"), obr(f"R{k}"), *lines), True)
        model.report_pages += math.ceil(60 / 52)
        # 12: a report for an unknown patient: nothing written, processed.
        add(join(msh("ORU^R01", f"{k}-12"), pid(pu, "Nie", "Da"), orc("RE"), obr(f"R{k}u"), obx(1, "x")), True)
        # 13-16: broken messages end in failed.
        add("this is not an HL7 message at all\r", False)
        add(join(msh("ADT^A08^ADT_A01", f"{k}-14"), pid(s, "X", "Y")), False)
        add(join(msh("ORM^O01", f"{k}-15"), pv1("CT1"), orc("NW"), obr(f"ACC{k:05d}-8")), False)
        add(join(msh("ADT^A08", f"{k}-16"), pid(pa, "Neu", "Nina", dob="")), False)
    model.count = number - first_number
    return out, model


def kind(file_name):
    """The place (1-16) of a message in its block of batch()."""
    return (int(file_name.split(".")[0]) - 1) % 16 + 1


def seed_sql(blocks):
    """Stored patients S00000.. with two live studies and one that is gone,
    AETs for CT1 and MR1, and the key counter past the stored patients."""
    rows = ["INSERT INTO tblDicomAETs (AETID, ModalityLocation, ModalityName) VALUES "
            "(1, '(CT1)', '(CT100)'), (2, '(CT1)(MR1)', '(CT100)(MR300)'), (3, '(MR1)', '(MR300)');"]
    for k in range(blocks):
        patid = 100000 + k
        rows.append("INSERT INTO tblPatienten (PATID, PATID1, PATID2, PATNachname, PATVorname, "
                    f"PAT2Vorname, PATGebDatum, PATGeschlecht) VALUES ({patid}, 'S{k:05d}', '', "
                    f"'Alt', 'Anna', '', '1960-01-31', 'F');")
        for j, status in enumerate(("0", "NULL", "-1")):
            rows.append("INSERT INTO tblStudien (StudyID, FKeyPatID, FKeyStatusID) VALUES "
                        f"({patid * 10 + j}, {patid}, {status});")
    rows.append(f"UPDATE tblLetzteID SET LetzteID = {100000 + blocks} WHERE Tabellenname = 'tblPatienten';")
    return "\n".join(rows)
