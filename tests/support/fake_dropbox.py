#!/usr/bin/python3
"""A loopback stand-in for the file calls of API v2 as the Dropbox store uses them: JSON calls
below /2/files/ (metadata, listings continued by cursor, folders, deletes, moves) and content
calls whose argument travels in the Dropbox-API-Arg header (downloads, uploads, upload sessions
with offsets), told apart by their names as the API host and the content host share one server
here. Started by fake_store.sh; see fake_store_common.py.

config.json: {"page_size": 100, "extra_entries": [metadata objects added to every first page]}
"""
import base64
import calendar
import itertools
import json
import os
import shutil
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import fake_store_common as common  # noqa: E402

CONTENT_CALLS = {"download", "upload", "upload_session/start", "upload_session/append_v2",
                 "upload_session/finish"}
sessions = {}
session_ids = itertools.count(1)


def iso(seconds):
    return time.strftime("%Y-%m-%dT%H:%M:%SZ", time.gmtime(seconds))


def conflict(summary):
    tag = summary.split("/")[0]
    return {"error_summary": summary + "/..", "error": {".tag": tag}}


def ascii_json(value):
    return json.dumps(value, ensure_ascii=True)


class Api(common.Handler):
    def metadata(self, disk):
        rel = os.path.relpath(disk, self.state.root)
        display = "/" + rel
        st = os.stat(disk)
        obj = {"name": os.path.basename(disk), "path_display": display,
               "path_lower": common.fold(display), "id": f"id:{st.st_ino}"}
        if os.path.isdir(disk):
            obj[".tag"] = "folder"
        else:
            obj.update({".tag": "file", "size": st.st_size,
                        "client_modified": iso(st.st_mtime), "server_modified": iso(time.time()),
                        "rev": f"{int(st.st_mtime_ns):x}"})
        return obj

    def handle_store(self):
        raw = self.path.partition("?")[0]
        if not self.authorised():
            self.body()
            return self.reply(401, {"error_summary": "invalid_access_token/..",
                                    "error": {".tag": "invalid_access_token"}})
        call = raw[len("/2/files/"):] if raw.startswith("/2/files/") else None
        if call in CONTENT_CALLS:
            arg_text = self.headers.get("Dropbox-API-Arg", "")
            if any(ord(c) > 0x7E or ord(c) < 0x20 for c in arg_text):
                self.body()
                return self.reply(400, "Error in call: Dropbox-API-Arg is not plain ASCII",
                                  "text/plain")
            try:
                arg = json.loads(arg_text)
            except ValueError:
                self.body()
                return self.reply(400, "Error in call: could not decode Dropbox-API-Arg",
                                  "text/plain")
            with common.lock:
                return self.content(call, arg)
        if call is not None:
            if not self.headers.get("Content-Type", "").startswith("application/json"):
                return self.reply(400, "Error in call: bad Content-Type", "text/plain")
            try:
                arg = json.loads(self.body() or b"null")
            except ValueError:
                return self.reply(400, "Error in call: could not decode input as JSON",
                                  "text/plain")
            with common.lock:
                return self.rpc(call, arg)
        return self.reply(404, "unknown endpoint", "text/plain")

    def rpc(self, call, arg):
        if call == "get_metadata":
            disk = self.state.resolve(common.split_path(arg["path"]))
            if disk is None:
                return self.reply(409, conflict("path/not_found"))
            return self.reply(200, self.metadata(disk))
        if call == "list_folder":
            disk = self.state.resolve(common.split_path(arg["path"]))
            if disk is None:
                return self.reply(409, conflict("path/not_found"))
            if not os.path.isdir(disk):
                return self.reply(409, conflict("path/not_folder"))
            return self.page(disk, 0)
        if call == "list_folder/continue":
            try:
                rel, start = json.loads(base64.b64decode(arg["cursor"]))
            except (ValueError, KeyError):
                return self.reply(409, conflict("reset"))
            return self.page(self.state.resolve(common.split_path(rel)), start)
        if call == "create_folder_v2":
            names = common.split_path(arg["path"])
            found = self.state.resolve(names)
            if found is not None:
                kind = "folder" if os.path.isdir(found) else "file"
                return self.reply(409, conflict(f"path/conflict/{kind}"))
            where = self.state.place(names)
            if where is None:
                return self.reply(409, conflict("path/not_found"))
            os.mkdir(where)
            return self.reply(200, {"metadata": self.metadata(where)})
        if call == "delete_v2":
            disk = self.state.resolve(common.split_path(arg["path"]))
            if disk is None:
                return self.reply(409, conflict("path_lookup/not_found"))
            meta = self.metadata(disk)
            shutil.rmtree(disk) if os.path.isdir(disk) else os.remove(disk)
            return self.reply(200, {"metadata": meta})
        if call == "move_v2":
            source = self.state.resolve(common.split_path(arg["from_path"]))
            if source is None:
                return self.reply(409, conflict("from_lookup/not_found"))
            names = common.split_path(arg["to_path"])
            if self.state.resolve(names) is not None:
                return self.reply(409, conflict("to/conflict/file"))
            where = self.state.place(names)
            if where is None:
                return self.reply(409, conflict("to/not_found"))
            os.rename(source, where)
            return self.reply(200, {"metadata": self.metadata(where)})
        return self.reply(400, "unknown call", "text/plain")

    def page(self, disk, start):
        size = self.state.config().get("page_size", 100)
        children = sorted(os.listdir(disk))
        entries = [self.metadata(os.path.join(disk, n)) for n in children[start:start + size]]
        if start == 0:
            entries += self.state.config().get("extra_entries", [])
        more = start + size < len(children)
        rel = "/" + os.path.relpath(disk, self.state.root)
        cursor = base64.b64encode(json.dumps([rel, start + size]).encode()).decode()
        return self.reply(200, {"entries": entries, "cursor": cursor, "has_more": more})

    def content(self, call, arg):
        if call == "download":
            disk = self.state.resolve(common.split_path(arg["path"]))
            if disk is None or os.path.isdir(disk):
                return self.reply(409, conflict("path/not_found"))
            with open(disk, "rb") as f:
                data = f.read()
            return self.reply(200, data, "application/octet-stream",
                              {"Dropbox-API-Result": ascii_json(self.metadata(disk))})
        data = self.body()
        if self.headers.get("Content-Type") != "application/octet-stream":
            return self.reply(400, "Error in call: bad Content-Type", "text/plain")
        if len(data) > 150 * 1024 * 1024:
            return self.reply(400, "Error in call: body too large", "text/plain")
        if call == "upload":
            return self.commit(arg, data, None)
        if call == "upload_session/start":
            sid = f"s{next(session_ids)}"
            folder = os.path.join(self.state.dir, "sessions")
            os.makedirs(folder, exist_ok=True)
            sessions[sid] = os.path.join(folder, sid)
            with open(sessions[sid], "wb") as f:
                f.write(data)
            return self.reply(200, {"session_id": sid})
        if call in ("upload_session/append_v2", "upload_session/finish"):
            cursor = arg.get("cursor", {})
            file = sessions.get(cursor.get("session_id"))
            if file is None:
                return self.reply(409, conflict("not_found"))
            have = os.path.getsize(file)
            if cursor.get("offset") != have:
                return self.reply(409, {"error_summary": "incorrect_offset/..",
                                        "error": {".tag": "incorrect_offset",
                                                  "correct_offset": have}})
            with open(file, "ab") as f:
                f.write(data)
            if call == "upload_session/append_v2":
                return self.reply(200, "null")
            del sessions[cursor["session_id"]]
            return self.commit(arg.get("commit", {}), None, file)
        return self.reply(400, "unknown call", "text/plain")

    def commit(self, arg, data, staged):
        if arg.get("mode") != "overwrite":
            return self.reply(400, "Error in call: mode overwrite expected", "text/plain")
        names = common.split_path(arg["path"])
        where = self.state.place(names)
        if where is None:
            # the real service makes missing parents; the store makes them itself first
            return self.reply(409, conflict("path/not_found"))
        if os.path.isdir(where):
            return self.reply(409, conflict("path/conflict/folder"))
        if staged is not None:
            os.replace(staged, where)
        else:
            with open(where, "wb") as f:
                f.write(data)
        if "client_modified" in arg:
            t = calendar.timegm(time.strptime(arg["client_modified"], "%Y-%m-%dT%H:%M:%SZ"))
            os.utime(where, (t, t))
        return self.reply(200, self.metadata(where))


if __name__ == "__main__":
    common.serve(Api, common.arguments())
