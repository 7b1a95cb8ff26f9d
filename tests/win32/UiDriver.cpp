// duxk-uidriver.exe: drives the running desktop application through its
// windows, as a Windows UI test does: it finds them by class and caption,
// sends command and control ids, sets and reads texts, presses buttons and
// reads the status bar. The windows test runs it under Wine beside the
// application, one list of steps per run:
//
//   duxk-uidriver STEP...      each STEP one argument, fields split by '|'
//
//   frame                  wait for the main window
//   status|TEXT            wait until the status bar's message pane holds TEXT
//   view|TEXT              wait until the main view's text holds TEXT
//   menu|ID                choose the menu command ID
//   dialog|CAPTION         wait for the dialog CAPTION; the next steps act on it
//   set|ID|TEXT            put TEXT into its control ID
//   get|ID|TEXT            wait until control ID holds TEXT; print its text
//   click|ID               wait until button ID is enabled, then press it
//   bar|ID|N               wait until progress bar ID stands at N or more
//   box|CAPTION|TEXT       wait for the message box CAPTION holding TEXT and
//                          print its text; the next steps act on it
//   ok                     answer the box with OK and wait until it is gone
//   close                  close the dialog (its close box, again each second
//                          while it refuses) and wait until it is gone
//   shot|FILE              save the current window (the frame, the dialog or
//                          the box last waited for) as a bitmap
//   sleep|MS               wait MS milliseconds
//
// TEXT matches as a part; an empty TEXT matches any. Every wait gives up
// after DUXK_UI_TIMEOUT seconds (default 60); the run then ends with exit
// status 1 naming the step. Each step prints one line.
#include <windows.h>
#include <commctrl.h>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

namespace {

std::wstring Wide(const std::string& s) {
    std::wstring w(s.size(), L'\0');
    w.resize(static_cast<size_t>(
        MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), w.data(), static_cast<int>(w.size()))));
    return w;
}

std::string Utf8(const std::wstring& w) {
    std::string s(w.size() * 3, '\0');
    s.resize(static_cast<size_t>(WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), s.data(),
                                                     static_cast<int>(s.size()), nullptr, nullptr)));
    return s;
}

// Line ends and tabs as \n, \r and \t, so that each step prints one line.
std::string OneLine(const std::string& s) {
    std::string out;
    for (char c : s) {
        if (c == '\r')
            out += "\\r";
        else if (c == '\n')
            out += "\\n";
        else if (c == '\t')
            out += "\\t";
        else
            out += c;
    }
    return out;
}

std::vector<std::string> Split(const std::string& step) {
    std::vector<std::string> fields;
    size_t start = 0;
    for (;;) {
        const size_t bar = step.find('|', start);
        fields.push_back(step.substr(start, bar - start));
        if (bar == std::string::npos) return fields;
        start = bar + 1;
    }
}

std::string WindowText(HWND hwnd) {
    // WM_GETTEXT is carried across processes by the system.
    const LRESULT length = SendMessageW(hwnd, WM_GETTEXTLENGTH, 0, 0);
    std::wstring text(static_cast<size_t>(length) + 1, L'\0');
    const LRESULT n = SendMessageW(hwnd, WM_GETTEXT, text.size(), reinterpret_cast<LPARAM>(text.data()));
    text.resize(static_cast<size_t>(n));
    return Utf8(text);
}

std::string ClassOf(HWND hwnd) {
    wchar_t name[64] = {};
    GetClassNameW(hwnd, name, 64);
    return Utf8(name);
}

class Driver {
public:
    int Run(const std::vector<std::string>& steps) {
        const char* t = std::getenv("DUXK_UI_TIMEOUT");
        timeoutMs_ = (t && std::atoi(t) > 0 ? std::atoi(t) : 60) * 1000;
        for (size_t i = 0; i < steps.size(); ++i) {
            step_ = steps[i];
            f_ = Split(step_);
            std::string error;
            if (!Step(&error)) {
                std::printf("FAIL step %zu (%s): %s\n", i + 1, OneLine(step_).c_str(), error.c_str());
                return 1;
            }
            std::fflush(stdout);
        }
        return 0;
    }

private:
    const std::string& Field(size_t i) const {
        static const std::string none;
        return i < f_.size() ? f_[i] : none;
    }
    int Id(size_t i) const { return std::atoi(Field(i).c_str()); }

    // Polls `ready` every 50 ms until it holds or the time is up.
    bool WaitFor(const std::function<bool()>& ready) const {
        for (DWORD start = GetTickCount();;) {
            if (ready()) return true;
            if (GetTickCount() - start > static_cast<DWORD>(timeoutMs_)) return false;
            Sleep(50);
        }
    }

    HWND FindTopLevel(const std::string& cls, const std::string& caption) const {
        struct Search {
            std::wstring cls, caption;
            HWND found;
        } s{Wide(cls), Wide(caption), nullptr};
        EnumWindows(
            [](HWND hwnd, LPARAM lp) -> BOOL {
                auto* s = reinterpret_cast<Search*>(lp);
                wchar_t cls[64] = {}, caption[256] = {};
                GetClassNameW(hwnd, cls, 64);
                GetWindowTextW(hwnd, caption, 256);
                if (IsWindowVisible(hwnd) && s->cls == cls && s->caption == caption) {
                    s->found = hwnd;
                    return FALSE;
                }
                return TRUE;
            },
            reinterpret_cast<LPARAM>(&s));
        return s.found;
    }

