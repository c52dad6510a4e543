#!/usr/bin/python3
"""A stand-in for an ntfy server on 127.0.0.1: publishing and polling.

A POST to /TOPIC publishes its body as a message of TOPIC and records one line:
the path, the Actions header and the body, each hex-encoded ("-" when empty).
Lines a test appends to the --inject file ("TOPIC MESSAGE") are published too,
each once. GET /TOPIC/json?poll=1&since=X answers the messages of TOPIC after
message id X (or after unix time X; "all" for every one), one JSON object a
line, as ntfy does, and records the path. The server stops by itself after
--lifetime seconds.
"""
import argparse
import http.server
import json
import os
import threading
import time
import urllib.parse

MESSAGES = []
STATE = {"injected": 0}


def publish(topic, text):
    MESSAGES.append({"id": "m%04d" % (len(MESSAGES) + 1), "time": int(time.time()),
                     "event": "message", "topic": topic, "message": text})


def take_injected(inject):
    if not inject:
        return
    try:
        with open(inject, encoding="utf-8") as source:
            lines = [line for line in source.read().split("\n") if line.strip()]
    except OSError:
        return
    for line in lines[STATE["injected"]:]:
        topic, _, text = line.partition(" ")
        publish(topic, text)
    STATE["injected"] = len(lines)


def after(topic, since):
    mine = [m for m in MESSAGES if m["topic"] == topic]
    if since == "all":
        return mine
    ids = [m["id"] for m in mine]
    if since in ids:
        return mine[ids.index(since) + 1:]
    try:
        return [m for m in mine if m["time"] >= int(since)]
    except ValueError:
        return mine


def make_handler(record, inject, lock):
    class Handler(http.server.BaseHTTPRequestHandler):
        protocol_version = "HTTP/1.1"

        def log_message(self, fmt, *values):
            pass

        def write_record(self, *fields):
            with open(record, "a", encoding="utf-8") as out:
                out.write(" ".join(field.encode().hex() or "-" for field in fields) + "\n")

        def answer(self, data):
            self.send_response(200)
            self.send_header("Content-Type", "application/json")
            self.send_header("Content-Length", str(len(data)))
            self.end_headers()
            self.wfile.write(data)

        def do_POST(self):
            length = int(self.headers.get("Content-Length", "0") or "0")
            body = self.rfile.read(length) if length > 0 else b""
            with lock:
                take_injected(inject)
                self.write_record(self.path, self.headers.get("Actions", ""), body.decode("utf-8", "replace"))
                publish(self.path.strip("/"), body.decode("utf-8", "replace"))
            self.answer(json.dumps(MESSAGES[-1]).encode())

        def do_GET(self):
            url = urllib.parse.urlparse(self.path)
            since = urllib.parse.parse_qs(url.query).get("since", ["all"])[0]
            topic = url.path.strip("/").split("/")[0]
            with lock:
                take_injected(inject)
                self.write_record(self.path, "", "")
                found = after(topic, since)
            self.answer("".join(json.dumps(m) + "\n" for m in found).encode())

    return Handler


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--port", type=int, required=True)
    parser.add_argument("--record", required=True)
    parser.add_argument("--inject", default="")
    parser.add_argument("--lifetime", type=float, default=120.0)
    args = parser.parse_args()
    server = http.server.ThreadingHTTPServer(
        ("127.0.0.1", args.port), make_handler(args.record, args.inject, threading.Lock()))
    server.daemon_threads = True
    timer = threading.Timer(args.lifetime, lambda: os._exit(0))
    timer.daemon = True
    timer.start()
    server.serve_forever()


if __name__ == "__main__":
    main()
