#!/usr/bin/env bash
# What a sampling tick costs over parked threads on a real JVM: a workload
# with one busy thread and N threads parked for good at depth 100
# (bench/OverheadWorkload.java, shape pN) is recorded by `tolvane record`,
# and over a window after the first ticks the script reads from /proc the CPU
# of the recording thread and of the VM thread (schedstat, ns) and counts the
# ticks: each walks the busy thread, with a handshake that -Xlog:handshake
# reports. Several builds are measured side by side, interleaved per
# thread count, so that all see the same machine.
#
#   bench/parked_tick.sh "BUILD-DIR..." ["THREAD-COUNTS"] [window-seconds]
#   defaults:             build          "100 1000 5000"   4
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
builds=${1:-$root/build}
counts=${2:-100 1000 5000}
window=${3:-4}
export JAVA_HOME=${JAVA_HOME:-/usr/lib/jvm/java-17-openjdk-amd64}
java=$JAVA_HOME/bin/java
work=$(mktemp -d)
trap 'kill $(jobs -p) 2>/dev/null || true; rm -rf "$work"' EXIT
"$JAVA_HOME/bin/javac" --release 17 -nowarn -d "$work/classes" "$root/bench/OverheadWorkload.java"

# thread_of PID PREFIX: the task id of the first thread whose name starts with PREFIX
thread_of() {
  for task in /proc/"$1"/task/*; do
    if [[ "$(cat "$task/comm" 2>/dev/null)" == "$2"* ]]; then basename "$task"; return; fi
  done
}
cpu_ns() { cut -d' ' -f1 /proc/"$1"/task/"$2"/schedstat; }
# captures LOG: the most stack-capture handshakes of any one thread so far
captures() {
  { grep -o 'GetStackTrace for thread 0x[0-9a-f]*' "$1" || true; } | sort | uniq -c | sort -rn | awk 'NR == 1 {print $1} END {if (NR == 0) print 0}'
}

echo "machine: $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //'), load $(cut -d' ' -f1-3 /proc/loadavg)"
printf '%-8s %-28s %8s %14s %10s %14s\n' threads build ticks/s "cpu ms/s" "us/tick" "ns/thread/tick"
for n in $counts; do
  for build in $builds; do
    dir="$work/p$n-$(basename "$(dirname "$build")")"
    mkdir -p "$dir"
    "$java" -Xms256m -Xmx256m -Xlog:handshake*=debug:file="$dir/hs.log" -cp "$work/classes" OverheadWorkload "p$n" "$dir" 1 >"$dir/out" 2>"$dir/err" &
    pid=$!
    until grep -q ready "$dir/out" 2>/dev/null; do sleep 0.1; done
    TOLVANE_BUILD="$build" JAVA_HOME="$JAVA_HOME" "$root/bin/tolvane" record -d "$((window + 30))s" \
      -o "$dir/snap.tsnap" "$pid" >"$dir/record.out" 2>&1 &
    recorder_cmd=$!
    rec=
    until [ -n "$rec" ]; do sleep 0.2; rec=$(thread_of "$pid" _tolvane); done
    vm=$(thread_of "$pid" "VM Thread")
    # Registration and the first tick, which walks every thread, come first.
    until [ "$(captures "$dir/hs.log")" -ge 20 ]; do sleep 0.2; done
    c0=$(( $(cpu_ns "$pid" "$rec") + $(cpu_ns "$pid" "$vm") )); s0=$(captures "$dir/hs.log"); t0=$(date +%s%N)
    sleep "$window"
    c1=$(( $(cpu_ns "$pid" "$rec") + $(cpu_ns "$pid" "$vm") )); s1=$(captures "$dir/hs.log"); t1=$(date +%s%N)
    kill "$recorder_cmd" "$pid" 2>/dev/null || true
    wait "$recorder_cmd" "$pid" 2>/dev/null || true
    awk -v n="$n" -v b="$build" -v c=$((c1 - c0)) -v s=$((s1 - s0)) -v t=$((t1 - t0)) 'BEGIN {
      secs = t / 1e9; ticks = s > 0 ? s : 1
      printf "%-8d %-28s %8.1f %14.1f %10.0f %14.0f\n", n, b, s / secs, c / 1e6 / secs, c / 1e3 / ticks, c / ticks / n }'
  done
done
