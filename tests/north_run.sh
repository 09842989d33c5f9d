#!/usr/bin/env bash
# north-run end to end, as a user runs it: the real program sending through
# the plugin to the ctest run's server, judged by its exit status, its two
# output streams, the tables and the state file.
#   north_run.sh NORTH_RUN        (CIRRANT_PG_STATE names the server)
set -uo pipefail
north_run=$1
source "$(dirname "$0")/../scripts/lib/pgserver.sh"
pg_load "${CIRRANT_PG_STATE:?run this test through ctest}"
db=integration_north_run
pg_admin -d postgres -c "DROP DATABASE IF EXISTS $db WITH (FORCE)" -c "CREATE DATABASE $db OWNER redshift" || exit 1
work=$(mktemp -d /tmp/north-run-test.XXXXXX)
trap 'rm -rf "$work"' EXIT
failures=0
export CIRRANT_BACKOFF_MS=20  # waits before a block is sent again: 20 ms doubling, not 1 s

check() {  # WHAT ACTUAL EXPECTED
    if [ "$2" = "$3" ]; then echo "ok   $1"; else
        printf 'FAIL %s\n  got:  %s\n  want: %s\n  stderr:\n%s\n' "$1" "$2" "$3" "$(cat "$work/err")" >&2
        failures=$((failures + 1))
    fi
}
sql() { pg_admin -d $db -At -c "$1"; }
# The JSON text in $1, as the server parses it, queried by $2 (:'j' stands for it).
json() { echo "$2" | pg_admin -d $db -At -v j="$1"; }
# north-run pointed at the test database; its outputs land in $work.
nr=("$north_run" --set host=127.0.0.1 --set port="$PG_PORT" --set dbName=$db)
run() {
    "${nr[@]}" "$@" >"$work/out" 2>"$work/err"
    status=$?
}
summary() { sed -E 's| rate [0-9]+/s||' "$work/out"; }
# Until the query $1 answers $2 (errors, as of a table not there yet, count as no).
wait_for() { for _ in $(seq 600); do [ "$(sql "$1" 2>/dev/null)" = "$2" ] && return; sleep 0.1; done; }
reading() { printf '{"asset": "%s", "user_ts": "%s", "datapoints": %s}\n' "$1" "${3:-2026-12-06 10:00:00}" "$2"; }
# A run refused before it sends: exit 2, one line naming the culprit, nothing on standard output.
usage_error() {  # NAMED ARG...
    local named=$1
    shift
    "${nr[@]}" "$@" --readings "$work/never.jsonl" >"$work/out" 2>"$work/err"
    check "$* : exit 2, one line naming $named, no summary" "$? $(wc -l <"$work/err") $(grep -F -- "$named" "$work/err" |
        grep -c '^north-run: ') $(wc -c <"$work/out")" "2 1 1 0"
}
reading "nr never" '{"n": 1}' >"$work/never.jsonl"

# Every kind of value lands in its column; null, arrays and the hint make no column.
cat >"$work/mixed.jsonl" <<'EOF'
{"asset": "nr mixed pump 1", "user_ts": "2026-12-06 10:00:00.123456", "datapoints": {"speed": 1200, "temp": 21.5, "state": "on", "running": true, "gone": null, "samples": [1, 2], "motor": {"rpm": 3, "coil": {"temp": 40.5}}, "RedshiftHint": "{\"tablename\": \"nr_mixed_line\"}"}}
{"asset": "nr mixed pump 2", "user_ts": "2026-12-06T10:00:01Z", "datapoints": {"speed": 900, "note": "say \"hi\" at C:\\temp", "RedshiftHint": "{\"tablename\": \"nr_mixed_line\"}"}}
{"asset": "nr-mixed boiler", "user_ts": "2026-12-06 10:00:02+00:00", "datapoints": {"pressure": 1.5}}
EOF
# Standard input by default, in blocks.
run --block-size 2 <"$work/mixed.jsonl"
check "mixed file: exit status, summary, no complaint" "$status $(summary) $(grep -c '^north-run:' "$work/err")" \
    "0 read 3 sent 3 not-sent 0 rejected 0 blocks 2 tables 2 0"
