#include "wingui/Dialogs.h"

#include "wingui/Text.h"

#include <commctrl.h>

#include <algorithm>

namespace {

void SetBarRanges(HWND dlg, std::initializer_list<int> ids) {
    for (int id : ids) SendDlgItemMessageW(dlg, id, PBM_SETRANGE32, 0, 100);
}

}  // namespace

// --- Firmware update ---------------------------------------------------

UpdateDlg::UpdateDlg(CMainFrameCore& frame, std::string title)
    : title_(std::move(title)), core_(frame, static_cast<IUpdateView&>(*this)) {}

void UpdateDlg::OnInit() {
    SetCaption(title_);
    SetBarRanges(hwnd_, {IDC_UPDATE_DOWNLOAD, IDC_UPDATE_ERASE, IDC_UPDATE_PROGRAM});
    core_.OnInitDialog();
    SetTimer(hwnd_, UpdateDialog::kTimerId, UpdateDialog::kTimerMs, nullptr);
}

void UpdateDlg::OnCommand(int id, int code) {
    if (code != BN_CLICKED) return;
    if (id == IDC_UPDATE_BROWSE) core_.OnBrowse();
    if (id == IDC_UPDATE_EXECUTE) core_.OnExecute();
}

void UpdateDlg::OnTimer(UINT_PTR id) {
    if (id == UpdateDialog::kTimerId) core_.OnTimer();
}

void UpdateDlg::OnCancel() {
    if (core_.CanCancel()) Close(IDCANCEL);
}

void UpdateDlg::Close(int result) {
    if (pendingResult_ >= 0) return;
    pendingResult_ = result;
    // While the update runs the dialog stays, its bars moving, until the
    // worker reports its end.
    if (core_.BeginClose()) Finish();
}

void UpdateDlg::Finish() {
    core_.FinishClose();
    KillTimer(hwnd_, UpdateDialog::kTimerId);
    End(pendingResult_);
}

INT_PTR UpdateDlg::OnMessage(UINT msg, WPARAM, LPARAM) {
    if (msg != WM_APP_WORKER_ENDED) return FALSE;
    if (core_.OnWorkerEnded() && pendingResult_ >= 0) Finish();
    return TRUE;
}

void UpdateDlg::SetBars(int download, int erase, int program) {
    SetBar(IDC_UPDATE_DOWNLOAD, download);
    SetBar(IDC_UPDATE_ERASE, erase);
    SetBar(IDC_UPDATE_PROGRAM, program);
}

void UpdateDlg::PostWorkerEnded() { PostMessageW(hwnd_, WM_APP_WORKER_ENDED, 0, 0); }

// --- Backup and verify -------------------------------------------------

ReadBackDlg::ReadBackDlg(CMainFrameCore& frame, ReadBackKind kind)
    : core_(frame, static_cast<IReadBackView&>(*this), kind) {}

void ReadBackDlg::OnInit() {
    SetCaption(ReadBackDialog::Title(core_.Kind()));
    SetItemText(IDC_READBACK_FILE_LABEL, ReadBackDialog::FileLabel(core_.Kind()));
    SetItemText(IDC_READBACK_READ_LABEL, ReadBackDialog::ReadLabel(core_.Kind()));
    SetBarRanges(hwnd_, {IDC_READBACK_DOWNLOAD, IDC_READBACK_READ});
    core_.OnInitDialog();
    SetTimer(hwnd_, ReadBackDialog::kTimerId, ReadBackDialog::kTimerMs, nullptr);
}

void ReadBackDlg::OnCommand(int id, int code) {
    if (code != BN_CLICKED) return;
    if (id == IDC_READBACK_BROWSE) core_.OnBrowse();
    if (id == IDC_READBACK_EXECUTE) core_.OnExecute();
}

void ReadBackDlg::OnOk() {
    if (pendingResult_ >= 0) return;
    pendingResult_ = IDOK;
    if (core_.BeginClose()) Finish(IDOK);
}

void ReadBackDlg::OnCancel() {
    if (pendingResult_ >= 0) return;
    // While the read runs it is asked to stop; the dialog ends with it.
    if (core_.OnCancel()) Finish(IDCANCEL);
}

void ReadBackDlg::Finish(int result) {
    core_.FinishClose();
    KillTimer(hwnd_, ReadBackDialog::kTimerId);
    End(result);
}

INT_PTR ReadBackDlg::OnMessage(UINT msg, WPARAM, LPARAM) {
    if (msg != WM_APP_WORKER_ENDED) return FALSE;
    if (core_.OnWorkerEnded()) Finish(pendingResult_ >= 0 ? pendingResult_ : IDCANCEL);
    return TRUE;
}

void ReadBackDlg::SetBars(int download, int read) {
    SetBar(IDC_READBACK_DOWNLOAD, download);
    SetBar(IDC_READBACK_READ, read);
}

