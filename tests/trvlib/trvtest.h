// Helpers shared by the trvlib tests.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

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

// A TCP listener on 127.0.0.1 that accepts connections one by one and answers
// each by its behaviour.  It keeps what the last client sent.
class Responder {
public:
    enum Mode { kReply, kSilent, kClose };

    Responder(Mode mode, std::string reply = "", int backlog = 8) : mode_(mode), reply_(std::move(reply)) {
        fd_ = socket(AF_INET, SOCK_STREAM, 0);
        int one = 1;
        setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        if (bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
            getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len) != 0 || listen(fd_, backlog) != 0)
            throw std::runtime_error("responder: cannot listen");
        port_ = ntohs(a.sin_port);
    }
    ~Responder() {
        stop_ = true;
        shutdown(fd_, SHUT_RDWR);
        close(fd_);
        if (thread_.joinable()) thread_.join();
        for (int c : clients_) close(c);
    }
    // Starts accepting (a responder that never accepts stays a full backlog).
    void serve() {
        thread_ = std::thread([this] {
            while (!stop_) {
                int c = accept(fd_, nullptr, nullptr);
                if (c < 0) return;
                ++accepted_;
                char buf[2048];
                ssize_t n = recv(c, buf, sizeof buf, 0);
                received_ = n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
                if (mode_ == kReply) send(c, reply_.data(), reply_.size(), MSG_NOSIGNAL);
                if (mode_ == kSilent) {
                    clients_.push_back(c);  // held open, never answered
                } else {
                    close(c);
                }
            }
        });
    }
    int port() const { return port_; }
    int accepted() const { return accepted_; }
    std::string received() {
        stop_ = true;
        shutdown(fd_, SHUT_RDWR);
        if (thread_.joinable()) thread_.join();
        return received_;
    }

private:
    Mode mode_;
    std::string reply_;
    int fd_ = -1;
    int port_ = 0;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::atomic<int> accepted_{0};
    std::string received_;
    std::vector<int> clients_;
};

}  // namespace trvtest
