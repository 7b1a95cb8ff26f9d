// Debug output of the system (step details that are not for the user): goes
// to the sensor channel's trace when one is attached, and to standard error
// when the environment variable DUXK_DEBUG is set.
#pragma once

void DebugOutput(const char* text);

// Verbose steps: the trace's step messages and the debug output also go to
// standard error (duxk -v). Off by default.
void SetVerboseSteps(bool on);
bool VerboseSteps();
