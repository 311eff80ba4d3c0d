#!/bin/sh
# Times a whole download through DownloadEngine from warm Varnish caches against the same download from
# nginx content nodes direct, in one hyperfine run. The caches stand as the deployment guide has them
# (docs/serving-at-scale.md, with its nginx configurations and VCL): two caches in front of one origin nginx,
# each a content node, the first also the manifest service. Every file fetched through every cache and one
# engine run warm them first; the origin must then see no package request. Output removed and synced before each run, bytes
# compared after.
#   bench/cached_download.sh [files file-KiB chunk-KiB runs]
# Default: 8 x 128 MiB in 1 MiB chunks, 5 runs. BENCH_DIR as for engine_download.sh.
set -eu
files=${1:-8}; kib=${2:-131072}; chunk=${3:-1024}; runs=${4:-5}; caches=2
. "$(dirname "$0")/engine_serve.sh"
echo "load before: $(cat /proc/loadavg)"
# Every file through every cache (a cache keeps a file once any range of it was asked for), then one run.
for host in $CACHE_HOSTS; do
  for f in "$work"/content/*; do
    curl -sf -o /dev/null "http://$host/packages/P/K/V/$(basename "$f")"
  done
done
rm -rf "$out"; mkdir -p "$out"
"$bin" run "$CACHED_MANIFEST_HOST" "$out" 2>>"$work/rss.txt"
echo "caches warmed: $(grep -c ' /packages/' "$ORIGIN_LOG" || true) package requests reached the origin"
: > "$ORIGIN_LOG"
hyperfine --runs "$runs" --export-json "$work/hyperfine.json" \
  --prepare "rm -rf '$out'; mkdir -p '$out'; sync" \
  -n nginx-nodes "$bin run $MANIFEST_HOST '$out' 2>>'$work/rss.txt'" \
  -n varnish-caches "$bin run $CACHED_MANIFEST_HOST '$out' 2>>'$work/rss.txt'"
echo "load after: $(cat /proc/loadavg)"
origin=$(grep -c ' /packages/' "$ORIGIN_LOG" || true)
echo "package requests to the origin during the timed runs: $origin"
python3 -c 'import json,sys
gib = int(sys.argv[2]) * int(sys.argv[3]) / 1048576.0
for r in json.load(open(sys.argv[1]))["results"]:
    print("%-15s median %.3f s  user %.3f s  system %.3f s  %.0f MiB/s" %
          (r["command"], r["median"], r["user"], r["system"], gib * 1024 / r["median"]))' \
  "$work/hyperfine.json" "$files" "$kib"
for f in "$work"/content/*; do cmp "$f" "$out/$(basename "$f")"; done
echo "bytes identical (the last run, through the caches)"
if [ "$origin" != 0 ]; then
  echo "the warm caches sent package requests to the origin" >&2; exit 1
fi
