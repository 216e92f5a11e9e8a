#!/usr/bin/env bash
# Both programs' bash completion, in bash with bash-completion loaded: the
# options as each program's --help lists them, accounts after --user, paths
# after --config, --check-rules and --rules (as the next word or after "="),
# the kiosk's program as a command written as its full path, and the
# program's arguments as that program completes them.
# Usage: completion_test.sh <source-dir> <directory of the built programs>
# Exits with 77 (skipped) when bash-completion is not installed.
set -uo pipefail
src=$1
PATH=$2:$PATH
framework=/usr/share/bash-completion/bash_completion
if [ ! -r "$framework" ]; then
    echo "SKIP: bash-completion is not installed"
    exit 77
fi
# shellcheck source=/dev/null
source "$framework"
for program in velk_proxy velk_kiosk; do
    # shellcheck source=/dev/null
    source "$src/packaging/bash-completion/$program"
done
# Display hints for readline only; outside an interactive completion bash
# refuses them.
compopt() { :; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
touch "$work/rules.json" "$work/other.txt"
failures=0

# complete LINE: what a Tab at the end of LINE offers, one a line. The line
# is split into words as bash splits it (at blanks and at "=").
complete_line() {
    local line=$1 word
    COMP_LINE=$line
    COMP_POINT=${#line}
    COMP_WORDS=()
    for word in $line; do
        while [[ $word == *=* ]]; do
            [ -n "${word%%=*}" ] && COMP_WORDS+=("${word%%=*}")
            COMP_WORDS+=("=")
            word=${word#*=}
        done
        [ -n "$word" ] && COMP_WORDS+=("$word")
    done
    [[ $line == *[[:blank:]=] ]] && COMP_WORDS+=("")
    COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
    COMPREPLY=()
    local registered
    registered=$(complete -p "${COMP_WORDS[0]}")
    registered=${registered#*-F }
    ${registered%% *} "${COMP_WORDS[0]}" "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD - 1]}"
    printf '%s\n' "${COMPREPLY[@]}"
}

# offers LINE WORD...: each WORD is among the offers.
offers() {
    local line=$1 offered word
    shift
    offered=$(complete_line "$line")
    for word in "$@"; do
        if ! grep -qxF -- "$word" <<< "$offered"; then
            echo "FAIL: '$line' does not offer '$word'; it offers: $(tr '\n' ' ' <<< "$offered")" >&2
            failures=$((failures + 1))
        fi
    done
}

offers "velk_proxy " --background --config --user --check-config --help --version
offers "velk_proxy --background --us" --user
offers "velk_proxy --user ro" root
offers "velk_proxy --user=ro" root
offers "velk_proxy --config $work/r" "$work/rules.json"
offers "velk_proxy --config=$work/" "$work/rules.json" "$work/other.txt"
offers "velk_kiosk -" --check-rules --help --version --
offers "velk_kiosk --check-rules $work/r" "$work/rules.json"
offers "velk_kiosk --rules=$work/r" "$work/rules.json"
offers "velk_kiosk xter" /usr/bin/xterm
offers "velk_kiosk -- /usr/bin/xte" /usr/bin/xterm
offers "velk_kiosk /usr/bin/dpkg --listf" --listfiles

[ "$failures" -eq 0 ] || exit 1
echo "completion test passed"
