// The start-at-login entry: an XDG autostart desktop file.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace kel::activity {

// $XDG_CONFIG_HOME/autostart/valdrin-proxy.desktop, or under $HOME/.config
// when XDG_CONFIG_HOME is unset or not absolute.
std::optional<std::string> autostart_path();

// One argument of an Exec= line, quoted when needed and escaped for a
// desktop-file string value.
std::string desktop_exec_arg(const std::string &arg);

// The whole desktop entry that runs `argv` at login.
std::string autostart_entry(const std::vector<std::string> &argv);

// Writes the entry atomically (temporary file, then rename); creates the
// folders it needs. False with a diagnostic on failure.
bool write_autostart(const std::string &path, const std::string &content);

// Removes the entry; true when none remains.
bool remove_autostart(const std::string &path);

bool has_autostart(const std::string &path);

}  // namespace kel::activity
