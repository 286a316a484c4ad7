#!/usr/bin/env bash
# Builds the Debian package (scripts/package.sh) and checks it as Debian and a user would meet it:
#  - lintian finds no error (warnings are shown, not fatal);
#  - the package holds the programs, samples, watermark, menu entry, icons, manual pages,
#    completion, metainfo, copyright and changelog, and its dependencies were computed;
#  - the menu entry passes desktop-file-validate and opens pictures ("Open with"), the metainfo
#    passes appstreamcli validate, and both name the package's version and files;
#  - installed with apt into a fresh Debian 12 chroot, which pulls Qt from the Debian mirror,
#    tintorel-cli --version, --help, its manual page and completion work, it stamps the samples
#    (TIFF among them), the window opens on an X display, and apt remove and purge leave no file
#    behind.
# The chroot's base system is made once with debootstrap and kept in /var/cache/tintorel-chroot
# (TINTOREL_CHROOT_CACHE), made anew when older than a week; each run installs into a fresh copy.
# Where no chroot can be made (not root, no debootstrap, no mirror; or TINTOREL_NO_CHROOT=1), the
# install and removal are checked with dpkg --root and the programs run on this system's libraries,
# and the output says so.
set -euo pipefail
cd "$(dirname "$0")/.."

failures=0
fail() {
    echo "FAIL: $*" >&2
    failures=$((failures + 1))
}
ok() { echo "ok: $*"; }
# Each step's heading says when it began, to keep the check's share of CI's time in view.
step() { echo "== $* (at ${SECONDS} s)"; }

deb=$(scripts/package.sh)
version=$(dpkg-deb -f "$deb" Version)
step "$deb"

step "lintian"
# --fail-on error: only tags of level E fail the check; the warnings are still shown.
if lintian --fail-on error --display-level '>=warning' "$deb"; then
    ok "lintian found no error"
else
    fail "lintian found errors"
fi

step "contents"
tree=$(mktemp -d)
work=
cleanup() {
    rm -rf "$tree"
    if [ -n "$work" ]; then
        # Nothing of the host may be mounted inside when the copy is removed.
        umount "$work/proc" 2>/dev/null || true
        if findmnt -rn -o TARGET | grep -q "^$work"; then
            echo "left $work in place: something is still mounted inside" >&2
        else
            rm -rf "$work"
        fi
    fi
}
trap cleanup EXIT
dpkg-deb -x "$deb" "$tree"
for file in usr/bin/tintorel usr/bin/tintorel-cli usr/lib/tintorel/tintorel \
    usr/lib/tintorel/tintorel-cli usr/lib/tintorel/Watermark/watermark.bmp \
    usr/lib/tintorel/HAND-M.CUR usr/lib/tintorel/drag.ico \
    usr/share/applications/tintorel.desktop usr/share/icons/hicolor/48x48/apps/tintorel.png \
    usr/share/icons/hicolor/256x256/apps/tintorel.png \
    usr/share/icons/hicolor/scalable/apps/tintorel.svg \
    usr/share/man/man1/tintorel.1.gz usr/share/man/man1/tintorel-cli.1.gz \
    usr/share/bash-completion/completions/tintorel-cli \
    usr/share/metainfo/io.github.varnholt.Tintorel.metainfo.xml \
    usr/share/doc/tintorel/copyright usr/share/doc/tintorel/changelog.gz; do
    [ -e "$tree/$file" ] || fail "the package lacks /$file"
done
samples=$(find "$tree/usr/lib/tintorel/Samples" -type f | wc -l)
[ "$samples" -eq "$(find assets/Samples -type f | wc -l)" ] || fail "the package holds $samples samples"
# Nothing the package installs may be unpacked from it as anything but root's.
dpkg-deb -c "$deb" | awk '$2 != "root/root"' | grep . && fail "files not owned by root"
depends=$(dpkg-deb -f "$deb" Depends)
[[ $depends == *libqt6widgets6* && $depends == *libexiv2* ]] ||
    fail "Depends was not computed from the programs: $depends"
changelog=$(mktemp)
zcat "$tree/usr/share/doc/tintorel/changelog.gz" >"$changelog"
[ "$(dpkg-parsechangelog -l "$changelog" -S Version)" = "$version" ] ||
    fail "the changelog's newest entry is not $version"
rm -f "$changelog"
ok "contents of tintorel $version, Depends: $depends"

