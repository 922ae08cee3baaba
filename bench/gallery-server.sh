#!/usr/bin/env bash
# Load test of the gallery server on loopback, each figure beside nginx
# serving the same files in the same run. Both servers are pinned to the same
# two cores, the load tools to two others; throughput runs alternate between
# the two servers and print the gallery/nginx ratio's minimum and median.
# Needs: scripts/install-deps.sh --bench, and a build of bench_gallery_server_host.
#   bench/gallery-server.sh [build-dir]
# Environment: ROUNDS (5), SECONDS_PER_RUN (5), SLOW_SECONDS (60),
# SERVER_CPUS (0,1), CLIENT_CPUS (2,3), PARTS (all of: thumbs list crowd slow many big).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-${FLASHWREN_BUILD_DIR:-$root/build}}
host=$build/bench/bench_gallery_server_host
rounds=${ROUNDS:-5}
run_s=${SECONDS_PER_RUN:-5}
slow_s=${SLOW_SECONDS:-60}
server_cpus=${SERVER_CPUS:-0,1}
client_cpus=${CLIENT_CPUS:-2,3}
parts=" ${PARTS:-thumbs list crowd slow many big} "
want() { [[ "$parts" == *" $1 "* ]]; }
command -v wrk >/dev/null || { echo "wrk is missing: scripts/install-deps.sh --bench"; exit 1; }
nginx_bin=$(command -v nginx || echo /usr/sbin/nginx)
[ -x "$nginx_bin" ] || { echo "nginx is missing: scripts/install-deps.sh --bench"; exit 1; }
[ -x "$host" ] || { echo "build first: $host"; exit 1; }

work=$(mktemp -d)
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT
ulimit -n "$(ulimit -Hn)" 2>/dev/null || true
echo "machine: $(nproc) cores, load average $(cut -d' ' -f1-3 /proc/loadavg); servers on cores $server_cpus, load tools on $client_cpus"

free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'; }

# A gallery server over one folder, with a home of its own; sets $port and $pid.
start_gallery() {  # folder name
  local folder=$1 name=$2
  mkdir -p "$work/$name-home"
  HOME=$work/$name-home XDG_CONFIG_HOME=$work/$name-home/.config XDG_DATA_HOME=$work/$name-home/.local/share \
  XDG_CACHE_HOME=$work/$name-home/.cache QT_QPA_PLATFORM=offscreen \
    taskset -c "$server_cpus" "$host" serve "$folder" < /dev/null > "$work/$name.out" 2> "$work/$name.log" &
  pid=$!
  pids+=("$pid")
  for _ in $(seq 100); do grep -q PORT "$work/$name.out" 2>/dev/null && break; sleep 0.1; done
  port=$(awk '/PORT/{print $2}' "$work/$name.out")
}

# nginx over one folder, two workers on the servers' cores (they inherit the
# master's, given by taskset); sets $port.
start_nginx() {  # root name
  local docroot=$1 name=$2
  port=$(free_port)
  mkdir -p "$work/$name/logs"
  cat > "$work/$name/nginx.conf" <<CONF
worker_processes 2;
worker_rlimit_nofile 20000;
daemon off;
pid $work/$name/nginx.pid;
error_log $work/$name/logs/error.log;
events { worker_connections 8000; }
http {
  access_log off;
  sendfile on;
  tcp_nopush on;
  keepalive_requests 100000;
  server {
    listen 127.0.0.1:$port backlog=1024;
    root $docroot;
    default_type image/jpg;
    location = /list { default_type application/json; }
  }
}
CONF
  taskset -c "$server_cpus" "$nginx_bin" -p "$work/$name" -c "$work/$name/nginx.conf" 2>>"$work/$name/logs/start.log" &
  pids+=($!)
  for _ in $(seq 50); do curl -s -o /dev/null "http://127.0.0.1:$port/" && break; sleep 0.1; done
  # Side by side or not at all: every worker runs on the gallery's cores.
  local master worker want
  master=$(cat "$work/$name/nginx.pid")
  want=$(taskset -cp "$master" | awk '{print $NF}')
  for worker in $(pgrep -P "$master"); do
    if [ "$(taskset -cp "$worker" | awk '{print $NF}')" != "$want" ]; then
      echo "nginx worker $worker runs on cores $(taskset -cp "$worker" | awk '{print $NF}'), not $want" >&2
      exit 1
    fi
  done
}

