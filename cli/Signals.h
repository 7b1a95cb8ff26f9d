// Interrupts of the command-line tool. SIGPIPE is ignored for good, so that
// a closed output pipe only makes writes fail. SIGINT, SIGTERM and SIGHUP
// (on Windows: Ctrl-C and Ctrl-Break) end the process at once, as they would
// without a handler, except while a command holds them: then the handler
// only counts them, and the command's own thread decides what to do and
// says so.
#pragma once

void InstallSignalHandling();

// While held, interrupts are counted instead of ending the process.
void HoldInterrupts();
// Back to ending the process at once; interrupts counted meanwhile are
// forgotten unless a command asked to end by them (EndBySignalLater).
void ReleaseInterrupts();

// Interrupts counted since HoldInterrupts, and the last one's number.
int InterruptCount();
int LastInterrupt();
const char* InterruptName(int signal);

// The command has cleaned up after an interrupt: once main has closed the
// port, the process ends by that signal, as it would have without the
// handler (so that a calling shell sees the interrupt).
void EndBySignalLater(int signal);
// Called by main last: ends the process by the signal asked for, if any.
void EndBySignalIfAsked();
