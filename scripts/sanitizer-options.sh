# The sanitizers' settings for the instrumented build's tests and fuzz targets; sourced by
# sanitize.sh and fuzz.sh. Every error stops the program that made it, with an exit code no test
# expects, and leaks are looked for at every exit.
sanitizer_root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
# Exit code 86: neither 0, 1 nor 2, which the command line gives itself. An allocation the system
# cannot make fails as it does without the sanitizer, returning no memory, which Qt and the program
# handle (a settings value declaring 59 GB): AddressSanitizer would stop the program instead.
export ASAN_OPTIONS="halt_on_error=1:detect_leaks=1:exitcode=86:check_initialization_order=1"
ASAN_OPTIONS+=":strict_init_order=1:allocator_may_return_null=1"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1:exitcode=86"
export LSAN_OPTIONS="suppressions=$sanitizer_root/scripts/lsan.supp:print_suppressions=0"
if [ -x /usr/lib/llvm-14/bin/llvm-symbolizer ]; then
    export ASAN_SYMBOLIZER_PATH=/usr/lib/llvm-14/bin/llvm-symbolizer
fi
