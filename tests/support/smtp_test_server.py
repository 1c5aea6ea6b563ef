#!/usr/bin/python3
"""Loopback SMTP server of the mail tests; started by smtp_server.sh with /usr/bin/python3.

Modes starttls, implicit and nostarttls run aiosmtpd and keep every accepted message in
DIR/mail/N.eml (raw DATA) with N.env (envelope, tls and auth flags). Modes inject, endless
and terse are scripted servers that misbehave or answer tersely on purpose. Prints
"listening HOST port=P" when ready.
"""
import argparse
import asyncio
import itertools
import os
import signal
import socket
import ssl
import threading

from aiosmtpd.smtp import SMTP, AuthResult

ap = argparse.ArgumentParser()
ap.add_argument("--dir", required=True)
ap.add_argument("--mode", required=True,
                choices=["starttls", "implicit", "nostarttls", "inject", "endless", "terse"])
ap.add_argument("--host", default="127.0.0.1")
ap.add_argument("--port", type=int, default=0)
ap.add_argument("--cert", required=True)
ap.add_argument("--key", required=True)
ap.add_argument("--user", default="mailuser")
ap.add_argument("--password", default="mailpass")
a = ap.parse_args()

maildir = os.path.join(a.dir, "mail")
os.makedirs(maildir, exist_ok=True)
counter = itertools.count(1)
tls = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
tls.load_cert_chain(a.cert, a.key)

listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
listener.bind((a.host, a.port))
listener.listen(16)


class Handler:
    async def handle_DATA(self, server, session, envelope):
        base = os.path.join(maildir, f"{os.getpid()}-{next(counter):04d}")
        with open(base + ".eml", "wb") as f:
            f.write(envelope.original_content or envelope.content)
        secured = session.ssl is not None or a.mode == "implicit"
        with open(base + ".env", "w") as f:
            f.write(f"from={envelope.mail_from}\nto={','.join(envelope.rcpt_tos)}\n"
                    f"tls={secured}\nauth={session.authenticated}\n")
        return "250 Message accepted for delivery"


def authenticator(server, session, envelope, mechanism, auth_data):
    ok = (mechanism == "LOGIN" and auth_data.login.decode() == a.user
          and auth_data.password.decode() == a.password)
    # handled=False lets aiosmtpd answer 535 itself on a wrong password
    return AuthResult(success=ok, handled=False)


class NoStartTls(SMTP):
    async def smtp_STARTTLS(self, arg):
        await self.push("502 5.5.1 STARTTLS not implemented here")


def run_aiosmtpd():
    loop = asyncio.new_event_loop()
    asyncio.set_event_loop(loop)

    def factory():
        cls = NoStartTls if a.mode == "nostarttls" else SMTP
        return cls(Handler(), hostname="localhost", authenticator=authenticator,
                   tls_context=tls if a.mode == "starttls" else None,
                   require_starttls=(a.mode == "starttls"),
                   auth_require_tls=(a.mode == "starttls"),
                   auth_exclude_mechanism=["CRAM-MD5", "PLAIN"])

    server = loop.run_until_complete(loop.create_server(
        factory, sock=listener, ssl=tls if a.mode == "implicit" else None))
    announce()
    loop.add_signal_handler(signal.SIGTERM, loop.stop)
    loop.add_signal_handler(signal.SIGINT, loop.stop)
    loop.run_forever()
    server.close()


def serve_scripted(conn):
    with conn:
        conn.settimeout(20)
        if a.mode == "terse":
            conn.sendall(b"220-scripted\r\n220-ESMTP\r\n220 ready\r\n")
        else:
            conn.sendall(b"220 scripted ESMTP\r\n")
        reader = conn.makefile("rb", buffering=0)
        while True:
            line = reader.readline(4096)
            if not line:
                return
            command = line.strip().upper()
            if a.mode == "terse":
                # Bare three-digit replies; the message itself is read and dropped.
                if command == b"STARTTLS":
                    conn.sendall(b"502\r\n")
                elif command == b"DATA":
                    conn.sendall(b"354\r\n")
                    while reader.readline(4096) not in (b".\r\n", b""):
                        pass
                    conn.sendall(b"250\r\n")
                elif command == b"QUIT":
                    return
                else:
                    conn.sendall(b"250\r\n")
            elif command.startswith(b"EHLO"):
                if a.mode == "endless":
                    for i in range(100000):
                        conn.sendall(b"250-line %d\r\n" % i)
                    return
                conn.sendall(b"250-scripted\r\n250 STARTTLS\r\n")
            elif command == b"STARTTLS":
                # One packet: the go-ahead and a line an attacker slipped in after it.
                conn.sendall(b"220 Go ahead\r\n250 injected\r\n")
                secured = tls.wrap_socket(conn, server_side=True)
                secured.recv(1)
                return
            elif command == b"QUIT":
                conn.sendall(b"221 bye\r\n")
                return
            else:
                conn.sendall(b"250 ok\r\n")


def run_scripted():
    announce()
    signal.signal(signal.SIGTERM, lambda *_: os._exit(0))
    while True:
        conn, _ = listener.accept()
        threading.Thread(target=lambda c=conn: guarded(serve_scripted, c), daemon=True).start()


def guarded(fn, *args):
    try:
        fn(*args)
    except (OSError, ssl.SSLError):
        pass


def announce():
    print(f"listening {a.host} port={listener.getsockname()[1]}", flush=True)


if a.mode in ("inject", "endless", "terse"):
    run_scripted()
else:
    run_aiosmtpd()
