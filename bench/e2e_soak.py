"""north-run streaming readings while the server ends the plugin's session
every half second: its memory, and whether any reading was lost or doubled."""

import subprocess
import threading
import time

import e2e_data as data
from e2e_bench import Process, fmt, step


def measure(bench):
    seconds = bench.o.soak_seconds
    step("soak: %d s of streaming, the plugin's session ended every 0.5 s" % seconds)
    db = "bench_soak"
    bench.server.fresh_db(db)
    proc = Process(bench.north(db, "--block-size", "100", readings="-"), bench.work, "soak", stdin=subprocess.PIPE)
    rate, sent_lines, cuts = 2000, 0, 0
    stop = threading.Event()

    def cutter():
        nonlocal cuts
        while not stop.wait(0.5):
            try:
                ended = bench.server.admin("SELECT count(pg_terminate_backend(pid)) FROM pg_stat_activity "
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
            if rss_start is None and time.monotonic() - start >= min(1.0, seconds / 2):
                rss_start, cuts_at_start = rss(), cuts
            time.sleep(0.05)
        rss_end, cuts_at_end = rss(), cuts
    finally:
        stop.set()
        cut_thread.join()
        proc.proc.stdin.close()
    res = proc.wait()
    stored, distinct = bench.server.sql(db, "SELECT count(*), count(DISTINCT seq) FROM soak").split("|")
    stored, distinct = int(stored), int(distinct)
    summary = res.summary()
    per_cut = (rss_end - rss_start) / max(cuts_at_end - cuts_at_start, 1)
    bench.say("### Soak: %d s, the plugin's session ended every 0.5 s" % seconds, "",
              "| figure | |", "|---|---|",
              "| readings written to north-run | %s (%s/s, blocks of 100) |" % (fmt(sent_lines), fmt(rate)),
              "| sessions ended | %d |" % cuts,
              "| resident memory at 1 s, at the end | %.1f MiB, %.1f MiB (%+.1f KiB per cut) |" % (
                  rss_start / 1024, rss_end / 1024, per_cut),
              "| north-run | exit %d; sent %d, not sent %d |" % (res.status, summary.get("sent", -1),
                                                                 summary.get("not-sent", -1)),
              "| rows stored, distinct readings | %s, %s |" % (fmt(stored), fmt(distinct)),
              "| readings lost, duplicated | %d, %d |" % (sent_lines - distinct, stored - distinct), "")
