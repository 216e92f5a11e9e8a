// The label steps of a child start on an integrity-controlled platform: the
// owner's level is read in the parent, the label is set in the child before it
// executes anything.
#include "integrity/integrity_labeler.h"

#include <unistd.h>

#include "integrity/platform_integrity.h"
#include "logger.h"

namespace Velk {

std::optional<uint32_t> IntegrityLabeler::ownerLevel(uint32_t uid) const {
    const kalder_mic* record = getmicuid(uid);
    getmacuid(uid);
    return record ? std::optional<uint32_t>(record->ilev) : std::nullopt;
}

void IntegrityLabeler::labelCurrentProcess(std::optional<uint32_t> ownerLevel) const {
    if (mlb_init() != 0) {
        return;
    }
    if (mlb_label* label = mlb_get_pid(0)) {
        if (ownerLevel) {
            Syslog::info("%s: set KALDER MIC ilev: %u for current process, pid: %d", "runChildProcess",
                         *ownerLevel, getpid());
        }
        mlbl_set_ilev(label, ownerLevel.value_or(0));
        mlbl_set_lev(label, 0);
        mlbl_set_cat(label, 0);
        mlbl_set_type(label, 0);
        mlb_set_pid(0, label);
    }
    mlb_release();
}

void installIntegrityLabeler() {
    static const IntegrityLabeler labeler;
    Utils::setChildLabeler(&labeler);
}

}  // namespace Velk
