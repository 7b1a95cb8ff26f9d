// The transfer-program download against a boot loader played on a
// pseudo-terminal: header, block lengths, checksum and the verdict byte.
#include "PrivateTemp.h"
#include "PtyPeer.h"

#include "session/MainFrame.h"
#include "serial/DUXKSerial.h"
#include "serial/Link.h"
#include "update/Update.h"
#include "update/UpdateDetail.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <future>
#include <string>

using Bytes = std::vector<uint8_t>;

namespace {

::testing::Environment* const g_privateTemp = ::testing::AddGlobalTestEnvironment(new PrivateTemp);

class DownloadTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(peer.Ok());
        CDUXKSerial& ch = GetSensorChannel();
        ASSERT_EQ(ch.Open(peer.SlavePath().c_str(), 4000, 4000, true), 0u);
        ASSERT_EQ(ch.SetParams(38400, 8, EVENPARITY, TWOSTOPBITS), 0u);
        ch.SetEventMask(0x1FD);
        ch.SetFlowControl(0);
        char name[] = "/tmp/duxk-download-trace-XXXXXX";
        const int fd = mkstemp(name);
        ASSERT_GE(fd, 0);
        close(fd);
        tracePath = name;
        ASSERT_TRUE(ch.AttachTrace(tracePath.c_str()));
    }
    void TearDown() override {
        GetSensorChannel().CloseTrace();
        std::remove(tracePath.c_str());
        GetSensorChannel().Close();
    }

    // Plays the boot loader up to the verdict: takes the whole download and
    // splits it into the host's writes as its trace recorded them (one
    // timestamp per write call; the blocks are 0.4 s apart). Splitting at
    // arrival gaps instead would merge blocks whenever this thread is late.
    void ReceiveDownload(Bytes& header, std::vector<Bytes>& blocks, Bytes& checksum) {
        const Bytes all = peer.Read(12 + kTransferProgramSize + 2, 5000);
        ASSERT_EQ(all.size(), 12 + kTransferProgramSize + 2);
        // The host traces a write right after making it: give the last one
        // a moment to reach the trace.
        std::vector<size_t> writes;
        for (int i = 0; i < 500; ++i) {
            writes = TracedWriteSizes();
            size_t traced = 0;
            for (size_t n : writes) traced += n;
            if (traced >= all.size()) break;
            usleep(10000);
        }
        size_t at = 0, headerWrites = 0;
        while (at < 12 && headerWrites < writes.size()) at += writes[headerWrites++];
        ASSERT_EQ(at, 12u) << "the header is written on its own";
        header.assign(all.begin(), all.begin() + 12);
        for (size_t i = headerWrites; i < writes.size(); ++i) {
            Bytes part(all.begin() + static_cast<long>(at), all.begin() + static_cast<long>(at + writes[i]));
            at += writes[i];
            if (i + 1 == writes.size())
                checksum = part;
            else
                blocks.push_back(part);
        }
        ASSERT_EQ(at, all.size());
    }

    // Byte counts of the host's write calls so far, from the trace.
    std::vector<size_t> TracedWriteSizes() {
        std::ifstream in(tracePath);
        std::vector<size_t> sizes;
        std::string line, lastStamp;
        while (std::getline(in, line)) {
            const size_t space = line.find(' ');
            if (space == std::string::npos || line.compare(space + 1, 12, "Write() sent") != 0) continue;
            const std::string stamp = line.substr(0, space);
            if (sizes.empty() || stamp != lastStamp) sizes.push_back(0);
            ++sizes.back();
            lastStamp = stamp;
        }
        return sizes;
    }

    PtyPeer peer;
    std::string tracePath;
    RecordingUi ui;
    CMainFrameCore frame{ui};
    // The update's boxes go to ui, and the port is handed back to frame.
    UpdateFrameScope frameScope{&frame};
};

}  // namespace

TEST_F(DownloadTest, HeaderBlocksAndChecksumOnTheWire) {
    ASSERT_EQ(kTransferProgramSize, 11340u);
    auto run = std::async(std::launch::async, [] { return LoadTransferPrg(kLoadAddressWord, kLoadAddressWord); });
    Bytes header, checksum;
    std::vector<Bytes> blocks;
    ReceiveDownload(header, blocks, checksum);
    ASSERT_EQ(blocks.size(), 23u);
    // The progress follows the confirmed blocks; the verdict is still open.
    EXPECT_NEAR(DownloadProgress.load(), 11264 * 100.0 / 11340, 1e-9);
    peer.Write("T");
    EXPECT_EQ(run.get(), 0);

    EXPECT_EQ(header, (Bytes{0x4C, 0x2C, 0x00, 0x00, 0x00, 0x01, 0x00, 0x04, 0x00, 0x01, 0x00, 0x04}));
    Bytes image;
    for (int i = 0; i < 23; ++i) {
        EXPECT_EQ(blocks[i].size(), i < 22 ? 512u : 76u) << "block " << i;
        image.insert(image.end(), blocks[i].begin(), blocks[i].end());
    }
    EXPECT_EQ(image, Bytes(kTransferProgram, kTransferProgram + kTransferProgramSize));
    // Sum of the two address words' bytes and the image, low 16 bits.
    uint32_t sum = 2 * (0x00 + 0x01 + 0x00 + 0x04);
    for (uint8_t b : image) sum += b;
    EXPECT_EQ(checksum, (Bytes{static_cast<uint8_t>(sum), static_cast<uint8_t>(sum >> 8)}));
    EXPECT_DOUBLE_EQ(DownloadProgress.load(), 100.01);
    EXPECT_TRUE(ui.Boxes().empty());
}

TEST_F(DownloadTest, TextVerdictIsShownUpToItsLineEnd) {
    auto run = std::async(std::launch::async, [] { return LoadTransferPrg(kLoadAddressWord, kLoadAddressWord); });
    Bytes header, checksum;
    std::vector<Bytes> blocks;
    ReceiveDownload(header, blocks, checksum);
    peer.Write("Err 3\r\nmore");
    EXPECT_EQ(run.get(), 11);
    const auto boxes = ui.Boxes();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].text, "Err 3");
    EXPECT_EQ(boxes[0].caption, "FLASH");
    EXPECT_STREQ(DownloadResultMessage(11), "Unknown download result");
}
