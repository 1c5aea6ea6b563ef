#!/usr/bin/python3
"""Stands between the SSH server and OpenSSH's sftp-server to do what a real server will not.

The mode is read from the file named by the first argument at start:
  pass     relays unchanged
  short    answers every read with at most half the data asked for (at least one byte)
  hostile  renames listed entries: "hostile-dot" to ".", "hostile-dotdot" to "..",
           "hostile-empty" to "", "hostile-slash" to "a/b"
  stall    never answers a read or a directory read
  plain    offers none of the extensions that rename over a file or make hard links
  nosetstat refuses every change of permissions or times with permission denied
  nowrite  refuses to open any file for writing (a plain failure), and nothing else
"""
import struct
import subprocess
import sys
import threading

SSH_FXP_VERSION, SSH_FXP_READ, SSH_FXP_SETSTAT, SSH_FXP_FSETSTAT, SSH_FXP_READDIR = 2, 5, 9, 10, 12
SSH_FXP_STATUS, SSH_FXP_DATA, SSH_FXP_NAME, SSH_FXP_EXTENDED = 101, 103, 104, 200
SSH_FXP_OPEN, SSH_FXF_WRITE = 3, 0x2
SSH_FX_FAILURE, SSH_FX_PERMISSION_DENIED = 4, 3
REPLACING = {b"posix-rename@openssh.com", b"hardlink@openssh.com"}
RENAMES = {b"hostile-dot": b".", b"hostile-dotdot": b"..", b"hostile-empty": b"", b"hostile-slash": b"a/b"}

mode = open(sys.argv[1]).read().strip()
server = subprocess.Popen(["/usr/lib/openssh/sftp-server"], stdin=subprocess.PIPE, stdout=subprocess.PIPE)


def packets(stream):
    while True:
        head = stream.read(4)
        if len(head) < 4:
            return
        (length,) = struct.unpack(">I", head)
        body = stream.read(length)
        if len(body) < length:
            return
        yield body


def send(stream, body):
    stream.write(struct.pack(">I", len(body)) + body)
    stream.flush()


def skip_attrs(body, at):
    (flags,) = struct.unpack_from(">I", body, at)
    at += 4
    if flags & 1:
        at += 8
    if flags & 2:
        at += 8
    if flags & 4:
        at += 4
    if flags & 8:
        at += 8
    if flags & 0x80000000:
        (count,) = struct.unpack_from(">I", body, at)
        at += 4
        for _ in range(2 * count):
            (n,) = struct.unpack_from(">I", body, at)
            at += 4 + n
    return at


def rewrite_names(body):
    (count,) = struct.unpack_from(">I", body, 5)
    out, at = bytearray(body[:9]), 9
    for _ in range(count):
        (n,) = struct.unpack_from(">I", body, at)
        name = body[at + 4 : at + 4 + n]
        at += 4 + n
        (m,) = struct.unpack_from(">I", body, at)
        rest_start = at
        at = skip_attrs(body, at + 4 + m)
        name = RENAMES.get(bytes(name), name)
        out += struct.pack(">I", len(name)) + name + body[rest_start:at]
    return bytes(out)


def strip_extensions(body):
    out, at = bytearray(body[:5]), 5
    while at < len(body):
        (n,) = struct.unpack_from(">I", body, at)
        name = body[at + 4 : at + 4 + n]
        (m,) = struct.unpack_from(">I", body, at + 4 + n)
        end = at + 8 + n + m
        if bytes(name) not in REPLACING:
            out += body[at:end]
        at = end
    return bytes(out)


def changes_attributes(body):
    if body[0] in (SSH_FXP_SETSTAT, SSH_FXP_FSETSTAT):
        return True
    if body[0] != SSH_FXP_EXTENDED:
        return False
    (n,) = struct.unpack_from(">I", body, 5)
    return body[9 : 9 + n] == b"lsetstat@openssh.com"


def opens_for_writing(body):
    if body[0] != SSH_FXP_OPEN:
        return False
    (n,) = struct.unpack_from(">I", body, 5)
    (flags,) = struct.unpack_from(">I", body, 9 + n)
    return bool(flags & SSH_FXF_WRITE)


def refuse(body, code):
    text = b"refused by the shim"
    return (bytes([SSH_FXP_STATUS]) + body[1:5] + struct.pack(">II", code, len(text))
            + text + struct.pack(">I", 0))


def to_client():
    out = sys.stdout.buffer
    for body in packets(server.stdout):
        if mode == "short" and body[0] == SSH_FXP_DATA:
            (n,) = struct.unpack_from(">I", body, 5)
            keep = max(1, n // 2)
            body = body[:5] + struct.pack(">I", keep) + body[9 : 9 + keep]
        elif mode == "hostile" and body[0] == SSH_FXP_NAME:
            body = rewrite_names(body)
        elif mode == "plain" and body[0] == SSH_FXP_VERSION:
            body = strip_extensions(body)
        with output_lock:
            send(out, body)


output_lock = threading.Lock()
threading.Thread(target=to_client, daemon=True).start()
for body in packets(sys.stdin.buffer):
    if mode == "stall" and body[0] in (SSH_FXP_READ, SSH_FXP_READDIR):
        continue
    if mode == "nosetstat" and changes_attributes(body):
        with output_lock:
            send(sys.stdout.buffer, refuse(body, SSH_FX_PERMISSION_DENIED))
        continue
    if mode == "nowrite" and opens_for_writing(body):
        with output_lock:
            send(sys.stdout.buffer, refuse(body, SSH_FX_FAILURE))
        continue
    send(server.stdin, body)
server.stdin.close()
server.wait()