check "mixed file: rows" "$(sql "SELECT asset_code, to_char(user_ts AT TIME ZONE 'UTC', 'HH24:MI:SS.US'), speed, temp,
    state, running, motor_rpm, motor_coil_temp, note FROM nr_mixed_line ORDER BY user_ts")" \
    "nr mixed pump 1|10:00:00.123456|1200|21.5|on|1|3|40.5|
nr mixed pump 2|10:00:01.000000|900||||||say \"hi\" at C:\\temp"
check "mixed file: no column for null, array or hint; the asset's table" "$(sql "SELECT count(*)::text FROM
    information_schema.columns WHERE table_name = 'nr_mixed_line' AND column_name IN ('gone', 'samples', 'redshifthint')
    UNION ALL SELECT asset_code || ' ' || pressure FROM nr_mixed_boiler")" "0
nr-mixed boiler 1.5"

# Bad lines are reported by number; the good ones are still sent.
{
    reading "nr bad" '{"n": 1}'
    echo "this is not json"
    echo "   "
    reading "nr bad" '{"n": 2}'
    echo '{"datapoints": {"n": 3}}'
    reading "nr bad" '{"n": 4}' "2026-02-30 10:00:00"
    echo '{"asset": "nr bad", "datapoints": {"n": 5}} extra'
    reading "nr bad" '{"n": 6}' | tr -d '\n'
} >"$work/bad.jsonl"
run --readings - <"$work/bad.jsonl"
check "bad lines: exit status, summary" "$status $(summary)" "1 read 3 sent 3 not-sent 0 rejected 4 blocks 1 tables 1"
check "bad lines: reported" "$(grep -o '^north-run: line [0-9]*:' "$work/err" | tr '\n' ' ')" \
    "north-run: line 2: north-run: line 5: north-run: line 6: north-run: line 7: "
check "bad lines: the bad date named, good ones sent" "$(grep -c '2026-02-30' "$work/err") $(sql "SELECT
    string_agg(n::text, ',' ORDER BY n) FROM nr_bad")" "1 1,2,6"

# A server that is not there: the first block is tried five times, then the run ends.
down=$((PG_PORT + 1))
while pg_port_taken $down; do down=$((down + 1)); done
for i in 1 2 3 4; do reading "nr down" '{"n": 1}'; done >"$work/down.jsonl"
run --set port=$down --block-size 2 --readings "$work/down.jsonl"
check "server down: exit status, summary" "$status $(summary)" \
    "1 read 4 sent 0 not-sent 4 rejected 0 blocks 5 tables 1 first-unsent 1"
check "server down: each try reported" "$(grep -c 'lines 1-2: the plugin sent 0 of 2 readings; trying again' "$work/err") \
$(grep -c 'giving up after 5 tries' "$work/err")" "4 1"

# The state file keeps the table cache: the second run's one catalogue query compares it.
mkdir "$work/cache"
state=$work/cache/state.json
{ reading "nr state pump" '{"speed": 1, "motor": {"rpm": 2}}'; reading "nr state boiler" '{"temp": 80.5}'; } \
    >"$work/state.jsonl"
run --readings "$work/state.jsonl" --state "$state" --log-level debug
check "state: first run asks the catalogue, the file holds both tables" "$status $(($(grep -c information_schema \
    "$work/err") > 0)) $(json "$(cat "$state")" "SELECT json_array_length(:'j'::json->'Items')")" "0 1 2"
check "state: nothing but the state, position and lock files left" "$(echo $(ls "$work/cache"))" \
    "state.json state.json.lock state.json.pos"
