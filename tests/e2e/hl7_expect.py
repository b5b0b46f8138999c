"""An independent reading of HL7 v2 files by the rules of the service's
standard reading (docs/hl7.md), written from the HL7 encoding rules with the
standard library alone, so that the end-to-end tests can compare what the
service stored with what the message says."""

import math
import re

HANDLED = {"ADT^A08", "ADT^A40", "ADT^A47", "ORM^O01", "OMG^O19", "ORU^R01"}
ORDERS = {"ORM^O01", "OMG^O19"}
CODED = {"CE", "CWE", "CNE", "CF"}
TS = re.compile(r"^(\d{8}|\d{10}|\d{12}|\d{14}(\.\d{1,4})?)([+-]\d{4})?$")


class Message:
    """One file: its segments as lists of raw byte fields (field n at index n,
    also in MSH) and its delimiters."""

    def __init__(self, data):
        def lines(b):
            stripped = [l.strip(b"\x0b\x1c") for l in re.split(rb"\r\n|\r|\n", b)]
            return [l for l in stripped if l.strip(b" \t")]
        bom = data.startswith(b"\xef\xbb\xbf")
        self.batch = any(l[:3] in (b"FHS", b"BHS") for l in lines(data[3:] if bom else data))
        start = data.find(b"MSH")
        body = lines(data[start:]) if start >= 0 else []
        usable = lambda c: 32 < c[0] < 127 and not c.isalnum()  # noqa: E731
        self.ok = bool(body) and body[0][:3] == b"MSH" and len(body[0]) > 3 and usable(body[0][3:4])
        if not self.ok:
            return
        self.fs = body[0][3:4]
        used, self.delims = [self.fs], []
        for c in (body[0][4:].split(self.fs)[0] + b"\0\0\0\0")[:4]:
            c = bytes([c])
            self.delims.append(c if usable(c) and c not in used else None)
            used.append(c)
        self.comp, self.rep, self.esc, self.sub = self.delims
        self.segs = []
        for line in body:
            fields = line.split(self.fs)
            if fields[0].upper() == b"MSH":
                fields.insert(1, self.fs)
            self.segs.append((fields[0].upper().decode("latin-1"), fields))
        self.count = sum(1 for name, _ in self.segs if name == "MSH")
        self.utf8 = bom or self.get(self.segs[0][1], 18, 1, 1, 0).strip().upper() in (b"UNICODE UTF-8", b"UTF-8")

    @staticmethod
    def piece(value, sep, n):
        parts = value.split(sep) if sep else [value]
        return parts[n - 1] if n <= len(parts) else b""

    def get(self, fields, f, rep=1, comp=1, sub=1):
        v = fields[f] if f < len(fields) else b""
        if fields[0].upper() == b"MSH" and f <= 2:
            return v
        v = self.piece(v, self.rep, rep)
        if comp:
            v = self.piece(v, self.comp, comp)
            if sub:
                v = self.piece(v, self.sub, sub)
        return v

    def decode(self, raw, report=False):
        def escape(m):
            s = m.group(1)
            simple = {b"F": self.fs, b"S": self.comp, b"T": self.sub, b"R": self.rep, b"E": self.esc}
            if s in simple:
                return simple[s] or b""
            if s[:1] in b"Xx" and len(s) > 1 and re.fullmatch(rb"[0-9A-Fa-f]+", s[1:]) and len(s) % 2:
                return bytes.fromhex(s[1:].decode())
            return b"\n" if report and s == b".br" else b""
        if self.esc:
            e = re.escape(self.esc)
            raw = re.sub(e + b"(.*?)" + e, escape, raw, flags=re.S)
        text = raw.decode("utf-8", "replace") if self.utf8 else raw.decode("cp1252", "replace")
        return text.encode("cp1252", "replace").decode("cp1252")

    def value(self, fields, f, rep=1, comp=1, sub=1):
        return self.decode(self.get(fields, f, rep, comp, sub))

    def event(self):
        msh = self.segs[0][1]
        kind, trigger = self.value(msh, 9), self.value(msh, 9, 1, 2)
        return kind + "^" + trigger if trigger else kind

    def identifier(self, fields, f, id_type="", authority=""):
        raw = fields[f] if f < len(fields) else b""
        reps = (raw.split(self.rep) if self.rep else [raw]) if raw else []
        if not reps:
            return ""
        if id_type or authority:
            fits = [r for r in range(1, len(reps) + 1)
                    if (not id_type or self.value(fields, f, r, 5).strip().upper() == id_type.upper())
                    and (not authority or self.value(fields, f, r, 4).strip().upper() == authority.upper())]
            if not fits:
                return ""
            chosen = fits[0]
        else:
            chosen = 2 if len(reps) >= 2 else 1
        return self.value(fields, f, chosen).replace(" ", "")

    def holds_identifier(self, fields, f):
        """Whether some repetition of identifier list `f` has a CX-1."""
        raw = fields[f] if f < len(fields) else b""
        count = len(raw.split(self.rep)) if self.rep and raw else 1
        return any(self.value(fields, f, r).replace(" ", "") for r in range(1, count + 1))


