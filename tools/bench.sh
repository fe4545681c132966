#!/usr/bin/env bash
# Runs every benchmark and prints one table: line assembly in process (median
# of 5 repetitions), then the end-to-end figures through a pseudo-terminal
# (median of 3 runs; cat, picocom and tio measured in the same run), then
# publishing to a broker (about 15 minutes).
#   tools/bench.sh [megabytes]      default 200
set -euo pipefail
cd "$(dirname "$0")/.."
./tools/build.sh build >/dev/null
export QT_QPA_PLATFORM=offscreen

printf '| %-46s | %-34s | %-24s | %-3s |\n' figure value target met
printf '|%s|%s|%s|%s|\n' "$(printf -- '-%.0s' {1..48})" "$(printf -- '-%.0s' {1..36})" \
  "$(printf -- '-%.0s' {1..26})" "-----"
build/bench/bench_lineassembler --benchmark_repetitions=5 --benchmark_report_aggregates_only=true \
  --benchmark_format=csv 2>/dev/null | awk -F, '
  /_median"/ {
    name = $1; gsub(/"/, "", name); sub(/_median/, "", name)
    mbps = $6 / 1048576
    rate[name] = mbps; ms[name] = $3
    target = ""; met = ""
    if (name == "Lines80/time:0") { target = ">= 1024 MB/s"; met = (mbps >= 1024) ? "yes" : "NO" }
    if (name == "Lines80/time:1") { target = ">= 300 MB/s"; met = (mbps >= 300) ? "yes" : "NO" }
    printf "| %-46s | %-34s | %-24s | %-3s |\n", "line assembly " name, sprintf("%.0f MB/s", mbps), target, met
  }
  END {
    r = ms["OneTenMegabyteLine/time:0"] / ms["ShortCsvLines/time:0"]
    printf "| %-46s | %-34s | %-24s | %-3s |\n", "10 MB line / 10 MB of short lines (time)", sprintf("%.2f", r), "<= 2", (r <= 2) ? "yes" : "NO"
  }'
build/bench/bench_e2e --mb "${1:-200}" --runs 3
# Publishing to a broker: serial to subscriber against mosquitto_pub -l, the
# logging speed with and without it, a lab of 50 instances, a 10-minute outage.
build/bench/bench_mqtt 2>/dev/null
