"""Delivery: north-run against other ways of loading the same rows, its peak
memory, and a second run with the state file."""

import os
import re

import e2e_data as data
from e2e_bench import BLOCK, fmt, run, step, verdict
from e2e_server import PASSWORD


def measure(bench):
    n = bench.o.readings
    step("generating %s readings" % fmt(n))
    bench.readings = bench.path("readings.jsonl")
    expected = data.write_delivery_set(bench.work, n, BLOCK)
    tables = data.TABLES

    # Debug logging writes every statement out, which costs time of its
    # own: the statements come from this run, the timings from the runs below.
    step("north-run with --log-level debug: capturing the statements")
    bench.server.fresh_db("bench_state")
    state = bench.path("state.json")
    debug = run(bench.north("bench_state", "--block-size", str(BLOCK), "--state", state, "--log-level", "debug"),
                bench.work, "debug1", check=True)
    statements = re.findall(r"^DEBUG: \*\* Execute Query ==> (.*)$", debug.err, re.M)
    ddl = [s + ";" for s in statements if s.startswith("CREATE TABLE")]
    # Everything a block writes: its INSERTs and the ledger's entry (and, now
    # and then, the ledger's pruning), replayed statement by statement.
    replayed = [s + ";" for s in statements if s.startswith("INSERT") or s.startswith("DELETE")]
    inserts = [s for s in replayed if s.startswith("INSERT") and not s.startswith('INSERT INTO "cirrant$')]
    first_schema = sum(1 for s in statements if s.startswith("SELECT") and "information_schema" in s)
    data.write_lines(bench.path("ddl.sql"), [s + "\n" for s in ddl])
    data.write_lines(bench.path("inserts.sql"), [s + "\n" for s in replayed])
    if bench.server.row_count("bench_state", tables) != n or len(inserts) != expected:
        raise RuntimeError("the debug run stored %d rows in %d INSERTs; %d in %d expected" % (
            bench.server.row_count("bench_state", tables), len(inserts), n, expected))

    step("north-run again with the state file, against the known tables")
    second = run(bench.north("bench_state", "--block-size", str(BLOCK), "--state", state, "--log-level", "debug"),
                 bench.work, "debug2", check=True)
    second_statements = re.findall(r"^DEBUG: \*\* Execute Query ==> (.*)$", second.err, re.M)
    second_inserts = sum(1 for s in second_statements if s.startswith("INSERT") and
                         not s.startswith('INSERT INTO "cirrant$'))
    second_schema = sum(1 for s in second_statements if "information_schema" in s)
    second_ddl = sum(1 for s in second_statements if s.startswith("CREATE") or s.startswith("ALTER"))
    # Per connection the cached tables are compared with the catalogue once
    # (and the bookkeeping tables looked for); nothing per block.
    state_ok = (second_inserts == expected and second_schema <= 2 and second_ddl == 0 and
                bench.server.row_count("bench_state", tables) == 2 * n)

    secs = {m: [] for m in "abcd"}
    digests = {}
    rss_a, own_rates = [], []
    psql = lambda db: bench.server.psql_command(db)
    pg_env = {"PGPASSWORD": PASSWORD}
    copies = []
    for t in tables:
        copies += ["-c", "\\copy %s (%s) FROM '%s' WITH (FORMAT csv)" % (
            t, ",".join(data.COLUMNS), bench.path("copy_%s.csv" % t))]
    methods = {
        "a": (None, lambda: bench.north("bench_a", "--block-size", str(BLOCK)), {}),
        "b": ("ddl", lambda: psql("bench_b") + ["-f", bench.path("inserts.sql")], pg_env),
        "c": ("ddl", lambda: psql("bench_c") + copies, pg_env),
        "d": ("ddl", lambda: psql("bench_d") + ["-f", bench.path("naive.sql")], pg_env),
    }
    for r in range(1, bench.o.runs + 1):
        for m, (ddl_needed, argv, env) in methods.items():
            step("run %d of %d: (%s)" % (r, bench.o.runs, m))
            db = "bench_" + m
            bench.server.fresh_db(db, bench.path("ddl.sql") if ddl_needed else None)
            res = run(argv(), bench.work, m, env=env, check=True)
            secs[m].append(res.seconds)
            if m == "a":
                rss_a.append(res.rss_kib)
                own_rates.append(res.summary()["rate"])
            if bench.server.row_count(db, tables) != n:
                raise RuntimeError("(%s) did not store every reading" % m)
            digests[m] = bench.server.rows_digest(db, tables)
    same_rows = all(digests[m] == digests["a"] for m in "bcd")

    step("north-run with one block of %s readings" % fmt(n))
    bench.server.fresh_db("bench_big")
    big = run(bench.north("bench_big", "--block-size", str(n)), bench.work, "big", check=True)
    bench.server.fresh_db("bench_big_dbg")
    big_dbg = run(bench.north("bench_big_dbg", "--block-size", str(n), "--log-level", "debug"), bench.work,
                  "big-debug", check=True)
    big_inserts = [len(s.encode()) for s in re.findall(r"^DEBUG: \*\* Execute Query ==> (INSERT.*)$",
                                                       big_dbg.err, re.M)]

    best = {m: min(v) for m, v in secs.items()}
    worst = {m: max(v) for m, v in secs.items()}
    rate = lambda s: n / s
    bench.say("### Delivery, %s readings" % fmt(n), "",
              "- Readings: 10 datapoints each (3 integers, 4 floats, 3 texts), over 5 assets, one table each.",
              "- Wall time of the whole program, start-up and connection included; the fastest of %d runs, "
              "and the slowest." % bench.o.runs, "",
              "| method | readings/s | vs (a) | seconds | slowest run, readings/s |", "|---|---|---|---|---|")
    labels = {"a": "(a) north-run, blocks of %d" % BLOCK,
              "b": "(b) psql replaying the statements (a) sent (%d multi-row INSERTs, one ledger entry per block)" % expected,
              "c": "(c) COPY of the same rows (psql \\copy, CSV)",
              "d": "(d) one INSERT per reading (psql)"}
    for m in "abcd":
        bench.say("| %s | %s | %.2fx | %.3f | %s |" % (labels[m], fmt(rate(best[m])), best["a"] / best[m],
                                                       best[m], fmt(rate(worst[m]))))
    ratio = best["a"] / best["b"]
    bench.say("", "north-run's own rate line (first line read to last block sent), best run: %s readings/s." %
              fmt(max(own_rates)),
              "Every method stored the same rows (digest of all rows): %s." % ("yes" if same_rows else "NO"),
              "north-run with --log-level debug (every statement logged): %s readings/s." %
              fmt(rate(debug.seconds)), "",
              "| target | figure | |", "|---|---|---|",
              "| loopback: north-run time <= 1.15 x psql replaying its statements | %.2fx | %s |" % (
                  ratio, verdict(ratio <= 1.15)), "")
    rss_median = sorted(rss_a)[len(rss_a) // 2]
    bench.say("| north-run memory | |", "|---|---|",
              "| peak RSS, blocks of %d (median of %d runs) | %.1f MiB |" % (BLOCK, len(rss_a), rss_median / 1024),
              "| peak RSS, one block of %s | %.1f MiB (%s readings/s) |" % (fmt(n), big.rss_kib / 1024,
                                                                            fmt(rate(big.seconds))),
              "| readings (JSON lines) | %.1f MB |" % (os.path.getsize(bench.readings) / 1e6),
              "| statement text of that block | %.1f MB in %d statements, largest %.1f MB |" % (
                  sum(big_inserts) / 1e6, len(big_inserts), max(big_inserts or [0]) / 1e6),
              "| peak RSS growth per reading, block of %s over %d | %s bytes |" % (
                  fmt(n), BLOCK, fmt((big.rss_kib - rss_median) * 1024 / n)), "",
              "Second run with the state file, against the known tables: %d statements, %d of them INSERTs "
              "into the tables (%d expected: one per table and block), %d information_schema queries (once "
              "per connection). As expected: %s. (First run, without state: %d information_schema queries.)" % (
                  len(second_statements), second_inserts, expected, second_schema,
                  "yes" if state_ok else "NO", first_schema), "")
