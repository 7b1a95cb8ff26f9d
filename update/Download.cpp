// Download of the transfer program into the sensor's RAM through its boot
// loader: header, image in blocks, checksum, one verdict byte.
#include "update/Update.h"
#include "update/UpdateDetail.h"

#include "update/Recovery.h"

#include "serial/DUXKSerial.h"
#include "serial/Link.h"

#include <cstdio>
#include <thread>

namespace {

uint32_t SumOfWord(uint32_t value) {
    return (value & 0xFF) + ((value >> 8) & 0xFF) + ((value >> 16) & 0xFF) + (value >> 24);
}

// The boot loader's verdict letters.
int VerdictResult(uint8_t verdict) {
    switch (verdict) {
    case 'T': return 0;
    case 'C': return 4;
    case 'P': return 5;
    case 'F': return 6;
    case 'O': return 7;
    default: return 11;
    }
}

int Finish(int result) {
    DownloadProgress = 100.01;
    return result;
}

}  // namespace

int LoadTransferPrg(uint32_t firstAddressWord, uint32_t secondAddressWord) {
    CDUXKSerial& channel = GetSensorChannel();
    char text[128];

    DownloadProgress = 0.0;
    channel.TraceMessage("Starting download Transfer-Prg");
    WaitSeconds(0.3);

    SendLong(kTransferProgramBytes);
    SendLong(firstAddressWord);
    SendLong(secondAddressWord);

    // The checksum covers both address words and the image, not the size.
    uint32_t sum = SumOfWord(firstAddressWord) + SumOfWord(secondAddressWord);
    for (size_t i = 0; i < kTransferProgramSize; ++i) sum += kTransferProgram[i];

    uint32_t written = 0;
    while (written < kTransferProgramSize) {
        const uint32_t remaining = static_cast<uint32_t>(kTransferProgramSize) - written;
        const uint32_t length = remaining < kDownloadBlockSize ? remaining : kDownloadBlockSize;
        WaitSeconds(0.4);
        // Stopped between blocks, the boot loader gives up on its own.
        if (UpdateStopRequested()) return Finish(kUpdateStopped);
        const unsigned sent = SendBytes(kTransferProgram + written, length);
        DownloadProgress = written * 100.0 / kTransferProgramBytes;
        if (sent != length) {
            std::snprintf(text, sizeof text, "ERROR 1  nrb=%u  dwWritten=%u  size=%u", length, sent, written);
            channel.TraceMessage(text);
            return Finish(8);
        }
        written += length;
    }
    if (written != kTransferProgramBytes) {
        channel.TraceMessage("size != f_size");
        return Finish(9);
    }

    WaitSeconds(0.5);
    // With its checksum the boot loader starts the program, which nothing
    // but its program end or a power cycle ends: leave a marker for a later
    // run in case this one does not finish. (Cut off before, the loader
    // gives up by itself.) Without it a later run would take the flash for
    // untouched: the checksum is not sent, and the loader gives up.
    if (!WriteUpdateMarker(channel.PortName(), std::to_string(channel.GetBaudRate()), "program"))
        return Finish(kMarkerWriteFailed);
    const uint8_t checksum[2] = {static_cast<uint8_t>(sum & 0xFF), static_cast<uint8_t>((sum >> 8) & 0xFF)};
    SendBytes(checksum, 2);
    WaitSeconds(0.1);

    uint8_t verdict = 0;
    if (ReadBytes(&verdict, 1, false) != 1) {
        channel.TraceMessage("lRead != 1");
        return Finish(10);
    }
    channel.TraceMessage("Download Transfer-Prg finished");
    if (verdict == 'T') channel.TraceMessage("...successful");
    std::snprintf(text, sizeof text, "retbyte = 0x%02x (%c)", verdict, verdict);
    channel.TraceMessage(text);
    WaitSeconds(0.5);

    const int result = VerdictResult(verdict);
    if (result == 11) {
        // Any other byte starts a text from the boot loader: collect it up
        // to its line end (at most 254 characters) and show it.
        char message[256] = {};
        int stored = 0;
        uint8_t current = verdict;
        for (;;) {
            if (current == '\n' || current == '\r') break;
            if (stored == 254) break;
            message[stored++] = static_cast<char>(current);
            if (ReadBytes(&current, 1, false) != 1) break;
        }
        ShowUpdateBox(message, "FLASH", BoxIcon::None);
    }
    return Finish(result);
}
