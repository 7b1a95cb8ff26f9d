// Finding the transfer program of an interrupted update again. The program
// has no time-outs: a host that went away mid-telegram leaves it waiting for
// the rest of a telegram, for the echo of a reply byte, or busy with an
// erase. Zero bytes bring it back to the start of a telegram from any of
// these: they complete a telegram with a checksum that cannot match (command
// codes are not zero and body sums stay below 65536), they serve as echoes,
// and in the idle program every pair of zeros (length 0, unknown command 0)
// comes back as exactly one raw 0x00.
#pragma once

#include <cstdint>
#include <functional>

enum class ResyncResult {
    Found,        // the program answered a power-on telegram and waits for the next one
    NotFound,     // nothing that behaves like the program answered in time
    Application,  // the sensor's own firmware answered an identity query instead
    Stopped,      // the caller's stop request
    PortGone,     // the port could not be used or failed
};

struct ResyncOptions {
    uint32_t baud = 38400;
    // Give up when nothing at all has come back for this long (an erase in
    // progress answers only when it is done, after up to about 10 s).
    double silentSeconds = 12.0;
    // Give up in any case after this long (and the line time of a long wake).
    double maxSeconds = 25.0;
    // When neither the zeros nor the identity query meet any answer, the
    // program may be taking the data of a telegram whose length came from
    // garbled bytes: up to 65,535 of them, which it takes silently. Send
    // that many zeros (about 20 s at 38400 baud, 164 s at 4800) before
    // giving up, stopping as soon as anything answers.
    bool longWake = true;
    // Once the zeros meet silence, ask once for an identity in the sensor's
    // text framing: its application or boot firmware answers at once, which
    // ends the wait early.
    bool askFirmware = true;
    // Polled while waiting; true ends the resynchronisation.
    std::function<bool()> stop;
};

// Resynchronises with the program on the open sensor channel, which must be
// in the boot framing (8 data bits, even parity, 2 stop bits) at
// options.baud. On Found the program sits at the start of a telegram.
ResyncResult ResyncTransferProgram(const ResyncOptions& options);

// Asks for the identity ("id") in the sensor's text framing at each of the
// four rates, firstBaud first, on the open sensor channel: Application when
// the application or boot firmware answers (the channel is then left at that
// rate), NotFound when none does. A sensor's own firmware answers at once,
// so nothing more need be sent to a sensor that is not in the program.
ResyncResult AskIdentityAtRates(uint32_t firstBaud, const std::function<bool()>& stop, uint32_t* answeredAt = nullptr);

// Opens port, asks for the identity at all four rates and, when no firmware
// answers, resynchronises at baudText in the boot framing; the long wake-up
// only with longWake. The port stays open when the program was found, and
// is closed otherwise.
ResyncResult ProbeTransferProgram(const char* port, const char* baudText, std::function<bool()> stop,
                                  double silentSeconds = 12.0, bool longWake = true);
