# tools/newer.sh: CPython 3.14 and 3.15 from Debian's unstable suite, in a root of their own (sourced)
# shellcheck shell=bash
#
# pyenv here has no 3.14 or 3.15, and Debian's packages of them need a newer C
# library than this machine's: they run in a minimal Debian unstable root made
# by debootstrap once (about two minutes) and kept in the cache directory
# (about 1.1 GB, 1.5 GB with its two venvs). The working tree is copied in, then
# built and tested there through chroot.
# shellcheck disable=SC2034 # used by the commands that source this
NEWER_VERSIONS=(3.14 3.15)
NEWER_ROOT="${TARVEL_NEWER_ROOT:-${XDG_CACHE_HOME:-$HOME/.cache}/tarvel-native/sid-root}"
NEWER_PACKAGES=python3.14,python3.14-dev,python3.14-venv,python3.15,python3.15-dev,python3.15-venv,g++,cmake,ninja-build,strace

# debootstrap and chroot live in /usr/sbin and /sbin, which an ordinary user's
# PATH may leave out.
for sbin in /usr/sbin /sbin; do
    case ":$PATH:" in *":$sbin:"*) ;; *) PATH="$PATH:$sbin" ;; esac
done
unset sbin

# Makes the root when it is missing. Prints why it cannot be had, or nothing.
newer_root_problem() {
    [ -x "$NEWER_ROOT/usr/bin/python3.14" ] && [ -x "$NEWER_ROOT/usr/bin/python3.15" ] && return 0
    [ "$(id -u)" = 0 ] || { echo "debootstrap and chroot need root"; return 0; }
    if ! command -v debootstrap >/dev/null 2>&1; then
        say "installing debootstrap"
        { apt-get update -qq && apt-get install -y -qq debootstrap; } >/dev/null 2>&1 ||
            { echo "debootstrap is missing and apt-get could not install it (apt-get install debootstrap)"; return 0; }
        command -v debootstrap >/dev/null 2>&1 ||
            { echo "debootstrap was installed but is not on PATH ($PATH)"; return 0; }
    fi
    local mirror
    # the first mirror of a line in use: a commented-out line may name a snapshot archive
    mirror="$(cat /etc/apt/sources.list /etc/apt/sources.list.d/* 2>/dev/null |
        grep -v '^[[:space:]]*#' | grep -oE 'https?://[^ ]+/debian' | head -n 1 || true)"
    [ -n "$mirror" ] || { echo "apt's sources name no Debian mirror"; return 0; }
    say "making a Debian unstable root with CPython 3.14 and 3.15 in $NEWER_ROOT (about 2 minutes and 1.1 GB, once)"
    mkdir -p "$(dirname "$NEWER_ROOT")"
    rm -rf "$NEWER_ROOT.partial"
    if ! debootstrap --variant=minbase --include="$NEWER_PACKAGES" sid "$NEWER_ROOT.partial" "$mirror" \
        >"$NEWER_ROOT.log" 2>&1; then
        echo "debootstrap failed (see $NEWER_ROOT.log)"
        return 0
    fi
    mv "$NEWER_ROOT.partial" "$NEWER_ROOT"
}

# Runs a shell command inside the root, with /proc mounted for the time of it
# and this machine's certificates (a proxy's authority included) for pip.
in_newer_root() {
    cp /etc/ssl/certs/ca-certificates.crt "$NEWER_ROOT/etc/ssl/certs/host-ca-certificates.crt"
    cp /etc/resolv.conf "$NEWER_ROOT/etc/resolv.conf"
    local mounted=0
    if ! mountpoint -q "$NEWER_ROOT/proc"; then
        mount -t proc proc "$NEWER_ROOT/proc"
        mounted=1
    fi
    local status=0 chroot
    chroot="$(command -v chroot)"
    env -u PIP_FIND_LINKS HOME=/root PATH=/usr/local/bin:/usr/bin:/bin \
        PIP_CERT=/etc/ssl/certs/host-ca-certificates.crt \
        SSL_CERT_FILE=/etc/ssl/certs/host-ca-certificates.crt \
        "$chroot" "$NEWER_ROOT" /bin/sh -c "$1" || status=$?
    [ "$mounted" = 0 ] || umount "$NEWER_ROOT/proc"
    return "$status"
}

# Copies the working tree (tracked files and untracked ones git does not
# ignore) to /src/tarvel-native in the root, keeping the build folder there.
copy_into_newer_root() {
    local src="$NEWER_ROOT/src/tarvel-native"
    mkdir -p "$src"
    find "$src" -mindepth 1 -maxdepth 1 ! -name build -exec rm -rf {} +
    (cd "$ROOT" && git ls-files -z --cached --others --exclude-standard |
        tar --null --ignore-failed-read -T - -cf -) | tar -xf - -C "$src"
}

# newer_venv VERSION EXTRAS [PIP OPTIONS...]: make_venv's counterpart inside the root.
newer_venv() {
    local version="$1" extras="$2" venv="/venv$1"
    shift 2
    local digest
    digest="$(source_digest) $extras $*"
    if [ -f "$NEWER_ROOT$venv/.tarvel-build" ] && [ "$(cat "$NEWER_ROOT$venv/.tarvel-build")" = "$digest" ]; then
        say "CPython $version: the installed build is current"
        return 0
    fi
    say "CPython $version: building and installing the modules${extras:+ with $extras} (a minute or two)"
    in_newer_root "[ -x $venv/bin/python ] || python$version -m venv $venv
        rm -f $venv/.tarvel-build
        cd /src/tarvel-native && $venv/bin/python -m pip install --quiet --disable-pip-version-check $* '.$extras'"
    echo "$digest" >"$NEWER_ROOT$venv/.tarvel-build"
}
