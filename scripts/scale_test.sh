#!/usr/bin/env bash
# Scale-out on an existing balancer: HAProxy (examples/haproxy/haproxy.cfg) in front of two
# quern serve replicas on loopback, a load test through it, and SIGTERM to one replica in the
# middle. Passes when the drained replica exits cleanly after finishing its sessions, the other
# takes the new ones, and the load test lost no final and saw no error.
#   scripts/scale_test.sh QUERN_BINARY
set -euo pipefail
cd "$(dirname "$0")/.."
quern=$1
speech=data/generated/fixtures/sample.wav
work=$(mktemp -d)
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; wait "$p" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT

free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'; }
lb=$(free_port); a=$(free_port); b=$(free_port)
"$quern" serve --port "$a" --engines stand-in --drain-seconds 20 >"$work/a.out" &
pid_a=$!; pids+=("$pid_a")
"$quern" serve --port "$b" --engines stand-in >"$work/b.out" &
pids+=("$!")
QUERN_LB_ADDR="127.0.0.1:$lb" QUERN_A_ADDR="127.0.0.1:$a" QUERN_B_ADDR="127.0.0.1:$b" \
  haproxy -db -f examples/haproxy/haproxy.cfg >"$work/haproxy.log" 2>&1 &
pids+=("$!")
for port in "$a" "$b" "$lb"; do
  for _ in $(seq 100); do curl -sf "http://127.0.0.1:$port/healthz" >/dev/null && break; sleep 0.1; done
done
sleep 1.5  # both replicas seen up by the balancer's checks

# 40 real-time streams of 20 s each; replica a drains 6 s in.
"$quern" loadtest "ws://127.0.0.1:$lb/v1/stream" --streams 40 --file "$speech" --seconds 20 \
  >"$work/report.json" &
loader=$!
sleep 6
kill -TERM "$pid_a"
status_a=0; wait "$pid_a" || status_a=$?
status_load=0; wait "$loader" || status_load=$?
cat "$work/report.json"
sessions_b=$(curl -s "http://127.0.0.1:$b/metrics" | awk '/^quern_sessions_total/ {print $2}')

fail=0
[ "$status_a" -eq 0 ] || { echo "scale: the drained replica exited with $status_a" >&2; fail=1; }
grep -q '"drained":true' "$work/a.out" || { echo "scale: the replica did not drain cleanly" >&2; fail=1; }
[ "$status_load" -eq 0 ] || { echo "scale: the load test lost finals or saw errors" >&2; fail=1; }
grep -q '"reconnects":0,' "$work/report.json" &&
  { echo "scale: no session was moved off the drained replica" >&2; fail=1; }
[ "${sessions_b:-0}" -gt 20 ] || { echo "scale: the other replica took only ${sessions_b:-0} sessions" >&2; fail=1; }
[ "$fail" -eq 0 ] || { tail -n 20 "$work/haproxy.log" >&2; exit 1; }
echo "scale: one replica drained under load; no final lost, no error"
