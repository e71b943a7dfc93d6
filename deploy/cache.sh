#!/usr/bin/env bash
# Tries the caching set-ups of this folder on loopback, each with one command:
#   deploy/cache.sh origin ROOT STATEDIR       the vendor's origin (nginx) serving ROOT
#   deploy/cache.sh squid STATEDIR             Squid as a forward proxy (use it as http_proxy;
#                                              it knows the origin on loopback as origin.veltora.test)
#   deploy/cache.sh nginx ORIGIN_URL STATEDIR  nginx as a reverse cache in front of ORIGIN_URL
#   deploy/cache.sh stop STATEDIR              stops whichever of them runs from STATEDIR
# Each prints its port once it answers and runs on in the background. STATEDIR receives
# the configuration, the cache, the logs and the pid file. PORT picks the port (default:
# a free one), CACHE_MB the cache's size (default 4096), UPDATE_HOSTS the host names whose
# packets Squid fetches whole (default: the trial's origin.veltora.test).
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
usage="usage: cache.sh origin ROOT STATEDIR | squid STATEDIR | nginx ORIGIN_URL STATEDIR | stop STATEDIR"
command=${1:?$usage}

free_port() {
    python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

state_dir() {
    mkdir -p "$1"
    (cd "$1" && pwd)
}

# Waits until the port answers; prints it, or the logs on failure.
wait_for() {
    local port=$1 state=$2
    for _ in $(seq 1 200); do
        if (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; then
            echo "$port"
            exit 0
        fi
        sleep 0.05
    done
    echo "nothing answers on port $port: $(cat "$state"/*.log 2>/dev/null | tail -n 20)" >&2
    exit 1
}

fill() {
    local template=$1 out=$2; shift 2
    local text
    text=$(cat "$template")
    while [ $# -gt 0 ]; do
        text=${text//"@$1@"/"$2"}
        shift 2
    done
    printf '%s\n' "$text" > "$out"
}

# Started by root, nginx would drop its workers to a user that may not reach STATEDIR.
nginx_user_line() {
    [ "$(id -u)" -eq 0 ] && echo "user $(id -un) $(id -gn);" || true
}

case "$command" in
origin | nginx)
    if [ "$command" = origin ]; then
        root=$(cd "${2:?$usage}" && pwd)
        template="$here/origin-nginx.conf"
    else
        origin=${2:?$usage}
        template="$here/cache-nginx.conf"
    fi
    state=$(state_dir "${3:?$usage}")
    port=${PORT:-$(free_port)}
    fill "$template" "$state/nginx.conf" USER_LINE "$(nginx_user_line)" STATE "$state" LISTEN "127.0.0.1:$port" \
        ROOT "${root:-}" ORIGIN "${origin:-}" CACHE_MB "${CACHE_MB:-4096}"
    echo "$state/nginx.pid" > "$state/pidfile"
    nginx -c "$state/nginx.conf" -p "$state" > "$state/stdout.log" 2>&1 &
    wait_for "$port" "$state"
    ;;
squid)
    state=$(state_dir "${2:?$usage}")
    port=${PORT:-$(free_port)}
    user_line=""
    if [ "$(id -u)" -eq 0 ]; then
        # Squid will not run as root: its user (Debian's "proxy") owns the folder.
        user_line="cache_effective_user proxy"
        chown proxy:proxy "$state"
    fi
    # The trial reaches loopback only. Programs send no loopback address through a proxy,
    # so the vendor's origin on loopback goes by a name that only this Squid knows.
    printf '127.0.0.1 localhost origin.veltora.test\n' > "$state/hosts"
    trial_access="hosts_file $state/hosts
acl trial dstdomain localhost origin.veltora.test
http_access deny !trial"
    fill "$here/squid.conf" "$state/squid.conf" USER_LINE "$user_line" STATE "$state" LISTEN "127.0.0.1:$port" \
        CLIENTS "127.0.0.1/32" CACHE_MB "${CACHE_MB:-4096}" UPDATE_HOSTS "${UPDATE_HOSTS:-origin.veltora.test}" \
        TRIAL_ACCESS "$trial_access"
    echo "$state/squid.pid" > "$state/pidfile"
    # Its own service name keeps its shared memory apart from any other Squid's.
    service="veltora$port"
    squid -n "$service" -N -z -f "$state/squid.conf" > "$state/stdout.log" 2>&1
    squid -n "$service" -N -f "$state/squid.conf" >> "$state/stdout.log" 2>&1 &
    wait_for "$port" "$state"
    ;;
stop)
    state=${2:?$usage}
    pidfile=$(cat "$state/pidfile" 2>/dev/null || true)
    if [ -n "$pidfile" ] && [ -s "$pidfile" ]; then
        pid=$(cat "$pidfile")
        kill "$pid" 2>/dev/null || true
        # Squid takes its shutdown_lifetime to let go of its port and shared memory.
        for _ in $(seq 1 100); do
            kill -0 "$pid" 2>/dev/null || exit 0
            sleep 0.05
        done
    fi
    ;;
*)
    echo "$usage" >&2
    exit 2
    ;;
esac