    // The text of the status bar's message pane, read through a buffer in
    // the application's memory (SB_GETTEXT carries a pointer).
    std::string PaneText() const {
        HWND bar = GetDlgItem(frame_, 0xE801);
        DWORD pid = 0;
        GetWindowThreadProcessId(bar, &pid);
        HANDLE process = OpenProcess(PROCESS_VM_OPERATION | PROCESS_VM_READ | PROCESS_VM_WRITE, FALSE, pid);
        if (!bar || !process) return {};
        std::string text;
        const size_t length = LOWORD(SendMessageW(bar, SB_GETTEXTLENGTHW, 0, 0));
        void* remote = VirtualAllocEx(process, nullptr, (length + 1) * sizeof(wchar_t), MEM_COMMIT, PAGE_READWRITE);
        if (remote) {
            SendMessageW(bar, SB_GETTEXTW, 0, reinterpret_cast<LPARAM>(remote));
            std::wstring local(length + 1, L'\0');
            SIZE_T read = 0;
            if (ReadProcessMemory(process, remote, local.data(), local.size() * sizeof(wchar_t), &read)) {
                local.resize(length);
                text = Utf8(local);
            }
            VirtualFreeEx(process, remote, 0, MEM_RELEASE);
        }
        CloseHandle(process);
        return text;
    }

