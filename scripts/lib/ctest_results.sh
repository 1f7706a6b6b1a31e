# Counts from CTest's JUnit report (ctest --output-junit FILE).
# Sourced by scripts/test and scripts/test-windows.

# ml_junit_counts FILE: prints "PASSED FAILED" for the report, as CTest's own
# summary counts them: a test that ran and passed, or skipped itself
# (SKIP_RETURN_CODE, SKIP_REGULAR_EXPRESSION), passed; a test that failed,
# timed out or could not run (no program, a failed fixture) failed; a
# disabled test counts for neither. Fails when the file holds no report or
# a report without tests.
ml_junit_counts() {
    local file=$1
    [ -f "$file" ] && grep -q '^[[:space:]]*<testcase ' "$file" || return 1
    awk '
        function settle(ok) { if (ok) passed++; else failed++; pending = 0 }
        /^[[:space:]]*<testcase / {
            if (pending) settle(0)
            if ($0 ~ / status="run"/) passed++
            else if ($0 ~ / status="fail"/) failed++
            else if ($0 ~ / status="notrun"/) pending = 1
            next
        }
        pending && /^[[:space:]]*<skipped message="SKIP_/ { settle(1); next }
        pending && /^[[:space:]]*</ { settle(0); next }
        END {
            if (pending) settle(0)
            print passed + 0, failed + 0
        }' "$file"
}
