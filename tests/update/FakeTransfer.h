// A transfer program played on a pseudo-terminal: receives telegrams,
// answers them with echoed reply bytes and keeps a flash image, so that the
// host's telegram sequence can be checked byte for byte.
#pragma once

#include "PtyPeer.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

class FakeTransfer {
public:
    using Bytes = std::vector<uint8_t>;

    explicit FakeTransfer(PtyPeer& peer);
    ~FakeTransfer();

    // Replaces the answer to a telegram: given the body and the number of
    // telegrams seen before it, return the reply body (empty: the built-in
    // answer).
    std::function<Bytes(const Bytes& body, size_t index)> override_;
    // Replaces the whole reply on the line, framing included (empty: a framed
    // reply as above), for replies no transfer program would frame so.
    std::function<Bytes(const Bytes& body, size_t index)> lineOverride_;
    // Address whose cell keeps 0xFF whatever is programmed (0: none).
    uint32_t stuckAddress = 0;
    // The data for this address and the next are programmed the other way
    // round (0: none): a fault that a sum cannot see.
    uint32_t swapAddress = 0;

    // Holds the reply to telegram number stallTelegram back for stallMs
    // before its byte stallByte (0: the whole reply comes late), as a busy
    // machine's terminal layer can (stallMs 0: none).
    int stallMs = 0;
    size_t stallTelegram = 0, stallByte = 0;

    void Start();
    void Stop();
    // Every telegram received, whole: length, body, checksum.
    std::vector<Bytes> Telegrams();
    uint8_t FlashAt(uint32_t address);
    void SetFlash(uint32_t address, const Bytes& bytes);

    static Bytes Frame(const Bytes& body);

private:
    void Run();
    Bytes Answer(const Bytes& body);

    PtyPeer& peer_;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::mutex mutex_;
    std::vector<Bytes> telegrams_;
    std::vector<uint8_t> flash_;
};
