#!/bin/sh
# Smoke test of vesk-sc on a fresh machine root: install the test service, start it,
# query and control it, stop and delete it, and check the exit codes of the failure
# cases. Usage: smoke_test.sh VESK_SC SCM_TEST_SERVICE
set -u
tool=$1
service=$2
root=$(mktemp -d "${TMPDIR:-/tmp}/vesk-sc-test-XXXXXX") || exit 1
trap '"$tool" --root "$root" stop Smoke >/dev/null 2>&1; rm -rf "$root"' EXIT
failures=0

fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}

# expect CODE ARGS...: runs the tool and checks its exit code; output in $root/out, $root/err.
expect() {
  want=$1
  shift
  "$tool" --root "$root" --timeout 5000 "$@" >"$root/out" 2>"$root/err"
  got=$?
  [ "$got" -eq "$want" ] || fail "vesk-sc $* exited $got, expected $want: $(cat "$root/out" "$root/err")"
}

# has PATTERN FILE: the file holds the fixed string.
has() {
  grep -qF -- "$1" "$2" || fail "expected \"$1\" in: $(cat "$2")"
}

expect 0 create Smoke binPath= "\"$service\" --steps 1" DisplayName= "Smoke Test" start= demand
has "[SC] CreateService SUCCESS" "$root/out"
expect 1 create smoke binPath= /bin/true
has "FAILED 1073:" "$root/err"
expect 0 qc Smoke
has "DISPLAY_NAME       : Smoke Test" "$root/out"

expect 0 start Smoke first second
has "Smoke: START_PENDING (checkpoint 1, wait hint 1000 ms)" "$root/out"
has "Smoke: RUNNING" "$root/out"
expect 0 query Smoke
has "STATE              : 4  RUNNING" "$root/out"
expect 0 queryex Smoke
has "PID                : " "$root/out"
expect 0 interrogate Smoke
expect 0 control Smoke session logon 2
expect 0 control Smoke 13 0x12
expect 1 control Smoke continue
has "FAILED 1052:" "$root/err"
expect 2 control Smoke soon
has "main argv: Smoke|first|second" "$root/scm/Smoke.out"
has "control 14 event 5 session 2" "$root/scm/Smoke.out"
has "control 13 event 18 session 0" "$root/scm/Smoke.out"

expect 0 stop Smoke
has "Smoke: STOP_PENDING (checkpoint 1, wait hint 1000 ms)" "$root/out"
has "Smoke: STOPPED" "$root/out"
expect 1 stop Smoke
has "FAILED 1062:" "$root/err"

expect 0 list
has "Smoke" "$root/out"
expect 0 delete Smoke
expect 1 query Smoke
has "[SC] OpenService FAILED 1060:" "$root/err"
expect 2 nosuchverb
expect 0 --help

if [ "$failures" -ne 0 ]; then
  echo "$failures check(s) failed" >&2
  exit 1
fi
echo "vesk-sc smoke test passed"
