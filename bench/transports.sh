#!/usr/bin/env bash
# The server's cost per transport: chat at N=50 and N=200 over tcp, ws, wss and tls, and
# navigation with 5,000 movers over ws, against fresh release servers in a temporary folder.
# Writes bench/results/transports.json and bench/results/transports.md.
#
# A test certificate (EC P-256, self-signed, for 127.0.0.1) is made with the openssl command
# in the temporary folder. The WebSocket port speaks wss once a certificate is set, so two
# servers are run one after the other: "plain" (tcp and ws) and "secure" (tcp, wss and tls);
# tcp runs on both, as the baseline of each. Every server listens on 127.0.0.1 only, with
# port forwarding off; it is pinned to core 0 and velmor-load to core 1 (taskset), and
# stopped by its pid. Every scenario is bounded in time and count.
#
# VELMOR_BENCH_SECONDS (20): seconds of each measurement; VELMOR_BENCH_REPEAT (1): chat runs
# per transport, alternating; VELMOR_BENCH_PORT (7400): first of the six ports used;
# VELMOR_BENCH_NAV ("50 100"): rooms and members of the navigation run;
# VELMOR_BENCH_SETTINGS ({}): more settings for both servers, as a JSON object;
# VELMOR_BENCH_SERVER (build/release/velmorserver): the executable measured.
set -euo pipefail
cd "$(dirname "$0")/.."
build=build/release
out=bench/results
mkdir -p "$out"
work=$(mktemp -d /tmp/velmor-transports-XXXXXX)
port=${VELMOR_BENCH_PORT:-7400}
duration=${VELMOR_BENCH_SECONDS:-20}
repeat=${VELMOR_BENCH_REPEAT:-1}
server=${VELMOR_BENCH_SERVER:-$build/velmorserver}
read -r nav_rooms nav_members <<<"${VELMOR_BENCH_NAV:-50 100}"
server_pid=""
stop_server() {
  if [[ -n $server_pid ]] && kill -0 "$server_pid" 2>/dev/null; then
    kill -INT "$server_pid"
    for _ in 1 2 3 4 5 6 7 8 9 10; do kill -0 "$server_pid" 2>/dev/null || break; sleep 0.5; done
    kill -KILL "$server_pid" 2>/dev/null || true
  fi
  server_pid=""
}
cleanup() {
  stop_server
  rm -rf "$work"
}
trap cleanup EXIT

openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2 \
  -subj "/CN=127.0.0.1" -addext "subjectAltName=IP:127.0.0.1" \
  -keyout "$work/key.pem" -out "$work/cert.pem" 2>/dev/null

# start_server NAME SECURE: a fresh folder with the executable, its settings and (SECURE=1)
# the certificate; the ports are $port.. for plain and $port+3.. for secure.
start_server() {
  local name=$1 secure=$2 dir="$work/$1"
  mkdir -p "$dir"
  cp "$server" "$dir/velmorserver"
  [[ $secure == 1 ]] && cp "$work/cert.pem" "$work/key.pem" "$dir/"
  python3 - "$dir/velmorserv.json" "$base" "$secure" "$nav_rooms" \
    "${VELMOR_BENCH_SETTINGS:-{\}}" <<'PY'
import json, sys
path, base, secure, nav_rooms = sys.argv[1], int(sys.argv[2]), sys.argv[3] == "1", int(sys.argv[4])
rooms = [{"type": "chat", "name": "LoadChat", "password": "", "leaderpassword": "lead",
          "loadatstartup": True, "neversleeps": True, "maxusers": 300}]
rooms += [{"type": "nav", "name": "Nav%d" % i, "password": "", "leaderpassword": "lead",
           "loadatstartup": True, "neversleeps": True, "maxusers": 255}
          for i in range(1, nav_rooms + 1)]
settings = {"useupnp": False, "bindaddress": "127.0.0.1", "serverport": base,
            "websocketport": base + 1, "adminpassword": "bench", "rooms": rooms}
if secure:
    settings.update({"tlsport": base + 2, "tlscertificate": "cert.pem", "tlskey": "key.pem"})
settings.update(json.loads(sys.argv[5]))
json.dump(settings, open(path, "w"))
PY
  (cd "$dir" && exec taskset -c 0 ./velmorserver >server.out 2>&1) &
  server_pid=$!
  sleep 1
  if ! kill -0 "$server_pid" 2>/dev/null; then
    echo "the $name server did not start:" >&2
    cat "$dir/server.out" >&2
    exit 1
  fi
}

