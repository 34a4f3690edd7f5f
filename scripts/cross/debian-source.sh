#!/bin/sh
# Fetches the source of a Debian package of this machine's release into DIR, through apt lists of
# our own made from the deb-src twins of the machine's Debian entries, so that nothing in /etc/apt
# changes. Leaves DIR/<package>_<version>.dsc and the unpacked source folder.
#
# Usage: scripts/cross/debian-source.sh PACKAGE DIR     (as root, or with sudo for apt-get)
set -eu
package=$1
dir=$2

sudo=
[ "$(id -u)" -eq 0 ] || sudo=sudo

mkdir -p "$dir"
# apt downloads as its own unprivileged user, which must be able to enter the folder.
chmod 755 "$dir"
codename=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
apt_dir=$dir/apt
mkdir -p "$apt_dir/parts" "$apt_dir/lists/partial" "$apt_dir/cache/archives/partial"
for f in /etc/apt/sources.list.d/*.sources; do
    [ -f "$f" ] || continue
    awk -v RS= -v ORS='\n\n' -v codename="$codename" \
        'tolower($0) !~ /enabled: *no/ && $0 ~ /Types:[^\n]*deb/ && $0 ~ ("Suites:[^\n]*" codename)' "$f" \
        | sed 's/^Types:.*/Types: deb-src/' >>"$apt_dir/parts/debian.sources"
done
cat /etc/apt/sources.list /etc/apt/sources.list.d/*.list 2>/dev/null \
    | grep -E "^deb[[:space:]].*[[:space:]]$codename([-/][^[:space:]]*)?[[:space:]]" \
    | sed 's/^deb\([[:space:]]\)/deb-src\1/' >"$apt_dir/parts/debian.list" || true
apt_get() {
    $sudo apt-get -o Dir::Etc::SourceList=/dev/null -o Dir::Etc::SourceParts="$apt_dir/parts" \
        -o Dir::State::Lists="$apt_dir/lists" -o Dir::Cache="$apt_dir/cache" "$@"
}
echo "fetching Debian's $package source" >&2
apt_get update -qq >&2
(cd "$dir" && apt_get source -qq "$package" >fetch.log 2>&1) \
    || { tail -20 "$dir/fetch.log" >&2; echo "apt-get source $package failed" >&2; exit 1; }
