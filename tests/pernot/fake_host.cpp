#include "tests/pernot/fake_host.h"

#include <dlfcn.h>

#include <cctype>
#include <climits>
#include <cstdlib>
#include <stdexcept>

namespace pernot_test {
namespace {

FakeHost* g_host = nullptr;

template <typename Fn>
Fn Symbol(void* handle, const char* name) {
    return reinterpret_cast<Fn>(dlsym(handle, name));
}

std::string Text(uintptr_t pointer) {
    const char* text = reinterpret_cast<const char*>(pointer);
    return text ? text : "(null)";
}

// Windows reading of a number in an edit box: leading blanks, an optional
// minus sign, decimal digits to the end, within range; anything else fails.
bool ParseItemInt(const std::string& text, bool isSigned, long long& out) {
    size_t i = 0;
    while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) ++i;
    bool negative = false;
    if (isSigned && i < text.size() && text[i] == '-') negative = true, ++i;
    if (i == text.size()) return false;
    long long value = 0;
    for (; i < text.size(); ++i) {
        if (!std::isdigit(static_cast<unsigned char>(text[i]))) return false;
        value = value * 10 + (text[i] - '0');
        if (value > UINT_MAX) return false;
    }
    out = negative ? -value : value;
    return isSigned ? out >= INT_MIN && out <= INT_MAX : true;
}

}  // namespace

PluginLibrary::PluginLibrary() {
    handle_ = dlopen(VORN_LIB_DIR "/libPernot.so", RTLD_NOW | RTLD_LOCAL);
    if (!handle_) return;
    info = Symbol<MIRANDAPLUGININFO_FN>(handle_, "MirandaPluginInfo");
    load = Symbol<LOAD_FN>(handle_, "Load");
    unload = Symbol<UNLOAD_FN>(handle_, "Unload");
}

PluginLibrary::~PluginLibrary() {
    if (handle_) dlclose(handle_);
}

FakeHost::FakeHost() {
    if (g_host) throw std::logic_error("one fake host at a time");
    g_host = this;
    link_.HookEvent = HookThunk;
    link_.UnhookEvent = UnhookThunk;
    link_.CallService = CallThunk;
    RegisterServices();
}

FakeHost::~FakeHost() { g_host = nullptr; }

INT_PTR FakeHost::CallThunk(const char* name, WPARAM wParam, LPARAM lParam) {
    return g_host->Call(name, wParam, lParam);
}

HANDLE FakeHost::HookThunk(const char* name, MIRANDAHOOK hook) { return g_host->Hook(name, hook); }

int FakeHost::UnhookThunk(HANDLE hook) { return g_host->Unhook(hook); }

void FakeHost::RegisterServices() {
    Register(MS_CLIST_GETSTATUSMODE, [this](WPARAM, LPARAM) { return INT_PTR{globalStatus}; });
    Register(MS_CLIST_SETSTATUSMODE, [this](WPARAM w, LPARAM) {
        calls.back() += "(" + std::to_string(w) + ")";
        globalStatus = static_cast<int>(w);
        return INT_PTR{0};
    });
    Register(MS_PROTO_ENUMPROTOCOLS, [this](WPARAM w, LPARAM l) { return EnumProtocols(w, l); });
    Register(MS_DB_CONTACT_GETSETTING, [this](WPARAM, LPARAM l) { return GetSetting(l); });
    Register(MS_DB_CONTACT_WRITESETTING, [this](WPARAM, LPARAM l) { return WriteSetting(l); });
    Register(MS_OPT_ADDPAGE, [this](WPARAM w, LPARAM l) {
        const auto* page = reinterpret_cast<const OPTIONSDIALOGPAGE*>(l);
        pages.push_back({w, *page, Text(reinterpret_cast<uintptr_t>(page->pszTitle)),
                         Text(reinterpret_cast<uintptr_t>(page->pszGroup))});
        return INT_PTR{0};
    });
    Register(MS_LANGPACK_TRANSLATESTRING, [this](WPARAM, LPARAM l) {
        auto found = translations.find(Text(l));
        return found == translations.end() ? l : reinterpret_cast<INT_PTR>(found->second.c_str());
    });
    Register(MS_LANGPACK_TRANSLATEDIALOG, [this](WPARAM, LPARAM l) {
        translatedDialogs.push_back(*reinterpret_cast<const LANGPACKTRANSLATEDIALOG*>(l));
        return INT_PTR{0};
    });
    Register(MS_HOST_SETTIMER, [this](WPARAM w, LPARAM l) {
        calls.back() += "(" + std::to_string(w) + ")";
        timers[nextTimer_] = {static_cast<UINT>(w), reinterpret_cast<TIMERPROC>(l)};
        return static_cast<INT_PTR>(nextTimer_++);
    });
    Register(MS_HOST_KILLTIMER, [this](WPARAM w, LPARAM) {
        calls.back() += "(" + std::to_string(w) + ")";
        return INT_PTR{timers.erase(w) == 1};
    });
    Register(MS_HOST_MESSAGEBOX, [this](WPARAM w, LPARAM l) {
        messageBoxes.push_back({Text(w), Text(l)});
        calls.back() += "(" + Text(w) + "|" + Text(l) + ")";
        return INT_PTR{1};
    });
}

