"""What the bench's sections share: where the programs are, the run's options,
work directory, server and report, and how figures are written."""

import os
import sys

from e2e_server import Process, run  # noqa: F401 (the sections' way to run programs)

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BUILD = os.path.join(REPO, "build", "bench")
NORTH_RUN = os.path.join(BUILD, "bin", "north-run")
GBENCH = os.path.join(BUILD, "bin", "cirrant-bench")
BLOCK = 500


def step(text):
    print("== " + text, file=sys.stderr, flush=True)


def fmt(n):
    return "{:,}".format(int(round(n)))


def verdict(met):
    return "PASS" if met else "MISS"


def outcome(res):
    """north-run's exit status and what it sent."""
    s = res.summary()
    if "sent" not in s:
        return "exit %d" % res.status
    return "exit %d, sent %d of %d" % (res.status, s["sent"], s["read"])


class Bench:
    def __init__(self, options, work, server):
        self.o = options
        self.work = work
        self.server = server
        self.readings = None  # the delivery set, written by the delivery section
        self.report = []

    def say(self, *lines):
        self.report.extend(lines)

    def north(self, db, *extra, port=None, readings=None):
        """north-run's command line for database db of the bench's server (or
        a relay's port), the readings given or the delivery set."""
        return [NORTH_RUN, "--readings", readings or self.readings, "--set", "host=127.0.0.1",
                "--set", "port=%d" % (port or self.server.port), "--set", "dbName=" + db] + list(extra)

    def path(self, name):
        return os.path.join(self.work, name)
