"""Readings of thousands of datapoints: is the cost linear in them?"""

import e2e_data as data
from e2e_bench import fmt, outcome, run, step


def measure(bench):
    step("linear cost: wide readings")
    bench.say("### Wide readings (cost linear in the datapoints?)", "",
              "north-run's wall and CPU time (user + system, the line's parsing included).", "",
              "| case | wall s | CPU s | outcome |", "|---|---|---|---|")
    for hint in (None, "wide_hinted"):
        name = "with" if hint else "without"
        path = data.write_lines(bench.path("wide_%s.jsonl" % name),
                                [data.wide_line("wide plain", 1500, i, hint) for i in range(500)])
        db = "bench_wide_" + name
        bench.server.fresh_db(db)
        state = bench.path("wide_%s.state" % name)
        first = run(bench.north(db, "--state", state, readings=path), bench.work, db + "1")
        again = run(bench.north(db, "--state", state, readings=path), bench.work, db + "2")
        for label, res in (("table created", first), ("table known (state file)", again)):
            bench.say("| 500 x 1,500 datapoints, %s RedshiftHint, %s | %.3f | %.3f | %s |" % (
                name, label, res.seconds, res.cpu, outcome(res)))
    for width in (1500, 50000):
        path = data.write_lines(bench.path("one_%d.jsonl" % width), [data.wide_line("one wide", width, 0)])
        db = "bench_one_%d" % width
        bench.server.fresh_db(db)
        res = run(bench.north(db, readings=path), bench.work, db)
        bench.say("| one reading of %s datapoints | %.3f | %.3f | %s |" % (fmt(width), res.seconds, res.cpu,
                                                                           outcome(res)))
    bench.say("")
