#!/usr/bin/env python3
"""A stand-in for the `tor` executable, for tests. It never leaves loopback.

Run as `tor -f TORRC`. It reads the configuration file and does what these
keys ask, nothing more:

  DataDirectory DIR         created; the cookie goes to DIR/control_auth_cookie
  SocksPort [ADDR:]PORT     a SOCKS5 server on 127.0.0.1:PORT (0: none) that
                            connects "<id>.onion:PORT" to the loopback target
                            of a service registered by any stand-in sharing
                            the registry; every other destination is refused
  ControlPort PORT          the control protocol on 127.0.0.1:PORT: PROTOCOLINFO,
                            AUTHENTICATE <hex cookie>, ADD_ONION NEW:ED25519-V3
                            or ADD_ONION ED25519-V3:<key> with Port=VIRT[,TARGET],
                            SIGNAL SHUTDOWN; services go when their control
                            connection closes, as with the real program
  CookieAuthentication 1    writes a 32-byte cookie

The service id is derived from the key, so a stored key gives the same
address again. Environment:

  FAKE_TOR_REGISTRY  directory of registered services, one file per service id
                     holding "virtport targetport" (default: beside DIR)
  FAKE_TOR_LOG       file to which each control command and SOCKS request is
                     appended as one line ("control: ...", "socks: ...")
  FAKE_TOR_COOKIEFILE  a path PROTOCOLINFO names instead of the real cookie,
                     as a stranger on the control port might
  FAKE_TOR_IGNORE_TERM  when "1", SIGTERM is ignored (only SIGNAL SHUTDOWN or
                     SIGKILL end the process), like a tor that hangs
  FAKE_TOR_SPLIT     when "1", every control reply is written a few bytes at
                     a time with pauses, so that it arrives in pieces
"""

import base64
import hashlib
import os
import secrets
import signal
import socket
import socketserver
import struct
import sys
import threading
import time

LOCK = threading.Lock()


def log_line(text):
    path = os.environ.get("FAKE_TOR_LOG")
    if not path:
        return
    with LOCK:
        with open(path, "a") as f:
            f.write(text + "\n")


def read_config(path):
    config = {}
    with open(path, "rb") as f:
        raw = f.read()
    for line in raw.decode("utf-8").split("\r\n"):
        if not line.strip():
            continue
        key, _, value = line.partition(" ")
        config.setdefault(key, []).append(value)
    return config, raw


def service_id(key_text):
    digest = hashlib.sha256(key_text.encode()).digest() + hashlib.sha256(b"x" + key_text.encode()).digest()
    return base64.b32encode(digest).decode().lower()[:56]


class Registry:
    def __init__(self, directory):
        self.directory = directory
        os.makedirs(directory, exist_ok=True)

    def add(self, sid, virt, target):
        with open(os.path.join(self.directory, sid), "w") as f:
            f.write("%d %d\n" % (virt, target))

    def remove(self, sid):
        try:
            os.unlink(os.path.join(self.directory, sid))
        except OSError:
            pass

    def lookup(self, sid, virt):
        try:
            with open(os.path.join(self.directory, sid)) as f:
                v, t = f.read().split()
        except (OSError, ValueError):
            return None
        return int(t) if int(v) == virt else None


class ControlHandler(socketserver.BaseRequestHandler):
    def send(self, text):
        data = text.encode()
        if os.environ.get("FAKE_TOR_SPLIT") == "1":
            for i in range(0, len(data), 5):
                self.request.sendall(data[i:i + 5])
                time.sleep(0.02)
        else:
            self.request.sendall(data)

    def handle(self):
        tor = self.server.tor
        services = []
        buf = b""
        authenticated = False
        try:
            while True:
                chunk = self.request.recv(4096)
                if not chunk:
                    break
                buf += chunk
                while b"\r\n" in buf:
                    line, buf = buf.split(b"\r\n", 1)
                    command = line.decode("utf-8", "replace")
                    log_line("control: " + command)
                    if not self.command(tor, command, services, authenticated):
                        return
                    if command.startswith("AUTHENTICATE ") and command[13:] == tor.cookie.hex():
                        authenticated = True
        finally:
            for sid in services:
                tor.registry.remove(sid)

    def command(self, tor, command, services, authenticated):
        verb = command.split(" ", 1)[0]
        if verb == "PROTOCOLINFO":
            cookie_path = os.environ.get("FAKE_TOR_COOKIEFILE") or tor.cookie_path
            self.send('250-PROTOCOLINFO 1\r\n'
                      '250-AUTH METHODS=COOKIE,SAFECOOKIE COOKIEFILE="%s"\r\n'
                      '250-VERSION Tor="0.4.8.99-stand-in"\r\n'
                      '250 OK\r\n' % cookie_path)
        elif verb == "AUTHENTICATE":
            if command[13:] == tor.cookie.hex():
                self.send("250 OK\r\n")
            else:
                self.send("515 Authentication failed: wrong cookie\r\n")
                return False
        elif not authenticated:
            self.send("514 Authentication required.\r\n")
            return False
        elif verb == "ADD_ONION":
            parts = command.split(" ")
            if len(parts) < 3 or not parts[2].startswith("Port="):
                self.send("512 Bad arguments\r\n")
                return True
            keyspec = parts[1]
            port_spec = parts[2][5:].split(",")
            virt = int(port_spec[0])
            target = int(port_spec[1].rsplit(":", 1)[-1]) if len(port_spec) > 1 else virt
            if keyspec == "NEW:ED25519-V3":
                key = base64.b64encode(secrets.token_bytes(64)).decode()
                sid = service_id(key)
                reply = "250-ServiceID=%s\r\n250-PrivateKey=ED25519-V3:%s\r\n250 OK\r\n" % (sid, key)
            elif keyspec.startswith("ED25519-V3:") and len(keyspec) > 11:
                sid = service_id(keyspec[11:])
                reply = "250-ServiceID=%s\r\n250 OK\r\n" % sid
            else:
                self.send("513 Invalid key type\r\n")
                return True
            tor.registry.add(sid, virt, target)
            services.append(sid)
            tor.services.add(sid)
            self.send(reply)
        elif command == "SIGNAL SHUTDOWN":
            self.send("250 OK\r\n")
            threading.Thread(target=tor.stop, daemon=True).start()
            return False
        else:
            self.send('510 Unrecognized command "%s"\r\n' % verb)
        return True


