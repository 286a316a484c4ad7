#pragma once

// What every fuzz entry provides: libFuzzer calls these, and so does the replay of kept inputs.

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv);
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

// The Qt application object the entries' Qt code expects, made once for the process: with a GUI
// (on the offscreen platform) for what the window does, without one for what the command line
// does.
void startFuzzApplication(bool withGui);

// Stops the process at once, as a crash does, when a property that must hold does not.
[[noreturn]] void fuzzPropertyFailed(const char* what);
