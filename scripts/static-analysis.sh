#!/usr/bin/env bash
# clang-tidy (checks in .clang-tidy) and cppcheck over the driver, the sample
# child driver and the client library, as the host build compiles them.
# Usage: static-analysis.sh BUILD_DIR (a build with compile_commands.json).
# Prints every finding; exits 1 if there is one.
set -uo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="$1"
cd "$root"
status=0

sources=(driver/*.cpp control/*.cpp bus/*.cpp child/*.cpp channel/*.cpp samples/childdrv/*.cpp
         service/src/client.cpp service/src/records.cpp service/src/status.cpp service/src/host_transport.cpp)

if ! command -v clang-tidy >/dev/null || ! command -v cppcheck >/dev/null; then
  echo "static analysis: clang-tidy and cppcheck are needed (apt-get install clang-tidy cppcheck)" >&2
  exit 1
fi

echo "clang-tidy: ${#sources[@]} files"
for source in "${sources[@]}"; do
  if ! out="$(clang-tidy -p "$build" --quiet "$source" 2>&1)"; then
    printf '%s\n' "$out" | grep -E "(warning|error):" >&2
    status=1
  fi
done

# The host's wdm.h stands in for the platform's; cppcheck sees the x64 layout.
echo "cppcheck: driver, sample child driver, client library"
if ! cppcheck --quiet --std=c++17 --language=c++ --platform=unix64 --enable=warning,performance,portability \
     --error-exitcode=1 -D__SIZEOF_WCHAR_T__=2 -I include -I host/include -I samples/childdrv \
     -I service/include driver control bus child channel samples/childdrv service/src/client.cpp \
     service/src/records.cpp service/src/status.cpp service/src/host_transport.cpp; then
  status=1
fi

[ "$status" -eq 0 ] && echo "static analysis: no findings"
exit "$status"
