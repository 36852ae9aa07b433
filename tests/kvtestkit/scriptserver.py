#!/usr/bin/env python3
"""A scripted HTTP server on 127.0.0.1 for the answers nginx does not give on demand.

It serves the files of a server tree (--root) like a plain server, and path segments before
the file path change how it answers; they stack, in any order:

    /_chunked/...        chunked body, no Content-Length
    /_cl=TEXT/...        Content-Length: TEXT (URL-decoded, sent as it stands), then the body
                         and the connection closed
    /_status=CODE/...    that status, with the file (or a small error page) as body
    /_page/...           the small error page as body even where the file exists
    /_empty/...          an empty body (Content-Length: 0) even where the file exists
    /_drop=N/...         the whole size announced, N body bytes sent, then the connection
                         closed (FIN)
    /_reset=N/...        as _drop, but the connection is reset (RST)
    /_cuthold=NAME/...   with _drop or _reset: the connection is cut only after NAME is
                         released, so a client can be sure to have read the first bytes
    /_slow=MS/...        the body in 4096-byte pieces with MS milliseconds between them
    /_hold=NAME/...      nothing is answered until NAME is released (see below); a released
                         name stays released until /_kv/reset; the site's root is not held
    /_holdbody=NAME/...  the status and headers are sent at once, the body only after NAME
                         is released
    /_extra=N/...        N bytes beyond the announced body, then the connection closed
    /_pad=N/...          N bytes of filler lines (CR LF) ahead of the file, made while they are
                         sent, so that a body of hundreds of megabytes needs neither disk nor
                         memory; the announced size counts them
    /_padline=N/...      N blanks ahead of the file, with no line end: one line that long
    /_mute/...           the request is read and never answered; the connection stays open
                         until the client gives up and closes it
    /_mute=NAME/...      the same, but once NAME is released the connection is closed, still
                         without an answer (a server that gives up on the request)
    /_hangup/...         the request is read and the connection closed without an answer
    /_range/...          a "Range: bytes=A-B" (or "bytes=A-") header is honoured: 206 with that
                         part of the file and "Content-Range: bytes A-B/SIZE", or 416 with
                         "Content-Range: bytes */SIZE" where A lies past the end; without this
                         mode the header is ignored (200 and the whole file, as from a server
                         that does not do ranges)
    /_range=unknown/...  the same, with "*" for the total
    /_range=bare/...     the same, without Content-Range
    /_retryafter=TEXT/...  a "Retry-After: TEXT" header (URL-decoded) with the answer
    /_signin/...         a redirect (302) to /_signinpage/ on the same server: a sign-in page
                         in front of the file, as a company's gateway puts it
    /_signinpage/...     200 with a small HTML sign-in page as body, whatever the path
    /_etag=TAG/...       'ETag: "TAG"' on every answer ("*": a new tag on each request), and a
                         Range header is honoured as with _range unless an If-Range header names
                         another tag (then 200 and the whole file, as a server must)
    /_norange/...        with _etag: the Range header is ignored all the same (200, whole file)
    /_cutpct=P/...       a body of more than one byte is cut (FIN) once P % of the whole file's
                         size (or what is left of the part asked for, if less) has gone out; an
                         answer to a request for the first byte only (a size query) never is
    /_cutcount=N/...     with _cutpct: only the first N bodies of that file are cut
    /_changed/...        once a body of that file has been cut, the file is served with its byte
                         at 70 % of its size changed (a file replaced on the server meanwhile,
                         under the same tag)
    /_drip=N:MS/...      the body in pieces of N bytes with MS milliseconds between them
    /_refuse=PORT/...    a redirect (307) to the same path without modes on 127.0.0.1:PORT,
                         same scheme: with nothing listening there, the client's connection
                         for this one file is refused while the server answers everything else

A file that does not exist gives 404 with an error page, unless _status says otherwise.

Control requests, which are not counted:
    /_kv/requests        the requests received so far, as JSON: [{method, path, agent, sent}, ...],
                         sent the body bytes sent so far, and "range" the Range header of a
                         request that had one
    /_kv/reset           forgets the requests, all releases and all fault rules
    /_kv/release/NAME    releases NAME
    /_kv/tlsstall/SKIP/COUNT/NAME
                         of the https connections that begin a TLS handshake from now on, the
                         first SKIP go through, the next COUNT stall before the server's first
                         handshake byte until NAME is released (then the handshake and the
                         request go on as usual), the rest go through. A connection that sends
                         nothing (a mere connection check) does not count. While the rule
                         stands (until /_kv/reset), every https answer closes its connection
                         and the idle ones are closed at once, so that each request makes a
                         handshake of its own.
    /_kv/fault/NAME/MODES...
                         from now on, every request whose path ends with "/NAME" (NAME
                         URL-encoded, matched after decoding) is answered as if MODES stood
                         before its path (they come after modes of the path itself); one rule
                         per NAME, the last one given counts; no MODES drops the rule. This
                         faults one file of a run while the others come as usual. A leading
                         _skip=N in MODES lets the rule's first N requests through unchanged
                         (say, a size query before the transfer).

Usage: scriptserver.py --root DIR --port-file FILE [--tls-cert PEM --tls-key KEY]
It listens on a free port for http and, given a certificate, on a second one for https, the
two sharing the request log and releases. FILE gets "HTTP_PORT [HTTPS_PORT]" once both listen.
"""

