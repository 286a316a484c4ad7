#!/usr/bin/env bash
# Installs every Debian package that building, running and testing Tintorel need, skipping those
# already present. Runs apt-get through sudo when not root.
set -euo pipefail

packages=(
    cmake ninja-build g++ pkg-config
    # Rebuilds of what was compiled before, by any clone, come from its cache.
    ccache
    qt6-base-dev qt6-svg-dev qt6-image-formats-plugins libgl-dev
    libgif-dev libjpeg62-turbo-dev libpng-dev libexiv2-dev
    # Colour management (a mark in the picture's own colours, CMYK and grey pictures through
    # their profiles) and TIFF read and written with its pages, compression and depth.
    liblcms2-dev libtiff-dev
    # HEIC/HEIF in (libheif1 brings libde265 to decode HEVC and x265, which the tests encode
    # their HEIC with), AVIF, WebP and JPEG XL in and out.
    libheif-dev libavif-dev libwebp-dev libjxl-dev
    # The usual family of text marks, and the one the tests draw with.
    fonts-dejavu-core
    xvfb xauth xdotool x11-utils python3-xlib procps imagemagick groff-base
    # The sanitizer build and the fuzz targets: clang, its sanitizer and libFuzzer runtimes, and
    # the symbolizer that puts files and lines into their reports.
    clang-14 libclang-rt-14-dev llvm-14
    # The hostile-input tests deflate a PNG of their own with zlib and measure the command line's
    # peak memory with GNU time.
    zlib1g-dev time
    # The Debian package and its check: CPack's dependency list and Debian's build flags, lintian,
    # the desktop entry's and the metainfo's validators, and the Debian 12 system it is installed
    # into.
    dpkg-dev lintian desktop-file-utils appstream debootstrap
    # The durability test watches the folder being synced after a copy takes its name.
    strace
)

missing=()
for p in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
        missing+=("$p")
    fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=()
[ "$(id -u)" -eq 0 ] || sudo=(sudo)
echo "Installing: ${missing[*]}"
"${sudo[@]}" apt-get update -qq
DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