    // The text of a message box: its static text (id 0xFFFF, else the
    // longest static).
    static std::string BoxText(HWND box) {
        if (HWND text = GetDlgItem(box, 0xFFFF)) return WindowText(text);
        std::string longest;
        for (HWND child = GetWindow(box, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
            const std::string t = WindowText(child);
            if (ClassOf(child) == "Static" && t.size() > longest.size()) longest = t;
        }
        return longest;
    }

    bool SaveBitmap(HWND hwnd, const std::string& path) const {
        RECT r{};
        GetWindowRect(hwnd, &r);
        const int w = r.right - r.left, h = r.bottom - r.top;
        if (w <= 0 || h <= 0) return false;
        HDC screen = GetDC(nullptr), mem = CreateCompatibleDC(screen);
        BITMAPINFO bi{};
        bi.bmiHeader = {sizeof(BITMAPINFOHEADER), w, h, 1, 24, BI_RGB, 0, 0, 0, 0, 0};
        void* bits = nullptr;
        HBITMAP bmp = CreateDIBSection(screen, &bi, DIB_RGB_COLORS, &bits, nullptr, 0);
        HGDIOBJ old = SelectObject(mem, bmp);
        const bool ok = BitBlt(mem, 0, 0, w, h, screen, r.left, r.top, SRCCOPY) != 0;
        SelectObject(mem, old);
        const DWORD size = static_cast<DWORD>(((w * 3 + 3) & ~3) * h);
        BITMAPFILEHEADER fh{0x4D42, static_cast<DWORD>(sizeof fh + sizeof bi.bmiHeader + size), 0, 0,
                            static_cast<DWORD>(sizeof fh + sizeof bi.bmiHeader)};
        bool written = false;
        if (ok) {
            if (FILE* f = _wfopen(Wide(path).c_str(), L"wb")) {
                written = std::fwrite(&fh, sizeof fh, 1, f) == 1 &&
                          std::fwrite(&bi.bmiHeader, sizeof bi.bmiHeader, 1, f) == 1 &&
                          std::fwrite(bits, size, 1, f) == 1;
                written = std::fclose(f) == 0 && written;
            }
        }
        DeleteObject(bmp);
        DeleteDC(mem);
        ReleaseDC(nullptr, screen);
        return written;
    }

    bool NeedFrame(std::string* error) {
        if (frame_ && IsWindow(frame_)) return true;
        if (WaitFor([&] { return (frame_ = FindWindowW(L"DUXKUpdateFrame", nullptr)) != nullptr; })) return true;
        *error = "no main window";
        return false;
    }

    bool NeedDialog(std::string* error) {
        if (dialog_ && IsWindow(dialog_)) return true;
        *error = "no dialog (wait for one with dialog|CAPTION first)";
        return false;
    }

    bool Step(std::string* error) {
        const std::string& verb = Field(0);
        if (verb == "frame") {
            if (!NeedFrame(error)) return false;
            current_ = frame_;
            std::printf("frame: %s\n", WindowText(frame_).c_str());
        } else if (verb == "status" || verb == "view") {
            if (!NeedFrame(error)) return false;
            std::string text;
            const bool pane = verb == "status";
            if (!WaitFor([&] {
                    text = pane ? PaneText() : WindowText(GetDlgItem(frame_, 0xE900));
                    return text.find(Field(1)) != std::string::npos;
                })) {
                *error = "it reads \"" + OneLine(text) + "\"";
                return false;
            }
            std::printf("%s: %s\n", verb.c_str(), OneLine(text).c_str());
        } else if (verb == "menu") {
            if (!NeedFrame(error)) return false;
            // Posted: the command runs its dialog modally.
            PostMessageW(frame_, WM_COMMAND, MAKEWPARAM(Id(1), 0), 0);
            std::printf("menu: %d\n", Id(1));
        } else if (verb == "dialog") {
            if (!WaitFor([&] { return (dialog_ = FindTopLevel("#32770", Field(1))) != nullptr; })) {
                *error = "no such dialog";
                return false;
            }
            current_ = dialog_;
            std::printf("dialog: %s\n", Field(1).c_str());
        } else if (verb == "set") {
            if (!NeedDialog(error)) return false;
            HWND item = GetDlgItem(dialog_, Id(1));
            if (!item || !SendMessageW(item, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(Wide(Field(2)).c_str()))) {
                *error = "no control " + Field(1);
                return false;
            }
            std::printf("set: %d\n", Id(1));
        } else if (verb == "get") {
            if (!NeedDialog(error)) return false;
            std::string text;
            if (!WaitFor([&] {
                    text = WindowText(GetDlgItem(dialog_, Id(1)));
                    return text.find(Field(2)) != std::string::npos;
                })) {
                *error = "it reads \"" + OneLine(text) + "\"";
                return false;
            }
            std::printf("get %d: %s\n", Id(1), OneLine(text).c_str());
        } else if (verb == "click") {
            if (!NeedDialog(error)) return false;
            HWND button = GetDlgItem(dialog_, Id(1));
            if (!button || !WaitFor([&] { return IsWindowEnabled(button) != 0; })) {
                *error = button ? "the button stays greyed" : "no control " + Field(1);
                return false;
            }
            // Posted: a press may open a modal box.
            PostMessageW(button, BM_CLICK, 0, 0);
            std::printf("click: %d\n", Id(1));
        } else if (verb == "bar") {
            if (!NeedDialog(error)) return false;
            LRESULT position = 0;
            if (!WaitFor([&] {
                    position = SendDlgItemMessageW(dialog_, Id(1), PBM_GETPOS, 0, 0);
                    return position >= Id(2);
                })) {
                *error = "it stands at " + std::to_string(position);
                return false;
            }
            std::printf("bar %d: %d\n", Id(1), static_cast<int>(position));
        } else if (verb == "box") {
            std::string text;
            if (!WaitFor([&] {
                    box_ = FindTopLevel("#32770", Field(1));
                    text = box_ ? BoxText(box_) : "";
                    return box_ && text.find(Field(2)) != std::string::npos;
                })) {
                *error = box_ ? "it says \"" + OneLine(text) + "\"" : "no such box";
                return false;
            }
            current_ = box_;
            std::printf("box %s: %s\n", Field(1).c_str(), OneLine(text).c_str());
        } else if (verb == "ok") {
            HWND box = box_;
            if (!box || !IsWindow(box)) {
                *error = "no box (wait for one with box|CAPTION|TEXT first)";
                return false;
            }
            PostMessageW(box, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
            if (!WaitFor([&] { return !IsWindow(box); })) {
                *error = "the box stays after OK";
                return false;
            }
            box_ = nullptr;
            std::printf("answered\n");
        } else if (verb == "close") {
            if (!NeedDialog(error)) return false;
            HWND dialog = dialog_;
            // Asked again each second, as a user would: a dialog may refuse
            // while its work runs.
            DWORD asked = 0;
            if (!WaitFor([&] {
                    if (!IsWindow(dialog)) return true;
                    if (GetTickCount() - asked >= 1000) {
                        PostMessageW(dialog, WM_CLOSE, 0, 0);
                        asked = GetTickCount();
                    }
                    return false;
                })) {
                *error = "the dialog stays";
                return false;
            }
            dialog_ = nullptr;
            std::printf("closed\n");
        } else if (verb == "shot") {
            // Everything painted first.
            if (current_)
                RedrawWindow(current_, nullptr, nullptr, RDW_INVALIDATE | RDW_UPDATENOW | RDW_ALLCHILDREN | RDW_FRAME);
            Sleep(500);
            if (!current_ || !SaveBitmap(current_, Field(1))) {
                *error = "cannot save the window into " + Field(1);
                return false;
            }
            std::printf("shot: %s\n", Field(1).c_str());
        } else if (verb == "sleep") {
            Sleep(static_cast<DWORD>(Id(1)));
            std::printf("slept: %d\n", Id(1));
        } else {
            *error = "unknown step";
            return false;
        }
        return true;
    }

    int timeoutMs_ = 60000;
    std::string step_;
    std::vector<std::string> f_;
    HWND frame_ = nullptr, dialog_ = nullptr, box_ = nullptr, current_ = nullptr;
};

}  // namespace

int wmain(int argc, wchar_t** argv) {
    std::vector<std::string> steps;
    for (int i = 1; i < argc; ++i) steps.push_back(Utf8(argv[i]));
    if (steps.empty()) {
        std::printf("usage: duxk-uidriver STEP... (see the top of tests/win32/UiDriver.cpp)\n");
        return 2;
    }
    return Driver().Run(steps);
}
