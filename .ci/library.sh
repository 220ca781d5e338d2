#!/usr/bin/env bash
# The library as a program outside the project uses it; run by .ci/run.
#
#   .ci/library.sh BUILD     BUILD: a configured and built top-level build (build/release)
set -euo pipefail
cd "$(dirname "$0")/.."
build="$1"
sample=samples/sample.ts
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
fail() { echo "library: $*" >&2; exit 1; }

# The PMTs velkarin lists on the sample: what every list-pmts must name, in the same order.
want="$("$build/velkarin" "$sample" 2>/dev/null | sed -n 's/^PMT CRC32:\(0x[0-9A-F]*\) .*/\1/p')"
[ -n "$want" ] || fail "velkarin lists no PMT on $sample"

# Runs a built list-pmts on the sample and holds its PMTs to velkarin's.
check_example() {
  local bin="$1" how="$2" out got
  out="$("$bin" "$sample")" || fail "$how: list-pmts $sample failed"
  got="$(sed -n 's/^PMT CRC32 \(0x[0-9A-F]*\):.*/\1/p' <<<"$out")"
  grep -q '^program [0-9]* PMT PID 0x' <<<"$out" || fail "$how: no program of the PAT listed"
  [ "$got" = "$want" ] || fail "$how: list-pmts names PMTs $(echo $got), velkarin $(echo $want)"
  echo "library: $how: list-pmts names the PMTs velkarin lists ($(echo $want))"
}

# The static library and exactly the public headers, each including all it needs.
prefix="$work/prefix"
cmake --install "$build" --prefix "$prefix" >/dev/null
headers="core/core.h dump/dump.h pmt/pmt.h programs/program_split.h psi/codec.h psi/psi.h ts.h version.h"
installed="$(cd "$prefix/include/velkarin" && find . -type f -o -type l | sed 's|^\./||' | sort | xargs)"
[ "$installed" = "$headers" ] || fail "installed headers: $installed; the public ones: $headers"
[ -f "$prefix/lib/libvelkarin-ts.a" ] || fail "libvelkarin-ts.a not installed"
for h in $headers; do
  echo "#include <velkarin/$h>" | g++ -std=c++20 -fsyntax-only -Wall -Wextra -Wshadow -Wconversion -Werror \
    -I"$prefix/include" -x c++ - || fail "<velkarin/$h> does not compile on its own"
done
grep -q "VELKARIN_VERSION \"$(sed -n 's/^project(velkarin VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)\"" \
  "$prefix/include/velkarin/version.h" || fail "version.h does not carry the project's version"

# The example through find_package and through pkg-config.
cmake -S examples -B "$work/example" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$work/example" -j2 >/dev/null
check_example "$work/example/list-pmts" "find_package(velkarin)"
cp examples/Makefile examples/list_pmts.cpp "$work/"
make -s -C "$work" PKG_CONFIG_PATH="$prefix/lib/pkgconfig" >/dev/null
check_example "$work/list-pmts" "pkg-config velkarin"

# A shared build: the library with its soname, the commands finding it from the prefix.
cmake -S . -B "$work/shared" -G Ninja -DCMAKE_BUILD_TYPE=Release -DBUILD_SHARED_LIBS=ON \
  -DVELKARIN_TESTS=OFF >/dev/null
cmake --build "$work/shared" -j2 >/dev/null
cmake --install "$work/shared" --prefix "$work/shared-prefix" >/dev/null
readelf -d "$work/shared-prefix/lib/libvelkarin-ts.so" | grep -q 'SONAME.*\[libvelkarin-ts\.so\.1\]' \
  || fail "libvelkarin-ts.so has no soname libvelkarin-ts.so.1"
[ "$("$work/shared-prefix/bin/velkarin" "$sample" 2>/dev/null)" = "$("$build/velkarin" "$sample" 2>/dev/null)" ] \
  || fail "the installed shared velkarin lists otherwise than the static one"
cmake -S examples -B "$work/example-shared" -G Ninja -DCMAKE_PREFIX_PATH="$work/shared-prefix" >/dev/null
cmake --build "$work/example-shared" -j2 >/dev/null
readelf -d "$work/example-shared/list-pmts" | grep -q 'NEEDED.*libvelkarin-ts\.so\.1' \
  || fail "the shared example does not use libvelkarin-ts.so.1"
check_example "$work/example-shared/list-pmts" "find_package(velkarin), shared"

# The repository as a subproject: the library alone, without commands or tests.
cmake -S examples/subproject -B "$work/subproject" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
if ninja -C "$work/subproject" -t targets all | grep -E '(velkarin|velkarin-dump|velkarin-programs|_test)(:| )'; then
  fail "the subproject builds the commands or the tests"
fi
cmake --build "$work/subproject" -j2 >/dev/null
check_example "$work/subproject/list-pmts" "add_subdirectory"