net=40  # source nets 127.40.. upwards: a fresh range of addresses for every run
load() {  # name, transport, port, then the scenario's arguments
  local name=$1 transport=$2 at=$3
  shift 3
  echo "== $name: velmor-load $* --transport $transport"
  taskset -c 1 "$build/velmor-load" "$@" --transport "$transport" --port "$at" \
    --server-pid "$server_pid" --admin-password bench --source-net "$net" \
    --json "$work/$name.json"
  net=$((net + 1))
}
chat() {  # transport, port, run
  load "chat50-$1-$3" "$1" "$2" chat --members 50 --senders 50 --rate 475 --duration "$duration"
  load "chat200-$1-$3" "$1" "$2" chat --members 200 --senders 200 --rate 1900 \
    --duration "$duration"
}

base=$port
start_server plain 0
for run in $(seq 1 "$repeat"); do
  chat tcp "$base" "$run"
  chat ws $((base + 1)) "$run"
done
load "nav-ws" ws $((base + 1)) nav --rooms "$nav_rooms" --members "$nav_members" --hz 10 \
  --duration "$duration" --senders 1
stop_server

base=$((port + 3))
start_server secure 1
for run in $(seq 1 "$repeat"); do
  chat tcp "$base" "s$run"
  chat wss $((base + 1)) "s$run"
  chat tls $((base + 2)) "s$run"
done
stop_server

python3 - "$work" "$out" "$(nproc)" <<'PY'
import glob, json, os, statistics, sys
work, out, cores = sys.argv[1], sys.argv[2], sys.argv[3]
runs = {os.path.basename(p)[:-5]: json.load(open(p)) for p in glob.glob(os.path.join(work, "*.json"))}
json.dump(runs, open(os.path.join(out, "transports.json"), "w"), indent=2, sort_keys=True)

def us_per(r):
    return r["server_cpu_us"] / max(r["delivered"], 1)

def group(size, transport, secure):
    names = [n for n in runs if n.startswith("chat%d-%s-" % (size, transport)) and
             (n.split("-")[2].startswith("s") == secure)]
    return [runs[n] for n in sorted(names)]

rows = []
for size in (50, 200):
    for server, transports in (("plain", ("tcp", "ws")), ("secure", ("tcp", "wss", "tls"))):
        secure = server == "secure"
        base = group(size, "tcp", secure)
        base_us = statistics.median(us_per(r) for r in base)
        for t in transports:
            rs = group(size, t, secure)
            us = [us_per(r) for r in rs]
            rows.append((
                "chat N=%d, %s server, %s" % (size, server, t),
                "%.0f" % statistics.median(r["delivered_per_s"] for r in rs),
                "%.2f us (%s)" % (statistics.median(us), ", ".join("%.2f" % u for u in us)),
                "%.2fx" % (statistics.median(us) / base_us),
                "%.1f / %.1f ms" % (statistics.median(r["latency_p50_ms"] for r in rs),
                                    statistics.median(r["latency_p99_ms"] for r in rs)),
                "%.0f %%" % statistics.median(r["generator_cpu_percent_of_core"] for r in rs),
                "%d" % sum(r["lines_refused_by_limit"] + r["disconnects"] + r["connection_failures"]
                           for r in rs),
            ))
with open(os.path.join(out, "transports.md"), "w") as f:
    f.write("Machine: %s cores; server on core 0, velmor-load on core 1.\n\n" % cores)
    f.write("| run | delivered/s | server CPU per delivered line (runs) | / tcp | latency p50 / p99 "
            "| generator CPU | refused, disconnects, failures |\n|---|---|---|---|---|---|---|\n")
    for row in rows:
        f.write("| %s |\n" % " | ".join(row))
    nav = runs.get("nav-ws")
    if nav:
        f.write("\n| nav over ws | movers | moves delivered | latency p50 / p99 | server CPU | "
                "generator CPU | disconnects, failures |\n|---|---|---|---|---|---|---|\n")
        f.write("| %d rooms x %d members at %g Hz | %d | %.3f | %.1f / %.1f ms | %.1f %% | %.0f %% | %d |\n" % (
            nav["rooms"], nav["members_per_room"], nav["moves_per_s_per_member"],
            nav["rooms"] * nav["members_per_room"], nav["delivered_share"],
            nav["latency_p50_ms"], nav["latency_p99_ms"], nav["server_cpu_percent_of_core"],
            nav["generator_cpu_percent_of_core"], nav["disconnects"] + nav["connection_failures"]))
print(open(os.path.join(out, "transports.md")).read())
PY