def when(text):
    """(date, time) of an HL7 date/time, or None when it is not one."""
    m = TS.match(text.strip(" "))
    if not m:
        return None
    d = m.group(1)
    y, mo, da, h, mi, s = int(d[:4]), int(d[4:6]), int(d[6:8]), int(d[8:10] or 0), int(d[10:12] or 0), int(d[12:14] or 0)
    leap = y % 4 == 0 and (y % 100 != 0 or y % 400 == 0)
    days = [31, 29 if leap else 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31]
    if not (y >= 1 and 1 <= mo <= 12 and 1 <= da <= days[mo - 1] and h < 24 and mi < 60 and s < 60):
        return None
    if m.group(3) and (int(m.group(3)[1:3]) > 23 or int(m.group(3)[3:]) > 59):
        return None
    return f"{y:04d}-{mo:02d}-{da:02d}", f"{h:02d}:{mi:02d}"


def units(msg, orders):
    """Segment groups one event handling covers: one per PID, and in orders
    one per ORC (or per OBR without a fresh ORC)."""
    out = []
    for name, fields in msg.segs:
        if name == "PID":
            out.append({"PID": fields, "OBX": []})
        elif out:
            u = out[-1]
            if orders and ((name == "ORC" and ("ORC" in u or "OBR" in u)) or (name == "OBR" and "OBR" in u)):
                out.append({k: u[k] for k in ("PID", "MRG", "PV1") if k in u})
                out[-1]["OBX"] = []
                u = out[-1]
            if name == "OBX":
                u["OBX"].append(fields)
            elif name in ("MRG", "PV1", "ORC", "OBR", "TQ1", "ZDS"):
                u.setdefault(name, fields)
    return out


