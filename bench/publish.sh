#!/usr/bin/env bash
# Publishing a folder (COUNT files of MIB MiB, random bytes) with halcyne-publish, without and with the files'
# SHA-256, against `cp -r` of the same folder, in one hyperfine run; each run starts from an empty target
# after a sync.
#   bench/publish.sh [COUNT] [MIB] [RUNS]      default 8 x 128 MiB, 5 runs
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
count=${1:-8}
mib=${2:-128}
runs=${3:-5}
"$root/scripts/build" halcyne-publish >/dev/null
publish="$root/build/release/tools/halcyne-publish"
folder="$root/build/bench-publish"
rm -rf "$folder"
mkdir -p "$folder/source"
trap 'rm -rf "$folder"' EXIT
for i in $(seq "$count"); do
  head -c "$((mib * 1024 * 1024))" /dev/urandom >"$folder/source/file$i.bin"
done
sync
hyperfine --runs "$runs" --warmup 1 \
  --prepare "rm -rf '$folder/site' '$folder/copy'; sync" \
  --command-name "halcyne-publish --no-hash" \
  "'$publish' --site '$folder/site' --from '$folder/source' --partner P --package K --version 1 --name Bench --no-hash" \
  --command-name "halcyne-publish" \
  "'$publish' --site '$folder/site' --from '$folder/source' --partner P --package K --version 1 --name Bench" \
  --command-name "cp -r" "cp -r '$folder/source' '$folder/copy'"
