"""End-to-end: `norvreader --receive` on loopback with a client written
here. Messages arrive byte for byte as numbered inbound files and are
acknowledged only once they are; bad input, TLS, the allow list and SIGTERM
behave as documented."""

import os
import selectors
import socket
import ssl
import subprocess
import threading
import time
from pathlib import Path

import pytest

from installation import BINARY_DIR, SOURCE_DIR, Installation
from messages import join, msh, pid, seed_sql
from mllp import Client, Receiver, ack_code_and_control, control_id, frame, header_fields

CORPUS = Path(os.environ.get("NORV_CORPUS_DIR", SOURCE_DIR.parent / "shared" / "corpus" / "hl7"))


def order(n, control=None):
    return (f"MSH|^~\\&|RIS|HOSP|NORV|ARCH|20240101||ORM^O01|{control or f'C{n}'}|P|2.3\r"
            f"PID|1||P{n}^^^KH^PI||Müller^Jörg\rPV1|1|O|CT1\r").encode("cp1252")


def eventually(condition, timeout=10):
    """Whether `condition` comes true within `timeout` seconds (for what the
    receiver logs after the peer has already seen the outcome)."""
    deadline = time.monotonic() + timeout
    while not condition():
        if time.monotonic() > deadline:
            return False
        time.sleep(0.02)
    return True


@pytest.fixture
def inst(tmp_path):
    return Installation(tmp_path, convert_reports=0)


@pytest.fixture
def receiver(inst):
    procs = []

    def start(**values):
        r = Receiver(inst, **values).start()
        procs.append(r)
        return r
    yield start
    for r in procs:
        if r.process.poll() is None:
            r.kill()


def test_every_corpus_message_arrives_unchanged_and_is_acknowledged(receiver):
    files = sorted(CORPUS.glob("*.hl7")) if CORPUS.is_dir() else []
    if not files:
        pytest.skip(f"no HL7 corpus at {CORPUS}")
    r = receiver()
    expected = []
    with Client(r.port) as c:
        for path in files:
            # A start block inside a message (framing residue some files
            # carry) makes the receiver drop what came before it, as it
            # must: MLLP cannot carry that byte.
            message = path.read_bytes().rsplit(b"\x0b", 1)[-1]
            code, control = ack_code_and_control(c.request(message))
            if control_id(message) is None:
                assert code == b"AR", path.name
                continue
            assert (code, control) == (b"AA", control_id(message)), path.name
            expected.append(message)
    assert list(r.stored().values()) == expected
    assert r.stop() == 0


def test_python_hl7_sends_the_corpus_and_reads_every_answer(receiver, tmp_path):
    """A client and a parser nobody here wrote: python-hl7's mllp_send sends
    the corpus; hl7.parse reads each answer."""
    import hl7
    files = sorted(CORPUS.glob("*.hl7")) if CORPUS.is_dir() else []
    if not files:
        pytest.skip(f"no HL7 corpus at {CORPUS}")
    messages = [p.read_bytes().rsplit(b"\x0b", 1)[-1] for p in files]
    messages = [m for m in messages if control_id(m) is not None]
    stream = tmp_path / "corpus.mllp"
    stream.write_bytes(b"".join(frame(m) for m in messages))
    r = receiver()
    out = subprocess.run(["mllp_send", "--port", str(r.port), "--file", str(stream), "127.0.0.1"],
                         capture_output=True, timeout=120, check=True).stdout
    answers = [a.split(b"\x1c")[0] for a in out.split(b"\x0b")[1:]]
    # mllp_send strips start blocks and carriage returns off both ends.
    sent = [m.strip(b"\x0b\r") for m in messages]
    assert len(answers) == len(sent)
    for message, answer in zip(sent, answers):
        fields = [f.decode("latin-1") for f in header_fields(message)]
        msh = lambda n: fields[n - 1] if len(fields) >= n else ""  # noqa: E731
        component = answer[4:5].decode()  # the sender's, where they are usable
        version = msh(12).split(component)[0].split(".")
        trigger = (msh(9).split(component) + [""])[1]
        later = [int(v) for v in version[:2] if v.isdigit()] >= [2, 4]
        ack = hl7.parse(answer.decode("latin-1"))
        a_msh, msa = ack.segment("MSH"), ack.segment("MSA")
        assert (str(msa[1]), str(msa[2])) == ("AA", msh(10)), message[:60]
        assert (str(a_msh[3]), str(a_msh[4]), str(a_msh[5]), str(a_msh[6])) == \
            (msh(5), msh(6), msh(3), msh(4))
        assert str(a_msh[9]) == (component.join(["ACK", trigger, "ACK"]) if later and trigger
                                 else "ACK"), message[:60]
        assert str(a_msh[12]) == msh(12)
    assert list(r.stored().values()) == sent


