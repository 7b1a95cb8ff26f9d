// duxk-mkfw: writes an application image for the virtual sensor, or the
// boot area a new virtual sensor starts with.
#include <CLI/CLI.hpp>

#include <cstdio>
#include <fstream>
#include <iostream>

#include "sim/FirmwareImage.h"

int main(int argc, char** argv) {
    CLI::App app{
        "Writes a firmware image that the virtual DUX-K52 sensor (duxk-sensor-sim) accepts as its\n"
        "application: a 12-byte header (\"DKFW\", length, byte sum) and the marker VER=<version>."};
    std::string out;
    std::string version = "3.10";
    uint32_t size = 16384;
    bool bootArea = false;
    app.add_option("output", out, "file to write")->required();
    app.add_option("--version", version, "version text carried as VER=<version> (x.yy)");
    app.add_option("--size", size, "image size in bytes (at most 114688)")->check(CLI::Range(1u, sim::kAppAreaSize));
    app.add_flag("--boot-area", bootArea, "write the 16 KiB boot area of a new sensor instead (for comparisons)");
    CLI11_PARSE(app, argc, argv);

    const auto bytes = bootArea ? sim::BootAreaImage() : sim::MakeFirmwareImage(version, size);
    std::ofstream f(out, std::ios::binary | std::ios::trunc);
    f.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    if (!f) {
        std::cerr << "duxk-mkfw: cannot write " << out << "\n";
        return 1;
    }
    return 0;
}
