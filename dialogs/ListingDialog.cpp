#include "dialogs/ListingDialog.h"

#include "serial/DUXKSerial.h"
#include "session/MainFrame.h"

ListingDialog::ListingDialog(CMainFrameCore& frame, IListingView& view, int32_t kind)
    : frame_(frame), view_(view), collector_(kind, frame) {}

void ListingDialog::OnInitDialog() {
    if (!GetSensorChannel().IsOpen()) frame_.ReopenSensorPort();
}

void ListingDialog::OnTimer() {
    if (collector_.Tick()) view_.SetListingText(collector_.Text());
}
