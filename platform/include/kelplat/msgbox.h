// Message boxes stand behind a replaceable handler: a windowed program
// installs one that shows a real box; the default writes to standard error.
#pragma once

namespace kel {

// Style bits as the callers spell them.
inline constexpr unsigned kMsgBoxOk = 0x0;
inline constexpr unsigned kMsgBoxIconError = 0x10;
inline constexpr unsigned kMsgBoxTopmost = 0x40000;

// Returns the button chosen; 1 is OK. Runs on the caller's thread and may
// block until the user answers.
using MessageBoxHandler = int (*)(const char *caption, const char *text, unsigned style);

// Shows the message through the installed handler. Null texts show as "".
int message_box(const char *caption, const char *text, unsigned style) noexcept;

// Installs `handler` for every later message box, or the default for null;
// returns the one it replaces. Safe to call from any thread.
MessageBoxHandler set_message_box_handler(MessageBoxHandler handler) noexcept;

}  // namespace kel
