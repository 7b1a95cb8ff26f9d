// Reply lines: arbitrary sensor bytes in the receive ring, read back with
// ReadReply until it times out, every line handed to the identity check as
// the search does. Any line returned must be terminated inside the buffer.
#include "PtyFeed.h"

#include "serial/DUXKSerial.h"
#include "serial/Link.h"

#include <cstring>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static PtyFeed* feed = [] {
        auto* f = new PtyFeed;
        f->OpenChannel();
        return f;
    }();
    // The ring holds 10240 bytes; a sensor's reply is far shorter.
    if (size > 4096) return 0;

    // The text as the search hands it over: up to the first NUL.
    const std::string text(reinterpret_cast<const char*>(data), size);
    (void)CheckIdReply(text.c_str());

    CDUXKSerial& ch = GetSensorChannel();
    ch.Purge();
    ResetReplyState();
    ReplyTimeout = 0.002;
    feed->Arrive(data, size);
    for (int lines = 0; lines <= static_cast<int>(size); ++lines) {
        char* reply = ReadReply();
        if (!reply) break;
        const size_t len = std::strlen(reply);
        if (len >= 512) std::abort();
        (void)CheckIdReply(reply);
    }
    if (ReplyLength() < 0 || ReplyLength() >= 512) std::abort();
    return 0;
}
