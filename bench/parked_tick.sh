#!/usr/bin/env bash
# What a sampling tick costs over parked threads on a real JVM: a workload
# with one busy thread and N threads parked for good at depth 100
# (bench/OverheadWorkload.java, shape pN) is recorded by `tolvane record`,
# and over a window that begins a settling time after the recording thread
# appeared (registration and the first tick, which walks every thread), the
# script reads from /proc the CPU of the recording thread and of the VM
# thread (schedstat, ns): CPU per second, and per tick, the ticks being
# counted by the recording threads' voluntary context switches (one sleep per
# tick; a waiting monitor may add a few, so the per-tick figure is a floor).
# On a loaded machine the recorder gets fewer ticks a second than the
# nominal 200, and only the per-tick figure compares. Several builds are measured side by
# side, interleaved per thread count, so that all see the same machine;
# JAVA_HOME picks the JDK.
#
#   bench/parked_tick.sh "BUILD-DIR..." ["THREAD-COUNTS"] [window-seconds] [settle-seconds]
#   defaults:             build          "100 1000 5000"   4                8
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
builds=${1:-$root/build}
counts=${2:-100 1000 5000}
window=${3:-4}
settle=${4:-8}
export JAVA_HOME=${JAVA_HOME:-/usr/lib/jvm/java-17-openjdk-amd64}
java=$JAVA_HOME/bin/java
work=$(mktemp -d)
trap 'kill $(jobs -p) 2>/dev/null || true; rm -rf "$work"' EXIT
"$JAVA_HOME/bin/javac" --release 17 -nowarn -d "$work/classes" "$root/bench/OverheadWorkload.java"

# threads_of PID NAME: the task ids of the threads whose name starts with NAME
# (the recorder's daemon and the thread that runs the recording may share the
# first 15 characters, all the kernel keeps)
threads_of() { grep -l "^$2" /proc/"$1"/task/*/comm 2>/dev/null | cut -d/ -f5; }
cpu_ns() { local sum=0 t; for t in "${@:2}"; do sum=$((sum + $(cut -d' ' -f1 /proc/"$1"/task/"$t"/schedstat))); done; echo $sum; }
switches() { local sum=0 t; for t in "${@:2}"; do sum=$((sum + $(awk '/^voluntary_ctxt/ {print $2}' /proc/"$1"/task/"$t"/status))); done; echo $sum; }
echo "machine: $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //'), load $(cut -d' ' -f1-3 /proc/loadavg)"
echo "JDK: $("$java" -version 2>&1 | head -1)"
printf '%-8s %-28s %14s %10s %10s %16s\n' threads build "cpu ms/s" "ticks/s" "us/tick" "ns/thread/tick"
for n in $counts; do
  for build in $builds; do
    dir="$work/p$n-$(basename "$(dirname "$build")")"
    mkdir -p "$dir"
    "$java" -Xms256m -Xmx256m -cp "$work/classes" OverheadWorkload "p$n" "$dir" 1 >"$dir/out" 2>"$dir/err" &
    pid=$!
    until grep -q ready "$dir/out" 2>/dev/null; do sleep 0.1; done
    TOLVANE_BUILD="$build" JAVA_HOME="$JAVA_HOME" "$root/bin/tolvane" record -d "$((window + 30))s" \
      -o "$dir/snap.tsnap" "$pid" >"$dir/record.out" 2>&1 &
    recorder_cmd=$!
    until grep -q "recording JVM" "$dir/record.out" 2>/dev/null; do sleep 0.2; done
    sleep "$settle"
    rec=$(threads_of "$pid" "_tolvane rec")
    vm=$(threads_of "$pid" "VM Thread")
    c0=$(cpu_ns "$pid" $rec $vm); s0=$(switches "$pid" $rec); t0=$(date +%s%N)
    sleep "$window"
    c1=$(cpu_ns "$pid" $rec $vm); s1=$(switches "$pid" $rec); t1=$(date +%s%N)
    # The recording ends with its JVM.
    kill "$pid" 2>/dev/null || true
    wait "$pid" "$recorder_cmd" 2>/dev/null || true
    awk -v n="$n" -v b="$build" -v c=$((c1 - c0)) -v t=$((t1 - t0)) -v k=$((s1 - s0)) 'BEGIN {
      secs = t / 1e9; ticks = k > 0 ? k : 1
      printf "%-8d %-28s %14.1f %10.0f %10.0f %16.0f\n", n, b, c / 1e6 / secs, k / secs, c / 1e3 / ticks, c / ticks / n }'
  done
done