import argparse
import json
import os
import socket
import ssl
import struct
import threading
import time
import urllib.parse
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

ERROR_PAGE = b"<html><body><h1>%d</h1><p>KestrelVault test server error page</p></body></html>\n"
SIGNIN_PAGE = (b"<!DOCTYPE html>\n<html><head><title>Sign in</title></head>\n<body><form method=\"post\">"
               b"<input name=\"user\"><input name=\"password\" type=\"password\"></form></body></html>\n")
PIECE = 4096
FILLER_LINE = b"  <filler>KestrelVault test server padding line</filler>\r\n"
# Filler is sent in blocks of about this size, prepared once.
FILLER_BLOCK = 1 << 20


def filler_pieces(unit, count, size):
    """`count` bytes of `unit` repeated (cut where the count ends), in pieces of about `size`."""
    block = unit * max(1, size // len(unit))
    while count > 0:
        piece = block[:count]
        count -= len(piece)
        yield piece


def body_pieces(pad, padline, body, limit, size):
    """The first `limit` bytes of pad filler lines, padline blanks and body, in pieces of at
    most `size`."""
    def whole():
        yield from filler_pieces(FILLER_LINE, pad, FILLER_BLOCK)
        yield from filler_pieces(b" ", padline, FILLER_BLOCK)
        yield body
    for piece in whole():
        for start in range(0, len(piece), size):
            if limit <= 0:
                return
            part = piece[start:start + min(size, limit)]
            limit -= len(part)
            yield part


class State:
    def __init__(self):
        self.lock = threading.Condition()
        self.requests = []
        self.released = set()
        self.faults = {}  # file name -> [modes path ("/_a=1/_b"), requests still let through]
        self.tls_stall = None  # [handshakes still let through, handshakes still to stall, name]
        self.tls_idle = set()  # https connections waiting for their next request
        self.tags = 0  # the last of the changing ETags
        self.cuts = {}  # file path -> bodies cut so far

    def record(self, entry):
        with self.lock:
            self.requests.append(entry)

    def wait_released(self, name):
        with self.lock:
            self.lock.wait_for(lambda: name in self.released)

    def release(self, name):
        with self.lock:
            self.released.add(name)
            self.lock.notify_all()

    def reset(self):
        with self.lock:
            self.requests.clear()
            self.released.clear()
            self.faults.clear()
            self.cuts.clear()
            self.tls_stall = None
            self.lock.notify_all()

    def next_tag(self):
        with self.lock:
            self.tags += 1
            return "v%d" % self.tags

    def cut_count(self, path):
        with self.lock:
            return self.cuts.get(path, 0)

    def count_cut(self, path):
        with self.lock:
            self.cuts[path] = self.cuts.get(path, 0) + 1

    def set_tls_stall(self, skip, count, name):
        with self.lock:
            self.tls_stall = [skip, count, name]
            idle = list(self.tls_idle)
        for conn in idle:
            try:
                conn.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass

    def tls_closing(self):
        with self.lock:
            return self.tls_stall is not None

    def take_tls_stall(self):
        """The name to wait for before this handshake, or None."""
        with self.lock:
            rule = self.tls_stall
            if not rule:
                return None
            if rule[0] > 0:
                rule[0] -= 1
                return None
            if rule[1] > 0:
                rule[1] -= 1
                return rule[2]
            return None

    def set_fault(self, name, modes):
        rule, _ = parse_modes(modes + "/")
        with self.lock:
            if rule:
                skip = int(rule.pop("skip", 0) or 0)
                self.faults[name] = ["".join("/_" + k + ("=" + v if v else "") for k, v in rule.items()), skip]
            else:
                self.faults.pop(name, None)

    def fault_for(self, path):
        """The modes path of the rule whose name ends `path`, or "" (also while it skips)."""
        with self.lock:
            for name, rule in self.faults.items():
                if path.endswith("/" + name):
                    if rule[1] > 0:
                        rule[1] -= 1
                        return ""
                    return rule[0]
        return ""


def parse_modes(path):
    """Splits '/_a=1/_b/app/x' into ({'a': '1', 'b': ''}, '/app/x')."""
    modes = {}
    segments = path.split("/")
    i = 1
    while i < len(segments) and segments[i].startswith("_") and segments[i] != "_kv":
        name, _, value = segments[i][1:].partition("=")
        modes[name] = urllib.parse.unquote(value)
        i += 1
    return modes, "/" + "/".join(segments[i:])


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "KVScriptServer"

    def log_message(self, fmt, *args):
        pass

    def setup(self):
        # The TLS handshake runs here, on the request's own thread, so that a slow client
        # cannot hold up the accepting loop.
        tls = self.server.tls
        if tls:
            try:
                first = self.request.recv(1, socket.MSG_PEEK)
            except OSError:
                first = b""
            # 0x16: a TLS handshake record, the client's hello.
            name = self.server.state.take_tls_stall() if first == b"\x16" else None
            if name is not None:
                self.server.state.wait_released(name)
            self.request = tls.wrap_socket(self.request, server_side=True)
        super().setup()

    def handle_one_request(self):
        # Idle until the request line has come (parse_request).
        if self.server.tls:
            with self.server.state.lock:
                self.server.state.tls_idle.add(self.request)
        try:
            super().handle_one_request()
        finally:
            self._busy()

    def parse_request(self):
        self._busy()
        return super().parse_request()

    def _busy(self):
        if self.server.tls:
            with self.server.state.lock:
                self.server.state.tls_idle.discard(self.request)

    def finish(self):
        super().finish()
        # The wrapped connection is ours (the server closes only the bare socket it accepted).
        if self.server.tls:
            try:
                self.request.close()
            except OSError:
                pass

    def end_headers(self):
        if self.server.tls and self.server.state.tls_closing() and not self.close_connection:
            self.send_header("Connection", "close")
            self.close_connection = True
        super().end_headers()

    def do_GET(self):
        raw = self.path.split("?", 1)[0]
        if raw.startswith("/_kv/"):
            return self.control(raw[len("/_kv/"):])
        self.entry = {"method": self.command, "path": raw, "agent": self.headers.get("User-Agent", ""), "sent": 0}
        if self.headers.get("Range") is not None:
            self.entry["range"] = self.headers.get("Range")
        if self.headers.get("If-Range") is not None:
            self.entry["ifrange"] = self.headers.get("If-Range")
        self.server.state.record(self.entry)
        modes, rest = parse_modes(urllib.parse.unquote(raw))
        rule, _ = parse_modes(self.server.state.fault_for(rest) + "/")
        modes.update(rule)
        if "mute" in modes:
            return self.mute(modes["mute"])
        if "hangup" in modes:
            self.close_connection = True
            return
        if "refuse" in modes:
            return self.redirect(int(modes["refuse"] or 9), rest)
        # The page itself ends with the file's name too, so a fault rule meets it again.
        if "signin" in modes and "signinpage" not in modes:
            return self.found("/_signinpage" + rest)
        # A hold is for the files: the site's root, which the first page's access check asks
        # for, is answered at once, so a held run gets past the first page.
        if "hold" in modes and rest.strip("/"):
            self.server.state.wait_released(modes["hold"])
        self.answer(modes, rest)

    def control(self, what):
        state = self.server.state
        if what == "requests":
            with state.lock:
                body = json.dumps(state.requests).encode()
        elif what == "reset":
            state.reset()
            body = b"ok\n"
        elif what.startswith("release/"):
            state.release(urllib.parse.unquote(what[len("release/"):]))
            body = b"ok\n"
        elif what.startswith("tlsstall/"):
            skip, count, name = what[len("tlsstall/"):].split("/", 2)
            state.set_tls_stall(int(skip), int(count), urllib.parse.unquote(name))
            body = b"ok\n"
        elif what.startswith("fault/"):
            name, _, modes = what[len("fault/"):].partition("/")
            state.set_fault(urllib.parse.unquote(name), "/" + modes)
            body = b"ok\n"
        else:
            self.send_error(404)
            return
        self.send_response(200)
        self.send_header("Content-Type", "application/json")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def mute(self, name):
        # Whatever else the client sends is read and dropped; only its close (or, with a name,
        # the release) ends this.
        self.close_connection = True
        if name:
            threading.Thread(target=self._close_when_released, args=(name,), daemon=True).start()
        try:
            while self.connection.recv(4096):
                pass
        except OSError:
            pass

    def _close_when_released(self, name):
        self.server.state.wait_released(name)
        try:
            self.connection.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass

    def redirect(self, port, rest):
        scheme = "https" if self.server.tls else "http"
        self.send_response(307)
        self.send_header("Location", "%s://127.0.0.1:%d%s" % (scheme, port, urllib.parse.quote(rest)))
        self.send_header("Content-Length", "0")
        self.send_header("Connection", "close")
        self.close_connection = True
        self.end_headers()

    def found(self, location):
        self.send_response(302)
        self.send_header("Location", urllib.parse.quote(location))
        self.send_header("Content-Length", "0")
        self.end_headers()

    def answer(self, modes, rest):
        path = os.path.realpath(os.path.join(self.server.root, rest.lstrip("/")))
        inside = path.startswith(self.server.root + os.sep)
        status = int(modes.get("status", 200))
        if inside and os.path.isfile(path) and "page" not in modes:
            with open(path, "rb") as f:
                body = f.read()
        else:
            status = int(modes.get("status", 404))
            body = ERROR_PAGE % status
        if "signinpage" in modes:
            status, body = 200, SIGNIN_PAGE
        if "empty" in modes:
            body = b""
        state = self.server.state
        if "changed" in modes and state.cut_count(rest) and len(body) > 2:
            at = len(body) * 7 // 10
            body = body[:at] + bytes([body[at] ^ 0xFF]) + body[at + 1:]
        whole = len(body)
        etag = None
        if "etag" in modes:
            etag = '"%s"' % (state.next_tag() if modes["etag"] == "*" else modes["etag"])
        if_range = self.headers.get("If-Range")
        honour = "range" in modes or (etag is not None and "norange" not in modes and if_range in (None, etag))
        pad, padline = int(modes.get("pad", 0) or 0), int(modes.get("padline", 0) or 0)
        content_range = None
        if honour and status == 200 and not (pad or padline):
            status, body, content_range = self.ranged(body, modes.get("range", ""))
        total = pad + padline + len(body)

        self.send_response(status)
        self.send_header("Content-Type", "text/html" if "signinpage" in modes else "application/octet-stream")
        if etag:
            self.send_header("ETag", etag)
        if "retryafter" in modes:
            self.send_header("Retry-After", modes["retryafter"])
        if content_range:
            self.send_header("Content-Range", content_range)
        closing = False
        if "chunked" in modes:
            self.send_header("Transfer-Encoding", "chunked")
        elif "cl" in modes:
            self.send_header("Content-Length", modes["cl"])
            closing = True
        else:
            self.send_header("Content-Length", str(total))
        cut = None
        for kind in ("drop", "reset"):
            if kind in modes:
                cut = (kind, min(int(modes[kind]), total))
                closing = True
        first_byte_only = (self.headers.get("Range") or "").strip() == "bytes=0-0"
        if "cutpct" in modes and total > 1 and self.command != "HEAD" and not first_byte_only:
            if "cutcount" not in modes or state.cut_count(rest) < int(modes["cutcount"]):
                at = (whole * int(modes["cutpct"]) + 99) // 100
                if at < total:
                    cut = ("drop", at)
                    closing = True
                    state.count_cut(rest)
        extra = int(modes.get("extra", 0))
        if extra:
            closing = True
        if closing:
            self.send_header("Connection", "close")
            self.close_connection = True
        self.end_headers()
        if self.command == "HEAD":
            return
        if "holdbody" in modes:
            self.wfile.flush()
            self.server.state.wait_released(modes["holdbody"])

        delay = int(modes.get("slow", 0)) / 1000.0
        # Filler goes out in large pieces unless the pieces themselves are what is tested.
        size = PIECE if delay or "chunked" in modes or not (pad or padline) else FILLER_BLOCK
        if "drip" in modes:
            piece, _, ms = modes["drip"].partition(":")
            size, delay = max(1, int(piece)), int(ms) / 1000.0
        try:
            for piece in body_pieces(pad, padline, body, cut[1] if cut else total, size):
                self.count_sent(len(piece))
                if "chunked" in modes:
                    piece = b"%x\r\n%s\r\n" % (len(piece), piece)
                self.wfile.write(piece)
                if delay:
                    self.wfile.flush()
                    time.sleep(delay)
            if cut:
                self.wfile.flush()
                if "cuthold" in modes:
                    self.server.state.wait_released(modes["cuthold"])
                if cut[0] == "reset":
                    # Linger 0: close() sends RST instead of FIN.
                    self.connection.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
                self.connection.close()
                return
            if "chunked" in modes:
                self.wfile.write(b"0\r\n\r\n")
            if extra:
                # Bytes no announced length covers: a client that takes them writes junk.
                junk = b"KV-EXTRA-BYTES-BEYOND-CONTENT-LENGTH\n" * (extra // 37 + 1)
                self.wfile.write(junk[:extra])
        except (BrokenPipeError, ConnectionResetError):
            self.close_connection = True

    def count_sent(self, n):
        with self.server.state.lock:
            self.entry["sent"] += n

    def ranged(self, body, kind):
        """(status, body, Content-Range or None) for the request's Range header."""
        spec = (self.headers.get("Range") or "").strip()
        first, _, last = spec[len("bytes="):].partition("-") if spec.startswith("bytes=") else ("", "", "")
        if not first.isdigit() or (last and not last.isdigit()) or "," in spec:
            return 200, body, None
        size = len(body)
        total = "*" if kind == "unknown" else str(size)
        if int(first) >= size:
            return 416, b"", None if kind == "bare" else "bytes */" + total
        end = min(int(last), size - 1) if last else size - 1
        part = body[int(first):end + 1]
        return 206, part, None if kind == "bare" else "bytes %s-%d/%s" % (first, end, total)

    do_HEAD = do_GET


class Server(ThreadingHTTPServer):
    daemon_threads = True
    allow_reuse_address = True

    def __init__(self, root, state, tls=None):
        super().__init__(("127.0.0.1", 0), Handler)
        self.root = os.path.realpath(root)
        self.state = state
        # Connections are wrapped one by one in Handler.setup, after a look at their first byte.
        self.tls = tls

    def handle_error(self, request, client_address):
        pass  # a client that gives up mid-answer is part of what these tests do


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--root", required=True)
    ap.add_argument("--port-file", required=True)
    ap.add_argument("--tls-cert")
    ap.add_argument("--tls-key")
    args = ap.parse_args()
    state = State()
    servers = [Server(args.root, state)]
    if args.tls_cert:
        tls = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        tls.load_cert_chain(args.tls_cert, args.tls_key)
        servers.append(Server(args.root, state, tls))
    for server in servers[1:]:
        threading.Thread(target=server.serve_forever, daemon=True).start()
    tmp = args.port_file + ".tmp"
    with open(tmp, "w") as f:
        f.write(" ".join(str(server.server_address[1]) for server in servers))
    os.replace(tmp, args.port_file)
    servers[0].serve_forever()


if __name__ == "__main__":
    main()
