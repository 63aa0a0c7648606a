// The host's protocol accounts, as far as the status table can hold them.
#pragma once

#include <optional>
#include <span>
#include <string>

#include "Pernot/host_interface.h"

namespace pernot {

// The host's protocol list, cut to the first kMaxProtocols entries.
std::span<PROTOCOLDESCRIPTOR* const> EnumProtocols();

// The protocol's service name (its name + suffix), or nothing when the
// protocol has no name or the name does not fit the host's name buffer.
std::optional<std::string> ProtocolService(const PROTOCOLDESCRIPTOR* proto, const char* suffix);

}  // namespace pernot
