# A throwaway PostgreSQL 15 on 127.0.0.1 with the plugin's default role and
# database (redshift / kvbn / vantrel), for the scripts. Source it, then:
#   pg_start [PORT]   picks PORT or the next free one; sets PG_PORT, PG_DIR
#   pg_stop           stops the server and removes its directory
PG_BIN=/usr/lib/postgresql/15/bin
PG_DIR=""
PG_PORT=""
PG_AS=()

pg_port_taken() { (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null; }

pg_start() {
    local port=${1:-5439}
    while pg_port_taken "$port"; do port=$((port + 1)); done
    PG_DIR=$(mktemp -d /tmp/cirrant-pg.XXXXXX)
    PG_PORT=$port
    if [ "$(id -u)" -eq 0 ]; then
        # initdb and postgres refuse to run as root.
        chown postgres: "$PG_DIR"
        PG_AS=(runuser -u postgres --)
    fi
    "${PG_AS[@]}" "$PG_BIN/initdb" -D "$PG_DIR/data" -U postgres --auth-local=trust --auth-host=scram-sha-256 \
        -E UTF8 --locale=C.UTF-8 >"$PG_DIR/initdb.log" 2>&1 || { cat "$PG_DIR/initdb.log" >&2; return 1; }
    "${PG_AS[@]}" "$PG_BIN/pg_ctl" -D "$PG_DIR/data" -l "$PG_DIR/server.log" -w \
        -o "-c listen_addresses=127.0.0.1 -c port=$PG_PORT -c unix_socket_directories=$PG_DIR ${PG_SERVER_OPTIONS:-}" \
        start >/dev/null
    "${PG_AS[@]}" "$PG_BIN/psql" -h "$PG_DIR" -p "$PG_PORT" -U postgres -d postgres -qX -v ON_ERROR_STOP=1 \
        -c "CREATE ROLE redshift LOGIN PASSWORD 'kvbn'" -c "CREATE DATABASE vantrel OWNER redshift"
}

pg_stop() {
    [ -n "$PG_DIR" ] || return 0
    "${PG_AS[@]}" "$PG_BIN/pg_ctl" -D "$PG_DIR/data" -m fast -w stop >/dev/null 2>&1 || true
    rm -rf "$PG_DIR"
    PG_DIR=""
}

# psql as the plugin's user, on the database the plugin writes to.
pg_psql() { PGPASSWORD=kvbn psql -h 127.0.0.1 -p "$PG_PORT" -U redshift -d vantrel -X "$@"; }

# The same as a command, for programs that cannot source a shell file:
#   bash scripts/lib/pgserver.sh start [PORT]   prints PG_PORT=N and PG_DIR=DIR
#   bash scripts/lib/pgserver.sh stop DIR
# Server options for start may come in PG_SERVER_OPTIONS (e.g. "-c fsync=off").
if [ "${BASH_SOURCE[0]}" = "$0" ]; then
    case "${1:-}" in
        start) pg_start "${2:-}" && printf 'PG_PORT=%s\nPG_DIR=%s\n' "$PG_PORT" "$PG_DIR" ;;
        stop)
            PG_DIR=${2:?stop needs the server directory}
            [ "$(id -u)" -ne 0 ] || PG_AS=(runuser -u postgres --)
            pg_stop ;;
        *) echo "usage: pgserver.sh start [PORT] | stop DIR" >&2; exit 2 ;;
    esac
fi
