"""Redshift's COPY ... FROM 's3://...' MANIFEST for the tests: PostgreSQL runs
it as COPY ... FROM PROGRAM (the relay rewrites the statement). It reads the
manifest and its files from the test S3, signed as a cluster would sign,
and writes their rows as PostgreSQL's CSV, read by Redshift's CSV rules as
the plugin uses them: a quoted field is text ("" a quote); an empty
unquoted field is NULL, but '' in a character column.
  s3_copy.py STATE URL ROLE KEY SECRET TOKEN KINDS
KINDS has a letter per column: c for a character column, n for another.
Exit status 3: the role cannot be assumed; 4: S3 refused a request or has
no such file; 5: a manifest entry is not mandatory."""

import gzip
import json
import re
import sys
import urllib.request

from botocore.auth import S3SigV4Auth
from botocore.awsrequest import AWSRequest
from botocore.credentials import Credentials

state = dict(line.strip().split("=", 1) for line in open(sys.argv[1]) if "=" in line)
url, role, key, secret, token, kinds = sys.argv[2:8]
if role:
    if role != state["S3_ROLE"]:
        sys.exit(3)
    key, secret, token = state["S3_KEY"], state["S3_SECRET"], ""


def get(s3_url):
    request = AWSRequest("GET", "http://127.0.0.1:%s/%s" % (state["S3_PORT"], s3_url[len("s3://"):]))
    S3SigV4Auth(Credentials(key, secret, token or None), "s3", state["S3_REGION"]).add_auth(request)
    try:
        return urllib.request.urlopen(urllib.request.Request(request.url, headers=dict(request.headers))).read()
    except urllib.error.HTTPError:
        sys.exit(4)


FIELD = re.compile(r'(?:"((?:[^"]|"")*)"|([^,"\n]*))(,|\n|$)')
out = []
for entry in json.loads(get(url))["entries"]:
    if entry.get("mandatory") is not True:
        sys.exit(5)
    text, at, row = gzip.decompress(get(entry["url"])).decode(), 0, []
    while at < len(text):
        field = FIELD.match(text, at)
        if not field or field.end() == at:
            out.append(text[at:])  # not CSV: PostgreSQL refuses it as Redshift would
            break
        at = field.end()
        if field.group(1) is not None:
            row.append('"%s"' % field.group(1))
        else:
            row.append(field.group(2) or ('""' if kinds[len(row)] == "c" else ""))
        if field.group(3) != ",":
            out.append(",".join(row) + "\n")
            row = []
sys.stdout.buffer.write("".join(out).encode())
