#!/usr/bin/env bash
# A scripted session with morvik-client: every command, successes and failures.
set -u
client=$1
export WINSIM_MACHINE=$2
show() {
  printf '\n$ morvik-client'
  local a; for a in "$@"; do
    if [[ $a =~ ^[A-Za-z0-9_./=:-]+$ ]]; then printf ' %s' "$a"; else printf " '%s'" "$a"; fi
  done
}
step() { show "$@"; echo; "$client" "$@"; echo "(exit status $?)"; }
with_password() { local pw=$1; shift; show --password-stdin "$@"; echo "   # password on standard input"
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
step raw --command 42 --param filepath='C:\'

# A share connection lives as long as the morvik process, so connect and disconnect go through one
# server: a batch, one JSON request a line, one JSON reply a line.
batch=$(mktemp)
trap 'rm -f "$batch"' EXIT
cat >"$batch" <<'JSON'
{"command": "connect", "user": "alice", "password": "wrong", "path": "\\\\fs01\\docs"}
{"command": "connect", "user": "alice", "password": "Secret1!", "path": "\\\\fs01\\docs"}
{"command": "disconnect", "path": "\\\\fs01\\docs"}
{"command": "disconnect", "path": "\\\\fs01\\docs"}
{"command": "connect", "user": "alice", "password": "Secret1!", "path": "\\\\fs99\\docs"}
JSON
printf '\n$ cat batch.jsonl\n'; cat "$batch"
step --batch "$batch"
