#!/usr/bin/env bash
# The Debian package from build to a running service: builds it (scripts/package), checks it with lintian
# (errors and warnings fail) and its units with systemd-analyze (verify, and the security exposure of each
# service, printed, failing above 2.5), then installs it into a fresh Debian 12 root and boots that root as
# a container (systemd-nspawn -b, loopback network only): READY, log-on and a read of dsp_department,
# kill -9 and the restart, the backup service and a restore, an upgrade that keeps data and configuration.
# Where no container can boot it says so and installs and starts the server in the root without systemd.
# The root is cached under the build directory; a second run is fast.
set -euo pipefail
top=$(cd "$(dirname "$0")/../.." && pwd)
build="${MORVANE_BUILD_DIR:-$top/build}"
work="$build/package-test"
cache="$build/package-root"
threshold=2.5
mkdir -p "$work"
if [ "$(id -u)" -ne 0 ]; then
    echo "package-test: skipped: installing a package into a root and booting it needs root"
    exit 77
fi

say() { echo "package-test: $*"; }
fail() {
    echo "package-test: FAILED: $*" >&2
    exit 1
}
# Runs "$@" until it succeeds, at most $1 seconds.
wait_for() {
    local seconds=$1
    shift
    local end=$((SECONDS + seconds))
    until "$@" >/dev/null 2>&1; do
        [ "$SECONDS" -lt "$end" ] || return 1
        sleep 1
    done
}

# 1. The package.
deb=$(MORVANE_PACKAGE_OUT="$work/out" "$top/scripts/package" | tail -1)
[ -f "$deb" ] || fail "scripts/package made no .deb"
changes=$(ls "$work"/out/morvane_*.changes | head -1)
say "built $deb"

# 2. lintian: errors and warnings fail.
lintian --fail-on error,warning --display-level '>=warning' "$changes" || fail "lintian reports errors or warnings"
say "lintian: no errors, no warnings"

# 3. The units, from the package's own files.
extract="$work/extract"
rm -rf "$extract"
dpkg-deb -x "$deb" "$extract"
units=(morvane.service morvane-backup.service morvane-backup.timer)
for unit in "${units[@]}"; do
    [ -f "$extract/lib/systemd/system/$unit" ] || fail "the package has no $unit"
done
scores=()
for unit in morvane.service morvane-backup.service; do
    score=$(systemd-analyze security --offline=yes --root="$extract" "$unit" 2>&1 |
        sed -n 's/.*Overall exposure level for [^:]*: \([0-9.]*\).*/\1/p')
    [ -n "$score" ] || fail "no exposure level for $unit"
    scores+=("$unit $score")
    say "systemd-analyze security: $unit exposure $score (at most $threshold)"
    awk -v s="$score" -v t="$threshold" 'BEGIN { exit !(s <= t) }' || fail "$unit is exposed $score, above $threshold"
done

# 4. A fresh Debian 12 root with what the package needs, from the mirror apt is configured with.
mirror=$(apt-cache policy 2>/dev/null | awk '$3 ~ /^bookworm\/main$/ && $2 ~ /^(https?|file):/ { print $2; exit }')
# What the package depends on (first of each choice, without versions) comes in with the root: the
# package is then installed with dpkg alone, off the network, as on a site without a mirror.
# (An ABI name is virtual: the library that provides it comes in by its own name.)
include=$( (printf 'systemd\nsystemd-sysv\ndbus\n'; dpkg-deb -f "$deb" Depends | tr ',' '\n') |
    sed 's/|.*//; s/(.*)//; s/[[:space:]]//g' | grep -v -e '^$' -e '-abi$' | sort -u | paste -sd, -)
if [ ! -f "$cache/.complete" ] || [ "$(cat "$cache/.complete")" != "$include" ]; then
    [ -n "$mirror" ] || fail "apt names no bookworm mirror to build a Debian 12 root from"
    say "making a Debian 12 root from $mirror (once; cached in $cache)"
    rm -rf "$cache.tmp"
    debootstrap --variant=minbase \
        --include="$include" \
        bookworm "$cache.tmp" "$mirror" >"$work/debootstrap.log" 2>&1 || fail "debootstrap (see $work/debootstrap.log)"
    printf '%s' "$include" >"$cache.tmp/.complete"
    rm -rf "$cache"
    mv "$cache.tmp" "$cache"
