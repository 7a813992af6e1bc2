#!/usr/bin/env bash
# A scripted session with morvik-client: every command, successes and failures.
set -u
client=$1
export WINSIM_MACHINE=$2
step() { printf '\n$ morvik-client %s\n' "$*"; "$client" "$@"; echo "(exit status $?)"; }
with_password() { local pw=$1; shift; printf '\n$ morvik-client %s   # password from standard input\n' "$*"
  printf '%s\n' "$pw" | "$client" --password-stdin "$@"; echo "(exit status $?)"; }

echo "A simulated company file server: $WINSIM_MACHINE"
step computer-name
step domain-name
with_password 'Secret1!' validate --user alice --domain CORP
with_password 'wrong' validate --user alice --domain CORP
with_password 'pw' validate --user carol
with_password 'Secret1!' groups --user alice --domain CORP
with_password 'Secret1!' access-check --user alice --path 'C:\data\finance\budget.xlsx'
with_password 'Hunter2?' access-check --user bob --path 'C:\data\finance\budget.xlsx'
with_password 'Hunter2?' access-check --user bob --path 'C:\data\finance\missing.xlsx'
step access-list --path 'C:\data\finance\budget.xlsx'
step access-list --path 'C:\public\open.txt'
step --json access-list --path 'C:\data\nowhere\x.txt'
step is-ntfs --path 'C:\'
step is-ntfs --path 'E:\'
step is-ntfs --path 'D:\'
step is-mapped --path 'Z:\'
step is-mapped --path 'C:\'
MORVIK_PASSWORD='Secret1!' step connect --user alice --path '\\fs01\docs'
step disconnect --path '\\fs01\docs'
step disconnect --path '\\fs01\docs'
step raw --command 42 --param filepath='C:\'
