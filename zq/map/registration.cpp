// Parsing application registrations.  The format (zq/README.md, "Application
// registrations") is line based like the .fields files: words separated by
// blanks, double quotes around words with blanks (\" and \\ inside), '#' starts
// a comment.
#include "registration.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <set>

namespace zq::map {
namespace {

using zq::zqw::split_words;

constexpr size_t kMaxName = 255;
constexpr size_t kMaxUrl = 2048;
constexpr size_t kMaxFile = 1u << 20;

bool printable(const std::string& s) {
    for (unsigned char c : s)
        if (c < 0x20 || c == 0x7f) return false;
    return true;
}

// A name the page and the protocol can carry: not empty, printable, bounded.
bool good_name(const std::string& s) { return !s.empty() && s.size() <= kMaxName && printable(s); }

bool good_url(const std::string& s) {
    if (s.size() > kMaxUrl || !printable(s)) return false;
    return s.rfind("http://", 0) == 0 || s.rfind("https://", 0) == 0;
}

bool good_pattern(const std::string& p) {
    if (!good_name(p)) return false;
    auto star = p.find('*');
    return star == std::string::npos || star == p.size() - 1;
}

}  // namespace

bool known_icon(const std::string& icon) {
    static const char* const kIcons[] = {"server", "client", "computer", "device", "vendor-server",
                                         "vendor-desktop", "cluster", "chip", "generic"};
    for (const char* k : kIcons)
        if (icon == k) return true;
    return false;
}

bool type_matches(const std::string& pattern, const std::string& type) {
    if (!pattern.empty() && pattern.back() == '*')
        return type.compare(0, pattern.size() - 1, pattern, 0, pattern.size() - 1) == 0 &&
               type.size() >= pattern.size() - 1;
    return pattern == type;
}

std::vector<zq::zqw::AppDef> parse_registration(const std::string& text, const std::string& name,
                                                std::vector<std::string>& errors) {
    std::vector<zq::zqw::AppDef> apps;
    bool skipping = false;   // inside an application whose name line was bad
    size_t pos = 0;
    int lineno = 0;
    while (pos < text.size()) {
        size_t nl = text.find('\n', pos);
        std::string line = text.substr(pos, nl == std::string::npos ? std::string::npos : nl - pos);
        pos = nl == std::string::npos ? text.size() : nl + 1;
        ++lineno;
        auto report = [&](const std::string& msg) {
            errors.push_back(name + ":" + std::to_string(lineno) + ": " + msg);
        };
        std::vector<std::string> w;
        std::string err;
        if (!split_words(line, w, err)) {
            report(err);
            continue;
        }
        if (w.empty()) continue;
        const std::string& key = w[0];
        if (key == "application") {
            if (w.size() != 2 || !good_name(w[1])) {
                report("application wants one name (printable, at most 255 characters)");
                skipping = true;
                continue;
            }
            skipping = false;
            zq::zqw::AppDef a;
            a.name = w[1];
            a.file = name;
            apps.push_back(std::move(a));
            continue;
        }
        if (skipping) continue;
        if (apps.empty()) {
            report("'" + key + "' before the first application line");
            continue;
        }
        zq::zqw::AppDef& app = apps.back();
        if (key == "command") {
            if (w.size() < 2 || w[1].empty()) {
                report("command wants a program and its arguments");
            } else if (!app.command.empty()) {
                report("a second command for " + app.name);
            } else {
                app.command.assign(w.begin() + 1, w.end());
            }
        } else if (key == "action") {
            // action NAME LABEL [url TEMPLATE | args ARG...]
            if (w.size() < 3 || !good_name(w[1]) || !good_name(w[2])) {
                report("action wants a name and a label");
                continue;
            }
            zq::zqw::ActionDef act;
            act.name = w[1];
            act.label = w[2];
            if (w.size() > 3) {
                if (w[3] == "url" && w.size() == 5) {
                    if (!good_url(w[4])) {
                        report("the url of an action must start with http:// or https://");
                        continue;
                    }
                    act.url = w[4];
                } else if (w[3] == "args") {
                    act.args.assign(w.begin() + 4, w.end());
                } else {
                    report("after the label of an action: url TEMPLATE or args ARG...");
                    continue;
                }
            }
            bool dup = std::any_of(app.actions.begin(), app.actions.end(),
                                   [&](const zq::zqw::ActionDef& x) { return x.name == act.name; });
            if (dup) {
                report("action " + act.name + " is given twice");
                continue;
            }
            app.actions.push_back(std::move(act));
        } else if (key == "covers") {
            // covers ACTION FIELD=VALUE...: objects the action is for (each
            // line one more kind of them).
            bool known = w.size() >= 2 && std::any_of(app.actions.begin(), app.actions.end(),
                                                      [&](const zq::zqw::ActionDef& x) { return x.name == w[1]; });
            std::vector<std::pair<std::string, std::string>> conds;
            for (size_t i = 2; i < w.size(); ++i) {
                auto eq = w[i].find('=');
                if (eq == std::string::npos || eq == 0 || !good_name(w[i])) break;
                conds.emplace_back(w[i].substr(0, eq), w[i].substr(eq + 1));
            }
            if (w.size() < 3 || conds.size() != w.size() - 2) {
                report("covers wants an action and FIELD=VALUE conditions");
            } else if (!known) {
                report("covers names no action of " + app.name + " declared above it");
            } else {
                app.covers[w[1]].push_back(std::move(conds));
            }
        } else if (key == "symbol_type") {
            if (w.size() != 3 || !good_pattern(w[1])) {
                report("symbol_type wants a type (a '*' only at its end) and an icon class");
            } else if (!known_icon(w[2])) {
                report("unknown icon class '" + w[2] + "'");
            } else {
                app.symbol_types.push_back(zq::zqw::SymbolTypeDef{w[1], w[2]});
            }
        } else if (key == "config_field") {
            if (w.size() != 3 || !good_name(w[1]) || !good_name(w[2])) {
                report("config_field wants a field name and a label");
            } else {
                app.config.push_back(zq::zqw::ConfigFieldDef{w[1], w[2]});
            }
        } else {
            report("unknown keyword '" + key + "'");
        }
    }
    return apps;
}

std::vector<zq::zqw::AppDef> load_registration_dir(const std::string& dir, std::vector<std::string>& errors) {
    namespace fs = std::filesystem;
    std::vector<std::string> files;
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(dir, ec)) {
        std::string n = e.path().filename().string();
        if (n.size() > 4 && n.compare(n.size() - 4, 4, ".reg") == 0) files.push_back(n);
    }
    if (ec) errors.push_back(dir + ": " + ec.message());
    std::sort(files.begin(), files.end());
    std::vector<zq::zqw::AppDef> all;
    std::set<std::string> names;
    for (const auto& f : files) {
        std::string path = dir + "/" + f;
        // Never blocks on a FIFO, never follows a link: a registration is a plain file.
        int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
        struct stat st{};
        if (fd < 0 || fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size > static_cast<off_t>(kMaxFile)) {
            errors.push_back(path + ": " + (fd < 0 ? std::strerror(errno) : "not a regular file of at most 1 MiB"));
            if (fd >= 0) close(fd);
            continue;
        }
        std::string text;
        char buf[65536];
        ssize_t n;
        while ((n = read(fd, buf, sizeof buf)) > 0 && text.size() <= kMaxFile) text.append(buf, static_cast<size_t>(n));
        close(fd);
        for (auto& a : parse_registration(text, f, errors)) {
            if (!names.insert(a.name).second) {
                errors.push_back(f + ": application " + a.name + " is registered already; this one is left out");
                continue;
            }
            all.push_back(std::move(a));
        }
    }
    return all;
}

}  // namespace zq::map