fi
root="$work/root"
rm -rf "$root"
cp -a "$cache" "$root"
cp "$deb" "$root/root/morvane.deb"
# The upgrade: the same programs under a later version, as a rebuild would make them.
repack="$work/repack"
rm -rf "$repack"
dpkg-deb -R "$deb" "$repack"
sed -i 's/^Version: .*/&+rebuild1/' "$repack/DEBIAN/control"
dpkg-deb -b "$repack" "$root/root/morvane-upgrade.deb" >/dev/null

# Commands in the root without booting it.
nspawn_options=(-q --register=no --keep-unit -D "$root" --private-network)
in_root() { systemd-nspawn "${nspawn_options[@]}" --pipe "$@"; }
in_root dpkg -i /root/morvane.deb >"$work/install.log" 2>&1 || fail "installing the package (see $work/install.log)"
grep -q "morvane-admin password SYSTEM" "$work/install.log" || fail "the installation does not say how to set the first password"
in_root test -s /var/lib/morvane/morvane.db || fail "the installation made no database"
printf 'S3cond-secret\n' >"$root/root/password"
in_root /usr/sbin/morvane-admin password SYSTEM --password-file /root/password || fail "morvane-admin password"
# The units as installed, against the root's own systemd (the programs they name exist there).
for unit in "${units[@]}"; do
    systemd-analyze verify --root="$root" "/lib/systemd/system/$unit" || fail "systemd-analyze verify $unit"
done
say "systemd-analyze verify: ${units[*]} sound"