cp "$state" "$work/first-state.json"
run --readings "$work/state.jsonl" --state "$state" --log-level debug
check "state: second run compares the cache once, keeps the same state" "$status $(grep -c \
    information_schema.columns "$work/err") $(cmp "$state" "$work/first-state.json" && echo same)" "0 1 same"
check "state: rows" "$(sql "SELECT count(*) FROM nr_state_pump UNION ALL SELECT count(*) FROM nr_state_boiler")" "2
2"

# SIGTERM: what was read is sent, the state saved, exit 130; meanwhile a second run is refused.
mkfifo "$work/fifo"
"${nr[@]}" --block-size 2 --state "$work/signal.json" <"$work/fifo" >"$work/out.1" 2>"$work/err.1" &
pid=$!
exec 3>"$work/fifo"
# Two readings fill a block; the third waits in the next one for input that never comes.
{ reading "nr signal" '{"n": 1}'; reading "nr signal" '{"n": 2}'; reading "nr signal" '{"n": 3}'; } >&3
wait_for "SELECT count(*) FROM nr_signal" 2
usage_error "is in use by north-run pid $pid" --state "$work/signal.json"
kill -TERM $pid
wait $pid
status=$?
exec 3>&-
mv "$work/out.1" "$work/out" && mv "$work/err.1" "$work/err"
check "SIGTERM: exit status, summary" "$status $(summary)" "130 read 3 sent 3 not-sent 0 rejected 0 blocks 2 tables 1"
check "SIGTERM: rows, state saved" "$(sql "SELECT count(*) FROM nr_signal") $(json "$(cat "$work/signal.json")" \
    "SELECT :'j'::json->'Items'->0->>'tablename'")" "3 nr_signal"

# Stopped with its second block under way (its table locked), a run resumes: nothing twice.
reading "nr resume b" '{"n": 0}' | run --state "$work/resume"
{
    reading "nr resume a" '{"n": 1}'
    reading "nr resume a" '{"n": 2}'
    for i in $(seq 3 10); do reading "nr resume b" "{\"n\": $i}"; done
} >"$work/resume.jsonl"
exec 4> >(pg_admin -d $db)
echo "BEGIN; LOCK TABLE nr_resume_b;" >&4
locks="SELECT count(*) FROM pg_locks WHERE relation = 'nr_resume_b'::regclass AND"
wait_for "$locks granted" 1
"${nr[@]}" --block-size 2 --readings "$work/resume.jsonl" --state "$work/resume" >"$work/out" 2>"$work/err" &
pid=$!
wait_for "$locks NOT granted" 1
kill -TERM $pid
echo "COMMIT;" >&4
exec 4>&-
wait $pid
check "resume: stopped after three blocks" "$? $(summary)" "130 read 6 sent 6 not-sent 0 rejected 0 blocks 3 tables 2"
run --block-size 2 --state "$work/resume" --resume
check "resume: the rest sent" "$status $(summary)" "0 read 4 sent 4 not-sent 0 rejected 0 blocks 2 tables 1"
check "resume: every reading once" "$(sql "SELECT string_agg(n::text, ',' ORDER BY n)
    FROM (SELECT n FROM nr_resume_a UNION ALL SELECT n FROM nr_resume_b) r")" "0,1,2,3,4,5,6,7,8,9,10"
sed -i '1s/"n": 1/"n": 9/' "$work/resume.jsonl"
run --state "$work/resume" --resume
check "resume: a changed file refused" "$status $(grep -c '^north-run: cannot resume' "$work/err")" "2 1"

# A last line still being written is sent if whole JSON; else reported, and read again whole.
part=("$work/partial.jsonl" "$(reading "nr partial" '{"n": 3}')")
reading "nr partial" '{"n": 1}' | tr -d '\n' >"${part[0]}"
run --state "$work/partial" --resume --readings "${part[0]}"
{ echo; reading "nr partial" '{"n": 2}'; printf %s "${part[1]:0:30}"; } >>"${part[0]}"
run --state "$work/partial" --resume
check "half a line: reported, kept" "$status $(summary) $(grep -c '^north-run: line 3: ' "$work/err")" \
    "1 read 1 sent 1 not-sent 0 rejected 1 blocks 1 tables 1 1"
