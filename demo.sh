#!/usr/bin/env bash
# One unattended update, end to end, on this machine and on loopback only.
#
# Installs what is missing, builds the updater for a local demo into
# build-demo/ (update server 127.0.0.1, the development key), makes a demo
# client at version 1 and a signed release of version 2 with mrvpublish,
# serves the release from a local nginx mirror, answers the version and
# banner queries with the reference server on its fixed ports, and runs the
# real windowed updater with "--nouser" in a copy of version 1 (under Xvfb
# when there is no display). The updater asks the server, updates the
# installation and starts the demo client, whose start script leaves a
# marker. The demo then checks that the installation equals version 2 byte
# for byte. The updater's log, two screenshots and the mirror's access log
# land in demo-out/. Everything started here is stopped on exit; the exit
# status is 0 only if every check passed.
set -euo pipefail
umask 022
cd "$(dirname "$0")"
ROOT=$PWD
BUILD=$ROOT/build-demo
OUT=$ROOT/demo-out
VERSION_PORT=17384
BANNER_PORT=2009
CLIENT_TYPE=client_linux_amd64
MARKER=mrvclient_started.txt
DEADLINE_SECONDS=120

WORK=""
NGINX_PID=""
REFSERVER_PID=""
XVFB_PID=""
UPDATER_PID=""
LOG_PID=""

say() { printf '\n== %s\n' "$*"; }
fail() {
    printf '\ndemo: FAILED: %s\n' "$*" >&2
    exit 1
}

stop_pid() {
    local pid=$1
    [ -n "$pid" ] || return 0
    if kill -0 "$pid" 2>/dev/null; then
        kill "$pid" 2>/dev/null || true
        for _ in $(seq 1 50); do
            kill -0 "$pid" 2>/dev/null || break
            sleep 0.1
        done
        kill -9 "$pid" 2>/dev/null || true
    fi
    wait "$pid" 2>/dev/null || true
}

cleanup() {
    local status=$?
    set +e
    stop_pid "$UPDATER_PID"
    stop_pid "$LOG_PID"
    stop_pid "$REFSERVER_PID"
    stop_pid "$NGINX_PID"
    stop_pid "$XVFB_PID"
    if [ -n "$WORK" ] && [ -d "$WORK" ]; then
        # A failed run leaves its download directory for a later attempt;
        # the demo's installation goes away, so that directory goes too.
        local tempdir
        tempdir=$(sed -n 's/^dir=//p' "$WORK/install/update.ini" 2>/dev/null | head -n 1)
        case "$tempdir" in
        */morvane_temp_*) rm -rf -- "$tempdir" ;;
        esac
        rm -rf -- "$WORK"
    fi
    exit "$status"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

