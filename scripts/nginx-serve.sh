#!/usr/bin/env bash
# Serves a folder with nginx on 127.0.0.1, unprivileged-style, in the foreground of a
# background job: scripts/nginx-serve.sh start ROOT STATEDIR  -> prints the port
#                   scripts/nginx-serve.sh stop STATEDIR
# STATEDIR holds the generated configuration, logs and pid file. REDIRECTS (default 3)
# sets the length of the /r1/... redirect chain, RATE a bandwidth limit, LOGS_SERVICE
# (host:port of veltora-logs) where the failure-log uploads are passed on.
set -euo pipefail

command=${1:?usage: nginx-serve.sh start ROOT STATEDIR | stop STATEDIR}
case "$command" in
start)
    root=$(cd "${2:?root}" && pwd)
    state=${3:?state dir}
    mkdir -p "$state"
    state=$(cd "$state" && pwd)
    # RATE (for example 300k) slows every answer down, so that windows stay up a while.
    rate_line=""
    [ -n "${RATE:-}" ] && rate_line="limit_rate ${RATE};"
    redirects=""
    count=${REDIRECTS:-3}
    for ((i = 1; i <= count; i++)); do
        next="/r$((i + 1))/\$1"
        [ "$i" -eq "$count" ] && next="/\$1"
        code=$((i % 2 ? 302 : 301))
        redirects+="        location ~ ^/r$i/(.*)\$ { return $code $next; }"$'\n'
    done
    logs_location=""
    [ -n "${LOGS_SERVICE:-}" ] && logs_location="location = /api/file.api.php { proxy_pass http://${LOGS_SERVICE}; proxy_set_header X-Real-IP \$remote_addr; client_max_body_size 9m; }"
    # A free port chosen by the system.
    port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])' 2>/dev/null \
        || shuf -i 20000-60000 -n 1)
    # Started by root, nginx would drop its workers to another user that may not reach ROOT.
    user_line=""
    [ "$(id -u)" -eq 0 ] && user_line="user $(id -un) $(id -gn);"
    cat > "$state/nginx.conf" <<CONF
$user_line
worker_processes 1;
daemon off;
pid $state/nginx.pid;
error_log $state/error.log warn;
events { worker_connections 256; }
http {
    access_log $state/access.log;
    client_body_temp_path $state/body;
    proxy_temp_path $state/proxy;
    fastcgi_temp_path $state/fastcgi;
    uwsgi_temp_path $state/uwsgi;
    scgi_temp_path $state/scgi;
    sendfile on;
    types { application/octet-stream bin pkt 7z dmg; application/json json; }
    default_type application/octet-stream;
    server {
        listen 127.0.0.1:$port;
        root $root;
        $rate_line
        $logs_location
        # /r1/PATH -> /r2/PATH -> ... -> /PATH: a chain of \$REDIRECTS answers, 302 and 301 in turn.
$redirects
    }
}
CONF
    nginx -c "$state/nginx.conf" -p "$state" > "$state/stdout.log" 2>&1 &
    for _ in $(seq 1 100); do
        if [ -s "$state/nginx.pid" ] && (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; then
            echo "$port"
            exit 0
        fi
        sleep 0.05
    done
    echo "nginx did not start: $(cat "$state/error.log" "$state/stdout.log" 2>/dev/null)" >&2
    exit 1
    ;;
stop)
    state=${2:?state dir}
    if [ -s "$state/nginx.pid" ]; then
        kill "$(cat "$state/nginx.pid")" 2>/dev/null || true
    fi
    ;;
*)
    echo "usage: nginx-serve.sh start ROOT STATEDIR | stop STATEDIR" >&2
    exit 2
    ;;
esac
