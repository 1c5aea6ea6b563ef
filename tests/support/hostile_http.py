#!/usr/bin/python3
"""Loopback HTTP server whose answers misbehave on purpose, for the web-store fault tests.

Modes (every request gets the same treatment):
  deep     a 207 whose XML nests 200,000 elements deep
  huge     a 207 that announces and streams 1 GB
  endless  a 207 multistatus of chunks that never ends
  reset    a TCP relay to --target that resets both connections once --after bytes of a
           request body (after its header) have passed
  answer   the status --status with the body --body (for the texts of failed requests)
Prints "listening port=P" when ready; runs until killed.
"""
import argparse
import socket
import struct
import threading

ap = argparse.ArgumentParser()
ap.add_argument("--mode", required=True, choices=["deep", "huge", "endless", "reset", "answer"])
ap.add_argument("--target", type=int, default=0)
ap.add_argument("--after", type=int, default=1 << 20)
ap.add_argument("--status", type=int, default=500)
ap.add_argument("--body", default="")
a = ap.parse_args()


def read_head(conn):
    data = b""
    while b"\r\n\r\n" not in data:
        chunk = conn.recv(65536)
        if not chunk:
            return None, b""
        data += chunk
    head, rest = data.split(b"\r\n\r\n", 1)
    return head, rest


def reset(conn):
    try:
        conn.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        conn.close()
    except OSError:
        pass


def answer(conn):
    head, _ = read_head(conn)
    if head is None:
        return
    if a.mode == "answer":
        body = a.body.encode()
        conn.sendall(b"HTTP/1.1 %d Refused\r\nContent-Type: application/json\r\n"
                     b"Content-Length: %d\r\nConnection: close\r\n\r\n" % (a.status, len(body))
                     + body)
    elif a.mode == "deep":
        depth = 200000
        body = b'<?xml version="1.0"?><D:multistatus xmlns:D="DAV:">' + b"<a>" * depth + \
            b"</a>" * depth + b"</D:multistatus>"
        conn.sendall(b"HTTP/1.1 207 Multi-Status\r\nContent-Type: application/xml\r\n"
                     b"Content-Length: %d\r\n\r\n" % len(body) + body)
    elif a.mode == "huge":
        size = 1 << 30
        conn.sendall(b"HTTP/1.1 207 Multi-Status\r\nContent-Type: application/xml\r\n"
                     b"Content-Length: %d\r\n\r\n" % size)
        block = b" " * (1 << 20)
        for _ in range(size // len(block)):
            conn.sendall(block)
    else:
        conn.sendall(b"HTTP/1.1 207 Multi-Status\r\nContent-Type: application/xml\r\n"
                     b"Transfer-Encoding: chunked\r\n\r\n")
        first = b'<?xml version="1.0"?><D:multistatus xmlns:D="DAV:">'
        conn.sendall(b"%x\r\n%s\r\n" % (len(first), first))
        n = 0
        while True:
            part = b"".join(b"<D:response><D:href>/dav/f%d</D:href></D:response>" % (n + i)
                            for i in range(1000))
            n += 1000
            conn.sendall(b"%x\r\n%s\r\n" % (len(part), part))


def relay(conn):
    upstream = socket.create_connection(("127.0.0.1", a.target))
    cut = threading.Event()

    def back():
        try:
            while True:
                data = upstream.recv(65536)
                if not data:
                    break
                conn.sendall(data)
        except OSError:
            pass
        finally:
            if not cut.is_set():
                try:
                    conn.shutdown(socket.SHUT_WR)
                except OSError:
                    pass

    threading.Thread(target=back, daemon=True).start()
    head, rest = read_head(conn)
    if head is None:
        upstream.close()
        return
    upstream.sendall(head + b"\r\n\r\n")
    passed = 0
    data = rest
    while True:
        if passed + len(data) >= a.after:
            upstream.sendall(data[: a.after - passed])
            cut.set()
            reset(upstream)
            reset(conn)
            return
        upstream.sendall(data)
        passed += len(data)
        data = conn.recv(65536)
        if not data:
            upstream.shutdown(socket.SHUT_WR)
            return


def serve(conn):
    try:
        relay(conn) if a.mode == "reset" else answer(conn)
    except OSError:
        pass
    finally:
        try:
            conn.close()
        except OSError:
            pass


listener = socket.socket()
listener.bind(("127.0.0.1", 0))
listener.listen(16)
print("listening port=%d" % listener.getsockname()[1], flush=True)
while True:
    c, _ = listener.accept()
    threading.Thread(target=serve, args=(c,), daemon=True).start()
