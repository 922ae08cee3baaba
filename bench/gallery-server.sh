#!/usr/bin/env bash
# Load test of the gallery server on loopback with wrk, beside nginx serving
# the same thumbnail files. Needs: scripts/install-deps.sh --bench, and a build.
#   bench/gallery-server.sh [build-dir]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-${FLASHWREN_BUILD_DIR:-$root/build}}
host=$build/bench/bench_gallery_server_host
command -v wrk >/dev/null || { echo "wrk is missing: scripts/install-deps.sh --bench"; exit 1; }
nginx_bin=$(command -v nginx || echo /usr/sbin/nginx)
[ -x "$nginx_bin" ] || { echo "nginx is missing: scripts/install-deps.sh --bench"; exit 1; }
[ -x "$host" ] || { echo "build first: $host"; exit 1; }

work=$(mktemp -d)
server_pid=""; nginx_pid=""
cleanup() {
  [ -n "$server_pid" ] && kill "$server_pid" 2>/dev/null || true
  [ -n "$nginx_pid" ] && kill "$nginx_pid" 2>/dev/null || true
  exec 3>&- 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
export HOME=$work/home XDG_CONFIG_HOME=$work/home/.config XDG_DATA_HOME=$work/home/.local/share XDG_CACHE_HOME=$work/home/.cache
export QT_QPA_PLATFORM=offscreen
mkdir -p "$work/prints" "$HOME"

echo "making 300 prints..."
"$host" make-prints "$work/prints" 300
echo "BIG.jpg: $(stat -c %s "$work/prints/BIG.jpg") bytes"

mkfifo "$work/stdin"
"$host" serve "$work/prints" < "$work/stdin" > "$work/server.out" 2>"$work/server.log" &
server_pid=$!
exec 3>"$work/stdin"
for _ in $(seq 50); do grep -q PORT "$work/server.out" 2>/dev/null && break; sleep 0.1; done
port=$(awk '/PORT/{print $2}' "$work/server.out")
base=http://127.0.0.1:$port
echo "gallery server on $base"

# Make every thumbnail once, so the thumbnail run measures cached ones.
for i in $(seq -f %04g 1 300); do curl -s -o /dev/null "$base/thumb/IMG_$i.jpg"; done

cat > "$work/thumbs.lua" <<'LUA'
local i = 0
request = function()
  i = (i % 300) + 1
  return wrk.format("GET", string.format("/thumb/IMG_%04d.jpg", i))
end
LUA

rate() { awk '/Requests\/sec/{print $2}'; }
errors() { awk '/Non-2xx|Socket errors/{print}'; }
p99() { awk '/ 99%/{print $2}'; }

echo "== /list, 64 connections, 10 s"
wrk -t4 -c64 -d10s --latency "$base/list" > "$work/list.txt"
cat "$work/list.txt" | sed -n '/Latency Distribution/,/Requests\/sec/p'
list_rate=$(rate < "$work/list.txt"); list_p99=$(p99 < "$work/list.txt")
errors < "$work/list.txt"

echo "== cached thumbnails, 64 connections, 10 s"
wrk -t4 -c64 -d10s --latency -s "$work/thumbs.lua" "$base" > "$work/thumbs.txt"
thumb_rate=$(rate < "$work/thumbs.txt")
errors < "$work/thumbs.txt"

# nginx over the same thumbnail files, on its own free port.
chmod -R a+rX "$work"  # nginx's workers run as an unprivileged user
nginx_port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
mkdir -p "$work/nginx/logs"
cat > "$work/nginx/nginx.conf" <<CONF
worker_processes 4;
daemon off;
pid $work/nginx/nginx.pid;
error_log $work/nginx/logs/error.log;
events { worker_connections 1024; }
http {
  access_log off;
  sendfile on;
  server {
    listen 127.0.0.1:$nginx_port;
    root $work/prints;
    location /thumb/ { default_type image/jpg; }
  }
}
CONF
"$nginx_bin" -p "$work/nginx" -c "$work/nginx/nginx.conf" &
nginx_pid=$!
sleep 0.5
echo "== nginx, the same thumbnails, 64 connections, 10 s"
wrk -t4 -c64 -d10s --latency -s "$work/thumbs.lua" "http://127.0.0.1:$nginx_port" > "$work/nginx.txt"
nginx_rate=$(rate < "$work/nginx.txt")
errors < "$work/nginx.txt"
kill "$nginx_pid"; nginx_pid=""

if ! kill -0 "$server_pid" 2>/dev/null; then
  echo "the gallery server died:"; tail -20 "$work/server.log"; wait "$server_pid" || echo "exit status $?"; exit 1
fi
echo "== 32 connections downloading BIG.jpg, 10 s"
rss_before=$(awk '/VmRSS/{print $2}' /proc/$server_pid/status)
rss_peak=$rss_before
wrk -t4 -c32 -d10s "$base/BIG.jpg" > "$work/big.txt" &
wrk_pid=$!
while kill -0 "$wrk_pid" 2>/dev/null; do
  rss=$(awk '/VmRSS/{print $2}' /proc/$server_pid/status 2>/dev/null || echo 0)
  [ "${rss:-0}" -gt "$rss_peak" ] && rss_peak=$rss
  sleep 0.1
done
wait "$wrk_pid"
big_rate=$(rate < "$work/big.txt")
errors < "$work/big.txt"

growth_mb=$(( (rss_peak - rss_before) / 1024 ))
ratio=$(awk -v a="$thumb_rate" -v b="$nginx_rate" 'BEGIN{printf "%.2f", a/b}')
echo
echo "/list:              $list_rate req/s, p99 $list_p99   (target >= 1000 req/s, p99 < 100ms)"
echo "cached thumbnails:  $thumb_rate req/s                 (target >= 3000 req/s)"
echo "nginx, same files:  $nginx_rate req/s; gallery/nginx = $ratio"
echo "BIG.jpg downloads:  $big_rate req/s; memory growth ${growth_mb} MB (target < 50 MB)"