wrk_rate() {  # url [script]
  local args=(-t2 -c64 -d"${run_s}s" --timeout 2s --latency)
  [ -n "${2:-}" ] && args+=(-s "$2")
  taskset -c "$client_cpus" wrk "${args[@]}" "$1" > "$work/wrk.txt"
  local errors
  errors=$(awk '/Non-2xx|Socket errors/{printf "%s ", $0}' "$work/wrk.txt")
  [ -n "$errors" ] && echo "    ($1: $errors)" >&2
  awk '/Requests\/sec/{print $2}' "$work/wrk.txt"
}

# Rounds of gallery then nginx; prints each pair and the ratio's min and median.
compare() {  # label gallery-url nginx-url [script] [target]
  local label=$1 g=$2 n=$3 script=${4:-} target=${5:-} ratios=()
  echo "== $label: $rounds rounds of ${run_s} s each, 64 connections"
  for r in $(seq "$rounds"); do
    local a b
    a=$(wrk_rate "$g" "$script"); b=$(wrk_rate "$n" "$script")
    ratios+=("$(awk -v a="$a" -v b="$b" 'BEGIN{printf "%.3f", a/b}')")
    printf '   round %d: gallery %9.0f req/s   nginx %9.0f req/s   ratio %s\n' "$r" "$a" "$b" "${ratios[-1]}"
  done
  local sorted min median
  sorted=$(printf '%s\n' "${ratios[@]}" | sort -g)
  min=$(echo "$sorted" | head -1)
  median=$(echo "$sorted" | awk '{v[NR]=$1} END{print (NR%2)? v[(NR+1)/2] : (v[NR/2]+v[NR/2+1])/2}')
  local load
  load=$(cut -d' ' -f1-3 /proc/loadavg)
  printf '   %s: gallery/nginx min %s, median %s%s, load average %s\n' "$label" "$min" "$median" \
    "${target:+ (target $target)}" "$load"
  summary+=("$(printf '%-34s min %s  median %s%s  (load %s)' "$label" "$min" "$median" "${target:+  target $target}" "$load")")
}
summary=()

echo "making 300 prints..."
mkdir -p "$work/prints"
QT_QPA_PLATFORM=offscreen "$host" make-prints "$work/prints" 300
chmod -R a+rX "$work"  # nginx's workers run as an unprivileged user

start_gallery "$work/prints" gallery; gport=$port; gpid=$pid
gbase=http://127.0.0.1:$gport
echo "gallery server on $gbase"
# Every thumbnail made once, so the thumbnail runs measure cached ones.
for i in $(seq -f %04g 1 300); do curl -s -o /dev/null "$gbase/thumb/IMG_$i.jpg"; done
# nginx serves the same prints, thumbnails and the list as a static file.
curl -s "$gbase/list" > "$work/prints/list"
chmod -R a+rX "$work"
start_nginx "$work/prints" nginx; nport=$port
nbase=http://127.0.0.1:$nport
echo "nginx on $nbase"

cat > "$work/thumbs.lua" <<'LUA'
local i = 0
request = function()
  i = (i % 300) + 1
  return wrk.format("GET", string.format("/thumb/IMG_%04d.jpg", i))
end
LUA

want thumbs && compare "cached thumbnails" "$gbase" "$nbase" "$work/thumbs.lua" ">= 0.8"
want list && compare "/list from its cache" "$gbase/list" "$nbase/list" "" ">= 0.9"

