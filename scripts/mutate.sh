#!/bin/sh
# The mutation check: applies each mutation of scripts/mutations.txt to a copy of the tree, rebuilds
# incrementally and runs the tests until one fails, then prints killed or survived for each and a
# table per folder. It runs for an hour or more, at low priority so that the machine stays usable.
# Usage: scripts/mutate.sh [options] [ID|FOLDER ...]; --help lists the options.
set -eu
cd "$(dirname "$0")/.."

case " $* " in
*" --compare "* | *" --check "* | *" -h "* | *" --help "*) ;;
*) scripts/deps.sh ccache ;;
esac
exec nice -n 15 ionice -c 3 python3 scripts/mutate.py "$@"
