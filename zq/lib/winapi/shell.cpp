// ShellExecuteA without a shell: a URL goes to the browser, anything else is a
// program started with its parameters split by the Windows command-line rules.
#include <fcntl.h>
#include <signal.h>
#include <strings.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "internal.h"
#include "zqcommon.h"
#include "winapi.h"

extern char** environ;

namespace zq::win {

std::vector<std::string> split_command_line(std::string_view s) {
    std::vector<std::string> args;
    std::string cur;
    bool in_arg = false, quoted = false;
    size_t i = 0, n = s.size();
    while (i < n) {
        char c = s[i];
        if (!quoted && (c == ' ' || c == '\t')) {
            if (in_arg) args.push_back(cur);
            cur.clear();
            in_arg = false;
            ++i;
            continue;
        }
        in_arg = true;
        if (c == '\\') {
            size_t k = i;
            while (k < n && s[k] == '\\') ++k;
            size_t count = k - i;
            if (k < n && s[k] == '"') {
                cur.append(count / 2, '\\');
                if (count % 2) {  // an escaped quote
                    cur += '"';
                    i = k + 1;
                } else {          // the quote that follows groups
                    i = k;
                }
            } else {
                cur.append(count, '\\');
                i = k;
            }
            continue;
        }
        if (c == '"') {
            if (!quoted) {
                quoted = true;
                ++i;
            } else if (i + 1 < n && s[i + 1] == '"') {
                cur += '"';  // "" inside quotes: a quote, and the group ends
                quoted = false;
                i += 2;
            } else {
                quoted = false;
                ++i;
            }
            continue;
        }
        cur += c;
        ++i;
    }
    if (in_arg) args.push_back(cur);
    return args;
}

bool is_url(std::string_view t) {
    if (t.empty() || !std::isalpha(static_cast<unsigned char>(t[0]))) return false;
    size_t i = 1;
    while (i < t.size() && (std::isalnum(static_cast<unsigned char>(t[i])) || t[i] == '+' || t[i] == '-' ||
                            t[i] == '.'))
        ++i;
    return i >= 2 && t.substr(i, 3) == "://";
}

}  // namespace zq::win

namespace {

enum class Found { Yes, No, NotExecutable };

Found check_program(const std::string& path) {
    struct stat st {};
    if (stat(path.c_str(), &st) != 0 || S_ISDIR(st.st_mode)) return Found::No;
    return access(path.c_str(), X_OK) == 0 ? Found::Yes : Found::NotExecutable;
}

// A program path: as given when it has a '/', else the first match on PATH.
Found find_program(const std::string& name, std::string& out) {
    if (name.empty()) return Found::No;
    if (name.find('/') != std::string::npos) {
        out = name;
        return check_program(name);
    }
    Found best = Found::No;
    for (const std::string& dir : zq::path_dirs()) {
        std::string cand = dir + "/" + name;
        Found f = check_program(cand);
        if (f == Found::Yes) {
            out = cand;
            return f;
        }
        if (f == Found::NotExecutable) best = f;
    }
    return best;
}

HINSTANCE result(intptr_t v) { return reinterpret_cast<HINSTANCE>(v); }

struct ChildError {
    int step;  // 1 chdir, 2 exec, 3 fork
    int err;
};

}  // namespace

extern "C" HINSTANCE ShellExecuteA(HWND, LPCSTR lpOperation, LPCSTR lpFile, LPCSTR lpParameters,
                                   LPCSTR lpDirectory, INT) {
    if (lpOperation != nullptr && *lpOperation != '\0' && strcasecmp(lpOperation, "open") != 0)
        return result(SE_ERR_NOASSOC);
    if (lpFile == nullptr || *lpFile == '\0') return result(SE_ERR_FNF);

    std::string exe;
    std::vector<std::string> args;
    std::string file(lpFile);
    if (zq::win::is_url(file)) {
        const char* b = std::getenv("BROWSER");
        bool own = b != nullptr && *b != '\0';
        Found f = find_program(own ? b : "xdg-open", exe);
        if (f != Found::Yes) return result(!own ? SE_ERR_NOASSOC : f == Found::No ? SE_ERR_FNF : SE_ERR_ACCESSDENIED);
        args = {exe, file};
    } else {
        if (file.find_first_of("\\/") != std::string::npos) file = zq::win::host_path(file);
        if (file.size() > 4 && strcasecmp(file.c_str() + file.size() - 4, ".exe") == 0) file.resize(file.size() - 4);
        Found f = find_program(file, exe);
        if (f == Found::No) return result(SE_ERR_FNF);
        if (f == Found::NotExecutable) return result(SE_ERR_ACCESSDENIED);
        args.push_back(exe);
        if (lpParameters) {
            auto more = zq::win::split_command_line(lpParameters);
            args.insert(args.end(), more.begin(), more.end());
        }
    }
    std::string dir;
    if (lpDirectory != nullptr && *lpDirectory != '\0') {
        dir = zq::win::host_path(lpDirectory);
        struct stat st {};
        if (stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return result(SE_ERR_PNF);
    }

    // Everything the children need is ready before fork.
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    int pfd[2];
    if (pipe2(pfd, O_CLOEXEC) != 0) return result(SE_ERR_OOM);

    pid_t first = fork();
    if (first < 0) {
        close(pfd[0]);
        close(pfd[1]);
        return result(SE_ERR_OOM);
    }
    if (first == 0) {
        // Detached: a session of its own, and not our child (the middle one exits).
        setsid();
        pid_t second = fork();
        if (second != 0) {
            if (second < 0) {
                ChildError ce{3, errno};
                ssize_t w = write(pfd[1], &ce, sizeof ce);
                (void)w;
            }
            _exit(0);
        }
        ChildError ce{0, 0};
        if (!dir.empty() && chdir(dir.c_str()) != 0) {
            ce = {1, errno};
        } else {
            int nul = open("/dev/null", O_RDWR);
            if (nul >= 0) {
                dup2(nul, 0);
                dup2(nul, 1);
                dup2(nul, 2);
            }
            sigset_t none;
            sigemptyset(&none);
            sigprocmask(SIG_SETMASK, &none, nullptr);
            for (int s = 1; s < NSIG; ++s)
                if (s != SIGKILL && s != SIGSTOP) signal(s, SIG_DFL);
#ifdef SYS_close_range
            syscall(SYS_close_range, 3U, ~0U, 4U /* CLOSE_RANGE_CLOEXEC */);
#endif
            execve(argv[0], argv.data(), environ);
            ce = {2, errno};
        }
        ssize_t w = write(pfd[1], &ce, sizeof ce);
        (void)w;
        _exit(127);
    }
    close(pfd[1]);
    int st;
    while (waitpid(first, &st, 0) < 0 && errno == EINTR) {
    }
    ChildError ce{0, 0};
    ssize_t n;
    do n = read(pfd[0], &ce, sizeof ce);
    while (n < 0 && errno == EINTR);
    close(pfd[0]);
    if (n != static_cast<ssize_t>(sizeof ce)) return result(42);  // started
    if (ce.step == 1) return result(SE_ERR_PNF);
    if (ce.step == 3) return result(SE_ERR_OOM);
    switch (ce.err) {
        case ENOENT: return result(SE_ERR_FNF);
        case EACCES:
        case EPERM: return result(SE_ERR_ACCESSDENIED);
        case ENOMEM: return result(SE_ERR_OOM);
        default: return result(11);  // not an executable
    }
}
