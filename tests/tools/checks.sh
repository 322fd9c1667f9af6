# Checks shared by the tool's shell tests: run the tool, count passes and failures, and say what failed
# with the command's output. Needs $tool and $work; sourced, not run.
passed=0
failed=0

# run ARGS...: runs the tool; sets rc, and $work/out and $work/err hold its output.
run() {
  "$tool" "$@" >"$work/out" 2>"$work/err" </dev/null
  rc=$?
  last="$*"
}

ok() { passed=$((passed + 1)); }
bad() {
  failed=$((failed + 1))
  echo "FAIL: vcloud-bridge $last: $1"
  echo "  exit status $rc; stdout:"; sed 's/^/    /' "$work/out" | head -20
  echo "  stderr:"; sed 's/^/    /' "$work/err" | head -10
}
status() { [ "$rc" -eq "$1" ] && ok || bad "exit status $rc, wanted $1"; }
out_has() { grep -qF -- "$1" "$work/out" && ok || bad "stdout lacks '$1'"; }
out_lacks() { grep -qF -- "$1" "$work/out" && bad "stdout has '$1'" || ok; }
err_has() { grep -qF -- "$1" "$work/err" && ok || bad "stderr lacks '$1'"; }
