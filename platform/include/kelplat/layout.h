// Where the programs find their files. The ready-to-run folder keeps
// everything beside the programs; an installed system (a build configured
// with VALDRIN_LAYOUT=fhs) keeps the configuration in /etc/valdrin, the
// read-only data in /usr/share/valdrin and the logs in /var/log/valdrin.
#pragma once

namespace kel::layout {

#if defined(VALDRIN_SYSCONF_DIR) && defined(VALDRIN_DATA_DIR) && defined(VALDRIN_LOG_DIR)
inline constexpr bool kInstalled = true;
inline constexpr const char *kConfigDir = VALDRIN_SYSCONF_DIR;
inline constexpr const char *kDataDir = VALDRIN_DATA_DIR;
inline constexpr const char *kLogDir = VALDRIN_LOG_DIR;
#else
inline constexpr bool kInstalled = false;
inline constexpr const char *kConfigDir = "";
inline constexpr const char *kDataDir = "";
inline constexpr const char *kLogDir = "";
#endif

}  // namespace kel::layout
