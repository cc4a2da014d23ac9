#!/bin/sh
# The program's resident anonymous memory through a long fast run: the headless recorder on
# the built-in simulated board at 1 ms, its RssAnon read every 10 s. A run of any length
# should hold about what it held after its first minute (the samples live in the store's
# files, not in the heap).
#
#   bench/memory/run_memory.sh [BUILD] [SECONDS]     (default: build, 600)
set -eu
build=${1:-build}
seconds=${2:-600}
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
"$build/bin/zrvlog" --headless --quiet --port sim --interval 0.001 --stop "$seconds" \
  --zrv "$out/run.zrv" &
pid=$!
rss() { awk '/^RssAnon:/ { print $2 }' "/proc/$pid/status" 2>/dev/null || echo 0; }
first=""
elapsed=0
while kill -0 "$pid" 2>/dev/null && [ "$elapsed" -lt "$seconds" ]; do
  sleep 10
  elapsed=$((elapsed + 10))
  now=$(rss)
  [ "$now" -gt 0 ] || break
  [ "$elapsed" -eq 60 ] && first=$now
  last=$now
  echo "$elapsed s: RssAnon $((now / 1024)) MB"
done
wait "$pid" || true
if [ -n "$first" ]; then
  echo "RssAnon after 60 s: $((first / 1024)) MB; at ${seconds} s: $((last / 1024)) MB;" \
    "growth $(((last - first) / 1024)) MB (target: under 20 MB for 600 s)"
fi
echo "data file: $(stat -c %s "$out/run.zrv" 2>/dev/null || echo 0) bytes"
