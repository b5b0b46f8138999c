#!/usr/bin/env bash
# Time per report page and peak memory of a three-page report: the service's
# imaging (build/bench/report_page_bench) against the same page made with
# pydicom and Pillow (bench/report_page_pydicom.py), measured in one run.
# Wall-clock and CPU time are both shown: on a shared machine the wall time
# of either side depends on what else runs.
# Usage: bench/report_page_compare.sh [build-dir]   (default: build)
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD=${1:-build}
cmake --build "$BUILD" -j2 --target report_page_bench >/dev/null
BENCH=$BUILD/bench/report_page_bench
OUT=$(mktemp -d /tmp/norv-compare.XXXXXX)
trap 'rm -rf "$OUT"' EXIT

"$BENCH" --benchmark_filter='BM_ReportPage$' --benchmark_repetitions=5 \
  --benchmark_report_aggregates_only=true --benchmark_out="$OUT/page.json" \
  --benchmark_out_format=json >/dev/null
"$BENCH" --benchmark_filter='BM_ThreePageReport' --benchmark_out="$OUT/report.json" \
  --benchmark_out_format=json >/dev/null
PY_PAGE=$(/usr/bin/python3 bench/report_page_pydicom.py --pages 200)
PY_PEAK=$(/usr/bin/python3 bench/report_page_pydicom.py --three-page)

/usr/bin/python3 - "$OUT/page.json" "$OUT/report.json" "$PY_PAGE" "$PY_PEAK" <<'PY'
import json, re, sys
page = json.load(open(sys.argv[1]))["benchmarks"]
median = next(b for b in page if b.get("aggregate_name") == "median")
assert median["time_unit"] == "ms"
cpp_wall, cpp_cpu = median["real_time"], median["cpu_time"]
report = json.load(open(sys.argv[2]))["benchmarks"][0]
m = re.search(r"median ([0-9.]+) ms wall, ([0-9.]+) ms CPU", sys.argv[3])
py_wall, py_cpu = float(m.group(1)), float(m.group(2))
print(f"C++ (DCMTK + FreeType): median {cpp_wall:.2f} ms wall, {cpp_cpu:.2f} ms CPU per page; "
      f"three-page report {report['real_time']:.2f} ms, peak RSS {report['peak_rss_MB']:.1f} MB")
print(sys.argv[3])
print(sys.argv[4])
print(f"speed-up: {py_wall / cpp_wall:.1f}x wall, {py_cpu / cpp_cpu:.1f}x CPU"
      f"   (goal: < 5 ms per page, >= 10x)")
PY
