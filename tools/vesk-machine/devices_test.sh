#!/bin/sh
# Smoke test of "vesk-machine devices" on a fresh machine root (the embedded default
# profile), on one whose profile declares an interface, and on the keyboard filter
# profiles of machines/. Usage: devices_test.sh VESK_MACHINE MACHINES_DIR
set -u
tool=$1
machines=$2
filter='{3569dbe5-fa4f-4e7e-96ec-540202073739}'
root=$(mktemp -d "${TMPDIR:-/tmp}/vesk-machine-test-XXXXXX") || exit 1
trap 'rm -rf "$root"' EXIT
failures=0

fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}

KORVO_MACHINE_ROOT=$root/default "$tool" devices >"$root/out" 2>"$root/err" || fail "devices exited $?: $(cat "$root/err")"
grep -q '^ACPI\\QVZC000C\\0    present$' "$root/out" || fail "no QVZC000C node: $(cat "$root/out")"
grep -q '^ACPI\\QVZC0003\\0    present$' "$root/out" || fail "no QVZC0003 node: $(cat "$root/out")"
grep -q '^    driver .* | 2\.0\.14\.0 | type 2$' "$root/out" || fail "no driver line: $(cat "$root/out")"
grep -q '^ACPI\\QVZC0101\\0    present$' "$root/out" || fail "no keyboard filter node: $(cat "$root/out")"
grep -q '^    driver Korvo Keyboard Filter | ' "$root/out" || fail "no keyboard filter driver: $(cat "$root/out")"
KORVO_MACHINE_ROOT=$root/default "$tool" devices --interface "$filter" >"$root/out" 2>&1
grep -q '^    interface \\\\?\\ACPI#QVZC0101#0#{3569dbe5-fa4f-4e7e-96ec-540202073739}$' "$root/out" ||
  fail "no keyboard filter interface: $(cat "$root/out")"
grep -q 'received' "$root/out" && fail "requests shown before any was sent: $(cat "$root/out")"

# The keyboard filter profiles a person loads: each is complete, and the filter's
# interfaces are as the name says.
for profile in pending stuck missing second-interface; do
  mkdir -p "$root/$profile"
  cp "$machines/keyboard-filter-$profile.json" "$root/$profile/machine.json"
  KORVO_MACHINE_ROOT=$root/$profile "$tool" devices --interface "$filter" >"$root/out" 2>&1 ||
    fail "$profile: devices exited $?: $(cat "$root/out")"
  KORVO_MACHINE_ROOT=$root/$profile "$tool" sysinfo >/dev/null 2>&1 || fail "$profile: sysinfo exited $?"
  case $profile in
    missing) [ "$(cat "$root/out")" = "no device nodes" ] || fail "$profile: $(cat "$root/out")" ;;
    second-interface)
      grep -q '^    interface: error 87$' "$root/out" || fail "$profile: first interface: $(cat "$root/out")"
      grep -q '^    interface .*\\KbFilter$' "$root/out" || fail "$profile: second interface: $(cat "$root/out")" ;;
    *) [ "$(grep -c '^    interface ' "$root/out")" -eq 1 ] || fail "$profile: $(cat "$root/out")" ;;
  esac
done

mkdir -p "$root/lab"
cat >"$root/lab/machine.json" <<'JSON'
{"devices": [
  {"instanceId": "ROOT\\KVQKBFILTR\\0000",
   "interfaces": [{"classGuid": "{3569DBE5-FA4F-4E7E-96EC-540202073739}", "path": "\\\\?\\kvqkbfiltr"}]},
  {"instanceId": "ROOT\\OLD\\0000", "present": false}
]}
JSON
KORVO_MACHINE_ROOT=$root/lab "$tool" devices --interface '{3569dbe5-fa4f-4e7e-96ec-540202073739}' >"$root/out" 2>&1 ||
  fail "devices --interface exited $?: $(cat "$root/out")"
grep -q '^    interface \\\\?\\kvqkbfiltr$' "$root/out" || fail "no interface path: $(cat "$root/out")"
grep -q 'ROOT\\OLD' "$root/out" && fail "a device without the interface was listed: $(cat "$root/out")"
KORVO_MACHINE_ROOT=$root/lab "$tool" devices >"$root/out" 2>&1
grep -q '^ROOT\\OLD\\0000    not present$' "$root/out" || fail "phantom not shown: $(cat "$root/out")"
grep -q '^    no compatible driver$' "$root/out" || fail "missing driver not shown: $(cat "$root/out")"

KORVO_MACHINE_ROOT=$root/lab "$tool" devices --interface nonsense >/dev/null 2>&1
[ $? -eq 2 ] || fail "a bad GUID is not a usage error"

# A broken "devices" section is refused with its JSON path.
mkdir -p "$root/bad"
printf '%s\n' '{"devices": [{"instanceId": "A\\1", "drivers": [{"description": "d", "version": "1.2"}]}]}' >"$root/bad/machine.json"
KORVO_MACHINE_ROOT=$root/bad "$tool" devices >"$root/out" 2>&1
[ $? -eq 1 ] || fail "a bad profile did not fail"
grep -q 'devices\[0\]\.drivers\[0\]\.version' "$root/out" || fail "bad profile message: $(cat "$root/out")"

[ "$failures" -eq 0 ] || exit 1
echo "devices smoke test passed"
