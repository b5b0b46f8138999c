"""A private PostgreSQL cluster on 127.0.0.1 for tests that stop and start
their database server; other tests keep using the shared cluster."""

import os
import shutil
import socket
import subprocess
import tempfile
from pathlib import Path

PG_BIN = Path(os.environ.get("PG_BIN", "/usr/lib/postgresql/15/bin"))


def available():
    return (PG_BIN / "initdb").exists() and os.environ.get("NORV_TEST_PG_CONNECTION")


class PgCluster:
    def __init__(self):
        self.dir = Path(tempfile.mkdtemp(prefix="norv-e2e-pg."))
        (self.dir / "sock").mkdir()
        self.run = []
        if os.geteuid() == 0:
            shutil.chown(self.dir, "postgres", "postgres")
            shutil.chown(self.dir / "sock", "postgres", "postgres")
            os.chmod(self.dir, 0o755)
            self.run = ["runuser", "-u", "postgres", "--"]
        with socket.socket() as s:
            s.bind(("127.0.0.1", 0))
            self.port = s.getsockname()[1]
        subprocess.run(self.run + [str(PG_BIN / "initdb"), "-D", str(self.dir / "data"), "-U", "postgres",
                                   "-A", "trust", "-E", "UTF8", "--locale=C.UTF-8", "--no-sync"],
                       check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.start()
        self.psql_base = ["psql", "-X", "-q", "-v", "ON_ERROR_STOP=1", "-h", "127.0.0.1",
                          "-p", str(self.port), "-U", "postgres"]
        subprocess.run(self.psql_base + ["postgres", "-c", "CREATE DATABASE norv_test"], check=True)

    def env(self):
        """The environment Database() reads for a PostgreSQL installation."""
        conn = os.environ["NORV_TEST_PG_CONNECTION"]
        parts = [p for p in conn.split(";") if p and not p.lower().startswith("port=")]
        parts.insert(1, f"Port={self.port}")
        return {"NORV_TEST_PG_CONNECTION": ";".join(parts) + ";",
                "NORV_TEST_PG_PSQL": " ".join(self.psql_base + ["norv_test"])}

    def start(self):
        subprocess.run(self.run + [str(PG_BIN / "pg_ctl"), "-D", str(self.dir / "data"), "-l",
                                   str(self.dir / "server.log"), "-w", "-t", "30", "-o",
                                   f"-p {self.port} -k {self.dir}/sock -c listen_addresses=127.0.0.1 "
                                   "-c fsync=off", "start"],
                       check=True, stdout=subprocess.DEVNULL)

    def stop(self):
        subprocess.run(self.run + [str(PG_BIN / "pg_ctl"), "-D", str(self.dir / "data"), "-m",
                                   "immediate", "-w", "stop"], check=False,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def destroy(self):
        self.stop()
        shutil.rmtree(self.dir, ignore_errors=True)
