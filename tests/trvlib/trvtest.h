// Helpers shared by the trvlib tests.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "testsupport.h"

namespace trvtest {

// Captures what the process writes to standard error between construction and
// text().
class StderrCapture {
public:
    StderrCapture() {
        fflush(stderr);
        path_ = dir_.path + "/stderr";
        saved_ = dup(2);
        int fd = open(path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(fd, 2);
        close(fd);
    }
    ~StderrCapture() { restore(); }
    std::string text() {
        restore();
        return zqtest::read_file(path_);
    }

private:
    void restore() {
        if (saved_ < 0) return;
        fflush(stderr);
        dup2(saved_, 2);
        close(saved_);
        saved_ = -1;
    }
    zqtest::TempDir dir_;
    std::string path_;
    int saved_ = -1;
};

}  // namespace trvtest
