#!/usr/bin/env bash
# How long the HTML report of a 20 s recording of 200 threads with 100000
# call-tree nodes takes to become interactive in headless chromium (target:
# under 2 s), next to an empty page loaded the same way as a baseline.
#   bench/html_report_bench.sh [build-dir]     (default: build)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$root/build}" && pwd)
export JAVA_HOME=${JAVA_HOME:-/usr/lib/jvm/java-17-openjdk-amd64}
jars="$build/jars"
for jar in tolvane-tool.jar tolvane-agent.jar tolvane-jvm-tests.jar; do
  if [ ! -f "$jars/$jar" ]; then
    echo "missing $jars/$jar: build it first (cmake --build $build --target tolvane-jvm-tests)" >&2
    exit 1
  fi
done
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cp="$jars/tolvane-tool.jar:$jars/tolvane-agent.jar:$jars/tolvane-jvm-tests.jar:/usr/share/java/picocli.jar"
"$JAVA_HOME/bin/javac" --release 17 -nowarn -d "$work/classes" -cp "$cp" "$root/bench/HtmlReportBench.java"
"$JAVA_HOME/bin/java" -cp "$work/classes:$cp" HtmlReportBench "$work"
