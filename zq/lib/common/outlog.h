// The output file of a started process, log/NAME.out, written by the one who
// started it (zqspmd for its daemons, the map program for its applications):
// the process writes into a pipe, the owner copies what comes into the file.
// The file is bounded: once it holds limit bytes, the next write first turns
// NAME.out into NAME.out.1 (NAME.out.1 into .2, and so on; the oldest of
// `generations` goes), so a process that prints without end costs at most
// (generations + 1) * limit bytes.  When the file was moved away or removed
// (logrotate), the next write (at most once a second) or reopen() goes on in a
// new one.
#pragma once

#include <ctime>
#include <string>

namespace zq {

class OutLog {
public:
    static constexpr size_t kDefaultLimit = 4u << 20;
    static constexpr int kDefaultGenerations = 3;

    explicit OutLog(std::string path, size_t limit = kDefaultLimit, int generations = kDefaultGenerations);
    ~OutLog();
    OutLog(const OutLog&) = delete;
    OutLog& operator=(const OutLog&) = delete;

    // Opens the file (a regular file of its own, never through a link, created
    // 0600); false with the reason in why.
    bool open(std::string* why = nullptr);
    // Appends; a write that fails loses that piece only.
    void write(const char* data, size_t size);
    // Closes and opens the file again.
    void reopen();
    const std::string& path() const { return path_; }

private:
    void rotate();
    bool moved();

    std::string path_;
    size_t limit_;
    int generations_;
    int fd_ = -1;
    size_t size_ = 0;
    time_t checked_ = 0;
};

// PATH -> PATH.1 -> ... -> PATH.generations (the oldest dropped); the caller
// has closed PATH and opens a new one.
void shift_generations(const std::string& path, int generations);

// Copies what is waiting on the pipe fd into log (at most max_bytes in one
// call, so one chatty process cannot hold up its owner's loop).  False once
// the pipe is at its end (every writer closed it) or broken: close it then.
bool drain_output(int fd, OutLog& log, size_t max_bytes = 1u << 20);

}  // namespace zq
