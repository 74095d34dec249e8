#!/usr/bin/env bash
# Times the download engine against curl, wget and aria2c on one file served by nginx on loopback
# into a tmpfs folder, alternating the tools run by run. See bench/README.md.
#
# usage: bench/engine_vs_peers.sh [--runs N] [--size-mb M] [--rate-mb R] [--no-build] [--no-limited]
set -uo pipefail

runs=5
size_mb=1024
rate_mb=20
build=1
limited=1
while [ $# -gt 0 ]; do
  case "$1" in
    --runs) runs=${2:?}; shift 2 ;;
    --size-mb) size_mb=${2:?}; shift 2 ;;
    --rate-mb) rate_mb=${2:?}; shift 2 ;;
    --no-build) build=0; shift ;;
    --no-limited) limited=0; shift ;;
    -h|--help) sed -n '2,6p' "$0"; exit 0 ;;
    *) echo "engine_vs_peers.sh: unknown argument '$1'" >&2; exit 2 ;;
  esac
done
case "$runs$size_mb$rate_mb" in *[!0-9]*) echo "engine_vs_peers.sh: numbers expected" >&2; exit 2 ;; esac
[ "$runs" -ge 1 ] && [ "$size_mb" -ge 1 ] && [ "$rate_mb" -ge 1 ] || { echo "engine_vs_peers.sh: values must be at least 1" >&2; exit 2; }

top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
"$top/scripts/deps.sh" build bench || { echo "engine_vs_peers.sh: cannot install the tools it needs" >&2; exit 1; }

build_dir="$top/build/bench-release"
engine="$build_dir/bench/bench_engine_fetch"
if [ "$build" = 1 ]; then
  echo "== building bench_engine_fetch (release)"
  if ! { cmake --preset release -B "$build_dir" -DTOLVANE_WITH_UI=OFF >/dev/null &&
         cmake --build "$build_dir" -j2 --target bench_engine_fetch >"$top/build/bench-release.log" 2>&1; }; then
    echo "   build failed (see build/bench-release.log): the engine runs count as failed"
    rm -f "$engine"
  fi
fi
[ -x "$engine" ] || echo "   no engine program at $engine: the engine runs count as failed"

