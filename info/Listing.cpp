#include "info/Listing.h"

#include "session/MainFrame.h"
#include "calibration/PackBlock.h"
#include "serial/DUXKSerial.h"
#include "serial/Link.h"

#include <cstring>

ListingCollector::ListingCollector(int32_t kind, CMainFrameCore& frame, IFrameUi* ui)
    : m_nMode(kind), frame_(frame), ui_(ui ? *ui : frame.Ui()) {}

const char* ListingCollector::Title(int32_t kind) {
    switch (kind) {
    case LISTING_SPECIFICATION: return "Specification";
    case LISTING_SETTINGS: return "Settings";
    case LISTING_SELFTEST: return "Selftest";
    case LISTING_CALDATA: return "Calibration Data";
    default: return "";
    }
}

void ListingCollector::SetStatus(const std::string& text) { ui_.SetStatusText(text); }

void ListingCollector::WriteText(const char* text) {
    GetSensorChannel().Write(text, static_cast<uint32_t>(std::strlen(text)));
}

void ListingCollector::SendListingRequest() {
    if (frame_.m_bSensorFound.load() == 0) return;

    // The previous listing stays shown until the new answer brings bytes.
    m_strReceived.clear();
    if (!GetSensorChannel().IsOpen()) frame_.ReopenSensorPort();

    switch (m_nMode) {
    case LISTING_SPECIFICATION: WriteText("SPEC\n"); break;
    case LISTING_SETTINGS: WriteText("STAT:MEAS\n"); break;
    case LISTING_SELFTEST:
        // The sensor needs the time to run its test before it can report.
        SetStatus("Selftest, please wait...");
        WriteText("STAT:ERR:CODE\n");
        WriteText("SERV:TEST\n");
        WaitSeconds(2.5);
        WriteText("STAT:ERR:TEXT\n");
        SetStatus("");
        break;
    case LISTING_CALDATA:
        SetStatus("Reading CalData...");
        WriteText("calib:show\n");
        WaitSeconds(1.0);
        SetStatus("");
        break;
    default: return;
    }
    ++requests_;
}

bool ListingCollector::Tick() {
    CDUXKSerial& channel = GetSensorChannel();
    bool gotBytes = false;
    while (channel.ReceivedCount() != 0) {
        m_strReceived.push_back(static_cast<char>(channel.GetByte()));
        gotBytes = true;
    }

    // A sensor still starting up or busy did not take the request: ask again.
    if (m_nMode != LISTING_CALDATA) {
        if (m_strReceived.find("boot_") != std::string::npos) {
            SendListingRequest();
            return false;
        }
        if (m_nMode != LISTING_SELFTEST && m_strReceived.find("busy_") != std::string::npos) {
            SendListingRequest();
            return false;
        }
    }

    if (!gotBytes) return false;
    m_strText = ParsePackBlock(m_strReceived, m_nMode != LISTING_SELFTEST);
    return true;
}
