// Gives the kiosk's children their owner's integrity level through the
// platform label library.
#pragma once

#include "utils/process.h"

namespace Velk {

class IntegrityLabeler : public Utils::ChildLabeler {
public:
    std::optional<uint32_t> ownerLevel(uint32_t uid) const override;
    void labelCurrentProcess(std::optional<uint32_t> ownerLevel) const override;
};

// Installs one process-wide labeler for every later child start.
void installIntegrityLabeler();

}  // namespace Velk
