# Shared by the demo's tests (sourced): how a test judges what a demo run left, by the processes
# of its own session and those the demo named, never by names another run may carry.

# fail <what>: prints it with the demo's output ($out) and errors ($err), and ends the test.
fail() {
  echo "FAIL: $*"
  echo "--- output"
  cat "$out"
  echo "--- errors"
  tail -30 "$err"
  exit 1
}

# The clock ticks since boot: a process that started later than this is not the run's.
ticks_now() {
  awk -v hz="$(getconf CLK_TCK)" '{ printf "%d\n", $1 * hz }' /proc/uptime
}

# The processes the demo named on standard error ($err).
named_processes() {
  sed -n 's/^demo: processes //p' "$err" | head -n 1
}

# processes_naming <folder>: the processes whose environment names the demo's folder, as every
# process the demo started does, those its session bus started (which leave its session) too.
processes_naming() {
  [[ -n $1 ]] || return 0
  grep -lzxF "BRINDLET_DEMO_WORK=$1" /proc/[0-9]*/environ 2>/dev/null | cut -d/ -f3
}

# left_running <session> <ticks> [<pid>...]: the processes of the session, those naming the
# demo's folder ($folder, once known), and the given ones, that are alive and started by <ticks>
# (a process id taken again since is someone else's).
left_running() {
  local session=$1 ended=$2 pid stat fields
  shift 2
  for pid in $(pgrep -s "$session") $(processes_naming "${folder:-}") "$@"; do
    stat=$(cat "/proc/$pid/stat" 2>/dev/null) || continue
    read -ra fields <<<"${stat##*) }"
    ((fields[19] <= ended)) || continue
    echo "$pid $({ tr '\0' ' ' <"/proc/$pid/cmdline"; } 2>/dev/null)"
  done
}

# expect_nothing_left <session> [<pid>...]: within five seconds of the run's end, none of its
# processes is left.
expect_nothing_left() {
  local ended left
  ended=$(ticks_now)
  for _ in $(seq 50); do
    left=$(left_running "$1" "$ended" "${@:2}")
    [[ -z $left ]] && return 0
    sleep 0.1
  done
  fail "left running: $left"
}

# The demo's throwaway folder, from the log it names on standard output ($out).
demo_folder() {
  sed -n "s|^The phone's lines follow (.*); the app's log is \(.*\)/app.log\.$|\1|p" "$out"
}

# next_run: a folder of its own in $work for the demo's next run: its output ($out) and errors
# ($err), made before the demo starts, and its input ($in), a pipe. A run started with its output
# redirected before its input reads only what its own demo wrote, never a line of the run before.
next_run() {
  run=$(mktemp -d "$work/run.XXXX")
  out=$run/out err=$run/err in=$run/in
  : >"$out" >"$err"
  mkfifo "$in"
}
