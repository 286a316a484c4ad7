#!/usr/bin/env bash
# Installs what is missing and builds the Debian package of Tintorel with CPack: the two programs
# built into build-deb/ with the compiler and linker flags (hardening included) that Debian builds
# its own packages with, installed under /usr, stripped, and packed with the dependencies that
# dpkg-shlibdeps finds in them. Prints the path of the .deb it made,
# build-deb/tintorel_<version>_<arch>.deb.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh >&2
export DEB_BUILD_MAINT_OPTIONS=hardening=+all
# CPack strips the programs and no debug-symbol package is made: debug information would only cost
# compile time.
export DEB_CXXFLAGS_MAINT_STRIP=-g
source scripts/compiler-cache.sh
cmake -S . -B build-deb -G Ninja -DCMAKE_BUILD_TYPE=None "${cache_args[@]}" \
    -DCMAKE_CXX_FLAGS="$(dpkg-buildflags --get CPPFLAGS) $(dpkg-buildflags --get CXXFLAGS)" \
    -DCMAKE_EXE_LINKER_FLAGS="$(dpkg-buildflags --get LDFLAGS)" >/dev/null
# Only what the package holds: the tests and fuzz targets stay out of this build. Its messages go to
# standard error, which leaves standard output to the path of the package.
cmake --build build-deb -j "${JOBS:-2}" --target tintorel tintorel-cli >&2
rm -f build-deb/tintorel_*.deb
(cd build-deb && cpack -G DEB >cpack.log 2>&1) || { cat build-deb/cpack.log >&2; exit 1; }
# CPack goes on past a failed step of packaging/debian-files.cmake; its CMake errors stop us here.
if grep -q 'CMake Error' build-deb/cpack.log; then
    cat build-deb/cpack.log >&2
    exit 1
fi
ls "$PWD"/build-deb/tintorel_*.deb