step "desktop entry and metainfo"
desktop=$tree/usr/share/applications/tintorel.desktop
desktop-file-validate "$desktop" && ok "desktop-file-validate" || fail "desktop-file-validate"
# "Open with" offers the program for these types and hands it the chosen files.
grep -qx 'Exec=tintorel %F' "$desktop" || fail "the desktop entry does not start tintorel %F"
for type in image/bmp image/gif image/jpeg image/png image/tiff; do
    grep -q "^MimeType=.*$type;" "$desktop" || fail "the desktop entry does not open $type"
done
metainfo=$tree/usr/share/metainfo/io.github.varnholt.Tintorel.metainfo.xml
# --no-net: the screenshots' addresses cannot be fetched from here.
appstreamcli validate --no-net "$metainfo" && ok "appstreamcli validate" ||
    fail "appstreamcli validate"
grep -q '<launchable type="desktop-id">tintorel.desktop</launchable>' "$metainfo" ||
    fail "the metainfo does not launch tintorel.desktop"
grep -q "<release version=\"$version\"" "$metainfo" || fail "the metainfo has no release $version"
for shot in $(sed -n 's|.*<image>.*/docs/\([^<]*\)</image>.*|\1|p' "$metainfo"); do
    [ -f "docs/$shot" ] || fail "the metainfo shows docs/$shot, which does not exist"
done

# The commands run on the installed system: RUN starts a program there, PREFIX is where the system
# sits for those programs ("" in the chroot), HOST where it sits for this script.
installed_checks() {
    local run=$1 prefix=$2 host=$3
    local shown
    shown=$($run "$prefix/usr/bin/tintorel-cli" --version) || true
    [ "$shown" = "tintorel-cli $version" ] && ok "tintorel-cli --version: $shown" ||
        fail "tintorel-cli --version said '$shown'"
    shown=$($run "$prefix/usr/bin/tintorel-cli" --help) || true
    grep -q -- '--watermark FILE' <<<"$shown" && ok "tintorel-cli --help" || fail "tintorel-cli --help"
    # The samples hold every format the program reads, TIFF through Qt's plug-in among them.
    rm -rf "$host$prefix/tmp/stamped"
    if $run "$prefix/usr/bin/tintorel-cli" --quiet \
        --watermark "$prefix/usr/lib/tintorel/Watermark/watermark.bmp" \
        --output "$prefix/tmp/stamped" "$prefix/usr/lib/tintorel/Samples"; then
        local written
        written=$(find "$host$prefix/tmp/stamped" -type f | wc -l)
        [ "$written" -eq "$samples" ] && ok "stamped the $samples samples" ||
            fail "stamped $written of $samples samples"
    else
        fail "tintorel-cli could not stamp the samples"
    fi
    rm -rf "$host$prefix/tmp/stamped"
}

# Every file of the system, to compare before the install and after the removal; what apt and
# dpkg keep of their own work is left out.
snapshot() {
    (cd "$1" && find . -xdev \( -path ./proc -o -path ./dev -o -path ./tmp -o -path ./run \
        -o -path ./var/cache -o -path ./var/lib/apt -o -path ./var/lib/dpkg -o -path ./var/log \
        -o -path ./root \) -prune -o -print | sort)
}