def test_pipelined_messages_are_answered_in_order_and_stored_in_order(receiver):
    r = receiver()
    messages = [order(n) for n in range(60)]
    with Client(r.port) as c:
        c.sock.sendall(b"".join(frame(m) for m in messages))
        acks = [ack_code_and_control(c.read_ack()) for _ in messages]
    assert acks == [(b"AA", f"C{n}".encode()) for n in range(60)]
    assert list(r.stored().values()) == messages


def test_two_concurrent_senders_each_keep_their_order(receiver):
    r = receiver()
    results = {}

    def send(name):
        with Client(r.port) as c:
            results[name] = [ack_code_and_control(c.request(order(n, f"{name}{n}")))[0]
                             for n in range(150)]
    threads = [threading.Thread(target=send, args=(name,)) for name in ("A", "B")]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert results == {"A": [b"AA"] * 150, "B": [b"AA"] * 150}
    stored = [control_id(m).decode() for m in r.stored().values()]
    assert len(stored) == 300
    for name in ("A", "B"):
        assert [s for s in stored if s[0] == name] == [f"{name}{n}" for n in range(150)]


def age_record(inst, hours):
    """Moves every entry of the receiver's record `hours` into the past."""
    path = inst.inbound / ".norvreceive.seen"
    lines = [line.split(b" ", 1) for line in path.read_bytes().splitlines()]
    path.write_bytes(b"".join(b"%d %s\n" % (int(t) - hours * 3600, rest) for t, rest in lines))


def test_a_message_sent_again_is_answered_as_before_and_written_once(tmp_path):
    no_id = order(1, "X").replace(b"|X|", b"||")
    cases = [  # name, settings, first, second, what happens in between, files written
        ("again on the same connection", {}, order(1, "D1"), order(1, "D1"), None, 1),
        ("again after a restart", {}, order(1, "D2"), order(1, "D2"), "restart", 1),
        ("again once the window has passed", {}, order(1, "D3"), order(1, "D3"), "age", 2),
        ("without a control id", {}, no_id, no_id, None, 2),
        ("the same control id, another message", {}, order(1, "D4"), order(2, "D4"), None, 2),
        ("record off", {"MLLPDuplicateWindow": "0"}, order(1, "D5"), order(1, "D5"), None, 2),
    ]
    for i, (name, settings, first, second, between, written) in enumerate(cases):
        inst = Installation(tmp_path / str(i), convert_reports=0)
        inst.values["Debug"] = "1"
        r = Receiver(inst, **settings).start()
        with Client(r.port) as c:
            assert ack_code_and_control(c.request(first)) == (b"AA", control_id(first)), name
        if between == "age":
            assert r.stop() == 0
            age_record(inst, 25)
        if between == "restart":
            r.kill()
        if between:
            r.start()
        with Client(r.port) as c:
            assert ack_code_and_control(c.request(second)) == (b"AA", control_id(second)), name
        assert r.stop() == 0
        assert list(r.stored().values()) == [first, second][:written], name
        log = (inst.home / "Logs" / "NORVReceiveDebug.log").read_bytes().decode("cp1252")
        assert log.count("answered AA, not written again") == 2 - written, name
        # Counted across restarts, and shown by --status.
        status = subprocess.run([str(BINARY_DIR / "norvreader"), "--home", str(inst.home),
                                 "--status"], capture_output=True, timeout=60).stdout.decode()
        assert f", {2 - written} duplicates answered without writing" in status, (name, status)


