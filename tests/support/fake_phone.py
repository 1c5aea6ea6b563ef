#!/usr/bin/python3
"""One exchange of a scripted phone with the device link; started by fake_phone.sh.

  tls      --port P [--cert C --key K] [--tls12] [--trickle S] [--idle] [--close-after TEXT]
           --request FILE --out FILE
           TLS client that accepts any server certificate; sends the request's bytes (all at
           once, or one byte every S seconds), reads until the server closes (or, with
           --close-after, until TEXT arrived, then closes itself) and writes what it got to
           --out. Prints "handshake=ok peer=FINGERPRINT" or "handshake=failed".
  raw      --port P --request FILE --out FILE   the bytes over plain TCP, the answer to --out
  discover --port P --request FILE [--host H] [--broadcast] [--wait S]
           one UDP datagram; prints "reply=TEXT" or "reply=none"
"""
import argparse
import hashlib
import socket
import ssl
import sys
import time

ap = argparse.ArgumentParser()
ap.add_argument("mode", choices=["tls", "raw", "discover"])
ap.add_argument("--host", default="127.0.0.1")
ap.add_argument("--port", type=int, required=True)
ap.add_argument("--cert")
ap.add_argument("--key")
ap.add_argument("--tls12", action="store_true")
ap.add_argument("--trickle", type=float, default=0)
ap.add_argument("--idle", action="store_true")
ap.add_argument("--request")
ap.add_argument("--out")
ap.add_argument("--broadcast", action="store_true")
ap.add_argument("--wait", type=float, default=2)
ap.add_argument("--close-after")
a = ap.parse_args()

request = b""
if a.request:
    with open(a.request, "rb") as f:
        request = f.read()


def read_all(sock, until=None):
    got = b""
    sock.settimeout(30)
    while until is None or until not in got:
        try:
            piece = sock.recv(65536)
        except (ssl.SSLError, ConnectionError, socket.timeout):
            break
        if not piece:
            break
        got += piece
    return got


def send(sock):
    try:
        if a.trickle:
            for i in range(len(request)):
                sock.sendall(request[i:i + 1])
                time.sleep(a.trickle)
        elif request:
            sock.sendall(request)
    except (ssl.SSLError, ConnectionError, socket.timeout):
        pass


def save(data):
    if a.out:
        with open(a.out, "wb") as f:
            f.write(data)


if a.mode == "discover":
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    if a.broadcast:
        s.setsockopt(socket.SOL_SOCKET, socket.SO_BROADCAST, 1)
    s.settimeout(a.wait)
    s.sendto(request, (a.host, a.port))
    try:
        data, _ = s.recvfrom(1024)
        print("reply=" + data.decode("utf-8", "replace"))
    except socket.timeout:
        print("reply=none")
    sys.exit(0)

plain = socket.create_connection((a.host, a.port), timeout=10)
if a.mode == "raw":
    send(plain)
    save(read_all(plain))
    sys.exit(0)

ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
ctx.check_hostname = False
ctx.verify_mode = ssl.CERT_NONE
if a.tls12:
    ctx.maximum_version = ssl.TLSVersion.TLSv1_2
if a.cert:
    ctx.load_cert_chain(a.cert, a.key)
try:
    tls = ctx.wrap_socket(plain, server_hostname="pc")
except (ssl.SSLError, ConnectionError, socket.timeout) as e:
    print("handshake=failed " + str(e).replace(" ", "_"))
    save(b"")
    sys.exit(0)
peer = hashlib.sha256(tls.getpeercert(binary_form=True)).hexdigest()
print("handshake=ok peer=" + peer, flush=True)
if not a.idle:
    send(tls)
until = a.close_after.encode() if a.close_after else None
save(read_all(tls, until))
if until is not None:
    # Gone at once, as a phone whose app was closed: no TLS close, the socket just ends.
    tls.close()
