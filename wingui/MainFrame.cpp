#include "wingui/MainFrame.h"

#include "update/Recovery.h"
#include "wingui/Dialogs.h"
#include "wingui/Text.h"
#include "wingui/Ids.h"

#include <commctrl.h>

#include <algorithm>

namespace {

const char kIdleText[] = "Bereit";
const char kAppTitle[] = "DUXKUpdate";
// The status bar's indicator panes, in order: caps lock, num lock, scroll lock.
const wchar_t* const kIndicators[] = {L"UF", L"NUM", L"RF"};

MainFrame* FrameOf(HWND hwnd) { return reinterpret_cast<MainFrame*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA)); }

}  // namespace

MainFrame::MainFrame(std::string cmdLine)
    : cmdLine_(std::move(cmdLine)), core_(*this), controller_(core_, static_cast<IMainWindow&>(*this)) {}

MainFrame::~MainFrame() {
    gate_.Close();
    controller_.Shutdown();
    if (font_) DeleteObject(font_);
}

bool MainFrame::RegisterClasses(HINSTANCE instance) {
    WNDCLASSEXW frame{};
    frame.cbSize = sizeof frame;
    frame.lpfnWndProc = &MainFrame::FrameProc;
    frame.hInstance = instance;
    frame.hIcon = LoadIconW(instance, MAKEINTRESOURCEW(IDR_MAINFRAME));
    frame.hIconSm = frame.hIcon;
    frame.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    frame.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    frame.lpszClassName = kFrameClassName;
    WNDCLASSEXW view{};
    view.cbSize = sizeof view;
    view.style = CS_HREDRAW | CS_VREDRAW;
    view.lpfnWndProc = &MainFrame::ViewProc;
    view.hInstance = instance;
    view.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    view.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
    view.lpszClassName = kViewClassName;
    return RegisterClassExW(&frame) != 0 && RegisterClassExW(&view) != 0;
}

bool MainFrame::Create(int showCommand) {
    HINSTANCE instance = GetModuleHandleW(nullptr);
    HMENU menu = LoadMenuW(instance, MAKEINTRESOURCEW(IDR_MAINFRAME));
    hwnd_ = CreateWindowExW(0, kFrameClassName, Wide(doc_.Caption()).c_str(), WS_OVERLAPPEDWINDOW, CW_USEDEFAULT,
                            CW_USEDEFAULT, 300, 400, nullptr, menu, instance, this);
    if (!hwnd_) return false;
    ShowWindow(hwnd_, showCommand);
    UpdateWindow(hwnd_);

    core_.m_strCmdLine = cmdLine_;
    const FrameController::StartResult start = controller_.Start();
    if (!start.paneText.empty()) SetPaneText(start.paneText);
    RefreshView(false, controller_.OpenedDirectly() && !start.failed);
    if (start.failed) {
        SetWindowTextW(view_, Wide(start.boxText).c_str());
        InvalidateRect(view_, nullptr, TRUE);
        ShowBoxW(hwnd_, start.boxText, kAppTitle, BoxIcon::Error);
    }
    return true;
}

void MainFrame::OnCreate() {
    thread_ = GetCurrentThreadId();
    gate_.Attach(hwnd_);
    NONCLIENTMETRICSW metrics{};
    metrics.cbSize = sizeof metrics;
    if (SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, sizeof metrics, &metrics, 0))
        font_ = CreateFontIndirectW(&metrics.lfMessageFont);

    HINSTANCE instance = GetModuleHandleW(nullptr);
    view_ = CreateWindowExW(WS_EX_CLIENTEDGE, kViewClassName, L"", WS_CHILD | WS_VISIBLE, 0, 0, 0, 0, hwnd_,
                            reinterpret_cast<HMENU>(static_cast<INT_PTR>(AFX_IDW_PANE_FIRST)), instance, nullptr);
    SetWindowLongPtrW(view_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
    status_ = CreateWindowExW(0, STATUSCLASSNAMEW, nullptr, WS_CHILD | WS_VISIBLE | SBARS_SIZEGRIP, 0, 0, 0, 0, hwnd_,
                              reinterpret_cast<HMENU>(static_cast<INT_PTR>(AFX_IDW_STATUS_BAR)), instance, nullptr);
    if (font_) SendMessageW(status_, WM_SETFONT, reinterpret_cast<WPARAM>(font_), FALSE);
    SetPaneText(kIdleText);
    Layout();
    UpdateIndicators();
}

