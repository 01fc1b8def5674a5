#!/usr/bin/env python3
"""The Windows build beside the Linux build, on loopback.

interop: a Linux kevra and a Windows kevra form a tunnel, each build on each
  side, with both ciphers; the bytes that come back are the bytes sent.
samelog: one scripted session at -d (start-up, a client the filter refuses,
  a relayed connection, a connect that fails) gives the same log lines from
  both builds, apart from time stamps, socket numbers and ports.

Usage: interop_test.py LINUX_KEVRA WINDOWS_KEVRA_EXE [interop] [samelog]
The Windows build runs through tests/windows/wine.sh (WINEPREFIX and
KEVRA_WINE as there). Every wait is bounded; every relay is stopped by its
pid. Exit code 0 when every check passed.
"""
import os
import random
import re
import socket
import subprocess
import sys
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
WINE = os.path.join(HERE, "wine.sh")
failures = []


def check(ok, what):
    print(("ok   " if ok else "FAIL ") + what, flush=True)
    if not ok:
        failures.append(what)


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Relay:
    """A kevra process; its output is collected by a thread."""

    def __init__(self, build, args, cwd):
        command, env = build
        self.proc = subprocess.Popen(command + args, cwd=cwd, stdin=subprocess.DEVNULL,
                                     stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                     env=dict(os.environ, **env))
        self.out = b""
        self.lock = threading.Lock()
        self.reader = threading.Thread(target=self._read, daemon=True)
        self.reader.start()

    def _read(self):
        for chunk in iter(lambda: self.proc.stdout.read1(65536), b""):
            with self.lock:
                self.out += chunk

    def text(self):
        with self.lock:
            return self.out.decode("latin-1")

    def wait_for(self, text, timeout=20.0):
        end = time.monotonic() + timeout
        while time.monotonic() < end and text not in self.text():
            if self.proc.poll() is not None:
                self.reader.join(2)
                break
            time.sleep(0.02)
        return text in self.text()

    def stop(self):
        if self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(5)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait(5)
        self.reader.join(5)


class Echo:
    """A loopback echo server, one thread per client, until stopped."""

    def __init__(self):
        self.sock = socket.socket()
        self.sock.bind(("127.0.0.1", 0))
        self.sock.listen(8)
        self.sock.settimeout(0.2)
        self.port = self.sock.getsockname()[1]
        self.running = True
        self.acceptor = threading.Thread(target=self._accept, daemon=True)
        self.acceptor.start()

    def _accept(self):
        while self.running:
            try:
                c, _ = self.sock.accept()
            except OSError:
                continue
            threading.Thread(target=self._serve, args=(c,), daemon=True).start()

    def _serve(self, c):
        c.settimeout(60)
        with c:
            try:
                while data := c.recv(65536):
                    c.sendall(data)
            except OSError:
                pass

    def stop(self):
        # The port refuses connections from here on: no accept() holds it open.
        self.running = False
        self.acceptor.join()
        self.sock.close()


def closed(s):
    """True when the peer closes (or resets) the connection s."""
    try:
        return s.recv(1) == b""
    except ConnectionResetError:
        return True
    except OSError:
        return False


def exchange(port, data, source="127.0.0.1", timeout=60.0):
    """Send data through the relay at port while reading the echo; what came back."""
    got = bytearray()
    with socket.socket() as s:
        s.bind((source, 0))
        s.settimeout(timeout)
        s.connect(("127.0.0.1", port))

        def reader():
            try:
                while len(got) < len(data) and (chunk := s.recv(65536)):
                    got.extend(chunk)
            except OSError:
                pass

        t = threading.Thread(target=reader)
        t.start()
        # Pieces of changing size, so records of many lengths cross the tunnel.
        rnd = random.Random(len(data))
        pos = 0
        while pos < len(data):
            n = rnd.choice((1, 17, 255, 4096, 30000))
            s.sendall(data[pos:pos + n])
            pos += n
        t.join(timeout)
    return bytes(got)