def flood(port, source, count):
    """`count` connections from `source`, opened at once and held open;
    returns the sockets once every connect has completed."""
    socks, waiting = [], selectors.DefaultSelector()
    for _ in range(count):
        s = socket.socket()
        s.setblocking(False)
        s.bind((source, 0))
        s.connect_ex(("127.0.0.1", port))
        socks.append(s)
        waiting.register(s, selectors.EVENT_WRITE)
    deadline = time.monotonic() + 60
    while waiting.get_map() and time.monotonic() < deadline:
        for key, _ in waiting.select(timeout=1):
            waiting.unregister(key.fileobj)
    assert not waiting.get_map(), "connects did not complete"
    waiting.close()
    return socks


def settled(figure):
    """`figure()` once two readings 0.2 s apart agree."""
    last = figure()
    while True:
        time.sleep(0.2)
        now = figure()
        if now == last:
            return now
        last = now


def test_a_connection_flood_leaves_an_allowed_sender_its_answers(receiver):
    r = receiver(MLLPMaxConnections="12")
    fds = lambda: len(os.listdir(f"/proc/{r.process.pid}/fd"))  # noqa: E731
    rss = lambda: next(int(line.split()[1]) for line in  # noqa: E731
                       Path(f"/proc/{r.process.pid}/status").read_text().splitlines()
                       if line.startswith("VmRSS:"))
    idle_fds, idle_rss = fds(), rss()
    started = time.monotonic()
    flood_a = flood(r.port, "127.0.0.2", 1000)
    flooded_in = time.monotonic() - started
    # One address holds at most MLLPMaxPerPeer (8) of the receiver's
    # descriptors; the rest are closed at once. (A burst like this overflows
    # the listen queue: the kernel completes some connects the receiver never
    # sees, which cost it nothing.)
    assert eventually(lambda: fds() == idle_fds + 8), fds()
    flood_fds, flood_rss = fds(), rss()
    started = time.monotonic()
    with Client(r.port) as c:
        acks = [ack_code_and_control(c.request(order(0)))]
        first_in = time.monotonic() - started
        acks += [ack_code_and_control(c.request(order(n))) for n in range(1, 100)]
    answered_in = time.monotonic() - started
    assert acks == [(b"AA", f"C{n}".encode()) for n in range(100)]
    # Every address together: at most MLLPMaxConnections (12).
    held_a = settled(fds)  # once the sender's connection is closed
    flood_b = flood(r.port, "127.0.0.3", 1000)
    assert eventually(lambda: fds() == held_a + 4), fds()
    with Client(r.port) as c:
        try:
            assert c.request(order(100)) is None
        except ConnectionResetError:
            pass
    for s in flood_a + flood_b:
        s.close()
    assert eventually(lambda: fds() <= held_a - 8)  # the receiver saw them go
    with Client(r.port) as c:
        assert ack_code_and_control(c.request(order(101))) == (b"AA", b"C101")
    log = r.error_log()
    assert log.count("from 127.0.0.2:") == 1 and log.count("from 127.0.0.3:") == 1, log
    assert "MLLPMaxPerPeer" in log and "MLLPMaxConnections" in log
    print(f"\nflood of 1,000 connections from one address in {flooded_in:.2f} s: 8 held, "
          f"receiver descriptors {idle_fds} idle / {flood_fds} flooded, RSS {idle_rss} / "
          f"{flood_rss} kB; an allowed sender's first "
          f"answer after {first_in * 1000:.1f} ms, its 100 messages in {answered_in:.3f} s")