void MainFrame::Layout() {
    if (!status_ || !view_) return;
    SendMessageW(status_, WM_SIZE, 0, 0);
    RECT client{}, bar{};
    GetClientRect(hwnd_, &client);
    GetWindowRect(status_, &bar);
    const int barHeight = bar.bottom - bar.top;
    // Indicator panes as wide as their texts; the message pane takes the rest.
    HDC dc = GetDC(status_);
    HGDIOBJ old = SelectObject(dc, reinterpret_cast<HGDIOBJ>(SendMessageW(status_, WM_GETFONT, 0, 0)));
    int widths[3];
    for (int i = 0; i < 3; ++i) {
        SIZE extent{};
        GetTextExtentPoint32W(dc, kIndicators[i], lstrlenW(kIndicators[i]), &extent);
        widths[i] = extent.cx + 12;
    }
    SelectObject(dc, old);
    ReleaseDC(status_, dc);
    const int grip = GetSystemMetrics(SM_CXVSCROLL);
    int edges[4];
    edges[3] = -1;
    edges[2] = std::max(0, static_cast<int>(client.right) - grip);
    edges[1] = std::max(0, edges[2] - widths[2]);
    edges[0] = std::max(0, edges[1] - widths[1]);
    const int first = std::max(0, edges[0] - widths[0]);
    int parts[4] = {first, edges[0], edges[1], -1};
    SendMessageW(status_, SB_SETPARTS, 4, reinterpret_cast<LPARAM>(parts));
    MoveWindow(view_, 0, 0, client.right, std::max(0, static_cast<int>(client.bottom) - barHeight), TRUE);
    UpdateIndicators();
}

void MainFrame::UpdateIndicators() {
    if (!status_) return;
    // Caps and scroll lock show while they are on; NUM is always shown.
    const bool on[3] = {(GetKeyState(VK_CAPITAL) & 1) != 0, true, (GetKeyState(VK_SCROLL) & 1) != 0};
    for (int i = 0; i < 3; ++i) {
        wchar_t current[8] = {};
        if (LOWORD(SendMessageW(status_, SB_GETTEXTLENGTHW, i + 1, 0)) < 8)
            SendMessageW(status_, SB_GETTEXTW, i + 1, reinterpret_cast<LPARAM>(current));
        const wchar_t* wanted = on[i] ? kIndicators[i] : L"";
        if (lstrcmpW(current, wanted) != 0) SendMessageW(status_, SB_SETTEXTW, i + 1, reinterpret_cast<LPARAM>(wanted));
    }
}

void MainFrame::SetPaneText(const std::string& text) {
    if (!status_) return;
    // Pane 0, drawn without a border.
    SendMessageW(status_, SB_SETTEXTW, 0 | SBT_NOBORDERS, reinterpret_cast<LPARAM>(Wide(text).c_str()));
}

void MainFrame::RefreshView(bool searchWaiting, bool accepted) {
    if (!view_) return;
    SetWindowTextW(view_, Wide(controller_.ViewText(searchWaiting, accepted)).c_str());
    InvalidateRect(view_, nullptr, TRUE);
}

void MainFrame::RefreshView() { RefreshView(false, core_.m_bSensorFound.load(std::memory_order_acquire) != 0); }

void MainFrame::UpdateTitle() { SetWindowTextW(hwnd_, Wide(doc_.Caption()).c_str()); }

