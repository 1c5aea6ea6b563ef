"""What the fake web stores share: a threaded loopback HTTP/1.1 server, a token endpoint, a request
log, scripted faults and a case-insensitive, case-keeping folder of real files.

The state folder DIR holds:
  root/            the store's files
  requests.log     one JSON object per request: method, path, auth, range, arg, length
  faults.json      optional list of rules; the first rule that matches a request is applied
                   and used up:
                     {"method": "PUT", "path": "substring", "skip": 0, "times": 1,
                      "status": 401, "body": "...", "reset": false}
                   "skip" requests that match go through first; "reset" reads the request
                   body and then drops the connection without an answer.
  config.json      optional settings of the store (page sizes, hosts of the links it names)
"""
import argparse
import json
import os
import socket
import struct
import threading
import unicodedata
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

lock = threading.RLock()


def arguments():
    ap = argparse.ArgumentParser()
    ap.add_argument("--dir", required=True)
    ap.add_argument("--host", default="127.0.0.1")
    return ap.parse_args()


class State:
    def __init__(self, folder):
        self.dir = folder
        self.root = os.path.join(folder, "root")
        os.makedirs(self.root, exist_ok=True)
        self.tokens = 0
        self.port = 0

    def config(self):
        try:
            with open(os.path.join(self.dir, "config.json")) as f:
                return json.load(f)
        except (OSError, ValueError):
            return {}

    def log(self, entry):
        with lock, open(os.path.join(self.dir, "requests.log"), "a") as f:
            f.write(json.dumps(entry) + "\n")

    def fault_for(self, method, path):
        """The rule that applies to this request, used up; None when there is none."""
        name = os.path.join(self.dir, "faults.json")
        with lock:
            try:
                with open(name) as f:
                    rules = json.load(f)
            except (OSError, ValueError):
                return None
            chosen = None
            for rule in rules:
                if rule.get("times", 1) <= 0:
                    continue
                if rule.get("method") and rule["method"] != method:
                    continue
                if rule.get("path", "") not in path:
                    continue
                if rule.get("skip", 0) > 0:
                    rule["skip"] -= 1
                    continue
                rule["times"] = rule.get("times", 1) - 1
                chosen = rule
                break
            with open(name + ".tmp", "w") as f:
                json.dump(rules, f)
            os.replace(name + ".tmp", name)
            return chosen

    # Paths are lists of names; lookups ignore case as the real stores do.
    def resolve(self, names):
        """The disk path of the item, or None."""
        here = self.root
        for name in names:
            if not os.path.isdir(here):
                return None
            key = fold(name)
            match = [n for n in os.listdir(here) if fold(n) == key]
            if not match:
                return None
            here = os.path.join(here, match[0])
        return here

    def place(self, names):
        """Where a new item of these names goes: its parent must exist as a folder; an existing
        item of another case keeps its name. None when the parent is missing."""
        parent = self.resolve(names[:-1])
        if parent is None or not os.path.isdir(parent):
            return None
        found = self.resolve(names)
        return found if found is not None else os.path.join(parent, names[-1])


def fold(name):
    return unicodedata.normalize("NFC", name).casefold()


def split_path(text):
    return [p for p in text.split("/") if p]


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    state = None  # set by serve()

    def log_message(self, *args):
        pass

    def send_error(self, code, message=None, explain=None):
        self.state.log({"error": code, "line": repr(self.raw_requestline)})
        super().send_error(code, message, explain)

    def body(self):
        if hasattr(self, "_body"):
            return self._body
        length = int(self.headers.get("Content-Length") or 0)
        self._body = self.rfile.read(length) if length else b""
        return self._body

    def reply(self, status, payload=b"", content_type="application/json", headers=None):
        if isinstance(payload, (dict, list)) or payload is None:
            payload = json.dumps(payload).encode()
        elif isinstance(payload, str):
            payload = payload.encode()
        self.send_response(status)
        self.send_header("Content-Type", content_type)
        self.send_header("Content-Length", str(len(payload)))
        for k, v in (headers or {}).items():
            self.send_header(k, v)
        self.end_headers()
        if self.command != "HEAD":
            self.wfile.write(payload)

    def reset(self):
        self.body()
        self.connection.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        self.close_connection = True
        self.connection.close()

    def bearer(self):
        auth = self.headers.get("Authorization", "")
        return auth[len("Bearer "):] if auth.startswith("Bearer ") else ""

    def authorised(self):
        token = self.bearer()
        return token.startswith("tok-") and int(token[4:]) <= self.state.tokens

    def serve_token(self):
        form = self.body().decode()
        if "grant_type=refresh_token" not in form or "refresh_token=" not in form:
            return self.reply(400, {"error": "invalid_request"})
        with lock:
            self.state.tokens += 1
            n = self.state.tokens
        return self.reply(200, {"access_token": f"tok-{n}", "expires_in": 3600,
                                "token_type": "bearer"})

    def dispatch(self):
        # One handler serves every request of a kept-alive connection.
        self.__dict__.pop("_body", None)
        entry = {"method": self.command, "path": self.path,
                 "auth": self.headers.get("Authorization", ""),
                 "range": self.headers.get("Content-Range", ""),
                 "arg": self.headers.get("Dropbox-API-Arg", ""),
                 "length": int(self.headers.get("Content-Length") or 0)}
        self.state.log(entry)
        rule = self.state.fault_for(self.command, self.path)
        if rule:
            if rule.get("reset"):
                return self.reset()
            self.body()
            return self.reply(rule.get("status", 500), rule.get("body", ""),
                              headers=rule.get("headers"))
        if self.path.split("?")[0].endswith("/token") and self.command == "POST":
            return self.serve_token()
        return self.handle_store()

    do_GET = do_POST = do_PUT = do_PATCH = do_DELETE = lambda self: self.dispatch()


def serve(handler_class, a):
    state = State(a.dir)
    handler_class.state = state
    server = ThreadingHTTPServer((a.host, 0), handler_class)
    server.daemon_threads = True
    state.port = server.server_address[1]
    print(f"listening {a.host} port={state.port}", flush=True)
    server.serve_forever()