def test_skip_duplicates_on_inbound_files(tmp_path):
    a08 = join(msh("ADT^A08", "F-1"), pid("S00000", "O'Brien", "Anna"))  # two rename orders
    cases = [  # name, SkipDuplicates, the two files, rename orders, skipped
        ("1: the same file again", "1", [a08, a08], 2, 1),
        ("0: the same file again", "0", [a08, a08], 4, 0),
        ("1: another message under the same ids", "1", [a08, a08.replace("Anna", "Ann")], 4, 0),
    ]
    for i, (name, skip, files, orders, skipped) in enumerate(cases):
        inst = Installation(tmp_path / str(i), convert_reports=0)
        inst.values.update(SkipDuplicates=skip, Debug="1")
        inst.write_settings()
        inst.db.execute(seed_sql(1))
        for number, text in enumerate(files, 1):  # a restart between the two
            inst.drop_message(number, text)
            inst.start()
            assert inst.wait_drained(timeout=60), name
            assert inst.stop() == 0
        assert inst.disposed("debug") == {"1.HL7", "2.HL7"} and not inst.disposed("failed"), name
        assert len(list((inst.home / "RenameOrders").glob("*.JRQ"))) == orders, name
        log = (inst.home / "Logs" / "NORVReaderDebug.log").read_bytes().decode("cp1252")
        assert log.count("Skipped as a duplicate") == skipped, name
        inst.db.drop()


def test_garbage_non_hl7_and_oversized_frames(receiver):
    r = receiver(MLLPMaxMessage="2000")
    with Client(r.port) as c:
        # Noise before the start block is skipped.
        c.sock.sendall(b"GET / HTTP/1.0\r\n\r\n" + frame(order(1)))
        assert ack_code_and_control(c.read_ack()) == (b"AA", b"C1")
        # A frame without MSH is refused, and the connection goes on.
        assert ack_code_and_control(c.request(b"hello, receiver"))[0] == b"AR"
        assert ack_code_and_control(c.request(order(2))) == (b"AA", b"C2")
        # Past the size limit without an end block: AR, then the connection closes.
        c.sock.sendall(b"\x0b" + order(3, "BIG") + b"OBX|" + b"x" * 3000)
        assert ack_code_and_control(c.read_ack()) == (b"AR", b"BIG")
        assert c.read_ack() is None
    assert [control_id(m) for m in r.stored().values()] == [b"C1", b"C2"]
    assert "MLLPMaxMessage" in r.error_log()


def test_peer_outside_the_allow_list_is_closed_and_logged_once(receiver):
    r = receiver(MLLPAllow="127.0.0.2, 10.0.0.0/8")
    for _ in range(3):
        with Client(r.port) as c:
            try:
                assert c.request(order(1)) is None
            except ConnectionResetError:
                pass
    with Client(r.port, source="127.0.0.2") as c:
        assert ack_code_and_control(c.request(order(2)))[0] == b"AA"
    assert eventually(lambda: "127.0.0.1 refused" in r.error_log())
    assert r.error_log().count("127.0.0.1 refused") == 1
    assert [control_id(m) for m in r.stored().values()] == [b"C2"]


def test_a_peer_that_never_finishes_a_message_times_out(receiver):
    r = receiver(MLLPIdleTimeout="1")
    with Client(r.port) as c:
        c.sock.sendall(b"\x0bMSH|")
        started = time.monotonic()
        closed = False
        while time.monotonic() - started < 10 and not closed:
            try:
                c.sock.sendall(b"x")  # a byte now and then does not count as progress
                c.sock.settimeout(0.3)
                closed = c.sock.recv(100) == b""
            except socket.timeout:
                continue
            except (BrokenPipeError, ConnectionResetError):
                closed = True
        assert closed and time.monotonic() - started < 5
    assert r.stored() == {}


def test_sigterm_answers_what_was_received_then_exits_0(receiver):
    r = receiver()
    messages = [order(n) for n in range(40)]
    with Client(r.port) as c:
        c.sock.sendall(b"".join(frame(m) for m in messages))
        time.sleep(0.05)
        assert r.stop() == 0
        acks = []
        while (ack := c.read_ack()) is not None:
            acks.append(ack_code_and_control(ack))
    assert acks == [(b"AA", f"C{n}".encode()) for n in range(40)]
    assert list(r.stored().values()) == messages


def test_second_receiver_on_the_same_directory_is_refused(inst, receiver, tmp_path):
    first = receiver()
    second_home = tmp_path / "home2"
    second_home.mkdir()
    (second_home / "NORVReader.reg").write_bytes((inst.home / "NORVReader.reg").read_bytes())
    out = subprocess.run([str(Path(os.environ.get("NORV_BINARY_DIR", SOURCE_DIR / "build"))
                              / "norvreader"), "--home", str(second_home), "--receive"],
                         capture_output=True, timeout=60)
    assert out.returncode == 78
    assert b"another receiver" in out.stderr
    assert first.process.poll() is None


