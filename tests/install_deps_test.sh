#!/usr/bin/env bash
# scripts/install-deps.sh while another program holds apt's lock, as a
# desktop's automatic updates often do: it says so at once, waits, and goes
# on when the lock is free. Takes the real lock, so it needs root.
set -euo pipefail
[ "$(id -u)" -eq 0 ] || { echo "skipped: apt's lock can be held only by root"; exit 77; }
source "$(dirname "$0")/../scripts/install-deps.sh"
work=$(mktemp -d)
holder=""
fail() { echo "FAIL: $*" >&2; exit 1; }
cleanup() {
  [ -z "$holder" ] || { kill "$holder" 2>/dev/null || true; wait "$holder" 2>/dev/null || true; }
  rm -rf "$work"
}
trap cleanup EXIT

# Holds the lock that dpkg and apt take (fcntl) for three seconds, once any
# other holder has let it go.
python3 - "$work/held" <<'PY' &
import fcntl, sys, time
lock = open("/var/lib/dpkg/lock-frontend", "w")
deadline = time.monotonic() + 60
while True:
    try:
        fcntl.lockf(lock, fcntl.LOCK_EX | fcntl.LOCK_NB)
        break
    except OSError:
        if time.monotonic() > deadline:
            sys.exit(1)
        time.sleep(0.5)
open(sys.argv[1], "w").close()
time.sleep(3)
PY
holder=$!
deadline=$((SECONDS + 60))
until [ -e "$work/held" ]; do
  ((SECONDS < deadline)) && kill -0 "$holder" 2>/dev/null || fail "the lock could not be taken for the test"
  sleep 0.1
done

# apt-get check takes the lock and changes nothing.
started=$SECONDS
apt_get "checking the installed packages" check >"$work/out" 2>&1 || fail "the step failed: $(cat "$work/out")"
grep -q "another program is installing packages (held by process $holder (python3)); waiting" "$work/out" ||
  fail "the wait for the lock was not announced: $(cat "$work/out")"
((SECONDS - started >= 2)) || fail "the step did not wait for the lock"
echo "install-deps under a held lock: ok"
