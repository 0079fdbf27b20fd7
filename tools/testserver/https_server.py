#!/usr/bin/env python3
"""Local HTTPS test server for the network tests, benchmarks and the demo (standard library only).

Start and stop (CTest does this through the fixture "net_https_server", see tests/fixtures):
    https_server.py start --info <file.json> --certs <dir> [--lifetime 1800]
    https_server.py stop  --info <file.json>
"start" returns once the server listens and has written the info file:
    {"pid": ..., "host": "localhost", "http_port": P, "https_port": P,
     "https_ports": {"localhost": P, "wrongname": P, "expired": P, "selfsigned": P, "chained": P,
                     "pinned": P},
     "ca": "<certs>/ca.crt", "certs": "<certs>"}
Every listener is on 127.0.0.1 only. "https_ports" serve the same content with the certificate of
that name (tools/certs/make-certs.sh); "localhost" (= https_port) is the trusted one. Address the
server as https://localhost:<port>/ (Wine matches certificate DNS names only). The server exits by
itself when the process that ran "start" has gone (its parent, normally ctest), after --lifetime
seconds at most, or on "stop".

Content:
    /_gen/<size>/<any name>   virtual file of <size> bytes, byte i = i % 251 (any size, even > 4 GiB)
    files put through /_control/file, else files below --root (if given)
  GET and HEAD, single "Range: bytes=a-b | a- | -n" (206 + Content-Range, 416 when unsatisfiable),
  Last-Modified (fixed "Wed, 01 Jan 2025 00:00:00 GMT" unless a scenario sets it), POST/PUT bodies
  are read and logged (answer 200 with the text "ok" unless the path is content).

Control (plain HTTP on http_port; JSON in and out):
    POST /_control/scenario   {"path": "/exact/path", ...fault fields...}   register (replaces)
    POST /_control/file?path=/p    body = file content                          put a file
    GET  /_control/log?prefix=/p   [{"method","path","query","headers":[[k,v]..],"body","body_b64",
                                     "tls","port","time"}, ...] requests whose path starts with prefix
    POST /_control/clear?prefix=/p forget scenarios, files and log entries under the prefix
    POST /_control/release?name=n  end the hold of that name (a later hold of it does not wait)
    GET  /_control/held?name=n     {"held": true} while an answer waits in that hold
    POST /_control/stop            exit
  Give each test a path prefix of its own (e.g. /t/<test>-<pid>/...) so parallel tests do not meet.
Scenario fault fields (all optional; they apply to the exact path, on every port):
    "status": 503, "body": "text", "headers": {"Name": "value"}  answer this status/body/headers
    "redirects": n, "location": "/final"   n 302 answers (path?hop=1..) then 302 to location
    "drop_after": n        send full headers, n body bytes, then drop the connection
    "stall": s             wait s seconds (max 120) before answering
    "pause_after": n, "pause": s   send n body bytes, then wait s seconds (max 120) before the rest
    "hold_after": n, "hold": name  send n body bytes, then wait until POST /_control/release?name=
                           names the hold (max 120 s) before the rest (or the drop of drop_after)
    "chunked": true        send the body with Transfer-Encoding: chunked, no Content-Length (the
                           answer to HEAD carries no length either)
    "no_length": true      send no Content-Length: the body ends when the connection closes
    "ignore_range": true   answer 200 with the whole body to a Range request
    "content_length": n    advertise n as Content-Length whatever the body is, then close
    "last_modified": "..." Last-Modified text ("" = no header)
    "size": n              serve the path as a virtual file of n bytes (as /_gen/)
    "auth": "proxy"|"server", "user": u, "password": p   407/401 with Basic challenge until the
                           request carries matching Proxy-Authorization/Authorization
    "times": k             apply the scenario to the next k requests only, then drop it
"""
import argparse
import base64
import json
import os
import signal
import socket
import ssl
import sys
import threading
import time
import urllib.parse
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import fixture_daemon  # noqa: E402

DEFAULT_LAST_MODIFIED = "Wed, 01 Jan 2025 00:00:00 GMT"
MAX_STALL = 120
CERT_NAMES = {"localhost": "localhost-chain", "wrongname": "wrongname", "expired": "expired",
              "selfsigned": "selfsigned", "chained": "chained-localhost-chain", "pinned": "pinned-name-chain"}
