#!/bin/sh
# The cost of the files' SHA-256, in two hyperfine runs over one generated package (engine_download serve):
#  1. hashing the package's files as the pipeline does (file_hash: mapped views, libcrypto) against sha256sum
#     and openssl dgst -sha256 of the same files, warm in the page cache;
#  2. the whole download through DownloadEngine of the package with every file hashed (version V) against
#     the same files without hashes (version U).
# Prints CPU-seconds (user + system) per GiB for each, and the load of the machine before and after.
#   bench/file_hash.sh [files file-KiB chunk-KiB runs]     (default: 8 x 128 MiB in 1 MiB chunks, 5 runs)
set -eu
files=${1:-8}; kib=${2:-131072}; chunk=${3:-1024}; runs=${4:-5}
build=${BUILD:-build/release}
work=$(mktemp -d "${BENCH_DIR:-$PWD/build}/file_hash.XXXXXX")
trap 'exec 3>&-; wait; rm -rf "$work"' EXIT
mkfifo "$work/hold"
"$build/bench/engine_download" serve "$work" "$files" "$kib" "$chunk" < "$work/hold" &
exec 3>"$work/hold"
while [ ! -f "$work/env" ]; do sleep 0.2; done
. "$work/env"
export TMPDIR="$work/tmp"; mkdir -p "$TMPDIR"
out="$work/out"
report() {
  python3 -c 'import json,sys
gib = int(sys.argv[2]) * int(sys.argv[3]) / 1048576.0
for r in json.load(open(sys.argv[1]))["results"]:
    cpu = r["user"] + r["system"]
    print("%-14s median %.3f s  user %.3f s  system %.3f s  CPU %.3f s/GiB" %
          (r["command"], r["median"], r["user"], r["system"], cpu / gib))' "$1" "$files" "$kib"
}
echo "load before: $(cat /proc/loadavg)"
hyperfine --warmup 1 --runs "$runs" --export-json "$work/hash.json" \
  -n file_hash "$build/bench/file_hash $work/content/*" \
  -n sha256sum "sha256sum $work/content/*" \
  -n openssl "openssl dgst -sha256 $work/content/*"
report "$work/hash.json"
# The three agree on every digest.
"$build/bench/file_hash" "$work"/content/* | sed "s|  .*/|  |" > "$work/a"
sha256sum "$work"/content/* | sed "s|  .*/|  |" > "$work/b"
cmp "$work/a" "$work/b"
hyperfine --runs "$runs" --export-json "$work/download.json" \
  --prepare "rm -rf '$out'; mkdir -p '$out'; sync" \
  -n hashed "$build/bench/engine_download run $MANIFEST_HOST '$out' V 2>/dev/null" \
  -n unhashed "$build/bench/engine_download run $MANIFEST_HOST '$out' U 2>/dev/null"
report "$work/download.json"
echo "load after: $(cat /proc/loadavg)"
for f in "$work"/content/*; do cmp "$f" "$out/$(basename "$f")"; done
echo "bytes identical"
