#include "autostart.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <system_error>

#include "kelplat/diag.h"

namespace kel::activity {
namespace {

constexpr const char *kModule = "autostart";
namespace fs = std::filesystem;

void report(const std::string &what) { KEL_DIAG_MSG(what.c_str()); }

std::optional<std::string> home_dir() {
    const char *home = std::getenv("HOME");
    if (home != nullptr && home[0] == '/') return std::string(home);
    if (const passwd *pw = ::getpwuid(::geteuid()); pw != nullptr && pw->pw_dir != nullptr && pw->pw_dir[0] == '/')
        return std::string(pw->pw_dir);
    return std::nullopt;
}

}  // namespace

std::optional<std::string> autostart_path() {
    const char *xdg = std::getenv("XDG_CONFIG_HOME");
    std::string config;
    if (xdg != nullptr && xdg[0] == '/') {
        config = xdg;
    } else if (auto home = home_dir()) {
        config = *home + "/.config";
    } else {
        report("neither XDG_CONFIG_HOME nor HOME names a folder, no autostart entry");
        return std::nullopt;
    }
    return config + "/autostart/valdrin-proxy.desktop";
}

std::string desktop_exec_arg(const std::string &arg) {
    // Quoting rules of the Exec key: reserved characters call for double
    // quotes, inside which " ` $ \ take a backslash; % is always doubled.
    constexpr std::string_view kReserved = " \t\n\"'\\><~|&;$*?#()`";
    const bool quote = arg.empty() || arg.find_first_of(kReserved) != std::string::npos;
    std::string exec;
    if (quote) exec += '"';
    for (char c : arg) {
        if (quote && (c == '"' || c == '`' || c == '$' || c == '\\')) exec += '\\';
        if (c == '%') exec += '%';
        exec += c;
    }
    if (quote) exec += '"';
    // Then the escapes of any string value in a desktop file.
    std::string value;
    for (char c : exec) {
        switch (c) {
        case '\\': value += "\\\\"; break;
        case '\n': value += "\\n"; break;
        case '\t': value += "\\t"; break;
        case '\r': value += "\\r"; break;
        default: value += c;
        }
    }
    return value;
}

std::string autostart_entry(const std::vector<std::string> &argv) {
    std::string exec;
    for (const auto &a : argv) {
        if (!exec.empty()) exec += ' ';
        exec += desktop_exec_arg(a);
    }
    return "[Desktop Entry]\n"
           "Type=Application\n"
           "Name=Valdrin Proxy Server\n"
           "Comment=Starts the Valdrin proxy at login\n"
           "Exec=" + exec + "\n"
           "Terminal=false\n"
           "NoDisplay=true\n"
           "X-GNOME-Autostart-enabled=true\n";
}

bool write_autostart(const std::string &path, const std::string &content) {
    std::error_code ec;
    const fs::path target(path);
    fs::create_directories(target.parent_path(), ec);
    if (ec) {
        report("creating \"" + target.parent_path().string() + "\" failed (" + ec.message() + ")");
        return false;
    }
    const std::string temp = path + ".tmp";
    {
        std::ofstream out(temp, std::ios::binary | std::ios::trunc);
        out << content;
        out.close();
        if (!out) {
            report("writing \"" + temp + "\" failed");
            fs::remove(temp, ec);
            return false;
        }
    }
    fs::rename(temp, target, ec);
    if (ec) {
        report("renaming \"" + temp + "\" to \"" + path + "\" failed (" + ec.message() + ")");
        fs::remove(temp, ec);
        return false;
    }
    return true;
}

bool remove_autostart(const std::string &path) {
    std::error_code ec;
    fs::remove(path, ec);
    if (ec) report("removing \"" + path + "\" failed (" + ec.message() + ")");
    return !has_autostart(path);
}

bool has_autostart(const std::string &path) {
    std::error_code ec;
    return fs::is_regular_file(path, ec);
}

}  // namespace kel::activity
