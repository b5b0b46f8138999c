"""MLLP on the test's side: framing, a blocking client (plain or TLS) and
the receiver process (`norvreader --receive`) on an Installation."""

import os
import select
import signal
import socket
import subprocess
import time

from installation import BINARY_DIR

START, END = b"\x0b", b"\x1c\r"


def frame(message):
    return START + message + END


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def header_fields(message):
    """The fields of the first MSH segment (MSH-n is fields[n - 1]), as the
    receiver finds it: at the start of a line, followed by a separator."""
    at = 0
    while True:
        at = message.find(b"MSH", at)
        if at < 0:
            return None
        sep = message[at + 3:at + 4]
        before = message[at - 1] if at else 0
        if (before < 0x20 or before >= 0x80) and sep and not sep.isalnum() \
                and sep not in b" \r\n":
            break
        at += 3
    segment = message[at:].replace(b"\n", b"\r").split(b"\r")[0]
    return segment.split(sep)


def control_id(message):
    """MSH-10, or None without a header."""
    fields = header_fields(message)
    if fields is None:
        return None
    return fields[9] if len(fields) > 9 else b""


def ack_code_and_control(ack):
    """(MSA-1, MSA-2) of an acknowledgement."""
    sep = ack[3:4]
    for segment in ack.split(b"\r"):
        if segment.startswith(b"MSA" + sep):
            fields = segment.split(sep)
            return fields[1], fields[2] if len(fields) > 2 else b""
    raise AssertionError(f"no MSA segment in {ack!r}")


class Client:
    def __init__(self, port, context=None, timeout=10.0, source="127.0.0.1"):
        raw = socket.create_connection(("127.0.0.1", port), timeout=timeout,
                                       source_address=(source, 0))
        self.sock = context.wrap_socket(raw) if context else raw
        self.buffer = b""

    def send(self, message):
        self.sock.sendall(frame(message))

    def read_ack(self):
        """The next framed answer, or None when the connection ends first."""
        while END not in self.buffer:
            data = self.sock.recv(65536)
            if not data:
                return None
            self.buffer += data
        end = self.buffer.index(END)
        start = self.buffer.index(START)
        ack, self.buffer = self.buffer[start + 1:end], self.buffer[end + 2:]
        return ack

    def request(self, message):
        self.send(message)
        return self.read_ack()

    def close(self):
        self.sock.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


class Receiver:
    """`norvreader --receive` on the installation, with MLLPPort set."""

    def __init__(self, inst, **values):
        self.inst = inst
        self.port = free_port()
        inst.values.update({"MLLPPort": str(self.port)}, **values)
        inst.write_settings()
        self.process = None

    def start(self, wait=True):
        self.process = subprocess.Popen(
            [str(BINARY_DIR / "norvreader"), "--home", str(self.inst.home), "--receive"],
            stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        if wait:
            self.wait_listening()
        return self

    def wait_listening(self, timeout=20):
        deadline = time.monotonic() + timeout
        line = b""
        while b"\n" not in line:
            left = deadline - time.monotonic()
            ready, _, _ = select.select([self.process.stdout], [], [], max(left, 0))
            if not ready:
                raise AssertionError("the receiver did not start listening")
            chunk = os.read(self.process.stdout.fileno(), 4096)
            if not chunk:
                raise AssertionError(f"the receiver exited with {self.process.wait()}: {line!r}")
            line += chunk
        assert b"receiving MLLP on" in line, line

    def output(self):
        return self.process.stdout.read().decode(errors="replace")

    def stop(self):
        """SIGTERM; returns the exit code."""
        self.process.send_signal(signal.SIGTERM)
        code = self.process.wait(timeout=60)
        self.process.stdout.close()
        return code

    def kill(self):
        self.process.kill()
        self.process.wait()
        self.process.stdout.close()

    def error_log(self):
        p = self.inst.home / "Logs" / "NORVReceiveError.log"
        return p.read_bytes().decode("cp1252") if p.exists() else ""

    def stored(self):
        """Numbered files of the inbound directory by number: content."""
        files = {}
        for p in self.inst.inbound.iterdir():
            stem, _, suffix = p.name.partition(".")
            if stem.isdigit() and suffix == self.inst.suffix:
                files[int(stem)] = p.read_bytes()
        return dict(sorted(files.items()))
