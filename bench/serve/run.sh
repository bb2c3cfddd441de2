#!/usr/bin/env bash
# The service under load on this machine, the load generator beside it (bench/, not CI):
#   bench/serve/run.sh            1,000 real-time streams for 60 s on the stand-in engines with
#                                 the Silero VAD; memory per idle connection; the pocketsphinx
#                                 engines at rising streams per core (final latency p95)
#   bench/serve/run.sh memory     10 minutes of streams opening and closing: the server's memory
#                                 each minute
# Anchor, same run: the batched VAD alone over the same audio (quern streams), for the share of
# the server's CPU that is detection.
set -euo pipefail
cd "$(dirname "$0")/../.."
scripts/setup.sh >&2
cmake -S . -B build-release -G Ninja -DCMAKE_BUILD_TYPE=Release -DQUERN_BUILD_TESTS=OFF >&2
cmake --build build-release --target quern >&2
quern=build-release/tools/quern
speech=data/generated/fixtures/sample.wav
port=18931
mode=${1:-all}

server_pid=
start_server() {  # start_server ARGS...: a server on $port, waits until it listens
  "$quern" serve --port "$port" --max-sessions 3000 --idle-timeout 3600 "$@" >/dev/null &
  server_pid=$!
  for _ in $(seq 100); do curl -sf "http://127.0.0.1:$port/healthz" >/dev/null && return; sleep 0.1; done
  echo "bench: the server did not start" >&2; exit 1
}
stop_server() { kill -TERM "$server_pid"; wait "$server_pid" || true; }
trap '[ -n "$server_pid" ] && kill -9 "$server_pid" 2>/dev/null || true' EXIT
rss_mb() { curl -s "http://127.0.0.1:$port/metrics" | awk '/^process_resident_memory_bytes/ {printf "%.1f", $2/1e6}'; }
url="ws://127.0.0.1:$port/v1/stream"

if [ "$mode" = memory ]; then
  start_server --engines stand-in
  echo "{\"minute\":0,\"server_rss_mb\":$(rss_mb)}"
  for minute in $(seq 10); do
    # 500 streams of 55 s each: every minute, every connection closes and a new one opens.
    "$quern" loadtest "$url" --streams 500 --file "$speech" --seconds 55 --connect-rate 100 >/dev/null
    echo "{\"minute\":$minute,\"server_rss_mb\":$(rss_mb),\"sessions_open\":$(curl -s "http://127.0.0.1:$port/metrics" | awk '/^quern_sessions_open/ {print $2}')}"
  done
  stop_server
  exit 0
fi

echo "# anchor: the batched Silero VAD alone, 1000 streams x 10 s of the same speech"
"$quern" streams "$speech" --streams 1000 --seconds 10

echo "# a fresh server, stand-in engines, Silero VAD"
start_server --engines stand-in
echo "# memory per idle connection: 1000 connections with a config and no audio"
before=$(rss_mb)
"$quern" loadtest "$url" --streams 1000 --file "$speech" --seconds 20 --idle >/dev/null &
loader=$!
sleep 15
during=$(rss_mb)
wait "$loader"
echo "{\"idle_connections\":1000,\"server_rss_mb_before\":$before,\"server_rss_mb_during\":$during,\"kb_per_idle_connection\":$(echo "($during - $before) * 1000 / 1000" | bc -l | xargs printf '%.1f')}"
echo "# 1000 real-time streams, 60 s, stand-in engines, Silero VAD"
"$quern" loadtest "$url" --streams 1000 --file "$speech" --seconds 60

stop_server

echo "# pocketsphinx engines: final latency at rising streams per core ($(nproc) cores), with the"
echo "# default endpointing (the VAD ends speech 1.3 s after it) and with 0.5 s of silence"
start_server --engines pocketsphinx
for config in '{}' '{"vad":{"silence":0.5}}'; do
  for n in 1 2 4 6; do
    report=$("$quern" loadtest "$url" --streams "$n" --file "$speech" --seconds 40 --config "$config" || true)
    echo "{\"config\":$config,\"streams\":$n,\"streams_per_core\":$(echo "$n / $(nproc)" | bc -l | xargs printf '%.1f'),\"report\":$report}"
  done
done
stop_server
