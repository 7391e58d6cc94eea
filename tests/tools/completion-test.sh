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
COMP_WORDS=("$scratch/kivo-read" --port '')
COMP_CWORD=2
COMP_LINE="$scratch/kivo-read --port "
COMP_POINT=${#COMP_LINE}
_kivo_read
set -eu

expected=("$hostile" /dev/ttyUSB0 COM1 COM2 COM3 COM4 COM5 COM6 COM7 COM8)
status=0
if [[ -e $scratch/ran ]]; then
    echo "FAIL: completing --port ran a command from a port's name" >&2
    status=1
fi
if [[ ${COMPREPLY[*]} != "${expected[*]}" ]]; then
    echo "FAIL: candidates differ" >&2
    printf 'expected: [%s]\n' "${expected[@]}" >&2
    printf 'offered:  [%s]\n' "${COMPREPLY[@]}" >&2
    status=1
fi
exit "$status"
