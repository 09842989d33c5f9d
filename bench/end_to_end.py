#!/usr/bin/env python3
"""End-to-end bench of the plugin through north-run, against a throwaway
PostgreSQL 15 on 127.0.0.1 started by scripts/lib/pgserver.sh. Prints one
Markdown report; figures and targets (PASS/MISS) are printed, never asserted.

  delivery   (a) north-run in blocks of 500, (b) psql replaying exactly the
             INSERTs (a) sent, (c) COPY of the same rows, (d) one INSERT per
             reading; the target: (a) within 1.15x of (b)
  memory     north-run's peak RSS with blocks of 500 and with one block of all
  state      a second run with the state file: one statement per table and
             block, no catalogue query
  latency    north-run through a relay adding 10 ms, then 25 ms each way:
             readings/s and round trips per block next to loopback; the
             target: time <= 1.4 x (loopback time + blocks x round trip)
  soak       north-run streaming while the server ends the plugin's session
             every 0.5 s: resident memory at start and end, readings lost or
             duplicated
  wide       500 readings of 1,500 datapoints with a RedshiftHint and
             without; one reading of 1,500 and of 50,000 datapoints (the
             server refuses over 1,600 columns: the attempt's CPU is measured)
  createBatch  the Google Benchmark program's summary

  scripts/bench                 quick sizes (a few minutes)
  scripts/bench --full          the sizes of the README's figures
  scripts/bench --readings N --runs N --soak-seconds S   sizes by hand
  scripts/bench --out FILE      also write the report to FILE
  scripts/bench --keep          leave the work directory (logs, data) behind
  scripts/bench --no-build      use build/bench as it is
"""

import argparse
import os
import re
import shutil
import subprocess
import sys
import tempfile
import threading
import time

import e2e_data as data
from e2e_relay import LatencyRelay
from e2e_server import PASSWORD, Process, Server, run

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BUILD = os.path.join(REPO, "build", "bench")
NORTH_RUN = os.path.join(BUILD, "bin", "north-run")
GBENCH = os.path.join(BUILD, "bin", "cirrant-bench")
BLOCK = 500

QUICK = dict(readings=20000, runs=3, relay_readings=5000, soak_seconds=10,
             gbench=["--benchmark_repetitions=2", "--benchmark_min_time=0.05"])
FULL = dict(readings=100000, runs=5, relay_readings=20000, soak_seconds=60, gbench=[])


def step(text):
    print("== " + text, file=sys.stderr, flush=True)


def fmt(n):
    return "{:,}".format(int(round(n)))


def verdict(met):
    return "PASS" if met else "MISS"


