// Runs the duxk binary as a child process with its output in files.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace testsupport {

struct DuxkResult {
    int exitCode = -1;
    std::string out, err;
};

class DuxkProcess {
public:
    // cwd: the child's working directory (empty: the test's own).
    DuxkProcess(const std::string& dir, const std::vector<std::string>& args, const std::string& cwd = {}) {
        static int serial = 0;
        std::string tag = dir + "/run" + std::to_string(++serial);
        outPath_ = tag + ".out";
        errPath_ = tag + ".err";
        const char* bin = std::getenv("DUXK_BIN_DIR");
        std::vector<std::string> argv = {std::string(bin ? bin : "bin") + "/duxk"};
        argv.insert(argv.end(), args.begin(), args.end());
        pid_ = fork();
        if (pid_ == 0) {
            if (!cwd.empty() && chdir(cwd.c_str()) != 0) _exit(126);
            int out = open(outPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            int err = open(errPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            dup2(out, 1);
            dup2(err, 2);
            std::vector<char*> p;
            for (auto& a : argv) p.push_back(a.data());
            p.push_back(nullptr);
            execv(p[0], p.data());
            _exit(127);
        }
    }
    void Signal(int signal) {
        if (pid_ > 0) kill(pid_, signal);
    }
    DuxkResult Wait() {
        DuxkResult r;
        int status = 0;
        if (pid_ > 0 && waitpid(pid_, &status, 0) == pid_ && WIFEXITED(status)) r.exitCode = WEXITSTATUS(status);
        pid_ = -1;
        r.out = Slurp(outPath_);
        r.err = Slurp(errPath_);
        return r;
    }
    ~DuxkProcess() {
        if (pid_ > 0) Wait();
    }

private:
    static std::string Slurp(const std::string& path) {
        std::ifstream in(path);
        std::stringstream ss;
        ss << in.rdbuf();
        return ss.str();
    }
    pid_t pid_ = -1;
    std::string outPath_, errPath_;
};

inline DuxkResult RunDuxk(const std::string& dir, const std::vector<std::string>& args, const std::string& cwd = {}) {
    return DuxkProcess(dir, args, cwd).Wait();
}

}  // namespace testsupport