KEY_NAMES = {"localhost": "localhost", "wrongname": "wrongname", "expired": "expired",
             "selfsigned": "selfsigned", "chained": "chained-localhost", "pinned": "pinned-name"}


class State:
    def __init__(self, root):
        self.lock = threading.Lock()
        self.scenarios = {}
        self.files = {}
        self.log = []
        self.holds = {}
        self.holding = set()
        self.root = root
        self.stop = threading.Event()

    def take_scenario(self, path):
        with self.lock:
            sc = self.scenarios.get(path)
            if sc is None:
                return None
            if "times" in sc:
                sc["times"] -= 1
                if sc["times"] <= 0:
                    del self.scenarios[path]
            return dict(sc)

    def hold(self, name):
        with self.lock:
            return self.holds.setdefault(name, threading.Event())

    def wait_hold(self, name):
        event = self.hold(name)
        with self.lock:
            self.holding.add(name)
        event.wait(MAX_STALL)
        with self.lock:
            self.holding.discard(name)


STATE = None


def pattern_bytes(offset, length):
    """Bytes [offset, offset+length) of a virtual file: byte i = i % 251."""
    start = offset % 251
    block = bytes(range(251))
    out = bytearray()
    first = block[start:]
    out += first[:length]
    while len(out) < length:
        out += block[:length - len(out)]
    return bytes(out)


