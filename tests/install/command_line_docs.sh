#!/usr/bin/env bash
# Installs the build into a fresh prefix and checks the manual page and the
# bash completion: both where man and bash-completion look, the page renders
# without warnings, and every command, subcommand and option that a --help
# lists (and every fixed set of values it names) is in the page, in the
# section of its command, and among the completion's candidates. The lists
# come from the help texts, so an option added later without its page entry
# or completion fails here.
set -euo pipefail
build_dir=$1
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT

cmake --install "$build_dir" --prefix "$prefix" >/dev/null 2>&1
fail() { echo "FAIL: $*" >&2; exit 1; }

midwire="$prefix/bin/midwire"
page="$prefix/share/man/man1/midwire.1"
completion="$prefix/share/bash-completion/completions/midwire"
[ -f "$page" ] || fail "manual page not installed in share/man/man1"
[ -f "$completion" ] || fail "bash completion not installed in share/bash-completion/completions"

if command -v man >/dev/null; then
    found=$(MANPATH="$prefix/share/man" man -w midwire 2>/dev/null) || fail "man does not find the page"
    [ "$found" = "$page" ] || fail "man finds $found, not the installed page"
fi
if command -v groff >/dev/null; then
    warnings=$(groff -man -ww -z "$page" 2>&1)
    [ -z "$warnings" ] || fail "the page renders with warnings: $warnings"
else
    echo "SKIP: groff is not installed; the page's rendering is not checked"
fi

# The page's text with the escapes that matter for names undone (\- is a
# hyphen, \f switches fonts).
text=$(sed -e 's/\\-/-/g' -e 's/\\f[BIRP]//g' -e 's/\\&//g' "$page")
version=$("$midwire" --version)
grep -q "^\.TH MIDWIRE 1 .*\"$version\"" <<<"$text" || fail "the page is not of $version"
# The text of a command's subsection, up to the next one.
section() { awk -v head=".SS \"midwire $1" 'index($0, head) == 1 { on = 1; next } /^\.S[SH]/ { on = 0 } on' <<<"$text"; }
# The tags of its list of options (the line after each .TP).
tags() { awk '/^\.TP/ { getline; print }' <<<"$1"; }
has_word() { grep -qE -- "(^|[^[:alnum:]-])$2([^[:alnum:]-]|\$)" <<<"$1"; }

# shellcheck source=/dev/null
source "$completion"
# The candidates for the last of the given words, one a line.
complete_words() {
    COMP_WORDS=("$@")
    COMP_CWORD=$(($# - 1))
    COMP_LINE="$*"
    COMP_POINT=${#COMP_LINE}
    _midwire
    [ ${#COMPREPLY[@]} -eq 0 ] || printf '%s\n' "${COMPREPLY[@]}"
}
offers() { grep -qxF -- "$2" <<<"$1"; }

commands=$("$midwire" --help | sed -n 's/^  \([a-z][a-z0-9-]*\)  .*/\1/p')
[ "$(wc -l <<<"$commands")" -ge 9 ] || fail "too few commands in midwire --help: $commands"
top=$(complete_words midwire "")
for cmd in $commands; do
    offers "$top" "$cmd" || fail "completion does not offer the command $cmd"
    grep -q "^\.SS \"midwire $cmd" <<<"$text" || fail "the page has no section for $cmd"
    help=$("$midwire" "$cmd" --help)
    body=$(section "$cmd")
    entries=$(tags "$body")

    options=$(grep -oE -- '(^|[^[:alnum:]-])--?[a-z][a-z0-9-]*' <<<"$help" | sed 's/^[^-]*//' | sort -u)
    candidates=$(complete_words midwire "$cmd" -)
    for option in $options; do
        has_word "$entries" "$option" || fail "the page's $cmd section has no entry for $option"
        offers "$candidates" "$option" || fail "completion does not offer $cmd $option"
    done

    # Subcommands: the lower-case word after 'midwire CMD' in the usage
    # lines (a|b|c for a choice of them).
    subs=$(sed -n "s/^\(Usage:\)\{0,1\} *midwire $cmd \([a-z][a-z0-9|-]*\).*/\2/p" <<<"$help" | tr '|' '\n' | sort -u)
    first=$(complete_words midwire "$cmd" "")
    for sub in $subs; do
        has_word "$body" "$sub" || fail "the page's $cmd section lacks $sub"
        offers "$first" "$sub" || fail "completion does not offer $cmd $sub"
    done

    # Options with a fixed set of values, written --option a|b|c.
    while read -r option values; do
        [ -n "$option" ] || continue
        offered=$(complete_words midwire "$cmd" "$option" "")
        for value in ${values//|/ }; do
            offers "$offered" "$value" || fail "completion does not offer $value for $cmd $option"
        done
    done < <(grep -oE -- '--[a-z-]+ [A-Za-z0-9]+(\|[A-Za-z0-9]+)+' <<<"$help" | sort -u)
done

# File names, and what is never completed.
work=$(mktemp -d "$prefix/files.XXXXXX")
cd "$work"
mkdir folder
touch session.mwx notes.txt report.pdf "two words.mwx"
expect() {
    local want=$1
    shift
    local got
    got=$(complete_words "$@" | sort | tr '\n' ' ')
    [ "$got" = "$want" ] || fail "completing '$*' gave '$got', not '$want'"
}
expect "folder session.mwx two words.mwx " midwire show ""
expect "two words.mwx " midwire relay --from tw
expect "folder report.pdf " midwire print session.mwx ""
expect "folder " midwire mime decode notes.txt ""
expect "folder notes.txt report.pdf session.mwx two words.mwx " midwire export session.mwx ""
expect "notes.txt " midwire session dump no
expect "" midwire relay --connect ""
expect "" midwire relay --connect 127.0.0.1 : ""
expect "" midwire dgram --send 127.0.0.1 : 9 ""
expect "client " midwire export session.mwx --side = c
expect "client server " midwire playback session.mwx --as ""
expect "direction,action direction,date direction,host " midwire show s.mwx --columns direction,
expect "" midwire export session.mwx out.txt ""
expect "--help --version -h " midwire -
echo "manual page and bash completion installed and in step with --help"
