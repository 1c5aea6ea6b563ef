"""Loopback S3 server for the tests: moto, checking every request's Signature V4 strictly.

moto checks V4 signatures once /moto-api/reset-auth is 0, but it canonicalises path and query
from werkzeug's re-quoted URL ("%2F" -> "/", "%2B" -> "+"), so correctly signed requests with
such characters would fail. The request line as the client sent it is canonicalised the AWS way
instead (decode, then encode every byte but A-Z a-z 0-9 - _ . ~, "/" kept in the path).

Unsigned test controls under /kvo-test/ (never reach moto's checks):
  POST /kvo-test/bucket/B                     make bucket B
  POST /kvo-test/object/B?key=K               store the body as key K, without metadata
  POST /kvo-test/objects/B?prefix=P&count=N   store N empty keys P00000, P00001, ...
  GET  /kvo-test/uploads/B                    number of multipart uploads still open in B
  POST /kvo-test/faults/B                     JSON list of rules for requests to B (replaces)
  GET  /kvo-test/log/B                        "METHOD URI STATUS" of every request to B
A rule: {"method": "PUT", "contains": "text of the URI", "times": 1 (-1: always),
         "action": "status" | "reset" | "endless", "status": 500, "body": "..."}
"reset" reads a megabyte of the body and drops the connection; "endless" answers a listing
as truncated, always with the same continuation token.

Usage: s3_test_server.py DIR  -> serves on a free loopback port and writes DIR/credentials
("endpoint=... access_key=... secret_key=... region=us-east-1") once it checks signatures.
"""
import json
import os
import socket
import struct
import sys
import threading
import urllib.request
from urllib.parse import parse_qs, quote, unquote

from moto.iam import access_control as ac

_orig = ac.IAMRequestBase._create_aws_request


def _enc(s, safe):
    return quote(unquote(s), safe=safe)


def _canonical(path_and_query):
    path, _, query = path_and_query.partition("?")
    path = "/".join(_enc(seg, "-_.~") for seg in path.split("/"))
    if not query:
        return path
    pairs = []
    for item in query.split("&"):
        key, _, val = item.partition("=")
        pairs.append(_enc(key, "-_.~") + "=" + _enc(val, "-_.~"))
    return path + "?" + "&".join(pairs)


def _create_aws_request(self):
    # From the request line as sent: the re-quoted URL would decode a literal "%41" twice.
    try:
        from flask import request
        self._path = request.environ.get("RAW_URI") or self._path
    except Exception:
        pass
    self._path = _canonical(self._path)
    return _orig(self)


ac.IAMRequestBase._create_aws_request = _create_aws_request

lock = threading.Lock()
faults = {}  # bucket -> list of rules
logs = {}  # bucket -> list of lines


def backend():
    from moto.core.models import DEFAULT_ACCOUNT_ID
    from moto.s3.models import s3_backends
    return s3_backends[DEFAULT_ACCOUNT_ID]["aws"]


def answer(start_response, status, body, content_type="text/plain"):
    data = body.encode() if isinstance(body, str) else body
    start_response(status, [("Content-Type", content_type), ("Content-Length", str(len(data)))])
    return [data]


def control(environ, start_response, parts, query):
    what, bucket = parts[0], parts[1]
    length = int(environ.get("CONTENT_LENGTH") or 0)
    body = environ["wsgi.input"].read(length) if length else b""
    if what == "bucket":
        backend().create_bucket(bucket, "us-east-1")
    elif what == "object":
        backend().put_object(bucket, query["key"][0], body)
    elif what == "objects":
        for i in range(int(query["count"][0])):
            backend().put_object(bucket, "%s%05d" % (query.get("prefix", [""])[0], i), b"")
    elif what == "uploads":
        return answer(start_response, "200 OK", str(len(backend().get_bucket(bucket).multiparts)))
    elif what == "faults":
        with lock:
            faults[bucket] = json.loads(body or b"[]")
    elif what == "log":
        with lock:
            return answer(start_response, "200 OK", "".join(l + "\n" for l in logs.get(bucket, [])))
    else:
        return answer(start_response, "404 Not Found", "no such control")
    return answer(start_response, "200 OK", "")


