#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need; quiet and
# idempotent (nothing is done when everything is present).
set -euo pipefail
packages=(
  g++ cmake ninja-build pkg-config
  libgtest-dev libgmock-dev libbenchmark-dev
  libsqlite3-dev sqlite3 libjpeg62-turbo-dev
  unixodbc unixodbc-dev libsqliteodbc
  qt6-base-dev fonts-dejavu-core
  python3 python3-aiosmtpd
  postfix dovecot-pop3d tzdata
  iproute2 util-linux procps
  curl
  time
  dpkg-dev binutils file mount
  desktop-file-utils systemd
  xvfb xdotool imagemagick
)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "installing: ${missing[*]}"
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  export DEBIAN_FRONTEND=noninteractive
  # postfix and dovecot are only programs for the tests, which run instances
  # of their own: "Local only", and nothing of the machine's mail set up
  # beyond that (the packages' own services are not started in CI, and the
  # tests never use them).
  printf '%s\n' "postfix postfix/main_mailer_type select Local only" \
    "postfix postfix/mailname string localhost.localdomain" | $sudo debconf-set-selections
  $sudo apt-get update -qq
  $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