shm=/dev/shm
[ -d "$shm" ] && [ -w "$shm" ] || shm=${TMPDIR:-/tmp}
work=$(mktemp -d "$shm/tolvane-bench.XXXXXX") || exit 1
nginx_pid=""
cleanup() {
  if [ -n "$nginx_pid" ]; then
    kill "$nginx_pid" 2>/dev/null
    wait "$nginx_pid" 2>/dev/null
  fi
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

mkdir -p "$work/www" "$work/out" "$work/nginx/logs" "$work/nginx/tmp" "$work/results"
src="$work/www/big.bin"
echo "== making a ${size_mb} MiB file in $shm"
head -c "$((size_mb * 1024 * 1024))" /dev/urandom >"$src" || exit 1
size=$(stat -c %s "$src")

# nginx in one process of its own, like the test fixture; a random port, retried on a clash.
start_nginx() {
  local attempt port conf="$work/nginx/nginx.conf"
  for attempt in 1 2 3 4 5 6 7 8; do
    port=$((20000 + RANDOM % 40000))
    cat >"$conf" <<EOF
daemon off;
master_process off;
pid $work/nginx/nginx.pid;
error_log $work/nginx/logs/error.log warn;
events { worker_connections 256; }
http {
  default_type application/octet-stream;
  access_log off;
  client_body_temp_path $work/nginx/tmp/body;
  proxy_temp_path $work/nginx/tmp/proxy;
  fastcgi_temp_path $work/nginx/tmp/fastcgi;
  uwsgi_temp_path $work/nginx/tmp/uwsgi;
  scgi_temp_path $work/nginx/tmp/scgi;
  sendfile on;
  tcp_nopush on;
  sendfile_max_chunk 2m;
  output_buffers 4 512k;
  server {
    listen 127.0.0.1:$port;
    root $work/www;
    location / { }
    location /limited/ { alias $work/www/; limit_rate ${rate_mb}m; }
  }
}
EOF
    rm -f "$work/nginx/nginx.pid"
    /usr/sbin/nginx -p "$work/nginx/" -e "$work/nginx/logs/error.log" -c "$conf" >>"$work/nginx/logs/output.log" 2>&1 &
    nginx_pid=$!
    local i
    for i in $(seq 200); do
      kill -0 "$nginx_pid" 2>/dev/null || break
      if [ -s "$work/nginx/nginx.pid" ] && curl -s -o /dev/null "http://127.0.0.1:$port/"; then
        http_port=$port
        return 0
      fi
      sleep 0.05
    done
    kill "$nginx_pid" 2>/dev/null
    wait "$nginx_pid" 2>/dev/null
    nginx_pid=""
  done
  echo "nginx did not start:" >&2
  cat "$work/nginx/logs/error.log" "$work/nginx/logs/output.log" >&2 2>/dev/null
  return 1
}
start_nginx || exit 1
url="http://127.0.0.1:$http_port/big.bin"
limited_url="http://127.0.0.1:$http_port/limited/big.bin"
echo "== nginx on 127.0.0.1:$http_port, limited location at ${rate_mb} MiB/s per connection"

# The command of one tool; the downloaded file goes into $work/out.
tool_command() {
  local out="$work/out"
  case "$1" in
    engine_program)  echo "$engine --program-options $url $out" ;;
    engine_defaults) echo "$engine --engine-defaults $url $out" ;;
    curl)            echo "curl -sS --fail -o $out/big.bin $url" ;;
    wget)            echo "wget -q -O $out/big.bin $url" ;;
    aria2c_x1)       echo "aria2c -q -x1 -s1 --allow-overwrite=true --auto-file-renaming=false -d $out -o big.bin $url" ;;
    limited_engine_1) echo "$engine --engine-defaults --connections 1 $limited_url $out" ;;
    limited_engine_4) echo "$engine --engine-defaults --connections 4 $limited_url $out" ;;
    limited_aria2c_x4) echo "aria2c -q -x4 -s4 --min-split-size=1M --allow-overwrite=true --auto-file-renaming=false -d $out -o big.bin $limited_url" ;;
  esac
}