void MainFrame::SetStatusText(const std::string& text) {
    // Before acceptance the only other thread that shows texts is the search.
    const bool fromWorker = !OnWindowThread();
    gate_.Call([&] {
        SetPaneText(text);
        const bool accepted = core_.m_bSensorFound.load(std::memory_order_acquire) != 0;
        if (fromWorker || accepted) RefreshView(fromWorker, accepted);
    });
}

bool MainFrame::EnableMenuCommands(const int* ids, int count, bool enable) {
    bool result = false;
    const bool fromWorker = !OnWindowThread();
    gate_.Call([&] {
        // The search enables the commands as it accepts the sensor, with the
        // connection state complete; it waits for this window meanwhile.
        if (enable && fromWorker) RefreshView(true, true);
        HMENU menu = GetMenu(hwnd_);
        if (!menu || GetMenuItemCount(menu) <= 0) return;
        for (int id : MenuCommandsToSet(ids, count))
            EnableMenuItem(menu, static_cast<UINT>(id), MF_BYCOMMAND | (enable ? MF_ENABLED : MF_DISABLED | MF_GRAYED));
        DrawMenuBar(hwnd_);
        result = true;
    });
    return result;
}

void MainFrame::ShowMessageBox(const std::string& text, const std::string& caption, BoxIcon icon) {
    // Boxes asked for by the core have no owner, so that a dialog that is
    // open meanwhile stays responsive.
    gate_.Call([&] { ShowBoxW(nullptr, text, caption, icon); });
}

LRESULT CALLBACK MainFrame::FrameProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
    if (msg == WM_NCCREATE) {
        auto* self = static_cast<MainFrame*>(reinterpret_cast<CREATESTRUCTW*>(lp)->lpCreateParams);
        SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
        self->hwnd_ = hwnd;
    }
    MainFrame* self = FrameOf(hwnd);
    return self ? self->Handle(msg, wp, lp) : DefWindowProcW(hwnd, msg, wp, lp);
}

LRESULT MainFrame::Handle(UINT msg, WPARAM wp, LPARAM lp) {
    switch (msg) {
    case WM_CREATE: OnCreate(); return 0;
    case WM_SIZE: Layout(); return 0;
    case WM_COMMAND: OnCommand(LOWORD(wp)); return 0;
    case WM_ENTERMENULOOP:
        // An open menu uses the message pane; no entry has a prompt.
        SetPaneText("");
        return 0;
    case WM_EXITMENULOOP: SetPaneText(kIdleText); return 0;
    case WM_ACTIVATE: UpdateIndicators(); break;
    case WM_APP_GATE:
        gate_.RunQueued();
        if (closePending_ && !gate_.Busy()) PostMessageW(hwnd_, WM_CLOSE, 0, 0);
        return 0;
    case WM_CLOSE:
        // A box asked for by a worker is open further up this thread's
        // stack: the window goes once it has been answered.
        if (gate_.Busy()) {
            closePending_ = true;
            return 0;
        }
        DestroyWindow(hwnd_);
        return 0;
    case WM_DESTROY:
        // Release workers that wait for the window, then stop and join them.
        gate_.Close();
        controller_.Shutdown();
        PostQuitMessage(0);
        return 0;
    default: break;
    }
    return DefWindowProcW(hwnd_, msg, wp, lp);
}

