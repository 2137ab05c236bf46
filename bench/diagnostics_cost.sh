#!/usr/bin/env bash
# Wall and CPU time of the self test, and the CPU a trial capture costs on
# the simulated audio system (capture, encoding and the test tone included).
#
#     bench/diagnostics_cost.sh BUILD_DIR [RUNS] [PROBE_SECONDS]
set -euo pipefail
build=${1:?build directory}
runs=${2:-20}
seconds=${3:-2}
TIMEFORMAT='%R %U %S'

selftest() {
    for _ in $(seq "$runs"); do "$build/korvalin-cap" --selftest >/dev/null; done
}
read -r real user sys < <({ time selftest; } 2>&1)
awk -v r="$real" -v u="$user" -v s="$sys" -v n="$runs" \
    'BEGIN { printf "--selftest: %.1f ms wall, %.1f ms CPU per run (%d runs)\n", 1000*r/n, 1000*(u+s)/n, n }'

probe() {
    KORVALIN_SIM_SCENARIO= "$build/korvalin-cap-sim" --probe "$seconds" >/dev/null
}
read -r real user sys < <({ time probe; } 2>&1)
awk -v r="$real" -v u="$user" -v s="$sys" -v d="$seconds" \
    'BEGIN { printf "--probe %s: %.2f s wall, %.0f ms CPU (%.1f%% of one core)\n", d, r, 1000*(u+s), 100*(u+s)/r }'
