#!/usr/bin/env bash
# A whole run without the real portal: starts the portal and Telegram imitations on loopback
# with a seeded data set, and the program pointed at them. Press Start in the window; refusals
# appear in the results, a CSV file is written into build/demo, and the imitation receives the
# notices. Closing the window ends the demo.
#
#   scripts/demo.sh              the window
#   scripts/demo.sh --headless   a watch without a window in this terminal; Ctrl+C ends it
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
mode=()
case "${1:-}" in
    "") ;;
    --headless) mode=(--headless) ;;
    *) echo "usage: scripts/demo.sh [--headless]" >&2; exit 2 ;;
esac
"$root/scripts/install-deps.sh"
"$root/scripts/build.sh" "$root/build" -DQUORVANE_TESTS=ON

demo="$root/build/demo"
mkdir -p "$demo"
# All the demo's files (settings.ini, StartURL.txt, have.txt, logs, CSV) go into the demo folder.
"$root/build/tests/replica/portal-replica" --demo "$demo" > "$demo/replica.url" &
replica=$!
trap 'kill $replica 2>/dev/null || true' EXIT
for _ in $(seq 100); do
    [ -s "$demo/replica.url" ] && break
    sleep 0.1
done
echo "Portal imitation at $(cat "$demo/replica.url"); files in $demo"
cd "$demo"
"$root/build/src/app/quorvane" "${mode[@]}" --dir "$demo"
