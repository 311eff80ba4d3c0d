#!/usr/bin/env bash
# Publishing a folder (COUNT files of MIB MiB, random bytes) with halcyne-publish, without and with the
# SHA-256 digests, against what the same bytes cost without the tool: `cp -r` of the folder, and `cp -r` then
# one `openssl dgst -sha256` pass over the copied files. One hyperfine run; each run starts from an empty
# target after a sync. Prints each command's mean and the two ratios that the tool is held to:
#   halcyne-publish --no-hash / cp -r                        at most 1.3
#   halcyne-publish / (cp -r + openssl dgst -sha256)         at most 1.3
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
publish_command="'$publish' --site '$folder/site' --from '$folder/source' --partner P --new-partner --package K \
--version 1 --name Bench --quiet"
hyperfine --runs "$runs" --warmup 1 --export-json "$folder/results.json" \
  --prepare "rm -rf '$folder/site' '$folder/copy'; sync" \
  --command-name "halcyne-publish --no-hash" "$publish_command --no-hash" \
  --command-name "halcyne-publish" "$publish_command" \
  --command-name "cp -r" "cp -r '$folder/source' '$folder/copy'" \
  --command-name "cp -r + openssl dgst -sha256" \
  "cp -r '$folder/source' '$folder/copy' && openssl dgst -sha256 '$folder/copy'/* >/dev/null"
jq -r '
  (.results | map({(.command): .mean}) | add) as $mean
  | "ratio halcyne-publish --no-hash / cp -r: \($mean["halcyne-publish --no-hash"] / $mean["cp -r"]
      | . * 100 | round / 100) (target at most 1.3)",
    "ratio halcyne-publish / (cp -r + openssl dgst -sha256): \($mean["halcyne-publish"]
      / $mean["cp -r + openssl dgst -sha256"] | . * 100 | round / 100) (target at most 1.3)"
' "$folder/results.json"
