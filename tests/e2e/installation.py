"""A throwaway NORVReader installation for end-to-end tests: program
directory, settings file, procedure codes, inbound directory, Temp and an
installation database (SQLite file, or a fresh PostgreSQL database reached
through ODBC), and the real norvreader executable running on it."""

import datetime
import os
import signal
import sqlite3
import subprocess
import time
import uuid
from pathlib import Path

SOURCE_DIR = Path(os.environ.get("NORV_SOURCE_DIR", Path(__file__).resolve().parents[2]))
BINARY_DIR = Path(os.environ.get("NORV_BINARY_DIR", SOURCE_DIR / "build"))
PROCEDURE_CODES = "CT100;CT200;MR300"


def week_folder(day=None):
    year, week, _ = (day or datetime.date.today()).isocalendar()
    return f"{year:04d}-{week:02d}"


class Database:
    """The installation database, created from the project's schema script."""

    def __init__(self, backend, workdir, env=None):
        self.backend = backend
        env = env or os.environ
        if backend == "sqlite":
            self.path = workdir / "installation.db"
            con = sqlite3.connect(self.path)
            con.executescript((SOURCE_DIR / "db/schema/sqlite.sql").read_text())
            con.commit()
            con.close()
            self.db_server = f"sqlite:{self.path}"
        else:
            self.name = "e2e_" + uuid.uuid4().hex[:12]
            self.admin = env["NORV_TEST_PG_PSQL"].split()
            subprocess.run(self.admin + ["-c", f"CREATE DATABASE {self.name}"], check=True)
            self.psql = [a if a != "norv_test" else self.name for a in self.admin]
            subprocess.run(self.psql + ["-f", str(SOURCE_DIR / "db/schema/postgresql.sql")],
                           check=True, stdout=subprocess.DEVNULL)
            conn = env["NORV_TEST_PG_CONNECTION"].replace(
                "Database=norv_test", f"Database={self.name}")
            self.db_server = "odbc:" + conn

    def execute(self, sql):
        if self.backend == "sqlite":
            con = sqlite3.connect(self.path)
            con.executescript(sql)
            con.commit()
            con.close()
        else:
            subprocess.run(self.psql + ["-c", sql], check=True, stdout=subprocess.DEVNULL)

    def query(self, sql):
        """Rows as tuples of strings (None for null)."""
        if self.backend == "sqlite":
            con = sqlite3.connect(self.path)
            rows = [tuple(None if v is None else str(v) for v in r) for r in con.execute(sql)]
            con.close()
            return rows
        out = subprocess.run(self.psql + ["-A", "-t", "-F", "\x1f", "-P", "null=\x1e", "-c", sql],
                             check=True, capture_output=True, text=True).stdout
        rows = []
        for line in out.splitlines():
            if line == "":
                continue
            rows.append(tuple(None if v == "\x1e" else v for v in line.split("\x1f")))
        return rows

    def drop(self):
        if self.backend != "sqlite":
            subprocess.run(self.admin + ["-c", f"DROP DATABASE IF EXISTS {self.name} WITH (FORCE)"],
                           check=False, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


class Installation:
    def __init__(self, workdir, backend="sqlite", suffix="HL7", keep_files=1, convert_reports=1,
                 modality_location="PV1;3", db_env=None):
        self.home = Path(workdir) / "home"
        self.inbound = Path(workdir) / "inbound"
        self.temp = Path(workdir) / "temp"
        for d in (self.home, self.inbound, self.temp):
            d.mkdir(parents=True, exist_ok=True)
        self.db = Database(backend, Path(workdir), db_env)
        self.suffix = suffix
        self.values = {
            "Debug": "0", "Caption": "NORVReader e2e", "InboundPath": str(self.inbound),
            "FileSuffix": suffix, "ModalityLocation": modality_location, "ModalityName": "0",
            "ForceRegAppointment": "0", "CommonStudyUID": "0", "WildcardDigit": "0",
            "KeepFiles": str(keep_files), "ConvertReports": str(convert_reports),
        }
        self.shared = {"DBServer": self.db.db_server, "UDP": "0", "Temp": str(self.temp) + "/"}
        self.instances = {"01": {}}  # instance number -> settings that differ from values
        self.write_settings()
        (self.home / "procedure-ids.txt").write_bytes(PROCEDURE_CODES.encode("cp1252"))
        self.process = None

    def write_settings(self):
        def esc(v):
            return v.replace("\\", "\\\\").replace('"', '\\"')
        lines = ["Windows Registry Editor Version 5.00"]
        for nn, own in self.instances.items():
            lines += ["", f"[HKEY_LOCAL_MACHINE\\Software\\VLM\\Tessarine\\NORVReader\\{nn}]"]
            lines += [f'"{k}"="{esc(v)}"' for k, v in {**self.values, **own}.items()]
        lines += ["", "[HKEY_LOCAL_MACHINE\\Software\\VLM\\Tessarine\\ Default]"]
        lines += [f'"{k}"="{esc(v)}"' for k, v in self.shared.items()]
        tmp = self.home / "NORVReader.reg.tmp"
        tmp.write_text("\r\n".join(lines) + "\r\n", encoding="utf-8")
        os.replace(tmp, self.home / "NORVReader.reg")

    def drop_message(self, number, text):
        """Writes one message file under a temporary name and renames it into
        place, as a well-behaved sender does. `text` uses \\r between segments."""
        data = text.encode("cp1252") if isinstance(text, str) else text
        tmp = self.inbound / f".{number}.part"
        tmp.write_bytes(data)
        os.replace(tmp, self.inbound / f"{number}.{self.suffix}")

    def pending(self):
        return [p for p in self.inbound.iterdir() if p.is_file() and not p.name.startswith(".")]

    def start(self, tick_ms=5, env=None):
        env = dict(os.environ, NORVREADER_TICK_MS=str(tick_ms), **(env or {}))
        self.process = subprocess.Popen(
            [str(BINARY_DIR / "norvreader"), "--home", str(self.home)], env=env,
            stdout=subprocess.PIPE, stderr=subprocess.STDOUT)

    def add_instance(self, nn):
        """Another instance (--instance nn) on the same program directory and
        database, with an inbound directory of its own; returns that."""
        inbound = self.inbound.parent / f"inbound{nn}"
        inbound.mkdir(exist_ok=True)
        self.instances[nn] = {"InboundPath": str(inbound)}
        self.write_settings()
        return inbound

    def start_instance(self, nn, tick_ms=5):
        """Starts instance nn; the caller owns the returned process."""
        env = dict(os.environ, NORVREADER_TICK_MS=str(tick_ms))
        return subprocess.Popen(
            [str(BINARY_DIR / "norvreader"), "--home", str(self.home), "--instance", nn], env=env,
            stdout=subprocess.PIPE, stderr=subprocess.STDOUT)

    def wait_drained(self, timeout):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if not self.pending():
                return True
            if self.process is not None and self.process.poll() is not None:
                raise AssertionError(f"norvreader exited early with {self.process.returncode}: "
                                     + self.process.stdout.read().decode(errors="replace"))
            time.sleep(0.1)
        return False

    def stop(self):
        """SIGTERM; returns the exit code."""
        self.process.send_signal(signal.SIGTERM)
        try:
            return self.process.wait(timeout=30)
        finally:
            self.process.stdout.close()

    def rss_kb(self):
        for line in Path(f"/proc/{self.process.pid}/status").read_text().splitlines():
            if line.startswith("VmHWM:"):
                return int(line.split()[1])
        return 0

    def disposed(self, kind):
        """Names of the files in the debug or failed week folders."""
        root = self.inbound / kind
        if not root.is_dir():
            return set()
        return {p.name for week in root.iterdir() for p in week.iterdir()}

    def error_log(self):
        p = self.home / "Logs" / "NORVReaderError.log"
        return p.read_bytes().decode("cp1252") if p.exists() else ""
