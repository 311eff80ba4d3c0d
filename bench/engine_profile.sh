#!/bin/sh
# Where one engine run spends its CPU: the run (as in engine_download.sh: download into an empty, synced
# destination, or verify over complete files) under `perf record` with the cpu-clock software event (the
# machine may have no hardware counters), then the shares of the samples by DSO and by DSO and symbol.
#   bench/engine_profile.sh [files file-KiB chunk-KiB [version [mode]]]   (default 8 131072 1024 V download)
# PERF_DATA=<file> keeps the samples for `perf report -i <file>`; PERF_RECORD adds options to perf record:
# -g, or --call-graph dwarf for user space (the release build has no frame pointers), after which
# `perf report -i <file> --children --sort sym -g none` gives each function's share with what it calls.
# TOP is the number of symbols listed (default 40). BENCH_DIR=/dev/shm for tmpfs. In a virtual machine,
# kernel samples of the cpu-clock event gather where interrupts are enabled again (pvm_irq_enable and the
# like): read the kernel's share as a whole, or by system call with call graphs. Where perf cannot sample at
# all, run the engine under valgrind --tool=callgrind on a small package.
set -eu
files=${1:-8}; kib=${2:-131072}; chunk=${3:-1024}; version=${4:-}; mode=${5:-download}
. "$(dirname "$0")/engine_serve.sh"
data=${PERF_DATA:-$work/perf.data}
case "$mode" in
  download) rm -rf "$out"; mkdir -p "$out" ;;
  verify) rm -rf "$out"; cp -r "$work/content" "$out" ;;
  *) echo "unknown mode $mode (download or verify)" >&2; exit 2 ;;
esac
sync
echo "load before: $(cat /proc/loadavg)"
# shellcheck disable=SC2086
perf record -q -e cpu-clock -F 4000 ${PERF_RECORD:-} -o "$data" -- \
  "$bin" run "$MANIFEST_HOST" "$out" $version 2>>"$work/rss.txt"
echo "load after: $(cat /proc/loadavg)"
for f in "$work"/content/*; do cmp "$f" "$out/$(basename "$f")"; done
echo "bytes identical; peak RssAnon (KiB): $(grep -o '[0-9]*$' "$work/rss.txt" | sort -n | tail -1)"
perf report -i "$data" --no-children --sort dso --stdio -g none 2>/dev/null | grep -v -e '^$' -e '^# [^S]' -e '^#$'
perf report -i "$data" --no-children --sort dso,sym --stdio -g none 2>/dev/null | grep -v '^#' | grep -v '^$' |
  head -n "${TOP:-40}"
