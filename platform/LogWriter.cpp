#include "platform/LogWriter.h"

#include <utility>

namespace platform {

LogWriter::~LogWriter() { Close(); }

void LogWriter::Start(std::FILE* file) {
    Close();
    if (!file) return;
    std::lock_guard<std::mutex> lock(mu_);
    file_ = file;
    stop_ = false;
    thread_ = std::thread([this] { Run(); });
}

bool LogWriter::IsOpen() const {
    std::lock_guard<std::mutex> lock(mu_);
    return file_ != nullptr;
}

void LogWriter::Append(std::string text) {
    {
        std::lock_guard<std::mutex> lock(mu_);
        if (!file_ || stop_) return;
        pending_ += text;
    }
    cv_.notify_one();
}

void LogWriter::Close() {
    {
        std::lock_guard<std::mutex> lock(mu_);
        stop_ = true;
    }
    cv_.notify_one();
    if (thread_.joinable()) thread_.join();
    std::lock_guard<std::mutex> lock(mu_);
    if (file_) std::fclose(file_);
    file_ = nullptr;
    pending_.clear();
}

void LogWriter::Run() {
    std::unique_lock<std::mutex> lock(mu_);
    for (;;) {
        cv_.wait(lock, [this] { return stop_ || !pending_.empty(); });
        std::string out;
        out.swap(pending_);
        const bool last = stop_;
        std::FILE* file = file_;
        lock.unlock();
        if (!out.empty()) {
            std::fwrite(out.data(), 1, out.size(), file);
            std::fflush(file);
        }
        lock.lock();
        if (last && pending_.empty()) return;
    }
}

}  // namespace platform
