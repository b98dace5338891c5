// Host paths, Sleep, DeleteFileA and the log-file opener.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstring>
#include <ctime>

#include "internal.h"
#include "winapi.h"
#include "zqcommon.h"

namespace zq::win {

std::string host_path(std::string_view p) {
    size_t skip = std::string_view::npos;
    if (!p.empty() && p[0] == '\\') skip = 0;
    else if (p.size() >= 3 && std::isalpha(static_cast<unsigned char>(p[0])) && p[1] == ':' &&
             (p[2] == '\\' || p[2] == '/'))
        skip = 2;
    std::string s(p);
    for (char& c : s)
        if (c == '\\') c = '/';
    if (skip == std::string_view::npos) return s;
    // On the current drive: below ZQ_ROOT, with "." and ".." resolved so that
    // nothing climbs above the drive root.
    std::vector<std::string> parts;
    size_t i = skip;
    while (i < s.size()) {
        size_t j = s.find('/', i);
        if (j == std::string::npos) j = s.size();
        std::string part = s.substr(i, j - i);
        if (part == "..") {
            if (!parts.empty()) parts.pop_back();
        } else if (!part.empty() && part != ".") {
            parts.push_back(part);
        }
        i = j + 1;
    }
    std::string out = zq::root();
    if (out == "/") out.clear();
    for (auto& part : parts) out += "/" + part;
    if (s.back() == '/' || parts.empty()) out += "/";
    return out;
}

}  // namespace zq::win

extern "C" int zqHostPath(const char* path, char* out, size_t size) {
    if (path == nullptr || out == nullptr || size == 0) return -1;
    std::string h = zq::win::host_path(path);
    if (h.size() >= size) {
        out[0] = '\0';
        return static_cast<int>(h.size());
    }
    std::memcpy(out, h.c_str(), h.size() + 1);
    return static_cast<int>(h.size());
}

extern "C" void Sleep(DWORD ms) {
    timespec t{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
    while (nanosleep(&t, &t) != 0 && errno == EINTR) {
    }
}

extern "C" BOOL DeleteFileA(LPCSTR path) {
    if (path == nullptr || *path == '\0') {
        errno = EINVAL;
        return FALSE;
    }
    return unlink(path) == 0 ? TRUE : FALSE;
}

extern "C" FILE* zqOpenLogFile(const char* path, const char* mode) {
    if (path == nullptr || mode == nullptr || *path == '\0') {
        errno = EINVAL;
        return nullptr;
    }
    int access;
    if (std::strcmp(mode, "a") == 0) access = O_WRONLY;
    else if (std::strcmp(mode, "a+") == 0) access = O_RDWR;
    else {
        errno = EINVAL;
        return nullptr;
    }
    // Non-blocking for the open only: a FIFO put in the log's place must not hang us.
    int fd = open(path, access | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY | O_NONBLOCK, 0644);
    if (fd < 0) return nullptr;
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        errno = EINVAL;
        return nullptr;
    }
    int fl = fcntl(fd, F_GETFL);
    if (fl >= 0) fcntl(fd, F_SETFL, fl & ~O_NONBLOCK);
    FILE* f = fdopen(fd, mode);
    if (f == nullptr) {
        int e = errno;
        close(fd);
        errno = e;
    }
    return f;
}
