#!/usr/bin/env bash
# Runs one test executable inside private network and PID namespaces in which only the
# loopback interface is up, so camera discovery never leaves the machine. The test
# starts its fake GigE cameras there; when the test ends (or is killed) the PID
# namespace ends and takes every process left in it along.
# Exit code 77 (skipped) when namespaces cannot be created here.
set -u

if [[ "${LUMETRA_IN_NETNS:-}" != "1" ]]; then
    if ! command -v unshare >/dev/null || ! command -v ip >/dev/null; then
        echo "SKIP: unshare or ip missing"
        exit 77
    fi
    if ! unshare --net --pid --fork --kill-child true 2>/dev/null; then
        echo "SKIP: private network namespace not permitted"
        exit 77
    fi
    exec unshare --net --pid --fork --kill-child env LUMETRA_IN_NETNS=1 "$0" "$@"
fi

if ! ip link set lo up; then
    echo "SKIP: cannot bring up loopback in the namespace"
    exit 77
fi
export LUMETRA_ARAVIS_DISCOVERY=1
# A crashing test must end, not wait for a debugger to attach to it.
export QTEST_DISABLE_STACK_DUMP=1
exec "$@"
