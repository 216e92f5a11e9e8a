// Stand-ins for the platform integrity libraries on a system without them: the
// integrity mode is off, no user has a record and labels cannot be had.
#include "integrity/platform_integrity.h"

extern "C" {

int kalder_enabled(void) {
    return 0;
}

const struct kalder_mic* getmicuid(uid_t /*uid*/) {
    return nullptr;
}

const void* getmacuid(uid_t /*uid*/) {
    return nullptr;
}

int mlb_init(void) {
    return 0;
}

void mlb_release(void) {}

struct mlb_label* mlb_get_pid(pid_t /*pid*/) {
    return nullptr;
}

int mlb_set_pid(pid_t /*pid*/, struct mlb_label* /*label*/) {
    return 0;
}

int mlbl_set_ilev(struct mlb_label* /*label*/, uint32_t /*ilev*/) {
    return 0;
}

int mlbl_set_lev(struct mlb_label* /*label*/, uint32_t /*lev*/) {
    return 0;
}

int mlbl_set_cat(struct mlb_label* /*label*/, uint64_t /*cat*/) {
    return 0;
}

int mlbl_set_type(struct mlb_label* /*label*/, uint32_t /*type*/) {
    return 0;
}
}
