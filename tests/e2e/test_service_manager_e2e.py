"""The service under a service manager: it reports READY, WATCHDOG from the
alive tick and STOPPING through the notify socket, sends its heartbeat to
127.0.0.1, and SIGHUP applies a changed settings file at once."""

import os
import signal
import socket
import time

import pytest

from installation import Installation


def receive_until(sock, predicate, timeout):
    deadline = time.monotonic() + timeout
    seen = []
    while time.monotonic() < deadline:
        sock.settimeout(max(0.05, deadline - time.monotonic()))
        try:
            data = sock.recv(4096)
        except socket.timeout:
            break
        seen.append(data)
        if predicate(data):
            return data, seen
    return None, seen


@pytest.fixture
def installation(tmp_path):
    inst = Installation(tmp_path)
    yield inst
    if inst.process is not None and inst.process.poll() is None:
        inst.process.kill()
        inst.process.wait()


def test_notify_heartbeat_and_reload_on_sighup(installation, tmp_path):
    inst = installation
    notify = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
    notify.bind(str(tmp_path / "notify.sock"))
    heartbeat = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    heartbeat.bind(("127.0.0.1", 0))
    inst.shared["UDP"] = str(heartbeat.getsockname()[1])
    inst.values["Caption"] = "NORVReader Ä1"
    inst.write_settings()

    os.environ["NOTIFY_SOCKET"] = str(tmp_path / "notify.sock")
    try:
        inst.start()
    finally:
        del os.environ["NOTIFY_SOCKET"]

    ready, _ = receive_until(notify, lambda d: b"READY=1" in d, 10)
    assert ready is not None, "no READY=1 from the service"
    beat, _ = receive_until(heartbeat, lambda d: True, 10)
    assert beat == "NORVReader Ä1".encode("cp1252"), beat
    watchdog, _ = receive_until(notify, lambda d: b"WATCHDOG=1" in d, 10)
    assert watchdog is not None, "the alive tick must feed the watchdog"

    # A changed caption reaches the heartbeat right after SIGHUP, long before
    # the periodic reload 30 s later.
    inst.values["Caption"] = "NORVReader reloaded"
    inst.write_settings()
    inst.process.send_signal(signal.SIGHUP)
    beat, seen = receive_until(heartbeat, lambda d: d == b"NORVReader reloaded", 8)
    assert beat is not None, seen

    assert inst.stop() == 0
    stopping, _ = receive_until(notify, lambda d: b"STOPPING=1" in d, 5)
    assert stopping is not None
    notify.close()
    heartbeat.close()
