#!/usr/bin/env bash
# The build's cost (make bench with BENCH_BUILD=1): a clean build of each tree, with the flags
# tools/configure.sh chose for it and without the compiler cache, in a scratch folder; prints the
# CPU seconds (user + system of every compiler and linker), the wall-clock seconds at -j JOBS, and
# the ten heaviest steps from Ninja's log. Prints figures only and never fails.
set -uo pipefail
cd "$(dirname "$0")/.."
bash tools/configure.sh >/dev/null || { echo "bench-build: configure failed"; exit 0; }
jobs=${JOBS:-$(nproc)}
for tree in build/x86 build/x64; do
  name=$(basename "$tree")
  scratch=$(mktemp -d)
  flags=$(cat "$tree/vek-flags")
  tc=toolchain-x86_64.cmake
  [ "$name" = x86 ] && tc=toolchain-i686.cmake
  # shellcheck disable=SC2086 # the flags are words
  if ! cmake -S . -B "$scratch" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_TOOLCHAIN_FILE="cmake/$tc" \
       $flags >/dev/null 2>&1; then
    echo "bench-build: $name does not configure"
    rm -rf "$scratch"
    continue
  fi
  TIMEFORMAT='%U %S %R'
  figures=$({ time CCACHE_DISABLE=1 ninja -C "$scratch" -j "$jobs" >/dev/null 2>&1; } 2>&1 | tail -1)
  read -r user sys real <<<"$figures"
  awk -v t="$name" -v u="$user" -v s="$sys" -v r="$real" -v j="$jobs" \
    'BEGIN { printf "build_%s_cpu_seconds=%.0f\nbuild_%s_wall_seconds_at_j%s=%.0f\n", t, u + s, t, j, r }'
  # Step seconds of the test programs' units, of the other units and of the links.
  awk -F'\t' -v t="$name" 'NR > 1 { d = ($2 - $1) / 1000
      if ($4 ~ /\.obj$/ && $4 ~ /^tests\//) tu += d; else if ($4 ~ /\.obj$/) ou += d
      else if ($4 ~ /\.(exe|dll)$/) { ln += d; n++ } }
    END { printf "build_%s_step_seconds_test_units=%.0f\nbuild_%s_step_seconds_other_units=%.0f\n", t, tu, t, ou
          printf "build_%s_step_seconds_links=%.0f (%d links)\n", t, ln, n }' "$scratch/.ninja_log"
  echo "build_${name}_heaviest_steps (seconds, output):"
  awk -F'\t' 'NR > 1 { printf "%.1f\t%s\n", ($2 - $1) / 1000, $4 }' "$scratch/.ninja_log" | sort -rn | head -10 |
    sed 's/^/  /'
  rm -rf "$scratch"
done
exit 0
