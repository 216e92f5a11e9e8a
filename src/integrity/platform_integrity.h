// The calls the kiosk makes to the platform's mandatory-integrity libraries
// (libkalder-mic and libmlb).  This is the only header that declares them: a
// platform build links the real libraries instead of platform_integrity.cpp,
// which stands in for them where the platform has none (integrity mode off,
// label calls doing nothing).
#pragma once

#include <sys/types.h>

#include <cstdint>

extern "C" {

// The part of a user's MIC record that the kiosk reads.
struct kalder_mic {
    uint32_t ilev;
};

struct mlb_label;

// Greater than 0 when the integrity mode is on.
int kalder_enabled(void);
// The user's MIC record or null; never freed by the caller.
const struct kalder_mic* getmicuid(uid_t uid);
const void* getmacuid(uid_t uid);

// 0 on success; anything else skips every further label call.
int mlb_init(void);
void mlb_release(void);
// pid 0 is the current process.
struct mlb_label* mlb_get_pid(pid_t pid);
int mlb_set_pid(pid_t pid, struct mlb_label* label);
int mlbl_set_ilev(struct mlb_label* label, uint32_t ilev);
int mlbl_set_lev(struct mlb_label* label, uint32_t lev);
int mlbl_set_cat(struct mlb_label* label, uint64_t cat);
int mlbl_set_type(struct mlb_label* label, uint32_t type);
}
