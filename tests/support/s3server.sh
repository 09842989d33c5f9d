#!/usr/bin/env bash
# A throwaway S3 for the tests and the bench: s3rver (tests/s3, installed by
# `npm ci` there) in a temporary directory, on a free port of 127.0.0.1,
# behind tests/support/s3front.py, which checks every request's signature as
# S3 does. The bucket is cirrant-test; the key id is s3rver's own.
#   s3server.sh start STATE   starts both and writes STATE (KEY=VALUE lines):
#                             S3_PORT (the front's), S3_BUCKET, S3_KEY,
#                             S3_SECRET, S3_REGION, S3_ROLE (the role the
#                             test COPY accepts), S3_DIR
#   s3server.sh stop STATE    stops them, removes the directory and STATE
set -euo pipefail
cd "$(dirname "$0")/../.."
state=${2:?usage: s3server.sh start|stop STATE}

free_port() { python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'; }
listening() { (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null; }
value() { sed -n "s/^$1=//p" "$state"; }

stop() {
    [ -f "$state" ] || return 0
    kill $(value S3_PIDS) 2>/dev/null || true
    rm -rf "$(value S3_DIR)" "$state"
}

case $1 in
start)
    stop
    dir=$(mktemp -d /tmp/cirrant-s3.XXXXXX)
    backend=$(free_port)
    front=$(free_port)
    node tests/s3/node_modules/s3rver/bin/s3rver.js -d "$dir/data" -a 127.0.0.1 -p "$backend" -s \
        --configure-bucket cirrant-test >"$dir/s3rver.log" 2>&1 &
    pids=$!
    # Debian's python3: python3-botocore is installed for it.
    /usr/bin/python3 tests/support/s3front.py "$front" "$backend" S3RVER 'test/Secret+Key=42' us-east-1 \
        >"$dir/front.log" 2>&1 &
    pids="$pids $!"
    printf '%s\n' "S3_PORT=$front" "S3_BUCKET=cirrant-test" "S3_KEY=S3RVER" "S3_SECRET=test/Secret+Key=42" \
        "S3_REGION=us-east-1" "S3_ROLE=arn:aws:iam::123456789012:role/cirrant-test" "S3_DIR=$dir" \
        "S3_PIDS=$pids" >"$state"
    for _ in $(seq 100); do
        listening "$backend" && listening "$front" && echo "S3 on 127.0.0.1:$front, data in $dir" && exit 0
        sleep 0.1
    done
    cat "$dir"/*.log >&2
    stop
    exit 1
    ;;
stop) stop ;;
*) echo "usage: s3server.sh start|stop STATE" >&2; exit 2 ;;
esac