def matching_rule(bucket, method, uri):
    with lock:
        for rule in faults.get(bucket, []):
            if rule.get("times", 1) == 0:
                continue
            if rule.get("method", method) != method or rule.get("contains", "") not in uri:
                continue
            if rule.get("times", 1) > 0:
                rule["times"] = rule.get("times", 1) - 1
            return dict(rule)
    return None


def reset_connection(environ):
    length = int(environ.get("CONTENT_LENGTH") or 0)
    environ["wsgi.input"].read(min(length, 1 << 20))
    sock = environ.get("werkzeug.socket")
    if sock is not None:
        # Linger 0 makes the close a reset. The server's file objects still refer to the socket:
        # detached, they fail instead of closing a descriptor that another connection reuses.
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        os.close(sock.detach())
    raise ConnectionResetError("connection reset by the test server")


def endless_listing():
    return ('<?xml version="1.0" encoding="UTF-8"?><ListBucketResult>'
            "<Contents><Key>again</Key><Size>1</Size>"
            "<LastModified>2024-01-01T00:00:00.000Z</LastModified></Contents>"
            "<IsTruncated>true</IsTruncated><NextContinuationToken>same</NextContinuationToken>"
            "</ListBucketResult>")


class Faults:
    def __init__(self, app):
        self.app = app

    def __call__(self, environ, start_response):
        uri = environ.get("RAW_URI") or environ.get("PATH_INFO", "")
        path = uri.partition("?")[0]
        pieces = [p for p in path.split("/") if p]
        if pieces[:1] == ["kvo-test"] and len(pieces) == 3:
            return control(environ, start_response, pieces[1:],
                           parse_qs(uri.partition("?")[2], keep_blank_values=True))
        bucket = unquote(pieces[0]) if pieces else ""
        method = environ["REQUEST_METHOD"]
        status = []

        def noting(s, headers, exc_info=None):
            status.append(s.split(" ")[0])
            return start_response(s, headers, exc_info)

        try:
            rule = matching_rule(bucket, method, uri)
            if rule is None:
                return self.app(environ, noting)
            if rule["action"] == "reset":
                status.append("reset")
                reset_connection(environ)
            if rule["action"] == "endless":
                return answer(noting, "200 OK", endless_listing(), "application/xml")
            length = int(environ.get("CONTENT_LENGTH") or 0)
            if length:
                environ["wsgi.input"].read(length)
            code = int(rule.get("status", 500))
            return answer(noting, "%d Fault" % code, rule.get("body", ""), "application/xml")
        finally:
            if bucket:
                with lock:
                    logs.setdefault(bucket, []).append(
                        "%s %s %s" % (method, uri, status[0] if status else "-"))


def main():
    directory = sys.argv[1]
    from moto.server import DomainDispatcherApplication, create_backend_app
    from werkzeug.serving import make_server

    app = DomainDispatcherApplication(create_backend_app)
    server = make_server("127.0.0.1", 0, Faults(app), threaded=True)
    endpoint = "http://127.0.0.1:%d" % server.port
    os.environ["MOTO_PORT"] = str(server.port)
    threading.Thread(target=server.serve_forever, daemon=True).start()

    import boto3
    iam = boto3.client("iam", endpoint_url=endpoint, region_name="us-east-1",
                       aws_access_key_id="setup", aws_secret_access_key="setup")
    iam.create_user(UserName="kvotest")
    iam.put_user_policy(UserName="kvotest", PolicyName="all-s3", PolicyDocument=json.dumps(
        {"Version": "2012-10-17",
         "Statement": [{"Effect": "Allow", "Action": "s3:*", "Resource": "*"}]}))
    key = iam.create_access_key(UserName="kvotest")["AccessKey"]
    # From now on every request must carry a valid signature of this key.
    urllib.request.urlopen(urllib.request.Request(
        endpoint + "/moto-api/reset-auth", data=b"0", method="POST",
        headers={"Content-Type": "text/plain"})).read()
    text = "endpoint=%s access_key=%s secret_key=%s region=us-east-1\n" % (
        endpoint, key["AccessKeyId"], key["SecretAccessKey"])
    with open(os.path.join(directory, "credentials.tmp"), "w") as f:
        f.write(text)
    os.rename(os.path.join(directory, "credentials.tmp"), os.path.join(directory, "credentials"))
    threading.Event().wait()


if __name__ == "__main__":
    main()
