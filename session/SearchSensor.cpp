// The sensor search: a worker thread that tries the remembered port and then
// COM1..COM7, each at 38400, 19200, 9600 and 4800 baud, until a device gives
// a valid identity reply and a serial number. On acceptance the channel
// stays open at the port and rate found.

#include "session/MainFrame.h"

#include "serial/DUXKSerial.h"
#include "serial/Link.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

namespace {

const char* const kRates[] = {"38400", "19200", "9600", "4800"};

// How long a wait may block before it looks at the stop request again.
constexpr uint64_t kStopCheckMs = 50;

enum class Outcome { NextRate, Accepted, Stopped };

bool StopRaised(SearchState* s) { return s->nStop.load() != 0; }

// Blocks for ms milliseconds or until the stop request is raised; true when
// stopped.
bool WaitOrStop(SearchState* s, uint64_t ms) {
    std::unique_lock<std::mutex> lock(s->stopMutex);
    return s->stopCv.wait_for(lock, std::chrono::milliseconds(ms), [s] { return s->nStop.load() != 0; });
}

unsigned EndStopped(SearchState* s) {
    s->nStop += 2;
    return static_cast<unsigned>(-1);
}

void ShowStatus(SearchState* s, const char* format, ...) __attribute__((format(printf, 2, 3)));
void ShowStatus(SearchState* s, const char* format, ...) {
    char text[128];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    s->pStatusBar->SetStatusText(text);
}

void SleepMs(unsigned ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

uint64_t Remaining(uint64_t deadline) {
    uint64_t now = TickCountMs();
    return now < deadline ? deadline - now : 0;
}

// Waits for the next received byte, at most until the deadline; true when
// stopped meanwhile.
bool WaitForByte(SearchState* s, CDUXKSerial& channel, uint64_t deadline) {
    const uint32_t wait = static_cast<uint32_t>(std::min(Remaining(deadline), kStopCheckMs));
    // A port that failed receives nothing more and no longer blocks the
    // receive wait: sit out the time like an idle port instead.
    if (channel.HasEventThreadFailed()) return WaitOrStop(s, wait);
    channel.WaitReceived(wait);
    return StopRaised(s);
}

// Cleans the text that follows "ID:SER ": '.' becomes '_'; a '_' or any
// character outside 0x20..0x7F ends it. Writes at most 79 characters.
void CleanSerial(const char* text, char* out) {
    size_t n = 0;
    for (const char* p = text; n < 79; ++p) {
        unsigned char c = static_cast<unsigned char>(*p);
        if (c < 0x20 || c > 0x7F || c == '_') break;
        out[n++] = c == '.' ? '_' : static_cast<char>(c);
    }
    out[n] = '\0';
}

bool CommandLineHasNoSnCheck(const std::string& cmdLine) {
    std::string upper = cmdLine;
    for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return upper.find("NOSNCHECK") != std::string::npos;
}

void Accept(SearchState* s) {
    s->pFrame->EnableSensorCommands(true);
    s->pSensorFound->store(1, std::memory_order_release);
}

// Asks the application firmware for its serial number: "appl" (when asked
// to send it) and up to 2 s for its prompt, then "spec" and up to 3 s for a
// line with "ID:SER ". Accepted when 6 or more characters came.
Outcome QuerySerial(SearchState* s, bool sendAppl) {
    CDUXKSerial& channel = *s->pChannel;
    // Back to the application firmware; wait up to 2 s for its prompt.
    if (sendAppl) channel.Write("appl\n", 5);
    {
        char buffer[1024] = {};
        size_t taken = 0;
        const uint64_t deadline = TickCountMs() + 2000;
        while (TickCountMs() < deadline) {
            if (StopRaised(s)) return Outcome::Stopped;
            if (channel.ReceivedCount() == 0) {
                if (WaitForByte(s, channel, deadline)) return Outcome::Stopped;
                continue;
            }
            if (taken >= 1023) {
                // Buffer full: nothing more is taken; the time runs out.
                if (WaitOrStop(s, std::min(Remaining(deadline), kStopCheckMs))) return Outcome::Stopped;
                continue;
            }
            SleepMs(1);
            buffer[taken++] = static_cast<char>(channel.GetByte());
            if (std::strstr(buffer, "oper________")) break;
        }
    }

    while (channel.ReceivedCount() != 0) {
        if (StopRaised(s)) return Outcome::Stopped;
        SleepMs(1);
        channel.GetByte();
    }

    // The sensor's "spec" listing carries the serial number in a line with
    // "ID:SER ".
    channel.Write("spec\n", 5);
    char lineBuf[961] = {};
    size_t length = 0;
    const uint64_t deadline = TickCountMs() + 3000;
    std::memset(s->szSerial, 0, sizeof s->szSerial);
    while (TickCountMs() < deadline) {
        if (StopRaised(s)) return Outcome::Stopped;
        if (channel.ReceivedCount() == 0) {
            if (WaitForByte(s, channel, deadline)) return Outcome::Stopped;
        } else if (length >= 960) {
            // A line this long without a line feed: nothing more is taken.
            if (WaitOrStop(s, std::min(Remaining(deadline), kStopCheckMs))) return Outcome::Stopped;
        } else {
            SleepMs(1);
            uint8_t byte = channel.GetByte();
            lineBuf[length++] = static_cast<char>(byte);
            if (byte == 0x0A) {
                if (const char* found = std::strstr(lineBuf, "ID:SER ")) {
                    std::memset(s->szSerial, 0, sizeof s->szSerial);
                    CleanSerial(found + 7, s->szSerial);
                }
                std::memset(lineBuf, 0, sizeof lineBuf);
                length = 0;
            }
        }
        if (std::strlen(s->szSerial) > 5) return Outcome::Accepted;
    }
    return Outcome::NextRate;
}

// Asks "id" and keeps the payload of a valid identity reply in szIdentity.
bool AskIdentity(SearchState* s) {
    ReplyTimeout = 2.0;
    SendCommand("id");
    const char* line = ReadReply();

    // Echo or noise may precede the identity reply: it starts at the last '@'.
    char reply[512];
    const char* checked = nullptr;
    if (line) {
        std::snprintf(reply, sizeof reply, "%s", line);
        const char* at = std::strrchr(reply, '@');
        checked = (at && at > reply) ? at : reply;
    }
    if (!CheckIdReply(checked)) return false;
    // Keep the payload behind '@', the two checksum digits and the separator.
    std::snprintf(s->szIdentity, sizeof s->szIdentity, "%s", std::strlen(checked) > 4 ? checked + 4 : "");
    return true;
}

// One rate on the open port: wake the device, ask for its identity and, when
// that is valid, for its serial number.
Outcome RunExchange(SearchState* s) {
    CDUXKSerial& channel = *s->pChannel;

    if (channel.SetParams(CDUXKSerial::BaudFromText(s->szBaud), 8, NOPARITY, TWOSTOPBITS) != 0)
        return Outcome::NextRate;
    channel.SetEventMask(0x1FD);
    channel.SetFlowControl(0);

    const uint8_t xon = 0x11;
    for (int i = 0; i < 3; ++i) channel.Write(&xon, 1);

    // Two identity queries whose answers are not read: they bring a device
    // that was in the middle of something back to the command prompt.
    SendCommand("id");
    if (WaitOrStop(s, 500)) return Outcome::Stopped;
    SendCommand("id");
    if (WaitOrStop(s, 500)) return Outcome::Stopped;

    channel.Purge();
    ShowStatus(s, "Looking for Sensor at %s, %s baud...", s->szPort, s->szBaud);

    const bool identified = AskIdentity(s);
    if (StopRaised(s)) return Outcome::Stopped;
    if (!identified) return Outcome::NextRate;

    channel.Purge();
    ShowStatus(s, "Getting S/N of Sensor at %s...", s->szPort);

    Outcome serial = QuerySerial(s, true);
    if (serial == Outcome::Stopped) return serial;
    if (serial == Outcome::Accepted) {
        ShowStatus(s, "Found Sensor '%s' at %s, %s baud", s->szSerial, s->szPort, s->szBaud);
        s->pFrame->WriteLastPort(s->szPort);
        while (channel.ReceivedCount() != 0) channel.GetByte();
        Accept(s);
        return Outcome::Accepted;
    }

    if (CommandLineHasNoSnCheck(s->pFrame->m_strCmdLine)) {
        Accept(s);
        return Outcome::Accepted;
    }
    return Outcome::NextRate;
}

}  // namespace

bool QuerySensorIdentity(SearchState* state) {
    CDUXKSerial& channel = *state->pChannel;
    // The rest of an answer still coming in (a listing goes on after its
    // serial-number line) is let in and dropped first.
    const uint64_t limit = TickCountMs() + 3000;
    while (TickCountMs() < limit && !StopRaised(state) && channel.WaitReceived(150)) {
        while (channel.ReceivedCount() != 0) channel.GetByte();
    }
    if (StopRaised(state)) return false;
    channel.Purge();
    ResetReplyState();
    SendCommand("id");
    // The reply is the first line that is a valid identity reply. It is
    // read in slices, so that a stop request is seen between them.
    const uint64_t deadline = TickCountMs() + 2000;
    for (uint64_t now = TickCountMs(); now < deadline; now = TickCountMs()) {
        if (StopRaised(state) || !channel.IsOpen() || channel.IsReceiveEnded()) return false;
        ReplyTimeout = static_cast<double>(std::min(deadline - now, kStopCheckMs)) / 1000.0;
        const char* line = ReadReply();
        if (!line) continue;
        const char* at = std::strrchr(line, '@');
        if (at && CheckIdReply(at)) {
            std::snprintf(state->szIdentity, sizeof state->szIdentity, "%s", std::strlen(at) > 4 ? at + 4 : "");
            return true;
        }
    }
    return false;
}

bool QuerySensorSerial(SearchState* state, bool sendAppl) {
    if (QuerySerial(state, sendAppl) != Outcome::Accepted) return false;
    while (state->pChannel->ReceivedCount() != 0) state->pChannel->GetByte();
    return true;
}

unsigned SearchSensor(SearchState* s) {
    CDUXKSerial& channel = *s->pChannel;

    s->pFrame->EnableSensorCommands(false);
    if (WaitOrStop(s, 1000)) return EndStopped(s);

    s->pSensorFound->store(0, std::memory_order_release);
    std::strcpy(s->szPort, "????");
    ShowStatus(s, "Looking for sensor...");

    // A sensor left in its update program by an interrupted update answers
    // none of the search's questions; the probe looks for it first.
    if (s->pFrame->m_updateProgramProbe) {
        if (s->pFrame->m_updateProgramProbe(*s)) {
            s->pFrame->m_bInUpdateProgram.store(1);
            s->pFrame->EnableUpdateCommandOnly();
            s->pSensorFound->store(1, std::memory_order_release);
            return 0;
        }
        if (StopRaised(s)) return EndStopped(s);
    }

    while (!s->pSensorFound->load(std::memory_order_acquire)) {
        bool anyOpened = false;
        for (int n = 1; n <= 7; ++n) {
            if (StopRaised(s)) return EndStopped(s);
            if (s->szOnlyPort[0]) {
                std::snprintf(s->szPort, sizeof s->szPort, "%s", s->szOnlyPort);
                n = 7;  // one port per pass
            } else if (n == 1 && std::strcmp(s->szPort, "????") == 0) {
                // First port of the search: the remembered one, then COM1..COM7.
                if (s->pFrame->ReadLastPort(s->szPort, sizeof s->szPort))
                    n = 0;
                else
                    std::snprintf(s->szPort, sizeof s->szPort, "COM%d", 1);
            } else {
                std::snprintf(s->szPort, sizeof s->szPort, "COM%d", n);
            }

            if (channel.Open(s->szPort, 4000, 4000, true) != 0) continue;
            anyOpened = true;
            for (const char* rate : kRates) {
                std::snprintf(s->szBaud, sizeof s->szBaud, "%s", rate);
                Outcome outcome = RunExchange(s);
                if (outcome == Outcome::Accepted) return 0;
                if (outcome == Outcome::Stopped) return EndStopped(s);
            }
            channel.Close();
            if (StopRaised(s)) return EndStopped(s);
        }
        // Without any port to open a pass takes no time at all; pause so that
        // the search does not keep a processor busy while nothing is attached.
        if (!anyOpened && WaitOrStop(s, 1000)) return EndStopped(s);
    }
    return 0;
}