def recv_exact(sock, n):
    data = b""
    while len(data) < n:
        chunk = sock.recv(n - len(data))
        if not chunk:
            raise ConnectionError("short read")
        data += chunk
    return data


def pipe(a, b):
    try:
        while True:
            data = a.recv(65536)
            if not data:
                break
            b.sendall(data)
    except OSError:
        pass
    finally:
        for s in (a, b):
            try:
                s.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass


class SocksHandler(socketserver.BaseRequestHandler):
    def handle(self):
        tor = self.server.tor
        s = self.request
        try:
            version, count = recv_exact(s, 2)
            methods = recv_exact(s, count)
            if version != 5 or 0 not in methods:
                s.sendall(b"\x05\xff")
                return
            s.sendall(b"\x05\x00")
            version, cmd, _, atyp = recv_exact(s, 4)
            if atyp == 3:
                name = recv_exact(s, recv_exact(s, 1)[0]).decode("ascii", "replace")
            elif atyp == 1:
                name = socket.inet_ntoa(recv_exact(s, 4))
            elif atyp == 4:
                name = socket.inet_ntop(socket.AF_INET6, recv_exact(s, 16))
            else:
                return
            port = struct.unpack("!H", recv_exact(s, 2))[0]
            log_line("socks: %s:%d" % (name, port))
            target = None
            if cmd == 1 and name.endswith(".onion"):
                target = tor.registry.lookup(name[:-6], port)
            if target is None:
                # Host unreachable: only registered onion services are reached.
                s.sendall(b"\x05\x04\x00\x01\x00\x00\x00\x00\x00\x00")
                return
            out = socket.create_connection(("127.0.0.1", target), timeout=10)
            out.settimeout(None)
        except (OSError, ConnectionError, ValueError):
            return
        s.sendall(b"\x05\x00\x00\x01\x7f\x00\x00\x01" + struct.pack("!H", target))
        t = threading.Thread(target=pipe, args=(out, s), daemon=True)
        t.start()
        pipe(s, out)
        t.join()


class Server(socketserver.ThreadingTCPServer):
    daemon_threads = True
    allow_reuse_address = True


class FakeTor:
    def __init__(self, config, done):
        self.done = done
        self.services = set()
        self.servers = []
        data_dir = config.get("DataDirectory", [None])[0]
        if not data_dir:
            raise SystemExit("no DataDirectory")
        os.makedirs(data_dir, exist_ok=True)
        self.registry = Registry(os.environ.get("FAKE_TOR_REGISTRY")
                                 or os.path.join(os.path.dirname(data_dir), "fake_tor_services"))
        self.cookie = secrets.token_bytes(32)
        self.cookie_path = os.path.join(data_dir, "control_auth_cookie")
        if config.get("CookieAuthentication", ["0"])[0] == "1":
            with open(self.cookie_path, "wb") as f:
                f.write(self.cookie)
        socks = config.get("SocksPort", ["0"])[0]
        socks_port = int(socks.rsplit(":", 1)[-1])
        if socks_port:
            self.serve(socks_port, SocksHandler)
        control = int(config.get("ControlPort", ["0"])[0])
        if control:
            self.serve(control, ControlHandler)

    def serve(self, port, handler):
        server = Server(("127.0.0.1", port), handler)
        server.tor = self
        # A short poll lets shutdown() return soon after SIGTERM.
        threading.Thread(target=server.serve_forever, kwargs={"poll_interval": 0.05}, daemon=True).start()
        self.servers.append(server)

    def stop(self):
        self.done.set()


def main():
    args = sys.argv[1:]
    if len(args) != 2 or args[0] != "-f":
        print("usage: tor -f TORRC", file=sys.stderr)
        return 2
    # The handlers come first: once "start:" is logged, SIGTERM ends the
    # process with "exit:".
    done = threading.Event()
    if os.environ.get("FAKE_TOR_IGNORE_TERM") == "1":
        signal.signal(signal.SIGTERM, signal.SIG_IGN)
    else:
        signal.signal(signal.SIGTERM, lambda *_: done.set())
    signal.signal(signal.SIGINT, lambda *_: done.set())
    config, raw = read_config(args[1])
    log_line("start: " + args[1])
    log_line("pid: %d" % os.getpid())
    tor = FakeTor(config, done)
    print("Bootstrapped 100% (done): Done", flush=True)
    while not tor.done.wait(0.05):
        pass
    for server in tor.servers:
        server.shutdown()
        server.server_close()
    for sid in tor.services:
        tor.registry.remove(sid)
    log_line("exit: " + args[1])
    return 0


if __name__ == "__main__":
    sys.exit(main())
