#!/bin/sh
# How closely the engine keeps its download-rate limit (`limit=KIB`, EngineSettings::maxDownloadRate): for
# each limit, a package sized for about 10 s at that rate (4 files, 1 MiB chunks) is served by the delivery
# service (three nodes) and downloaded by the engine with LIMIT_KIB set; prints the limit, the bytes, the
# wall time of the whole run and the rate achieved, and its deviation from the limit.
#   bench/rate_limit.sh [MiB/s ...]        (default 1 10 50)
set -eu
limits=${*:-1 10 50}
for mib in $limits; do
  (
    files=4; kib=$((mib * 1024 * 10 / 4)); chunk=1024
    export BENCH_NODES=delivery
    . "$(dirname "$0")/engine_serve.sh"
    rm -rf "$out"; mkdir -p "$out"
    start=$(date +%s.%N)
    LIMIT_KIB=$((mib * 1024)) "$bin" run "$MANIFEST_HOST" "$out" U 2>"$work/run.txt" || { cat "$work/run.txt"; exit 1; }
    end=$(date +%s.%N)
    for f in "$work"/content/*; do cmp "$f" "$out/$(basename "$f")"; done
    python3 -c 'import sys
mib, files, kib, start, end = int(sys.argv[1]), int(sys.argv[2]), int(sys.argv[3]), float(sys.argv[4]), float(sys.argv[5])
size = files * kib * 1024; wall = end - start; rate = size / wall / 1048576
print("limit %3d MiB/s: %5.0f MiB in %6.2f s = %6.2f MiB/s (%+.1f%% of the limit)" %
      (mib, size / 1048576, wall, rate, (rate / mib - 1) * 100))' "$mib" "$files" "$kib" "$start" "$end"
  )
done
