#include "wingui/WinDialog.h"

#include "wingui/Text.h"

#include <commctrl.h>
#include <commdlg.h>

#include <algorithm>
#include <vector>

namespace {

UINT IconFlags(BoxIcon icon) {
    switch (icon) {
    case BoxIcon::Information: return MB_ICONINFORMATION;
    case BoxIcon::Error: return MB_ICONERROR;
    case BoxIcon::Warning: return MB_ICONWARNING;
    case BoxIcon::None: break;
    }
    return 0;
}

}  // namespace

void ShowBoxW(HWND owner, const std::string& text, const std::string& caption, BoxIcon icon) {
    MessageBoxW(owner, Wide(text).c_str(), Wide(caption).c_str(), MB_OK | IconFlags(icon));
}

bool AskFileName(HWND owner, const FileQuestion& question, std::string& path) {
    // "Description\0pattern\0...\0\0".
    std::wstring filter;
    for (const auto& [description, pattern] : question.filters) {
        filter += Wide(description);
        filter.push_back(L'\0');
        filter += Wide(pattern);
        filter.push_back(L'\0');
    }
    filter.push_back(L'\0');
    std::vector<wchar_t> file(32768, L'\0');
    const std::wstring initial = Wide(question.initialPath);
    if (initial.size() < file.size()) std::copy(initial.begin(), initial.end(), file.begin());
    const std::wstring extension = Wide(question.defaultExtension);

    OPENFILENAMEW ofn{};
    ofn.lStructSize = sizeof ofn;
    ofn.hwndOwner = owner;
    ofn.lpstrFilter = filter.c_str();
    ofn.nFilterIndex = 1;
    ofn.lpstrFile = file.data();
    ofn.nMaxFile = static_cast<DWORD>(file.size());
    ofn.lpstrDefExt = extension.empty() ? nullptr : extension.c_str();
    ofn.Flags = OFN_EXPLORER | OFN_HIDEREADONLY | OFN_NOCHANGEDIR | OFN_PATHMUSTEXIST;
    if (question.save) ofn.Flags |= OFN_OVERWRITEPROMPT;
    const BOOL ok = question.save ? GetSaveFileNameW(&ofn) : GetOpenFileNameW(&ofn);
    if (!ok) return false;
    path = Utf8(file.data());
    return true;
}

INT_PTR WinDialog::Run(HWND owner, int templateId) {
    return DialogBoxParamW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(templateId), owner, &WinDialog::Proc,
                           reinterpret_cast<LPARAM>(this));
}

INT_PTR CALLBACK WinDialog::Proc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
    WinDialog* self = nullptr;
    if (msg == WM_INITDIALOG) {
        self = reinterpret_cast<WinDialog*>(lp);
        SetWindowLongPtrW(hwnd, DWLP_USER, reinterpret_cast<LONG_PTR>(self));
        self->hwnd_ = hwnd;
        self->FitStaticTexts();
        self->CenterOnOwner();
        self->OnInit();
        return TRUE;  // the focus goes to the first control that takes it
    }
    self = reinterpret_cast<WinDialog*>(GetWindowLongPtrW(hwnd, DWLP_USER));
    if (!self) return FALSE;
    switch (msg) {
    case WM_COMMAND: {
        const int id = LOWORD(wp);
        if (id == IDOK) {
            self->OnOk();
        } else if (id == IDCANCEL) {
            self->OnCancel();
        } else {
            self->OnCommand(id, HIWORD(wp));
        }
        return TRUE;
    }
    case WM_CLOSE: self->OnCancel(); return TRUE;
    case WM_TIMER: self->OnTimer(wp); return TRUE;
    case WM_DESTROY: self->OnDestroy(); return FALSE;
    default: return self->OnMessage(msg, wp, lp);
    }
}

void WinDialog::End(int result) { EndDialog(hwnd_, result); }

std::string WinDialog::ItemText(int id) const {
    HWND item = GetDlgItem(hwnd_, id);
    const int length = GetWindowTextLengthW(item);
    std::wstring text(static_cast<size_t>(length) + 1, L'\0');
    const int n = GetWindowTextW(item, text.data(), length + 1);
    text.resize(static_cast<size_t>(std::max(n, 0)));
    return Utf8(text);
}

