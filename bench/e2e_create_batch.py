"""The Google Benchmark program's summary of createBatch."""

import re

from e2e_bench import GBENCH, run, step


def measure(bench):
    step("createBatch benchmarks (Google Benchmark)")
    res = run([GBENCH] + bench.o.gbench, bench.work, "gbench")
    lines = res.out.splitlines()
    start = next((i for i, l in enumerate(lines) if re.match(r"^(createBatch, CPU time|The table check|\| target )",
                                                             l)), len(lines))
    bench.say("### createBatch (Google Benchmark, no database)", "", *lines[start:])
