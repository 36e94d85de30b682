#!/usr/bin/env bash
# Upload streaming: one multipart upload by curl on loopback to httprtsp_serve, and the same
# upload to nginx spooling the request body to a file (client_body_in_file_only on).
# Prints MB/s of both, the ratio, and httprtsp_serve's peak RSS.
#
#   bench/upload/run.sh <bench build dir>      (BENCH_UPLOAD_MIB sets the size, default 1024)
set -euo pipefail
build=${1:?usage: run.sh <bench build dir>}
serve="$build/tools/httprtsp_serve/httprtsp_serve"
mib=${BENCH_UPLOAD_MIB:-1024}
[ -x "$serve" ] || { echo "missing $serve"; exit 1; }
command -v curl >/dev/null || { echo "curl not installed"; exit 1; }
nginx_bin=$(command -v nginx || echo /usr/sbin/nginx)
[ -x "$nginx_bin" ] || { echo "nginx not installed (Debian package nginx-light)"; exit 1; }

work=$(mktemp -d /tmp/bench_upload.XXXXXX)
serve_pid=""; nginx_pid=""
cleanup() {
  [ -n "$serve_pid" ] && kill "$serve_pid" 2>/dev/null && wait "$serve_pid" 2>/dev/null || true
  [ -n "$nginx_pid" ] && kill "$nginx_pid" 2>/dev/null && wait "$nginx_pid" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'; }

echo "== preparing ${mib} MiB of random bytes"
head -c $((mib * 1024 * 1024)) /dev/urandom > "$work/input.bin"
bytes=$(stat -c %s "$work/input.bin")
sync  # the input's own writeback must not land on the first upload

# curl's answer time for one upload: seconds as a decimal number.
upload_seconds() { # url
  curl -s -S -o "$work/answer" -w '%{time_total}' -H 'Expect:' -F "file=@$work/input.bin" "$1"
}

# --- httprtsp_serve
# The answer carries the size only: hashing the stored file would be timed as well.
"$serve" --no-digest --upload-file "$work/stored.bin" > "$work/serve.out" &
serve_pid=$!
for _ in $(seq 100); do [ -s "$work/serve.out" ] && break; sleep 0.05; done
port=$(head -1 "$work/serve.out")

# --- nginx, reading the body into a file before handing the request on
nport=$(free_port); bport=$(free_port)
mkdir -p "$work/nginx/body" "$work/nginx/logs"
cat > "$work/nginx/nginx.conf" <<CONF
daemon off;
master_process off;
worker_processes 1;
pid $work/nginx/nginx.pid;
error_log $work/nginx/logs/error.log warn;
events { worker_connections 64; }
http {
  access_log off;
  client_body_temp_path $work/nginx/body;
  proxy_temp_path $work/nginx/proxy;
  fastcgi_temp_path $work/nginx/fcgi;
  uwsgi_temp_path $work/nginx/uwsgi;
  scgi_temp_path $work/nginx/scgi;
  client_max_body_size 0;
  server {
    listen 127.0.0.1:$nport;
    location /upload {
      client_body_in_file_only on;
      proxy_pass_request_body off;
      proxy_set_header Content-Length "";
      proxy_pass http://127.0.0.1:$bport/done;
    }
  }
  server {
    listen 127.0.0.1:$bport;
    location /done { return 200 "stored\n"; }
  }
}
CONF
"$nginx_bin" -p "$work/nginx" -c "$work/nginx/nginx.conf" &
nginx_pid=$!
for _ in $(seq 100); do curl -s -o /dev/null "http://127.0.0.1:$bport/done" && break; sleep 0.05; done

# Alternate the two, each upload starting from a synced disk with the last stored body gone,
# and keep each one's best time: on a shared machine the slow runs measure the neighbours.
rounds=${BENCH_UPLOAD_ROUNDS:-3}
ours_s=""; nginx_s=""
best() { awk -v a="$1" -v b="$2" 'BEGIN { print (a == "" || b < a) ? b : a }'; }
for _ in $(seq "$rounds"); do
  rm -f "$work/stored.bin"; sync
  t=$(upload_seconds "http://127.0.0.1:$port/upload")
  if [ "$(cat "$work/answer")" != "$bytes" ] || ! cmp -s "$work/input.bin" "$work/stored.bin"; then
    echo "httprtsp_serve stored something else: $(cat "$work/answer")"; exit 1
  fi
  ours_s=$(best "$ours_s" "$t")
  rm -f "$work/stored.bin" "$work"/nginx/body/*; sync
  t=$(upload_seconds "http://127.0.0.1:$nport/upload")
  [ "$(cat "$work/answer")" = "stored" ] || { echo "nginx answered: $(cat "$work/answer")"; exit 1; }
  nginx_s=$(best "$nginx_s" "$t")
done
peak_kib=$(awk '/VmHWM/ {print $2}' "/proc/$serve_pid/status")

model=$(awk -F': ' '/^model name/ {print $2; exit}' /proc/cpuinfo)
echo "machine: ${model:-unknown CPU}, $(nproc) cores"
awk -v r="$rounds" -v b="$bytes" -v o="$ours_s" -v n="$nginx_s" -v k="$peak_kib" 'BEGIN {
  ours = b / o / 1e6; theirs = b / n / 1e6;
  printf "upload of %.0f MiB, multipart by curl on loopback, best of %d rounds each\n", b / 1048576, r;
  printf "  httprtsp_serve : %8.1f MB/s  (%.2f s)\n", ours, o;
  printf "  nginx          : %8.1f MB/s  (%.2f s, body spooled to a file)\n", theirs, n;
  printf "  ratio ours/nginx: %.2f  (goal >= 1.00) %s\n", ours / theirs, (ours >= theirs) ? "met" : "MISSED";
  printf "  httprtsp_serve peak RSS: %.1f MiB  (goal <= 32 MiB) %s\n", k / 1024, (k <= 32768) ? "met" : "MISSED";
}'
