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
  copy       the COPY path (staging in the test S3) against the INSERT path,
             200,000 readings in blocks of 5,000 through a relay: SQL bytes
             parsed per reading, readings/s, peak RSS on one block of 100,000
  createBatch  the Google Benchmark program's summary

  scripts/bench                 quick sizes (a few minutes)
  scripts/bench --full          the sizes of the README's figures
  scripts/bench --readings N --runs N --soak-seconds S   sizes by hand
  scripts/bench --out FILE      also write the report to FILE
  scripts/bench --keep          leave the work directory (logs, data) behind
  scripts/bench --no-build      use build/bench as it is
  scripts/bench --sections copy,createBatch   only these sections
"""

import argparse
import os
import shutil
import subprocess
import sys
import tempfile

import e2e_copy
import e2e_create_batch
import e2e_delivery
import e2e_latency
import e2e_soak
import e2e_wide
from e2e_bench import BUILD, REPO, Bench, step
from e2e_server import Server

QUICK = dict(readings=20000, runs=3, relay_readings=5000, soak_seconds=10,
             gbench=["--benchmark_repetitions=2", "--benchmark_min_time=0.05"])
FULL = dict(readings=100000, runs=5, relay_readings=20000, soak_seconds=60, gbench=[])


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
    parser.add_argument("--sections", default="delivery,latency,soak,wide,copy,createBatch")
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
        chosen = o.sections.split(",")
        for name, section in (("delivery", e2e_delivery), ("latency", e2e_latency), ("soak", e2e_soak),
                              ("wide", e2e_wide), ("copy", e2e_copy)):
            if name in chosen:
                section.measure(bench)
        # With the server stopped, so that nothing of ours competes with them.
        server.stop()
        if "createBatch" in chosen:
            e2e_create_batch.measure(bench)
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