# Whether a socket of the kernel table $1 (udp or tcp, IPv4 and IPv6) is
# bound to port $2; for tcp only listening sockets count.
port_taken() {
    local hex tables=()
    hex=$(printf '%04X' "$2")
    for t in "/proc/net/$1" "/proc/net/${1}6"; do
        [ -r "$t" ] && tables+=("$t")
    done
    [ ${#tables[@]} -gt 0 ] || return 1
    awk -v port="$hex" -v tcp="$([ "$1" = tcp ] && echo 1 || echo 0)" \
        'FNR > 1 { split($2, a, ":"); if (a[2] == port && (!tcp || $4 == "0A")) found = 1 }
         END { exit found ? 0 : 1 }' "${tables[@]}"
}
udp_port_taken() { port_taken udp "$1"; }
tcp_port_taken() { port_taken tcp "$1"; }

check_udp_ports() {
    local port
    for port in "$VERSION_PORT" "$BANNER_PORT"; do
        if udp_port_taken "$port"; then
            fail "UDP port $port is already in use on this machine. The updater asks its" \
                "update server on the fixed ports $VERSION_PORT (versions) and $BANNER_PORT" \
                "(banner), so the demo's reference server needs both. Stop the program that" \
                "holds it (see: ss -lunp) and run ./demo.sh again."
        fi
    done
}

screenshot() {
    if import -window root "$OUT/$1" 2>>"$WORK/import.log"; then
        echo "   (screenshot demo-out/$1)"
    else
        echo "   (screenshot demo-out/$1 could not be taken; see below)"
        cat "$WORK/import.log" >&2
    fi
}

# ---------------------------------------------------------------------------
say "Checking the fixed UDP ports $VERSION_PORT and $BANNER_PORT"
check_udp_ports
echo "both free"

say "Installing missing Debian packages (scripts/install-deps.sh)"
bash scripts/install-deps.sh </dev/null
echo "all present"

say "Building the updater for the demo into build-demo/ (log: demo-out/build.log)"
rm -rf "$OUT"
mkdir -p "$OUT"
if ! { cmake -S . -B "$BUILD" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBUILD_TESTING=OFF \
    -DMORVANE_UPDATE_SERVER=127.0.0.1 -DMORVANE_PUBLIC_KEY="$ROOT/keys/dev_public.der" &&
    cmake --build "$BUILD" -j2 --target update mrvpublish mrvrefserver; } \
    >"$OUT/build.log" 2>&1; then
    tail -n 40 "$OUT/build.log" >&2
    fail "the build failed (full log in demo-out/build.log)"
fi
echo "built $BUILD/bin/update, mrvpublish and mrvrefserver"

WORK=$(mktemp -d "${TMPDIR:-/tmp}/morvane-demo.XXXXXX")
# The mirror's worker processes may run as another user.
chmod 755 "$WORK"
mkdir -p "$WORK/client-1" "$WORK/client-2" "$WORK/mirror" "$WORK/nginx"
if [ -z "${XDG_RUNTIME_DIR:-}" ]; then
    mkdir -m 700 "$WORK/runtime"
    export XDG_RUNTIME_DIR=$WORK/runtime
fi

# ---------------------------------------------------------------------------
say "Making demo client version 1 and a release of version 2"
make_start_script() {
    cat >"$1/mrvclient_runscript.sh" <<EOF
#!/bin/sh
# Start script of the Morvane 3 demo client, version $2: it only records that
# it was started.
cd "\$(dirname "\$0")" && echo "Morvane 3 demo client version $2 started" > $MARKER
EOF
    chmod 755 "$1/mrvclient_runscript.sh"
}
c1=$WORK/client-1
c2=$WORK/client-2
mkdir -p "$c1/data/maps" "$c2/data/maps" "$c2/data/sounds"
make_start_script "$c1" 1
make_start_script "$c2" 2
# Every release ships the updater, so that it stays in the installation.
cp "$BUILD/bin/update" "$c1/update"
cp "$BUILD/bin/update" "$c2/update"
# The client binary (random bytes stand in for machine code), changed in 2.
head -c 300000 /dev/urandom >"$c1/mrvclient_linux_amd64"
head -c 1200000 /dev/urandom >"$c2/mrvclient_linux_amd64"
chmod 755 "$c1/mrvclient_linux_amd64"
# A library, changed in 2 and published gzip-compressed.
seq 1 40000 | sed 's/^/engine symbol v1 /' >"$c1/libmrvengine.so"
seq 1 60000 | sed 's/^/engine symbol v2 /' >"$c2/libmrvengine.so"
chmod 755 "$c1/libmrvengine.so"
# A data file in a subdirectory, the same in both versions.
seq 1 5000 | sed 's/^/harbour tile /' >"$c1/data/maps/harbour.map"
cp "$c1/data/maps/harbour.map" "$c2/data/maps/harbour.map"
# A file that version 2 drops, and one that it adds in a new directory.
echo "Welcome to Morvane 3, version 1." >"$c1/data/intro_v1.txt"
head -c 200000 /dev/urandom >"$c2/data/sounds/fanfare.ogg"
cat >"$WORK/changelog.txt" <<'EOF'
Morvane 3 Client 2.0 (demo)

- New: fanfare when a harbour is conquered (data/sounds/fanfare.ogg).
- Changed: faster map engine (libmrvengine.so), new client binary.
- Removed: the old intro text.
EOF
for v in 1 2; do
    echo "version $v:"
    (cd "$WORK/client-$v" && find . -type f | sort | sed 's|^\./|   |')
done
"$BUILD/bin/mrvpublish" release --key keys/dev_private.key --type "$CLIENT_TYPE" --version 2 \
    --gzip '*.so' --previous "$c1" --changelog "$WORK/changelog.txt" "$c2" "$WORK/mirror" \
    >/dev/null || fail "mrvpublish release failed"
echo "release of version 2 on the mirror (mrvpublish release):"
(cd "$WORK/mirror" && find 2 -type f | sort | sed 's|^|   |')
echo "its product ini $CLIENT_TYPE.ini:"
sed 's/^/   /' "$WORK/mirror/2/$CLIENT_TYPE.ini"

# A 468 x 60 banner for the window, served by the same nginx.
if ! convert -size 468x60 gradient:'#16324f'-'#2f6f9f' \
    -font /usr/share/fonts/truetype/dejavu/DejaVuSans-Bold.ttf -pointsize 22 -fill white \
    -gravity center -annotate +0+0 'Morvane 3 Client 2.0 is here' \
    "$WORK/mirror/banner.png" 2>"$WORK/convert.log"; then
    convert -size 468x60 gradient:'#16324f'-'#2f6f9f' "$WORK/mirror/banner.png" ||
        fail "could not make the banner image with ImageMagick's convert"
fi

# ---------------------------------------------------------------------------
say "Starting the mirror: nginx on loopback (throttled, so that the transfer shows)"
start_nginx() {
    local p1=$1 p2=$2 user="" conf
    # A root-started nginx hands its workers to an unprivileged user.
    [ "$(id -u)" -ne 0 ] || user="user nobody nogroup;"
    # The configuration the test fixtures use too, filled in for this mirror.
    conf=$(<tests/common/nginx.conf.in)
    conf=${conf//@USER@/"$user"}
    conf=${conf//@DIR@/"$WORK/nginx"}
    conf=${conf//@ROOT@/"$WORK/mirror"}
    conf=${conf//@SERVER@/"        listen 127.0.0.1:$p1;
        listen 127.0.0.1:$p2;
        limit_rate 256k;"}
    printf '%s\n' "$conf" >"$WORK/nginx/nginx.conf"
    nginx -e "$WORK/nginx/error.log" -p "$WORK/nginx" -c "$WORK/nginx/nginx.conf" \
        </dev/null >>"$WORK/nginx/stdout.log" 2>&1 &
    NGINX_PID=$!
    local status
    for _ in $(seq 1 50); do
        kill -0 "$NGINX_PID" 2>/dev/null || break
        status=$(curl -s -o /dev/null -w '%{http_code}' "http://127.0.0.1:$p2/2/$CLIENT_TYPE.ini" || true)
        [ "$status" = 200 ] && return 0
        sleep 0.1
    done
    stop_pid "$NGINX_PID"
    NGINX_PID=""
    return 1
}
MIRROR_PORT_1=""
for _ in $(seq 1 10); do
    p1=$((20000 + RANDOM % 30000))
    p2=$((20000 + RANDOM % 30000))
    [ "$p1" != "$p2" ] || continue
    if ! tcp_port_taken "$p1" && ! tcp_port_taken "$p2" && start_nginx "$p1" "$p2"; then
        MIRROR_PORT_1=$p1
        MIRROR_PORT_2=$p2
        break
    fi
done
[ -n "$MIRROR_PORT_1" ] || {
    cat "$WORK/nginx/error.log" >&2 2>/dev/null || true
    fail "nginx did not start"
}
MIRROR_1=http://127.0.0.1:$MIRROR_PORT_1
MIRROR_2=http://127.0.0.1:$MIRROR_PORT_2
echo "mirror demo-mirror-1 at $MIRROR_1/, demo-mirror-2 at $MIRROR_2/ (one nginx, pid $NGINX_PID)"

say "Starting the reference update server on 127.0.0.1, UDP $VERSION_PORT and $BANNER_PORT"
check_udp_ports
NEWS="Morvane 3 Client 2.0 is out: new fanfare, faster maps. (A local demonstration: every server runs on 127.0.0.1.)"
"$BUILD/bin/mrvrefserver" --bind 127.0.0.1 --version-port "$VERSION_PORT" \
    --banner-port "$BANNER_PORT" --versions "2#2.0 (demo)" --news "$NEWS" \
    --banner "$MIRROR_1/banner.png,$MIRROR_1/" </dev/null >"$WORK/refserver.log" 2>&1 &
REFSERVER_PID=$!
for _ in $(seq 1 100); do
    grep -q '^listening banner' "$WORK/refserver.log" && break
    kill -0 "$REFSERVER_PID" 2>/dev/null || break
    sleep 0.1
done
if ! grep -q '^listening banner' "$WORK/refserver.log"; then
    cat "$WORK/refserver.log" >&2
    fail "the reference server did not start (UDP ports $VERSION_PORT and $BANNER_PORT needed)"
fi
sed 's/^/   /' "$WORK/refserver.log"
echo "   answers: stable channel version 2, named \"2.0 (demo)\"; news; banner $MIRROR_1/banner.png"

# ---------------------------------------------------------------------------
say "Preparing the demo installation (version 1) with mirrors.ini and the built updater"
INSTALL=$WORK/install
cp -a "$c1" "$INSTALL"
cat >"$INSTALL/mirrors.ini" <<EOF
[mirrors]
size=2
1\\mirror=demo-mirror-1
2\\mirror=demo-mirror-2

[demo-mirror-1]
url=$MIRROR_1/
retries=2

[demo-mirror-2]
url=$MIRROR_2/
retries=2
EOF
# No update.ini: the stable channel, no proxy, 6 parallel downloads.
cp "$BUILD/bin/update" "$INSTALL/update"
echo "application root $INSTALL; mirrors.ini:"
sed 's/^/   /' "$INSTALL/mirrors.ini"

if [ -z "${DISPLAY:-}" ]; then
    say "No display: starting Xvfb"
    Xvfb -displayfd 3 -screen 0 640x480x24 -nolisten tcp 3>"$WORK/display" \
        </dev/null >"$WORK/xvfb.log" 2>&1 &
    XVFB_PID=$!
    for _ in $(seq 1 100); do
        [ -s "$WORK/display" ] && break
        kill -0 "$XVFB_PID" 2>/dev/null || break
        sleep 0.1
    done
    [ -s "$WORK/display" ] || {
        cat "$WORK/xvfb.log" >&2
        fail "Xvfb did not start"
    }
    DISPLAY=":$(head -n 1 "$WORK/display")"
    export DISPLAY
    echo "virtual display $DISPLAY"
fi

# ---------------------------------------------------------------------------
say "Running the updater: ./update --nouser (its log follows)"
: >"$WORK/nginx/access.log"
: >"$OUT/update.log"
(cd "$INSTALL" && exec ./update --nouser) </dev/null >>"$OUT/update.log" 2>&1 &
UPDATER_PID=$!
tail --pid="$UPDATER_PID" -n +1 -f "$OUT/update.log" | sed -u 's/^/   | /' &
LOG_PID=$!

during_taken=0
end_taken=0
start=$SECONDS
while kill -0 "$UPDATER_PID" 2>/dev/null; do
    if [ "$during_taken" = 0 ] && grep -q 'Downloading files' "$OUT/update.log"; then
        # The window updates its size and speed figures once a second.
        sleep 1.5
        screenshot during.png
        during_taken=1
    fi
    if [ "$end_taken" = 0 ] && grep -q 'Update successfully finished' "$OUT/update.log"; then
        # The window starts the client and closes 1000 ms after this line.
        sleep 0.3
        screenshot end.png
        end_taken=1
    fi
    # A failed run ends the updater at once, with exit code 2; the checks
    # below report it.
    if [ $((SECONDS - start)) -gt "$DEADLINE_SECONDS" ]; then
        screenshot timeout.png
        fail "the updater was still running after $DEADLINE_SECONDS seconds (its screen: demo-out/timeout.png)"
    fi
    sleep 0.1
done
updater_status=0
wait "$UPDATER_PID" || updater_status=$?
UPDATER_PID=""
wait "$LOG_PID" 2>/dev/null || true
LOG_PID=""
echo "updater exited with status $updater_status after $((SECONDS - start)) s"

# ---------------------------------------------------------------------------
say "Checking the result"
problems=()
[ "$updater_status" = 0 ] || problems+=("the updater exited with status $updater_status, not 0")
grep -q 'Update successfully finished' "$OUT/update.log" ||
    problems+=("the log has no \"Update successfully finished\"")
[ "$during_taken" = 1 ] || problems+=("no screenshot during the run (no \"Downloading files\" in the log)")
[ "$end_taken" = 1 ] || problems+=("no screenshot at the end")

# The client's start script runs detached; give it a moment.
for _ in $(seq 1 100); do
    [ -s "$INSTALL/$MARKER" ] && break
    sleep 0.1
done
if grep -qx "Morvane 3 demo client version 2 started" "$INSTALL/$MARKER" 2>/dev/null; then
    echo "ok   the start script of version 2 ran: $(cat "$INSTALL/$MARKER")"
else
    problems+=("the start script of version 2 did not run (no marker $MARKER)")
fi

# Every file of version 2, byte for byte; nothing else but the updater's own.
while IFS= read -r -d '' f; do
    rel=${f#"$c2"/}
    if [ ! -f "$INSTALL/$rel" ]; then
        problems+=("missing: $rel")
    elif ! cmp -s "$f" "$INSTALL/$rel"; then
        problems+=("differs from version 2: $rel")
    else
        echo "ok   $rel equals version 2"
    fi
done < <(find "$c2" -type f -print0 | sort -z)
while IFS= read -r -d '' f; do
    rel=${f#"$INSTALL"/}
    case "$rel" in
    update | mirrors.ini | update.ini | update.digests | "$MARKER") continue ;;
    esac
    [ -f "$c2/$rel" ] || problems+=("left over, not part of version 2: $rel")
done < <(find "$INSTALL" -type f -print0 | sort -z)
for exe in mrvclient_runscript.sh mrvclient_linux_amd64 libmrvengine.so; do
    [ -x "$INSTALL/$exe" ] || problems+=("not executable: $exe")
done
if [ -e "$INSTALL/data/intro_v1.txt" ]; then
    problems+=("data/intro_v1.txt, dropped in version 2, is still there")
else
    echo "ok   data/intro_v1.txt (dropped in version 2) is gone"
fi
if [ -f "$INSTALL/update.ini" ] && grep -q '^\[current\]' "$INSTALL/update.ini"; then
    problems+=("update.ini still holds a session record")
fi

echo "files the mirrors served (nginx access log):"
awk '{ print "   " $8, $6 }' "$WORK/nginx/access.log" | tee "$OUT/mirror-access.log"

if [ ${#problems[@]} -gt 0 ]; then
    printf 'FAIL %s\n' "${problems[@]}" >&2
    fail "${#problems[@]} check(s) failed; the updater's log is in demo-out/update.log"
fi
say "Demo passed: version 1 was updated to version 2 and the client was started"
echo "screenshots: demo-out/during.png, demo-out/end.png; log: demo-out/update.log"
