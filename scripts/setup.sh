#!/usr/bin/env bash
# Prepares a Debian 12 machine (as root) to build and test the instrument:
# system packages, then the Pure Data source that libpd is built from.
# Safe to run again: it only does what is still missing.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
THIRD_PARTY="$ROOT/third_party"
export DEBIAN_FRONTEND=noninteractive

log() { printf '[setup] %s\n' "$*"; }

if [[ $(id -u) -ne 0 ]]; then
    echo "scripts/setup.sh installs system packages and must run as root" >&2
    exit 1
fi

# Another apt/dpkg run (for example unattended upgrades) may hold the lock.
APT_LOCK_OPTS=(-o DPkg::Lock::Timeout=600)

PACKAGES=(
    build-essential cmake ninja-build pkg-config dpkg-dev
    qt6-base-dev qt6-svg-dev
    fonts-urw-base35   # metric twins of the fonts the style sheet names
    portaudio19-dev librtmidi-dev libboost-dev
    xvfb xauth xdotool imagemagick sox
    xclip   # the headless runs read the diagnostics window's text through the clipboard
    python3   # the headless runs serve a local update feed with its http.server
    jackd2 libjack-jackd2-dev   # the server, jack_rec and jack_lsp; the tests' MIDI peer links libjack
)

apt_updated=0
apt_update() {
    if [[ $apt_updated -eq 0 ]]; then
        log "apt-get update"
        apt-get "${APT_LOCK_OPTS[@]}" update -qq
        apt_updated=1
    fi
}

missing=()
for p in "${PACKAGES[@]}"; do
    if [[ "$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null || true)" != "install ok installed" ]]; then
        missing+=("$p")
    fi
done

if [[ ${#missing[@]} -gt 0 ]]; then
    # Without this, jackd2's post-install asks whether to enable real-time limits.
    echo "jackd2 jackd/tweak_rt_limits boolean false" | debconf-set-selections
    apt_update
    log "installing: ${missing[*]}"
    apt-get "${APT_LOCK_OPTS[@]}" install -y -qq "${missing[@]}"
else
    log "system packages present"
fi

# --- Pure Data source for libpd ---------------------------------------------

# Adds deb-src entries mirroring the configured deb entries (deb822 and
# one-line formats), so that `apt-get source` can find Debian's puredata.
enable_deb_src() {
    local added=0
    local list=/etc/apt/sources.list.d/wendle-deb-src.sources
    if [[ ! -e $list ]]; then
        local f
        for f in /etc/apt/sources.list.d/*.sources; do
            [[ -e $f && $f != "$list" ]] || continue
            # Keep only stanzas of type deb, retyped as deb-src.
            awk -v RS= -v ORS='\n\n' '/(^|\n)Types:[^\n]*(^|[ \t])deb([ \t]|\n|$)/ && !/(^|\n)Enabled:[ \t]*no/ {
                    sub(/(^|\n)Types:[^\n]*/, "\nTypes: deb-src"); sub(/^\n/, ""); print
                }' "$f" >>"$list.tmp"
        done
        if [[ -s $list.tmp ]]; then
            mv "$list.tmp" "$list"
            added=1
        else
            rm -f "$list.tmp"
        fi
    fi
    local legacy=/etc/apt/sources.list.d/wendle-deb-src.list
    if [[ ! -e $legacy && -f /etc/apt/sources.list ]] && grep -qE '^[[:space:]]*deb[[:space:]]' /etc/apt/sources.list; then
        sed -nE 's/^[[:space:]]*deb([[:space:]])/deb-src\1/p' /etc/apt/sources.list >"$legacy"
        added=1
    fi
    return $((1 - added))
}

if [[ -e "$THIRD_PARTY/puredata/src/z_libpd.c" ]]; then
    log "Pure Data source present: $(readlink "$THIRD_PARTY/puredata")"
else
    if ! apt-cache showsrc puredata >/dev/null 2>&1 || [[ -z "$(apt-cache showsrc puredata 2>/dev/null)" ]]; then
        if enable_deb_src; then
            log "enabled deb-src entries"
        fi
        apt_updated=0
        apt_update
    fi
    mkdir -p "$THIRD_PARTY"
    work="$(mktemp -d "$THIRD_PARTY/.fetch.XXXXXX")"
    trap 'rm -rf "$work"' EXIT
    log "fetching the puredata source package"
    # The _apt user cannot write into a root-owned temporary folder.
    (cd "$work" && apt-get "${APT_LOCK_OPTS[@]}" -o APT::Sandbox::User=root -qq source puredata)
    dir="$(find "$work" -mindepth 1 -maxdepth 1 -type d -name 'puredata-*' | head -n 1)"
    if [[ -z $dir || ! -e $dir/src/z_libpd.c ]]; then
        echo "apt-get source puredata did not unpack a tree with src/z_libpd.c" >&2
        exit 1
    fi
    name="$(basename "$dir")"
    rm -rf "${THIRD_PARTY:?}/$name"
    mv "$dir" "$THIRD_PARTY/$name"
    ln -sfn "$name" "$THIRD_PARTY/puredata"
    log "Pure Data source in third_party/$name (third_party/puredata)"
fi
