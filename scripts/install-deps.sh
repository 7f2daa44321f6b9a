#!/usr/bin/env bash
# Installs every build, test, demo, benchmark and fuzzing dependency from
# Debian's packages. Idempotent: it only calls apt-get when a package is
# missing, and runs 'apt-get update' only then.
set -euo pipefail

packages=(
    build-essential cmake pkg-config dpkg-dev
    qt6-base-dev qt6-base-dev-tools qt6-tools-dev qt6-tools-dev-tools qt6-l10n-tools
    qt6-translations-l10n libqt6svg6
    zlib1g-dev libtomcrypt-dev libtommath-dev libcurl4-openssl-dev libzstd-dev
    nginx-light vsftpd tinyproxy openssl curl ca-certificates
    xvfb x11-apps imagemagick fonts-dejavu-core
    gzip coreutils procps psmisc zstd rsync
    clang libfuzzer-14-dev
)

missing=()
for p in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q '^install ok installed$'; then
        missing+=("$p")
    fi
done

if [ ${#missing[@]} -eq 0 ]; then
    exit 0
fi

SUDO=""
if [ "$(id -u)" -ne 0 ]; then
    SUDO="sudo"
fi

echo "Installing missing packages: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"

# Package installs may start services; the tests run their own copies on
# free loopback ports, so stop the system-wide ones again.
for svc in nginx vsftpd tinyproxy; do
    if command -v systemctl >/dev/null 2>&1 && systemctl is-active --quiet "$svc" 2>/dev/null; then
        $SUDO systemctl stop "$svc" || true
    elif command -v service >/dev/null 2>&1; then
        $SUDO service "$svc" stop >/dev/null 2>&1 || true
    fi
done