INT_PTR FakeHost::Call(const char* name, WPARAM wParam, LPARAM lParam) {
    const std::string service = name ? name : "(null)";
    calls.push_back(service);
    auto found = services_.find(service);
    if (found != services_.end()) return found->second(wParam, lParam);
    return ProtocolCall(service, wParam);
}

INT_PTR FakeHost::ProtocolCall(const std::string& name, WPARAM wParam) {
    const auto slash = name.rfind('/');
    if (slash == std::string::npos) return CALLSERVICE_NOTFOUND;
    const std::string suffix = name.substr(slash);
    for (auto& proto : protocols_) {
        if (proto->name != name.substr(0, slash)) continue;
        if (suffix == PS_GETSTATUS) return proto->status;
        if (suffix != PS_SETSTATUS) break;
        calls.back() += "(" + std::to_string(wParam) + ")";
        proto->status = static_cast<int>(wParam);
        return 0;
    }
    return CALLSERVICE_NOTFOUND;
}

HANDLE FakeHost::Hook(const char* name, MIRANDAHOOK hook) {
    calls.push_back(std::string("hook ") + name);
    hooks_[nextHook_] = {name, hook};
    return reinterpret_cast<HANDLE>(nextHook_++);
}

int FakeHost::Unhook(HANDLE hook) {
    auto found = hooks_.find(reinterpret_cast<uintptr_t>(hook));
    if (found == hooks_.end()) return 1;
    calls.push_back("unhook " + found->second.first);
    hooks_.erase(found);
    return 0;
}

INT_PTR FakeHost::GetSetting(LPARAM lParam) {
    auto* request = reinterpret_cast<DBCONTACTGETSETTING*>(lParam);
    const std::string key = Text(reinterpret_cast<uintptr_t>(request->szModule)) + "/" +
                            Text(reinterpret_cast<uintptr_t>(request->szSetting));
    calls.back() += "(" + key + ")";
    auto found = settings.find(key);
    if (found == settings.end()) return 1;
    request->pValue->type = found->second.type;
    request->pValue->dVal = found->second.value;
    return 0;
}

INT_PTR FakeHost::WriteSetting(LPARAM lParam) {
    const auto* request = reinterpret_cast<const DBCONTACTWRITESETTING*>(lParam);
    const std::string key = Text(reinterpret_cast<uintptr_t>(request->szModule)) + "/" +
                            Text(reinterpret_cast<uintptr_t>(request->szSetting));
    calls.back() += "(" + key + "=" + std::to_string(request->value.dVal) + ")";
    settings[key] = {request->value.type, request->value.dVal};
    return 0;
}

