# Shared by the benchmark scripts (sourced): passes with the page cache
# dropped before each, timed by GNU time.
cold=1
# Drops the page cache; without root the figures come from a warm cache
# (cold is then 0, for the output to say so).
drop() {
  sync
  if ! { echo 3 >/proc/sys/vm/drop_caches; } 2>/dev/null; then cold=0; fi
}
# Runs a command under GNU time: "seconds peak_kib cpu_seconds".
measure() {
  local t
  t=$(mktemp)
  drop
  /usr/bin/time -f '%e %M %U %S' -o "$t" "$@" >/dev/null 2>&1
  awk '{printf "%s %s %.2f\n", $1, $2, $3 + $4}' "$t"
  rm -f "$t"
}
# MB/s of `bytes` in $1 seconds.
mbs() { awk -v b="$bytes" -v s="$1" 'BEGIN { printf "%.1f", (s > 0 ? b / s / 1e6 : 0) }'; }
