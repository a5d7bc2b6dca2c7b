#!/bin/sh
# Installs the build tree into a scratch prefix and checks what a user gets.
#
#   install_test.sh BUILD_DIR files     binary, manual page, bash completion,
#                                       plot script, licence
#   install_test.sh BUILD_DIR manpage   the installed page formats without
#                                       warnings (exit 77 = skipped when
#                                       groff is not installed)
set -u
build=$1
mode=$2
cmake=${CMAKE_COMMAND:-cmake}

prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT
fail() { echo "FAIL: $*"; exit 1; }

"$cmake" --install "$build" --prefix "$prefix" >"$prefix/install.log" 2>&1 ||
    { cat "$prefix/install.log"; fail "cmake --install $build"; }

bin=$prefix/bin/pdsplit
page=$prefix/share/man/man1/pdsplit.1
compl=$prefix/share/bash-completion/completions/pdsplit
plot=$prefix/share/pdsplit/plot.gp
licence=$prefix/share/doc/pdsplit/copyright

case $mode in
files)
    for f in "$bin" "$page" "$compl" "$plot" "$licence"; do
        [ -f "$f" ] || fail "not installed: ${f#"$prefix"/}"
    done
    [ -x "$bin" ] || fail "bin/pdsplit is not executable"
    "$bin" -h >"$prefix/help.txt" || fail "installed pdsplit -h exited $?"
    grep -q '::: HELP :::' "$prefix/help.txt" || fail "installed pdsplit -h shows no help screen"

    # The completion offers exactly the f spellings for "-f".
    if command -v bash >/dev/null; then
        got=$(bash -c '. "$1"; COMP_WORDS=(pdsplit -f); COMP_CWORD=1; _pdsplit; echo "${COMPREPLY[*]}"' sh "$compl") ||
            fail "sourcing the completion failed"
        [ "$got" = "-ft -fa -fp -fs1 -fs2" ] || fail "completion of '-f' gave '$got'"
        # An output name is never DOSCAR, with or without bash-completion's
        # _filedir (here a stand-in that offers every file).
        mkdir "$prefix/run" && : >"$prefix/run/DOSCAR" && : >"$prefix/run/DOSCAR1"
        for filedir in : '_filedir() { COMPREPLY+=($(compgen -f -- "$cur")); }'; do
            got=$(cd "$prefix/run" && bash -c '. "$1"; eval "$2"; COMP_WORDS=(pdsplit -p 1 D); COMP_CWORD=3
                _pdsplit; echo "${COMPREPLY[*]}"' sh "$compl" "$filedir")
            [ "$got" = DOSCAR1 ] || fail "completion of an output name 'D' gave '$got' ($filedir)"
        done
    fi
    echo "PASS: bin/pdsplit, share/man/man1/pdsplit.1, share/bash-completion/completions/pdsplit," \
        "share/pdsplit/plot.gp and share/doc/pdsplit/copyright installed"
    ;;
manpage)
    command -v groff >/dev/null || { echo "SKIP: groff is not installed"; exit 77; }
    warnings=$(groff -ww -man -z "$page" 2>&1)
    [ -z "$warnings" ] || { echo "$warnings"; fail "groff warns about the installed page"; }
    # Every option spelling appears in the rendered page.
    text=$(groff -man -Tascii -P-cbou "$page" 2>&1) || fail "groff could not render the page"
    for o in -h -t -ft -tf -a -fa -af -p -fp -pf -s1 -fs1 -s1f -s2 -fs2 -s2f; do
        printf '%s\n' "$text" | grep -q -e "$o[ ,|}]" || fail "option $o missing from the rendered page"
    done
    for s in NAME SYNOPSIS DESCRIPTION OUTPUT FILES 'EXIT STATUS' EXAMPLES; do
        printf '%s\n' "$text" | grep -q "^$s\$" || fail "section $s missing from the rendered page"
    done
    echo "PASS: groff -ww -man -z printed nothing; all 16 option spellings and sections rendered"
    ;;
*)
    fail "unknown mode '$mode'"
    ;;
esac
