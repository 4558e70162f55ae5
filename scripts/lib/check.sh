# Sourced by the system checks: `check DESCRIPTION COMMAND...` runs the
# command, prints ok/FAIL, and remembers a failure in $failed.
failed=0
check() {
  local what=$1
  shift
  if "$@"; then echo "ok   $what"; else echo "FAIL $what"; failed=1; fi
}