void WinDialog::SetItemText(int id, const std::string& text) { SetDlgItemTextW(hwnd_, id, Wide(text).c_str()); }

void WinDialog::SetBar(int id, int position) { SendDlgItemMessageW(hwnd_, id, PBM_SETPOS, position, 0); }

void WinDialog::EnableItem(int id, bool enable) {
    HWND item = GetDlgItem(hwnd_, id);
    // A button that loses its enabling while it has the focus would leave
    // the keyboard nowhere.
    if (!enable && GetFocus() == item) SendMessageW(hwnd_, WM_NEXTDLGCTL, 0, FALSE);
    EnableWindow(item, enable ? TRUE : FALSE);
}

void WinDialog::SetCaption(const std::string& text) { SetWindowTextW(hwnd_, Wide(text).c_str()); }

bool WinDialog::DialogYesNo(const std::string& text, const std::string& caption) {
    return MessageBoxW(hwnd_, Wide(text).c_str(), Wide(caption).c_str(), MB_YESNO | MB_ICONWARNING | MB_DEFBUTTON2) ==
           IDYES;
}

void WinDialog::CenterOnOwner() {
    // Over the middle of the window that opened it, inside the work area.
    HWND owner = GetWindow(hwnd_, GW_OWNER);
    RECT area{}, dialog{};
    SystemParametersInfoW(SPI_GETWORKAREA, 0, &area, 0);
    RECT around = area;
    if (owner) GetWindowRect(owner, &around);
    GetWindowRect(hwnd_, &dialog);
    const LONG w = dialog.right - dialog.left, h = dialog.bottom - dialog.top;
    LONG x = (around.left + around.right - w) / 2, y = (around.top + around.bottom - h) / 2;
    x = std::max(area.left, std::min(x, area.right - w));
    y = std::max(area.top, std::min(y, area.bottom - h));
    SetWindowPos(hwnd_, nullptr, x, y, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

void WinDialog::FitStaticTexts() {
    RECT client{};
    GetClientRect(hwnd_, &client);
    RECT margin{0, 0, 2, 2};
    MapDialogRect(hwnd_, &margin);
    for (HWND child = GetWindow(hwnd_, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
        wchar_t className[16] = {};
        GetClassNameW(child, className, 16);
        if (lstrcmpiW(className, L"Static") != 0) continue;
        const LONG style = GetWindowLongW(child, GWL_STYLE);
        const LONG type = style & SS_TYPEMASK;
        if (type != SS_LEFT && type != SS_RIGHT && type != SS_CENTER && type != SS_LEFTNOWORDWRAP) continue;
        const int length = GetWindowTextLengthW(child);
        if (length <= 0) continue;
        std::wstring text(static_cast<size_t>(length) + 1, L'\0');
        text.resize(static_cast<size_t>(GetWindowTextW(child, text.data(), length + 1)));

        HDC dc = GetDC(child);
        HGDIOBJ old = SelectObject(dc, reinterpret_cast<HGDIOBJ>(SendMessageW(child, WM_GETFONT, 0, 0)));
        SIZE extent{};
        GetTextExtentPoint32W(dc, text.c_str(), static_cast<int>(text.size()), &extent);
        SelectObject(dc, old);
        ReleaseDC(child, dc);

        RECT r{};
        GetWindowRect(child, &r);
        MapWindowPoints(nullptr, hwnd_, reinterpret_cast<POINT*>(&r), 2);
        const LONG needed = extent.cx + 1;
        if (needed <= r.right - r.left) continue;
        if (type == SS_RIGHT)
            r.left = std::max(margin.right, r.right - needed);
        else
            r.right = std::min(client.right - margin.right, r.left + needed);
        SetWindowPos(child, nullptr, r.left, r.top, r.right - r.left, r.bottom - r.top, SWP_NOZORDER | SWP_NOACTIVATE);
    }
}