echo "${part[1]:30}" >>"${part[0]}"
run --state "$work/partial" --resume
check "half a line finished: sent, each reading once" "$status $(summary) $(sql "SELECT string_agg(n::text, ','
    ORDER BY n) FROM nr_partial")" "0 read 1 sent 1 not-sent 0 rejected 0 blocks 1 tables 1 1,2,3"

# Ctrl-C while the plugin waits on a silent server: north-run says at once how long the call
# may still take (twice the request deadline); a second Ctrl-C ends it. A resume sends all.
python3 -c 'import socket; s = socket.create_server(("127.0.0.1", 0)); print(s.getsockname()[1], flush=True); held = []
while True: held.append(s.accept()); print("accepted", flush=True)' >"$work/silent" & silent=$!
for i in 1 2; do reading "nr silent" "{\"n\": $i}"; done >"$work/silent.jsonl"
for _ in $(seq 100); do [ -s "$work/silent" ] && break; sleep 0.1; done
# Its first connection, made by plugin_init, waits for PGCONNECT_TIMEOUT; the second is plugin_send's.
CIRRANT_REQUEST_TIMEOUT=30 PGCONNECT_TIMEOUT=2 "${nr[@]}" --set port="$(head -n 1 "$work/silent")" \
    --readings "$work/silent.jsonl" --state "$work/silent-state" >"$work/out" 2>"$work/err" & pid=$!
for _ in $(seq 100); do [ "$(grep -c accepted "$work/silent")" -ge 2 ] && break; sleep 0.1; done
kill -INT $pid
sleep 1
check "Ctrl-C: said within a second" "$(grep -cE '^north-run: stopping on SIGINT: plugin_send .* up to (5[0-9]|60) s more' \
    "$work/err")" 1
kill -INT $pid
wait $pid
check "Ctrl-C twice: ended at once, no summary" "$? $(wc -c <"$work/out")" "130 0"
kill $silent
run --readings "$work/silent.jsonl" --state "$work/silent-state" --resume
check "Ctrl-C: resumed, every reading once" "$status $(sql "SELECT count(*), count(DISTINCT n) FROM nr_silent")" "0 2|2"

# An outage after the first block only delays the run.
mkfifo "$work/slow"
"${nr[@]}" --block-size 2 --readings "$work/slow" >"$work/out" 2>"$work/err" &
pid=$!
exec 3>"$work/slow"
{ reading "nr outage" '{"n": 1}'; reading "nr outage" '{"n": 2}'; } >&3
wait_for "SELECT count(*) FROM nr_outage" 2
pg_admin -d postgres -c "ALTER DATABASE $db ALLOW_CONNECTIONS false" \
    -c "SELECT count(pg_terminate_backend(pid)) FROM pg_stat_activity WHERE datname = '$db'" >/dev/null
for i in 3 4 5; do reading "nr outage" "{\"n\": $i}"; done >&3
for _ in $(seq 600); do [ "$(grep -c 'trying again' "$work/err")" -gt 5 ] && break; sleep 0.1; done
pg_admin -d postgres -c "ALTER DATABASE $db ALLOW_CONNECTIONS true"
exec 3>&-
wait $pid
check "outage: waited out" "$? $(cut -d' ' -f1-8 "$work/out") $(sql "SELECT string_agg(n::text, ',' ORDER BY n)
    FROM nr_outage")" "0 read 5 sent 5 not-sent 0 rejected 0 1,2,3,4,5"

