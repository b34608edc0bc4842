#!/usr/bin/env bash
# Where a Tomcat request's CPU goes, by tolvane and by JDK Flight Recorder
# over the same window. Debian's tomcat10 runs on JDK 17 with one servlet
# (bench/TomcatCpuServlet.java) whose request CPU is in cpuWork(), called
# under a lock from slowUpdate(); wrk keeps it loaded. After a warm-up, each
# round records the server by attach with tolvane and with Flight Recorder
# (settings=profile) at the same time, and prints the methods first by own
# CPU in tolvane, cpuWork's share of all CPU there, and cpuWork's share of
# Flight Recorder's execution samples (top frame).
#
#   bench/tomcat_cpu.sh [build-dir] [seconds] [rounds] [connections]
#   defaults:           build       15        1        16
# Installs tomcat10 and wrk from Debian when they are missing (as root).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$root/build}" && pwd)
seconds=${2:-15}
rounds=${3:-1}
connections=${4:-16}
export JAVA_HOME=${JAVA_HOME:-/usr/lib/jvm/java-17-openjdk-amd64}
catalina_home=/usr/share/tomcat10
for part in "$build/jars/tolvane-tool.jar" "$build/jars/tolvane-agent.jar" "$build/libtolvane.so"; do
  [ -f "$part" ] || { echo "missing $part: build first (cmake --build $build)" >&2; exit 1; }
done
if ! command -v wrk >/dev/null || [ ! -x "$catalina_home/bin/catalina.sh" ]; then
  apt-get install -y tomcat10 wrk >/dev/null
fi
tolvane() { TOLVANE_BUILD="$build" JAVA_HOME="$JAVA_HOME" "$root/bin/tolvane" "$@"; }

work=$(mktemp -d)
server=
cleanup() {
  [ -n "$server" ] && kill "$server" 2>/dev/null && wait "$server" 2>/dev/null
  [ -n "${KEEP_WORK:-}" ] && echo "work files in $work" || rm -rf "$work"
}
trap cleanup EXIT

# A Tomcat base of our own on a free port: Debian's configuration, one web
# application with the servlet.
port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
base=$work/base
mkdir -p "$base"/{logs,temp,work,webapps/ROOT/WEB-INF/classes}
cp -r /etc/tomcat10 "$base/conf"
sed -i "s/port=\"8080\"/port=\"$port\"/; s/port=\"8443\"/port=\"-1\"/" "$base/conf/server.xml"
"$JAVA_HOME/bin/javac" --release 17 -nowarn -cp "$catalina_home/lib/servlet-api.jar" \
  -d "$base/webapps/ROOT/WEB-INF/classes" "$root/bench/TomcatCpuServlet.java"

CATALINA_HOME=$catalina_home CATALINA_BASE=$base CATALINA_TMPDIR=$base/temp \
  JAVA_OPTS="-Xms256m -Xmx256m" "$catalina_home/bin/catalina.sh" run >"$work/tomcat.out" 2>&1 &
server=$!
url=http://127.0.0.1:$port/cpu
for _ in $(seq 300); do
  curl -fs "$url" >/dev/null 2>&1 && break
  sleep 0.1
done
curl -fs "$url" >/dev/null || { echo "tomcat did not answer on $url" >&2; cat "$work/tomcat.out" >&2; exit 1; }
pid=$(pgrep -f "catalina.base=$base" | head -1)
[ -n "$pid" ] || { echo "no Tomcat JVM found" >&2; exit 1; }

echo "Tomcat (JVM $pid) on port $port, warming up for 10 s"
wrk -t2 -c"$connections" -d10s "$url" >/dev/null

for round in $(seq "$rounds"); do
  dir=$work/round-$round
  mkdir -p "$dir"
  wrk -t2 -c"$connections" -d"$((seconds + 6))s" "$url" >"$dir/wrk.out" &
  load=$!
  sleep 2
  "$JAVA_HOME/bin/jcmd" "$pid" JFR.start name=bench settings=profile duration="${seconds}s" \
    filename="$dir/jfr.jfr" >/dev/null
  tolvane record -d "${seconds}s" -o "$dir/snap.tsnap" "$pid" >"$dir/record.out" 2>&1
  wait "$load"
  for _ in $(seq 100); do
    [ -s "$dir/jfr.jfr" ] && "$JAVA_HOME/bin/jfr" summary "$dir/jfr.jfr" >/dev/null 2>&1 && break
    sleep 0.2
  done
  tolvane report -f hotspots --state cpu --min-percent 1 "$dir/snap.tsnap" >"$dir/hotspots.txt"
  echo
  echo "round $round: $(grep -o 'Requests/sec: *[0-9.]*' "$dir/wrk.out")"
  echo "tolvane, methods by own CPU (first five):"
  grep -E '^ *[0-9.]+ ?%' "$dir/hotspots.txt" | head -5 | sed 's/^/  /'
  "$JAVA_HOME/bin/jfr" print --events jdk.ExecutionSample "$dir/jfr.jfr" | awk '
    /stackTrace = \[/ { top = 1; next }
    top == 1 { total++; if ($0 ~ /\.cpuWork\(/) work++; top = 0 }
    END { share = total > 0 ? 100 * work / total : 0
          printf "Flight Recorder: cpuWork top frame in %d of %d execution samples, %.1f %%\n", work, total, share }'
done
