// The registry: string values in the text file $ZQ_ROOT/registry, one [key]
// section per key and Name=value lines.  Writes edit the file line by line (so
// comments stay) under a lock and replace it atomically.
#include <fcntl.h>
#include <strings.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "winapi.h"
#include "zqcommon.h"

namespace {

// ---------------------------------------------------------------- handles

std::mutex g_mu;
std::map<uintptr_t, std::string> g_keys;  // open handles -> full key path
uintptr_t g_next = 0x1000;

const char* root_name(uintptr_t h) {
    switch (h) {
        case 0x80000000u: return "HKEY_CLASSES_ROOT";
        case 0x80000001u: return "HKEY_CURRENT_USER";
        case 0x80000002u: return "HKEY_LOCAL_MACHINE";
        case 0x80000003u: return "HKEY_USERS";
    }
    return nullptr;
}

std::optional<std::string> key_path(HKEY h) {
    auto v = reinterpret_cast<uintptr_t>(h);
    if (const char* r = root_name(v)) return std::string(r);
    std::lock_guard<std::mutex> lock(g_mu);
    auto it = g_keys.find(v);
    if (it == g_keys.end()) return std::nullopt;
    return it->second;
}

HKEY new_handle(const std::string& path) {
    std::lock_guard<std::mutex> lock(g_mu);
    uintptr_t h = g_next++;
    if (g_next >= 0x7fffffffu) g_next = 0x1000;
    g_keys[h] = path;
    return reinterpret_cast<HKEY>(h);
}

bool ieq(std::string_view a, std::string_view b) {
    return a.size() == b.size() && strncasecmp(a.data(), b.data(), a.size()) == 0;
}

// Base path + "\" + sub-key, or an error code.
LONG join_key(const std::string& base, LPCSTR sub, std::string& out) {
    out = base;
    if (sub == nullptr || *sub == '\0') return ERROR_SUCCESS;
    std::string s(sub);
    while (!s.empty() && s.back() == '\\') s.pop_back();
    if (s.empty() || s.front() == '\\' || s.find("\\\\") != std::string::npos) return ERROR_BAD_PATHNAME;
    if (s.find_first_of("]\r\n") != std::string::npos) return ERROR_INVALID_PARAMETER;
    out += "\\" + s;
    return ERROR_SUCCESS;
}

// ---------------------------------------------------------------- the file

std::string reg_path() { return zq::instance_path("registry"); }

struct Lines {
    std::vector<std::string> v;
};

bool read_lines(Lines& f, int& err) {
    f.v.clear();
    // Never blocks on a FIFO, never follows a link: anything but a regular file fails.
    int fd = zq::open_regular(reg_path(), O_RDONLY, 0);
    if (fd < 0) {
        if (errno == ENOENT) return true;  // no registry yet: empty
        err = errno;
        return false;
    }
    std::string all;
    char buf[8192];
    ssize_t n;
    while ((n = read(fd, buf, sizeof buf)) != 0) {
        if (n < 0) {
            if (errno == EINTR) continue;
            err = errno;
            close(fd);
            return false;
        }
        all.append(buf, static_cast<size_t>(n));
    }
    close(fd);
    size_t i = 0;
    while (i < all.size()) {
        size_t j = all.find('\n', i);
        if (j == std::string::npos) j = all.size();
        std::string line = all.substr(i, j - i);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        f.v.push_back(line);
        i = j + 1;
    }
    return true;
}

// The key of a "[...]" line, or nullopt for any other line.
std::optional<std::string> section_of(const std::string& line) {
    std::string_view t = zq::trim(line);
    if (t.size() >= 2 && t.front() == '[' && t.back() == ']') return std::string(t.substr(1, t.size() - 2));
    return std::nullopt;
}

bool is_comment(const std::string& line) {
    std::string_view t = zq::trim(line);
    return t.empty() || t.front() == ';' || t.front() == '#';
}

// Line index of the first section header for key, or -1.
long find_section(const Lines& f, std::string_view key) {
    for (size_t i = 0; i < f.v.size(); ++i)
        if (auto s = section_of(f.v[i]); s && ieq(*s, key)) return static_cast<long>(i);
    return -1;
}

// Keys every Windows system has, present here too even when the file lacks them.
bool always_there(std::string_view key) {
    for (const char* k : {"HKEY_CURRENT_USER\\Environment", "HKEY_CURRENT_USER\\Software", "HKEY_LOCAL_MACHINE\\SOFTWARE"})
        if (ieq(key, k)) return true;
    return false;
}

bool key_exists(const Lines& f, std::string_view key) {
    if (always_there(key)) return true;
    for (auto& l : f.v) {
        auto s = section_of(l);
        if (!s) continue;
        if (ieq(*s, key)) return true;
        if (s->size() > key.size() && (*s)[key.size()] == '\\' && ieq(std::string_view(*s).substr(0, key.size()), key))
            return true;
    }
    return false;
}

// The value's line within the section starting at header (or -1); end gets the
// index after the section's last line.
long find_value(const Lines& f, long header, std::string_view name, size_t& end) {
    long found = -1;
    size_t i = static_cast<size_t>(header) + 1;
    for (; i < f.v.size(); ++i) {
        const std::string& l = f.v[i];
        if (section_of(l)) break;
        if (is_comment(l)) continue;
        auto eq = l.find('=');
        if (eq == std::string::npos) continue;
        if (found < 0 && ieq(zq::trim(std::string_view(l).substr(0, eq)), name)) found = static_cast<long>(i);
    }
    end = i;
    return found;
}

std::string value_of(const std::string& line) { return line.substr(line.find('=') + 1); }

LONG errno_to_error(int e) {
    switch (e) {
        case EACCES:
        case EPERM:
        case EROFS: return ERROR_ACCESS_DENIED;
        case ENOENT:
        case ENOTDIR: return ERROR_PATH_NOT_FOUND;
        case ENOMEM: return ERROR_NOT_ENOUGH_MEMORY;
        default: return ERROR_WRITE_FAULT;
    }
}

// Runs edit on the current file under the lock and writes the result in place
// of the file.  edit returns false when nothing needs writing.
template <class Edit>
LONG locked_update(Edit edit) {
    std::string lockpath = zq::instance_path("registry.lock");
    // The registry and its lock are the instance owner's alone, whatever the
    // caller's umask: the registry names paths the daemons trust.
    int lk = open(lockpath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (lk < 0) return errno_to_error(errno);
    while (flock(lk, LOCK_EX) != 0) {
        if (errno != EINTR) {
            int e = errno;
            close(lk);
            return errno_to_error(e);
        }
    }
    LONG rc = ERROR_SUCCESS;
    Lines f;
    int err = 0;
    if (!read_lines(f, err)) {
        rc = errno_to_error(err);
    } else if (edit(f)) {
        std::string text;
        for (auto& l : f.v) text += l + "\n";
        std::string tmp = reg_path() + ".tmp." + std::to_string(getpid());
        int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600);
        if (fd >= 0 && fchmod(fd, 0600) != 0) {  // a leftover temporary file keeps its mode otherwise
            close(fd);
            fd = -1;
        }
        if (fd < 0) {
            rc = errno_to_error(errno);
        } else {
            const char* p = text.data();
            size_t left = text.size();
            bool ok = true;
            while (left > 0) {
                ssize_t n = write(fd, p, left);
                if (n < 0 && errno == EINTR) continue;
                if (n <= 0) {
                    ok = false;
                    break;
                }
                p += n;
                left -= static_cast<size_t>(n);
            }
            int e = ok ? 0 : errno;
            if (ok && fsync(fd) != 0) ok = false, e = errno;
            close(fd);
            if (ok && rename(tmp.c_str(), reg_path().c_str()) != 0) ok = false, e = errno;
            if (!ok) {
                unlink(tmp.c_str());
                rc = errno_to_error(e);
            }
        }
    }
    close(lk);
    return rc;
}

bool valid_name(const std::string& n) {
    return n.find_first_of("=\r\n") == std::string::npos && (n.empty() || n.front() != '[') &&
           zq::trim(n).size() == n.size();
}

}  // namespace

