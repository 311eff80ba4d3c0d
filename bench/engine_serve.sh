# Sourced by the engine benchmarks: serves a generated package (engine_download serve) in a new folder
# under BENCH_DIR (default build/; /dev/shm puts the package, the destination and the engine's data folder
# on tmpfs) until the script exits, and sets: bin (the engine_download program), work (the folder),
# MANIFEST_HOST and NODE_LOGS (the three nodes' access logs) from its env file, TMPDIR (the engine's data
# folder) and out (the destination). Expects files, kib and chunk to be set.
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
echo "package: $files x $kib KiB in $chunk KiB chunks under $work ($(df --output=fstype "$work" | tail -1))"

# Range requests that reached the nodes since their logs were last emptied.
node_requests() {
  if [ -z "$NODE_LOGS" ]; then echo "(not logged)"; return; fi
  cat $NODE_LOGS | grep -c ' /packages/' || true
}
empty_node_logs() {
  for log in $NODE_LOGS; do : > "$log"; done
}
