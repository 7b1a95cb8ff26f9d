// Calibration files: the input is written as the file to load, and the load
// sequence runs tick by tick against a pseudo-terminal whose far end
// unlocks at once and swallows every line. Junk bytes, NULs, lines without
// an end or far longer than any record must neither crash the load nor
// leave it running: it ends with the file sent or a message.
#include "PtyFeed.h"

#include "session/FrameUi.h"
#include "session/MainFrame.h"
#include "calibration/CalTransfer.h"
#include "serial/DUXKSerial.h"

#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>

namespace {

struct QuietUi : IFrameUi {
    void SetStatusText(const std::string&) override {}
    bool EnableMenuCommands(const int*, int, bool) override { return true; }
    void ShowMessageBox(const std::string&, const std::string&, BoxIcon) override {}
};

struct QuietSink : CalTransferSink {
    void SetProgress(int p) override {
        if (p < 0 || p > 100) std::abort();
    }
    void SetStatusText(const std::string&) override {}
    void ShowMessageBox(const std::string&, const std::string&, BoxIcon) override {}
};

struct Bench {
    Bench() : frame(ui) {
        std::snprintf(frame.m_search.szPort, sizeof frame.m_search.szPort, "%s", feed.Slave().c_str());
        std::snprintf(frame.m_search.szBaud, sizeof frame.m_search.szBaud, "38400");
        if (!frame.ReopenSensorPort()) std::abort();
        frame.m_bSensorFound = 1;
        feed.StartSwallowing();
        char name[] = "/tmp/duxk-fuzz-cal-XXXXXX";
        const int fd = mkstemp(name);
        if (fd < 0) std::abort();
        close(fd);
        path = name;
    }
    QuietUi ui;
    PtyFeed feed;
    CMainFrameCore frame;
    std::string path;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static Bench* bench = new Bench;
    if (size > 16384) return 0;
    FILE* f = std::fopen(bench->path.c_str(), "wb");
    if (!f || std::fwrite(data, 1, size, f) != size || std::fclose(f) != 0) std::abort();

    QuietSink sink;
    CalTransfer transfer(bench->frame, &sink);
    if (!transfer.OnLoad(bench->path)) {
        // Only a file without a single record is refused at this size.
        std::string content;
        if (CalTransfer::ReadLoadFile(bench->path, content, nullptr) != CalTransfer::LoadFileState::NoRecords)
            std::abort();
        return 0;
    }
    static const uint8_t kUnlocked[] = "unlocked_\r\n";
    // Every line costs a tick; the lock, unlock and closing steps a few more,
    // and the listing after the load (which never comes here) its time-out.
    const int maxTicks = static_cast<int>(size) + 64 + CalTransfer::kCheckTicks;
    int ticks = 0;
    for (; ticks < maxTicks && transfer.LoadStep() != 0; ++ticks) {
        if (transfer.LoadStep() == 3) bench->feed.Arrive(kUnlocked, sizeof kUnlocked - 1);
        if (transfer.LoadStep() == 5) GetSensorChannel().WaitTransmitDone(1000);
        transfer.Tick();
    }
    if (transfer.LoadStep() != 0) std::abort();  // the load did not end
    GetSensorChannel().Purge();
    return 0;
}
