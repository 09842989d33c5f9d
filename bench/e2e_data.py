"""The readings the end-to-end bench sends, and the same rows in the forms the
other methods load: CSV for COPY, one INSERT per reading."""

import calendar
import csv
import json
import os
import random
from datetime import datetime, timezone

# Five assets, each its own table (the asset with blanks made '_').
ASSETS = ["pump 1", "pump 2", "boiler", "compressor", "chiller 3"]
TABLE_OF = {a: a.replace(" ", "_") for a in ASSETS}
TABLES = sorted(TABLE_OF.values())
# Ten datapoints: three integers, four floats, three texts, in this order in
# every reading, so the tables' columns come in this order too.
NAMES = ["speed", "flow", "state", "temperature", "pressure", "cycles", "mode", "voltage", "alarms", "note"]
STATES = ["running", "stopped", "idle", "starting", "fault"]
MODES = ["auto", "manual", "eco", "boost"]
NOTES = ["", "ok", "filter changed", "operator's check", "valve 3 stiff", "seal replaced on site", "n/a"]
INSTANCE = "Vantrel"  # the plugin's default instance name, the vantrel column
COLUMNS = ["asset_code", "user_ts", "ts", "vantrel"] + NAMES

START = calendar.timegm((2026, 12, 6, 8, 0, 0)) * 1000000


def stamp(micros):
    return datetime.fromtimestamp(micros // 1000000, timezone.utc).strftime("%Y-%m-%d %H:%M:%S") + ".%06d" % (
        micros % 1000000)


def literal(value):
    if isinstance(value, str):
        return "'" + value.replace("'", "''") + "'"
    return repr(value)


def write_delivery_set(work, total, block):
    """Writes readings.jsonl, naive.sql and copy_TABLE.csv into work; returns
    the number of INSERT statements north-run sends for them (one per table
    and block)."""
    rng = random.Random(20261206)
    csv_files = {t: open(os.path.join(work, "copy_%s.csv" % t), "w", newline="") for t in TABLES}
    writers = {t: csv.writer(f, quoting=csv.QUOTE_NONNUMERIC, lineterminator="\n") for t, f in csv_files.items()}
    statements = 0
    block_tables = set()
    with open(os.path.join(work, "readings.jsonl"), "w") as jsonl, \
            open(os.path.join(work, "naive.sql"), "w") as naive:
        for i in range(total):
            asset = rng.choice(ASSETS)
            user_ts = START + i * 10000 + rng.randrange(5000)  # strictly increasing
            ts = user_ts + rng.randrange(1000, 50000)
            values = [
                rng.randrange(800, 3000),
                round(rng.uniform(0, 50), 3),
                rng.choice(STATES),
                round(rng.uniform(-20, 120), 2) + 0.0,  # + 0.0: never -0.0
                round(rng.uniform(0, 10), 4),
                rng.randrange(0, 10 ** 9),
                rng.choice(MODES),
                round(rng.uniform(200, 250), 1),
                rng.randrange(0, 8),
                rng.choice(NOTES),
            ]
            jsonl.write(json.dumps({"asset": asset, "user_ts": stamp(user_ts), "ts": stamp(ts),
                                    "datapoints": dict(zip(NAMES, values))}) + "\n")
            # As the plugin writes the row: timestamps in UTC with "+00:00".
            row = [asset, stamp(user_ts) + "+00:00", stamp(ts) + "+00:00", INSTANCE] + values
            table = TABLE_OF[asset]
            writers[table].writerow(row)
            naive.write("INSERT INTO %s (%s) VALUES (%s);\n" % (table, ",".join(COLUMNS), ",".join(map(literal, row))))
            block_tables.add(table)
            if (i + 1) % block == 0 or i + 1 == total:
                statements += len(block_tables)
                block_tables = set()
    for f in csv_files.values():
        f.close()
    return statements


def soak_line(seq):
    """One reading of the soak, numbered."""
    return json.dumps({"asset": "soak", "user_ts": stamp(START + seq * 1000),
                       "datapoints": {"seq": seq, "level": seq % 97 + 0.5, "state": STATES[seq % 5]}}) + "\n"


def wide_line(asset, datapoints, seq, hint=None):
    """One reading of many float datapoints (a REAL column each: a row of
    1,500 of them still fits a PostgreSQL page), the hint, if any, last."""
    members = ['"v%d": %d.5' % (i, (seq + i) % 1000) for i in range(datapoints)]
    if hint:
        members.append('"RedshiftHint": %s' % json.dumps(json.dumps({"tablename": hint})))
    return '{"asset": %s, "user_ts": "%s", "datapoints": {%s}}\n' % (
        json.dumps(asset), stamp(START + seq * 1000), ", ".join(members))


def write_lines(path, lines):
    with open(path, "w") as f:
        f.writelines(lines)
    return path