INT_PTR FakeHost::EnumProtocols(WPARAM wParam, LPARAM lParam) {
    auto* count = reinterpret_cast<int*>(wParam);
    auto* list = reinterpret_cast<PROTOCOLDESCRIPTOR***>(lParam);
    if (enumGivesNoList) return 0;
    *count = static_cast<int>(descriptors_.size());
    *list = descriptors_.data();
    return 0;
}

Protocol& FakeHost::AddProtocol(const std::string& name, int status) {
    auto proto = std::make_unique<Protocol>(Protocol{name, status, {}});
    proto->descriptor.cbSize = sizeof(PROTOCOLDESCRIPTOR);
    proto->descriptor.szName = proto->name.c_str();
    descriptors_.push_back(&proto->descriptor);
    protocols_.push_back(std::move(proto));
    return *protocols_.back();
}

Protocol& FakeHost::Proto(const std::string& name) {
    for (auto& proto : protocols_)
        if (proto->name == name) return *proto;
    throw std::out_of_range("no protocol " + name);
}

void FakeHost::StoreDword(const std::string& name, DWORD value) {
    settings["Pernot/" + name] = {DBVT_DWORD, value};
}

std::vector<std::string> FakeHost::CallsStartingWith(const std::string& prefix) const {
    std::vector<std::string> found;
    for (const auto& call : calls)
        if (call.compare(0, prefix.size(), prefix) == 0) found.push_back(call);
    return found;
}

void FakeHost::ClearRecords() {
    calls.clear();
    messageBoxes.clear();
    pages.clear();
    translatedDialogs.clear();
}

int FakeHost::Fire(const std::string& event, WPARAM wParam, LPARAM lParam) {
    int result = 0;
    auto snapshot = hooks_;
    for (const auto& [id, hook] : snapshot)
        if (hook.first == event) result = hook.second(wParam, lParam);
    return result;
}

size_t FakeHost::HookCount(const std::string& event) const {
    size_t count = 0;
    for (const auto& [id, hook] : hooks_) count += hook.first == event;
    return count;
}

void FakeHost::Tick() {
    auto snapshot = timers;
    for (const auto& [id, timer] : snapshot)
        if (timers.count(id)) timer.proc(id);
}

const DIALOGOPS FakeDialog::kOps = {SetItemInt, GetItemInt, CheckButton, IsButtonChecked};

FakeDialog::FakeDialog(const DIALOGRESOURCE& resource, DLGPROC proc) : proc_(proc) {
    window_.ops = &kOps;
    window_.hostData = this;
    for (int i = 0; i < resource.controlCount; ++i) {
        const DIALOGCONTROL& control = resource.controls[i];
        if (control.id != IDC_STATIC) items_[control.id].text = control.text ? control.text : "";
    }
}

INT_PTR FakeDialog::Send(UINT msg, WPARAM wParam, LPARAM lParam) {
    return proc_(Handle(), msg, wParam, lParam);
}

INT_PTR FakeDialog::Notify(UINT code) {
    NMHDR header{nullptr, 0, code};
    return Send(WM_NOTIFY, 0, reinterpret_cast<LPARAM>(&header));
}

int FakeDialog::SetItemInt(HWND dlg, int id, UINT value, int isSigned) {
    auto& items = Of(dlg).items_;
    if (!items.count(id)) return 0;
    items[id].text = isSigned ? std::to_string(static_cast<int>(value)) : std::to_string(value);
    return 1;
}

UINT FakeDialog::GetItemInt(HWND dlg, int id, int* translated, int isSigned) {
    auto& items = Of(dlg).items_;
    long long value = 0;
    const bool ok = items.count(id) && ParseItemInt(items[id].text, isSigned != 0, value);
    if (translated) *translated = ok;
    return ok ? static_cast<UINT>(value) : 0;
}

int FakeDialog::CheckButton(HWND dlg, int id, UINT check) {
    auto& items = Of(dlg).items_;
    if (!items.count(id)) return 0;
    items[id].check = check;
    return 1;
}

UINT FakeDialog::IsButtonChecked(HWND dlg, int id) {
    auto& items = Of(dlg).items_;
    return items.count(id) ? items[id].check : BST_UNCHECKED;
}

}  // namespace pernot_test
