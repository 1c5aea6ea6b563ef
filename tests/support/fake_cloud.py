#!/usr/bin/python3
"""A loopback stand-in for an OAuth token endpoint and the Drive v3 files interface, as far as
the stores use them; started by tests/support/fake_cloud.cpp.

  fake_cloud.py --port-file FILE     listens on 127.0.0.1 (a free port, written to FILE)

Token endpoint (any path ending in "/token"): grant_type=refresh_token with a known refresh
token gives a new access token (and, when rotation is on, a new refresh token); an unknown one
gives 400 invalid_grant. grant_type=authorization_code checks the code and its PKCE verifier.

Drive: GET /drive/v3/files (q on parents, name and trashed; pages), GET /drive/v3/files/ID
(?alt=media), POST /drive/v3/files, PATCH /drive/v3/files/ID (name, trashed, addParents,
removeParents), POST and PATCH /upload/drive/v3/files[/ID]?uploadType=resumable, then PUT to the
returned Location. Every Drive request needs a live access token, else 401.

Control (for the tests): POST /_control/<command> with a JSON body, answered with JSON:
  reset; config {key: value} (page_size, endless_paging, expires_in (null: none), rotate, rotate_revokes,
  refuse_access, revoke_access, refresh [valid tokens], upload_reset, location, token_reply
  {status, body}); add {path, content?, mimeType?, mtime?, duplicate?}; folder {path};
  bulk {folder, count}; code {code, challenge}; state (nodes, requests, token requests).
"""
import argparse
import base64
import calendar
import hashlib
import json
import os
import socket
import struct
import threading
import time
import urllib.parse
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

FOLDER = "application/vnd.google-apps.folder"

lock = threading.Lock()


def fresh_state():
    return {
        "nodes": {},
        "next_id": 1,
        "access": set(),
        "refresh": {"refresh-1"},
        "codes": {},
        "uploads": {},
        "requests": [],
        "token_requests": [],
        "config": {
            "page_size": 1000,
            "endless_paging": False,
            "expires_in": 3600,
            "rotate": False,
            "rotate_revokes": False,
            "refuse_access": False,
            "upload_reset": False,
            "location": "",
            "token_reply": None,
        },
        "counter": 0,
    }


S = fresh_state()


def new_id(prefix="id"):
    S["next_id"] += 1
    return "%s%d" % (prefix, S["next_id"])


def rfc3339(seconds):
    return time.strftime("%Y-%m-%dT%H:%M:%S.123Z", time.gmtime(seconds))


def parse_time(text):
    return calendar.timegm(time.strptime(text[:19], "%Y-%m-%dT%H:%M:%S"))


def node_json(node):
    out = {"id": node["id"], "name": node["name"], "mimeType": node["mimeType"],
           "modifiedTime": rfc3339(node["mtime"])}
    if node["mimeType"] != FOLDER:
        out["size"] = str(len(node["content"]))
    return out


def children(parent):
    return [n for n in S["nodes"].values() if parent in n["parents"] and not n["trashed"]]


def make_node(name, parent, mime, content=b"", mtime=1700000000):
    node = {"id": new_id(), "name": name, "parents": [parent], "mimeType": mime,
            "content": content, "mtime": mtime, "trashed": False}
    S["nodes"][node["id"]] = node
    return node


def node_at(path, create=False, duplicate=False, **kw):
    parent = "root"
    pieces = [p for p in path.split("/") if p]
    for i, piece in enumerate(pieces):
        last = i == len(pieces) - 1
        found = [n for n in children(parent) if n["name"] == piece]
        if last and (duplicate or not found) and create:
            return make_node(piece, parent, kw.get("mime", FOLDER), kw.get("content", b""),
                             kw.get("mtime", 1700000000))
        if not found:
            if not create:
                return None
            found = [make_node(piece, parent, FOLDER)]
        parent = found[0]["id"]
        if last:
            return found[0]
    return None


def tokenize(q):
    """Words and quoted strings of the Drive query language (backslash escapes)."""
    out, i = [], 0
    while i < len(q):
        c = q[i]
        if c == " ":
            i += 1
        elif c == "'":
            i += 1
            text = ""
            while i < len(q) and q[i] != "'":
                if q[i] == "\\":
                    i += 1
                text += q[i]
                i += 1
            i += 1
            out.append(("str", text))
        else:
            j = i
            while j < len(q) and q[j] != " ":
                j += 1
            out.append(("word", q[i:j]))
            i = j
    return out


