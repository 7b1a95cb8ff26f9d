// Reply telegrams of the transfer program: one bare reception, then the
// flash operations of an update in their order, each taking its replies
// from the rest of the input (retries included) and decoding them. The
// first input byte picks the link mode (lowest bit set: fast). The
// sensor may answer anything; nothing it sends may make the host read or
// write outside its buffers, and the operations must end.
#include "ScriptedLink.h"

#include "serial/Link.h"
#include "update/Update.h"
#include "update/UpdateDetail.h"

#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

// A short image of a little more than one program block.
std::vector<uint8_t> Firmware() {
    std::vector<uint8_t> image(300);
    for (size_t i = 0; i < image.size(); ++i) image[i] = static_cast<uint8_t>(i * 7);
    return image;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1 || size > 8192) return 0;
    static const std::vector<uint8_t> firmware = Firmware();
    SetFastLink((data[0] & 1) != 0);
    ScriptReset(data + 1, size - 1);

    uint8_t reply[256];
    const int code = ReceiveTelegram(reply);
    if (code != 0 && code != 0x113 && code != 0x115) std::abort();

    uint32_t manufacturer = 0, device = 0, sum = 0, fileSum = 0, stop = 0;
    (void)flashProgpowerOn();
    (void)flashGetManufacturer(0x80000, 1, 1, &manufacturer, &device);
    (void)flashProg(firmware.data(), firmware.size(), 0x80000, 1, 1, &fileSum, &stop);
    (void)flashProgpowerOff();
    (void)flashGetChecksum(1, 0x80000, 300, &sum);
    (void)flashProgEnd();
    return 0;
}
