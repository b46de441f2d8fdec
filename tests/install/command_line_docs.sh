#!/usr/bin/env bash
# Installs the build into a fresh prefix and checks the manual page: it is
# where man looks, it renders without warnings, and every command,
# subcommand and option that a --help lists is in the page, in the section
# of its command. The lists come from the help texts, so an option added
# later without its page entry fails here.
set -euo pipefail
build_dir=$1
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT

cmake --install "$build_dir" --prefix "$prefix" >/dev/null 2>&1
fail() { echo "FAIL: $*" >&2; exit 1; }

midwire="$prefix/bin/midwire"
page="$prefix/share/man/man1/midwire.1"
[ -f "$page" ] || fail "manual page not installed in share/man/man1"

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

commands=$("$midwire" --help | sed -n 's/^  \([a-z][a-z0-9-]*\)  .*/\1/p')
[ "$(wc -l <<<"$commands")" -ge 9 ] || fail "too few commands in midwire --help: $commands"
for cmd in $commands; do
    grep -q "^\.SS \"midwire $cmd" <<<"$text" || fail "the page has no section for $cmd"
    help=$("$midwire" "$cmd" --help)
    body=$(section "$cmd")
    entries=$(tags "$body")

    options=$(grep -oE -- '(^|[^[:alnum:]-])--?[a-z][a-z0-9-]*' <<<"$help" | sed 's/^[^-]*//' | sort -u)
    for option in $options; do
        has_word "$entries" "$option" || fail "the page's $cmd section has no entry for $option"
    done

    # Subcommands: the lower-case word after 'midwire CMD' in the usage
    # lines (a|b|c for a choice of them).
    subs=$(sed -n "s/^\(Usage:\)\{0,1\} *midwire $cmd \([a-z][a-z0-9|-]*\).*/\2/p" <<<"$help" | tr '|' '\n' | sort -u)
    for sub in $subs; do
        has_word "$body" "$sub" || fail "the page's $cmd section lacks $sub"
    done
done
echo "manual page installed and in step with --help"