class Bench:
    def __init__(self, options, work, server):
        self.o = options
        self.work = work
        self.server = server
        self.report = []

    def say(self, *lines):
        self.report.extend(lines)

    def north(self, db, *extra, port=None, readings=None):
        return [NORTH_RUN, "--readings", readings or self.readings, "--set", "host=127.0.0.1",
                "--set", "port=%d" % (port or self.server.port), "--set", "dbName=" + db] + list(extra)

    def path(self, name):
        return os.path.join(self.work, name)

    # ------------------------------------------------------------ delivery
    def delivery(self):
        n = self.o.readings
        step("generating %s readings" % fmt(n))
        self.readings = self.path("readings.jsonl")
        expected = data.write_delivery_set(self.work, n, BLOCK)
        tables = data.TABLES

        # Debug logging writes every statement out, which costs time of its
        # own: the statements come from this run, the timings from the runs below.
        step("north-run with --log-level debug: capturing the statements")
        self.server.fresh_db("bench_state")
        state = self.path("state.json")
        debug = run(self.north("bench_state", "--block-size", str(BLOCK), "--state", state, "--log-level", "debug"),
                    self.work, "debug1", check=True)
        statements = re.findall(r"^DEBUG: \*\* Execute Query ==> (.*)$", debug.err, re.M)
        ddl = [s + ";" for s in statements if s.startswith("CREATE TABLE")]
        inserts = [s + ";" for s in statements if s.startswith("INSERT")]
        first_schema = sum(1 for s in statements if s.startswith("SELECT") and "information_schema" in s)
        data.write_lines(self.path("ddl.sql"), [s + "\n" for s in ddl])
        data.write_lines(self.path("inserts.sql"), [s + "\n" for s in inserts])
        if self.server.row_count("bench_state", tables) != n or len(inserts) != expected:
            raise RuntimeError("the debug run stored %d rows in %d INSERTs; %d in %d expected" % (
                self.server.row_count("bench_state", tables), len(inserts), n, expected))

        step("north-run again with the state file, against the known tables")
        second = run(self.north("bench_state", "--block-size", str(BLOCK), "--state", state, "--log-level", "debug"),
                     self.work, "debug2", check=True)
        second_statements = re.findall(r"^DEBUG: \*\* Execute Query ==> (.*)$", second.err, re.M)
        second_inserts = sum(1 for s in second_statements if s.startswith("INSERT"))
        second_schema = sum(1 for s in second_statements if "information_schema" in s)
        state_ok = (len(second_statements) == expected and second_inserts == expected and second_schema == 0 and
                    self.server.row_count("bench_state", tables) == 2 * n)

        secs = {m: [] for m in "abcd"}
        digests = {}
        rss_a, own_rates = [], []
        psql = lambda db: self.server.psql_command(db)
        pg_env = {"PGPASSWORD": PASSWORD}
        copies = []
        for t in tables:
            copies += ["-c", "\\copy %s (%s) FROM '%s' WITH (FORMAT csv)" % (
                t, ",".join(data.COLUMNS), self.path("copy_%s.csv" % t))]
        methods = {
            "a": (None, lambda: self.north("bench_a", "--block-size", str(BLOCK)), {}),
            "b": ("ddl", lambda: psql("bench_b") + ["-f", self.path("inserts.sql")], pg_env),
            "c": ("ddl", lambda: psql("bench_c") + copies, pg_env),
            "d": ("ddl", lambda: psql("bench_d") + ["-f", self.path("naive.sql")], pg_env),
        }
        for r in range(1, self.o.runs + 1):
            for m, (ddl_needed, argv, env) in methods.items():
                step("run %d of %d: (%s)" % (r, self.o.runs, m))
                db = "bench_" + m
                self.server.fresh_db(db, self.path("ddl.sql") if ddl_needed else None)
                res = run(argv(), self.work, m, env=env, check=True)
                secs[m].append(res.seconds)
                if m == "a":
                    rss_a.append(res.rss_kib)
                    own_rates.append(res.summary()["rate"])
                if self.server.row_count(db, tables) != n:
                    raise RuntimeError("(%s) did not store every reading" % m)
                digests[m] = self.server.rows_digest(db, tables)
        same_rows = all(digests[m] == digests["a"] for m in "bcd")

        step("north-run with one block of %s readings" % fmt(n))
        self.server.fresh_db("bench_big")
        big = run(self.north("bench_big", "--block-size", str(n)), self.work, "big", check=True)
        self.server.fresh_db("bench_big_dbg")
        big_dbg = run(self.north("bench_big_dbg", "--block-size", str(n), "--log-level", "debug"), self.work,
                      "big-debug", check=True)
        big_inserts = [len(s.encode()) for s in re.findall(r"^DEBUG: \*\* Execute Query ==> (INSERT.*)$",
                                                             big_dbg.err, re.M)]

        best = {m: min(v) for m, v in secs.items()}
        worst = {m: max(v) for m, v in secs.items()}
        rate = lambda s: n / s
        self.say("### Delivery, %s readings" % fmt(n), "",
                 "- Readings: 10 datapoints each (3 integers, 4 floats, 3 texts), over 5 assets, one table each.",
                 "- Wall time of the whole program, start-up and connection included; the fastest of %d runs, "
                 "and the slowest." % self.o.runs, "",
                 "| method | readings/s | vs (a) | seconds | slowest run, readings/s |", "|---|---|---|---|---|")
        labels = {"a": "(a) north-run, blocks of %d" % BLOCK,
                  "b": "(b) psql replaying the statements (a) sent (%d multi-row INSERTs)" % expected,
                  "c": "(c) COPY of the same rows (psql \\copy, CSV)",
                  "d": "(d) one INSERT per reading (psql)"}
        for m in "abcd":
            self.say("| %s | %s | %.2fx | %.3f | %s |" % (labels[m], fmt(rate(best[m])), best["a"] / best[m],
                                                        best[m], fmt(rate(worst[m]))))
        ratio = best["a"] / best["b"]
        self.say("", "north-run's own rate line (first line read to last block sent), best run: %s readings/s." %
                 fmt(max(own_rates)),
                 "Every method stored the same rows (digest of all rows): %s." % ("yes" if same_rows else "NO"),
                 "north-run with --log-level debug (every statement logged): %s readings/s." %
                 fmt(rate(debug.seconds)), "",
                 "| target | figure | |", "|---|---|---|",
                 "| loopback: north-run time <= 1.15 x psql replaying its statements | %.2fx | %s |" % (
                     ratio, verdict(ratio <= 1.15)), "")
        rss_median = sorted(rss_a)[len(rss_a) // 2]
        self.say("| north-run memory | |", "|---|---|",
                 "| peak RSS, blocks of %d (median of %d runs) | %.1f MiB |" % (BLOCK, len(rss_a), rss_median / 1024),
                 "| peak RSS, one block of %s | %.1f MiB (%s readings/s) |" % (fmt(n), big.rss_kib / 1024,
                                                                               fmt(rate(big.seconds))),
                 "| readings (JSON lines) | %.1f MB |" % (os.path.getsize(self.readings) / 1e6),
                 "| statement text of that block | %.1f MB in %d statements, largest %.1f MB |" % (
                     sum(big_inserts) / 1e6, len(big_inserts), max(big_inserts or [0]) / 1e6),
                 "| peak RSS growth per reading, block of %s over %d | %s bytes |" % (
                     fmt(n), BLOCK, fmt((big.rss_kib - rss_median) * 1024 / n)), "",
                 "Second run with the state file, against the known tables: %d statements, %d of them INSERTs "
                 "(%d expected: one per table and block), %d information_schema queries. One statement per "
                 "table: %s. (First run, without state: %d information_schema queries.)" % (
                     len(second_statements), second_inserts, expected, second_schema,
                     "yes" if state_ok else "NO", first_schema), "")

    # ------------------------------------------------------------- latency
    def latency(self):
        n = min(self.o.relay_readings, self.o.readings)
        subset = self.path("relay.jsonl")
        with open(self.readings) as src:
            data.write_lines(subset, [next(src) for _ in range(n)])
        step("loopback run of %s readings for the latency comparison" % fmt(n))
        self.server.fresh_db("bench_lo")
        loop = run(self.north("bench_lo", "--block-size", str(BLOCK), readings=subset), self.work, "lo", check=True)
        with LatencyRelay(self.server.port, 0) as relay:
            self.server.fresh_db("bench_lo0")
            run(self.north("bench_lo0", "--block-size", str(BLOCK), port=relay.port, readings=subset), self.work,
                "lo0", check=True)
            loop_trips = relay.round_trips
        blocks = loop.summary()["blocks"]
        self.say("### Through a latency relay, %s readings in %d blocks of %d" % (fmt(n), blocks, BLOCK), "",
                 "Round trips are counted at the relay (bytes from north-run after the server answered), "
                 "connection and table creation included.", "",
                 "| link | seconds | readings/s | round trips | per block | target: <= 1.4 x (loopback + blocks "
                 "x round trip) | |", "|---|---|---|---|---|---|---|",
                 "| loopback | %.3f | %s | %d | %.1f | | |" % (loop.seconds, fmt(n / loop.seconds), loop_trips,
                                                          loop_trips / blocks))
        for delay_ms in (10, 25):
            step("north-run through a relay adding %d ms each way" % delay_ms)
            db = "bench_relay%d" % delay_ms
            self.server.fresh_db(db)
            with LatencyRelay(self.server.port, delay_ms / 1000.0) as relay:
                res = run(self.north(db, "--block-size", str(BLOCK), port=relay.port, readings=subset), self.work,
                          db, check=True)
                trips = relay.round_trips
            target = 1.4 * (loop.seconds + blocks * 2 * delay_ms / 1000.0)
            self.say("| +%d ms each way | %.3f | %s | %d | %.1f | %.3f s | %s |" % (
                delay_ms, res.seconds, fmt(n / res.seconds), trips, trips / blocks, target,
                verdict(res.seconds <= target)))
        self.say("")

    # ---------------------------------------------------------------- soak
    def soak(self):
        seconds = self.o.soak_seconds
        step("soak: %d s of streaming, the plugin's session ended every 0.5 s" % seconds)
        db = "bench_soak"
        self.server.fresh_db(db)
        proc = Process(self.north(db, "--block-size", "100", readings="-"), self.work, "soak", stdin=subprocess.PIPE)
        rate, sent_lines, cuts = 2000, 0, 0
        stop = threading.Event()

        def cutter():
            nonlocal cuts
            while not stop.wait(0.5):
                try:
                    ended = self.server.admin("SELECT count(pg_terminate_backend(pid)) FROM pg_stat_activity "
                                              "WHERE datname = '%s' AND usename = 'redshift'" % db)
                except subprocess.CalledProcessError:
                    continue  # counted only when it ended a session
                cuts += int(ended or 0) > 0

        pid = proc.program_pid()

        def rss():
            with open("/proc/%d/status" % pid) as status:
                return int(next(line for line in status if line.startswith("VmRSS:")).split()[1])

        start = time.monotonic()
        rss_start = None
        cut_thread = threading.Thread(target=cutter)
        cut_thread.start()
        try:
            while time.monotonic() - start < seconds:
                due = int((time.monotonic() - start) * rate)
                chunk = "".join(data.soak_line(i) for i in range(sent_lines, due))
                proc.proc.stdin.write(chunk.encode())
                proc.proc.stdin.flush()
                sent_lines = due
                if rss_start is None and time.monotonic() - start >= 1.0:
                    rss_start, cuts_at_start = rss(), cuts
                time.sleep(0.05)
            rss_end, cuts_at_end = rss(), cuts
        finally:
            stop.set()
            cut_thread.join()
            proc.proc.stdin.close()
        res = proc.wait()
        stored, distinct = self.server.sql(db, "SELECT count(*), count(DISTINCT seq) FROM soak").split("|")
        stored, distinct = int(stored), int(distinct)
        summary = res.summary()
        per_cut = (rss_end - rss_start) / max(cuts_at_end - cuts_at_start, 1)
        self.say("### Soak: %d s, the plugin's session ended every 0.5 s" % seconds, "",
                 "| figure | |", "|---|---|",
                 "| readings written to north-run | %s (%s/s, blocks of 100) |" % (fmt(sent_lines), fmt(rate)),
                 "| sessions ended | %d |" % cuts,
                 "| resident memory at 1 s, at the end | %.1f MiB, %.1f MiB (%+.1f KiB per cut) |" % (
                     rss_start / 1024, rss_end / 1024, per_cut),
                 "| north-run | exit %d; sent %d, not sent %d |" % (res.status, summary.get("sent", -1),
                                                                  summary.get("not-sent", -1)),
                 "| rows stored, distinct readings | %s, %s |" % (fmt(stored), fmt(distinct)),
                 "| readings lost, duplicated | %d, %d |" % (sent_lines - distinct, stored - distinct), "")

    # ---------------------------------------------------------------- wide
    def wide(self):
        step("linear cost: wide readings")
        self.say("### Wide readings (cost linear in the datapoints?)", "",
                 "north-run's wall and CPU time (user + system, the line's parsing included).", "",
                 "| case | wall s | CPU s | outcome |", "|---|---|---|---|")
        for hint in (None, "wide_hinted"):
            name = "with" if hint else "without"
            path = data.write_lines(self.path("wide_%s.jsonl" % name),
                                    [data.wide_line("wide plain", 1500, i, hint) for i in range(500)])
            db = "bench_wide_" + name
            self.server.fresh_db(db)
            state = self.path("wide_%s.state" % name)
            first = run(self.north(db, "--state", state, readings=path), self.work, db + "1")
            again = run(self.north(db, "--state", state, readings=path), self.work, db + "2")
            for label, res in (("table created", first), ("table known (state file)", again)):
                self.say("| 500 x 1,500 datapoints, %s RedshiftHint, %s | %.3f | %.3f | %s |" % (
                    name, label, res.seconds, res.cpu, outcome(res)))
        for width in (1500, 50000):
            path = data.write_lines(self.path("one_%d.jsonl" % width), [data.wide_line("one wide", width, 0)])
            db = "bench_one_%d" % width
            self.server.fresh_db(db)
            res = run(self.north(db, readings=path), self.work, db)
            self.say("| one reading of %s datapoints | %.3f | %.3f | %s |" % (fmt(width), res.seconds, res.cpu,
                                                                             outcome(res)))
        self.say("")

    # --------------------------------------------------------- createBatch
    def create_batch(self):
        step("createBatch benchmarks (Google Benchmark)")
        res = run([GBENCH] + self.o.gbench, self.work, "gbench")
        lines = res.out.splitlines()
        start = next((i for i, l in enumerate(lines) if re.match(r"^(createBatch, CPU time|The table check|\| target )",
                                                                   l)), len(lines))
        self.say("### createBatch (Google Benchmark, no database)", "", *lines[start:])


def outcome(res):
    s = res.summary()
    if "sent" not in s:
        return "exit %d" % res.status
    return "exit %d, sent %d of %d" % (res.status, s["sent"], s["read"])


def build():
    step("building build/bench (Release, -O2)")
    subprocess.run(["cmake", "-S", REPO, "-B", BUILD, "-DCMAKE_BUILD_TYPE=Release",
                    "-DCMAKE_CXX_FLAGS_RELEASE=-O2 -DNDEBUG", "-DCIRRANT_BENCH=ON", "-DCIRRANT_TESTS=OFF"],
                   check=True, stdout=subprocess.DEVNULL)
    # Two jobs at most: the machine is shared with other builds.
    subprocess.run(["cmake", "--build", BUILD, "-j2", "--target", "north-run", "cirrant", "cirrant-bench"],
                   check=True, stdout=subprocess.DEVNULL)


def options():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--quick", action="store_true", help="quick sizes (the default)")
    parser.add_argument("--full", action="store_true", help="the sizes of the README's figures")
    parser.add_argument("--readings", type=int)
    parser.add_argument("--runs", type=int)
    parser.add_argument("--relay-readings", type=int)
    parser.add_argument("--soak-seconds", type=int)
    parser.add_argument("--out")
    parser.add_argument("--keep", action="store_true")
    parser.add_argument("--no-build", action="store_true")
    parser.add_argument("--gbench-args", default="", help="extra arguments for the Google Benchmark program")
    o = parser.parse_args()
    sizes = FULL if o.full else QUICK
    for key, value in sizes.items():
        if getattr(o, key, None) is None:
            setattr(o, key, value)
    o.gbench = list(sizes["gbench"]) + o.gbench_args.split()
    return o


def machine():
    with open("/proc/cpuinfo") as f:
        cpu = next((l.split(":", 1)[1].strip() for l in f if l.startswith("model name")), "unknown")
    with open("/proc/meminfo") as f:
        mem = int(next(l for l in f if l.startswith("MemTotal")).split()[1]) / 1024 / 1024
    with open("/proc/loadavg") as f:
        load = " ".join(f.read().split()[:3])
    rev = subprocess.run(["git", "-C", REPO, "describe", "--always", "--dirty"], stdout=subprocess.PIPE,
                         stderr=subprocess.DEVNULL, text=True).stdout.strip() or "unknown"
    return ["- Machine: %d cores (%s), %.0f GiB memory; load average at start %s (other work shares this "
            "machine)." % (os.cpu_count(), cpu, mem, load),
            "- Build: Release, -O2, revision %s." % rev,
            "- Server: PostgreSQL 15 on 127.0.0.1, reached over TCP; fsync=off (no flush per commit); heap "
            "trimming off (MALLOC_TRIM_THRESHOLD_), so that no session pays page faults for every statement.", ""]


def main():
    o = options()
    if not o.no_build:
        build()
    work = tempfile.mkdtemp(prefix="cirrant-bench.")
    server = Server(REPO)
    ok = False
    try:
        head = machine()
        step("starting PostgreSQL 15 (scripts/lib/pgserver.sh, fsync=off, no heap trimming)")
        server.start()
        bench = Bench(o, work, server)
        bench.say(*head)
        bench.delivery()
        bench.latency()
        bench.soak()
        bench.wide()
        # With the server stopped, so that nothing of ours competes with them.
        server.stop()
        bench.create_batch()
        ok = True
    finally:
        server.stop()
        if not ok or o.keep:
            print("bench: %s; work directory kept: %s" % ("done" if ok else "failed", work), file=sys.stderr)
        else:
            shutil.rmtree(work, ignore_errors=True)
    text = "\n".join(bench.report)
    print("\n" + text)
    if o.out:
        with open(o.out, "w") as f:
            f.write(text + "\n")
        step("report written to " + o.out)


if __name__ == "__main__":
    main()
