#!/usr/bin/env bash
# Packs this build for Debian and checks the package without installing it: its files and
# control fields, Debian's own checker (lintian), its desktop entry, user unit and manual page,
# and the packed program, unpacked into a temporary root: its version, and one headless run
# against the portal imitation in a temporary home.
#   package_check.sh BUILD_DIR VERSION PORTAL_REPLICA
set -euo pipefail
build=$1
version=$2
replica=$3

tmp=$(mktemp -d)
replica_pid=
cleanup() {
    if [ -n "$replica_pid" ]; then
        kill "$replica_pid" 2>/dev/null || true
        wait "$replica_pid" 2>/dev/null || true
    fi
    rm -rf "$tmp"
}
trap cleanup EXIT
fail() {
    echo "FAIL: $*" >&2
    exit 1
}

# The package goes into a folder of its own, leaving the build folder's package alone.
if ! cpack --config "$build/CPackConfig.cmake" -B "$tmp/pkg" >"$tmp/cpack.log" 2>&1; then
    cat "$tmp/cpack.log" >&2
    fail "cpack did not build the package"
fi
deb="$tmp/pkg/quorvane_${version}_amd64.deb"
[ -f "$deb" ] || fail "no $deb; cpack made: $(ls "$tmp/pkg")"

[ "$(dpkg-deb -f "$deb" Package)" = quorvane ] || fail "package name"
[ "$(dpkg-deb -f "$deb" Version)" = "$version" ] || fail "package version"
[ "$(dpkg-deb -f "$deb" Architecture)" = amd64 ] || fail "architecture"
depends=$(dpkg-deb -f "$deb" Depends)
for lib in libc6 libqt6widgets6 libcurl4; do
    grep -q "\b$lib\b" <<<"$depends" || fail "Depends lacks $lib: $depends"
done

# Exactly these files, owned by root: nothing of the tests or the build tools.
sizes=(16 22 24 32 48 64 128 256)
{
    echo ./usr/bin/quorvane
    echo ./usr/lib/systemd/user/quorvane.service
    echo ./usr/share/applications/quorvane.desktop
    echo ./usr/share/doc/quorvane/changelog.gz
    echo ./usr/share/doc/quorvane/copyright
    echo ./usr/share/man/man1/quorvane.1.gz
    for s in "${sizes[@]}"; do
        echo "./usr/share/icons/hicolor/${s}x${s}/apps/quorvane.png"
    done
} | sort >"$tmp/expected"
dpkg-deb -c "$deb" | awk '$1 !~ /^d/ {print $6}' | sort >"$tmp/actual"
diff -u "$tmp/expected" "$tmp/actual" || fail "file list"
if dpkg-deb -c "$deb" | awk '{print $2}' | grep -qv '^root/root$'; then
    fail "files not owned by root"
fi

# Errors and warnings fail; info and pedantic tags are not shown.
command -v lintian >/dev/null || fail "no lintian (scripts/install-deps.sh installs it)"
if ! lintian --fail-on error,warning "$deb" >"$tmp/lintian.log" 2>&1; then
    cat "$tmp/lintian.log" >&2
    fail "lintian"
fi

root="$tmp/root"
dpkg-deb -x "$deb" "$root"
top=$(zcat "$root/usr/share/doc/quorvane/changelog.gz" | sed -n 1p)
[[ "$top" == "quorvane ($version) "* ]] || fail "the changelog begins with: $top"
[ -x "$root/usr/bin/quorvane" ] || fail "program not executable"

for s in "${sizes[@]}"; do
    png="$root/usr/share/icons/hicolor/${s}x${s}/apps/quorvane.png"
    [ "$(head -c 8 "$png" | od -An -tx1 | tr -d ' \n')" = 89504e470d0a1a0a ] || fail "$png: no PNG"
    read -r width height < <(od -An -tu4 --endian=big -j16 -N8 "$png")
    [ "$width x $height" = "$s x $s" ] || fail "$png is ${width}x$height"
done

desktop="$root/usr/share/applications/quorvane.desktop"
desktop-file-validate "$desktop" || fail "desktop entry"
grep -qx 'Exec=quorvane' "$desktop" || fail "Exec must start the window"
grep -qx 'Icon=quorvane' "$desktop" || fail "Icon must name the packed icon"

