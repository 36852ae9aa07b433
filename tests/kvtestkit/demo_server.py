#!/usr/bin/env python3
"""The demo's KestrelVault server: serves a server tree on one port of 127.0.0.1, over http and
https alike, so that the host a user is given works with either scheme of the first page.

Each connection's first byte decides: a TLS handshake record (0x16) gets TLS with the given
certificate, anything else plain http. Every request is written to standard output as one line,
"<scheme> <method> <path> <status> <bytes>", bytes the body bytes sent. A request for one range
("Range: bytes=A-B" or "bytes=A-") gets it (206), or 416 where A lies past the end, as from a
common web server; the setup program's size query asks for the first byte only.

Two options hold the wizard where a picture of it can be taken:
    --gate               the port takes no connection until SIGUSR1: the listening queue is
                         kept full (backlog 0, one connection of the server's own), so a
                         client's connect waits in the kernel. The stamped wizard's automatic
                         check then waits with its first page painted on screen.
    --hold NAME:BYTES    a file named NAME is sent with its whole size announced, BYTES of it
                         in small pieces, and the rest only after SIGUSR2, so its download
                         stands part-way. The first request for NAME is answered at once: it
                         is the setup program's size query, which reads only the headers.

Usage: demo_server.py --root DIR --port-file FILE [--port N] [--cert PEM --key KEY] [--gate]
                      [--hold NAME:BYTES]
FILE gets the port once the server listens (N, or a free one). SIGTERM ends it.
"""

import argparse
import os
import signal
import socket
import ssl
import sys
import threading
import time
import urllib.parse
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

TLS_HANDSHAKE = b"\x16"
PIECE = 4096
TRICKLE_S = 0.01
# A connection that says nothing for this long is dropped, so an idle client holds no thread.
IDLE_S = 60


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "KestrelVaultDemo"

    def setup(self):
        self.scheme = "http"
        self.request.settimeout(IDLE_S)
        try:
            first = self.request.recv(1, socket.MSG_PEEK)
        except OSError:
            first = b""
        if first == TLS_HANDSHAKE and self.server.tls:
            self.request = self.server.tls.wrap_socket(self.request, server_side=True)
            self.scheme = "https"
        super().setup()

    def finish(self):
        try:
            super().finish()
        finally:
            # The server closes the socket it accepted; a TLS socket made from it is ours.
            if self.scheme == "https":
                self.request.close()

    def log_message(self, fmt, *args):
        pass

    def log_request(self, code="-", size="-"):
        pass

    def note(self, status, size):
        print("%s %s %s %s %s" % (self.scheme, self.command, self.path, status, size), flush=True)

    def do_GET(self):
        rel = urllib.parse.unquote(self.path.split("?", 1)[0]).lstrip("/")
        path = os.path.realpath(os.path.join(self.server.root, rel))
        if not (path.startswith(self.server.root + os.sep) and os.path.isfile(path)):
            body = b"<html><body><h1>404</h1></body></html>\n"
            self.send_response(404)
            self.send_header("Content-Type", "text/html")
            self.send_header("Content-Length", str(len(body)))
            self.end_headers()
            if self.command != "HEAD":
                self.wfile.write(body)
            self.note(404, len(body))
            return
        with open(path, "rb") as f:
            body = f.read()
        nth = self.server.count(path)
        part = self.requested_range(len(body))
        if part:
            return self.send_part(body, *part)
        self.send_response(200)
        self.send_header("Content-Type", "application/octet-stream")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        if self.command == "HEAD":
            self.note(200, 0)
            return
        hold = self.server.hold
        try:
            if hold and os.path.basename(path) == hold[0] and nth > 1 \
                    and not self.server.released.is_set():
                # In pieces, as over a slow line: a client reports its progress per piece read.
                for start in range(0, hold[1], PIECE):
                    self.wfile.write(body[start:min(start + PIECE, hold[1])])
                    self.wfile.flush()
                    time.sleep(TRICKLE_S)
                self.note("200 (held after %d bytes)" % hold[1], len(body))
                self.server.released.wait()
                self.wfile.write(body[hold[1]:])
            else:
                self.wfile.write(body)
                self.note(200, len(body))
        except (BrokenPipeError, ConnectionResetError, socket.timeout):
            self.close_connection = True

    def requested_range(self, size):
        """(first, last) of the one range asked for, last None past the end; None: the whole file."""
        spec = (self.headers.get("Range") or "").strip()
        if not spec.startswith("bytes=") or "," in spec:
            return None
        first, _, last = spec[len("bytes="):].partition("-")
        if not first.isdigit() or (last and not last.isdigit()):
            return None
        first = int(first)
        if first >= size:
            return first, None
        return first, min(int(last), size - 1) if last else size - 1

    def send_part(self, body, first, last):
        if last is None:
            self.send_response(416)
            self.send_header("Content-Range", "bytes */%d" % len(body))
            self.send_header("Content-Length", "0")
            self.end_headers()
            self.note(416, 0)
            return
        part = body[first:last + 1]
        self.send_response(206)
        self.send_header("Content-Type", "application/octet-stream")
        self.send_header("Content-Range", "bytes %d-%d/%d" % (first, last, len(body)))
        self.send_header("Content-Length", str(len(part)))
        self.end_headers()
        if self.command == "HEAD":
            self.note(206, 0)
            return
        try:
            self.wfile.write(part)
            self.note(206, len(part))
        except (BrokenPipeError, ConnectionResetError, socket.timeout):
            self.close_connection = True

    do_HEAD = do_GET


class DemoServer(ThreadingHTTPServer):
    daemon_threads = True
    allow_reuse_address = True
    request_queue_size = 16

    def __init__(self, port, root, tls, hold):
        super().__init__(("127.0.0.1", port), Handler)
        self.root = os.path.realpath(root)
        self.tls = tls
        self.hold = hold
        self.released = threading.Event()
        self._lock = threading.Lock()
        self._counts = {}

    def count(self, path):
        """How many requests for path have come, this one included."""
        with self._lock:
            self._counts[path] = self._counts.get(path, 0) + 1
            return self._counts[path]

    def handle_error(self, request, client_address):
        pass  # a client that gives up mid-answer is no fault of the server


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--root", required=True)
    ap.add_argument("--port-file", required=True)
    ap.add_argument("--port", type=int, default=0, help="0: a free one")
    ap.add_argument("--cert")
    ap.add_argument("--key")
    ap.add_argument("--gate", action="store_true")
    ap.add_argument("--hold", help="NAME:BYTES")
    args = ap.parse_args()

    tls = None
    if args.cert:
        tls = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        tls.load_cert_chain(args.cert, args.key)
    hold = None
    if args.hold:
        name, _, size = args.hold.rpartition(":")
        hold = (name, int(size))
    server = DemoServer(args.port, args.root, tls, hold)

    gate_open = threading.Event()
    signal.signal(signal.SIGUSR1, lambda *_: gate_open.set())
    signal.signal(signal.SIGUSR2, lambda *_: server.released.set())
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(0))

    filler = None
    if args.gate:
        server.socket.listen(0)
        filler = socket.create_connection(server.server_address)

    tmp = args.port_file + ".tmp"
    with open(tmp, "w") as f:
        f.write(str(server.server_address[1]))
    os.replace(tmp, args.port_file)

    if filler:
        while not gate_open.is_set():
            time.sleep(0.05)
        server.socket.listen(DemoServer.request_queue_size)
        # The queue is first in, first out: the first accept takes the server's own connection.
        own, _ = server.socket.accept()
        own.close()
        filler.close()
        print("gate opened", flush=True)
    server.serve_forever()


if __name__ == "__main__":
    main()
