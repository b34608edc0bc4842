#!/usr/bin/env bash
# Resident memory of a 1500-thread target JVM over 50 recordings in a row:
# prints the target's RSS before the first recording and after every fifth.
# Run it once per build to compare them (the figures depend on the machine).
#   bench/recorder_rss_bench.sh [build-dir] [recordings] [threads] [duration]
#   (defaults: build 50 1500 1s)
# The parts can also be named one by one, e.g. to measure an older build:
#   TOLVANE_TOOL_JAR=... TOLVANE_AGENT_JAR=... TOLVANE_LIB=... bench/recorder_rss_bench.sh
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$root/build}" && pwd)
recordings=${2:-50}
threads=${3:-1500}
duration=${4:-1s}
export JAVA_HOME=${JAVA_HOME:-/usr/lib/jvm/java-17-openjdk-amd64}
export TOLVANE_BUILD=$build
work=$(mktemp -d)
target=
cleanup() {
  if [ -n "$target" ]; then kill "$target" 2>/dev/null || true; wait "$target" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT

"$JAVA_HOME/bin/javac" -nowarn -d "$work" "$root/bench/ManyThreadsTarget.java"
"$JAVA_HOME/bin/java" -Xss512k -cp "$work" ManyThreadsTarget "$threads" > "$work/target.log" 2>&1 &
target=$!
for _ in $(seq 100); do
  grep -q ready "$work/target.log" 2>/dev/null && break
  sleep 0.1
done
grep -q ready "$work/target.log" || { echo "the target did not start:"; cat "$work/target.log"; exit 1; } >&2

rss() { awk '/^VmRSS/ { printf "%.1f", $2 / 1024 }' "/proc/$target/status"; }
echo "target JVM $target with $threads threads; $recordings recordings of $duration each"
echo "recordings  RSS (MB)"
printf '%10d  %8s\n' 0 "$(rss)"
for i in $(seq "$recordings"); do
  if ! "$root/bin/tolvane" record -d "$duration" -o "$work/snapshot.tsnap" "$target" > /dev/null 2> "$work/record.err"; then
    echo "recording $i failed:" >&2
    cat "$work/record.err" >&2
    exit 1
  fi
  if [ $((i % 5)) -eq 0 ] || [ "$i" -eq "$recordings" ]; then
    printf '%10d  %8s\n' "$i" "$(rss)"
  fi
done