unit="$root/usr/lib/systemd/user/quorvane.service"
grep -qx 'ExecStart=/usr/bin/quorvane --headless' "$unit" || fail "ExecStart"
grep -qx 'Restart=on-failure' "$unit" || fail "Restart"
grep -qE '^RestartSec=[1-9][0-9]*$' "$unit" || fail "RestartSec"
# The watch reports ready, its status and watchdog pings itself (the main process).
grep -qx 'Type=notify' "$unit" && grep -qx 'NotifyAccess=main' "$unit" || fail "Type, NotifyAccess"
grep -qE '^WatchdogSec=[1-9][0-9]*(s|min)$' "$unit" || fail "WatchdogSec"
grep -qx 'WantedBy=default.target' "$unit" || fail "WantedBy"
# systemd's own parser, where a user manager can be imitated; the unit is pointed at the
# unpacked program, since nothing is installed.
if command -v systemd-analyze >/dev/null; then
    mkdir -m 700 "$tmp/runtime"
    sed "s#/usr/bin/quorvane#$root/usr/bin/quorvane#" "$unit" >"$tmp/quorvane.service"
    if XDG_RUNTIME_DIR="$tmp/runtime" systemd-analyze verify --user "$tmp/quorvane.service" \
        >"$tmp/verify.log" 2>&1; then
        [ ! -s "$tmp/verify.log" ] || { cat "$tmp/verify.log" >&2; fail "unit warnings"; }
    elif grep -q 'Failed to initialize manager' "$tmp/verify.log"; then
        echo "systemd-analyze cannot run here; unit checked by its keys"
    else
        cat "$tmp/verify.log" >&2
        fail "unit does not verify"
    fi
fi

# One headless run of the packed program: a fresh home, no display, the per-user folder
# holding the imitation's StartURL.txt and settings.ini, started from an unrelated folder.
home="$tmp/home"
data="$home/.local/share/quorvane"
mkdir -p "$data" "$tmp/cwd"
# The first 38 contracts of the demo's data set hold one refusal: a run of some seconds at
# the product's own request spacing, which the packed program cannot be told to shorten.
"$replica" --demo "$data" --contracts 38 >"$tmp/replica.url" &
replica_pid=$!
for _ in $(seq 100); do
    [ -s "$tmp/replica.url" ] && break
    sleep 0.1
done
[ -s "$data/StartURL.txt" ] || fail "the portal imitation did not start"
status=0
(cd "$tmp/cwd" && env -i HOME="$home" PATH=/usr/bin:/bin LANG=C.UTF-8 \
    timeout 120 "$root/usr/bin/quorvane" --headless --once) >"$tmp/run.out" 2>&1 || status=$?
if [ "$status" -ne 0 ]; then
    cat "$tmp/run.out" >&2
    fail "headless run exited $status"
fi

csv=("$data"/*.csv)
[ ${#csv[@]} -eq 1 ] && [ -f "${csv[0]}" ] || fail "no CSV file in $data: $(ls "$data")"
[ -s "$data/have.txt" ] || fail "no have.txt in $data"
# One row under the title for every refusal the run recorded as new.
rows=$(($(wc -l <"${csv[0]}") - 1))
[ "$rows" -ge 1 ] && [ "$rows" -eq "$(wc -l <"$data/have.txt")" ] ||
    fail "$rows CSV rows for $(wc -l <"$data/have.txt") new refusals"
logs=("$data"/logs/log-*.txt)
[ -f "${logs[0]}" ] || fail "no log file in $data/logs"
[ -s "$tmp/run.out" ] || fail "the run printed nothing"
[ -z "$(ls -A "$tmp/cwd")" ] || fail "files in the current folder: $(ls -A "$tmp/cwd")"
[ "$(ls -A "$root/usr/bin")" = quorvane ] || fail "files beside the program: $(ls -A "$root/usr/bin")"

# Both faces print the version; every option --help lists is in the manual page.
packed() {
    env -i HOME="$home" PATH=/usr/bin:/bin LANG=C.UTF-8 "$root/usr/bin/quorvane" "$@"
}
for args in --version "--headless --version"; do
    # shellcheck disable=SC2086
    out=$(packed $args) || fail "quorvane $args exited $?"
    [ "$out" = "quorvane $version" ] || fail "quorvane $args printed: $out"
done
options=$(packed --help | grep -oE -- '--[a-z][a-z-]*' | sort -u)
grep -qx -- --version <<<"$options" || fail "--help lists no --version"
manual=$(zcat "$root/usr/share/man/man1/quorvane.1.gz" | sed 's/\\-/-/g')
for option in $options; do
    grep -qE -- "(^|[^a-z-])$option([^a-z-]|\$)" <<<"$manual" ||
        fail "$option is not in the manual page"
done
echo "package $(basename "$deb") checked"
