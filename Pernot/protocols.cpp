#include "Pernot/protocols.h"

#include <algorithm>
#include <cstring>

#include "Pernot/host_link.h"
#include "Pernot/state.h"

namespace pernot {

std::span<PROTOCOLDESCRIPTOR* const> EnumProtocols() {
    int count = 0;
    PROTOCOLDESCRIPTOR** list = nullptr;
    CallService(MS_PROTO_ENUMPROTOCOLS, reinterpret_cast<WPARAM>(&count),
                reinterpret_cast<LPARAM>(&list));
    if (!list || count <= 0) return {};
    return {list, static_cast<size_t>(std::min(count, kMaxProtocols))};
}

std::optional<std::string> ProtocolService(const PROTOCOLDESCRIPTOR* proto, const char* suffix) {
    if (!proto || !proto->szName) return std::nullopt;
    const size_t room = MAXMODULELABELLENGTH - std::strlen(suffix) - 1;
    const size_t length = strnlen(proto->szName, room + 1);
    if (length == 0 || length > room) return std::nullopt;
    return std::string(proto->szName, length) + suffix;
}

}  // namespace pernot
