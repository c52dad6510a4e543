#!/usr/bin/python3
"""A stand-in for Telegram's Bot API on 127.0.0.1, for sendMessage.

Each request is recorded as one line before the reply goes out: the path and
the body, each hex-encoded, separated by a blank. Replies follow the Bot
API's form: the token "1:refused" gets 401 Unauthorized; chat id 429 gets
429 with parameters.retry_after 7; anything else 200 with ok true. The
server stops by itself after --lifetime seconds.

getUpdates serves the updates a test appends to the --updates file, one
JSON object a line; the update_id of line N (from 0) is 1000 + N. Updates
below the offset asked for are confirmed and never served again; with none
waiting the call holds until one comes or its timeout passes (a long poll).
getUpdates calls are recorded too, under their path.
"""
import argparse
import http.server
import json
import os
import threading
import time

CONFIRMED = {"below": 0}


def waiting_updates(updates_file, offset, limit):
    CONFIRMED["below"] = max(CONFIRMED["below"], offset)
    try:
        with open(updates_file, encoding="utf-8") as source:
            lines = [line for line in source.read().split("\n") if line.strip()]
    except OSError:
        return []
    found = []
    for number, line in enumerate(lines):
        update_id = 1000 + number
        if update_id < CONFIRMED["below"]:
            continue
        try:
            body = json.loads(line)
        except ValueError:
            body = {"raw": line}
        # The Bot API writes the id first.
        update = {"update_id": update_id}
        update.update(body)
        found.append(update)
    return found[:max(1, limit)]


def get_updates(updates_file, body):
    try:
        asked = json.loads(body.decode("utf-8"))
    except (ValueError, UnicodeDecodeError):
        asked = {}
    offset = int(asked.get("offset", 0) or 0)
    limit = int(asked.get("limit", 100) or 100)
    deadline = time.monotonic() + min(float(asked.get("timeout", 0) or 0), 30.0)
    while True:
        found = waiting_updates(updates_file, offset, limit)
        if found or time.monotonic() >= deadline:
            return 200, {"ok": True, "result": found}
        time.sleep(0.05)


def reply_for(path, body):
    try:
        chat = json.loads(body.decode("utf-8")).get("chat_id")
    except (ValueError, AttributeError):
        chat = None
    if path.startswith("/bot1:refused/"):
        return 401, {"ok": False, "error_code": 401, "description": "Unauthorized"}
    if chat == 429:
        return 429, {"ok": False, "error_code": 429,
                     "description": "Too Many Requests: retry after 7",
                     "parameters": {"retry_after": 7}}
    return 200, {"ok": True, "result": {"message_id": 1, "chat": {"id": chat}}}


def make_handler(record, lock, updates_file):
    class Handler(http.server.BaseHTTPRequestHandler):
        protocol_version = "HTTP/1.1"

        def log_message(self, fmt, *values):
            pass

        def do_POST(self):
            length = int(self.headers.get("Content-Length", "0") or "0")
            body = self.rfile.read(length) if length > 0 else b""
            with lock:
                with open(record, "a", encoding="utf-8") as out:
                    out.write("%s %s\n" % (self.path.encode().hex(), body.hex() or "-"))
            if self.path.endswith("/getUpdates") and updates_file:
                status, answer = get_updates(updates_file, body)
            else:
                status, answer = reply_for(self.path, body)
            data = json.dumps(answer).encode()
            self.send_response(status)
            self.send_header("Content-Type", "application/json")
            self.send_header("Content-Length", str(len(data)))
            self.end_headers()
            self.wfile.write(data)

    return Handler


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--port", type=int, required=True)
    parser.add_argument("--record", required=True)
    parser.add_argument("--lifetime", type=float, default=120.0)
    parser.add_argument("--updates", default="")
    args = parser.parse_args()
    server = http.server.ThreadingHTTPServer(("127.0.0.1", args.port),
                                             make_handler(args.record, threading.Lock(), args.updates))
    server.daemon_threads = True
    timer = threading.Timer(args.lifetime, lambda: os._exit(0))
    timer.daemon = True
    timer.start()
    server.serve_forever()


if __name__ == "__main__":
    main()
