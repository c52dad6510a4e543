#!/usr/bin/python3
"""A stand-in for the Twitter REST API on 127.0.0.1 over HTTPS.

Every request's OAuth 1.0a signature is checked with oauthlib (an
implementation independent of the program's own signer) against the consumer
secret and token secret given on the command line. Each request is recorded
as one line in the record file before the reply goes out, so a client that
has its reply can read its record. The line holds, separated by blanks:
method, path, query, body and the header block ("Name: value" lines), each
hex-encoded so any byte survives, then valid (1 when the signature held),
replay (1 when its nonce and timestamp were seen before) and the status
sent.

Replies: 401 for a bad signature or a reused nonce; 403 with an error body for a status that
begins with "REFUSE"; token replies and pages for the authorization flow;
a gzip-encoded body for verify_credentials when the client accepts gzip;
a body of 9 MiB for trends/weekly;
"{}" otherwise. The server stops by itself after --lifetime seconds.
"""
import argparse
import gzip
import http.server
import json
import os
import ssl
import threading
import types
import urllib.parse

from oauthlib.oauth1.rfc5849 import signature as oauth_signature
from oauthlib.oauth1.rfc5849 import utils as oauth_utils

AUTHORIZE_PAGE = (
    '<html><body><form action="/oauth/authorize" method="post">'
    '<input name="authenticity_token" type="hidden" value="AUTH123" />'
    '<input id="oauth_token" name="oauth_token" type="hidden" value="{token}" />'
    '</form></body></html>')
PIN_PAGE = '<html><body><kbd aria-labelledby="code-desc"><code>4711</code></kbd></body></html>'


def make_handler(args, record_lock, seen_nonces):
    class Handler(http.server.BaseHTTPRequestHandler):
        protocol_version = "HTTP/1.1"

        def log_message(self, fmt, *values):
            pass

        def handle_any(self):
            length = int(self.headers.get("Content-Length", "0") or "0")
            raw_body = self.rfile.read(length) if length > 0 else b""
            body = raw_body.decode("utf-8", "replace")
            split = urllib.parse.urlsplit(self.path)
            headers = {k: v for k, v in self.headers.items()}
            valid, nonce_key, error = self.check_signature(split, headers, body)
            with record_lock:
                replay = nonce_key is not None and nonce_key in seen_nonces
                if nonce_key is not None:
                    seen_nonces.add(nonce_key)
            status, reply, extra = self.choose_reply(split, headers, body, valid and not replay)
            header_block = "".join("%s: %s\n" % (k, v) for k, v in headers.items())
            entry = " ".join([
                self.command, split.path.encode().hex() or "-", split.query.encode().hex() or "-",
                raw_body.hex() or "-", header_block.encode().hex() or "-",
                "1" if valid else "0", "1" if replay else "0", str(status)])
            with record_lock:
                with open(args.record, "a", encoding="utf-8") as out:
                    out.write(entry + "\n")
            if error and args.verbose:
                print("request %s %s: %s" % (self.command, self.path, error), flush=True)
            self.send_response(status)
            for name, value in extra.items():
                self.send_header(name, value)
            self.send_header("Content-Length", str(len(reply)))
            self.end_headers()
            self.wfile.write(reply)

        def check_signature(self, split, headers, body):
            auth = headers.get("Authorization", "")
            if not auth.startswith("OAuth "):
                return False, None, "no OAuth header"
            try:
                fields = dict(oauth_utils.parse_authorization_header(auth))
                form = headers.get("Content-Type", "").startswith("application/x-www-form-urlencoded")
                params = oauth_signature.collect_parameters(
                    uri_query=split.query, body=body if (form and body) else None,
                    headers={"Authorization": auth}, exclude_oauth_signature=True)
                request = types.SimpleNamespace(
                    params=params, http_method=self.command,
                    uri="https://" + headers.get("Host", "") + self.path,
                    # Header values travel percent-encoded (RFC 5849 3.5.1).
                    signature=oauth_utils.unescape(fields.get("oauth_signature", "")))
                ok = oauth_signature.verify_hmac_sha1(request, args.consumer_secret, args.token_secret)
                nonce_key = (fields.get("oauth_nonce"), fields.get("oauth_timestamp"))
                return ok, nonce_key, "" if ok else "signature mismatch"
            except Exception as exc:  # a malformed request is recorded, not fatal
                return False, None, repr(exc)

        def choose_reply(self, split, headers, body, valid):
            path = split.path
            if not valid and not path.startswith("/oauth/"):
                return 401, b'{"errors":[{"code":32,"message":"Could not authenticate you."}]}', {}
            if path == "/oauth/request_token":
                return 200, b"oauth_token=RT42&oauth_token_secret=RS42&oauth_callback_confirmed=true", {}
            if path == "/oauth/authorize":
                if self.command == "GET":
                    token = urllib.parse.parse_qs(split.query).get("oauth_token", [""])[0]
                    return 200, AUTHORIZE_PAGE.format(token=token).encode(), {}
                return 200, PIN_PAGE.encode(), {}
            if path == "/oauth/access_token":
                return 200, b"oauth_token=AT7&oauth_token_secret=AS7&user_id=1&screen_name=zentok", {}
            if path.endswith("/statuses/update.json"):
                status = urllib.parse.parse_qs(body).get("status", [""])[0]
                if status.startswith("REFUSE"):
                    return 403, b'{"errors":[{"code":187,"message":"Status is a duplicate."}]}', {}
                return 200, json.dumps({"id_str": "1", "text": status}).encode(), {}
            if path.endswith("/trends/weekly.json"):
                return 200, b"[" + b" " * (9 << 20) + b"]", {}
            if path.endswith("/account/verify_credentials.json"):
                reply = b'{"screen_name":"zentok"}'
                if "gzip" in headers.get("Accept-Encoding", ""):
                    return 200, gzip.compress(reply), {"Content-Encoding": "gzip"}
                return 200, reply, {}
            return 200, b"{}", {}

        do_GET = handle_any
        do_POST = handle_any
        do_DELETE = handle_any

    return Handler


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--port", type=int, required=True)
    parser.add_argument("--cert", required=True)
    parser.add_argument("--key", required=True)
    parser.add_argument("--record", required=True)
    parser.add_argument("--consumer-secret", required=True)
    parser.add_argument("--token-secret", default="")
    parser.add_argument("--lifetime", type=float, default=120.0)
    parser.add_argument("--verbose", action="store_true")
    args = parser.parse_args()

    server = http.server.ThreadingHTTPServer(("127.0.0.1", args.port),
                                             make_handler(args, threading.Lock(), set()))
    server.daemon_threads = True
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(args.cert, args.key)
    server.socket = context.wrap_socket(server.socket, server_side=True)
    timer = threading.Timer(args.lifetime, lambda: os._exit(0))
    timer.daemon = True
    timer.start()
    server.serve_forever()


if __name__ == "__main__":
    main()
