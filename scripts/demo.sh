#!/bin/sh
# Installs what is missing, builds, and runs the supervisor in a fresh demo directory, then shows
# its log converted to UTF-8.
set -eu
cd "$(dirname "$0")/.."
scripts/deps.sh
scripts/build.sh build >/dev/null

demo=$(pwd)/demo
rm -rf "$demo"
mkdir -p "$demo"
cp build/localcashserver "$demo/"

echo "== Starting $demo/localcashserver"
"$demo/localcashserver" || echo "(exit status $?)"

echo "== $demo/log/localserver.log (Windows-1251, shown as UTF-8)"
iconv -f CP1251 -t UTF-8 "$demo/log/localserver.log"