# One run: wall time and peak memory go to results/<tool>.time and .rss when the file is whole.
run_one() {
  local tool=$1 limit=$2 out="$work/out" t0 t1 rc got file secs rss
  rm -rf "$out"
  mkdir -p "$out"
  t0=$(date +%s%N)
  # shellcheck disable=SC2046  # the command is split into words on purpose
  /usr/bin/time -v -o "$work/time.txt" timeout --kill-after=5 "$limit" $(tool_command "$tool") >"$work/run.log" 2>&1
  rc=$?
  t1=$(date +%s%N)
  file=$(find "$out" -maxdepth 1 -type f ! -name '*.aria2' | head -n 1)
  got=-1
  [ -n "$file" ] && got=$(stat -c %s "$file")
  secs=$(awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.3f", (b - a) / 1e9 }')
  rss=$(awk -F': ' '/Maximum resident set size/ { print $2 }' "$work/time.txt")
  if [ "$rc" -ne 0 ] || [ "$got" != "$size" ]; then
    printf '   %-18s %8ss  FAILED (exit %s, %s of %s bytes) %s\n' "$tool" "$secs" "$rc" "$got" "$size" \
      "$(tail -c 200 "$work/run.log" | tr '\n' ' ')"
    echo x >>"$work/results/$tool.failed"
    return
  fi
  if [ ! -e "$work/results/$tool.checked" ]; then
    if ! cmp -s "$src" "$file"; then
      printf '   %-18s %8ss  FAILED (content differs from the source)\n' "$tool" "$secs"
      echo x >>"$work/results/$tool.failed"
      return
    fi
    touch "$work/results/$tool.checked"
  fi
  echo "$secs" >>"$work/results/$tool.time"
  echo "${rss:-0}" >>"$work/results/$tool.rss"
  printf '   %-18s %8ss  %7.1f MiB/s  max RSS %s KiB\n' "$tool" "$secs" \
    "$(awk -v s="$secs" -v n="$size" 'BEGIN { print (s > 0 ? n / 1048576 / s : 0) }')" "${rss:-?}"
}

median_of() {
  [ -s "$work/results/$1.time" ] || { echo ""; return; }
  sort -n "$work/results/$1.time" | awk '{ v[NR] = $1 } END { if (NR % 2) print v[(NR + 1) / 2]; else printf "%.3f\n", (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}

plain_tools=(engine_program engine_defaults curl wget aria2c_x1)
limited_tools=(limited_engine_1 limited_engine_4 limited_aria2c_x4)
plain_limit=$((size_mb / 10 + 120))
limited_limit=$((size_mb * 3 / rate_mb + 120))

for r in $(seq "$runs"); do
  echo "== run $r of $runs: full speed"
  for t in "${plain_tools[@]}"; do run_one "$t" "$plain_limit"; done
done
if [ "$limited" = 1 ]; then
  for r in $(seq "$runs"); do
    echo "== run $r of $runs: limited location"
    for t in "${limited_tools[@]}"; do run_one "$t" "$limited_limit"; done
  done
fi

echo
echo "== medians over $runs runs of a ${size_mb} MiB file (wall seconds; peak memory is the largest max RSS)"
all_tools=("${plain_tools[@]}")
[ "$limited" = 1 ] && all_tools+=("${limited_tools[@]}")
for t in "${all_tools[@]}"; do
  m=$(median_of "$t")
  failed=$(cat "$work/results/$t.failed" 2>/dev/null | wc -l)
  rss=$(sort -n "$work/results/$t.rss" 2>/dev/null | tail -n 1)
  if [ -n "$m" ]; then
    printf '   %-18s %8s s  %7.1f MiB/s  peak %6.1f MiB  failed runs: %s\n' "$t" "$m" \
      "$(awk -v s="$m" -v n="$size" 'BEGIN { print (s > 0 ? n / 1048576 / s : 0) }')" \
      "$(awk -v k="${rss:-0}" 'BEGIN { print k / 1024 }')" "$failed"
  else
    printf '   %-18s   failed in every run (%s)\n' "$t" "$failed"
  fi
done

# ratio NAME A B OP TARGET: prints A/B against the target (OP is <= or >=).
ratio() {
  local name=$1 a b
  a=$(median_of "$2")
  b=$(median_of "$3")
  if [ -z "$a" ] || [ -z "$b" ]; then
    printf '   %-52s      n/a  (target %s %s; a tool failed)\n' "$name" "$4" "$5"
    return
  fi
  awk -v n="$name" -v a="$a" -v b="$b" -v op="$4" -v t="$5" 'BEGIN {
    r = a / b
    ok = (op == "<=") ? (r <= t) : (r >= t)
    printf "   %-52s %8.3f  (target %s %s: %s)\n", n, r, op, t, ok ? "met" : "MISSED"
  }'
}
echo
echo "== ratios of wall times"
ratio "engine, program options / aria2c -x1" engine_program aria2c_x1 "<=" 1.0
ratio "engine, program options / curl" engine_program curl "<=" 1.4
ratio "engine, own defaults / curl" engine_defaults curl "<=" 1.0
if [ "$limited" = 1 ]; then
  ratio "limited: engine 1 connection / engine 4 connections" limited_engine_1 limited_engine_4 ">=" 3.5
  ratio "limited: engine 4 connections / aria2c -x4" limited_engine_4 limited_aria2c_x4 "<=" 1.1
fi