def interop(builds, work):
    echo = Echo()
    data = random.Random(7).randbytes(300000)
    secret = "TUNNEL {} USERNAME interop SECRET 'two builds, one secret'\n"
    try:
        for cipher in ("RC4", "DES3"):
            for client, server in (("linux", "windows"), ("windows", "linux")):
                sport, cport = free_port(), free_port()
                sfile = os.path.join(work, "s.txt")
                cfile = os.path.join(work, "c.txt")
                with open(sfile, "w") as f:
                    f.write(f"TUNNEL OPTIONS ENCRTYPE {cipher}\n" + secret.format("SERVERSIDE"))
                with open(cfile, "w") as f:
                    # Records padded on this side only: each end reads what the other chose.
                    f.write(f"TUNNEL OPTIONS ENCRTYPE {cipher} MSGLENMULT 256 MINMSGLEN 512\n" +
                            secret.format("CLIENTSIDE"))
                s = Relay(builds[server], ["-f=s.txt", str(sport), "127.0.0.1", str(echo.port)], work)
                c = Relay(builds[client], ["-f=c.txt", str(cport), "127.0.0.1", str(sport)], work)
                before = len(failures)
                try:
                    what = f"interop {cipher}: {client} clientside, {server} serverside"
                    up = s.wait_for("Listening for connections") and c.wait_for("Listening for connections")
                    back = exchange(cport, data) if up else b""
                    check(back == data, f"{what}: {len(back)} of {len(data)} bytes came back unchanged")
                    check(c.wait_for("secure tunnel established") and s.wait_for("secure tunnel established"),
                          f"{what}: both ends report the tunnel")
                    # Seed files, locks and the system's random source all worked.
                    check("Warning" not in c.text() + s.text(), f"{what}: no warning in either log")
                finally:
                    c.stop()
                    s.stop()
                if len(failures) > before:
                    print("clientside log:\n" + c.text()[-2000:] + "\nserverside log:\n" + s.text()[-2000:])
    finally:
        echo.stop()


def session(build, work):
    """The scripted session; the log and the ports used."""
    echo = Echo()
    lport = free_port()
    with open(os.path.join(work, "filter.txt"), "w") as f:
        f.write("FILTER ALLOW 127.0.0.1\nFILTER DENY ALL\n")
    r = Relay(build, ["-d", "-f=filter.txt", str(lport), "127.0.0.1", str(echo.port)], work)
    try:
        ok = r.wait_for("Listening for connections")
        # A client from an address the filter refuses.
        if ok:
            with socket.socket() as s:
                s.bind(("127.0.0.2", 0))
                s.settimeout(20)
                s.connect(("127.0.0.1", lport))
                ok = closed(s) and r.wait_for("refused by IP address filter")
        # A relayed connection.
        if ok:
            ok = exchange(lport, b"hello through the relay\n") == b"hello through the relay\n"
            ok = ok and r.wait_for("Connection closed")
        # The server is gone: the connect fails.
        echo.stop()
        if ok:
            with socket.socket() as s:
                s.settimeout(20)
                s.connect(("127.0.0.1", lport))
                ok = closed(s) and r.wait_for("(WSAECONNREFUSED")
        check(ok, f"samelog: the session ran with {os.path.basename(build[0][-1])}")
    finally:
        r.stop()
    return r.text(), lport, echo.port


def normalise(log, lport, eport):
    """The lines that must agree: time stamps, socket numbers and ports vary
    from run to run."""
    log = re.sub(r"\d{4}/\d\d/\d\d \d\d:\d\d:\d\d", "<time>", log)
    log = re.sub(r"(socn\d=)\d+", r"\1<n>", log)
    log = re.sub(r"remoteport=\d+", "remoteport=<port>", log)
    log = re.sub(rf"\b{lport}\b", "<listenport>", log)
    log = re.sub(rf"\b{eport}\b", "<serverport>", log)
    return log.split("\n")


def samelog(builds, work):
    logs = {}
    for name in ("linux", "windows"):
        text, lport, eport = session(builds[name], work)
        logs[name] = normalise(text, lport, eport)
    same = logs["linux"] == logs["windows"]
    check(same and len(logs["linux"]) > 20, f"samelog: both builds logged the same {len(logs['linux'])} lines")
    if not same:
        import difflib
        print("\n".join(difflib.unified_diff(logs["linux"], logs["windows"], "linux", "windows", lineterm="")))


def main():
    if len(sys.argv) < 3:
        print(__doc__)
        return 2
    what = sys.argv[3:] or ["interop", "samelog"]
    with tempfile.TemporaryDirectory() as work:
        # Each build: its command and environment. The Linux relays keep their
        # seed files here, not in the machine's folder; the Windows relays in
        # the Wine folder's own.
        builds = {"linux": ([os.path.abspath(sys.argv[1])], {"KEVRA_STATEDIR": work}),
                  "windows": ([WINE, os.path.abspath(sys.argv[2])], {})}
        if "interop" in what:
            interop(builds, work)
        if "samelog" in what:
            samelog(builds, work)
    print(f"{len(failures)} failed" if failures else "all passed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