def expect(data, time_fallback=False):
    """What the standard reading makes of a file: a dict with `event`
    ("batch" for several messages or a batch envelope), `handled` (one
    message of an event the service handles), `wellformed` (handled, and as
    HL7 requires: four delimiters, the event's required segments, PID-3 (or
    PID-2) and PID-5 valued) and, for handled ones, `units` with the values
    of each and `fails` (why the file must end in failed, or None). With
    `time_fallback` (the site's AppointmentTimeFallback 1) an order without
    a time is booked at MSH-7."""
    msg = Message(data)
    if not msg.ok:
        return {"event": "unknown", "handled": False, "wellformed": False}
    event = "batch" if msg.batch or msg.count > 1 else msg.event()
    names = [n for n, _ in msg.segs]
    pids = [f for n, f in msg.segs if n == "PID"]
    # Well-formed: MSH-2 declares four distinct delimiters, the segments the
    # event requires are there and every PID values PID-5 and PID-3 (or, in
    # the older form, PID-2).
    required = {"ADT^A40": "MRG", "ADT^A47": "MRG", "ORM^O01": "ORC", "OMG^O19": "OBR", "ORU^R01": "OBR"}
    wellformed = event in HANDLED and None not in msg.delims and bool(pids) \
        and all(len(p) > 5 and (p[3] or p[2]) and p[5] for p in pids) and required.get(event, "PID") in names
    result = {"event": event, "handled": event in HANDLED, "wellformed": wellformed, "fails": None,
              "units": [], "type_codes": set()}
    for name, fields in msg.segs:
        if name == "PID":
            raw = fields[3] if len(fields) > 3 else b""
            for r in range(1, len(raw.split(msg.rep)) + 1 if msg.rep and raw else 1):
                result["type_codes"].add(msg.value(fields, 3, r, 5))
    if not result["handled"]:
        return result
    if not pids:
        result["fails"] = "no PID segment"
    for u in units(msg, event in ORDERS):
        pid = u["PID"]
        v = {"last": msg.value(pid, 5), "first": msg.value(pid, 5, 1, 2), "middle": msg.value(pid, 5, 1, 3),
             "sex": msg.value(pid, 8) if len(pid) >= 9 else "O", "id": msg.identifier(pid, 3)}
        # PID-2, the external identifier of v2.2 and v2.3, when PID-3 holds none.
        if not msg.holds_identifier(pid, 3):
            v["id"] = msg.value(pid, 2).replace(" ", "")
        born = when(msg.value(pid, 7))
        v["birth"] = born[0] if born else None
        if not (v["last"] or v["first"] or v["middle"]) and event != "ORU^R01":
            result["fails"] = result["fails"] or "PID-5 holds no name"
        if not v["id"]:
            result["fails"] = result["fails"] or "no patient identifier in PID-3"
        v["prior"] = msg.identifier(u["MRG"], 1) if "MRG" in u else ""
        orc, obr = u.get("ORC", [b"ORC"]), u.get("OBR")
        v["control"] = msg.value(orc, 1)
        v["has_obr"] = obr is not None
        obr = obr or [b"OBR"]
        slot = when(msg.value(orc, 7, 1, 4)) or when(msg.value(u.get("TQ1", [b""]), 7)) \
            or when(msg.value(obr, 27, 1, 4)) or when(msg.value(obr, 36))
        if not slot and time_fallback and event in ORDERS:
            slot = when(msg.value(msg.segs[0][1], 7))
        v["date"], v["time"] = slot or ("", "")
        v["accession"], v["code"], v["modality"] = msg.value(obr, 21), msg.value(obr, 4), msg.value(obr, 24)
        lines = []
        for obx in u["OBX"]:
            coded = msg.value(obx, 2).strip().upper() in CODED
            raw = obx[5] if len(obx) > 5 else b""
            for r in range(1, max(1, len(raw.split(msg.rep)) if msg.rep and raw else 1) + 1):
                text = msg.decode(msg.get(obx, 5, r, 2 if coded else 0, 0), report=True)
                lines += [re.sub(r"[\x00-\x1f\x7f]", " ", l) for l in re.split(r"\r\n|\r|\n", text)]
        v["lines"] = lines
        v["pages_at_least"] = max(1, math.ceil(len(lines) / 52))
        v["short_lines"] = all(len(l) <= 60 for l in lines)
        result["units"].append(v)
    return result


def fate(unit, event):
    """Why the handling of one unit fails (None: it is processed), given the
    database knows every patient and every procedure code of the corpus."""
    if event in ("ADT^A40", "ADT^A47") and not unit["prior"]:
        return "no prior identifier in MRG-1"
    if event in ORDERS and unit["has_obr"] and unit["code"] and unit["control"] not in ("CA", "SC") \
            and not unit["date"]:
        return "no appointment date/time"
    return None
