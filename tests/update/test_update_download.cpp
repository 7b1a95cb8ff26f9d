// The transfer-program download against a boot loader played on a
// pseudo-terminal: header, block lengths, checksum and the verdict byte.
#include "PtyPeer.h"

#include "app/MainFrame.h"
#include "serial/DUXKSerial.h"
#include "serial/Link.h"
#include "update/Update.h"
#include "update/UpdateDetail.h"

#include <gtest/gtest.h>

#include <future>
#include <string>

using Bytes = std::vector<uint8_t>;

namespace {

class DownloadTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(peer.Ok());
        SetMainFrame(&frame);
        CDUXKSerial& ch = GetSensorChannel();
        ASSERT_EQ(ch.Open(peer.SlavePath().c_str(), 4000, 4000, true), 0u);
        ASSERT_EQ(ch.SetParams(38400, 8, EVENPARITY, TWOSTOPBITS), 0u);
        ch.SetEventMask(0x1FD);
        ch.SetFlowControl(0);
    }
    void TearDown() override {
        GetSensorChannel().Close();
        SetMainFrame(nullptr);
    }

    // Plays the boot loader up to the verdict: returns the header, the
    // blocks as they arrived (split at the pauses between them) and the
    // checksum bytes.
    void ReceiveDownload(Bytes& header, std::vector<Bytes>& blocks, Bytes& checksum) {
        header = peer.ReadChunk(3000, 250);
        for (int i = 0; i < 23; ++i) blocks.push_back(peer.ReadChunk(3000, 250));
        checksum = peer.ReadChunk(3000, 250);
    }

    PtyPeer peer;
    RecordingUi ui;
    CMainFrameCore frame{ui};
};

}  // namespace

TEST_F(DownloadTest, HeaderBlocksAndChecksumOnTheWire) {
    ASSERT_EQ(kTransferProgramSize, 11340u);
    auto run = std::async(std::launch::async, [] { return LoadTransferPrg(kLoadAddressWord, kLoadAddressWord); });
    Bytes header, checksum;
    std::vector<Bytes> blocks;
    ReceiveDownload(header, blocks, checksum);
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
