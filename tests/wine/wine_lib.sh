# Helpers for the bash Wine tests (sourced; see tests/wine/wine.cmake).

failures=0

# The Z:\ path under which Wine's programs see a Unix path.
windows_path() {
  local path
  path=$(realpath -m "$1")
  printf 'Z:%s' "${path//\//\\}"
}

# Records a failed check without ending the script, so that one run reports
# every check that failed.
fail() {
  echo "FAILED: $*" >&2
  failures=$((failures + 1))
}

pass() { echo "ok: $*"; }

# check <description> <command...>: runs the command, records its outcome.
check() {
  local description=$1
  shift
  if "$@"; then pass "$description"; else fail "$description"; fi
}

# Polls a command every 0.1 s until it succeeds; false after `seconds`.
wait_until() {
  local seconds=$1
  shift
  local deadline=$((SECONDS + seconds))
  until "$@"; do
    [ $SECONDS -ge $deadline ] && return 1
    sleep 0.1
  done
}

# The script's exit status: 0 when every check passed.
finish() {
  if [ $failures -ne 0 ]; then
    echo "$failures check(s) failed" >&2
    exit 1
  fi
  echo "all checks passed"
}
