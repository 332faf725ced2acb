# Sourced by the CI steps: each step ends with one verdict line naming it, also when it
# stops early (install, configure, build), so the CI log says which step failed and where.
#   ci_begin NAME; step="..."; ...; finish "PASS: ..."
ci_begin() {
  ci_name=$1
  ci_started=$(date +%s)
  step=setup
  ci_finished=0
  trap '[ "$ci_finished" = 1 ] || verdict "FAIL: stopped during $step"' EXIT
}

verdict() {
  echo "$ci_name: $1 ($(($(date +%s) - ci_started)) s)"
}

finish() {
  ci_finished=1
  verdict "$1"
}
