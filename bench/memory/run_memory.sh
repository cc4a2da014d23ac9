#!/bin/sh
# The program's resident anonymous memory through a long fast run: the headless recorder on
# the built-in simulated board at 1 ms, its RssAnon read every 10 s. A run of any length
# should hold about what it held after its first minute (the samples live in the store's
# files, not in the heap). It prints too what the run's journal (its sample store and
# header) takes on the disk, against the bytes the same samples take as data-file rows.
#
#   bench/memory/run_memory.sh [BUILD] [SECONDS]     (default: build, 600)
set -eu
build=${1:-build}
seconds=${2:-600}
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
# The journal goes into this folder, where it can be measured.
export XDG_DATA_HOME="$out/data"
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
  journal=$(du -sk "$XDG_DATA_HOME/ZRVLOG/recovery" 2>/dev/null | cut -f1)
  echo "$elapsed s: RssAnon $((now / 1024)) MB"
done
wait "$pid" || true
if [ -n "$first" ]; then
  echo "RssAnon after 60 s: $((first / 1024)) MB; at ${seconds} s: $((last / 1024)) MB;" \
    "growth $(((last - first) / 1024)) MB (target: under 20 MB for 600 s)"
fi
size=$(stat -c %s "$out/run.zrv" 2>/dev/null || echo 0)
echo "data file: $size bytes"
# About as many samples as milliseconds ran.
samples=$((seconds * 1000))
echo "journal on the disk 10 s before the end: $((journal / 1024)) MB," \
  "about $((journal * 1024 / (samples - 10000))) B per sample;" \
  "the data file: about $((size / samples)) B per sample"
