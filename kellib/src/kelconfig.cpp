// Named access to the settings of the configuration file. The store keeps
// only the file's path; every read and write goes to the file, so a change
// made by another process is seen by the next read.
#include "kelconfig.h"

#include <cstring>
#include <mutex>
#include <string>

#include "kelplat/diag.h"
#include "kelplat/guard.h"
#include "kelplat/ini.h"

namespace kel::config {
namespace {

constexpr const char *kModule = "kelconfig";
constexpr std::size_t kPathBytes = 1024;

// The host sets the path before any thread reads settings; the lock only
// keeps a late kelcfg_init from tearing a path that a reader copies.
std::mutex g_mutex;
char g_path[kPathBytes] = "";

// The stored path, or nothing (with the diagnostic line) before init.
bool current_path(std::string &path) {
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        path = g_path;
    }
    if (path.empty()) {
        KEL_DIAG_MSG("Library kelConfig not initialized");
        return false;
    }
    return true;
}

}  // namespace

int32_t init(const char *path) {
    if (path == nullptr) {
        KEL_DIAG();
        return -1;
    }
    // The buffer holds 1023 characters; a longer path is refused rather
    // than overflowing it.
    const std::size_t length = ::strnlen(path, kPathBytes);
    if (length >= kPathBytes) {
        KEL_DIAG();
        return -1;
    }
    std::lock_guard<std::mutex> lock(g_mutex);
    std::memcpy(g_path, path, length + 1);
    return 0;
}

int32_t read(const char *section, const char *key, char *buffer, int32_t size, const char *def) {
    std::string path;
    if (!current_path(path)) return -1;
    // Calls the platform would fault on: nowhere to copy, or no name.
    if ((buffer == nullptr && size > 0) || section == nullptr || key == nullptr) {
        KEL_DIAG();
        return -1;
    }
    if (size <= 0) return -1;
    const std::size_t copied =
        ini::ini_read(path.c_str(), section, key, def, buffer, static_cast<std::size_t>(size));
    return copied > 0 ? 0 : -1;
}

int32_t write(const char *section, const char *key, const char *value) {
    std::string path;
    if (!current_path(path)) return -1;
    if (section == nullptr) {
        KEL_DIAG();
        return -1;
    }
    return ini::ini_write(path.c_str(), section, key, value) ? 0 : -1;
}

int32_t path_of_store(char *buffer, int32_t size) {
    if (buffer == nullptr || size <= 0) {
        KEL_DIAG();
        return -1;
    }
    std::lock_guard<std::mutex> lock(g_mutex);
    const std::size_t length = std::strlen(g_path);
    if (length + 1 > static_cast<std::size_t>(size)) {
        buffer[0] = '\0';
        return -1;
    }
    std::memcpy(buffer, g_path, length + 1);
    return static_cast<int32_t>(length);
}

}  // namespace kel::config

extern "C" KEL_API int32_t kelcfg_init(const char *chemin) {
    return kel::guard(__func__, int32_t{-1}, [&] { return kel::config::init(chemin); });
}

extern "C" KEL_API int32_t kelcfg_recup_E(const char *section, const char *cle, char *buffer,
                                          int32_t taille, const char *defaut) {
    return kel::guard(__func__, int32_t{-1},
                      [&] { return kel::config::read(section, cle, buffer, taille, defaut); });
}

extern "C" KEL_API int32_t kelcfg_recup(const char *section, const char *cle, char *buffer,
                                        int32_t taille) {
    return kel::guard(__func__, int32_t{-1},
                      [&] { return kel::config::read(section, cle, buffer, taille, ""); });
}

extern "C" KEL_API int32_t kelcfg_place(const char *section, const char *cle, const char *valeur) {
    return kel::guard(__func__, int32_t{-1},
                      [&] { return kel::config::write(section, cle, valeur); });
}

extern "C" KEL_API int32_t kelcfg_recup_chemin(char *buffer, int32_t taille) {
    return kel::guard(__func__, int32_t{-1}, [&] { return kel::config::path_of_store(buffer, taille); });
}
