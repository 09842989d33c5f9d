# A throwaway PostgreSQL 15 on 127.0.0.1 with the plugin's default role and
# database (redshift / kvbn / vantrel), for the scripts and the tests.
# Source it, then:
#   pg_start [PORT]   picks PORT or the next free one; sets PG_PORT, PG_DIR
#   pg_stop           stops the server and removes its directory
#   pg_save FILE      writes PG_PORT and PG_DIR to FILE (KEY=VALUE lines)
#   pg_load FILE      reads them back, for pg_stop or pg_admin in another process
#   pg_admin ARG...   psql as superuser "postgres" over the unix socket
#   pg_psql ARG...    psql as the plugin's user over TCP, on database vantrel
# Run as a program it is the test suite's server fixture:
#   pgserver.sh start STATE   starts a server and writes STATE
#   pgserver.sh stop STATE    stops the server STATE names and removes STATE
# Options for the server may come in PG_SERVER_OPTIONS (e.g. "-c log_statement=all").
PG_BIN=/usr/lib/postgresql/15/bin
PG_DIR=""
PG_PORT=""
PG_AS=()
# initdb and postgres refuse to run as root.
[ "$(id -u)" -ne 0 ] || PG_AS=(runuser -u postgres --)

pg_port_taken() { (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null; }

pg_start() {
    local port=${1:-5439} tries
    PG_DIR=$(mktemp -d /tmp/cirrant-pg.XXXXXX)
    [ "$(id -u)" -ne 0 ] || chown postgres: "$PG_DIR"
    "${PG_AS[@]}" "$PG_BIN/initdb" -D "$PG_DIR/data" -U postgres --auth-local=trust --auth-host=scram-sha-256 \
        -E UTF8 --locale=C.UTF-8 --no-sync >"$PG_DIR/initdb.log" 2>&1 || { cat "$PG_DIR/initdb.log" >&2; return 1; }
    # A throwaway server needs no crash safety.
    printf '%s\n' "fsync = off" "full_page_writes = off" "listen_addresses = '127.0.0.1'" \
        "unix_socket_directories = '$PG_DIR'" >>"$PG_DIR/data/postgresql.conf"
    # A port found free may be taken before the server binds it: try the next.
    for tries in 1 2 3 4 5; do
        while pg_port_taken "$port"; do port=$((port + 1)); done
        PG_PORT=$port
        "${PG_AS[@]}" "$PG_BIN/pg_ctl" -D "$PG_DIR/data" -l "$PG_DIR/server.log" -w -o "-p $PG_PORT ${PG_SERVER_OPTIONS:-}" start \
            >/dev/null && break
        [ "$tries" -lt 5 ] || { tail -n 20 "$PG_DIR/server.log" >&2; return 1; }
        port=$((port + 1))
    done
    pg_admin -d postgres -c "CREATE ROLE redshift LOGIN PASSWORD 'kvbn'" -c "CREATE DATABASE vantrel OWNER redshift"
}

pg_stop() {
    [ -n "$PG_DIR" ] || return 0
    "${PG_AS[@]}" "$PG_BIN/pg_ctl" -D "$PG_DIR/data" -m fast -w stop >/dev/null 2>&1 || true
    rm -rf "$PG_DIR"
    PG_DIR=""
}

pg_save() { printf 'PG_PORT=%s\nPG_DIR=%s\n' "$PG_PORT" "$PG_DIR" >"$1"; }
pg_load() { PG_PORT=$(sed -n 's/^PG_PORT=//p' "$1"); PG_DIR=$(sed -n 's/^PG_DIR=//p' "$1"); }

pg_admin() { "$PG_BIN/psql" -h "$PG_DIR" -p "$PG_PORT" -U postgres -qX -v ON_ERROR_STOP=1 "$@"; }

# psql as the plugin's user, on the database the plugin writes to.
pg_psql() { PGPASSWORD=kvbn "$PG_BIN/psql" -h 127.0.0.1 -p "$PG_PORT" -U redshift -d vantrel -X "$@"; }

if [ "${BASH_SOURCE[0]}" = "$0" ]; then
    set -euo pipefail
    state=${2:?usage: pgserver.sh start|stop STATE}
    case $1 in
    start)
        # A server left behind by an interrupted run goes first.
        if [ -f "$state" ]; then pg_load "$state" && pg_stop; fi
        # Away from 5439, which a developer's own server or the demo may use.
        pg_start $((20000 + RANDOM % 10000))
        pg_save "$state"
        echo "PostgreSQL on 127.0.0.1:$PG_PORT, socket and data in $PG_DIR"
        ;;
    stop)
        [ ! -f "$state" ] || { pg_load "$state" && pg_stop && rm -f "$state"; }
        ;;
    *) echo "usage: pgserver.sh start|stop STATE" >&2; exit 2 ;;
    esac
fi
