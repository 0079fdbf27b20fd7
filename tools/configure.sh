#!/usr/bin/env bash
# Configures the two build trees. The launcher's tests run in the x86 tree when this kernel runs
# 32-bit Linux programs (Wine's 32-bit loader is one); otherwise the x64 tree builds the
# launcher's code 64-bit too and runs its tests, and the x86 tree builds the 32-bit deliverables.
# Source lists are globbed when a tree is configured (not at every build, so that a build with
# nothing changed does nothing): a tree is configured again when the set of sources, test folders
# or test data files differs from the one it was configured with.
set -euo pipefail
cd "$(dirname "$0")/.."
# The x86 tree builds its test programs on every machine: only the 32-bit compiler sees some faults.
if [ "$(bash tools/launcher-tree.sh)" = build/x86 ]; then
  x86_run=ON; x64_launcher=OFF
  echo "configure: 32-bit Wine runs here: build/x86 runs the 32-bit launcher's tests; build/x64 holds the status probe"
else
  x86_run=OFF; x64_launcher=ON
  echo "configure: 32-bit Wine cannot run here: build/x64 builds the launcher's code 64-bit and runs its tests; build/x86 builds the 32-bit deliverables and test programs without running them"
fi
want_x86="-DVEK_TESTS=ON -DVEK_RUN_TESTS=$x86_run -DVEK_LAUNCHER=ON"
want_x64="-DVEK_TESTS=ON -DVEK_LAUNCHER=$x64_launcher"
# The names (not the contents) of every file a CMakeLists.txt may glob.
sources=$(find common settings services net engine ui statusprobe tests tools -type f \
            \( -name '*.cpp' -o -name '*.c' -o -name 'CMakeLists.txt' -o -path '*/data/*' -o -path 'ui/res/*' \) 2>/dev/null |
          LC_ALL=C sort | md5sum | cut -d' ' -f1)
conf() { # tree toolchain flags
  local tree=$1 tc=$2 flags=$3
  if [ -f "$tree/build.ninja" ] && [ "$(cat "$tree/vek-flags" 2>/dev/null)" = "$flags" ]; then
    if [ "$(cat "$tree/vek-sources" 2>/dev/null)" != "$sources" ]; then
      cmake "$tree" >/dev/null
      echo "$sources" >"$tree/vek-sources"
    fi
    return
  fi
  cmake -S . -B "$tree" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_TOOLCHAIN_FILE="cmake/$tc" $flags
  echo "$flags" >"$tree/vek-flags"
  echo "$sources" >"$tree/vek-sources"
}
conf build/x86 toolchain-i686.cmake "$want_x86"
conf build/x64 toolchain-x86_64.cmake "$want_x64"
