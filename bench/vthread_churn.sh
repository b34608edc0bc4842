#!/usr/bin/env bash
# What recording costs a program that runs short-lived virtual threads
# (bench/VirtualThreadChurn.java, JDK 25): the same program unprofiled and
# recorded by `tolvane record` by attach, in interleaved rounds, a fresh JVM
# each. Per run: the median virtual threads completed per second over the
# measured seconds (the recorded run: while the recording runs), the median
# CPU time per 1000 of them, the largest resident memory seen, and for the
# recorded run whether `tolvane verify` accepts the snapshot. Prints each
# round and the medians, and the recorded figures against the unprofiled
# ones. With a rate (100000: the target case) throughput is capped, and the
# CPU per 1000 virtual threads is what shows the cost.
#
#   bench/vthread_churn.sh [build-dir] [rounds] [seconds] [rate]
#   defaults:               build       3        10        0 (as fast as it goes)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$root/build}" && pwd)
rounds=${2:-3}
seconds=${3:-10}
rate=${4:-0}
java=${VTHREAD_JAVA:-/usr/lib/jvm/temurin-25-jdk-amd64/bin/java}
[ -x "$java" ] || { echo "no JDK 21+ at $java (set VTHREAD_JAVA)" >&2; exit 1; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
"$java" -d "$work/classes" -version >/dev/null 2>&1 || true
/usr/lib/jvm/temurin-25-jdk-amd64/bin/javac -d "$work/classes" "$root/bench/VirtualThreadChurn.java"

median() { sort -n | awk '{a[NR]=$1} END {if (NR == 0) print 0; else if (NR % 2) print a[(NR+1)/2]; else print int((a[NR/2]+a[NR/2+1])/2)}'; }

# One run: mode none or tolvane; prints "median-rate cpu-ms-per-1000 max-rss valid".
run() {
  local mode=$1 out="$work/$1.out" snap="$work/$1.tsnap"
  rm -f "$out" "$snap"
  # Two seconds more than measured: warm-up before, slack after.
  "$java" -XX:+EnableDynamicAgentLoading -cp "$work/classes" VirtualThreadChurn $((seconds + 4)) "$rate" >"$out" 2>&1 &
  local pid=$!
  while ! grep -q '^ready' "$out" 2>/dev/null; do sleep 0.1; done
  sleep 2
  local from
  from=$(grep -c '^rate' "$out" || true)
  local valid=-
  if [ "$mode" = tolvane ]; then
    "$root/bin/tolvane" record -d "${seconds}s" -o "$snap" "$pid" >/dev/null 2>&1 || true
    "$root/bin/tolvane" verify "$snap" >/dev/null 2>&1 && valid=valid || valid=INVALID
  else
    sleep "$seconds"
  fi
  local to
  to=$(grep -c '^rate' "$out" || true)
  wait "$pid" || true
  local rates
  rates=$(grep '^rate' "$out" | sed -n "$((from + 1)),${to}p" | awk '{print $2}')
  local rss per
  rss=$(grep '^rate' "$out" | awk '{print $4}' | sort -n | tail -1)
  per=$(grep '^rate' "$out" | sed -n "$((from + 1)),${to}p" | awk '$2 > 0 {printf "%d\n", 1000000 * $6 / $2}' | median)
  echo "$(echo "$rates" | median) $per $rss $valid"
}

echo "round mode rate/s cpu-us-per-1000 max-rss-KB snapshot"
declare -a none_rates tolvane_rates none_cpu tolvane_cpu
for r in $(seq 1 "$rounds"); do
  for mode in none tolvane; do
    read -r rt per rss valid < <(run "$mode")
    echo "$r $mode $rt $per $rss $valid"
    if [ "$mode" = none ]; then none_rates+=("$rt"); none_cpu+=("$per"); else tolvane_rates+=("$rt"); tolvane_cpu+=("$per"); fi
  done
done
n=$(printf '%s\n' "${none_rates[@]}" | median)
t=$(printf '%s\n' "${tolvane_rates[@]}" | median)
nc=$(printf '%s\n' "${none_cpu[@]}" | median)
tc=$(printf '%s\n' "${tolvane_cpu[@]}" | median)
echo "median unprofiled $n/s, recorded $t/s, throughput ratio $(awk -v a="$t" -v b="$n" 'BEGIN {printf "%.3f", (b > 0 ? a / b : 0)}')"
echo "median CPU per 1000: unprofiled $nc us, recorded $tc us, ratio $(awk -v a="$tc" -v b="$nc" 'BEGIN {printf "%.3f", (b > 0 ? a / b : 0)}')"
