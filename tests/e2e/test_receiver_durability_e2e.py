"""Durability of the MLLP receiver: it is killed with SIGKILL at random
moments while a client sends a batch one message at a time and sends again
whatever went unanswered, as a RIS does. Every message the client saw
acknowledged must be on disk byte for byte, in the order of the
acknowledgements, and the service, running beside the receiver, must apply
each exactly once: every message written once, and the rows, rename orders
and report pages of the batch, no more. The control case runs the same
without the receiver's record of stored messages (MLLPDuplicateWindow 0):
a message stored before a kill took its answer is then written and applied
twice."""

import collections
import os
import random
import threading
import time

import pytest

from installation import Installation
from messages import batch, seed_sql
from mllp import Client, Receiver, ack_code_and_control, control_id

N_MESSAGES = int(os.environ.get("NORV_E2E_MESSAGES", "2000"))
# (back end, record kept, messages). PostgreSQL shows with a quarter of the
# batch that the service applies what the receiver wrote just as well.
CASES = [("sqlite", True, N_MESSAGES), ("sqlite", False, N_MESSAGES)] + \
    ([("postgresql", True, N_MESSAGES // 4)] if os.environ.get("NORV_TEST_PG_CONNECTION") else [])


@pytest.fixture(params=CASES, ids=[b + ("" if kept else "-without-record") for b, kept, _ in CASES])
def installation(request, tmp_path):
    backend, inst_record, size = request.param
    inst = Installation(tmp_path, backend=backend)
    inst.batch_size, inst.record = size, inst_record
    yield inst
    if inst.process is not None and inst.process.poll() is None:
        inst.process.kill()
        inst.process.wait()
    inst.db.drop()


def send_all(port, payloads, acked, unanswered, deadline):
    client = None
    for i, message in enumerate(payloads):
        while True:
            assert time.monotonic() < deadline, f"message {i} never got through"
            if client is None:
                try:
                    client = Client(port)
                except OSError:  # restarting: nothing was sent
                    time.sleep(0.005)
                    continue
            try:
                ack = client.request(message)
                if ack is None:
                    raise ConnectionResetError("closed without an answer")
            except OSError:
                unanswered[i] += 1
                client.close()
                client = None
                continue
            assert ack_code_and_control(ack) == (b"AA", control_id(message)), i
            acked.append(i)
            break
    client.close()


def files_written(inst):
    """(number, content) of every numbered file: still waiting, or filed by
    the service into debug/ or failed/ under its name."""
    found = []
    places = [inst.inbound] + [week for kind in ("debug", "failed") if (inst.inbound / kind).is_dir()
                               for week in (inst.inbound / kind).iterdir()]
    for place in places:
        for p in place.iterdir():
            stem = p.name.split(".")[0]
            if p.is_file() and stem.isdigit():
                found.append((int(stem), p.read_bytes()))
    return sorted(found)


def test_killed_receiver_loses_nothing_and_nothing_is_applied_twice(installation):
    inst = installation
    messages, model = batch(inst.batch_size, lambda k: f"S{k:05d}")
    inst.db.execute(seed_sql(model.count // 16))
    payloads = [text.encode("cp1252") for _, text in messages]
    payloads = [p for p in payloads if control_id(p) is not None]  # no MSH: refused, never stored

    receiver = Receiver(inst, MLLPDuplicateWindow="24" if inst.record else "0").start()
    inst.start(tick_ms=1)
    acked, unanswered = [], collections.Counter()
    failure = []

    def client():
        try:
            send_all(receiver.port, payloads, acked, unanswered, time.monotonic() + 600)
        except BaseException as e:  # reported by the main thread
            failure.append(e)
    t0 = time.monotonic()
    sender = threading.Thread(target=client)
    sender.start()
    rng = random.Random(15)
    kills = 0
    while sender.is_alive():
        # Each kill comes while messages flow: once one got through since the
        # restart, within the next 20 ms.
        progress = len(acked)
        while sender.is_alive() and len(acked) == progress:
            sender.join(0.001)
        sender.join(rng.uniform(0, 0.02))
        if sender.is_alive():
            receiver.kill()
            kills += 1
            receiver.start()
    assert not failure, failure[0]
    assert receiver.stop() == 0

    sent_in = time.monotonic() - t0
    assert acked == list(range(len(payloads)))
    # The service drains everything the receiver wrote.
    assert inst.wait_drained(timeout=600), f"{len(inst.pending())} files still waiting"
    assert inst.stop() == 0
    written = files_written(inst)
    index = {p: i for i, p in enumerate(payloads)}
    sequence = [index.get(content) for _, content in written]
    assert None not in sequence, "a file holds no message the client sent"
    assert sequence == sorted(sequence), "files are not in the order of acknowledgement"
    copies = collections.Counter(sequence)
    assert set(copies) == set(range(len(payloads))), "an acknowledged message is missing"
    for i, count in copies.items():
        assert count == 1 or count <= 1 + unanswered[i], f"message {i} stored {count} times"
    twice = sum(count - 1 for count in copies.values())
    orders = len(list((inst.home / "RenameOrders").glob("*.JRQ")))
    pages = len(list(inst.temp.glob("*.dcm")))
    stats = (inst.home / "NORVReceive.stats").read_text().split()[1]
    print(f"\n{inst.db.backend}, record {'kept' if inst.record else 'off'}: {len(payloads)} "
          f"messages sent in {sent_in:.1f} s, {kills} kills, {sum(unanswered.values())} "
          f"unanswered attempts, {stats} answered from the record, {twice} written twice; "
          f"rename orders {orders} "
          f"(batch {model.rename_orders}), report pages {pages} (batch {model.report_pages})")
    if not inst.record:
        # The control: the same kills make the service apply messages twice.
        assert twice > 0 and len(written) > len(payloads)
        return
    assert twice == 0
    assert (orders, pages) == (model.rename_orders, model.report_pages)
    rows = dict(inst.db.query(
        "SELECT AccessionNumber, COUNT(*) FROM tblTermine GROUP BY AccessionNumber"))
    assert {acc: int(rows.get(acc, 0)) for acc in model.accession_rows} == model.accession_rows
    assert int(inst.db.query("SELECT COUNT(*) FROM tblTermine")[0][0]) == \
        sum(model.accession_rows.values())
