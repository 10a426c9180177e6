#!/usr/bin/env bash
# Runs the micro-benchmarks and the load scenarios against a fresh release server and writes
# bench/results/latest.json and bench/results/latest.md. The server listens on 127.0.0.1 only,
# with port forwarding off; it is pinned to core 0 and the generator to core 1, and both are
# stopped by pid. Every scenario is bounded in time and count.
set -euo pipefail
cd "$(dirname "$0")/.."
build=build/release
out=bench/results
mkdir -p "$out"
work=$(mktemp -d /tmp/velmor-bench-XXXXXX)
port=${VELMOR_BENCH_PORT:-7390}
duration=${VELMOR_BENCH_SECONDS:-20}
server_pid=""
cleanup() {
  if [[ -n $server_pid ]] && kill -0 "$server_pid" 2>/dev/null; then
    kill -INT "$server_pid"; sleep 2; kill -KILL "$server_pid" 2>/dev/null || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT

"$build/velmor_bench" --benchmark_counters_tabular=true --benchmark_format=json \
  --benchmark_out="$work/micro.json" --benchmark_out_format=json >/dev/null 2>&1

cp "$build/velmorserver" "$work/"
python3 - "$work/velmorserv.json" "$port" <<'PY'
import json, sys
rooms = [{"type": "chat", "name": "LoadChat", "password": "", "leaderpassword": "lead",
          "loadatstartup": True, "neversleeps": True, "maxusers": 300}]
rooms += [{"type": "nav", "name": "Nav%d" % i, "password": "", "leaderpassword": "lead",
           "loadatstartup": True, "neversleeps": True, "maxusers": 255} for i in range(1, 41)]
json.dump({"useupnp": False, "bindaddress": "127.0.0.1", "serverport": int(sys.argv[2]),
           "adminpassword": "bench", "rooms": rooms},
          open(sys.argv[1], "w"))
PY
(cd "$work" && exec taskset -c 0 ./velmorserver >server.out 2>&1) &
server_pid=$!
sleep 1

load() {  # name, then the scenario's arguments
  local name=$1; shift
  echo "== $name: velmor-load $*"
  taskset -c 1 "$build/velmor-load" "$@" --port "$port" --server-pid "$server_pid" \
    --admin-password bench --json "$work/$name.json"
}
# Senders pace at 9.5 lines/s: at exactly 10/s, timer jitter makes the 10-per-second limit
# refuse a few lines.
load chat50 chat --members 50 --senders 50 --rate 475 --duration "$duration" --source-net 30
load chat200 chat --members 200 --senders 200 --rate 1900 --duration "$duration" --source-net 31
load nav nav --rooms 40 --members 50 --hz 10 --duration "$duration" --source-net 32
load nav100 nav --rooms 40 --members 100 --hz 10 --duration "$duration" --source-net 36
load login login --clients 3000 --duration 10 --source-net 33
load churn churn --clients 10 --duration 10 --source-net 34
load idle idle --clients 10000 --duration 2 --source-net 35

python3 - "$work" "$out" <<'PY'
import json, os, sys
work, out = sys.argv[1], sys.argv[2]
results = {name: json.load(open(os.path.join(work, name + ".json")))
           for name in ["chat50", "chat200", "nav", "nav100", "login", "churn", "idle"]}
micro = json.load(open(os.path.join(work, "micro.json")))
results["micro"] = [{k: b[k] for k in ("name", "real_time", "time_unit", "allocations_per_pass") if k in b}
                    for b in micro["benchmarks"]]
json.dump(results, open(os.path.join(out, "latest.json"), "w"), indent=2)
def us_per(r):
    return r["server_cpu_us"] / max(r["delivered_per_s"] * r["seconds"], 1)
c50, c200, nav, nav100, login, idle = (results[k] for k in ("chat50", "chat200", "nav", "nav100", "login", "idle"))
def ticks(r):
    if "server_longest_tick_ms" not in r:
        return "no status text"
    return "%.1f / %.1f ms" % (r["server_longest_tick_ms"], r["server_tick_p99_ms"])
rows = [
  ("chat N=50 R=475: delivered/s", "%.0f" % c50["delivered_per_s"], "every line (%d refused)" % c50["lines_refused_by_limit"]),
  ("chat N=50: server CPU per delivered line", "%.2f us" % us_per(c50), "<= 1.0 us"),
  ("chat N=50: latency p50 / p99", "%.1f / %.1f ms" % (c50["latency_p50_ms"], c50["latency_p99_ms"]), "p99 <= 30 ms"),
  ("chat N=200 R=1900: delivered/s", "%.0f" % c200["delivered_per_s"], "every line (%d refused)" % c200["lines_refused_by_limit"]),
  ("chat N=200: server CPU per delivered line", "%.2f us" % us_per(c200), "<= 0.3 us"),
  ("chat N=200: latency p50 / p99", "%.1f / %.1f ms" % (c200["latency_p50_ms"], c200["latency_p99_ms"]), "p99 <= 30 ms"),
  ("nav 40x50 at 10 Hz: latency p50 / p99", "%.1f / %.1f ms" % (nav["latency_p50_ms"], nav["latency_p99_ms"]), "p99 <= 75 ms"),
  ("nav 40x50 at 10 Hz: server CPU", "%.1f %% of a core" % nav["server_cpu_percent_of_core"], "<= 30 %"),
  ("nav 40x100 at 10 Hz: share of moves delivered", "%.3f" % nav100["delivered_share"], "every move"),
  ("nav 40x100 at 10 Hz: latency p50 / p99", "%.1f / %.1f ms" % (nav100["latency_p50_ms"], nav100["latency_p99_ms"]), "p99 <= 100 ms"),
  ("nav 40x100: server CPU per delivered update", "%.3f us" % us_per(nav100), "<= 0.2 us"),
  ("nav 40x100: longest tick / tick p99", ticks(nav100), "longest < 20 ms"),
  ("member logins per second", "%.0f" % login["logins_per_s"], ">= 2000"),
  ("server KB per idle client (10,000)", "%.1f KB" % idle["server_kb_per_idle_client"], "<= 16 KB"),
  ("disconnects (all scenarios)", "%d" % sum(results[k]["disconnects"] for k in ("chat50", "chat200", "nav", "nav100", "login", "churn", "idle")), "0"),
]
for b in results["micro"]:
    rows.append(("relay pass " + b["name"], "%.0f ns, %s allocations" % (b["real_time"], b.get("allocations_per_pass")), "0 allocations"))
with open(os.path.join(out, "latest.md"), "w") as f:
    f.write("| figure | measured | target |\n|---|---|---|\n")
    for row in rows:
        f.write("| %s | %s | %s |\n" % row)
print(open(os.path.join(out, "latest.md")).read())
PY
