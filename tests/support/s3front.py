"""A front for the test S3 (s3rver), which checks the key id of a request
but not its Signature V4. Real S3 checks it, so this front does before
anything reaches s3rver: it recomputes each request's signature with AWS's
own library (botocore) from the known secret and answers as S3 would when
it differs, when an x-amz-* header is not signed, or when the body does not
match its x-amz-content-sha256.

  s3front.py PORT BACKEND_PORT KEY_ID SECRET REGION"""

import hashlib
import http.client
import sys
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

from botocore.auth import S3SigV4Auth
from botocore.awsrequest import AWSRequest
from botocore.credentials import Credentials

PORT, BACKEND, KEY, SECRET, REGION = int(sys.argv[1]), int(sys.argv[2]), sys.argv[3], sys.argv[4], sys.argv[5]


class Front(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def relay(self):
        body = self.rfile.read(int(self.headers.get("Content-Length", 0)))
        problem = self.problem(body)
        if problem:
            return self.answer(problem[0], [("Content-Type", "application/xml")],
                               ("<?xml version=\"1.0\" encoding=\"UTF-8\"?><Error><Code>%s</Code><Message>checked by "
                                "the test front</Message></Error>" % problem[1]).encode())
        backend = http.client.HTTPConnection("127.0.0.1", BACKEND, timeout=60)
        backend.request(self.command, self.path, body, dict(self.headers))
        reply = backend.getresponse()
        self.answer(reply.status, [(k, v) for k, v in reply.getheaders()
                                   if k.lower() not in ("content-length", "transfer-encoding", "connection")],
                    reply.read())
        backend.close()

    do_GET = do_PUT = do_DELETE = do_HEAD = do_POST = relay

    def answer(self, status, headers, body):
        self.send_response(status)
        for name, value in headers:
            self.send_header(name, value)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        if self.command != "HEAD":
            self.wfile.write(body)

    def problem(self, body):
        auth = self.headers.get("Authorization", "")
        if not auth.startswith("AWS4-HMAC-SHA256 "):
            return 403, "AccessDenied"
        fields = dict(part.strip().split("=", 1) for part in auth[len("AWS4-HMAC-SHA256 "):].split(","))
        if fields["Credential"].split("/")[0] != KEY:
            return 403, "InvalidAccessKeyId"
        payload = self.headers.get("x-amz-content-sha256")
        if payload is None:
            return 400, "InvalidRequest"
        if payload != "UNSIGNED-PAYLOAD" and payload != hashlib.sha256(body).hexdigest():
            return 400, "XAmzContentSHA256Mismatch"
        signed = fields["SignedHeaders"].split(";")
        if any(name.lower().startswith("x-amz-") and name.lower() not in signed for name in self.headers):
            return 403, "AccessDenied"
        request = AWSRequest(method=self.command, url="http://%s%s" % (self.headers["Host"], self.path),
                             headers={name: self.headers[name] for name in signed})
        request.context["timestamp"] = self.headers["x-amz-date"]
        signer = S3SigV4Auth(Credentials(KEY, SECRET), "s3", REGION)
        expected = signer.signature(signer.string_to_sign(request, signer.canonical_request(request)), request)
        return None if expected == fields["Signature"] else (403, "SignatureDoesNotMatch")

    def log_message(self, *args):
        pass


ThreadingHTTPServer(("127.0.0.1", PORT), Front).serve_forever()