class Body:
    """A body that is either in memory or a virtual pattern of a given size."""

    def __init__(self, data=None, size=None):
        self.data = data
        self.size = len(data) if data is not None else size

    def chunks(self, start, end):  # [start, end)
        if self.data is not None:
            yield self.data[start:end]
            return
        pos = start
        step = 1 << 16
        while pos < end:
            n = min(step, end - pos)
            yield pattern_bytes(pos, n)
            pos += n


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "VekTestServer/1.0"

    def log_message(self, fmt, *args):  # quiet; the request log is the record
        pass

    def setup(self):
        self.request.settimeout(60)
        if isinstance(self.request, ssl.SSLSocket):
            self.request.do_handshake()
        super().setup()

    # -- request entry points
    def do_GET(self):
        self.handle_any(send_body=True)

    def do_HEAD(self):
        self.handle_any(send_body=False)

    def do_POST(self):
        self.handle_any(send_body=True)

    def do_PUT(self):
        self.handle_any(send_body=True)

    def do_DELETE(self):
        self.handle_any(send_body=True)

    def handle_any(self, send_body):
        url = urllib.parse.urlsplit(self.path)
        path = urllib.parse.unquote(url.path)
        query = urllib.parse.parse_qs(url.query)
        body = self.read_body()
        if path.startswith("/_control/"):
            self.control(path, query, body)
            return
        tls = self.request.version() if isinstance(self.request, ssl.SSLSocket) else None
        with STATE.lock:
            STATE.log.append({
                "method": self.command, "path": path, "query": url.query,
                "headers": [[k, v] for k, v in self.headers.items()],
                "body": body.decode("utf-8", "replace"),
                "body_b64": base64.b64encode(body).decode("ascii"),
                "tls": tls, "port": self.server.server_address[1], "time": time.time()})
        sc = STATE.take_scenario(path) or {}
        self.serve(path, query, sc, send_body)

    def read_body(self):
        n = int(self.headers.get("Content-Length") or 0)
        data = b""
        while len(data) < n:
            part = self.rfile.read(n - len(data))
            if not part:
                break
            data += part
        return data

    # -- content and faults
    def serve(self, path, query, sc, send_body):
        if sc.get("stall"):
            STATE.stop.wait(min(float(sc["stall"]), MAX_STALL))
        auth = sc.get("auth")
        if auth:
            header = "Proxy-Authorization" if auth == "proxy" else "Authorization"
            want = "Basic " + base64.b64encode(
                ("%s:%s" % (sc.get("user", ""), sc.get("password", ""))).encode()).decode()
            if self.headers.get(header) != want:
                code = 407 if auth == "proxy" else 401
                challenge = "Proxy-Authenticate" if auth == "proxy" else "WWW-Authenticate"
                return self.simple(code, b"authentication required", send_body,
                                   {challenge: 'Basic realm="vek-test"'})
        if sc.get("redirects"):
            hop = int(query.get("hop", ["0"])[0])
            loc = path + "?hop=%d" % (hop + 1) if hop + 1 < int(sc["redirects"]) \
                else sc.get("location", "/")
            # The chain needs the scenario for each hop: keep it while hops remain.
            if hop + 1 < int(sc["redirects"]):
                with STATE.lock:
                    STATE.scenarios.setdefault(path, dict(sc))
            return self.simple(302, b"moved", send_body, {"Location": loc})
        if "status" in sc:
            return self.simple(int(sc["status"]), sc.get("body", "").encode(), send_body,
                               sc.get("headers", {}))
        content = self.find_content(path, sc)
        if content is None:
            return self.simple(404, b"not found", send_body)
        self.send_content(content, sc, send_body)

    def find_content(self, path, sc):
        if "size" in sc:
            return Body(size=int(sc["size"]))
        with STATE.lock:
            if path in STATE.files:
                return Body(data=STATE.files[path])
        if path.startswith("/_gen/"):
            parts = path.split("/")
            try:
                return Body(size=int(parts[2]))
            except (IndexError, ValueError):
                return None
        if STATE.root:
            full = os.path.realpath(os.path.join(STATE.root, path.lstrip("/")))
            if full.startswith(os.path.realpath(STATE.root) + os.sep) and os.path.isfile(full):
                with open(full, "rb") as f:
                    return Body(data=f.read())
        if self.command in ("POST", "PUT"):
            return Body(data=b"ok")
        return None

    def send_content(self, content, sc, send_body):
        size = content.size
        start, end, status = 0, size, 200
        rng = self.headers.get("Range")
        if rng and not sc.get("ignore_range"):
            parsed = parse_range(rng, size)
            if parsed is None:
                return self.simple(416, b"", send_body, {"Content-Range": "bytes */%d" % size})
            if parsed != "ignore":
                start, end = parsed
                status = 206
        self.send_response(status)
        lm = sc.get("last_modified", DEFAULT_LAST_MODIFIED)
        if lm:
            self.send_header("Last-Modified", lm)
        self.send_header("Accept-Ranges", "bytes")
        self.send_header("Content-Type", "application/octet-stream")
        if status == 206:
            self.send_header("Content-Range", "bytes %d-%d/%d" % (start, end - 1, size))
        close_after = False
        chunked = bool(sc.get("chunked"))
        if chunked:
            self.send_header("Transfer-Encoding", "chunked")
        elif sc.get("no_length"):
            close_after = True
        elif "content_length" in sc:
            self.send_header("Content-Length", str(int(sc["content_length"])))
            close_after = True
        else:
            self.send_header("Content-Length", str(end - start))
        drop = sc.get("drop_after")
        if drop is not None or close_after:
            self.send_header("Connection", "close")
        for k, v in sc.get("headers", {}).items():
            self.send_header(k, v)
        self.end_headers()
        if send_body:
            limit = end if drop is None else min(end, start + int(drop))
            stops = []  # (offset, wait) points inside the body
            if "pause_after" in sc and start + int(sc["pause_after"]) < limit:
                stops.append((start + int(sc["pause_after"]),
                              lambda: time.sleep(min(float(sc.get("pause", 0)), 120.0))))
            if "hold" in sc:
                stops.append((min(limit, start + int(sc.get("hold_after", 0))),
                              lambda: STATE.wait_hold(sc["hold"])))
            stops.sort(key=lambda item: item[0])
            try:
                pos = start
                for offset, wait in stops + [(limit, None)]:
                    for chunk in content.chunks(pos, offset):
                        self.write_body(chunk, chunked)
                    pos = offset
                    self.wfile.flush()
                    if wait is not None:
                        wait()
                if chunked and drop is None:
                    self.wfile.write(b"0\r\n\r\n")
                    self.wfile.flush()
            except OSError:
                return  # the client went away meanwhile
        if drop is not None or close_after:
            self.drop_connection()

    def write_body(self, chunk, chunked):
        if not chunk:
            return
        if chunked:
            self.wfile.write(b"%x\r\n" % len(chunk) + chunk + b"\r\n")
        else:
            self.wfile.write(chunk)

    def drop_connection(self):
        self.close_connection = True
        try:
            self.request.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass

    def simple(self, code, body, send_body, headers=None):
        self.send_response(code)
        for k, v in (headers or {}).items():
            self.send_header(k, v)
        self.send_header("Content-Type", "text/plain")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        if send_body:
            self.wfile.write(body)

    # -- control endpoint
    def control(self, path, query, body):
        prefix = query.get("prefix", [""])[0]
        if path == "/_control/scenario":
            sc = json.loads(body or b"{}")
            with STATE.lock:
                STATE.scenarios[sc.pop("path")] = sc
            return self.reply_json({"ok": True})
        if path == "/_control/file":
            with STATE.lock:
                STATE.files[query["path"][0]] = body
            return self.reply_json({"ok": True})
        if path == "/_control/log":
            with STATE.lock:
                entries = [e for e in STATE.log if e["path"].startswith(prefix)]
            return self.reply_json(entries)
        if path == "/_control/clear":
            with STATE.lock:
                STATE.log = [e for e in STATE.log if not e["path"].startswith(prefix)]
                for table in (STATE.scenarios, STATE.files):
                    for k in [k for k in table if k.startswith(prefix)]:
                        del table[k]
            return self.reply_json({"ok": True})
        if path == "/_control/held":
            with STATE.lock:
                held = query.get("name", [""])[0] in STATE.holding
            return self.reply_json({"held": held})
        if path == "/_control/release":
            STATE.hold(query.get("name", [""])[0]).set()
            return self.reply_json({"ok": True})
        if path == "/_control/ping":
            return self.reply_json({"ok": True})
        if path == "/_control/stop":
            self.reply_json({"ok": True})
            STATE.stop.set()
            return
        self.simple(404, b"unknown control", True)

    def reply_json(self, value):
        data = json.dumps(value).encode()
        self.send_response(200)
        self.send_header("Content-Type", "application/json")
        self.send_header("Content-Length", str(len(data)))
        self.end_headers()
        self.wfile.write(data)


