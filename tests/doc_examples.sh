#!/bin/sh
# Runs the documented shell examples, so that they cannot rot.
#
#   doc_examples.sh SOURCE_DIR BUILD_DIR
#
# Examples are the ```sh blocks of README.md and docs/*.md and the .EX/.EE
# blocks of man/pdsplit.1 (escapes decoded by groff). A block is run when a command in
# it is pdsplit or gnuplot (such a block must not build or install anything);
# blocks with gnuplot are skipped when gnuplot is not installed. ```bash blocks (batch-system scripts) are only checked with
# bash -n.
#
# Each block runs with bash -e in a fresh scratch folder that is at once a
# calculation folder (DOSCAR: the 8-atom sample of tests/data, the file that
# examples/tio holds xz-compressed), a clone (a copy of examples/, and
# build/pdsplit) and a folder of runs (runs/ok1, runs/ok2: samples of
# tests/data; runs/broken: a sample cut after its total block). Every DOSCAR
# is a file the repository ships, unchanged but for the cut. The build tree is installed into
# a scratch prefix that stands for /usr (and /usr/local, ~/.local) and is on
# PATH. A block passes when it exits 0, leaves examples/ as it is, and, if it
# writes failed.txt, lists runs/broken there and nothing else while the good
# runs got their iDOS. Exit 77 (skipped) without groff.
set -u
src=$1
build=$2
cmake=${CMAKE_COMMAND:-cmake}
command -v groff >/dev/null || { echo "SKIP: groff is not installed"; exit 77; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix
"$cmake" --install "$build" --prefix "$prefix" >"$work/install.log" 2>&1 ||
    { cat "$work/install.log"; echo "FAIL: cmake --install $build"; exit 1; }
# Absolute folders only: find -execdir refuses a relative one on PATH.
PATH=$prefix/bin:/usr/local/bin:/usr/bin:/bin
GNUTERM=dumb # no display: `gnuplot -p` draws text
export PATH GNUTERM
data=$src/tests/data

# Blocks into $work/blocks/<source>-<line>.{sh,bash}, a / of the source's
# path as a colon.
mkdir "$work/blocks"
for page in README.md $(cd "$src" && echo docs/*.md); do
    awk -v out="$work/blocks" -v page="$(printf %s "$page" | tr / :)" '
        /^```(sh|bash)$/ { f = sprintf("%s/%s-%03d.%s", out, page, NR, substr($0, 4)); next }
        /^```/ { f = ""; next }
        f != "" { print > f }' "$src/$page"
done
awk -v out="$work/blocks" '
    /^\.EX$/ { f = sprintf("%s/pdsplit.1-%03d.roff", out, NR); print ".nf" > f; next }
    /^\.EE$/ { f = ""; next }
    f != "" { print > f }' "$src/man/pdsplit.1"
for f in "$work"/blocks/*.roff; do
    # without the blank lines that fill groff's page
    groff -Tascii -P-cbou "$f" | awk 'NF { for (; n > 0; n--) print ""; print; next } { n++ }' >"${f%.roff}.sh"
done

# A scratch folder as described above.
setup() {
    mkdir -p "$1/build" "$1/runs/ok1" "$1/runs/ok2" "$1/runs/broken"
    cp "$data/nonspin-lm-8atoms.DOSCAR" "$1/DOSCAR"
    cp -R "$src/examples" "$1/examples"
    ln -s "$build/pdsplit" "$1/build/pdsplit"
    cp "$data/spin-l-1atom.DOSCAR" "$1/runs/ok1/DOSCAR"
    cp "$data/nonspin-lm-4atoms-nedos10.DOSCAR" "$1/runs/ok2/DOSCAR"
    head -n 16 "$data/nonspin-lm-4atoms-nedos10.DOSCAR" >"$1/runs/broken/DOSCAR"
}

show() { awk '{ print "    " $0 }' "$@"; } # indented, each line ended
# calls WORDS: the block being looked at runs one of WORDS (an ERE alternation).
calls() { grep -Eq "(^|[[:space:];&|(])($1)([[:space:]]|\$)" "$work/code"; }

status=0
ran=""
for block in "$work"/blocks/*.sh "$work"/blocks/*.bash; do
    [ -f "$block" ] || continue
    name=$(basename "$block" | tr : / | sed 's/-0*\([0-9]*\)\.[a-z]*$/ line \1/')
    case $block in *.bash)
        bash -n "$block" || { echo "FAIL: $name: bash -n"; status=1; }
        continue ;;
    esac
    # commands without comments; `python3 -m pdsplit` (the Python module, not
    # installed here) is no call of the program
    sed -E 's/(^|[[:space:]])#.*//; s/-m pdsplit([[:space:]]|$)/\1/g' "$block" >"$work/code"
    calls 'pdsplit|gnuplot' || continue
    if calls 'apt-get|apt|sudo|cmake|cpack'; then
        echo "FAIL: $name mixes building or installing with examples: make it two blocks"
        status=1
        continue
    fi
    if calls gnuplot && ! command -v gnuplot >/dev/null; then
        echo "SKIP: $name (no gnuplot)"
        continue
    fi
    dir=$work/run
    rm -rf "$dir" && setup "$dir"
    sed -E "s#(/usr(/local)?|~/\.local)/share/pdsplit/#$prefix/share/pdsplit/#g" "$block" >"$work/block"
    ran="$ran ${name%% *}"
    if ! (cd "$dir" && bash -e "$work/block") >"$work/log" 2>&1; then
        echo "FAIL: $name exited non-zero:"; show "$block"; tail -n 20 "$work/log" | show; status=1
    fi
    diff -r "$src/examples" "$dir/examples" >/dev/null ||
        { echo "FAIL: $name changed files of examples/"; status=1; }
    if [ -f "$dir/failed.txt" ]; then
        if [ "$(grep -c . "$dir/failed.txt")" != 1 ] || ! grep -q 'runs/broken$' "$dir/failed.txt" ||
            [ ! -f "$dir/runs/ok1/iDOS" ] || [ ! -f "$dir/runs/ok2/iDOS" ]; then
            echo "FAIL: $name: failed.txt should list runs/broken alone:"; show "$dir/failed.txt"; status=1
        fi
    fi
done
counts=""
for source in README.md docs/command-line.md docs/files.md docs/recipes.md pdsplit.1; do
    n=$(printf '%s\n' $ran | grep -c "^$source\$")
    [ "$n" -gt 0 ] || { echo "FAIL: no example of $source ran"; status=1; }
    counts="${counts:+$counts, }$source: $n"
done
[ $status = 0 ] && echo "PASS: documented examples ran ($counts)"
exit $status
