/* A stand-in activity component for the agent's tests: answers polls with
 * a status the test sets and logs every call, so the agent's calls can be
 * checked through the same load-by-name path as the real component. Built
 * with FAKE_ACTIVITY_WITHOUT_RELOAD it is an older component: the five
 * entries without activity_reload. */
#include <stdint.h>
#include <stdio.h>
#include <string.h>

#define FAKE_API __attribute__((visibility("default")))

static int16_t g_status;
static int16_t g_reload = 1;
static char g_log[4096];

static void note(const char *entry, int32_t arg) {
    size_t used = strlen(g_log);
    if (used + 40 < sizeof g_log) snprintf(g_log + used, sizeof g_log - used, "%s(%d) ", entry, (int)arg);
}

FAKE_API void fake_activity_set_status(int status) { g_status = (int16_t)status; }
FAKE_API const char *fake_activity_log(void) { return g_log; }
FAKE_API void fake_activity_reset(void) { g_log[0] = '\0'; g_status = 0; g_reload = 1; }
FAKE_API void fake_activity_set_reload(int verdict) { g_reload = (int16_t)verdict; }
FAKE_API void fake_activity_clear_log(void) { g_log[0] = '\0'; }

FAKE_API int16_t activity_poll(int32_t arg) { note("poll", arg); return g_status; }
FAKE_API int16_t activity_start(int32_t arg) { note("start", arg); return 1; }
FAKE_API int16_t activity_stop(int32_t arg) { note("stop", arg); return 1; }
FAKE_API int16_t activity_auto(int32_t arg) { note("auto", arg); return 1; }
FAKE_API int16_t activity_noauto(int32_t arg) { note("noauto", arg); return 1; }
#ifndef FAKE_ACTIVITY_WITHOUT_RELOAD
FAKE_API int16_t activity_reload(int32_t arg) { note("reload", arg); return g_reload; }
#endif