# Killed at random and resumed each time, over a growing file: every reading lands once.
# The ledger's fingerprints take in both timestamps; a missing one is new in every run.
mkdir "$work/kill"
killed=("${nr[@]}" --readings "$work/kill.jsonl" --state "$work/kill/state" --block-size 50 --resume)
total=0 kills=0
: >"$work/err"
for _ in $(seq 40); do
    [ $kills -lt 10 ] || break
    total=$((total + 1000))
    seq $((total - 999)) $total | sed 's/.*/{"asset": "nr kill", "user_ts": "2026-12-06 10:00:00", "ts": "2026-12-07 00:00:00", "datapoints": {"seq": &}}/' >>"$work/kill.jsonl"
    "${killed[@]}" >"$work/out" 2>>"$work/err" & pid=$!
    sleep "$(printf '0.%03d' $((RANDOM % 250 + 50)))"
    kill -9 $pid 2>/dev/null
    { wait $pid; } 2>/dev/null
    [ $? -ne 137 ] || kills=$((kills + 1))
done
check "killed: the first run starts at the beginning" "$(head -n 1 "$work/err")" \
    "north-run: no position recorded in $work/kill/state.pos yet: starting at the beginning of $work/kill.jsonl"
"${killed[@]}" >"$work/out" 2>"$work/err"
check "killed $kills times: the last run" "$? $kills" "0 10"
check "killed: every reading once" "$(sql "SELECT count(*), count(DISTINCT seq) FROM nr_kill")" "$total|$total"

# A refused reading, read back by the README's query, is sent again once the table is fixed.
sql "CREATE TABLE nr_refused (asset_code TEXT, user_ts TIMESTAMPTZ, ts TIMESTAMPTZ, vantrel TEXT, n BIGINT CHECK (n < 0));
    ALTER TABLE nr_refused OWNER TO redshift"
reading "nr refused" '{"n": 1, "m": {"x": "a\\b"}}' "2026-12-06 10:00:00.5" | run
sql "ALTER TABLE nr_refused DROP CONSTRAINT nr_refused_n_check"
run < <(sql "SELECT string_agg(reading, '' ORDER BY part) FROM \"cirrant\$rejects\" WHERE outcome = 'refused'
    AND table_name = 'nr_refused' GROUP BY block_id, reading_no ORDER BY min(rejected_at), block_id, reading_no")
check "refused, fixed, sent again" "$status $(summary) $(sql "SELECT n || m_x || user_ts FROM nr_refused")" \
    '0 read 1 sent 1 not-sent 0 rejected 0 blocks 1 tables 1 1a\b2026-12-06 10:00:00.5+00'

# --info: the description as one JSON object; its options keep the shutdown text (8).
"$north_run" --info >"$work/out" 2>"$work/err"
check "info: exit status, description" "$? $(json "$(cat "$work/out")" "SELECT concat_ws(' ', :'j'::json->>'name', :'j'::json->>'type',
    :'j'::json->>'interface', (:'j'::json->>'options')::int & 8,
    (SELECT string_agg(key, ',') FROM json_each(:'j'::json->'config')))")" \
    "0 cirrant north 1.0.0 8 plugin,host,port,dbName,dbUser,dbPass,vantrelInstance,source,s3Bucket,s3Prefix,s3Region,s3Endpoint,iamRole,s3AccessKeyId,s3SecretAccessKey,copyThreshold"

# A usage or configuration error: one line naming the culprit, exit 2, nothing sent.
echo '{"colour": "blue"}' >"$work/unknown.json"
usage_error "'hostname'" --set hostname=db.example
usage_error "'colour'" --config "$work/unknown.json"
usage_error "'abc'" --set port=abc
usage_error "'99999999999'" --set port=99999999999
usage_error "ITEM=VALUE" --set port
usage_error "--state" --resume
printf 'north-run position 1\nhead-bytes 1000000000000000\nhead-fnv1a 0\nsize 0\noffset 0\nline 1\ninput %s\n' \
    "$work/never.jsonl" >"$work/damaged.pos"
usage_error "head-bytes 1000000000000000" --state "$work/damaged" --resume

echo "$failures failed"
[ "$failures" -eq 0 ]
