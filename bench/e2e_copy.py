"""The COPY path against the INSERT path: north-run through a relay that
counts the SQL text the server parses and, as the tests' relay does, runs a
COPY from S3 as PostgreSQL's COPY FROM PROGRAM of tests/support/s3_copy.py
on the test S3 (tests/support/s3server.sh). Figures: SQL bytes parsed per
reading, readings/s, and north-run's peak RSS on one block of 100,000."""

import asyncio
import os
import re
import struct
import subprocess
import tempfile
import threading

import e2e_data
import e2e_relay
from e2e_bench import REPO, fmt, outcome, run, step, verdict

READINGS = 200000
BLOCK = 5000
BIG = 100000
# Five assets: about a thousand rows per table in a block of 5,000.
THRESHOLD = 500
S3_COPY = os.path.join(REPO, "tests", "support", "s3_copy.py")
COPY = re.compile(r"COPY (\S+) \( (.*)\) FROM '(s3://[^']*)' (?:IAM_ROLE '([^']*)'|ACCESS_KEY_ID '([^']*)' "
                  r"SECRET_ACCESS_KEY '([^']*)'(?: SESSION_TOKEN '([^']*)')?) FORMAT AS CSV GZIP MANIFEST "
                  r"REGION '[^']*' COMPUPDATE OFF STATUPDATE OFF")


def rewrite(query, state):
    """Each COPY from S3 of the query as the tests' relay writes it."""
    if "COPY " not in query:
        return query
    out = []
    for statement in query.split(";"):
        m = COPY.fullmatch(statement)
        if m:
            command = "/usr/bin/python3 %s %s" % (S3_COPY, state) + "".join(
                " ''%s''" % (m.group(i) or "") for i in range(3, 8))
            names = re.sub(r'[" ]', "", m.group(2))
            statement = ("DO $copy$ BEGIN EXECUTE 'COPY %s ( %s) FROM PROGRAM ' || quote_literal('%s ' || (SELECT "
                         "string_agg(CASE WHEN a.atttypid IN ('varchar'::regtype, 'bpchar'::regtype, "
                         "'text'::regtype) THEN 'c' ELSE 'n' END, '' ORDER BY k.n) FROM unnest(string_to_array('%s', "
                         "',')) WITH ORDINALITY k(name, n) JOIN pg_attribute a ON a.attrelid = '%s'::regclass AND "
                         "a.attname = k.name)) || ' (FORMAT csv)'; END $copy$"
                         % (m.group(1), m.group(2), command, names, m.group(1)))
        out.append(statement)
    return ";".join(out)


class CopyRelay:
    """Client messages parsed, Query text counted and rewritten; the
    server's bytes passed through."""

    def __init__(self, target_port, state):
        self.target_port, self.state, self.sql_bytes, self.port = target_port, state, 0, None
        self._loop = asyncio.new_event_loop()
        self._ready = threading.Event()
        threading.Thread(target=lambda: e2e_relay.serve(self), daemon=True).start()
        self._ready.wait()

    async def _connection(self, client_reader, client_writer):
        server_reader, server_writer = await asyncio.open_connection("127.0.0.1", self.target_port)

        async def from_client():
            typed = False
            try:
                while True:
                    if typed:
                        kind = await client_reader.readexactly(1)
                        size = struct.unpack("!I", await client_reader.readexactly(4))[0]
                        body = await client_reader.readexactly(size - 4)
                        if kind == b"Q":
                            text = body[:-1].decode()
                            self.sql_bytes += len(body) - 1
                            body = rewrite(text, self.state).encode() + b"\0"
                        server_writer.write(kind + struct.pack("!I", len(body) + 4) + body)
                    else:
                        head = await client_reader.readexactly(8)
                        size, code = struct.unpack("!II", head)
                        rest = await client_reader.readexactly(size - 8)
                        typed = code == 196608  # the startup message; SSL requests come before
                        server_writer.write(head + rest)
                    await server_writer.drain()
            except (asyncio.IncompleteReadError, ConnectionError):
                server_writer.close()

        async def from_server():
            try:
                while data := await server_reader.read(65536):
                    client_writer.write(data)
                    await client_writer.drain()
            except ConnectionError:
                pass
            client_writer.close()

        await asyncio.gather(from_client(), from_server())