extern "C" LONG RegOpenKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD, REGSAM, PHKEY phkResult) {
    if (phkResult == nullptr) return ERROR_INVALID_PARAMETER;
    auto base = key_path(hKey);
    if (!base) return ERROR_INVALID_HANDLE;
    std::string full;
    if (LONG rc = join_key(*base, lpSubKey, full); rc != ERROR_SUCCESS) return rc;
    if (full.find('\\') != std::string::npos) {  // predefined roots always exist
        Lines f;
        int err = 0;
        if (!read_lines(f, err)) return errno_to_error(err);
        if (!key_exists(f, full)) return ERROR_FILE_NOT_FOUND;
    }
    *phkResult = new_handle(full);
    return ERROR_SUCCESS;
}

extern "C" LONG RegCreateKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD, LPSTR, DWORD, REGSAM,
                                const LPSECURITY_ATTRIBUTES, PHKEY phkResult, LPDWORD lpdwDisposition) {
    if (phkResult == nullptr) return ERROR_INVALID_PARAMETER;
    auto base = key_path(hKey);
    if (!base) return ERROR_INVALID_HANDLE;
    std::string full;
    if (LONG rc = join_key(*base, lpSubKey, full); rc != ERROR_SUCCESS) return rc;
    bool created = false;
    if (full.find('\\') != std::string::npos) {
        LONG rc = locked_update([&](Lines& f) {
            if (key_exists(f, full)) return false;
            if (!f.v.empty() && !f.v.back().empty()) f.v.push_back("");
            f.v.push_back("[" + full + "]");
            created = true;
            return true;
        });
        if (rc != ERROR_SUCCESS) return rc;
    }
    *phkResult = new_handle(full);
    if (lpdwDisposition) *lpdwDisposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
    return ERROR_SUCCESS;
}

