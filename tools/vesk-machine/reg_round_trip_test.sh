#!/bin/sh
# Smoke test of vesk-machine on a fresh machine root: set and read back registry values,
# and check the exit codes of the failure cases. Usage: reg_round_trip_test.sh VESK_MACHINE
set -u
tool=$1
root=$(mktemp -d "${TMPDIR:-/tmp}/vesk-machine-test-XXXXXX") || exit 1
trap 'rm -rf "$root"' EXIT
KORVO_MACHINE_ROOT=$root
export KORVO_MACHINE_ROOT
key='HKLM\SOFTWARE\Policies\Korvo\Korvo Tallisk'
failures=0

fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}

# expect_exit CODE ARGS...: runs the tool and checks its exit code.
expect_exit() {
  want=$1
  shift
  "$tool" "$@" >"$root/out" 2>"$root/err"
  got=$?
  [ "$got" -eq "$want" ] || fail "vesk-machine $* exited $got, expected $want: $(cat "$root/err")"
}

expect_exit 0 reg set "$key" MaxLogSize --dword 0x2A
expect_exit 0 reg set 'SOFTWARE\Policies\Korvo\Korvo Tallisk' LoggingType --sz 'FILE and more'

expect_exit 0 reg get "$key" maxlogsize
grep -q '^MaxLogSize    REG_DWORD    0x0000002A (42)$' "$root/out" || fail "reg get MaxLogSize printed: $(cat "$root/out")"

expect_exit 0 reg get 'hklm\software\policies\korvo\korvo tallisk'
grep -q '^LoggingType    REG_SZ    FILE and more$' "$root/out" || fail "reg get KEY printed: $(cat "$root/out")"
[ "$(wc -l <"$root/out")" -eq 2 ] || fail "reg get KEY printed $(wc -l <"$root/out") lines, expected 2"

expect_exit 0 reg list
grep -q '^HKLM\\SOFTWARE\\Policies\\Korvo\\Korvo Tallisk$' "$root/out" || fail "reg list printed: $(cat "$root/out")"

[ -f "$root/registry.json" ] || fail "no registry.json in the machine root"
expect_exit 0 root
[ "$(cat "$root/out")" = "$root" ] || fail "root printed $(cat "$root/out"), expected $root"

# Not found is 1, with a message; usage errors are 2.
expect_exit 1 reg get "$key" NoSuchValue
grep -q 'value not found' "$root/err" || fail "missing value message: $(cat "$root/err")"
expect_exit 1 reg get 'HKLM\SOFTWARE\NoSuchKey'
expect_exit 0 reg delete "$key" MaxLogSize
expect_exit 1 reg get "$key" MaxLogSize
expect_exit 1 reg delete "$key" MaxLogSize
expect_exit 2 reg set "$key" MaxLogSize --dword 0x1FFFFFFFF
expect_exit 2 reg frobnicate
expect_exit 2 no-such-verb
expect_exit 2 --no-such-option

# The event log as the service writes it, filtered and cut to the last events.
cat >"$root/eventlog.jsonl" <<'END'
{"time":"2021/03/04 17:05:09.042","source":"Varnel","type":1,"category":0,"eventId":3758096384,"strings":["first","second"],"pid":7}
{"time":"2021/03/04 17:05:10.000","source":"Other","type":4,"category":0,"eventId":1,"strings":[],"pid":7}
{"time":"2021/03/04 17:05:11.000","source":"Varnel","type":2,"category":0,"eventId":2,"strings":["last"],"pid":7}
END
expect_exit 0 events --source varnel --tail 2
[ "$(sed -n 1p "$root/out")" = "2021/03/04 17:05:09.042  Error  Varnel  0xE0000000  first | second" ] ||
  fail "events printed: $(cat "$root/out")"
[ "$(wc -l <"$root/out")" -eq 2 ] || fail "events --source --tail 2 printed $(wc -l <"$root/out") lines"
expect_exit 2 events --tail

# --root selects another machine than KORVO_MACHINE_ROOT.
expect_exit 0 --root "$root/other" reg set 'SOFTWARE\Other' Flag --dword 1
expect_exit 0 --root "$root/other" reg get 'SOFTWARE\Other' Flag
expect_exit 1 reg get 'SOFTWARE\Other' Flag

expect_exit 0 help reg
expect_exit 0 version
grep -q '^vesk-machine 7\.0\.5\.1$' "$root/out" || fail "version printed: $(cat "$root/out")"

[ "$failures" -eq 0 ] || exit 1
echo "vesk-machine round trip: all checks passed"
