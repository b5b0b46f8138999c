"""A sender or a neighbour that can write into the inbound directory plants
links and files in the service's way, or takes its write permission away.
Nothing may be written outside its place, and a file that cannot be
disposed of must be handled once, reported once, and not hold up the rest."""

import hashlib
import os
import pwd
import shutil
import stat
import subprocess
import tempfile
import time
from pathlib import Path

import pytest

from installation import Installation, week_folder
from messages import join, msh, obr, obx, orc, pid, seed_sql

SEEDED = "S00000"  # a stored patient with two live studies (seed_sql)


def adt(n):
    return join(msh("ADT^A08", f"H{n}"), pid(SEEDED, "O'Brien", "Anna"))


def report(n):
    lines = [obx(i + 1, f"Zeile {i + 1}") for i in range(60)]
    return join(msh("ORU^R01", f"H{n}"), pid(SEEDED, "O'Brien", "Anna"), orc("RE"), obr(f"R{n}"), *lines)


def unknown_event(n):
    return join(msh("ZZZ^Z01", f"H{n}"), pid("PU", "Nie", "Da"))


def sha(path):
    return hashlib.sha256(Path(path).read_bytes()).hexdigest()


def run_for(inst, seconds):
    inst.start()
    time.sleep(seconds)
    assert inst.process.poll() is None, "the service must keep running"
    assert inst.stop() == 0


def rename_orders(inst):
    folder = inst.home / "RenameOrders"
    return sorted(folder.glob("*.JRQ")) if folder.is_dir() else []


@pytest.fixture
def workdir():
    # World-traversable, so that an unprivileged service can reach it.
    d = Path(tempfile.mkdtemp(prefix="norv-hostile."))
    os.chmod(d, 0o755)
    yield d
    subprocess.run(["chmod", "-R", "u+rwX", str(d)], check=False)
    shutil.rmtree(d, ignore_errors=True)


def test_links_planted_in_the_inbound_directory_are_never_followed(workdir):
    inst = Installation(workdir)
    inst.db.execute(seed_sql(1))
    db_hash = sha(inst.db.path)
    # A link where the debug copy of 30.HL7 would go, pointing at the database.
    week = inst.inbound / "debug" / week_folder()
    week.mkdir(parents=True)
    (week / "30.HL7").symlink_to(inst.db.path)
    inst.drop_message(30, unknown_event(30).replace("ZZZ^Z01", "ADT^A08"))
    # A link posing as an inbound file, pointing at a read-only file outside.
    outside = workdir / "outside.txt"
    outside.write_bytes(adt(7).encode())
    os.chmod(outside, 0o444)
    (inst.inbound / "7.HL7").symlink_to(outside)

    run_for(inst, 2)
    assert sha(inst.db.path) == db_hash, "the database was written through a link"
    assert stat.S_IMODE(outside.stat().st_mode) == 0o444
    assert outside.read_bytes() == adt(7).encode()
    assert (inst.inbound / "7.HL7").is_symlink(), "a link is not an inbound file"
    assert not rename_orders(inst), "the linked message was processed"
    assert not (inst.inbound / "30.HL7").exists()
    assert not (week / "30.HL7").is_symlink()


def test_a_plain_file_named_debug_costs_one_line_per_file_and_no_repeats(workdir):
    inst = Installation(workdir)  # KeepFiles 1: processed files go to debug/
    inst.db.execute(seed_sql(1))
    (inst.inbound / "debug").write_text("in the way")
    inst.drop_message(1, report(1))
    inst.drop_message(2, adt(2))
    inst.drop_message(3, "not HL7\r")  # fails: failed/ still works
    run_for(inst, 2)
    assert len(list(inst.temp.glob("*.dcm"))) == 2, "the report was processed more than once"
    assert len(rename_orders(inst)) == 2, "the update was processed more than once"
    log = inst.error_log()
    assert log.count("could not be disposed of") == 2, log
    assert log.count("1.HL7)") == 1 and log.count("2.HL7)") == 1, log
    assert inst.disposed("failed") == {"3.HL7"}
    assert (inst.inbound / "debug").read_text() == "in the way"


def test_an_unwritable_inbound_directory_as_an_unprivileged_user(workdir):
    try:
        user = pwd.getpwnam("nobody")
    except KeyError:
        pytest.skip("no unprivileged user 'nobody'")
    if os.geteuid() != 0:
        pytest.skip("needs root to run the service as another user")
    inst = Installation(workdir, keep_files=0)
    inst.db.execute(seed_sql(1))
    for n, text in ((1, report(1)), (2, adt(2)), (3, unknown_event(3))):
        inst.drop_message(n, text)
    # The service's own places belong to it; the inbound directory does not.
    for p in (inst.home, inst.temp, inst.db.path):
        subprocess.run(["chown", "-R", f"{user.pw_uid}:{user.pw_gid}", str(p)], check=True)
    os.chown(workdir, user.pw_uid, user.pw_gid)
    os.chmod(inst.inbound, 0o755)
    for p in inst.inbound.iterdir():
        os.chmod(p, 0o644)

    # The build tree may lie where the unprivileged user cannot go (a checkout
    # in /root): run a copy of the executable from the work folder instead.
    binary = workdir / "bin" / "norvreader"
    binary.parent.mkdir(mode=0o755)
    shutil.copy2(inst_binary(), binary)
    os.chmod(binary, 0o755)

    env = dict(os.environ, NORVREADER_TICK_MS="5")
    def become_nobody():
        os.setgroups([])
        os.setgid(user.pw_gid)
        os.setuid(user.pw_uid)

    proc = subprocess.Popen([str(binary), "--home", str(inst.home)], env=env,
                            stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                            preexec_fn=become_nobody)
    time.sleep(2)
    assert proc.poll() is None, proc.stdout.read().decode(errors="replace")
    proc.terminate()
    assert proc.wait(timeout=30) == 0
    proc.stdout.close()

    assert len(list(inst.temp.glob("*.dcm"))) == 2, "the report was processed more than once"
    assert len(rename_orders(inst)) == 2, "the update was processed more than once"
    log = inst.error_log()
    assert log.count("could not be disposed of") == 3, log
    assert sorted(p.name for p in inst.pending()) == ["1.HL7", "2.HL7", "3.HL7"]


def inst_binary():
    from installation import BINARY_DIR
    return BINARY_DIR / "norvreader"