# ---- 2,000 simultaneous connections, 50 from each of 40 addresses.
cat > "$work/crowd.py" <<'PY'
import asyncio, sys
port, per, addrs = int(sys.argv[1]), int(sys.argv[2]), int(sys.argv[3])
async def one(src, n):
    try:
        r, w = await asyncio.wait_for(asyncio.open_connection("127.0.0.1", port, local_addr=(src, 0)), 20)
    except Exception:
        return None
    return r, w, n
async def fetch(conn):
    if conn is None: return False
    r, w, n = conn
    try:
        w.write(b"GET /thumb/IMG_%04d.jpg HTTP/1.1\r\nHost: booth\r\n\r\n" % (n % 300 + 1))
        await w.drain()
        head = await asyncio.wait_for(r.readuntil(b"\r\n\r\n"), 30)
        length = 0
        for line in head.split(b"\r\n"):
            if line.lower().startswith(b"content-length:"): length = int(line.split(b":")[1])
        body = await asyncio.wait_for(r.readexactly(length), 30)
        return head.startswith(b"HTTP/1.1 200") and len(body) > 0
    except Exception:
        return False
    finally:
        w.close()
async def main():
    conns = await asyncio.gather(*[one("127.0.2.%d" % (a + 1), a * per + i) for a in range(addrs) for i in range(per)])
    opened = sum(c is not None for c in conns)
    ok = sum(await asyncio.gather(*[fetch(c) for c in conns]))
    print(opened, ok)
asyncio.run(main())
PY
if want crowd; then
echo "== 2,000 simultaneous connections, 50 from each of 40 addresses, each fetching a thumbnail"
read -r g_open g_ok < <(taskset -c "$client_cpus" python3 "$work/crowd.py" "$gport" 50 40)
read -r n_open n_ok < <(taskset -c "$client_cpus" python3 "$work/crowd.py" "$nport" 50 40)
echo "   gallery: $g_ok of 2000 answered ($g_open connected);  nginx: $n_ok of 2000 answered ($n_open connected)"
summary+=("$(printf '%-34s gallery %s/2000  nginx %s/2000  target 2000' "2,000 connections" "$g_ok" "$n_ok")")
fi

# ---- slow clients: 300 from 127.0.0.3 trickle a header line every 10 s;
# a phone at 127.0.0.2 polls /list once a second. Both servers at once.
cat > "$work/slow.py" <<'PY'
import asyncio, sys, time
port, seconds = int(sys.argv[1]), float(sys.argv[2])
end = time.monotonic() + seconds
async def slow(i):
    # Reconnects when the server closes it, as a client holding the server would.
    while time.monotonic() < end:
        try:
            r, w = await asyncio.open_connection("127.0.0.1", port, local_addr=("127.0.0.3", 0))
            w.write(b"GET /list HTTP/1.1\r\n"); await w.drain()
            while time.monotonic() < end:
                try:
                    data = await asyncio.wait_for(r.read(1024), 10)
                    if not data: break
                except asyncio.TimeoutError:
                    w.write(b"X-Slow: %d\r\n" % i); await w.drain()
            w.close()
        except Exception:
            pass
        await asyncio.sleep(1)
async def phone():
    answered = 0
    for k in range(int(seconds)):
        t0 = time.monotonic()
        try:
            r, w = await asyncio.wait_for(asyncio.open_connection("127.0.0.1", port, local_addr=("127.0.0.2", 0)), 2)
            w.write(b"GET /list HTTP/1.1\r\nHost: booth\r\nConnection: close\r\n\r\n"); await w.drain()
            data = await asyncio.wait_for(r.read(), 2)
            answered += data.startswith(b"HTTP/1.1 200")
            w.close()
        except Exception:
            pass
        await asyncio.sleep(max(0, 1 - (time.monotonic() - t0)))
    return answered
async def main():
    slows = [asyncio.create_task(slow(i)) for i in range(300)]
    await asyncio.sleep(2)  # the slow clients are in before the phone starts
    answered = await phone()
    for t in slows: t.cancel()
    print(answered, int(seconds))
