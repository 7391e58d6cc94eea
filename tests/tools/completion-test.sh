#!/usr/bin/env bash
# kivo-read's bash completion offers the ports that `kivo-read --list` prints as they are:
# a port whose name holds shell syntax is offered literally, and nothing in it runs.
# Usage: completion-test.sh BASH_COMPLETION_FRAMEWORK KIVO_READ_COMPLETION
set -euo pipefail
framework=$1
completion=$2

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
# shellcheck disable=SC2016 # the $(...) and `...` are the port's name, not to be run here
hostile='/dev/ttyUSB8$(touch '"$scratch"'/ran)`touch '"$scratch"'/ran`*'
# A kivo-read that lists that port and a plain one.
cat >"$scratch/kivo-read" <<EOF
#!/bin/sh
printf '%s\t%s\n' '$hostile' 'Hostile device' '/dev/ttyUSB0' 'HUAWEI Mobile'
EOF
chmod +x "$scratch/kivo-read"

set +eu # the completion framework is written for an interactive shell
# shellcheck source=/dev/null
source "$framework"
# shellcheck source=/dev/null
source "$completion"
set -eu

status=0
# check N CANDIDATE... WORD...: completes the last of the words after kivo-read and
# compares what is offered with the N candidates expected.
check() {
    local -a expected=("${@:1:$1+1}")
    shift "$(($1 + 1))"
    expected=("${expected[@]:1}")
    COMP_WORDS=("$scratch/kivo-read" "$@")
    COMP_CWORD=$#
    COMP_LINE="${COMP_WORDS[*]}"
    COMP_POINT=${#COMP_LINE}
    set +eu
    _kivo_read
    set -eu
    if [[ ${COMPREPLY[*]} != "${expected[*]}" ]]; then
        echo "FAIL: candidates for [$*] differ" >&2
        printf 'expected: [%s]\n' "${expected[@]}" >&2
        printf 'offered:  [%s]\n' "${COMPREPLY[@]}" >&2
        status=1
    fi
}

ports=("$hostile" /dev/ttyUSB0 COM1 COM2 COM3 COM4 COM5 COM6 COM7 COM8)
check 10 "${ports[@]}" --port ''
check 10 "${ports[@]}" -p ''
check 10 "${ports[@]}" --json '' # a port as a plain argument
check 1 auto -b a
if [[ -e $scratch/ran ]]; then
    echo "FAIL: completing a port ran a command from a port's name" >&2
    status=1
fi
exit "$status"
