#!/usr/bin/env bash
# Soak: quern serve under a steady load whose connections open and close all the time, for a
# given time. Every round, STREAMS streams of 20 s each connect spread over those 20 s, so that
# at any moment some sessions begin and others end. One JSON line per round; at the end, the
# check: every final received in every round, no session left open, the server's file
# descriptors back to where they began, and (with --memory-mb M) its memory at the end within
# M MB of the memory after the first BASE minutes (5 by default).
#   bench/serve/soak.sh QUERN_BINARY MINUTES [STREAMS] [--memory-mb M] [--base-minutes B]
set -euo pipefail
cd "$(dirname "$0")/../.."
quern=$1 minutes=$2 streams=${3:-200}
shift $(( $# >= 3 ? 3 : 2 ))
memory_mb= base_minutes=5
while [ $# -gt 0 ]; do
  case "$1" in
    --memory-mb) memory_mb=$2; shift 2 ;;
    --base-minutes) base_minutes=$2; shift 2 ;;
    *) echo "soak: unknown argument $1" >&2; exit 2 ;;
  esac
done
speech=data/generated/fixtures/sample.wav
port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
"$quern" serve --port "$port" --engines stand-in --max-sessions $((streams * 2 + 64)) >/dev/null &
server=$!
trap 'kill -9 $server 2>/dev/null || true' EXIT
for _ in $(seq 200); do curl -sf "http://127.0.0.1:$port/healthz" >/dev/null && break; sleep 0.1; done
metric() { curl -s "http://127.0.0.1:$port/metrics" | awk -v m="$1" '$1 == m {print $2}'; }
fds_start=$(metric process_open_fds)
start=$(date +%s)
base_rss=
failed=0
round=0
while [ $(( $(date +%s) - start )) -lt $((minutes * 60)) ]; do
  round=$((round + 1))
  report=$("$quern" loadtest "ws://127.0.0.1:$port/v1/stream" --streams "$streams" --file "$speech" \
    --seconds 20 --connect-rate "$((streams / 20 + 1))") || failed=1
  elapsed=$(( $(date +%s) - start ))
  rss=$(metric process_resident_memory_bytes)
  if [ -z "$base_rss" ] && [ "$elapsed" -ge $((base_minutes * 60)) ]; then base_rss=$rss; fi
  echo "{\"round\":$round,\"seconds\":$elapsed,\"server_rss_mb\":$(echo "$rss / 1000000" | bc),\"report\":$report}"
done
sleep 1
open=$(metric quern_sessions_open)
fds_end=$(metric process_open_fds)
rss_end=$(metric process_resident_memory_bytes)
echo "{\"sessions_open\":$open,\"fds_start\":$fds_start,\"fds_end\":$fds_end,\"rss_base_mb\":$(echo "${base_rss:-$rss_end} / 1000000" | bc),\"rss_end_mb\":$(echo "$rss_end / 1000000" | bc)}"
[ "$failed" -eq 0 ] || { echo "soak: a round lost finals or saw errors" >&2; exit 1; }
[ "$open" = 0 ] || { echo "soak: $open sessions still open" >&2; exit 1; }
[ "$fds_end" -le "$fds_start" ] || { echo "soak: file descriptors $fds_start -> $fds_end" >&2; exit 1; }
if [ -n "$memory_mb" ] && [ -n "$base_rss" ]; then
  grown=$(( (rss_end - base_rss) / 1000000 ))
  [ "$grown" -le "$memory_mb" ] || { echo "soak: memory grew $grown MB after minute $base_minutes" >&2; exit 1; }
fi
kill -TERM "$server"; wait "$server"
echo "soak: passed"
