// The information dialog, without a toolkit: one of the sensor's four
// listings, requested at the start and by "Again...", collected on each
// 100 ms tick (info/Listing) and handed to the window's text field.
#pragma once

#include "dialogs/DialogView.h"
#include "info/Listing.h"

#include <string>

class CMainFrameCore;

constexpr int IDD_LISTING = 131;
constexpr int IDC_LISTING_AGAIN = 1007;
constexpr int IDC_LISTING_TEXT = 1008;

class IListingView : public IDialogView {
public:
    // The listing as the sensor sent it, line-normalised (CR LF line ends);
    // its bytes are shown as Latin-1 characters.
    virtual void SetListingText(const std::string& text) = 0;
};

class ListingDialog {
public:
    static constexpr int kTimerId = 5061;
    static constexpr int kTimerMs = 100;
    // The text field's font: Courier New, 10 points.
    static constexpr const char* kFontName = "Courier New";
    static constexpr int kFontPoints = 10;

    ListingDialog(CMainFrameCore& frame, IListingView& view, int32_t kind);

    // The port reopened when it is closed; the window starts its timer, then
    // calls SendListingRequest.
    void OnInitDialog();
    // The first request and "Again...". The self-test and calibration
    // requests block for 2.5 s and 1.0 s, as the sensor needs.
    void SendListingRequest() { collector_.SendListingRequest(); }
    void OnTimer();

    const std::string& Text() const { return collector_.Text(); }
    int32_t Kind() const { return collector_.Kind(); }

private:
    CMainFrameCore& frame_;
    IListingView& view_;
    ListingCollector collector_;
};