asyncio.run(main())
PY
if want slow; then
echo "== 300 slow clients (127.0.0.3) for ${slow_s} s; a phone (127.0.0.2) polls /list once a second"
taskset -c "$client_cpus" python3 "$work/slow.py" "$gport" "$slow_s" > "$work/slow-g.txt" &
sg=$!
taskset -c "$client_cpus" python3 "$work/slow.py" "$nport" "$slow_s" > "$work/slow-n.txt" &
sn=$!
wait "$sg" "$sn"
read -r g_ans total < "$work/slow-g.txt"; read -r n_ans _ < "$work/slow-n.txt"
echo "   gallery: $g_ans of $total polls answered;  nginx: $n_ans of $total"
summary+=("$(printf '%-34s gallery %s/%s  nginx %s/%s  target all' "slow clients, phone polls" "$g_ans" "$total" "$n_ans" "$total")")
fi

# ---- 10,000 prints: /list under load while new prints keep arriving.
if want many; then
echo "== 10,000 prints: /list under load while a print arrives every half second"
mkdir -p "$work/many"
python3 - "$work/prints/IMG_0001.jpg" "$work/many" <<'PY'
import shutil, sys
for i in range(1, 10001): shutil.copyfile(sys.argv[1], "%s/IMG_%05d.jpg" % (sys.argv[2], i))
PY
start_gallery "$work/many" many; mport=$port
curl -s "http://127.0.0.1:$mport/list" > "$work/many/list"
echo "   list of 10,000: $(stat -c %s "$work/many/list") bytes"
chmod -R a+rX "$work/many"
start_nginx "$work/many" nginx-many; mnport=$port
( i=0; while :; do i=$((i+1)); cp "$work/prints/IMG_0002.jpg" "$work/many/NEW_$i.jpg"; sleep 0.5; done ) &
adder=$!; pids+=($adder)
taskset -c "$client_cpus" wrk -t2 -c64 -d10s --timeout 2s --latency "http://127.0.0.1:$mport/list" > "$work/many.txt"
kill "$adder" 2>/dev/null || true
many_rate=$(awk '/Requests\/sec/{print $2}' "$work/many.txt")
many_p99=$(awk '/ 99%/{print $2}' "$work/many.txt")
many_err=$(awk '/Socket errors|Non-2xx/{printf "%s ", $0}' "$work/many.txt")
many_ng=$(wrk_rate "http://127.0.0.1:$mnport/list")
echo "   gallery $many_rate req/s, p99 $many_p99, ${many_err:-no errors or timeouts}; nginx (static copy, no arrivals) $many_ng req/s"
summary+=("$(printf '%-34s gallery %s req/s p99 %s %s; nginx static %s req/s' "/list of 10,000, prints arriving" "$many_rate" "$many_p99" "${many_err:-no timeouts}" "$many_ng")")
fi

# ---- memory while 32 connections download a 4 MB print.
if want big; then
echo "== 32 connections downloading BIG.jpg, 10 s"
rss_before=$(awk '/VmRSS/{print $2}' "/proc/$gpid/status")
rss_peak=$rss_before
taskset -c "$client_cpus" wrk -t2 -c32 -d10s "$gbase/BIG.jpg" > "$work/big.txt" &
wrk_pid=$!
while kill -0 "$wrk_pid" 2>/dev/null; do
  rss=$(awk '/VmRSS/{print $2}' "/proc/$gpid/status" 2>/dev/null || echo 0)
  [ "${rss:-0}" -gt "$rss_peak" ] && rss_peak=$rss
  sleep 0.1
done
wait "$wrk_pid" || true
big_rate=$(awk '/Requests\/sec/{print $2}' "$work/big.txt")
growth_mb=$(( (rss_peak - rss_before) / 1024 ))
echo "   $big_rate downloads/s; memory growth ${growth_mb} MB"
summary+=("$(printf '%-34s %s/s, memory growth %s MB' "BIG.jpg downloads" "$big_rate" "$growth_mb")")
fi

echo
echo "summary (load average at the end $(cut -d' ' -f1-3 /proc/loadavg)):"
printf '  %s\n' "${summary[@]}"
