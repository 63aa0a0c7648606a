#include "Pernot/host_link.h"

namespace pernot {
namespace {

PLUGINLINK g_link{};
bool g_linked = false;

}  // namespace

void SetHostLink(const PLUGINLINK* link) {
    g_link = link ? *link : PLUGINLINK{};
    g_linked = link != nullptr;
}

bool HostLinked() { return g_linked; }

INT_PTR CallService(const char* name, WPARAM wParam, LPARAM lParam) {
    if (!g_link.CallService) return CALLSERVICE_NOTFOUND;
    return g_link.CallService(name, wParam, lParam);
}

HANDLE HookEvent(const char* name, MIRANDAHOOK hook) {
    return g_link.HookEvent ? g_link.HookEvent(name, hook) : nullptr;
}

void UnhookEvent(HANDLE hook) {
    if (hook && g_link.UnhookEvent) g_link.UnhookEvent(hook);
}

const char* Translate(const char* text) {
    INT_PTR result = CallService(MS_LANGPACK_TRANSLATESTRING, 0, reinterpret_cast<LPARAM>(text));
    if (result == 0 || result == CALLSERVICE_NOTFOUND) return text;
    return reinterpret_cast<const char*>(result);
}

}  // namespace pernot