extern "C" LONG RegQueryValueExA(HKEY hKey, LPCSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType, LPBYTE lpData,
                                 LPDWORD lpcbData) {
    if (lpReserved != nullptr || (lpData != nullptr && lpcbData == nullptr)) return ERROR_INVALID_PARAMETER;
    auto key = key_path(hKey);
    if (!key) return ERROR_INVALID_HANDLE;
    std::string name = lpValueName && *lpValueName ? lpValueName : "@";
    Lines f;
    int err = 0;
    if (!read_lines(f, err)) return errno_to_error(err);
    long header = find_section(f, *key);
    if (header < 0) return ERROR_FILE_NOT_FOUND;
    size_t end = 0;
    long at = find_value(f, header, name, end);
    if (at < 0) return ERROR_FILE_NOT_FOUND;
    std::string v = value_of(f.v[static_cast<size_t>(at)]);
    if (lpType) *lpType = REG_SZ;
    DWORD need = static_cast<DWORD>(v.size() + 1);
    if (lpData == nullptr) {
        if (lpcbData) *lpcbData = need;
        return ERROR_SUCCESS;
    }
    if (*lpcbData < need) {
        if (*lpcbData > 0) lpData[0] = 0;  // never a cut text
        *lpcbData = need;
        return ERROR_MORE_DATA;
    }
    std::memcpy(lpData, v.c_str(), need);
    *lpcbData = need;
    return ERROR_SUCCESS;
}

extern "C" LONG RegSetValueExA(HKEY hKey, LPCSTR lpValueName, DWORD, DWORD dwType, const BYTE* lpData,
                               DWORD cbData) {
    if (dwType != REG_SZ && dwType != REG_EXPAND_SZ) return ERROR_INVALID_PARAMETER;
    if (lpData == nullptr && cbData > 0) return ERROR_INVALID_PARAMETER;
    auto key = key_path(hKey);
    if (!key) return ERROR_INVALID_HANDLE;
    if (key->find('\\') == std::string::npos) return ERROR_ACCESS_DENIED;  // not at a root
    std::string name = lpValueName && *lpValueName ? lpValueName : "@";
    std::string v;
    if (lpData) {
        const char* p = reinterpret_cast<const char*>(lpData);
        v.assign(p, strnlen(p, cbData));
    }
    if (!valid_name(name) || v.find_first_of("\r\n") != std::string::npos) return ERROR_INVALID_PARAMETER;
    return locked_update([&](Lines& f) {
        std::string line = name + "=" + v;
        long header = find_section(f, *key);
        if (header < 0) {
            if (!f.v.empty() && !f.v.back().empty()) f.v.push_back("");
            f.v.push_back("[" + *key + "]");
            f.v.push_back(line);
            return true;
        }
        size_t end = 0;
        long at = find_value(f, header, name, end);
        if (at >= 0) {
            if (f.v[static_cast<size_t>(at)] == line) return false;
            f.v[static_cast<size_t>(at)] = line;
        } else {
            while (end > static_cast<size_t>(header) + 1 && zq::trim(f.v[end - 1]).empty()) --end;
            f.v.insert(f.v.begin() + static_cast<long>(end), line);
        }
        return true;
    });
}

extern "C" LONG RegCloseKey(HKEY hKey) {
    auto v = reinterpret_cast<uintptr_t>(hKey);
    if (root_name(v)) return ERROR_SUCCESS;
    std::lock_guard<std::mutex> lock(g_mu);
    return g_keys.erase(v) ? ERROR_SUCCESS : ERROR_INVALID_HANDLE;
}
