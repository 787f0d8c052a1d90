/* The activity component: starts, stops and watches the proxy daemon
 * valdrin_proxy that lies in the component's own folder, and switches its
 * start at login.
 *
 * The tray agent loads this library by name at first use and looks the
 * entries up by name. Each entry takes one 32-bit argument (ignored) and
 * returns a 16-bit result. The entries are not thread safe against each
 * other; the agent calls them from its one window thread.
 *
 * Files:
 *   pid file    $XDG_RUNTIME_DIR/valdrin_proxy.pid (or /tmp/valdrin-<uid>/,
 *               a private 0700 folder, when XDG_RUNTIME_DIR is unusable)
 *   daemon log  valdrin_proxy.log in the same folder (its standard output
 *               and error, appended)
 *   ports file  valdrin_proxy.ports in the same folder, written by the
 *               daemon once it listens: a line per address, "http 127.0.0.1:3128"
 *   autostart   $XDG_CONFIG_HOME/autostart/valdrin-proxy.desktop
 *               ($HOME/.config when XDG_CONFIG_HOME is unset)
 */
#ifndef VALDRIN_ACTIVITY_H
#define VALDRIN_ACTIVITY_H

#include <stdint.h>

#ifdef VALDRIN_ACTIVITY_BUILD
#define VALDRIN_ACTIVITY_API __attribute__((visibility("default")))
#else
#define VALDRIN_ACTIVITY_API
#endif

/* Bits of the status word returned by activity_poll. */
#define VALDRIN_ACTIVITY_RUNNING 0x0001   /* the daemon is alive and listening */
#define VALDRIN_ACTIVITY_AUTOSTART 0x0002 /* the daemon starts at login */

#ifdef __cplusplus
extern "C" {
#endif

/* The status word; 0 when nothing can be told (no daemon, no entry). */
VALDRIN_ACTIVITY_API int16_t activity_poll(int32_t unused);

/* Starts the daemon as a detached background process in a session of its
 * own, so that it outlives the caller, and waits a bounded time for it to
 * listen and write its ports file. 1 when it was started or already runs,
 * 0 on failure. */
VALDRIN_ACTIVITY_API int16_t activity_start(int32_t unused);

/* Sends SIGTERM to the daemon named by the pid file, only when that pid
 * really is our valdrin_proxy, and waits a bounded time for it to end.
 * 1 when no daemon of ours runs afterwards, 0 when it is still alive. */
VALDRIN_ACTIVITY_API int16_t activity_stop(int32_t unused);

/* Creates the autostart entry that starts the daemon at login the same way
 * as activity_start. 1 on success, 0 on failure. */
VALDRIN_ACTIVITY_API int16_t activity_auto(int32_t unused);

/* Removes the autostart entry. 1 when no entry remains, 0 on failure. */
VALDRIN_ACTIVITY_API int16_t activity_noauto(int32_t unused);

/* Makes the daemon named by the pid file, only when that pid really is our
 * valdrin_proxy, re-read its configuration (SIGHUP), and waits up to 10 s
 * for its verdict in the daemon log:
 *   1 reloaded;
 *   2 reloaded, but a change (of HTTPPort, HTTPEnabled, ...) waits for a restart;
 *   3 the daemon refused the file and keeps its running configuration;
 *   0 no daemon of ours runs, the signal failed, or no verdict came in time
 *     (a diagnostic line on standard error says which).
 * Older components lack this entry; look it up before use. */
VALDRIN_ACTIVITY_API int16_t activity_reload(int32_t unused);

#ifdef __cplusplus
}
#endif

#endif /* VALDRIN_ACTIVITY_H */
