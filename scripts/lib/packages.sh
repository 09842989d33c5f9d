# Debian packages the project builds, tests and runs with; installed when missing.
CIRRANT_PACKAGES=(build-essential cmake pkg-config libpq-dev rapidjson-dev libgtest-dev libgmock-dev
                  libbenchmark-dev postgresql-15 postgresql-client-15 libcurl4-openssl-dev zlib1g-dev
                  python3-botocore)
# What scripts/bench needs besides: the bench itself is a Python 3 program, and
# GNU time measures the programs it runs.
CIRRANT_BENCH_PACKAGES=(python3 time)

ensure_packages() {
    local missing=() p
    for p in "${CIRRANT_PACKAGES[@]}" "$@"; do
        dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
    done
    ((${#missing[@]})) || return 0
    local sudo=()
    [ "$(id -u)" -eq 0 ] || sudo=(sudo)
    echo "installing: ${missing[*]}" >&2
    "${sudo[@]}" apt-get update -qq
    DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" >&2
}
