#!/usr/bin/env bash
# kav-host serve against nginx on this machine, both over loopback with keep-alive clients
# (wrk): the plugin's GET /kav-pre-end-of-game/v1/currentSequenceEvent, whose reply is 25
# bytes, and nginx answering the same 25 bytes at the same path with as many workers as
# serve has network threads (2). Runs alternate between the two servers, ROUNDS times
# (3) for each client count, and each figure is the median of its rounds: one run's p99 on
# a shared virtual machine moves by several times from run to run, for both servers.
#   against_nginx.sh KAV_HOST [SECONDS] [ROUNDS]
# One line per client count, after a line with the load average (the machine may be shared):
#   serve_vs_nginx/CLIENTS ratio=X p50=US/US p99=US/US rps=OURS/NGINX cpu=US/US
# ratio: our requests per second over nginx's; p50 and p99 in microseconds, ours/nginx's;
# cpu: the server's processor time per request in microseconds, which other work on the
# machine disturbs less than the rates.
set -euo pipefail
kav=$1
seconds=${2:-5}
rounds=${3:-3}
path=/kav-pre-end-of-game/v1/currentSequenceEvent
body='{"name":"","priority":-1}'
work=$(mktemp -d)
serve_pid=
nginx_pid=
cleanup() {
    [ -n "$serve_pid" ] && kill "$serve_pid" 2>/dev/null && wait "$serve_pid" 2>/dev/null
    [ -n "$nginx_pid" ] && kill "$nginx_pid" 2>/dev/null && wait "$nginx_pid" 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT

free_port() { python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'; }

"$kav" serve --port 0 --quiet >"$work/serve.out" 2>"$work/serve.err" &
serve_pid=$!
for _ in $(seq 100); do
    grep -q 'serving' "$work/serve.out" 2>/dev/null && break
    sleep 0.1
done
url=$(grep -o 'http://127.0.0.1:[0-9]*/?token=[0-9a-f]*' "$work/serve.out") || { cat "$work/serve.err" >&2; exit 1; }
serve_port=${url#http://127.0.0.1:}
serve_port=${serve_port%%/*}
secret=${url##*token=}
auth="Authorization: Basic $(printf 'kav-host:%s' "$secret" | base64 -w0)"

nginx_port=$(free_port)
mkdir -p "$work/nginx/logs" "$work/nginx/tmp"
cat >"$work/nginx/nginx.conf" <<CONF
worker_processes 2;
daemon off;
pid $work/nginx/nginx.pid;
error_log $work/nginx/logs/error.log;
events { worker_connections 1024; }
http {
    access_log off;
    client_body_temp_path $work/nginx/tmp;
    server {
        listen 127.0.0.1:$nginx_port;
        location = $path {
            default_type application/json;
            return 200 '$body';
        }
    }
}
CONF
nginx -p "$work/nginx" -c "$work/nginx/nginx.conf" &
nginx_pid=$!
for _ in $(seq 50); do
    curl -fs "http://127.0.0.1:$nginx_port$path" >/dev/null 2>&1 && break
    sleep 0.1
done
[ "$(curl -fs -H "$auth" "http://127.0.0.1:$serve_port$path")" = "$body" ] || { echo "kav-host serve answers otherwise" >&2; exit 1; }
[ "$(curl -fs "http://127.0.0.1:$nginx_port$path")" = "$body" ] || { echo "nginx answers otherwise" >&2; exit 1; }

# Processor time of the processes (and their threads) in clock ticks.
ticks() { local total=0 pid; for pid in "$@"; do total=$(( total + $(awk '{ print $14 + $15 }' "/proc/$pid/stat") )); done; echo "$total"; }

# wrk's summary: requests per second, p50 and p99 in microseconds, then processor time per
# request of the processes pids in microseconds.
measure() {
    local port=$1 clients=$2 pids=$3 threads=$(( $2 < 2 ? 1 : 2 )) before
    # shellcheck disable=SC2086
    before=$(ticks $pids)
    wrk -t "$threads" -c "$clients" -d "${seconds}s" --latency -H "$auth" "http://127.0.0.1:$port$path" | awk '
        function us(text) {
            if (text ~ /us$/) return text + 0
            if (text ~ /ms$/) return text * 1000
            if (text ~ /s$/) return text * 1000000
            return text + 0
        }
        /Requests\/sec:/ { rps = $2 }
        $1 == "50%" { p50 = us($2) }
        $1 == "99%" { p99 = us($2) }
        /Non-2xx/ { bad = $NF }
        /requests in/ { requests = $1 }
        END { if (bad) { print "wrk: " bad " answers were not 2xx" > "/dev/stderr"; exit 1 } print rps, p50, p99, requests }' |
        { read -r rps p50 p99 requests
          # shellcheck disable=SC2086
          echo "$rps $p50 $p99 $(awk -v t=$(( $(ticks $pids) - before )) -v hz="$(getconf CLK_TCK)" -v n="$requests" \
              'BEGIN { printf "%.1f", t * 1000000 / hz / n }')"; }
}

nginx_pids="$nginx_pid $(pgrep -P "$nginx_pid" | tr '\n' ' ')"
# A second of load on each first, not counted: first-touch page faults and state set up on
# first use are no part of either server's steady state.
for port in "$serve_port" "$nginx_port"; do
    wrk -t 2 -c 16 -d 1s -H "$auth" "http://127.0.0.1:$port$path" >/dev/null
done
echo "serve_vs_nginx load average: $(cut -d' ' -f1-3 /proc/loadavg) on $(nproc) processors"
# Column k (1: rps, 2: p50, 3: p99, 4: cpu) of the rounds' lines given, as their median.
column() {
    local k=$1
    shift
    printf '%s\n' "$@" | awk -v k="$k" '{ print $k }' | sort -g |
        awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}

for clients in 1 16 64 200; do
    ours=() nginx=()
    for _ in $(seq "$rounds"); do
        ours+=("$(measure "$serve_port" "$clients" "$serve_pid")")
        nginx+=("$(measure "$nginx_port" "$clients" "$nginx_pids")")
    done
    awk -v c="$clients" -v a="$(column 1 "${ours[@]}")" -v b="$(column 1 "${nginx[@]}")" \
        -v a50="$(column 2 "${ours[@]}")" -v b50="$(column 2 "${nginx[@]}")" \
        -v a99="$(column 3 "${ours[@]}")" -v b99="$(column 3 "${nginx[@]}")" \
        -v acpu="$(column 4 "${ours[@]}")" -v bcpu="$(column 4 "${nginx[@]}")" 'BEGIN {
        printf "serve_vs_nginx/%d ratio=%.2f p50=%.0f/%.0f p99=%.0f/%.0f rps=%.0f/%.0f cpu=%.1f/%.1f\n", c, a / b, a50, b50, a99, b99, a, b, acpu, bcpu }'
done
