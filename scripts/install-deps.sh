#!/usr/bin/env bash
# Installs the Debian packages the updater, its tests, its demo and its
# benchmarks need. Safe to run again: it installs only what is missing.
set -euo pipefail

packages=(
  # build
  cmake g++ make pkg-config qt6-base-dev
  libsqlite3-dev zlib1g-dev libgtest-dev libgmock-dev clang-format
  # window, screenshots, fonts
  xvfb xauth imagemagick fonts-urw-base35 fonts-dejavu-core
  # databases
  firebird3.0-server firebird-dev unixodbc unixodbc-dev odbc-postgresql tdsodbc libsqliteodbc postgresql
  # FTP servers and archive tools used as peers
  vsftpd python3 python3-pyftpdlib p7zip-full libarchive-tools zip unzip curl
  # odds and ends: extended attributes, process tools
  attr procps iproute2 openssl lftp libcap2 libpam0g libssl3 libsodium23
  # an independent Paradox reader for the tests and the demo
  pxlib1 pxlib-dev
  # archive signatures: the library that checks them, the tool that makes them
  libsodium-dev minisign
  # whole-buffer inflate and CRC-32 for entries that fit in memory
  libdeflate-dev
  # TLS on the FTP connections
  libssl-dev
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done

if [ "$(id -u)" -ne 0 ]; then SUDO=sudo; else SUDO=; fi

if [ ${#missing[@]} -gt 0 ]; then
  echo "== installing: ${missing[*]}"
  # Firebird asks for the SYSDBA password at install time; give it one
  # instead of the random one it would pick.
  echo "firebird3.0-server shared/firebird/sysdba_password/first_install password masterkey" |
    $SUDO debconf-set-selections
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get update -q
  $SUDO apt-get install -y -q --no-install-recommends "${missing[@]}"
fi

# pure-ftpd conflicts with vsftpd as an installed package: keep it unpacked
# beside the build and run it from there.
root=$(cd "$(dirname "$0")/.." && pwd)
pure="$root/build-deps/pure-ftpd"
if [ ! -x "$pure/usr/sbin/pure-ftpd" ]; then
  mkdir -p "$pure" && (cd "$pure" && apt-get download pure-ftpd >/dev/null 2>&1 && dpkg -x pure-ftpd_*.deb . && rm -f pure-ftpd_*.deb) ||
    echo "note: pure-ftpd could not be fetched; its tests will be skipped"
fi