void ReadBackDlg::PostWorkerEnded() { PostMessageW(hwnd_, WM_APP_WORKER_ENDED, 0, 0); }

// --- Calibration -------------------------------------------------------

CalDlg::CalDlg(CMainFrameCore& frame, std::string title)
    : title_(std::move(title)), core_(frame, static_cast<ICalView&>(*this)) {}

void CalDlg::OnInit() {
    SetCaption(title_);
    SetBarRanges(hwnd_, {IDC_CAL_PROGRESS});
    core_.OnInitDialog();
    SetTimer(hwnd_, CalDialog::kTimerId, CalDialog::kTimerMs, nullptr);
}

void CalDlg::OnCommand(int id, int code) {
    if (code != BN_CLICKED) return;
    switch (id) {
    case IDC_CAL_BROWSE: core_.OnBrowse(); break;
    case IDC_CAL_SAVE: core_.OnSave(); break;
    case IDC_CAL_LOAD: core_.OnLoad(); break;
    default: break;
    }
}

void CalDlg::OnDestroy() {
    KillTimer(hwnd_, CalDialog::kTimerId);
    core_.OnDestroy();
}

// --- Listings ----------------------------------------------------------

ListingDlg::ListingDlg(CMainFrameCore& frame, int32_t kind, std::string title)
    : title_(std::move(title)), core_(frame, static_cast<IListingView&>(*this), kind) {}

ListingDlg::~ListingDlg() {
    if (font_) DeleteObject(font_);
}

void ListingDlg::OnInit() {
    SetCaption(title_);
    // Courier New at 10 points, converted for the display of the text field.
    HWND edit = GetDlgItem(hwnd_, IDC_LISTING_TEXT);
    HDC dc = GetDC(edit);
    const int height = -MulDiv(ListingDialog::kFontPoints, GetDeviceCaps(dc, LOGPIXELSY), 72);
    ReleaseDC(edit, dc);
    font_ = CreateFontW(height, 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, DEFAULT_CHARSET, OUT_DEFAULT_PRECIS,
                        CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY, FIXED_PITCH | FF_MODERN,
                        Wide(ListingDialog::kFontName).c_str());
    SendMessageW(edit, WM_SETFONT, reinterpret_cast<WPARAM>(font_), TRUE);
    FitToWorkArea();
    core_.OnInitDialog();
    SetTimer(hwnd_, ListingDialog::kTimerId, ListingDialog::kTimerMs, nullptr);
    core_.SendListingRequest();
}

void ListingDlg::FitToWorkArea() {
    // 423 dialog units may be taller than a small screen: the text field
    // gives up what is missing (it scrolls) and the buttons move up.
    RECT work{}, window{};
    SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0);
    GetWindowRect(hwnd_, &window);
    RECT minimum{0, 0, 0, 100};
    MapDialogRect(hwnd_, &minimum);
    HWND edit = GetDlgItem(hwnd_, IDC_LISTING_TEXT);
    RECT editRect{};
    GetWindowRect(edit, &editRect);
    const LONG cut = std::clamp<LONG>((window.bottom - window.top) - (work.bottom - work.top), 0,
                                      (editRect.bottom - editRect.top) - minimum.bottom);
    if (cut <= 0) return;
    MapWindowPoints(nullptr, hwnd_, reinterpret_cast<POINT*>(&editRect), 2);
    SetWindowPos(edit, nullptr, 0, 0, editRect.right - editRect.left, editRect.bottom - editRect.top - cut,
                 SWP_NOMOVE | SWP_NOZORDER);
    for (int id : {IDOK, IDCANCEL, IDC_LISTING_AGAIN}) {
        HWND button = GetDlgItem(hwnd_, id);
        RECT r{};
        GetWindowRect(button, &r);
        MapWindowPoints(nullptr, hwnd_, reinterpret_cast<POINT*>(&r), 2);
        SetWindowPos(button, nullptr, r.left, r.top - cut, 0, 0, SWP_NOSIZE | SWP_NOZORDER);
    }
    SetWindowPos(hwnd_, nullptr, work.left, work.top, window.right - window.left, window.bottom - window.top - cut,
                 SWP_NOZORDER);
}

void ListingDlg::OnCommand(int id, int code) {
    if (id == IDC_LISTING_AGAIN && code == BN_CLICKED) core_.SendListingRequest();
}

void ListingDlg::OnDestroy() {
    KillTimer(hwnd_, ListingDialog::kTimerId);
    // The control lets go of the font before it is deleted.
    SendDlgItemMessageW(hwnd_, IDC_LISTING_TEXT, WM_SETFONT, 0, FALSE);
}

void ListingDlg::SetListingText(const std::string& text) {
    SetDlgItemTextW(hwnd_, IDC_LISTING_TEXT, WideFromLatin1(text).c_str());
}
