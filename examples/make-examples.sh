#!/bin/sh
# Runs pdsplit on the two example DOSCAR files and keeps every output file
# next to its DOSCAR:
#
#   examples/        4 atoms, non-spin-polarised, l,m-projected, 10 grid points
#   examples/spin/   1 atom, spin-polarised, l-projected, 301 grid points
#
# Usage: examples/make-examples.sh [path/to/pdsplit]          (default: build/pdsplit)
#        examples/make-examples.sh --check path/to/pdsplit
#            makes the outputs in a scratch folder and compares them with the
#            files kept here; exits 1 when any differs or is missing.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
check=no
if [ "${1:-}" = --check ]; then check=yes; shift; fi
bin=${1:-$here/../build/pdsplit}
bin=$(cd "$(dirname "$bin")" && pwd)/$(basename "$bin")
[ -x "$bin" ] || { echo "no pdsplit at $bin; build it first" >&2; exit 1; }

outputs=". iDOS TDOS iLDOS001 iLDOS002 iLDOS003 iLDOS004 iSUMDOS SUM12
spin iDOS TDOS iLDOS001"

if [ $check = yes ]; then
    work=$(mktemp -d)
    trap 'rm -rf "$work"' EXIT
    mkdir "$work/spin"
    cp "$here/DOSCAR" "$work/"
    cp "$here/spin/DOSCAR" "$work/spin/"
    cp "$0" "$work/make-examples.sh"
    sh "$work/make-examples.sh" "$bin" >/dev/null
    bad=0
    printf '%s\n' "$outputs" | while read -r dir files; do
        for f in $files; do
            cmp "$here/$dir/$f" "$work/$dir/$f" || exit 1
        done
    done || bad=1
    [ $bad = 0 ] || { echo "FAIL: the kept example outputs differ from what pdsplit writes now;" \
        "run examples/make-examples.sh to renew them"; exit 1; }
    echo "PASS: every kept example output equals what pdsplit writes now"
    exit 0
fi

run() { # folder, arguments...
    dir=$1; shift
    echo "== ($dir) pdsplit $*"
    (cd "$here/$dir" && "$bin" "$@" >/dev/null) || { echo "pdsplit $* failed in $dir" >&2; exit 1; }
}

for dir in . spin; do
    # Old outputs go first, so that nothing stale is kept.
    (cd "$here/$dir" && rm -f iDOS TDOS iLDOS[0-9]* iSUMDOS SUM12)
    run "$dir" -t               # iDOS: energies minus the Fermi level
    run "$dir" -ft TDOS         # TDOS: energies as in DOSCAR
    run "$dir" -a               # iLDOS001 ...: every atom
    cp "$here/$dir/iLDOS001" "$here/$dir/.a-iLDOS001"
    run "$dir" -p 1             # iLDOS001 again, from the one-atom operation
    cmp -s "$here/$dir/iLDOS001" "$here/$dir/.a-iLDOS001" ||
        { echo "-a and -p 1 disagree in $dir" >&2; exit 1; }
    rm -f "$here/$dir/.a-iLDOS001"
done

# The sums need at least two atoms: only the 4-atom example has them.
run . -s1 1 2                   # iSUMDOS: atoms 1 to 2
run . -s2 1 2 SUM12             # SUM12: the listed atoms 1 and 2
cmp -s "$here/iSUMDOS" "$here/SUM12" || { echo "-s1 1 2 and -s2 1 2 disagree" >&2; exit 1; }

ls -l "$here" "$here/spin"