def test_full_disk_answers_ae_and_leaves_nothing_half_written(inst, receiver, tmp_path):
    mnt = tmp_path / "small"
    mnt.mkdir()
    if subprocess.run(["mount", "-t", "tmpfs", "-o", "size=256k", "tmpfs", str(mnt)],
                      capture_output=True).returncode != 0:
        pytest.skip("cannot mount a tmpfs here")
    try:
        inst.values["InboundPath"] = str(mnt)
        inst.inbound = mnt
        r = receiver()
        big = order(1, "FULL") + b"OBX|1|TX|||" + b"y" * 400_000 + b"\r"
        with Client(r.port) as c:
            code, control = ack_code_and_control(c.request(big))
            assert (code, control) == (b"AE", b"FULL")
            assert sorted(p.name for p in mnt.iterdir()) == [".norvreceive.lock",
                                                             ".norvreceive.seen"]
            assert ack_code_and_control(c.request(order(2))) == (b"AA", b"C2")
        assert list(r.stored().values()) == [order(2)]
        assert "No space left on device" in r.error_log()
        assert r.stop() == 0
    finally:
        subprocess.run(["umount", "-l", str(mnt)], check=False)


# TLS: a CA, and a server and a client certificate signed by it.
@pytest.fixture(scope="module")
def certificates(tmp_path_factory):
    d = tmp_path_factory.mktemp("tls")

    def run(*args):
        subprocess.run(["openssl", *args], check=True, capture_output=True, cwd=d)
    key = ["-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes"]
    run("req", "-x509", *key, "-days", "2", "-subj", "/CN=NORV test CA",
        "-keyout", "ca.key", "-out", "ca.pem")
    for name in ("server", "client"):
        run("req", *key, "-subj", f"/CN=norv-test-{name}", "-keyout", f"{name}.key",
            "-out", f"{name}.csr")
        run("x509", "-req", "-in", f"{name}.csr", "-CA", "ca.pem", "-CAkey", "ca.key",
            "-CAcreateserial", "-days", "2", "-out", f"{name}.pem")
    return d


def client_context(certs, with_certificate):
    ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
    ctx.check_hostname = False
    ctx.load_verify_locations(certs / "ca.pem")
    if with_certificate:
        ctx.load_cert_chain(certs / "client.pem", certs / "client.key")
    return ctx


def no_answer(port, context):
    """True when the receiver closes the connection without answering."""
    try:
        with Client(port, context) as c:
            return c.request(order(9)) is None
    except (ssl.SSLError, ConnectionResetError, BrokenPipeError):
        return True


def test_tls_without_client_certificates(receiver, certificates):
    r = receiver(MLLPTLSCert=str(certificates / "server.pem"),
                 MLLPTLSKey=str(certificates / "server.key"))
    with Client(r.port, client_context(certificates, False)) as c:
        c.sock.sendall(frame(order(1)) + frame(order(2)))
        assert [ack_code_and_control(c.read_ack()) for _ in range(2)] == \
            [(b"AA", b"C1"), (b"AA", b"C2")]
    # Plain MLLP on the TLS port gets nothing stored.
    with Client(r.port) as c:
        c.sock.sendall(frame(order(3)))
        try:
            assert c.read_ack() is None
        except ConnectionResetError:
            pass
    assert list(r.stored().values()) == [order(1), order(2)]


def test_tls_with_client_certificates(receiver, certificates):
    r = receiver(MLLPTLSCert=str(certificates / "server.pem"),
                 MLLPTLSKey=str(certificates / "server.key"),
                 MLLPTLSCA=str(certificates / "ca.pem"))
    with Client(r.port, client_context(certificates, True)) as c:
        assert ack_code_and_control(c.request(order(1))) == (b"AA", b"C1")
    assert no_answer(r.port, client_context(certificates, False))
    assert list(r.stored().values()) == [order(1)]
    assert eventually(lambda: "TLS hand-shake" in r.error_log())
