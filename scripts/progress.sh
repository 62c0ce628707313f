# What a long make target says while it runs: each stage as it starts, with
# the time since the target began, and a line at least every 25 s while a
# stage prints nothing. Sourced by scripts/make-test.sh; as a command,
# `progress.sh STAGE-TEXT` prints one stage line (make run).
#   stage TEXT                  "[m:ss] TEXT"
#   beat STAGE [PROGRESS-FILE]  copies its input, and says the stage still
#                               runs when 25 s pass without a line (with the
#                               last line of PROGRESS-FILE, a build log say)
# The start is TAVRELLE_MAKE_STARTED (seconds since the epoch), which the
# Makefile sets once for the whole make; now unless set. As a command,
# `progress.sh --beat STAGE` is beat over its standard input.
: "${TAVRELLE_MAKE_STARTED:=$(date +%s)}"

elapsed() {
  local s=$(($(date +%s) - TAVRELLE_MAKE_STARTED))
  printf '%d:%02d' $((s / 60)) $((s % 60))
}
stage() { printf '[%s] %s\n' "$(elapsed)" "$*"; }

beat() {
  local name=$1 progress=${2:-} line status last
  while :; do
    line="" status=0
    IFS= read -r -t 25 line || status=$?
    [ -z "$line" ] && ((status != 0)) || printf '%s\n' "$line"
    ((status == 0)) && continue
    ((status > 128)) || return 0
    last=""
    [ -z "$progress" ] || last=$(tail -n 1 "$progress" 2>/dev/null | tr -d '\r' | cut -c1-100)
    stage "$name: still running${last:+ ($last)}"
  done
}

if [ "${BASH_SOURCE[0]}" = "$0" ]; then
  if [ "${1:-}" = --beat ]; then
    beat "${2:?usage: progress.sh --beat STAGE}"
  else
    stage "$*"
  fi
fi
