// A scripted stand-in for the link primitives (serial/Link.h) for fuzzing
// the telegram layer: the bytes "received" come from the fuzz input, what is
// sent is dropped, and time is a counter that waits and read time-outs
// advance, so that the retry windows of the flash operations run their
// course in microseconds instead of seconds. Linked in place of the real
// primitives; the sensor channel itself stays the real one (closed). Every
// function of serial/Link.h that a library calls is defined here, or the
// linker takes the real Link.cpp as well and finds each primitive twice.
#pragma once

#include <cstddef>
#include <cstdint>

void ScriptReset(const uint8_t* data, size_t size);
// Bytes of the script not consumed yet.
size_t ScriptLeft();