LRESULT CALLBACK MainFrame::ViewProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
    if (msg != WM_PAINT) return DefWindowProcW(hwnd, msg, wp, lp);
    MainFrame* self = FrameOf(hwnd);
    PAINTSTRUCT ps;
    HDC dc = BeginPaint(hwnd, &ps);
    const int length = GetWindowTextLengthW(hwnd);
    std::wstring text(static_cast<size_t>(length) + 1, L'\0');
    text.resize(static_cast<size_t>(GetWindowTextW(hwnd, text.data(), length + 1)));
    HGDIOBJ old = self && self->font_ ? SelectObject(dc, self->font_) : nullptr;
    SetBkMode(dc, TRANSPARENT);
    SetTextColor(dc, GetSysColor(COLOR_WINDOWTEXT));
    // Centred both ways, wrapped at words, as plain text (no '&' prefixes).
    RECT client{};
    GetClientRect(hwnd, &client);
    InflateRect(&client, -6, -6);
    RECT measure = client;
    const UINT format = DT_CENTER | DT_WORDBREAK | DT_NOPREFIX;
    DrawTextW(dc, text.c_str(), -1, &measure, format | DT_CALCRECT);
    const LONG height = measure.bottom - measure.top;
    RECT target = client;
    if (height < client.bottom - client.top) target.top += (client.bottom - client.top - height) / 2;
    DrawTextW(dc, text.c_str(), -1, &target, format);
    if (old) SelectObject(dc, old);
    EndPaint(hwnd, &ps);
    return 0;
}

void MainFrame::OnCommand(int id) {
    switch (id) {
    case ID_APP_EXIT: PostMessageW(hwnd_, WM_CLOSE, 0, 0); return;
    case ID_APP_ABOUT: {
        AboutDlg about;
        about.Run(hwnd_, IDD_ABOUTBOX);
        return;
    }
    case ID_FILE_NEW:
        doc_.OnNewDocument();
        UpdateTitle();
        return;
    case ID_FILE_OPEN: OnFileOpen(); return;
    case ID_FILE_SAVE: OnFileSave(); return;
    default: break;
    }
    if (FindSensorCommand(id)) OnSensorCommand(id);
    // The editing and pane commands of the accelerators reach no handler.
}

void MainFrame::OnSensorCommand(int id) {
    const SensorCommand* command = FindSensorCommand(id);
    if (!command || !controller_.BeforeSensorCommand(id)) return;
    bool updateSucceeded = false, sensorChanged = false;
    switch (command->dialog) {
    case CommandDialog::Listing: {
        ListingDlg dlg(core_, command->listingKind, command->title);
        dlg.Run(hwnd_, IDD_LISTING);
        break;
    }
    case CommandDialog::Calibration: {
        CalDlg dlg(core_, command->title);
        dlg.Run(hwnd_, IDD_CALIBRATION);
        sensorChanged = dlg.SensorChanged();
        break;
    }
    case CommandDialog::Update: {
        UpdateDlg dlg(core_, command->title);
        dlg.Run(hwnd_, IDD_UPDATE);
        updateSucceeded = sensorChanged = dlg.Core().Succeeded();
        break;
    }
    case CommandDialog::ReadBack: {
        ReadBackDlg dlg(core_, command->readBack);
        dlg.Run(hwnd_, IDD_READBACK);
        break;
    }
    case CommandDialog::None: break;
    }
    controller_.AfterSensorCommand(id, updateSucceeded, sensorChanged);
}

void MainFrame::OnFileOpen() {
    FileQuestion question;
    question.filters = {{"All Files (*.*)", "*.*"}};
    std::string path;
    if (!AskFileName(hwnd_, question, path)) return;
    if (!doc_.OnOpenDocument(path)) {
        ShowBoxW(hwnd_, "Cannot open the document " + path + ".", kAppTitle, BoxIcon::Error);
        return;
    }
    UpdateTitle();
}

void MainFrame::OnFileSave() {
    std::string path = doc_.PathName();
    if (path.empty()) {
        FileQuestion question;
        question.save = true;
        question.initialPath = doc_.Title();
        question.filters = {{"All Files (*.*)", "*.*"}};
        if (!AskFileName(hwnd_, question, path)) return;
    }
    if (!doc_.OnSaveDocument(path)) {
        ShowBoxW(hwnd_, "Cannot save the document " + path + ".", kAppTitle, BoxIcon::Error);
        return;
    }
    UpdateTitle();
}
