"""The bench's throwaway PostgreSQL (through scripts/lib/pgserver.sh, as the
other scripts start theirs), psql, and programs timed with their resources."""

import os
import subprocess
import tempfile
import time

PASSWORD = "kvbn"


class Server:
    def __init__(self, repo):
        self.repo = repo
        self.port = None
        self.dir = None

    def start(self):
        # The server's C library keeps the memory it frees (no heap trimming).
        # Left to itself it gives the top of the heap back after a statement
        # whenever that top is free, which depends on what the session
        # allocated before: the same statements then took 1.5 s in one session
        # and over 4 s in another, every page of each statement's parse tree
        # faulted in anew. On this machine a page fault costs microseconds, so
        # that chance would decide the figures. fsync=off: nothing here needs
        # to survive a crash, and the figures then show the statements' work,
        # not the disk's flushes.
        env = dict(os.environ, MALLOC_TRIM_THRESHOLD_="268435456", MALLOC_MMAP_THRESHOLD_="268435456",
                   PG_SERVER_OPTIONS="-c fsync=off")
        self.state = tempfile.mktemp(prefix="cirrant-bench-pg.")
        subprocess.run(["bash", os.path.join(self.repo, "scripts/lib/pgserver.sh"), "start", self.state],
                       env=env, check=True, stdout=subprocess.DEVNULL)
        with open(self.state) as f:
            values = dict(line.strip().split("=", 1) for line in f if "=" in line)
        self.port, self.dir = int(values["PG_PORT"]), values["PG_DIR"]
        # The plugin's role makes the bench's databases.
        self.admin("ALTER ROLE redshift CREATEDB")

    def stop(self):
        if self.dir:
            subprocess.run(["bash", os.path.join(self.repo, "scripts/lib/pgserver.sh"), "stop", self.state], check=False)
            self.dir = None

    def admin(self, sql):
        """A statement as the superuser, over the unix socket; its rows as text."""
        return subprocess.run(["psql", "-h", self.dir, "-p", str(self.port), "-U", "postgres", "-d", "postgres",
                               "-qtAX", "-v", "ON_ERROR_STOP=1", "-c", sql],
                              check=True, stdout=subprocess.PIPE, text=True).stdout.strip()

    def psql_command(self, db):
        """psql as the plugin talks to the server: over TCP, as redshift."""
        return ["psql", "-h", "127.0.0.1", "-p", str(self.port), "-U", "redshift", "-d", db, "-qX",
                "-v", "ON_ERROR_STOP=1"]

    def sql(self, db, sql):
        return subprocess.run(self.psql_command(db) + ["-tA", "-c", sql], check=True, stdout=subprocess.PIPE,
                              text=True, env=dict(os.environ, PGPASSWORD=PASSWORD,
                                                  PGOPTIONS="-c client_min_messages=warning")).stdout.strip()

    def fresh_db(self, name, ddl_file=None):
        self.sql("postgres", "DROP DATABASE IF EXISTS %s" % name)
        self.sql("postgres", "CREATE DATABASE %s" % name)
        if ddl_file:
            subprocess.run(self.psql_command(name) + ["-f", ddl_file], env=dict(os.environ, PGPASSWORD=PASSWORD),
                           check=True, stdout=subprocess.DEVNULL)

    def row_count(self, db, tables):
        return int(self.sql(db, "SELECT sum(n) FROM (%s) c" % " UNION ALL ".join(
            "SELECT count(*) AS n FROM %s" % t for t in tables)))

    def rows_digest(self, db, tables):
        """One digest of every row of every table, in user_ts order: equal
        digests, equal rows."""
        parts = " || ".join("coalesce((SELECT md5(string_agg(r::text, E'\\n' ORDER BY r.user_ts)) FROM %s r), '')" % t
                            for t in tables)
        return self.sql(db, "SELECT md5(%s)" % parts)


class Result:
    """What a finished program took: wall seconds, CPU seconds, peak RSS."""

    def __init__(self, status, seconds, cpu, rss_kib, out, err):
        self.status, self.seconds, self.cpu, self.rss_kib, self.out, self.err = status, seconds, cpu, rss_kib, out, err

    def summary(self):
        """north-run's summary line as a dict of numbers."""
        words = self.out.split()
        return {words[i]: int(words[i + 1].rstrip("/s")) for i in range(0, len(words) - 1, 2)
                if words[i] in ("read", "sent", "not-sent", "rejected", "blocks", "tables", "rate")}


class Process:
    """A program started with its output going to files; wait() measures it.

    GNU time runs it and reports its CPU time and peak RSS. Not os.wait4 on
    the program itself: a child's peak RSS starts at what its parent had when
    it forked (the kernel keeps the high-water mark across fork and exec), and
    this Python process holds far more than north-run."""

    def __init__(self, argv, work, name, stdin=None, env=None):
        self.argv = argv
        self.out_path = os.path.join(work, name + ".out")
        self.err_path = os.path.join(work, name + ".err")
        self.stats_path = os.path.join(work, name + ".time")
        self.start = time.monotonic()
        with open(self.out_path, "w") as out, open(self.err_path, "w") as err:
            self.proc = subprocess.Popen(["/usr/bin/time", "-f", "%U %S %M", "-o", self.stats_path, "--"] + argv,
                                         stdin=stdin if stdin is not None else subprocess.DEVNULL,
                                         stdout=out, stderr=err, env=dict(os.environ, **(env or {})))

    def program_pid(self):
        """The program's own process id (a child of GNU time's)."""
        for _ in range(500):
            with open("/proc/%d/task/%d/children" % (self.proc.pid, self.proc.pid)) as f:
                children = f.read().split()
            if children:
                return int(children[0])
            time.sleep(0.01)
        raise RuntimeError("%s did not start" % self.argv[0])

    def wait(self, check=False):
        code = self.proc.wait()
        seconds = time.monotonic() - self.start
        with open(self.stats_path) as f:
            # A program ended by a signal makes GNU time write a line first.
            user, system, rss_kib = f.read().split()[-3:]
        with open(self.out_path) as out, open(self.err_path) as err:
            result = Result(code, seconds, float(user) + float(system), int(rss_kib), out.read(), err.read())
        if check and code != 0:
            raise RuntimeError("%s exited %d: %s" % (self.argv[0], code, result.err[-2000:]))
        return result


def run(argv, work, name, env=None, check=False):
    return Process(argv, work, name, env=env).wait(check)
