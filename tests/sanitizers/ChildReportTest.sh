#!/usr/bin/env bash
# The sanitizer runs' environment (scripts/common.sh) keeps a report of a
# child process in the report folder, whatever the child's exit code says:
# a leak and a heap overflow each leave a file naming the program and the
# defect, and a clean run leaves none; an undefined shift ends the program
# with its report on the standard error.
#
#   ChildReportTest.sh PROBE COMMON_SH
set -euo pipefail
probe="$1"
# shellcheck source=/dev/null
source "$2"

tmp="$(mktemp -d)"
trap 'rm -rf "$tmp"' EXIT
vexav_sanitizer_env
vexav_sanitizer_reports "$tmp/reports"

fail=0
expect_report() {
  local defect="$1" text="$2" files
  rm -f "$tmp"/reports/*
  if "$probe" "$defect" >/dev/null 2>&1; then
    echo "FAIL: '$defect': the program ended with 0"
    fail=1
  fi
  files=("$tmp"/reports/*)
  if [ ! -e "${files[0]}" ]; then
    echo "FAIL: '$defect': no report file"
    fail=1
  elif ! grep -q "$text" "${files[@]}" || [[ "${files[0]##*/}" != *"${probe##*/}"* ]]; then
    echo "FAIL: '$defect': the report does not say '$text' in a file named after the program:"
    ls "$tmp/reports"
    cat "${files[@]}"
    fail=1
  fi
}
expect_report leak "detected memory leaks"
expect_report overflow "heap-buffer-overflow"

rm -f "$tmp"/reports/*
if "$probe" shift 2>"$tmp/shift.err" || ! grep -q "shift exponent 40" "$tmp/shift.err"; then
  echo "FAIL: 'shift': the program did not end with its report:"
  cat "$tmp/shift.err"
  fail=1
fi

rm -f "$tmp"/reports/*
"$probe" none
if [ -n "$(ls -A "$tmp/reports")" ]; then
  echo "FAIL: a clean run left a report:"
  ls "$tmp/reports"
  fail=1
fi
exit "$fail"
