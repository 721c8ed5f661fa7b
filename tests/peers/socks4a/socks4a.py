#!/usr/bin/python3
"""SOCKS 4 and 4A CONNECT server for the tests (dante ignores the host name of
a 4A request). One process, a thread per connection, so that stopping the
process ends every relay with it.

usage: socks4a.py PORT

Listens on 127.0.0.1. A 4A host name is looked up in /etc/hosts only (never
DNS, which is off this host). Targets outside 127.0.0.0/8, unknown names and
commands other than CONNECT get reply 91 (rejected). Any user id is accepted
and logged.
"""
import re
import socket
import socketserver
import sys
import threading

GRANTED, REJECTED = 90, 91


def log(message):
    print(message, flush=True)


def hosts_lookup(name):
    """NAME if it is an IPv4 address, else its first IPv4 address in
    /etc/hosts, or None."""
    if re.fullmatch(r"\d+\.\d+\.\d+\.\d+", name):
        return name
    with open("/etc/hosts") as hosts:
        for line in hosts:
            fields = line.split("#", 1)[0].split()
            if len(fields) > 1 and fields[0].count(".") == 3 and \
                    name.lower() in (f.lower() for f in fields[1:]):
                return fields[0]
    return None


def read_exact(sock, n):
    data = b""
    while len(data) < n:
        chunk = sock.recv(n - len(data))
        if not chunk:
            raise EOFError
        data += chunk
    return data


def read_string(sock):
    """A NUL-terminated field (user id, 4A host name), at most 255 bytes."""
    data = b""
    while (c := read_exact(sock, 1)) != b"\0":
        data += c
        if len(data) > 255:
            raise EOFError
    return data.decode("latin-1")


def pump(src, dst):
    """Copies SRC to DST until SRC ends or fails, then passes the end on
    (half-close), so that the other direction ends too."""
    try:
        while chunk := src.recv(65536):
            dst.sendall(chunk)
    except OSError:
        pass
    try:
        dst.shutdown(socket.SHUT_WR)
    except OSError:
        pass


class Handler(socketserver.BaseRequestHandler):
    def reply(self, code, addr="0.0.0.0", port=0):
        self.request.sendall(bytes([0, code]) + port.to_bytes(2, "big") +
                             socket.inet_aton(addr))

    def handle(self):
        client = self.request
        client.settimeout(10)  # for the request; the relay has no time limit
        try:
            # the version byte alone first: a SOCKS 5 greeting is shorter than
            # a SOCKS 4 request and would wait for bytes that never come
            version = read_exact(client, 1)[0]
            if version != 4:
                log(f"not SOCKS 4 (version byte {version})")
                return
            head = read_exact(client, 7)
            command = head[0]
            port, ip = int.from_bytes(head[1:3], "big"), socket.inet_ntoa(head[3:7])
            user = read_string(client)
            # 0.0.0.x, x != 0: SOCKS 4A, the host name follows the user id
            host = read_string(client) if ip.startswith("0.0.0.") and ip != "0.0.0.0" else None
        except (EOFError, OSError):
            log("closed or timed out before a complete request")
            return
        kind = "4a" if host is not None else "4"
        target = hosts_lookup(host) if host is not None else ip
        if command != 1 or target is None or not target.startswith("127."):
            log(f"v{kind} user={user!r} {host or ip}:{port} refused")
            self.reply(REJECTED)
            return
        try:
            upstream = socket.create_connection((target, port), timeout=5,
                                                source_address=("127.0.0.1", 0))
        except OSError as e:
            log(f"v{kind} user={user!r} {host or ip}:{port} failed: {e}")
            self.reply(REJECTED)
            return
        log(f"v{kind} user={user!r} {host or ip}:{port} connected")
        with upstream:
            bound = upstream.getsockname()
            self.reply(GRANTED, bound[0], bound[1])
            client.settimeout(None)
            upstream.settimeout(None)
            back = threading.Thread(target=pump, args=(upstream, client), daemon=True)
            back.start()
            pump(client, upstream)
            back.join()


class Server(socketserver.ThreadingTCPServer):
    allow_reuse_address = True
    daemon_threads = True


if __name__ == "__main__":
    with Server(("127.0.0.1", int(sys.argv[1])), Handler) as server:
        log(f"listening on 127.0.0.1:{sys.argv[1]}")
        server.serve_forever()
