#!/usr/bin/python3
"""A loopback stand-in for the graph drive API as the OneDrive store uses it: items by path below
/v1.0/me/drive/root, children pages linked by "@odata.nextLink", folders made with a conflict
behaviour, moves and time changes by PATCH, deletes, small files by PUT .../content and others
through upload sessions taken in pieces with Content-Range; downloads from an address of their
own that wants no token. Started by fake_store.sh; see fake_store_common.py for DIR.

config.json: {"page_size": 200, "next_host": "127.0.0.1", "download_base": "http://...",
              "loop": false (every next page link leads back to the first page)}
"""
import calendar
import itertools
import json
import os
import re
import shutil
import sys
import time
import urllib.parse

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import fake_store_common as common  # noqa: E402

BASE = "/v1.0/me/drive/root"
UNRESERVED = re.compile(r"^[A-Za-z0-9\-._~%/:]*$")
sessions = {}
session_ids = itertools.count(1)


def iso(seconds):
    return time.strftime("%Y-%m-%dT%H:%M:%SZ", time.gmtime(seconds))


def parse_iso(text):
    return calendar.timegm(time.strptime(text[:19], "%Y-%m-%dT%H:%M:%S"))


def error(code, message):
    return {"error": {"code": code, "message": message}}


class Graph(common.Handler):
    def item(self, disk, names, select):
        st = os.stat(disk)
        obj = {"name": os.path.basename(disk) if names else "root",
               "id": str(st.st_ino),
               "lastModifiedDateTime": iso(st.st_mtime),
               "fileSystemInfo": {"lastModifiedDateTime": iso(st.st_mtime)}}
        if os.path.isdir(disk):
            obj["folder"] = {"childCount": len(os.listdir(disk))}
            obj["size"] = 0
        else:
            obj["file"] = {"mimeType": "application/octet-stream"}
            obj["size"] = st.st_size
            base = self.state.config().get("download_base",
                                           f"http://127.0.0.1:{self.state.port}")
            obj["@microsoft.graph.downloadUrl"] = (
                base + "/dl?path=" + urllib.parse.quote("/".join(names), safe=""))
        if select:
            obj = {k: v for k, v in obj.items() if k in select}
        return obj

    def handle_store(self):
        raw, _, query = self.path.partition("?")
        params = urllib.parse.parse_qs(query)
        if raw == "/dl":
            return self.serve_download(params)
        if raw.startswith("/upload/"):
            return self.serve_piece(raw[len("/upload/"):])
        if not raw.startswith(BASE):
            return self.reply(404, error("itemNotFound", "no such address"))
        if not UNRESERVED.match(raw):
            return self.reply(400, error("invalidRequest", "address not encoded"))
        if not self.authorised():
            self.body()
            return self.reply(401, error("InvalidAuthenticationToken", "token missing"))
        rest = raw[len(BASE):]
        suffix = ""
        if rest.startswith(":"):
            inner, _, suffix = rest[1:].partition(":")
            suffix = suffix.lstrip("/")
            names = common.split_path(urllib.parse.unquote(inner))
        else:
            names = []
            suffix = rest.lstrip("/")
        select = params.get("$select", [""])[0].split(",") if "$select" in params else None
        with common.lock:
            return self.route(names, suffix, select, params)

    def route(self, names, suffix, select, params):
        disk = self.state.resolve(names)
        if self.command == "GET" and suffix == "":
            if disk is None:
                return self.reply(404, error("itemNotFound", "The resource could not be found."))
            return self.reply(200, self.item(disk, names, select))
        if self.command == "GET" and suffix == "children":
            return self.list_children(disk, names, select, params)
        if self.command == "POST" and suffix == "children":
            return self.make_folder(disk, names)
        if self.command == "DELETE" and suffix == "":
            if disk is None:
                return self.reply(404, error("itemNotFound", "The resource could not be found."))
            shutil.rmtree(disk) if os.path.isdir(disk) else os.remove(disk)
            return self.reply(204)
        if self.command == "PATCH" and suffix == "":
            return self.patch(disk, names, params)
        if self.command == "PUT" and suffix == "content":
            return self.put_content(names)
        if self.command == "POST" and suffix == "createUploadSession":
            return self.start_session(names)
        return self.reply(400, error("invalidRequest", "unknown call"))

    def list_children(self, disk, names, select, params):
        if disk is None:
            return self.reply(404, error("itemNotFound", "The resource could not be found."))
        if not os.path.isdir(disk):
            return self.reply(400, error("invalidRequest", "not a folder"))
        config = self.state.config()
        size = config.get("page_size", 200)
        start = int(params.get("$skiptoken", ["0"])[0])
        children = sorted(os.listdir(disk))
        page = children[start:start + size]
        answer = {"value": [self.item(os.path.join(disk, n), names + [n], select) for n in page]}
        if start + size < len(children) or config.get("loop"):
            host = config.get("next_host", "127.0.0.1")
            raw = self.path.partition("?")[0]
            answer["@odata.nextLink"] = (
                f"http://{host}:{self.state.port}{raw}?$select={','.join(select or [])}"
                f"&$skiptoken={0 if config.get('loop') else start + size}")
        return self.reply(200, answer)

    def make_folder(self, disk, names):
        body = json.loads(self.body() or b"{}")
        if disk is None or not os.path.isdir(disk):
            return self.reply(404, error("itemNotFound", "parent missing"))
        if "folder" not in body or body.get("@microsoft.graph.conflictBehavior") != "fail":
            return self.reply(400, error("invalidRequest", "folder body expected"))
        target = names + [body["name"]]
        if self.state.resolve(target) is not None:
            return self.reply(409, error("nameAlreadyExists", "An item with this name exists."))
        os.mkdir(os.path.join(disk, body["name"]))
        return self.reply(201, self.item(self.state.resolve(target), target, None))

    def patch(self, disk, names, params):
        body = json.loads(self.body() or b"{}")
        if disk is None:
            return self.reply(404, error("itemNotFound", "The resource could not be found."))
        if "name" in body or "parentReference" in body:
            if params.get("@microsoft.graph.conflictBehavior", [""])[0] != "fail":
                return self.reply(400, error("invalidRequest", "conflict behaviour expected"))
            parent = body.get("parentReference", {}).get("path", "/drive/root:")
            if not parent.startswith("/drive/root:"):
                return self.reply(400, error("invalidRequest", "bad parent path"))
            parent_names = common.split_path(parent[len("/drive/root:"):])
            target = parent_names + [body.get("name", names[-1] if names else "")]
            parent_disk = self.state.resolve(parent_names)
            if parent_disk is None or not os.path.isdir(parent_disk):
                return self.reply(404, error("itemNotFound", "parent missing"))
            if self.state.resolve(target) is not None:
                return self.reply(409, error("nameAlreadyExists", "An item with this name exists."))
            new = os.path.join(parent_disk, target[-1])
            os.rename(disk, new)
            disk, names = new, target
        info = body.get("fileSystemInfo", {})
        if "lastModifiedDateTime" in info:
            t = parse_iso(info["lastModifiedDateTime"])
            os.utime(disk, (t, t))
        return self.reply(200, self.item(disk, names, None))

    def put_content(self, names):
        data = self.body()
        where = self.state.place(names)
        if where is None:
            return self.reply(404, error("itemNotFound", "parent missing"))
        if os.path.isdir(where):
            return self.reply(409, error("nameAlreadyExists", "a folder has this name"))
        with open(where, "wb") as f:
            f.write(data)
        return self.reply(201, self.item(where, names, None))

    def start_session(self, names):
        body = json.loads(self.body() or b"{}")
        item = body.get("item", {})
        if item.get("@microsoft.graph.conflictBehavior") != "replace":
            return self.reply(400, error("invalidRequest", "conflict behaviour expected"))
        if self.state.place(names) is None:
            return self.reply(404, error("itemNotFound", "parent missing"))
        sid = str(next(session_ids))
        folder = os.path.join(self.state.dir, "sessions")
        os.makedirs(folder, exist_ok=True)
        sessions[sid] = {"names": names, "next": 0, "file": os.path.join(folder, sid),
                         "mtime": item.get("fileSystemInfo", {}).get("lastModifiedDateTime")}
        open(sessions[sid]["file"], "wb").close()
        return self.reply(200, {"uploadUrl": f"http://127.0.0.1:{self.state.port}/upload/{sid}",
                                "expirationDateTime": iso(time.time() + 3600)})

    def serve_piece(self, sid):
        data = self.body()
        if self.command != "PUT":
            return self.reply(405, error("invalidRequest", "PUT expected"))
        if self.headers.get("Authorization"):
            return self.reply(401, error("unauthenticated", "no token wanted here"))
        with common.lock:
            session = sessions.get(sid)
            if session is None:
                return self.reply(404, error("itemNotFound", "no such session"))
            m = re.fullmatch(r"bytes (\d+)-(\d+)/(\d+)", self.headers.get("Content-Range", ""))
            if not m:
                return self.reply(400, error("invalidRange", "Content-Range expected"))
            first, last, total = (int(g) for g in m.groups())
            if first != session["next"] or last - first + 1 != len(data) or last >= total:
                return self.reply(416, error("invalidRange", "unexpected range"))
            if len(data) > 60 * 1024 * 1024:
                return self.reply(413, error("invalidRange", "piece too large"))
            with open(session["file"], "ab") as f:
                f.write(data)
            session["next"] = last + 1
            if last + 1 < total:
                return self.reply(202, {"expirationDateTime": iso(time.time() + 3600),
                                        "nextExpectedRanges": [f"{last + 1}-"]})
            del sessions[sid]
            where = self.state.place(session["names"])
            if where is None or os.path.isdir(where):
                return self.reply(409, error("nameAlreadyExists", "cannot place the file"))
            os.replace(session["file"], where)
            if session["mtime"]:
                t = parse_iso(session["mtime"])
                os.utime(where, (t, t))
            return self.reply(201, self.item(where, session["names"], None))

    def serve_download(self, params):
        names = common.split_path(params.get("path", [""])[0])
        with common.lock:
            disk = self.state.resolve(names)
            if disk is None or os.path.isdir(disk):
                return self.reply(404, "not found", "text/plain")
            with open(disk, "rb") as f:
                data = f.read()
        return self.reply(200, data, "application/octet-stream")


if __name__ == "__main__":
    common.serve(Graph, common.arguments())
