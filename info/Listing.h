// The window-free core of the information dialog: requests one of the
// sensor's four text listings, collects the answer on each 100 ms timer
// tick, repeats the request while the sensor reports that it is starting up
// or busy, and keeps the line-normalised text to show.
#pragma once

#include "session/FrameUi.h"

#include <cstdint>
#include <string>

class CMainFrameCore;

enum ListingKind : int32_t {
    LISTING_SPECIFICATION = 1,
    LISTING_SETTINGS = 2,
    LISTING_SELFTEST = 3,
    LISTING_CALDATA = 4,
};

class ListingCollector {
public:
    // The frame gives the sensor's state and port; ui receives the status
    // texts of the self-test and calibration requests (null: the frame's
    // window). Both must outlive the collector.
    ListingCollector(int32_t kind, CMainFrameCore& frame, IFrameUi* ui = nullptr);

    // Window title of a kind ("Specification", "Settings", "Selftest",
    // "Calibration Data"); "" for an unknown kind.
    static const char* Title(int32_t kind);

    // Sends the kind's request (nothing while no sensor has been found).
    // The self-test and calibration requests block the caller for 2.5 s and
    // 1.0 s respectively, as the sensor needs.
    void SendListingRequest();

    // One 100 ms timer tick. True when bytes arrived and Text() was renewed
    // (the dialog then shows it); false otherwise, also when the tick
    // repeated the request.
    bool Tick();

    int32_t Kind() const { return m_nMode; }
    const std::string& Text() const { return m_strText; }
    const std::string& Received() const { return m_strReceived; }
    // How many requests were sent so far (first one and repeats).
    int Requests() const { return requests_; }

private:
    void SetStatus(const std::string& text);
    void WriteText(const char* text);

    int32_t m_nMode;
    CMainFrameCore& frame_;
    IFrameUi& ui_;
    std::string m_strText;
    std::string m_strReceived;
    int requests_ = 0;
};
