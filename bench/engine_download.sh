#!/bin/sh
# Times a whole download through DownloadEngine against aria2c (metalink, SHA-1 pieces, 3 nodes) and curl
# (every file from one node) with hyperfine; output removed and synced before each run, bytes compared after.
#   bench/engine_download.sh [files file-KiB chunk-KiB runs [version]]
# Default: 8 x 128 MiB in 1 MiB chunks, 5 runs, the current version V (every file with its SHA-256); version U
# is the same files without SHA-256.
set -eu
files=${1:-8}; kib=${2:-131072}; chunk=${3:-1024}; runs=${4:-5}; version=${5:-}
bin=${BUILD:-build/release}/bench/engine_download
work=$(mktemp -d "${BENCH_DIR:-$PWD/build}/engine_download.XXXXXX")
trap 'exec 3>&-; wait; rm -rf "$work"' EXIT
mkfifo "$work/hold"
"$bin" serve "$work" "$files" "$kib" "$chunk" < "$work/hold" &
exec 3>"$work/hold"
while [ ! -f "$work/env" ]; do sleep 0.2; done
. "$work/env"
export TMPDIR="$work/tmp"; mkdir -p "$TMPDIR"
out="$work/out"
echo "load before: $(cat /proc/loadavg)"
hyperfine --runs "$runs" --export-json "$work/hyperfine.json" \
  --prepare "rm -rf '$out'; mkdir -p '$out'; sync" \
  -n engine "$bin run $MANIFEST_HOST '$out' $version 2>>'$work/rss.txt'" \
  -n aria2c "aria2c -q -d '$out' -V -j8 -s3 -x1 --allow-overwrite=true '$work/package.metalink'" \
  -n curl "cd '$out' && curl -s -Z --parallel-max 8 -K '$work/urls'"
echo "load after: $(cat /proc/loadavg)"
python3 -c 'import json,sys
gib = int(sys.argv[2]) * int(sys.argv[3]) / 1048576.0
for r in json.load(open(sys.argv[1]))["results"]:
    print("%-7s median %.3f s  user %.3f s  system %.3f s  CPU %.2f s/GiB" %
          (r["command"], r["median"], r["user"], r["system"], (r["user"] + r["system"]) / gib))' \
  "$work/hyperfine.json" "$files" "$kib"
rm -rf "$out"; mkdir -p "$out"
"$bin" run "$MANIFEST_HOST" "$out" $version 2>>"$work/rss.txt"
for f in "$work"/content/*; do cmp "$f" "$out/$(basename "$f")"; done
echo "bytes identical; peak RssAnon of the engine runs (KiB):"; grep -o '[0-9]*$' "$work/rss.txt" | sort -n | tail -1
