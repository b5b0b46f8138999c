"""Durability of the MLLP receiver: it is killed with SIGKILL at random
moments while a client sends a batch one message at a time and sends again
whatever went unanswered, as a RIS does. Every message the client saw
acknowledged must be on disk byte for byte, in the order of the
acknowledgements, once; a second copy is allowed only for a message whose
earlier attempt went unanswered (stored, but killed before the answer). The
service runs beside the receiver and must drain every file."""

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
# The kills matter on one back end; PostgreSQL shows with a quarter of the
# batch that the service drains what the receiver wrote just as well.
BACKENDS = [("sqlite", N_MESSAGES)] + \
    ([("postgresql", N_MESSAGES // 4)] if os.environ.get("NORV_TEST_PG_CONNECTION") else [])


@pytest.fixture(params=BACKENDS, ids=[b for b, _ in BACKENDS])
def installation(request, tmp_path):
    inst = Installation(tmp_path, backend=request.param[0], convert_reports=0)
    inst.batch_size = request.param[1]
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


def test_killed_receiver_loses_and_reorders_nothing(installation):
    inst = installation
    messages, model = batch(inst.batch_size, lambda k: f"S{k:05d}")
    inst.db.execute(seed_sql(model.count // 16))
    payloads = [text.encode("cp1252") for _, text in messages]
    payloads = [p for p in payloads if control_id(p) is not None]  # no MSH: refused, never stored

    receiver = Receiver(inst).start()
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
        sender.join(rng.uniform(0.02, 0.3))
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
    duplicates = sum(count - 1 for count in copies.values())
    print(f"\n{inst.db.backend}: {len(payloads)} messages sent in {sent_in:.1f} s, {kills} kills, "
          f"{sum(unanswered.values())} unanswered attempts, {duplicates} stored twice")
