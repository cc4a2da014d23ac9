#!/usr/bin/env bash
# Three loggers, one broker: two headless recorders and the window (under xvfb) publish to a
# local mosquitto; a subscriber with a kept session reads lab/+/samples; the broker is stopped
# mid-run and started again. At the end every logger's samples are checked: each run's keys
# run from 0 without a gap, and a headless run has as many as its CSV has rows.
#
#   tools/demo/publish_demo.sh [BUILD_DIR]      (needs mosquitto, mosquitto-clients, xvfb,
#                                                xdotool, imagemagick, python3)
set -euo pipefail
build=$(cd "${1:-build}" && pwd)
work=$(mktemp -d /tmp/zrvlog-publish-demo.XXXXXX)
port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
echo "demo folder: $work, broker on 127.0.0.1:$port"
mkdir -p "$work/config/ZRVLOG" "$work/data" "$work/broker"
cat > "$work/mosquitto.conf" <<CONF
listener $port 127.0.0.1
allow_anonymous true
persistence true
persistence_location $work/broker/
user $(id -un)
CONF
cat > "$work/config/ZRVLOG/ZRVLOG.conf" <<CONF
[Publish]
Enabled=1
Host=127.0.0.1
Port=$port
Topic=lab/window
TLS=0
OutboxMB=1024
CONF
pids=()
cleanup() { for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done; }
trap cleanup EXIT
start_broker() {
  /usr/sbin/mosquitto -c "$work/mosquitto.conf" >>"$work/broker.log" 2>&1 &
  broker=$!
  pids+=("$broker")
  for _ in $(seq 50); do (echo >/dev/tcp/127.0.0.1/$port) 2>/dev/null && return; sleep 0.1; done
  echo "the broker did not start" >&2; exit 1
}
start_broker
mosquitto_sub -h 127.0.0.1 -p "$port" -q 1 -c -i zrvlog-demo -v -t 'lab/+/samples' \
  >"$work/received.txt" 2>"$work/sub.log" &
pids+=("$!")
sleep 0.5

export XDG_DATA_HOME="$work/data"
# The window: started under xvfb, its run started and stopped with the toolbar's button.
cat > "$work/window.sh" <<WIN
#!/usr/bin/env bash
export XDG_CONFIG_HOME="$work/config"
"$build/bin/zrvlog" --demo --no-splash &
app=\$!
sleep 4
wid=\$(xdotool search --onlyvisible --name ZRVLOG | head -1)
xdotool windowmove "\$wid" 0 0 windowsize "\$wid" 1270 760
sleep 1
xdotool mousemove 200 38 click 1          # Run
sleep 22
import -window root "$work/window-running.png"
xdotool mousemove 200 38 click 1          # Stop
sleep 3
import -window root "$work/window-stopped.png"
kill \$app
WIN
chmod +x "$work/window.sh"
xvfb-run -a -s "-screen 0 1280x800x24" "$work/window.sh" >"$work/window.log" 2>&1 &
pids+=("$!")
sleep 5
for n in 1 2; do
  XDG_CONFIG_HOME="$work/config-$n" "$build/bin/zrvlog" --headless --port sim --interval 0.02 \
    --stop 20 --quiet --publish "mqtt://127.0.0.1:$port/lab/bench$n" --csv "$work/bench$n.csv" \
    >"$work/bench$n.log" 2>&1 &
  pids+=("$!")
  eval "logger$n=$!"
done
sleep 6
echo "stopping the broker mid-run"
kill "$broker"; wait "$broker" 2>/dev/null || true
sleep 4
echo "starting it again"
start_broker
wait "$logger1" "$logger2" || true
sleep 10   # the window's run ends and its outbox drains
cat "$work"/bench*.log
python3 - "$work" <<'PY'
import json, sys, collections
work = sys.argv[1]
runs = collections.defaultdict(list)
for line in open(f"{work}/received.txt"):
    topic, _, payload = line.partition(" ")
    for s in json.loads(payload):
        run, _, index = s["key"].rpartition("-")
        runs[(topic.split("/")[1], run)].append(int(index))
ok = True
for (logger, run), got in sorted(runs.items()):
    keys = set(got)
    gaps = sorted(set(range(max(keys) + 1)) - keys)
    line = f"{logger} run {run}: {len(keys)} samples (keys 0-{max(keys)}), {len(got)} received, {len(got) - len(keys)} duplicates, {len(gaps)} missing"
    if logger.startswith("bench"):
        rows = sum(1 for _ in open(f"{work}/{logger}.csv")) - 1
        line += f", CSV {rows} rows"
        ok &= rows == len(keys)
    ok &= not gaps
    print(line)
ok &= len({l for l, _ in runs}) == 3
print("every sample of the three loggers arrived" if ok else "SAMPLES MISSING")
sys.exit(0 if ok else 1)
PY
