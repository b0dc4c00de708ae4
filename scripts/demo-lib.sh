# Sourced by the demonstrations (demo-*.sh) and the package's end-to-end
# tests: how a step is announced, timed and failed, how a Windows program is
# run under Wine, and bounded waits. The sourcing script sets demo_name
# first (it names the script in a failure).
source "$(dirname "${BASH_SOURCE[0]}")/wine-env.sh"

demo_name=${demo_name:-demo}

say() { printf '%s\n' "$*"; }

now_ms() { echo $(($(date +%s%N) / 1000000)); }

# Milliseconds as seconds with one decimal.
seconds() { printf '%d.%d' $(($1 / 1000)) $((($1 % 1000) / 100)); }

demo_started_ms=$(now_ms)
demo_step_title=""
demo_step_ms=""

# Ends the running step: prints how long it took.
demo_step_end() {
  [ -n "$demo_step_ms" ] || return 0
  say "  [${demo_step_title%%.*}: $(seconds $(($(now_ms) - demo_step_ms))) s]"
  demo_step_ms=""
}

# step TITLE: ends the previous step and announces the next one.
step() {
  demo_step_end
  demo_step_title="$*"
  demo_step_ms=$(now_ms)
  printf '\n== %s\n' "$*"
}

# fail REASON: the step did not do what it should; the script ends with 1.
fail() {
  printf '\n%s: FAILED: %s\n' "$demo_name" "$*" >&2
  exit 1
}

# Ends the last step and says how long the whole demonstration took.
demo_finish() {
  demo_step_end
  echo
  echo "Demonstration passed in $(seconds $(($(now_ms) - demo_started_ms))) s."
}

# run [-t SECONDS] PROGRAM ARGS...: a program (a Wine loader with a Windows
# program, usually), its output without CRs through a file: a Wine background
# process it starts would hold a pipe open and its reader waiting. A minute
# at most unless -t says otherwise. Its exit status is the program's.
run() {
  local limit=60 out rc=0
  if [ "${1:-}" = -t ]; then
    limit=$2
    shift 2
  fi
  out=$(mktemp)
  timeout -k 5 "$limit" "$@" </dev/null >"$out" 2>&1 || rc=$?
  tr -d '\r' <"$out"
  rm -f "$out"
  return $rc
}
win64() { run "$NRV_WINE64" "$@"; }
sc() { win64 sc "$@"; }

# The Windows form of a Linux path (Wine's drive Z: is the root).
winpath() { local p="$1"; printf 'Z:%s' "${p//\//\\}"; }

# service_state NAME: RUNNING, STOPPED, ...; empty when there is no such service.
service_state() {
  { sc query "$1" || true; } | sed -n 's/^ *STATE *: *[0-9]* *\([A-Z_]*\).*/\1/p'
}
service_is() { [ "$(service_state "$1")" = "$2" ]; }

# wait_for SECONDS COMMAND...: runs COMMAND every 0.2 s until it succeeds
# (status 0) or SECONDS have passed (status 1).
wait_for() {
  local limit=$(($(now_ms) + $1 * 1000))
  shift
  while :; do
    "$@" && return 0
    [ "$(now_ms)" -lt "$limit" ] || return 1
    sleep 0.2
  done
}
