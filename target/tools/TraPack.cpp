// Build-time packer for the transfer program.
//
// Takes the code assembled by nasm, appends a filler so that the image has
// the fixed size the download carries and the download checksum the service
// tool expects, and writes the image both as a binary and as a C++ source
// that defines the image array for the update library.
//
//   tra_pack CODE.bin IMAGE.bin IMAGE.cpp

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <vector>

namespace {

constexpr size_t kImageSize = 11340;
constexpr uint32_t kLoadAddressWord = 0x04000100;
// The download sums both load-address words (byte by byte) and the image.
constexpr uint32_t kDownloadChecksum = 1124409;

uint32_t ByteSum(uint32_t word) { return (word & 0xFF) + ((word >> 8) & 0xFF) + ((word >> 16) & 0xFF) + (word >> 24); }

bool ReadFile(const char* path, std::vector<uint8_t>& out) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    out.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: %s CODE.bin IMAGE.bin IMAGE.cpp\n", argv[0]);
        return 2;
    }
    std::vector<uint8_t> image;
    if (!ReadFile(argv[1], image)) {
        std::fprintf(stderr, "tra_pack: cannot read %s\n", argv[1]);
        return 1;
    }
    if (image.size() >= kImageSize) {
        std::fprintf(stderr, "tra_pack: code of %zu bytes leaves no room for the filler\n", image.size());
        return 1;
    }

    uint64_t sum = 2 * ByteSum(kLoadAddressWord);
    for (uint8_t b : image) sum += b;
    const size_t fill = kImageSize - image.size();
    if (sum > kDownloadChecksum || kDownloadChecksum - sum > 255 * fill) {
        std::fprintf(stderr, "tra_pack: the checksum cannot be reached with %zu filler bytes\n", fill);
        return 1;
    }
    // Spread the missing amount evenly: every filler byte gets the quotient,
    // the first ones one more for the remainder.
    const uint64_t missing = kDownloadChecksum - sum;
    const uint64_t each = missing / fill;
    const uint64_t extra = missing % fill;
    for (size_t i = 0; i < fill; ++i) image.push_back(static_cast<uint8_t>(each + (i < extra ? 1 : 0)));

    uint32_t check = 2 * ByteSum(kLoadAddressWord);
    for (uint8_t b : image) check += b;
    if (image.size() != kImageSize || check != kDownloadChecksum) {
        std::fprintf(stderr, "tra_pack: internal error, image does not check\n");
        return 1;
    }

    std::ofstream bin(argv[2], std::ios::binary | std::ios::trunc);
    bin.write(reinterpret_cast<const char*>(image.data()), static_cast<std::streamsize>(image.size()));
    if (!bin) {
        std::fprintf(stderr, "tra_pack: cannot write %s\n", argv[2]);
        return 1;
    }

    std::ofstream src(argv[3], std::ios::trunc);
    src << "// Generated at build time from target/dux_tra.asm; do not edit.\n"
           "#include \"update/Update.h\"\n\n"
           "extern const uint8_t kTransferProgram[] = {";
    for (size_t i = 0; i < image.size(); ++i) {
        if (i % 16 == 0) src << "\n   ";
        char hex[8];
        std::snprintf(hex, sizeof hex, " 0x%02x,", image[i]);
        src << hex;
    }
    src << "\n};\n\nextern const size_t kTransferProgramSize = sizeof(kTransferProgram);\n";
    if (!src) {
        std::fprintf(stderr, "tra_pack: cannot write %s\n", argv[3]);
        return 1;
    }
    return 0;
}
