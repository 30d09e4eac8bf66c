#!/usr/bin/env bash
# The Makefile's targets on a machine that may not have make yet: what the
# targets need, make among it, is installed first (scripts/install-deps).
#
#   ./make [TARGET...] [VARIABLE=VALUE...]     e.g. ./make demo, ./make test
#
# ./make run, ./make try and ./make doctor build with make and then run the
# program (or scripts/try, or the doctor) themselves: make ends with its own
# status 2 whenever a recipe fails, and a user of any wants the program's (1
# when no controller is found, 130 after Ctrl-C).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
cd "$here"

# The first make on PATH that is not this script (with . on PATH it would be).
# The candidates are read in full before choosing: a reader that stopped at the
# first one would leave `type` writing into a closed pipe, and under pipefail
# its SIGPIPE (status 141) would end this script now and then.
find_make() {
    make_program=
    local candidates candidate
    mapfile -t candidates < <(type -a -P make || true)
    for candidate in "${candidates[@]}"; do
        [ "$candidate" -ef "$here/make" ] && continue
        make_program=$candidate
        return
    done
}

# The same sets as the Makefile's deps, deps-package and deps-all, installed
# here as well: one install covers everything the targets need, and a user who
# cannot install gets one list and status 1 (through make it would be make's 2).
build_set=
package_set=
all_set=
for argument in "$@"; do
    case $argument in
    *=* | -*) ;;
    package | deps-package) package_set=package ;;
    build | demo | try | run | doctor | deps | test-asan | test-tsan | clean) build_set=build ;;
    *) all_set=all ;;
    esac
done
if [ -n "$all_set" ]; then
    scripts/install-deps all
elif [ -n "$build_set$package_set" ]; then
    scripts/install-deps $build_set $package_set
else
    scripts/install-deps build
fi
find_make
[ -n "$make_program" ] || {
    echo "./make: make is still missing" >&2
    exit 1
}

if [ "${1:-}" = run ] || [ "${1:-}" = try ] || [ "${1:-}" = doctor ]; then
    target=$1
    shift
    build=${BUILD:-build}
    only_settings=yes
    for argument in "$@"; do
        case $argument in
        BUILD=*) build=${argument#BUILD=} ;;
        *=* | -*) ;;
        *) only_settings=no ;;
        esac
    done
    if [ "$only_settings" = yes ]; then
        "$make_program" build "$@"
        [ "$target" = try ] && exec scripts/try "$build"
        [ "$target" = doctor ] && exec "$build/bin/quivertap-doctor"
        exec "$build/bin/quivertap"
    fi
    set -- "$target" "$@"
fi
exec "$make_program" "$@"