# 5. Boot the root, when this machine lets a container boot.
nspawn_log="$work/nspawn.log"
systemd-nspawn "${nspawn_options[@]}" -b >"$nspawn_log" 2>&1 </dev/null &
nspawn=$!
gone() { ! kill -0 "$1" 2>/dev/null; }
stop_container() {
    if ! gone "$nspawn"; then
        kill -TERM "$nspawn" 2>/dev/null || true
        wait_for 30 gone "$nspawn" || kill -KILL "$nspawn" 2>/dev/null || true
    fi
}
trap stop_container EXIT
leader=""
# The container's systemd: below systemd-nspawn and its own inner process.
find_leader() {
    local pid=$nspawn depth
    for depth in 1 2 3; do
        pid=$(cat /proc/"$pid"/task/*/children 2>/dev/null | tr ' ' '\n' | grep -m1 . || true)
        [ -n "$pid" ] || return 1
        if [ "$(cat /proc/"$pid"/comm 2>/dev/null)" = systemd ]; then
            leader=$pid
            return 0
        fi
    done
    return 1
}
if ! wait_for 30 find_leader; then
    say "cannot boot a container on this machine (systemd-nspawn -b did not start systemd):"
    sed 's/^/    /' "$nspawn_log" | tail -5
    say "running the steps that can run without a booted container"
    fallback=yes
else
    fallback=""
fi
inside() { nsenter -t "$leader" -a -- "$@"; }
# A property of the server's unit, as systemd sees it.
unit_value() { inside systemctl show -p "$1" --value morvane.service; }

if [ -z "$fallback" ]; then
    wait_for 90 inside systemctl is-active morvane.service ||
        { inside systemctl status morvane.service --no-pager | tail -20 || true; fail "morvane.service never became active (READY)"; }
    say "morvane.service is active: READY came"
    # The watchdog: systemd notes each keep-alive ping of the server's main loop.
    first=$(unit_value WatchdogTimestampMonotonic)
    pinged_since() { [ "$(unit_value WatchdogTimestampMonotonic)" != "$1" ]; }
    wait_for 40 pinged_since "$first" || fail "no watchdog ping reached systemd"
    say "watchdog pings arrive ($(unit_value WatchdogUSec) watchdog)"
    rmt() { inside env MORVANE_PASSWORD=S3cond-secret /usr/lib/morvane/rmtclient --operator SYSTEM --tcp 127.0.0.1:211 "$@"; }
    wait_for 30 rmt get dsp_department "select * from ac_department" || fail "rmtclient cannot read dsp_department"
    rmt exec dsp_department "insert into ac_department (departmentname) values ('before backup')" >/dev/null ||
        fail "rmtclient cannot write"
    departments() { rmt get dsp_department "select departmentname from ac_department order by departmentname" --table; }
    before=$(departments)
    grep -q "before backup" <<<"$before" || fail "the row written is not read back"
    # Served again $1, with the departments read before (else fails with $2).
    intact() {
        wait_for 30 rmt get dsp_department "select * from ac_department" || fail "no reply $1"
        [ "$(departments)" = "$before" ] || fail "$2"
    }
    say "rmtclient logged on and read dsp_department"

    # kill -9: systemd brings the server back, the data intact.
    pid=$(unit_value MainPID)
    inside sh -c "kill -9 $pid"
    restarted_from() { [ "$(unit_value MainPID)" != "$1" ] && inside systemctl is-active morvane.service; }
    wait_for 60 restarted_from "$pid" || fail "systemd did not restart morvane after kill -9"
    intact "after the restart" "the data changed across kill -9"
    say "kill -9 $pid: systemd restarted morvane, data intact"

    # The backup timer's service once, then a restore of its copy.
    inside systemctl start morvane-backup.service || fail "morvane-backup.service failed"
    copy=$(inside sh -c 'ls -t /var/lib/morvane/backup/morvane-*.db | head -1')
    [ "$(inside stat -c %a "$copy")" = 600 ] || fail "the backup $copy is not 0600"
    rmt exec dsp_department "insert into ac_department (departmentname) values ('after backup')" >/dev/null
    inside systemctl stop morvane.service
    inside /usr/sbin/morvane-admin restore "$copy" || fail "morvane-admin restore"
    inside systemctl start morvane.service || fail "morvane did not start after the restore"
    intact "after the restore" "the restore did not bring back the copy"
    say "backup service made $copy (0600); restored it"

    # An upgrade keeps data and configuration and restarts the service.
    inside sh -c 'sed -i "s/^IdleMinutes=.*//; s/^\[Security\]/[Security]\r\nIdleMinutes=45/" /etc/morvane/scktsrvr.ini'
    pid=$(unit_value MainPID)
    inside env DEBIAN_FRONTEND=noninteractive dpkg -i /root/morvane-upgrade.deb >"$work/upgrade.log" 2>&1 ||
        fail "the upgrade failed (see $work/upgrade.log)"
    wait_for 60 inside systemctl is-active morvane.service || fail "morvane is not active after the upgrade"
    [ "$(unit_value MainPID)" != "$pid" ] || fail "the upgrade did not restart morvane"
    inside grep -q "IdleMinutes=45" /etc/morvane/scktsrvr.ini || fail "the upgrade lost the configuration"
    intact "after the upgrade" "the upgrade lost data"
    say "upgrade to $(inside dpkg-query -W -f '${Version}' morvane): data and configuration kept, service restarted"
    inside systemctl poweroff || true
else
    # Without systemd: the server started by hand as its unit would, READY on a socket of our own.
    notify_dir="$work/notify"
    rm -rf "$notify_dir"
    mkdir -p "$notify_dir"
    chmod 0777 "$notify_dir"
    timeout 120 python3 -c 'import socket,sys; s=socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM); s.bind(sys.argv[1]); s.settimeout(90); print(s.recv(256).decode())' \
        "$notify_dir/socket" >"$work/notify.txt" &
    listener=$!
    wait_for 10 test -S "$notify_dir/socket" || fail "no notification socket"
    chmod 0666 "$notify_dir/socket"
    timeout 120 systemd-nspawn "${nspawn_options[@]}" --bind="$notify_dir:/mnt/notify" --user=morvane \
        --setenv=NOTIFY_SOCKET=/mnt/notify/socket --setenv=MORVANE_HOME=/var/lib/morvane \
        --setenv=QT_QPA_PLATFORM=offscreen /usr/lib/morvane/morvane >"$work/server.log" 2>&1 &
    server=$!
    wait "$listener" || fail "no READY from the server (see $work/server.log)"
    kill -TERM "$server" 2>/dev/null || true
    grep -q READY=1 "$work/notify.txt" || fail "the server sent $(cat "$work/notify.txt") instead of READY=1"
    say "READY=1 from the server started in the root"
fi
say "scores: ${scores[*]}"
say "passed"
