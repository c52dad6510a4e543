#!/usr/bin/python3
"""Records webhook posts on 127.0.0.1, over plain HTTP or, given --cert and
--key, over HTTPS.

Each request is recorded as one line before the reply goes out, so a client
that has its reply can read its record. The line holds, separated by blanks:
the method, then path, header block ("Name: value" lines) and body, each
hex-encoded so any byte survives, then the body as Python's json module reads
it: the members of a JSON object as "name:type:hexvalue" items joined by ","
(type s for a string, its UTF-8 bytes; n for a number, its repr; z for
null; o for anything else, its JSON text), or "-" when the body is not
strict JSON (not UTF-8, NaN or Infinity, a repeated member name, or no
object at all). Why a body was refused is printed.

Replies: the status NNN for a path "/status/NNN" (with a Location header for
3xx), 200 "ok" after MS milliseconds for a path "/delay/MS" (a receiver that
answers slowly), 200 "ok" otherwise. The server stops by itself after --lifetime
seconds.
"""
import argparse
import http.server
import json
import os
import ssl
import threading
import time


def refuse_constant(name):
    raise ValueError("not JSON: " + name)


def unique_members(pairs):
    names = [name for name, _ in pairs]
    if len(names) != len(set(names)):
        raise ValueError("repeated member name")
    return dict(pairs)


def json_items(raw_body):
    """The members of the body's JSON object as record items, or "-"."""
    try:
        parsed = json.loads(raw_body.decode("utf-8"), parse_constant=refuse_constant,
                            object_pairs_hook=unique_members)
    except ValueError as error:  # UnicodeDecodeError and JSONDecodeError too
        print("body refused: %s" % error, flush=True)
        return "-"
    if not isinstance(parsed, dict):
        print("body refused: not an object", flush=True)
        return "-"
    items = []
    for name, value in parsed.items():
        if isinstance(value, str):
            kind, text = "s", value.encode("utf-8", "surrogatepass")
        elif isinstance(value, (int, float)) and not isinstance(value, bool):
            kind, text = "n", repr(value).encode()
        elif value is None:
            kind, text = "z", b""
        else:
            kind, text = "o", json.dumps(value).encode()
        items.append("%s:%s:%s" % (name.encode().hex(), kind, text.hex() or "-"))
    return ",".join(items) or "-"


def make_handler(record, lock):
    class Handler(http.server.BaseHTTPRequestHandler):
        protocol_version = "HTTP/1.1"
        # The answer goes out in two writes (head, then body); without this
        # the body waits for the client's delayed ACK, 40 ms on every post.
        disable_nagle_algorithm = True

        def log_message(self, fmt, *values):
            pass

        def do_POST(self):
            length = int(self.headers.get("Content-Length", "0") or "0")
            body = self.rfile.read(length) if length > 0 else b""
            header_block = "".join("%s: %s\n" % (k, v) for k, v in self.headers.items())
            entry = " ".join([self.command, self.path.encode().hex() or "-",
                              header_block.encode("latin-1").hex() or "-",
                              body.hex() or "-", json_items(body)])
            with lock:
                with open(record, "a", encoding="utf-8") as out:
                    out.write(entry + "\n")
            status, reply = 200, b"ok"
            if self.path.startswith("/status/") and self.path[8:].isdigit():
                status, reply = int(self.path[8:]), b"status"
            if self.path.startswith("/delay/") and self.path[7:].isdigit():
                time.sleep(int(self.path[7:]) / 1000.0)
            self.send_response(status)
            if 300 <= status < 400:
                self.send_header("Location", "/moved")
            self.send_header("Content-Length", str(len(reply)))
            self.end_headers()
            self.wfile.write(reply)

    return Handler


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--port", type=int, required=True)
    parser.add_argument("--record", required=True)
    parser.add_argument("--cert")
    parser.add_argument("--key")
    parser.add_argument("--lifetime", type=float, default=120.0)
    args = parser.parse_args()

    server = http.server.ThreadingHTTPServer(("127.0.0.1", args.port),
                                             make_handler(args.record, threading.Lock()))
    server.daemon_threads = True
    if args.cert:
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(args.cert, args.key)
        server.socket = context.wrap_socket(server.socket, server_side=True)
    timer = threading.Timer(args.lifetime, lambda: os._exit(0))
    timer.daemon = True
    timer.start()
    server.serve_forever()


if __name__ == "__main__":
    main()
