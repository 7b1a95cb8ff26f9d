// Interrupted updates against the virtual sensor without its watchdog (as a
// real sensor, it stays in the transfer program until restarted): duxk
// killed or interrupted in every way a user can, a pulled cable, a power
// cycle, and the same command run again. The scenarios run side by side,
// each with its own sensor, port map and state directory.
#include "Scenarios.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace fs = std::filesystem;

namespace {

std::string BinDir() {
    const char* d = std::getenv("DUXK_BIN_DIR");
    return d ? d : "bin";
}

std::string ReadAll(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

bool Contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

void SleepMs(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

// A scenario's own directory, port map and private state directory.
class Scene {
public:
    explicit Scene(const std::string& name)
        : dir_(::testing::TempDir() + "duxk_recovery_e2e_" + std::to_string(getpid()) + "/" + name) {
        fs::remove_all(dir_);
        fs::create_directories(dir_ + "/ports");
        fs::create_directories(dir_ + "/temp");
        fs::create_directories(dir_ + "/state");
        for (char** e = environ; *e; ++e) {
            const std::string var = *e;
            if (var.rfind("TEMP=", 0) != 0 && var.rfind("DUXK_PORTS_DIR=", 0) != 0 && var.rfind("DUXK_TRACE=", 0) != 0)
                env_.push_back(var);
        }
        env_.push_back("TEMP=" + dir_ + "/temp");
        env_.push_back("DUXK_PORTS_DIR=" + dir_ + "/ports");
    }
    const std::string& Dir() const { return dir_; }
    // The update markers left in the scene's TEMP.
    std::vector<std::string> Markers() const {
        std::vector<std::string> found;
        for (const auto& e : fs::directory_iterator(dir_ + "/temp")) {
            const std::string name = e.path().filename().string();
            if (name.rfind("DUXKUpdt.", 0) == 0 && name.size() > 4 && name.compare(name.size() - 4, 4, ".upd") == 0)
                found.push_back(e.path().string());
        }
        return found;
    }

    // stdoutFd >= 0: the child's standard output is that descriptor.
    pid_t Spawn(const std::vector<std::string>& args, const std::string& tag, int stdoutFd = -1) const {
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        if (stdoutFd >= 0)
            posix_spawn_file_actions_adddup2(&actions, stdoutFd, 1);
        else
            posix_spawn_file_actions_addopen(&actions, 1, (dir_ + "/" + tag + ".out").c_str(),
                                             O_WRONLY | O_CREAT | O_TRUNC, 0644);
        posix_spawn_file_actions_addopen(&actions, 2, (dir_ + "/" + tag + ".err").c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                         0644);
        // The test runner's own signal settings are not the child's business.
        posix_spawnattr_t attr;
        posix_spawnattr_init(&attr);
        sigset_t all;
        sigemptyset(&all);
        sigaddset(&all, SIGINT);
        sigaddset(&all, SIGTERM);
        sigaddset(&all, SIGHUP);
        sigaddset(&all, SIGPIPE);
        posix_spawnattr_setsigdefault(&attr, &all);
        sigset_t none;
        sigemptyset(&none);
        posix_spawnattr_setsigmask(&attr, &none);
        posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
        std::vector<char*> argv, envp;
        for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        for (const std::string& e : env_) envp.push_back(const_cast<char*>(e.c_str()));
        envp.push_back(nullptr);
        pid_t pid = -1;
        if (posix_spawn(&pid, argv[0], &actions, &attr, argv.data(), envp.data()) != 0) pid = -1;
        posix_spawn_file_actions_destroy(&actions);
        posix_spawnattr_destroy(&attr);
        return pid;
    }

    std::string MakeFirmware(const std::string& version, int size) const {
        const std::string path = dir_ + "/fw.bin";
        const pid_t pid =
            Spawn({BinDir() + "/duxk-mkfw", path, "--version", version, "--size", std::to_string(size)}, "mkfw");
        int status = 0;
        waitpid(pid, &status, 0);
        return path;
    }

private:
    std::string dir_;
    std::vector<std::string> env_;
};

// A sensor without a watchdog, linked as COMn (COM1 unless asked) in the
// scene's port map, with its state in state (stateN for COMn).
class Sim {
public:
    Sim(const Scene& scene, std::vector<std::string> extra, const std::string& tag = "sim", int com = 1)
        : state_(scene.Dir() + "/state" + (com == 1 ? "" : std::to_string(com))) {
        std::vector<std::string> args{BinDir() + "/duxk-sensor-sim",
                                      "--com",
                                      std::to_string(com),
                                      "--state",
                                      state_,
                                      "--trace",
                                      scene.Dir() + "/" + tag + ".trace",
                                      "--watchdog",
                                      "0",
                                      "--startup",
                                      "0.3"};
        args.insert(args.end(), extra.begin(), extra.end());
        trace_ = scene.Dir() + "/" + tag + ".trace";
        pid_ = scene.Spawn(args, tag);
        for (int i = 0; i < 500 && device_.empty(); ++i) {
            const std::string out = ReadAll(scene.Dir() + "/" + tag + ".out");
            const size_t nl = out.find('\n');
            if (nl != std::string::npos)
                device_ = out.substr(0, nl);
            else
                SleepMs(10);
        }
    }
    ~Sim() { Stop(); }
    void Stop() {
        if (pid_ <= 0) return;
        kill(pid_, SIGTERM);
        int status = 0;
        waitpid(pid_, &status, 0);
        pid_ = -1;
    }
    const std::string& Device() const { return device_; }
    std::string Trace() const { return ReadAll(trace_); }
    std::string Flash() const { return ReadAll(state_ + "/flash.bin"); }

private:
    std::string state_;
    std::string trace_;
    pid_t pid_ = -1;
    std::string device_;
};

struct Run {
    int status = -1;  // exit status, or 128 + signal
    std::string out, err;
};

class Duxk {
public:
    Duxk(const Scene& scene, const std::string& tag, std::vector<std::string> args, int stdoutFd = -1)
        : scene_(scene), tag_(tag) {
        std::vector<std::string> all{BinDir() + "/duxk", "--trace", scene.Dir() + "/" + tag + ".trace"};
        all.insert(all.end(), args.begin(), args.end());
        pid_ = scene.Spawn(all, tag, stdoutFd);
    }
    ~Duxk() {
        if (pid_ > 0) Wait();
    }
    // Waits until duxk's own trace shows `text` (at most timeoutMs).
    bool WaitTrace(const std::string& text, int timeoutMs) const {
        for (int waited = 0; waited < timeoutMs; waited += 50) {
            if (Contains(ReadAll(scene_.Dir() + "/" + tag_ + ".trace"), text)) return true;
            SleepMs(50);
        }
        return false;
    }
    void Signal(int signal) const { kill(pid_, signal); }
    Run Wait() {
        Run run;
        int status = 0;
        if (pid_ > 0 && waitpid(pid_, &status, 0) == pid_)
            run.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        pid_ = -1;
        run.out = ReadAll(scene_.Dir() + "/" + tag_ + ".out");
        run.err = ReadAll(scene_.Dir() + "/" + tag_ + ".err");
        return run;
    }

private:
    const Scene& scene_;
    std::string tag_;
    pid_t pid_ = -1;
};

Run RunDuxk(const Scene& scene, const std::string& tag, std::vector<std::string> args) {
    return Duxk(scene, tag, std::move(args)).Wait();
}

// A cable between the port and the sensor that can be pulled and plugged
// back: a pseudo-terminal of its own (linked as COM2) whose bytes are passed
// to and from the sensor's device while plugged in, and lost while not.
class Cable {
public:
    Cable(const Scene& scene, const std::string& sensorDevice) {
        master_ = posix_openpt(O_RDWR | O_NOCTTY);
        grantpt(master_);
        unlockpt(master_);
        path_ = ptsname(master_);
        keep_ = open(path_.c_str(), O_RDWR | O_NOCTTY);
        sensor_ = open(sensorDevice.c_str(), O_RDWR | O_NOCTTY);
        for (int fd : {master_, keep_, sensor_}) {
            termios t{};
            tcgetattr(fd, &t);
            cfmakeraw(&t);
            cfsetispeed(&t, B38400);
            cfsetospeed(&t, B38400);
            tcsetattr(fd, TCSANOW, &t);
        }
        fs::create_symlink(path_, scene.Dir() + "/ports/com2");
        thread_ = std::thread([this] { Pass(); });
    }
    ~Cable() {
        stop_ = true;
        thread_.join();
        for (int fd : {master_, keep_, sensor_}) close(fd);
    }
    void Plugged(bool in) { plugged_ = in; }

private:
    void Pass() {
        while (!stop_) {
            // A cable carries the host's framing: its speed and stop bits
            // (what the sensor's side can see) follow the host's port.
            termios host{}, sensor{};
            if (tcgetattr(master_, &host) == 0 && tcgetattr(sensor_, &sensor) == 0 &&
                ((host.c_cflag ^ sensor.c_cflag) & CSTOPB || cfgetospeed(&host) != cfgetospeed(&sensor))) {
                sensor.c_cflag = (sensor.c_cflag & ~CSTOPB) | (host.c_cflag & CSTOPB);
                cfsetispeed(&sensor, cfgetospeed(&host));
                cfsetospeed(&sensor, cfgetospeed(&host));
                tcsetattr(sensor_, TCSANOW, &sensor);
            }
            pollfd p[2] = {{master_, POLLIN, 0}, {sensor_, POLLIN, 0}};
            if (poll(p, 2, 20) <= 0) continue;
            uint8_t buf[512];
            for (int i = 0; i < 2; ++i) {
                if (!(p[i].revents & POLLIN)) continue;
                const ssize_t n = read(p[i].fd, buf, sizeof buf);
                if (n > 0 && plugged_) (void)!write(i == 0 ? sensor_ : master_, buf, static_cast<size_t>(n));
            }
        }
    }

    int master_ = -1, keep_ = -1, sensor_ = -1;
    std::string path_;
    std::thread thread_;
    std::atomic<bool> stop_{false}, plugged_{true};
};

using Scenario = std::function<std::string()>;

#define CHECK_THAT(cond)                                    \
    do {                                                    \
        if (!(cond)) failures += std::string(#cond) + "\n"; \
    } while (0)

bool FlashHolds(const Sim& sim, const std::string& firmware) {
    const std::string image = ReadAll(firmware);
    return !image.empty() && sim.Flash().compare(0, image.size(), image) == 0;
}

const std::vector<std::string> kDirect{"--port", "COM1", "--baud", "38400"};

std::vector<std::string> With(std::vector<std::string> a, const std::vector<std::string>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// Killed in the erase (still running when the next run looks, with the
// bytes sent meanwhile queued), then the same command without --port.
std::string KilledDuringErase() {
    std::string failures;
    Scene scene("erase");
    const std::string fw = scene.MakeFirmware("9.61", 1500);
    Sim sim(scene, {"--erase-ms", "900"});
    {
        Duxk first(scene, "update1", With(kDirect, {"update", fw}));
        CHECK_THAT(first.WaitTrace("---FlashDelete---", 60000));
        SleepMs(300);
        first.Signal(SIGKILL);
        CHECK_THAT(first.Wait().status == 128 + SIGKILL);
    }
    CHECK_THAT(scene.Markers().size() == 1);
    // The flash may be half erased: the re-run takes no backup of it.
    const std::string backup = scene.Dir() + "/again.bin";
    const Run again = RunDuxk(scene, "update2", {"update", "--backup", backup, fw});
    CHECK_THAT(again.status == 0);
    CHECK_THAT(!fs::exists(backup));
    CHECK_THAT(Contains(again.out + again.err,
                        "No backup taken: an earlier run of this update may already have "
                        "changed the flash. That run took no backup."));
    CHECK_THAT(!Contains(again.out + again.err, "saved in"));
    CHECK_THAT(Contains(again.err, "Sensor found in its update program at COM1, 38400 baud"));
    CHECK_THAT(Contains(again.err, "continuing the interrupted update"));
    CHECK_THAT(Contains(again.out, "Success: Firmware transferred successfully"));
    CHECK_THAT(FlashHolds(sim, fw));
    CHECK_THAT(scene.Markers().empty());
    // Brought back without a restart of the sensor: the one restart is the
    // program end of the finished update.
    const std::string trace = sim.Trace();
    CHECK_THAT(trace.find("program restarted the sensor") == trace.rfind("program restarted the sensor"));
    CHECK_THAT(!Contains(trace, "watchdog restart"));
    if (!failures.empty()) failures += again.out + again.err;
    return failures;
}

// Killed while programming; other commands say so and go on;
// the update with --port alone finishes it.
std::string KilledWhileProgramming() {
    std::string failures;
    Scene scene("program");
    const std::string fw = scene.MakeFirmware("9.62", 3000);
    Sim sim(scene, {});
    {
        Duxk first(scene, "update1", With(kDirect, {"update", fw}));
        CHECK_THAT(first.WaitTrace("---flashProg---", 60000));
        SleepMs(800);
        first.Signal(SIGKILL);
        first.Wait();
    }
    // Other commands say so, send the program nothing for it, and go on.
    const Run info = RunDuxk(scene, "info", With(kDirect, {"info", "spec"}));
    CHECK_THAT(Contains(info.err, "duxk: an update of the sensor on COM1 was interrupted at "));
    CHECK_THAT(Contains(info.err, ": run the update again\n"));
    const Run again = RunDuxk(scene, "update2", {"--port", "COM1", "update", fw});
    CHECK_THAT(again.status == 0);
    CHECK_THAT(Contains(again.err, "continuing the interrupted update"));
    CHECK_THAT(FlashHolds(sim, fw));
    if (!failures.empty()) failures += info.err + again.out + again.err;
    return failures;
}

// Killed in the middle of the download: the boot loader takes whatever
// comes next as download bytes. The same command waits for it to give up
// and then updates the sensor, which never needs a power cycle.
std::string KilledDuringTheDownload() {
    std::string failures;
    Scene scene("download");
    const std::string fw = scene.MakeFirmware("9.64", 1000);
    Sim sim(scene, {});
    {
        Duxk first(scene, "update1", {"--port", "COM1", "update", fw});
        CHECK_THAT(first.WaitTrace("Starting download Transfer-Prg", 60000));
        SleepMs(1500);
        first.Signal(SIGKILL);
        first.Wait();
    }
    const Run again = RunDuxk(scene, "update2", {"--port", "COM1", "update", fw});
    CHECK_THAT(again.status == 0);
    CHECK_THAT(Contains(again.err, "interrupted in its download"));
    CHECK_THAT(FlashHolds(sim, fw));
    if (!failures.empty()) failures += again.out + again.err;
    return failures;
}

// One interrupt: a warning, and the update goes on to its end. Standard
// output is a pipe nobody reads: writes to it fail, and nothing else.
std::string InterruptedOnceAndOutputClosed() {
    std::string failures;
    Scene scene("interrupt_once");
    const std::string fw = scene.MakeFirmware("9.63", 1200);
    Sim sim(scene, {});
    int pipeFds[2];
    CHECK_THAT(pipe(pipeFds) == 0);
    Duxk update(scene, "update", With(kDirect, {"update", fw}), pipeFds[1]);
    close(pipeFds[1]);
    close(pipeFds[0]);
    CHECK_THAT(update.WaitTrace("---flashProg---", 60000));
    update.Signal(SIGINT);
    const Run run = update.Wait();
    CHECK_THAT(run.status == 0);
    CHECK_THAT(Contains(run.err, "SIGINT received. Stopping the update now would leave the sensor without firmware"));
    CHECK_THAT(Contains(run.err, "running the same command again then finishes the update"));
    CHECK_THAT(FlashHolds(sim, fw));
    if (!failures.empty()) failures += run.err;
    return failures;
}

// Two interrupts: the update ends after the telegram in flight, the closing
// sequence still runs, and the same command finishes it, even with the
// marker lost (a cleared runtime directory): the boot entry meets the
// program instead of the boot firmware and takes it up.
std::string InterruptedTwice() {
    std::string failures;
    Scene scene("interrupt_twice");
    const std::string fw = scene.MakeFirmware("9.64", 3000);
    Sim sim(scene, {});
    Duxk update(scene, "update1", With(kDirect, {"update", fw}));
    CHECK_THAT(update.WaitTrace("---flashProg---", 60000));
    SleepMs(500);
    update.Signal(SIGTERM);
    SleepMs(300);
    update.Signal(SIGINT);
    const Run run = update.Wait();
    CHECK_THAT(run.status == 1);
    CHECK_THAT(Contains(run.err, "stopping after the telegram in flight"));
    CHECK_THAT(Contains(run.err, "Update stopped by the user. The sensor is left in its update program"));
    // Stopped between two program telegrams, each answered in full.
    const std::string trace = ReadAll(scene.Dir() + "/update1.trace");
    CHECK_THAT(!Contains(trace, "---flashProgpowerOff---"));
    CHECK_THAT(Contains(trace.substr(trace.rfind("---flashProg---")), "Write() sent 0x61 (a)"));
    for (const std::string& marker : scene.Markers()) fs::remove(marker);
    const Run again = RunDuxk(scene, "update2", With(kDirect, {"update", fw}));
    CHECK_THAT(again.status == 0);
    CHECK_THAT(Contains(again.err, "Sensor found in its update program at COM1, 38400 baud"));
    CHECK_THAT(FlashHolds(sim, fw));
    if (!failures.empty()) failures += run.err + again.out + again.err;
    return failures;
}

// The cable pulled while programming and plugged back after duxk gave up.
std::string CablePulled() {
    std::string failures;
    Scene scene("cable");
    const std::string fw = scene.MakeFirmware("9.65", 3000);
    Sim sim(scene, {});
    Cable cable(scene, sim.Device());
    Duxk update(scene, "update1", {"--port", "COM2", "--baud", "38400", "update", fw});
    CHECK_THAT(update.WaitTrace("---flashProg---", 60000));
    SleepMs(700);
    cable.Plugged(false);
    const Run run = update.Wait();
    CHECK_THAT(run.status == 1);
    cable.Plugged(true);
    const Run again = RunDuxk(scene, "update2", {"--port", "COM2", "update", fw});
    CHECK_THAT(again.status == 0);
    CHECK_THAT(Contains(again.err, "found in its update program at COM2"));
    CHECK_THAT(FlashHolds(sim, fw));
    if (!failures.empty()) failures += run.err + again.out + again.err;
    return failures;
}

// Killed while programming, then a power cycle: the sensor comes back in its
// boot firmware (its application half written) and is found and updated.
std::string PowerCycleAfterKill() {
    std::string failures;
    Scene scene("power_cycle");
    const std::string fw = scene.MakeFirmware("9.66", 3000);
    std::string before;
    {
        Sim sim(scene, {});
        before = sim.Device();
        Duxk first(scene, "update1", With(kDirect, {"update", fw}));
        CHECK_THAT(first.WaitTrace("---flashProg---", 60000));
        SleepMs(800);
        first.Signal(SIGKILL);
        first.Wait();
    }
    // The restarted sensor is mostly a new device behind COM1: the marker's
    // port leads elsewhere then, and nothing is sent there for it. On the
    // same device it answers the identity in its boot firmware. Either way
    // the search finds it there, and no zeros are sent.
    Sim sim(scene, {}, "sim2");
    const Run again = RunDuxk(scene, "update2", {"update", fw});
    CHECK_THAT(Contains(sim.Trace(), "mode: boot firmware"));
    CHECK_THAT(again.status == 0);
    if (sim.Device() != before) {
        CHECK_THAT(Contains(again.err, ", but COM1 leads to " + sim.Device() + " now, not to " + before));
        CHECK_THAT(!Contains(again.err, "in its update program"));
    } else {
        CHECK_THAT(Contains(again.err, "The sensor at COM1 answers in its own firmware"));
    }
    CHECK_THAT(!Contains(sim.Trace().substr(0, sim.Trace().find("command \"boot\"")), "RX 00"));
    CHECK_THAT(Contains(again.err, "Found Sensor 'K52A01234' at COM1, 38400 baud"));
    CHECK_THAT(FlashHolds(sim, fw));
    if (!failures.empty()) failures += again.out + again.err;
    return failures;
}

// Two sensors updated side by side on two ports, both cut off in the erase:
// each keeps its own marker; an update without a port names both and sends
// nothing; the update of each port then finishes its own sensor.
std::string TwoSensorsSideBySide() {
    std::string failures;
    Scene scene("two_sensors");
    const std::string fw = scene.MakeFirmware("9.67", 1200);
    Sim a(scene, {"--serial", "K52A00001", "--erase-ms", "900"}, "simA", 1);
    Sim b(scene, {"--serial", "K52B00002", "--erase-ms", "900"}, "simB", 2);
    {
        Duxk first(scene, "a1", {"--port", "COM1", "update", fw});
        Duxk second(scene, "b1", {"--port", "COM2", "update", fw});
        CHECK_THAT(first.WaitTrace("---FlashDelete---", 60000));
        CHECK_THAT(second.WaitTrace("---FlashDelete---", 60000));
        first.Signal(SIGKILL);
        second.Signal(SIGKILL);
    }
    CHECK_THAT(scene.Markers().size() == 2);
    const size_t heardA = a.Trace().size(), heardB = b.Trace().size();
    const Run several = RunDuxk(scene, "several", {"update", fw});
    CHECK_THAT(several.status == 2);
    CHECK_THAT(Contains(several.err, "duxk:   an update of K52A00001 on COM1 was interrupted at "));
    CHECK_THAT(Contains(several.err, "duxk:   an update of K52B00002 on COM2 was interrupted at "));
    CHECK_THAT(Contains(several.err, "duxk --port PORT update FIRMWARE"));
    CHECK_THAT(!Contains(a.Trace().substr(heardA), " RX ") && !Contains(b.Trace().substr(heardB), " RX "));
    Duxk updateA(scene, "a2", {"--port", "COM1", "update", fw});
    Duxk updateB(scene, "b2", {"--port", "COM2", "update", fw});
    const Run ra = updateA.Wait(), rb = updateB.Wait();
    CHECK_THAT(ra.status == 0 && rb.status == 0);
    CHECK_THAT(Contains(ra.err, "Sensor found in its update program at COM1"));
    CHECK_THAT(Contains(rb.err, "Sensor found in its update program at COM2"));
    CHECK_THAT(FlashHolds(a, fw) && FlashHolds(b, fw));
    CHECK_THAT(scene.Markers().empty());
    if (!failures.empty()) failures += several.err + ra.err + rb.err;
    return failures;
}

// The marker of sensor A on COM1, left by a first run that saved its backup
// and was cut off while programming; A restarted and answers at another
// rate; B sits on COM2, the remembered port. Other commands say so and go
// on; the update without a port asks A for its identity at every rate
// before a single zero, finishes A's update without a second backup, and
// sends B nothing.
std::string MarkerOfTheOtherSensor() {
    std::string failures;
    Scene scene("marker_of_a");
    const std::string fw = scene.MakeFirmware("9.68", 1000);
    Sim a(scene, {"--serial", "K52A00001", "--baud", "19200"}, "simA", 1);
    Sim b(scene, {"--serial", "K52B00002"}, "simB", 2);
    std::ofstream(scene.Dir() + "/temp/DUXKUpdt.tmp") << "COM2\r\n";
    std::ofstream(scene.Dir() + "/temp/DUXKUpdt.K52A00001.0123456789abcdef.upd")
        << "serial=K52A00001\nport=COM1\ndevice=" << fs::canonical(a.Device()).string()
        << "\nbaud=38400\nstage=program\ntime=" << time(nullptr) - 600
        << "\nsince=ten minutes ago\nbackup=" << scene.Dir() << "/first.bin\nbackup_saved=1\n";
    const Run find = RunDuxk(scene, "find", {"find"});
    CHECK_THAT(find.status == 0 && Contains(find.out, "serial number 'K52B00002'"));
    CHECK_THAT(Contains(find.err,
                        "duxk: an update of K52A00001 on COM1 was interrupted at ten minutes ago: run the "
                        "update again\n"));
    const size_t heardB = b.Trace().size();
    // The same command again, backup file and all: the first run's file is
    // neither refused as existing nor replaced.
    const std::string first = scene.Dir() + "/first.bin";
    std::ofstream(first) << "the flash before the first run";
    const Run update = RunDuxk(scene, "update", {"update", "--backup", first, fw});
    CHECK_THAT(update.status == 0);
    CHECK_THAT(FlashHolds(a, fw));
    const std::string traceA = a.Trace();
    CHECK_THAT(!Contains(traceA.substr(0, traceA.find("command \"boot\"")), "RX 00"));
    CHECK_THAT(!Contains(b.Trace().substr(heardB), " RX "));
    std::ifstream kept(first);
    CHECK_THAT(std::string(std::istreambuf_iterator<char>(kept), {}) == "the flash before the first run");
    CHECK_THAT(Contains(update.out + update.err,
                        "No backup taken: an earlier run of this update may already have "
                        "changed the flash. The flash as it was before that run is in " +
                            scene.Dir() + "/first.bin."));
    CHECK_THAT(!Contains(update.out + update.err, "saved in"));
    CHECK_THAT(scene.Markers().empty());
    if (!failures.empty()) failures += find.err + update.out + update.err;
    return failures;
}

// An interrupted calibration load locks the sensor again before the
// process ends by the interrupt.
std::string CalibrationLoadInterrupted() {
    std::string failures;
    Scene scene("cal_load");
    Sim sim(scene, {});
    const std::string file = scene.Dir() + "/in.cal";
    {
        std::ofstream out(file);
        out << "CAL:SER K52A01234\r\n pack 40\r\n";
        for (int i = 1; i <= 40; ++i) out << "@CAL" << (i < 10 ? "0" : "") << i << " T=+20.0 K0=+1.00000E+00\r\n";
        out << "end 40 records\r\n";
    }
    for (int i = 0; i < 100 && !Contains(sim.Trace(), "mode: application firmware"); ++i) SleepMs(20);
    Duxk load(scene, "load", With(kDirect, {"cal", "load", file}));
    for (int i = 0; i < 200 && !Contains(sim.Trace(), "command \"@CAL03"); ++i) SleepMs(50);
    load.Signal(SIGINT);
    const Run run = load.Wait();
    CHECK_THAT(run.status == 128 + SIGINT);
    CHECK_THAT(Contains(run.err, "Interrupted (SIGINT): the calibration load was stopped and the sensor locked again"));
    auto lockedAgain = [&sim] {
        const std::string trace = sim.Trace();
        const size_t unlock = trace.find("command \"calib:unlock");
        return unlock != std::string::npos && trace.find("command \"calib:lock\"", unlock) != std::string::npos;
    };
    for (int i = 0; i < 40 && !lockedAgain(); ++i) SleepMs(50);
    CHECK_THAT(lockedAgain());
    const std::string trace = sim.Trace();
    CHECK_THAT(!Contains(trace, "command \"@CAL40"));
    if (!failures.empty()) failures += run.err;
    return failures;
}

}  // namespace

TEST(UpdateRecoveryEndToEnd, InterruptedUpdatesAreFinishedByRunningTheCommandAgain) {
    const std::vector<std::pair<const char*, Scenario>> scenarios{
        {"killed during the erase", KilledDuringErase},
        {"killed while programming", KilledWhileProgramming},
        {"killed during the download", KilledDuringTheDownload},
        {"interrupted once, output closed", InterruptedOnceAndOutputClosed},
        {"interrupted twice", InterruptedTwice},
        {"cable pulled", CablePulled},
        {"power cycle after a kill", PowerCycleAfterKill},
        {"calibration load interrupted", CalibrationLoadInterrupted},
        {"two sensors side by side", TwoSensorsSideBySide},
        {"the marker of the other sensor", MarkerOfTheOtherSensor},
    };
    e2e::RunScenariosSideBySide(scenarios, "duxk_recovery_e2e");
}
