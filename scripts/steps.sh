# Sourced by the scripts that print one line per step:
#   step_name=NAME step_log=FILE; source scripts/steps.sh
#   step DESCRIPTION COMMAND...
# runs COMMAND with its output appended to the log and prints
# "NAME: DESCRIPTION ... done"; when it fails, prints "failed", shows the
# log's last lines and exits with COMMAND's exit code.
step() {
  local description=$1
  shift
  printf '%s: %s ... ' "$step_name" "$description"
  echo "== $description" >>"$step_log"
  if "$@" >>"$step_log" 2>&1; then
    echo "done"
  else
    local code=$?
    echo "failed (exit code $code)"
    echo "$step_name: the last lines of $step_log:" >&2
    tail -n 25 "$step_log" | sed 's/^/  /' >&2
    exit "$code"
  fi
}
