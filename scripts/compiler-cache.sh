# Sourced by the build scripts (not run): compiles through ccache when it is installed, so that a
# build of sources compiled before (a rerun of the suite, another clone of the repository) takes
# the objects made then. The checkout's own path is left out of what ccache compares, so clones
# share what they compiled. A first build is as slow as without it.
cache_args=()
if command -v ccache >/dev/null; then
    export CCACHE_BASEDIR=$PWD CCACHE_NOHASHDIR=1 CCACHE_MAXSIZE=${CCACHE_MAXSIZE:-10G}
    cache_args=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
fi
