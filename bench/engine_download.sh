#!/bin/sh
# Times a whole download through DownloadEngine against aria2c (metalink, SHA-1 pieces, 3 nodes) and curl
# (every file from one node) with hyperfine; output removed and synced before each run, bytes compared after.
# The engine writes each file to the disk (fsync) before it takes its name; curl and aria2c leave that to the
# kernel, after they exit: curl+sync is curl followed by an fsync of every file it wrote, the same work.
#   bench/engine_download.sh [files file-KiB chunk-KiB runs [version [mode]]]
# Default: 8 x 128 MiB in 1 MiB chunks, 5 runs, the current version V (every file and chunk with its
# SHA-256); version U is the same files without SHA-256.
# Mode download (the default) as above. Mode verify: the destination holds every file complete (copied once,
# warm in the page cache), and the engine (which must send no request to a node) runs against
# `aria2c -V` (check-integrity of the same files with the metalink's SHA-1 pieces).
# BENCH_DIR=/dev/shm runs it all on tmpfs. ENGINE_ALT=<another engine_download> adds its engine as a fourth
# command ("engine-alt") to the same hyperfine run, for a before/after comparison.
set -eu
files=${1:-8}; kib=${2:-131072}; chunk=${3:-1024}; runs=${4:-5}; version=${5:-}; mode=${6:-download}
. "$(dirname "$0")/engine_serve.sh"
alt=${ENGINE_ALT:-}
echo "load before: $(cat /proc/loadavg)"
case "$mode" in
  download)
    set -- --prepare "rm -rf '$out'; mkdir -p '$out'; sync" \
      -n engine "$bin run $MANIFEST_HOST '$out' $version 2>>'$work/rss.txt'" \
      ${alt:+-n engine-alt "$alt run $MANIFEST_HOST '$out' $version 2>>'$work/rss-alt.txt'"} \
      -n aria2c "aria2c -q -d '$out' -V -j8 -s3 -x1 --allow-overwrite=true '$work/package.metalink'" \
      -n curl "cd '$out' && curl -s -Z --parallel-max 8 -K '$work/urls'" \
      -n curl+sync "cd '$out' && curl -s -Z --parallel-max 8 -K '$work/urls' && sync -- *" ;;
  verify)
    rm -rf "$out"; cp -r "$work/content" "$out"; sync
    set -- --prepare "sync" \
      -n engine "$bin run $MANIFEST_HOST '$out' $version 2>>'$work/rss.txt'" \
      ${alt:+-n engine-alt "$alt run $MANIFEST_HOST '$out' $version 2>>'$work/rss-alt.txt'"} \
      -n aria2c "aria2c -q -d '$out' -V -j8 -s3 -x1 '$work/package.metalink'" ;;
  *) echo "unknown mode $mode (download or verify)" >&2; exit 2 ;;
esac
empty_node_logs
hyperfine --runs "$runs" --export-json "$work/hyperfine.json" "$@"
echo "load after: $(cat /proc/loadavg)"
echo "requests to the nodes during the timed runs: $(node_requests)"
python3 -c 'import json,sys
gib = int(sys.argv[2]) * int(sys.argv[3]) / 1048576.0
for r in json.load(open(sys.argv[1]))["results"]:
    print("%-10s median %.3f s  user %.3f s  system %.3f s  CPU %.2f s/GiB" %
          (r["command"], r["median"], r["user"], r["system"], (r["user"] + r["system"]) / gib))' \
  "$work/hyperfine.json" "$files" "$kib"
if [ "$mode" = download ]; then
  rm -rf "$out"; mkdir -p "$out"
fi
empty_node_logs
"$bin" run "$MANIFEST_HOST" "$out" $version 2>>"$work/rss.txt"
for f in "$work"/content/*; do cmp "$f" "$out/$(basename "$f")"; done
echo "bytes identical; requests to the nodes in the last engine run: $(node_requests)"
if [ "$mode" = verify ] && [ "$(node_requests)" != 0 ]; then
  echo "a verify-only run sent requests" >&2; exit 1
fi
echo "peak RssAnon of the engine runs (KiB):"; grep -o '[0-9]*$' "$work/rss.txt" | sort -n | tail -1
if [ -n "$alt" ]; then
  echo "peak RssAnon of the engine-alt runs (KiB):"; grep -o '[0-9]*$' "$work/rss-alt.txt" | sort -n | tail -1
fi