def measure(bench):
    step("COPY path: generating %s readings" % fmt(READINGS))
    work = bench.path("copy")
    os.makedirs(work, exist_ok=True)
    e2e_data.write_delivery_set(work, READINGS, BLOCK)
    readings = os.path.join(work, "readings.jsonl")
    big = os.path.join(work, "big.jsonl")
    with open(readings) as f, open(big, "w") as out:
        for _, line in zip(range(BIG), f):
            out.write(line)
    if not os.path.isdir(os.path.join(REPO, "tests", "s3", "node_modules")):
        subprocess.run(["npm", "ci", "--no-audit", "--no-fund"], cwd=os.path.join(REPO, "tests", "s3"), check=True,
                       stdout=subprocess.DEVNULL)
    # Where PostgreSQL's own user, which runs s3_copy.py, can read it.
    state = tempfile.mktemp(prefix="cirrant-bench-s3.")
    subprocess.run(["bash", os.path.join(REPO, "tests/support/s3server.sh"), "start", state], check=True,
                   stdout=subprocess.DEVNULL)
    try:
        s3 = dict(line.strip().split("=", 1) for line in open(state) if "=" in line)
        bench.server.admin("GRANT pg_execute_server_program TO redshift")
        relay = CopyRelay(bench.server.port, state)
        staging = ["--set", "s3Bucket=cirrant-test", "--set", "s3Endpoint=http://127.0.0.1:" + s3["S3_PORT"],
                   "--set", "s3AccessKeyId=" + s3["S3_KEY"], "--set", "s3SecretAccessKey=" + s3["S3_SECRET"],
                   "--set", "copyThreshold=%d" % THRESHOLD]
        rows = {}
        for path, extra in (("INSERT", []), ("COPY", staging)):
            db = "bench_copy_" + path.lower()
            bench.server.fresh_db(db)
            relay.sql_bytes = 0
            step("COPY path: north-run by %s, blocks of %s, through the relay" % (path, fmt(BLOCK)))
            res = run(bench.north(db, "--block-size", str(BLOCK), *extra, port=relay.port, readings=readings),
                      bench.work, "copy_" + path, check=True)
            parsed = relay.sql_bytes / READINGS
            bench.server.fresh_db(db + "_big")
            one = run(bench.north(db + "_big", "--block-size", str(BIG), *extra, port=relay.port, readings=big),
                      bench.work, "copy_big_" + path, check=True)
            rows[path] = (parsed, READINGS / res.seconds, one.rss_kib / 1024, outcome(res), outcome(one),
                          bench.server.rows_digest(db, e2e_data.TABLES), res.cpu)
    finally:
        subprocess.run(["bash", os.path.join(REPO, "tests/support/s3server.sh"), "stop", state], check=False)
    insert, copy = rows["INSERT"], rows["COPY"]
    bench.say("### COPY path against INSERT path, %s readings in blocks of %s, through the relay" % (
        fmt(READINGS), fmt(BLOCK)), "",
        "copyThreshold %d (five tables, about %s rows each per block)." % (THRESHOLD, fmt(BLOCK / 5)), "",
        "| path | SQL bytes parsed per reading | readings/s | north-run CPU | peak RSS, one block of %s | runs |"
        % fmt(BIG), "|---|---|---|---|---|---|")
    for name, r in (("INSERT", insert), ("COPY", copy)):
        bench.say("| %s | %.1f | %s | %.2f s | %.1f MiB | %s; %s |" % (name, r[0], fmt(r[1]), r[6], r[2], r[3], r[4]))
    bench.say("", "- SQL parsed, COPY against INSERT: %.1f%% (target below 20%%): %s" % (
        100 * copy[0] / insert[0], verdict(copy[0] < 0.2 * insert[0])),
        "- peak RSS, COPY against INSERT: %.0f%% lower (target at least 30%% lower): %s" % (
            100 * (1 - copy[2] / insert[2]), verdict(copy[2] <= 0.7 * insert[2])),
        "- the same rows by both paths: %s" % ("yes" if insert[5] == copy[5] else "NO"),
        "- readings/s by COPY here are the stand-in's: PostgreSQL starts a Python program per COPY, which",
        "  reads S3 through botocore; north-run's own CPU is the plugin's cost.", "")
