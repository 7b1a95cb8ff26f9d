// The far end of a pseudo-terminal, played by a test: the host side opens
// the slave device as its serial port, the test reads and writes the master.
#pragma once

#include "session/FrameUi.h"

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

class PtyPeer {
public:
    PtyPeer();
    ~PtyPeer();
    PtyPeer(const PtyPeer&) = delete;
    PtyPeer& operator=(const PtyPeer&) = delete;

    const std::string& SlavePath() const { return slavePath_; }
    bool Ok() const { return master_ >= 0; }

    // One byte within timeoutMs; false on time-out.
    bool ReadByte(uint8_t& byte, int timeoutMs);
    // Up to count bytes, each awaited at most timeoutMs.
    std::vector<uint8_t> Read(size_t count, int timeoutMs);
    // Everything that arrives until the line has been quiet for idleMs,
    // waiting at most firstMs for the first byte.
    std::vector<uint8_t> ReadChunk(int firstMs, int idleMs);
    // A text line up to and including '\n' (empty on time-out).
    std::string ReadLine(int timeoutMs);
    void Write(const void* data, size_t count);
    void Write(const std::string& text) { Write(text.data(), text.size()); }
    // Sends a byte and waits for the host's echo of it.
    bool SendEchoed(uint8_t byte, int timeoutMs = 2000);
    // The adapter unplugged: the host's port sees a hang-up.
    void CloseMaster();

private:
    int master_ = -1;
    int slaveKeep_ = -1;
    std::string slavePath_;
};

// A message-box recorder standing in for a front end.
class RecordingUi : public IFrameUi {
public:
    struct Box {
        std::string text, caption;
        BoxIcon icon;
    };
    void SetStatusText(const std::string&) override {}
    bool EnableMenuCommands(const int*, int, bool) override { return true; }
    void ShowMessageBox(const std::string& text, const std::string& caption, BoxIcon icon) override {
        std::lock_guard<std::mutex> lock(mutex);
        boxes.push_back({text, caption, icon});
    }
    std::vector<Box> Boxes() {
        std::lock_guard<std::mutex> lock(mutex);
        return boxes;
    }

    std::mutex mutex;
    std::vector<Box> boxes;
};
