#include "runtime_dir.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "kelplat/diag.h"

namespace kel::activity {
namespace {

constexpr const char *kModule = "activity";

bool is_private_dir(const std::string &dir) {
    struct stat st {};
    if (::lstat(dir.c_str(), &st) != 0) return false;
    return S_ISDIR(st.st_mode) && st.st_uid == ::geteuid() && (st.st_mode & 077) == 0;
}

}  // namespace

std::optional<std::string> runtime_dir() {
    const char *xdg = std::getenv("XDG_RUNTIME_DIR");
    if (xdg != nullptr && xdg[0] == '/') {
        struct stat st {};
        if (::stat(xdg, &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == ::geteuid()) return std::string(xdg);
    }
    const std::string dir = "/tmp/valdrin-" + std::to_string(::geteuid());
    if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) {
        const int err = errno;
        const std::string what =
            "mkdir(\"" + dir + "\") failed (" + std::to_string(err) + ": " + std::strerror(err) + ")";
        KEL_DIAG_MSG(what.c_str());
        return std::nullopt;
    }
    // Someone else may have made it first; use it only when it is ours alone.
    if (!is_private_dir(dir)) {
        const std::string what = "\"" + dir + "\" is not a private folder of this user, refused";
        KEL_DIAG_MSG(what.c_str());
        return std::nullopt;
    }
    return dir;
}

}  // namespace kel::activity