cache=${TINTOREL_CHROOT_CACHE:-/var/cache/tintorel-chroot}
mirror=${TINTOREL_DEBIAN_MIRROR:-http://deb.debian.org/debian}
chroot_reason=
# Names how the base system is made: a base made otherwise is made anew.
base_recipe="bookworm minbase man-db security policy-rc.d eatmydata no-mandb"

# Makes the base system when it is missing or older than a week, under a lock: two runs at once
# share it. Returns 1, with chroot_reason set, when it cannot.
make_base() {
    [ "$(id -u)" -eq 0 ] || { chroot_reason="not root"; return 1; }
    command -v debootstrap >/dev/null || { chroot_reason="debootstrap is not installed"; return 1; }
    mkdir -p "$cache/archives" || { chroot_reason="cannot write $cache"; return 1; }
    exec 9>"$cache/lock"
    flock 9
    # Copies that a killed run left behind, once nothing is mounted in them.
    local old
    for old in $(find "$cache" -maxdepth 1 -name 'run.*' -mmin +720); do
        findmnt -rn -o TARGET | grep -q "^$old" || rm -rf "$old"
    done
    local usable=
    [ -f "$cache/base/made" ] && [ "$(head -n 1 "$cache/base/made")" = "$base_recipe" ] && usable=1
    [ -n "$usable" ] && [ -z "$(find "$cache/base/made" -mtime +7)" ] && return 0
    echo "making a Debian 12 base system in $cache/base with debootstrap"
    rm -rf "$cache/base.new"
    if ! debootstrap --variant=minbase --include=man-db,eatmydata bookworm "$cache/base.new" "$mirror" \
        >"$cache/debootstrap.log" 2>&1; then
        tail -n 5 "$cache/debootstrap.log" >&2
        rm -rf "$cache/base.new"
        if [ -n "$usable" ]; then
            echo "debootstrap failed: installing into the base system of $(sed -n 2p "$cache/base/made")"
            return 0
        fi
        chroot_reason="debootstrap failed (see $cache/debootstrap.log)"
        return 1
    fi
    echo "deb ${mirror%/debian}/debian-security bookworm-security main" \
        >>"$cache/base.new/etc/apt/sources.list"
    # Services that packages install are not started in a chroot.
    printf '#!/bin/sh\nexit 101\n' >"$cache/base.new/usr/sbin/policy-rc.d"
    chmod 755 "$cache/base.new/usr/sbin/policy-rc.d"
    # man reads the pages without man-db's index, which would be rebuilt at every install.
    rm -f "$cache/base.new/var/lib/man-db/auto-update"
    chroot "$cache/base.new" apt-get clean
    printf '%s\n' "$base_recipe" "$(date -u)" >"$cache/base.new/made"
    rm -rf "$cache/base"
    mv "$cache/base.new" "$cache/base"
}

chroot_check() {
    work=$(mktemp -d "$cache/run.XXXXXX")
    cp -a "$cache/base/." "$work/"
    cp /etc/resolv.conf "$work/etc/resolv.conf"
    mount -t proc proc "$work/proc"
    local in=(chroot "$work" env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/tmp/home LANG=C.UTF-8
        DEBIAN_FRONTEND=noninteractive)
    # A copy that lives for one run needs no sync after every file that dpkg writes.
    local apt=(eatmydata apt-get -qq -y -o Dpkg::Use-Pty=0)
    local before after
    before=$(snapshot "$work")

    step "apt install ./$(basename "$deb") in a fresh Debian 12 chroot"
    cp "$deb" "$work/tmp/"
    # Qt's packages come from the mirror; what was fetched once is kept for the next run.
    cp -l "$cache"/archives/*.deb "$work/var/cache/apt/archives/" 2>/dev/null || true
    if ! "${in[@]}" "${apt[@]}" --error-on=any update; then
        chroot_reason="apt cannot reach $mirror from the chroot"
        return
    fi
    if ! "${in[@]}" "${apt[@]}" install --no-install-recommends "/tmp/$(basename "$deb")" \
        >"$work/tmp/apt.log" 2>&1; then
        cat "$work/tmp/apt.log" >&2
        fail "apt could not install the package"
        return
    fi
    cp -l -n "$work"/var/cache/apt/archives/*.deb "$cache/archives/" 2>/dev/null || true
    ok "installed with $(grep -c '^Setting up' "$work/tmp/apt.log") packages set up"

    installed_checks "${in[*]}" "" "$work"
    local page
    page=$("${in[@]}" man -P cat tintorel-cli 2>/dev/null) || true
    grep -q 'stamp one watermark picture' <<<"$page" && ok "man tintorel-cli" || fail "man tintorel-cli"
    "${in[@]}" bash -c '. /usr/share/bash-completion/completions/tintorel-cli &&
        complete -p tintorel-cli' >/dev/null && ok "bash completion" || fail "bash completion"
    # The menu starts what Exec names, found in PATH, with the icon that Icon names.
    "${in[@]}" sh -c 'command -v tintorel && test -f /usr/share/icons/hicolor/48x48/apps/tintorel.png' \
        >/dev/null && ok "the menu entry's program and icon are in place" ||
        fail "the menu entry's program or icon is missing"
    # The window as "Open with" starts it, with a picture, on an X server of this system: the
    # chroot shares the network namespace, so Qt's xcb reaches the server's abstract socket. The
    # window must show up there.
    Xvfb -displayfd 5 -nolisten tcp -screen 0 1280x1024x24 5>"$work/tmp/display" 2>/dev/null &
    local server=$! window display shown=
    for _ in $(seq 50); do
        [ -s "$work/tmp/display" ] && break
        sleep 0.1
    done
    display=:$(cat "$work/tmp/display")
    "${in[@]}" DISPLAY="$display" timeout 20 tintorel /usr/lib/tintorel/Samples/night-sky.jpg \
        >"$work/tmp/window.log" 2>&1 &
    window=$!
    for _ in $(seq 50); do
        DISPLAY=$display xdotool search --name '^Tintorel$' >/dev/null 2>&1 && { shown=1; break; }
        sleep 0.2
    done
    kill "$window" "$server" 2>/dev/null || true
    wait "$window" "$server" 2>/dev/null || true
    if [ -n "$shown" ]; then
        ok "tintorel opens its window on an X display"
    else
        cat "$work/tmp/window.log" >&2
        fail "tintorel showed no window within ten seconds"
    fi

    step "apt remove tintorel"
    local files
    files=$("${in[@]}" dpkg -L tintorel)
    "${in[@]}" "${apt[@]}" remove tintorel >"$work/tmp/apt.log" 2>&1 ||
        { cat "$work/tmp/apt.log" >&2; fail "apt remove tintorel"; }
    "${in[@]}" dpkg-query -W -f='${db:Status-Status}\n' tintorel 2>/dev/null | grep -qv not-installed &&
        fail "dpkg still knows tintorel after apt remove"
    local remaining=() path
    while read -r path; do
        [ -e "$work$path" ] || [ -L "$work$path" ] && remaining+=("$path")
    done <<<"$files"
    # Directories such as /usr/share/man that other packages share stay; ours must go.
    local shared=
    [ ${#remaining[@]} -eq 0 ] ||
        shared=$("${in[@]}" dpkg -S "${remaining[@]}" 2>/dev/null | sed 's/.*: //') || true
    local left=()
    for path in "${remaining[@]}"; do
        [ -d "$work$path" ] && [ ! -L "$work$path" ] && grep -qxF "$path" <<<"$shared" && continue
        left+=("$path")
    done
    [ ${#left[@]} -eq 0 ] && ok "apt remove left none of the package's $(wc -l <<<"$files") paths" ||
        fail "apt remove left ${left[*]}"
    # With what it pulled in purged too, the system is as it was before the install.
    "${in[@]}" "${apt[@]}" autoremove --purge >"$work/tmp/apt.log" 2>&1 ||
        { cat "$work/tmp/apt.log" >&2; fail "apt autoremove --purge"; }
    after=$(snapshot "$work")
    if [ "$before" = "$after" ]; then
        ok "after apt autoremove --purge, no file is left of the install"
    else
        fail "files left of the install: $(diff <(echo "$before") <(echo "$after") | grep '^[<>]')"
    fi
}

# No chroot: dpkg installs into an empty root and removes again; the programs found there run on
# this system's libraries.
dpkg_root_check() {
    step "dpkg --root (NO CHROOT: $chroot_reason): apt, the mirror's Qt and the window are not checked"
    local root
    root=$(mktemp -d)
    mkdir -p "$root/var/lib/dpkg/updates" "$root/var/lib/dpkg/info" "$root/tmp"
    touch "$root/var/lib/dpkg/status"
    local force=(--force-depends --force-script-chrootless --force-not-root --log=/dev/null)
    # The dependencies are missing there on purpose: dpkg's complaints about them are not shown.
    if ! dpkg --root="$root" "${force[@]}" -i "$deb" >"$root/tmp/dpkg.log" 2>&1; then
        cat "$root/tmp/dpkg.log" >&2
        fail "dpkg could not install the package"
        rm -rf "$root"
        return
    fi
    ok "installed with dpkg --root"
    # The links in bin/ point at ../lib/tintorel, which they find inside the root too.
    installed_checks env "$root" ""
    local page
    page=$(zcat "$root/usr/share/man/man1/tintorel-cli.1.gz" | groff -man -Tutf8 2>/dev/null) || true
    grep -q 'stamp one watermark picture' <<<"$page" && ok "the manual page reads" ||
        fail "the manual page"
    rm -f "$root/tmp/dpkg.log"
    dpkg --root="$root" "${force[@]}" --purge tintorel >/dev/null || fail "dpkg --purge tintorel"
    local left
    left=$(cd "$root" && find . -mindepth 1 -not -path './var/lib/dpkg*' -not -path ./var/lib \
        -not -path ./var -not -path ./tmp)
    [ -z "$left" ] && ok "dpkg --purge left no file" || fail "dpkg --purge left $left"
    rm -rf "$root"
}

if [ "${TINTOREL_NO_CHROOT:-}" = 1 ]; then
    chroot_reason="TINTOREL_NO_CHROOT=1"
    dpkg_root_check
elif make_base; then
    # Called on its own, not in a condition, so that any failing step in it stops the check.
    chroot_check
    [ -z "$chroot_reason" ] || dpkg_root_check
else
    dpkg_root_check
fi

if [ "$failures" -gt 0 ]; then
    echo "package check: $failures failed" >&2
    exit 1
fi
if [ -n "$chroot_reason" ]; then
    echo "package check: tintorel $version passed, installed with dpkg --root only ($chroot_reason)"
else
    echo "package check: tintorel $version passed, installed and removed with apt in Debian 12"
fi
