#!/usr/bin/env bash
# Runs one small case of every benchmark program once, on one thread: a benchmark whose model
# cannot be built or whose step fails reports "ERROR OCCURRED" and still ends with status 0, so
# such a case would otherwise go unnoticed until someone reads its figures. No time is judged.
# usage: smoke.sh <folder of the benchmark programs>
set -u
dir=$(cd "$1" && pwd)
export OMP_NUM_THREADS=1
status=0
cases=(
  "bench_etpetr ^BM_PotentialEvapotranspirationStep/1/60/1/"
  "bench_gwflow ^BM_SorSweep/1/"
  "bench_interception ^BM_(InterceptionStep/1/|IrrigationStep)"
  "bench_meteointerpol ^BM_InterpolationStep/1/1/"
  "bench_radiation ^BM_TerrainShadow"
  "bench_routing ^BM_RoutingSteps/1/0/0/"
  "bench_routing_channel ^ClassLookup"
  "bench_siltingup ^BM_SiltingStep/2/1/"
  "bench_slides ^SlidePass/0/"
  "bench_snow ^BM_SnowStep/1/1/"
  "bench_soilcolumn ^BM_Column/10/0/0$"
  "bench_soilstep ^BM_SoilStep/0/1/0/"
  "bench_surfrout ^BM_CouplingPass/5/1/5/"
)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
for c in "${cases[@]}"; do
  read -r program filter <<<"$c"
  out="$work/$program.txt"
  if [ ! -x "$dir/$program" ]; then
    echo "FAIL: $program is not built"; status=1; continue
  fi
  (cd "$work" && "$dir/$program" --benchmark_filter="$filter" --benchmark_min_time=0.001 >"$out" 2>&1)
  rc=$?
  ran=$(grep -c '^[A-Za-z_]*[A-Za-z]/\?.* \(ns\|us\|ms\|s\) ' "$out")
  if [ $rc -ne 0 ] || grep -q "ERROR OCCURRED" "$out" || [ "$ran" -eq 0 ]; then
    echo "FAIL: $program ($filter): status $rc, $ran case(s) measured"; grep -E "ERROR|rror" "$out" | head -3; status=1
  else
    echo "ok: $program ($filter)"
  fi
done
exit $status
