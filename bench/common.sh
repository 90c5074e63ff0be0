# Shared by the whole-program benchmarks: sourced, not run.
# Sets build, rows, runs, dir (removed on exit) and file, a one-million-row
# motion file at a 1 ms row period, and defines best. The programs take
# names of at most 31 characters: they run in $dir and are given $name.
build=$(realpath "${1:-build/release}")
rows=1000000
runs=5
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
name=million.csv
file=$dir/$name

# 1 ms rows for 1000 s: one million rows.
"$build/tools/motion_gen" swing 1 1000 >"$file"
[ "$(wc -l <"$file")" -eq $rows ] || { echo "generator gave the wrong row count" >&2; exit 1; }

best() {  # best wall time in us of "$@" over $runs runs
  local best_ns=0
  for _ in $(seq $runs); do
    local t0 t1
    t0=$(date +%s%N)
    "$@" >/dev/null
    t1=$(date +%s%N)
    local ns=$((t1 - t0))
    if [ $best_ns -eq 0 ] || [ $ns -lt $best_ns ]; then best_ns=$ns; fi
  done
  echo $((best_ns / 1000))
}
