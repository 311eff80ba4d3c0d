# The demo's deployment, shared by scripts/demo and the player archive's checks (scripts/package): a demo
# downloader (it prints the arguments and the working folder it got) and a skin per language, published as a
# site, served by the local delivery service with three content nodes, and an updater stamped with its
# ports and ids. Sourced, not run. Every function takes the build's bin folder as `$bin`, the site as
# `$site`, and the signing arguments as the arrays `key_arguments` (publishing) and `stamp_key_arguments`
# (stamping), empty for an unsigned site.

demo_publish() { "$bin/tools/halcyne-publish" --site "$site" ${key_arguments[@]+"${key_arguments[@]}"} "$@"; }

# Writes the three packages' folders under $1 and publishes them.
demo_publish_packages() {
  local work=$1
  rm -rf "$work"
  mkdir -p "$work/downloader" "$work/skin-en" "$work/skin-de"
  cat >"$work/downloader/demo-downloader.sh" <<'SCRIPT'
#!/bin/sh
# The demo downloader: shows what the updater handed over.
echo "Demo downloader started in $(pwd)"
echo "Arguments:"
for argument in "$@"; do
  printf '  %s\n' "$argument"
done
SCRIPT
  printf 'This file stands for the downloader'"'"'s data.\n' >"$work/downloader/readme.txt"
  printf 'skin=en\ntitle=Emberline\n' >"$work/skin-en/skin.ini"
  printf 'skin=de\ntitle=Glutlinie\n' >"$work/skin-de/skin.ini"
  # The partners are new to a fresh site; their node lists come once the service's ports are known.
  demo_publish --from "$work/downloader" --partner 5f1e2d3c4b5a69788796a5b4 --new-partner \
    --package 0a1b2c3d4e5f60718293a4b5 --version 1 --name "Demo downloader" --run demo-downloader.sh
  demo_publish --from "$work/skin-en" --partner 6e5d4c3b2a1908f7e6d5c4b3 --new-partner \
    --package 1b2c3d4e5f60718293a4b5c6 --version 1 --name "Demo skin (English)" --run skin.ini
  demo_publish --from "$work/skin-de" --partner 6e5d4c3b2a1908f7e6d5c4b3 --package 2c3d4e5f60718293a4b5c6d7 \
    --version 1 --name "Demo skin (Deutsch)" --run skin.ini
}

# Starts the delivery service on free ports for the site (its log in $1/delivery.log), waits for the line
# that names them, and publishes the node lists. Sets demo_service (its process) and demo_manifest_port.
demo_start_delivery() {
  local folder=$1
  local ports="$folder/ports.json"
  rm -f "$ports"
  "$bin/tools/halcyne-delivery" --site "$site" --nodes 3 --quiet >"$ports" 2>"$folder/delivery.log" &
  demo_service=$!
  for _ in $(seq 100); do
    [[ -s "$ports" ]] && break
    sleep 0.1
  done
  demo_manifest_port=$(sed -n 's/.*"manifest":\([0-9]*\).*/\1/p' "$ports")
  local nodes
  nodes=$(sed -n 's/.*"nodes":\[\([0-9,]*\)\].*/\1/p' "$ports")
  if [[ -z "$demo_manifest_port" || -z "$nodes" ]]; then
    echo "the delivery service did not start (see $folder/delivery.log)" >&2
    return 1
  fi
  local node_arguments=() i=0 port
  for port in ${nodes//,/ }; do
    node_arguments+=(--node "node$i=127.0.0.1:$port")
    i=$((i + 1))
  done
  # The ports change from run to run: the lists of an earlier run are replaced.
  demo_publish --partner 5f1e2d3c4b5a69788796a5b4 --replace-nodes "${node_arguments[@]}" >/dev/null
  demo_publish --partner 6e5d4c3b2a1908f7e6d5c4b3 --replace-nodes "${node_arguments[@]}" >/dev/null
}

# Stamps a copy ($2) of an updater ($1) with the service's manifest port and the demo's ids.
demo_stamp() {
  "$bin/tools/halcyne-stamp" "$1" --output "$2" \
    --set "102=127.0.0.1:$demo_manifest_port" \
    --set 103=5f1e2d3c4b5a69788796a5b4 --set 104=6e5d4c3b2a1908f7e6d5c4b3 \
    --set "105=en=3d4e5f60718293a4b5c6d7e8;de=4e5f60718293a4b5c6d7e8f9" \
    --set "106=en=1b2c3d4e5f60718293a4b5c6;de=2c3d4e5f60718293a4b5c6d7" \
    --set 107=0a1b2c3d4e5f60718293a4b5 \
    --set "108=en=Emberline;de=Glutlinie" --set "109=en=Emberline;de=Glutlinie" \
    --set "129=en=English;de=Deutsch" --set 130=en ${stamp_key_arguments[@]+"${stamp_key_arguments[@]}"}
}
