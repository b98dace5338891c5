#include "outlog.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "zqcommon.h"

namespace zq {

OutLog::OutLog(std::string path, size_t limit, int generations)
    : path_(std::move(path)), limit_(limit), generations_(generations < 1 ? 1 : generations) {}

OutLog::~OutLog() {
    if (fd_ >= 0) close(fd_);
}

bool OutLog::open(std::string* why) {
    if (fd_ >= 0) return true;
    fd_ = open_regular(path_, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600, why);
    if (fd_ < 0) return false;
    struct stat st {};
    size_ = fstat(fd_, &st) == 0 ? static_cast<size_t>(st.st_size) : 0;
    checked_ = time(nullptr);
    return true;
}

void OutLog::reopen() {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
    open();
}

// The file at the path is no longer the one written (moved away, removed).
bool OutLog::moved() {
    struct stat here {}, mine {};
    if (fstat(fd_, &mine) != 0) return true;
    if (stat(path_.c_str(), &here) != 0) return true;
    return here.st_ino != mine.st_ino || here.st_dev != mine.st_dev;
}

void shift_generations(const std::string& path, int generations) {
    for (int g = generations - 1; g >= 1; --g)
        rename((path + "." + std::to_string(g)).c_str(), (path + "." + std::to_string(g + 1)).c_str());
    rename(path.c_str(), (path + ".1").c_str());
}

void OutLog::rotate() {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
    shift_generations(path_, generations_);
    open();
}

void OutLog::write(const char* data, size_t size) {
    time_t now = time(nullptr);
    if (fd_ >= 0 && now != checked_) {
        checked_ = now;
        if (moved()) reopen();
    }
    if (fd_ < 0 && !open()) return;
    if (size_ >= limit_) rotate();
    while (fd_ >= 0 && size > 0) {
        ssize_t n = ::write(fd_, data, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;  // a full disk or a size limit: this piece is lost
        data += n;
        size -= static_cast<size_t>(n);
        size_ += static_cast<size_t>(n);
    }
}

bool drain_output(int fd, OutLog& log, size_t max_bytes) {
    char buf[65536];
    size_t total = 0;
    while (total < max_bytes) {
        ssize_t n = read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return errno == EAGAIN || errno == EWOULDBLOCK;
        if (n == 0) return false;
        log.write(buf, static_cast<size_t>(n));
        total += static_cast<size_t>(n);
    }
    return true;
}

}  // namespace zq
