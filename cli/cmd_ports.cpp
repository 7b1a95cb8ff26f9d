// duxk ports: show and edit the port map that gives COM1..COM7 their devices.

#include "cli/Cli.h"

#include "serial/PortMap.h"

#include <CLI/CLI.hpp>

#include <cstdio>
#include <string>

namespace {

struct PortsArgs {
    std::string mapName, mapDevice, unmapName;
};

bool ValidComName(const std::string& name) {
    int n = ComPortNumber(name);
    if (n >= 1 && n <= 7) return true;
    std::fprintf(stderr, "duxk ports: %s is not one of COM1..COM7\n", name.c_str());
    return false;
}

void Finish(CliContext& ctx, int rc, const std::string& message) {
    PrintJsonResult(ctx, rc, message);
    SetExitCode(rc);
}

// What kind of device a COMn without a link was given, for the listing.
const char* FoundKind(const std::string& kind) {
    if (kind == "by-id") return "USB adapter, by id";
    if (kind == "ttyUSB") return "USB adapter";
    if (kind == "ttyACM") return "USB ACM device";
    if (kind == "ttyS") return "on-board port with a UART";
    return kind.c_str();
}

// Where COMn are the system's own ports: which of COM1..COM7 exist and
// every COM port present.
void ListSystemPorts() {
    std::printf("Ports: COMn are the system's own ports (the port map is Linux-only)\n");
    for (const PortMapEntry& e : ListPortMap())
        std::printf("  %-5s %s\n", e.name.c_str(), e.present ? "present" : "(missing)");
    std::printf("COM ports present:\n");
    std::vector<std::string> ports = ListSerialDevices();
    if (ports.empty()) std::printf("  (none)\n");
    for (const std::string& p : ports) std::printf("  %s\n", p.c_str());
}

void RunList(CliContext& ctx) {
    if (!ctx.opts.json && !PortMapSupported()) {
        ListSystemPorts();
    } else if (!ctx.opts.json) {
        std::printf("Port map: %s%s\n", PortMapDir().c_str(),
                    PortMapIsExplicit() ? " (DUXK_PORTS_DIR: only its links count)" : "");
        for (const PortMapEntry& e : ListPortMap()) {
            if (e.device.empty())
                std::printf("  %-5s not mapped%s\n", e.name.c_str(),
                            PortMapIsExplicit() ? "" : ", no further serial device present");
            else if (e.mapped)
                std::printf("  %-5s mapped   %s%s\n", e.name.c_str(), e.device.c_str(), e.present ? "" : " (missing)");
            else
                std::printf("  %-5s found    %s (%s)\n", e.name.c_str(), e.device.c_str(), FoundKind(e.kind));
        }
        std::printf("Serial devices present:\n");
        std::vector<SerialDevice> devices = DiscoverSerialDevices();
        if (devices.empty()) std::printf("  (none)\n");
        for (const SerialDevice& d : devices) {
            if (d.node != d.path)
                std::printf("  %s -> %s\n", d.path.c_str(), d.node.c_str());
            else
                std::printf("  %s\n", d.path.c_str());
        }
    }
    Finish(ctx, kExitOk, "Port map listed");
}

void RunMap(CliContext& ctx, const PortsArgs& a) {
    if (!ValidComName(a.mapName)) return Finish(ctx, kExitUsage, "Invalid port name");
    std::string error;
    if (!MapPort(a.mapName, a.mapDevice, &error)) {
        std::fprintf(stderr, "duxk ports map: %s\n", error.c_str());
        return Finish(ctx, kExitFailed, error);
    }
    std::string message = a.mapName + " -> " + a.mapDevice;
    if (!ctx.opts.json) std::printf("%s\n", message.c_str());
    Finish(ctx, kExitOk, message);
}

void RunUnmap(CliContext& ctx, const PortsArgs& a) {
    if (!ValidComName(a.unmapName)) return Finish(ctx, kExitUsage, "Invalid port name");
    std::string error;
    if (!UnmapPort(a.unmapName, &error)) {
        std::fprintf(stderr, "duxk ports unmap: %s\n", error.c_str());
        return Finish(ctx, kExitFailed, error);
    }
    std::string message = a.unmapName + " unmapped";
    if (!ctx.opts.json) std::printf("%s\n", message.c_str());
    Finish(ctx, kExitOk, message);
}

CliCommand reg{
    "ports", [](CLI::App& app, CliContext& ctx) {
        static PortsArgs args;
        CLI::App* cmd = app.add_subcommand("ports",
                                           "List the port map and the serial devices present; "
                                           "map or unmap COMn");
        cmd->require_subcommand(0, 1);
        cmd->footer(!PortMapSupported()
                        ? "The port map is Linux-only: here COM1, COM2, ... are the system's own ports;\n"
                          "'duxk ports' lists those present, map and unmap fail."
                        : "COM1..COM7 are symbolic links com1..com7 in $DUXK_PORTS_DIR or, without it, in\n"
                          "${XDG_CONFIG_HOME:-~/.config}/duxkupdate/ports. Without DUXK_PORTS_DIR, a COMn\n"
                          "without a link takes the next serial device present that no link names: USB\n"
                          "adapters by their /dev/serial/by-id name, then ttyUSB and ttyACM devices, then\n"
                          "on-board ttyS ports that have a UART behind them.\n"
                          "\n"
                          "Examples:\n"
                          "  duxk ports\n"
                          "  duxk ports map COM3 /dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A12345-if00-port0\n"
                          "  duxk ports unmap COM3");
        CLI::App* map = cmd->add_subcommand("map", "Link COMn to a device");
        map->add_option("COMn", args.mapName, "Port name, COM1..COM7")->required();
        map->add_option("DEVICE", args.mapDevice, "Device path, e.g. /dev/ttyUSB0")->required();
        map->footer("Example:\n  duxk ports map COM3 /dev/ttyUSB0");
        CLI::App* unmap = cmd->add_subcommand("unmap", "Remove the link of COMn");
        unmap->add_option("COMn", args.unmapName, "Port name, COM1..COM7")->required();
        unmap->footer("Example:\n  duxk ports unmap COM3");

        map->callback([&ctx] { RunMap(ctx, args); });
        unmap->callback([&ctx] { RunUnmap(ctx, args); });
        cmd->callback([&ctx, cmd] {
            if (cmd->get_subcommands().empty()) RunList(ctx);
        });
    }};

}  // namespace