def run_query(q):
    toks = tokenize(q)
    parent, name, trashed = None, None, None
    i = 0
    while i < len(toks):
        kind, value = toks[i]
        if kind == "str" and toks[i + 1] == ("word", "in") and toks[i + 2] == ("word", "parents"):
            parent = value
            i += 3
        elif toks[i] == ("word", "name") and toks[i + 1] == ("word", "="):
            name = toks[i + 2][1]
            i += 3
        elif toks[i] == ("word", "trashed") and toks[i + 1] == ("word", "="):
            trashed = toks[i + 2][1]
            i += 3
        elif toks[i] == ("word", "and"):
            i += 1
        else:
            raise ValueError("query not understood: " + q)
    if parent is None or trashed != "false":
        raise ValueError("query not understood: " + q)
    return [n for n in children(parent) if name is None or n["name"] == name]


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, *args):
        pass

    def reply(self, status, body=b"", headers=None, kind="application/json"):
        if isinstance(body, (dict, list)):
            body = json.dumps(body).encode()
        self.send_response(status)
        self.send_header("Content-Type", kind)
        self.send_header("Content-Length", str(len(body)))
        for k, v in (headers or {}).items():
            self.send_header(k, v)
        self.end_headers()
        self.wfile.write(body)

    def read_body(self):
        length = int(self.headers.get("Content-Length") or 0)
        return self.rfile.read(length) if length else b""

    def do_GET(self):
        self.handle_any("GET")

    def do_POST(self):
        self.handle_any("POST")

    def do_PATCH(self):
        self.handle_any("PATCH")

    def do_PUT(self):
        self.handle_any("PUT")

    def do_DELETE(self):
        self.handle_any("DELETE")

    def handle_any(self, method):
        url = urllib.parse.urlsplit(self.path)
        query = dict(urllib.parse.parse_qsl(url.query, keep_blank_values=True))
        if url.path.startswith("/_control/"):
            body = self.read_body()
            with lock:
                return self.control(url.path[len("/_control/"):], json.loads(body or b"{}"))
        if method == "PUT" and url.path.startswith("/upload/put/"):
            return self.upload_put(url.path.rsplit("/", 1)[1])
        body = self.read_body()
        with lock:
            S["requests"].append({"method": method, "path": self.path,
                                  "auth": self.headers.get("Authorization", ""),
                                  "body": body.decode("utf-8", "replace"),
                                  "length": self.headers.get("X-Upload-Content-Length", "")})
            if url.path.endswith("/token"):
                return self.token(body)
            auth = self.headers.get("Authorization", "")
            if S["config"]["refuse_access"] or not auth.startswith("Bearer ") or \
                    auth[7:] not in S["access"]:
                return self.reply(401, {"error": {"code": 401, "message": "Invalid Credentials"}})
            try:
                return self.drive(method, url.path, query, body)
            except ValueError as e:
                return self.reply(400, {"error": {"code": 400, "message": str(e)}})

    def token(self, body):
        form = dict(urllib.parse.parse_qsl(body.decode(), keep_blank_values=True))
        S["token_requests"].append(form)
        if S["config"]["token_reply"]:
            reply = S["config"]["token_reply"]
            return self.reply(reply["status"], reply["body"].encode())
        grant = form.get("grant_type")
        if grant == "refresh_token":
            if form.get("refresh_token") not in S["refresh"]:
                return self.reply(400, {"error": "invalid_grant",
                                        "error_description": "Token has been expired or revoked."})
            answer = {}
            if S["config"]["rotate"]:
                S["counter"] += 1
                rotated = "refresh-r%d" % S["counter"]
                S["refresh"].add(rotated)
                if S["config"]["rotate_revokes"]:
                    S["refresh"].discard(form.get("refresh_token"))
                answer["refresh_token"] = rotated
        elif grant == "authorization_code":
            expected = S["codes"].pop(form.get("code"), None)
            verifier = form.get("code_verifier", "").encode()
            challenge = base64.urlsafe_b64encode(hashlib.sha256(verifier).digest()).rstrip(b"=")
            if expected is None or challenge.decode() != expected:
                return self.reply(400, {"error": "invalid_grant"})
            S["counter"] += 1
            answer = {"refresh_token": "refresh-login%d" % S["counter"]}
            S["refresh"].add(answer["refresh_token"])
        else:
            return self.reply(400, {"error": "unsupported_grant_type"})
        S["counter"] += 1
        access = "access-%d" % S["counter"]
        S["access"].add(access)
        answer["access_token"] = access
        answer["token_type"] = "Bearer"
        if S["config"]["expires_in"] is not None:
            answer["expires_in"] = S["config"]["expires_in"]
        return self.reply(200, answer)

    def drive(self, method, path, query, body):
        if path == "/drive/v3/files" and method == "GET":
            files = run_query(query.get("q", ""))
            size = min(int(query.get("pageSize", "100")), S["config"]["page_size"])
            start = int(query.get("pageToken") or 0)
            page = files[start:start + size]
            answer = {"files": [node_json(n) for n in page]}
            if S["config"]["endless_paging"]:
                answer["nextPageToken"] = str(start)
            elif start + size < len(files):
                answer["nextPageToken"] = str(start + size)
            return self.reply(200, answer)
        if path.startswith("/drive/v3/files/") and method == "GET":
            node = S["nodes"].get(path.rsplit("/", 1)[1])
            if node is None or node["trashed"]:
                return self.reply(404, {"error": {"code": 404, "message": "File not found"}})
            if query.get("alt") == "media":
                return self.reply(200, node["content"], kind="application/octet-stream")
            return self.reply(200, node_json(node))
        if path == "/drive/v3/files" and method == "POST":
            meta = json.loads(body)
            node = make_node(meta["name"], meta["parents"][0], meta.get("mimeType", ""))
            return self.reply(200, node_json(node))
        if path.startswith("/drive/v3/files/") and method == "PATCH":
            node = S["nodes"].get(path.rsplit("/", 1)[1])
            if node is None:
                return self.reply(404, {"error": {"code": 404, "message": "File not found"}})
            meta = json.loads(body)
            if "addParents" in query:
                node["parents"] = [p for p in node["parents"] if p != query["removeParents"]]
                node["parents"].append(query["addParents"])
            if "name" in meta:
                node["name"] = meta["name"]
            if meta.get("trashed"):
                node["trashed"] = True
            return self.reply(200, node_json(node))
        if path.startswith("/upload/drive/v3/files") and method in ("POST", "PATCH"):
            if query.get("uploadType") != "resumable":
                raise ValueError("not resumable")
            meta = json.loads(body)
            target = None
            if method == "PATCH":
                target = path.rsplit("/", 1)[1]
                if target not in S["nodes"]:
                    return self.reply(404, {"error": {"code": 404, "message": "File not found"}})
            upload = new_id("upload-")
            S["uploads"][upload] = {"meta": meta, "target": target,
                                    "length": int(self.headers.get("X-Upload-Content-Length"))}
            host = self.headers.get("Host")
            location = S["config"]["location"] or \
                "http://%s/upload/put/%s?upload_id=%s" % (host, upload, upload)
            return self.reply(200, b"", {"Location": location})
        return self.reply(404, {"error": {"code": 404, "message": "no such call"}})

    def upload_put(self, upload):
        length = int(self.headers.get("Content-Length") or 0)
        with lock:
            S["requests"].append({"method": "PUT", "path": self.path,
                                  "auth": self.headers.get("Authorization", ""), "body": "",
                                  "length": str(length)})
            reset = S["config"]["upload_reset"]
            job = S["uploads"].pop(upload, None)
        if reset:
            self.rfile.read(min(length, 1024))
            self.connection.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
            self.connection.close()
            self.close_connection = True
            return
        content = self.rfile.read(length)
        with lock:
            if job is None or len(content) != job["length"]:
                return self.reply(404, {"error": {"code": 404, "message": "upload unknown"}})
            meta = job["meta"]
            if job["target"]:
                node = S["nodes"][job["target"]]
                node["content"] = content
            else:
                node = make_node(meta["name"], meta["parents"][0], "application/octet-stream",
                                 content)
            if "modifiedTime" in meta:
                node["mtime"] = parse_time(meta["modifiedTime"])
            return self.reply(200, node_json(node))

    def control(self, command, args):
        global S
        if command == "reset":
            S = fresh_state()
        elif command == "config":
            S["config"].update(args)
            if args.get("revoke_access"):
                S["access"].clear()
            if "refresh" in args:
                S["refresh"] = set(args["refresh"])
        elif command == "add":
            node = node_at(args["path"], create=True, duplicate=args.get("duplicate", False),
                           mime=args.get("mimeType", "application/octet-stream"),
                           content=args.get("content", "").encode(),
                           mtime=args.get("mtime", 1700000000))
            return self.reply(200, {"id": node["id"]})
        elif command == "folder":
            node = node_at(args["path"], create=True)
            return self.reply(200, {"id": node["id"]})
        elif command == "bulk":
            folder = node_at(args["folder"], create=True)
            for i in range(args["count"]):
                make_node("f%05d" % i, folder["id"], "application/octet-stream", b"x")
        elif command == "code":
            S["codes"][args["code"]] = args["challenge"]
        elif command == "state":
            nodes = []
            for n in S["nodes"].values():
                nodes.append({"id": n["id"], "name": n["name"], "parents": n["parents"],
                              "mimeType": n["mimeType"], "trashed": n["trashed"],
                              "mtime": n["mtime"], "content": n["content"].decode("latin-1")})
            return self.reply(200, {"nodes": nodes, "requests": S["requests"],
                                    "token_requests": S["token_requests"],
                                    "uploads": len(S["uploads"])})
        else:
            return self.reply(404, {"error": "unknown control " + command})
        return self.reply(200, {})


ap = argparse.ArgumentParser()
ap.add_argument("--port-file", required=True)
a = ap.parse_args()
server = ThreadingHTTPServer(("127.0.0.1", 0), Handler)
server.daemon_threads = True
with open(a.port_file + ".tmp", "w") as f:
    f.write(str(server.server_address[1]))
os.rename(a.port_file + ".tmp", a.port_file)
server.serve_forever()