def parse_range(text, size):
    """(start, end) for one satisfiable byte range, None when unsatisfiable, "ignore" when the
    header is not a single byte range (then the whole body is sent, as servers do)."""
    if not text.startswith("bytes=") or "," in text:
        return "ignore"
    first, _, last = text[6:].strip().partition("-")
    try:
        if first == "":
            n = int(last)
            if n <= 0 or size == 0:
                return None
            return max(0, size - n), size
        start = int(first)
        end = int(last) + 1 if last else size
    except ValueError:
        return "ignore"
    if start >= size or end <= start:
        return None
    return start, min(end, size)


class Server(ThreadingHTTPServer):
    daemon_threads = True
    allow_reuse_address = True
    request_queue_size = 64

    def __init__(self, context):
        self.context = context
        super().__init__(("127.0.0.1", 0), Handler)

    def get_request(self):
        sock, addr = self.socket.accept()
        if self.context:
            # The handshake runs in the handler's thread (setup), never in the accept loop.
            sock = self.context.wrap_socket(sock, server_side=True, do_handshake_on_connect=False)
        return sock, addr

    def handle_error(self, request, client_address):
        pass  # dropped connections are part of the tests


def run(args):
    global STATE
    STATE = State(args.root)
    servers = {"http": Server(None)}
    for name, cert in CERT_NAMES.items():
        ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        ctx.load_cert_chain(os.path.join(args.certs, cert + ".crt"),
                            os.path.join(args.certs, KEY_NAMES[name] + ".key"))
        servers[name] = Server(ctx)
    for s in servers.values():
        threading.Thread(target=s.serve_forever, daemon=True).start()
    ports = {k: s.server_address[1] for k, s in servers.items() if k != "http"}
    info = {"pid": os.getpid(), "host": "localhost", "http_port": servers["http"].server_address[1],
            "https_port": ports["localhost"], "https_ports": ports,
            "ca": os.path.join(args.certs, "ca.crt"), "certs": args.certs}
    fixture_daemon.write_info(args.info, info)
    STATE.stop.wait()


def main():
    p = argparse.ArgumentParser()
    p.add_argument("action", choices=["start", "stop", "run"])
    p.add_argument("--info", required=True)
    p.add_argument("--certs")
    p.add_argument("--root")
    p.add_argument("--lifetime", type=float, default=1800)
    args = p.parse_args()
    if args.action == "stop":
        fixture_daemon.stop(args.info, lambda info: fixture_daemon.http_post(
            info["http_port"], "/_control/stop"))
        return
    args.certs = os.path.abspath(args.certs)
    if args.action == "run":  # foreground, for trying it by hand
        fixture_daemon.start_watchdog(None, args.lifetime, lambda: STATE.stop.set())
        run(args)
        return
    fixture_daemon.start(args.info, args.lifetime, lambda: run(args),
                         lambda: STATE and STATE.stop.set())


if __name__ == "__main__":
    main()
