#!/usr/bin/env bash
# Profiler overhead on a JVM: the same workload unprofiled, recorded by
# tolvane (threads checked for CPU use, the default), recorded by tolvane with
# --batched-capture (every thread walked at a global safepoint each tick), and
# under JDK Flight Recorder with settings=profile, interleaved in rounds so
# that all four see the same machine. Prints per-round and median ratios of
# throughput, CPU per unit of work and the working threads' own CPU per unit
# (what their code costs, however busy the machine) against the unprofiled
# run of the same round, the JVM-wide pauses of sampling (safepoints), the single-thread
# handshakes per second of recording and how long they paused their thread,
# and the CPU of the VM thread and the profiler's own threads per tick.
# Mode "after" records 1 s with tolvane during the warm-up and then measures
# unprofiled: what a recording leaves behind in the JVM. Mode "management"
# only starts the JVM's local management agent (JMX over RMI) during the
# warm-up, as tolvane's control path once did: a reference for "after".
#
#   bench/overhead.sh [build-dir] [rounds] [seconds] [shapes] [modes]
#   defaults:          build       5        5         "a b c"  "none tolvane batched jfr"
# A mode tolvane-N records with --single-capture-limit N (how the default
# limit was chosen), noasync with --no-async-sampling (running threads
# captured at the tick); "none" must come first.
# Shapes (bench/OverheadWorkload.java): a) 1 busy thread + 100 threads in
# Object.wait(100) at depth 40; b) 2 x cores busy threads at depth 30;
# c) 1 busy thread + 2000 parked threads at depth 100; pN) the same with N
# parked threads ("p100 p1000 p5000": what a tick costs per thread); d) 1
# thread filling HashMap<Long, Long> and StringBuilder with boxed values at
# depth 20-30.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$root/build}" && pwd)
rounds=${2:-5}
seconds=${3:-5}
shapes=${4:-a b c}
modes=${5:-none tolvane batched jfr}
export JAVA_HOME=${JAVA_HOME:-/usr/lib/jvm/java-17-openjdk-amd64}
java=$JAVA_HOME/bin/java
for part in "$build/jars/tolvane-tool.jar" "$build/jars/tolvane-agent.jar" "$build/libtolvane.so"; do
  [ -f "$part" ] || { echo "missing $part: build first (cmake --build $build)" >&2; exit 1; }
done
work=$(mktemp -d)
trap 'kill $(jobs -p) 2>/dev/null || true; rm -rf "$work"' EXIT
"$JAVA_HOME/bin/javac" --release 17 -nowarn -d "$work/classes" "$root/bench/OverheadWorkload.java"
tolvane() { TOLVANE_BUILD="$build" JAVA_HOME="$JAVA_HOME" "$root/bin/tolvane" "$@"; }

wait_for() {  # wait_for FILE-OR-COMMAND SECONDS
  local deadline=$((SECONDS + $2))
  until eval "$1"; do
    [ $SECONDS -lt $deadline ] || return 1
    sleep 0.05
  done
}

# run SHAPE MODE ROUND: one profiled or unprofiled run; appends a line to results.
run() {
  local shape=$1 mode=$2 round=$3
  local dir="$work/$shape-$mode-$round"
  mkdir -p "$dir"
  "$java" -Xms256m -Xmx256m -XX:+UseG1GC \
    -Xlog:safepoint=info:file="$dir/safepoint.log" -Xlog:handshake*=debug:file="$dir/handshake.log" \
    -cp "$work/classes" OverheadWorkload "$shape" "$dir" "$seconds" >"$dir/out" 2>"$dir/err" &
  local pid=$!
  wait_for "grep -q ready '$dir/out'" 60 || { echo "workload $shape did not start" >&2; cat "$dir/err" >&2; exit 1; }
  local recorder=
  case $mode in
    none) ;;
    tolvane|tolvane-*|batched|noasync)
      local extra=()
      [ "$mode" = batched ] && extra=(--batched-capture)
      [ "$mode" = noasync ] && extra=(--no-async-sampling)
      [[ "$mode" = tolvane-* ]] && extra=(--single-capture-limit "${mode#tolvane-}")
      tolvane record -d "$((seconds + 3))s" -o "$dir/snap.tsnap" "${extra[@]}" "$pid" >"$dir/record.out" 2>&1 &
      recorder=$!
      # The first tick of a recording captures a stack: a safepoint or a handshake.
      wait_for "grep -q GetThreadListStackTraces '$dir/safepoint.log' || grep -q GetStackTrace '$dir/handshake.log'" 60 ||
        { echo "recording did not start" >&2; cat "$dir/record.out" >&2; exit 1; }
      ;;
    after)
      # Recorded during the warm-up, then left to settle (code made not entrant is compiled again).
      tolvane record -d 1s -o "$dir/snap.tsnap" "$pid" >"$dir/record.out" 2>&1 ||
        { echo "tolvane record failed:" >&2; cat "$dir/record.out" >&2; exit 1; }
      sleep 2
      ;;
    management)
      jcmd "$pid" ManagementAgent.start_local >"$dir/record.out" 2>&1
      sleep 2
      ;;
    jfr)
      jcmd "$pid" JFR.start settings=profile filename="$dir/rec.jfr" >"$dir/record.out" 2>&1
      ;;
  esac
  touch "$dir/go"
  wait_for "[ -e '$dir/measured' ]" $((seconds + 60)) || { echo "workload $shape did not finish" >&2; exit 1; }
  if [ -n "$recorder" ]; then
    wait "$recorder" || { echo "tolvane record failed:" >&2; cat "$dir/record.out" >&2; exit 1; }
    tolvane verify "$dir/snap.tsnap" >/dev/null || { echo "invalid snapshot $dir/snap.tsnap" >&2; exit 1; }
  fi
  kill "$pid"
  wait "$pid" 2>/dev/null || true
  echo "$shape $mode $round $(grep units= "$dir/out") dir=$dir" >>"$work/results"
  printf '.' >&2
}

echo "machine: $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //'), load $(cut -d' ' -f1-3 /proc/loadavg)"
echo "JDK: $("$java" -version 2>&1 | head -1); $rounds rounds of ${seconds}s per shape"
for shape in $shapes; do
  for round in $(seq 1 "$rounds"); do
    for mode in $modes; do
      run "$shape" "$mode" "$round"
    done
  done
done
echo >&2
"$java" "$root/bench/OverheadReport.java" "$work/results"
