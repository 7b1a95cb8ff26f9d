// Debug output of the system (step details that are not for the user): goes
// to the sensor channel's trace when one is attached, and to standard error
// when the environment variable DUXK_DEBUG is set.
#pragma once

void DebugOutput(const char* text);
