// zqreg: reads and writes registry values of the instance from the shell.
#include <strings.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "winapi.h"
#include "zqcommon.h"

namespace {

void usage(FILE* f) {
    std::fprintf(f,
                 "usage: zqreg get KEY NAME\n"
                 "       zqreg set KEY NAME VALUE\n"
                 "Reads or writes the string value NAME of registry key KEY of the instance\n"
                 "$ZQ_ROOT (file $ZQ_ROOT/registry).  KEY starts with its root key:\n"
                 "HKEY_LOCAL_MACHINE (HKLM), HKEY_CURRENT_USER (HKCU), HKEY_CLASSES_ROOT (HKCR) or\n"
                 "HKEY_USERS (HKU), e.g. \"HKEY_LOCAL_MACHINE\\SOFTWARE\\Velmora\\Corvel\\Tarnwick\".\n"
                 "get prints the value and exits 0, or exits 1 when the key or value does not\n"
                 "exist; set creates the key when needed.  Exit status 2 on bad usage, 3 when\n"
                 "the registry cannot be read or written.\n");
}

HKEY root_of(const std::string& name) {
    struct R {
        const char *long_name, *short_name;
        HKEY key;
    };
    static const R roots[] = {{"HKEY_LOCAL_MACHINE", "HKLM", HKEY_LOCAL_MACHINE},
                              {"HKEY_CURRENT_USER", "HKCU", HKEY_CURRENT_USER},
                              {"HKEY_CLASSES_ROOT", "HKCR", HKEY_CLASSES_ROOT},
                              {"HKEY_USERS", "HKU", HKEY_USERS}};
    for (auto& r : roots)
        if (strcasecmp(name.c_str(), r.long_name) == 0 || strcasecmp(name.c_str(), r.short_name) == 0) return r.key;
    return nullptr;
}

}  // namespace

int main(int argc, char** argv) {
    zq::ignore_sigpipe();
    if (argc >= 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
        usage(stdout);
        return 0;
    }
    std::string cmd = argc >= 2 ? argv[1] : "";
    if (!((cmd == "get" && argc == 4) || (cmd == "set" && argc == 5))) {
        usage(stderr);
        return 2;
    }
    std::string key = argv[2];
    std::string root = key.substr(0, key.find('\\'));
    std::string sub = root.size() < key.size() ? key.substr(root.size() + 1) : "";
    HKEY base = root_of(root);
    if (base == nullptr) {
        std::fprintf(stderr, "zqreg: unknown root key: %s\n", root.c_str());
        return 2;
    }
    HKEY h = nullptr;
    if (cmd == "get") {
        LONG rc = RegOpenKeyExA(base, sub.c_str(), 0, KEY_READ, &h);
        if (rc == ERROR_FILE_NOT_FOUND) {
            std::fprintf(stderr, "zqreg: no such key: %s\n", key.c_str());
            return 1;
        }
        if (rc != ERROR_SUCCESS) {
            std::fprintf(stderr, "zqreg: cannot open %s (error %d)\n", key.c_str(), static_cast<int>(rc));
            return rc == ERROR_BAD_PATHNAME || rc == ERROR_INVALID_PARAMETER ? 2 : 3;
        }
        std::vector<unsigned char> buf(256);
        while (true) {
            DWORD size = static_cast<DWORD>(buf.size());
            rc = RegQueryValueExA(h, argv[3], nullptr, nullptr, buf.data(), &size);
            if (rc == ERROR_MORE_DATA && size > buf.size()) {
                buf.resize(size);
                continue;
            }
            break;
        }
        RegCloseKey(h);
        if (rc == ERROR_FILE_NOT_FOUND) {
            std::fprintf(stderr, "zqreg: no value %s in %s\n", argv[3], key.c_str());
            return 1;
        }
        if (rc != ERROR_SUCCESS) {
            std::fprintf(stderr, "zqreg: cannot read %s (error %d)\n", argv[3], static_cast<int>(rc));
            return 3;
        }
        std::printf("%s\n", reinterpret_cast<const char*>(buf.data()));
        return 0;
    }
    LONG rc = RegCreateKeyExA(base, sub.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr, &h,
                              nullptr);
    if (rc != ERROR_SUCCESS) {
        std::fprintf(stderr, "zqreg: cannot create %s (error %d)\n", key.c_str(), static_cast<int>(rc));
        return rc == ERROR_BAD_PATHNAME || rc == ERROR_INVALID_PARAMETER ? 2 : 3;
    }
    const char* v = argv[4];
    rc = RegSetValueExA(h, argv[3], 0, REG_SZ, reinterpret_cast<const BYTE*>(v),
                        static_cast<DWORD>(std::strlen(v) + 1));
    RegCloseKey(h);
    if (rc != ERROR_SUCCESS) {
        std::fprintf(stderr, "zqreg: cannot set %s (error %d%s)\n", argv[3], static_cast<int>(rc),
                     rc == ERROR_INVALID_PARAMETER ? ": values are one line of text" : "");
        return rc == ERROR_INVALID_PARAMETER ? 2 : 3;
    }
    return 0;
}
