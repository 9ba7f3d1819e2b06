# Sourced by scripts/run, scripts/demo and scripts/test: one configure and build at a time in a
# build folder. Two at once in one folder (a scripts/demo started while a first scripts/run
# builds) race for the same files, and one fails with nothing that says why; the later one waits
# for the other instead, and says so.

# build_locked <build folder> <command> [<argument>...]: runs the command (the configure and the
# build) holding the folder's lock, a file in the folder, which is made first if it is not there
# yet. The lock is let go when the command ends: what the caller starts afterwards (the app, the
# demo's servers, the tests) never holds it, so a running app or demo blocks no other build.
build_locked() {
  local build=$1 lock
  shift
  mkdir -p "$build"
  (
    exec {lock}>>"$build/.build-lock"
    if ! flock -n "$lock"; then
      echo "Waiting for another build in $build" >&2
      flock "$lock"
    fi
    "$@"
  )
}
