#!/usr/bin/env bash
# Installs Wine's 32-bit half (wine32:i386), which runs the 32-bit Windows
# build's tests (Debian 12, as root, with the i386 architecture added and the
# package lists updated). Exits non-zero, having said why, when it cannot be
# installed without removing or downgrading an installed package.
#
# Multiarch installs an i386 library only at the version of its installed
# amd64 twin. When the i386 index of the security suite is missing or behind
# the amd64 one, an amd64 library taken from a security update has no i386
# twin in the index, and the resolver can only offer to downgrade it (and
# remove what depends on the newer one). The archive still holds the twin: the
# security pool keeps every architecture's build side by side, at the amd64
# file's path with _i386 in its name. This script fetches those twins with
# apt's own downloader and hands them to apt beside wine32, so each i386
# library is installed at its amd64 twin's version.
set -euo pipefail

# Installs the given packages and .deb files, after a simulation shows that
# nothing installed would be removed or downgraded.
install_without_losses() {
  local plan
  if ! plan=$(apt-get install -s --no-install-recommends "$@" 2>&1); then
    printf '%s\n' "$plan" | grep -E '^ |^E:' | head -20 >&2
    return 1
  fi
  if printf '%s\n' "$plan" | grep -qE 'will be (REMOVED|DOWNGRADED)'; then
    echo "installing $* would remove or downgrade installed packages:" >&2
    printf '%s\n' "$plan" | sed -n '/will be \(REMOVED\|DOWNGRADED\)/,/^[^ ]/p' >&2
    return 1
  fi
  apt-get install -y --no-install-recommends "$@"
}

# The i386 packages wine32 needs, by name, without the architecture.
wine32_closure() {
  apt-cache depends --recurse --no-recommends --no-suggests --no-conflicts \
    --no-breaks --no-replaces --no-enhances wine32:i386 |
    sed -n 's/^\([a-z0-9][^ :<]*\)\(:i386\)\{0,1\}$/\1/p' | sort -u
}

# The installed amd64 libraries of wine32's closure whose version the index
# knows for no i386 package, one "name version" a line.
twinless_libraries() {
  local closure
  closure=$(wine32_closure)
  # shellcheck disable=SC2046
  join -v 1 \
    <(dpkg-query -W -f='${Package} ${Status} ${Multi-Arch} ${Version}\n' \
      $(sed 's/$/:amd64/' <<<"$closure") 2>/dev/null |
      awk '$2 $3 $4 == "installokinstalled" && $5 == "same" { print $1 "=" $6 }' | sort) \
    <(apt-cache madison $(sed 's/$/:i386/' <<<"$closure") 2>/dev/null |
      awk -F' *[|] *' '{ sub(/^ */, "", $1); sub(/:i386$/, "", $1); print $1 "=" $2 }' | sort) |
    tr '=' ' '
}

# Fetches into $1 the i386 twin of every library twinless_libraries names;
# prints each file.
fetch_missing_twins() {
  local dir=$1 package version uri file
  while read -r package version; do
    uri=$(apt-get download --print-uris "$package:amd64=$version" 2>/dev/null |
      sed -n "s/^'\([^']*\)_amd64\.deb'.*/\1_i386.deb/p")
    if [ -z "$uri" ]; then
      echo "no archive location known for $package $version: its i386 twin cannot be fetched" >&2
      return 1
    fi
    file="$dir/${uri##*/}"
    /usr/lib/apt/apt-helper download-file "$uri" "$file" >&2 || return 1
    # A file that is not that package at that version for i386 is no twin.
    [ "$(dpkg-deb -f "$file" Package Version Architecture | tr '\n' ' ')" = \
      "Package: $package Version: $version Architecture: i386 " ] || {
      echo "$uri is not $package $version for i386" >&2
      return 1
    }
    echo "$package $version: i386 twin fetched from the archive, absent from the i386 index" >&2
    printf '%s\n' "$file"
  done < <(twinless_libraries)
}

install_without_losses wine32:i386 && exit 0

echo "wine32:i386 cannot be installed from the index as it stands; fetching the i386 twins" \
  "the index lacks" >&2
twins=$(mktemp -d)
trap 'rm -rf "$twins"' EXIT
# apt's downloader drops to its own user, which must be able to write here.
chown _apt "$twins" 2>/dev/null || true
fetch_missing_twins "$twins" >"$twins/list" || exit 1
if [ ! -s "$twins/list" ]; then
  echo "every amd64 library wine32 needs has its i386 twin in the index: nothing to fetch" >&2
  exit 1
fi
mapfile -t files <"$twins/list"
install_without_losses "${files[@]}" wine32:i386
