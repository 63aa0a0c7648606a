// A stand-in for the Miranda IM client: loads the plug-in library, serves the
// services and events it asks for and records every call it makes.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "Pernot/host_interface.h"

namespace pernot_test {

// The plug-in library opened with dlopen.
class PluginLibrary {
public:
    PluginLibrary();
    ~PluginLibrary();
    PluginLibrary(const PluginLibrary&) = delete;
    PluginLibrary& operator=(const PluginLibrary&) = delete;

    bool Ok() const { return info && load && unload; }
    MIRANDAPLUGININFO_FN info = nullptr;
    LOAD_FN load = nullptr;
    UNLOAD_FN unload = nullptr;

private:
    void* handle_ = nullptr;
};

struct Setting {
    BYTE type;
    DWORD value;
};

struct Timer {
    UINT interval;
    TIMERPROC proc;
};

struct MessageBox {
    std::string text;
    std::string caption;
};

struct AddedPage {
    WPARAM wParam;
    OPTIONSDIALOGPAGE page;
    std::string title;
    std::string group;
};

struct Protocol {
    std::string name;
    int status;
    PROTOCOLDESCRIPTOR descriptor;
};

// Only one host exists at a time: the service table holds plain functions.
class FakeHost {
public:
    FakeHost();
    ~FakeHost();
    FakeHost(const FakeHost&) = delete;
    FakeHost& operator=(const FakeHost&) = delete;

    PLUGINLINK* Link() { return &link_; }

    // The client's global status and its protocol accounts.
    int globalStatus = ID_STATUS_ONLINE;
    Protocol& AddProtocol(const std::string& name, int status);
    Protocol& Proto(const std::string& name);
    // Makes "Proto/EnumProtocols" answer with no list at all.
    bool enumGivesNoList = false;

    // Settings database, keyed "module/name".
    std::map<std::string, Setting> settings;
    void StoreDword(const std::string& name, DWORD value);
    // Translations served by "LangPack/TranslateString".
    std::map<std::string, std::string> translations;

    std::map<UINT_PTR, Timer> timers;
    std::vector<MessageBox> messageBoxes;
    std::vector<AddedPage> pages;
    std::vector<LANGPACKTRANSLATEDIALOG> translatedDialogs;
    // Every service call, hook and unhook, in a readable form.
    std::vector<std::string> calls;
    std::vector<std::string> CallsStartingWith(const std::string& prefix) const;
    void ClearRecords();

    // Fires an event to its hooks; returns the last hook's result.
    int Fire(const std::string& event, WPARAM wParam = 0, LPARAM lParam = 0);
    size_t HookCount(const std::string& event) const;
    // Every live timer expires once, as the message loop would deliver it.
    void Tick();

private:
    using Service = std::function<INT_PTR(WPARAM, LPARAM)>;
    void RegisterServices();
    void Register(const std::string& name, Service service) { services_[name] = std::move(service); }
    INT_PTR Call(const char* name, WPARAM wParam, LPARAM lParam);
    HANDLE Hook(const char* name, MIRANDAHOOK hook);
    int Unhook(HANDLE hook);
    INT_PTR GetSetting(LPARAM lParam);
    INT_PTR WriteSetting(LPARAM lParam);
    INT_PTR EnumProtocols(WPARAM wParam, LPARAM lParam);
    INT_PTR ProtocolCall(const std::string& name, WPARAM wParam);

    static INT_PTR CallThunk(const char* name, WPARAM wParam, LPARAM lParam);
    static HANDLE HookThunk(const char* name, MIRANDAHOOK hook);
    static int UnhookThunk(HANDLE hook);

    PLUGINLINK link_{};
    std::map<std::string, Service> services_;
    std::map<uintptr_t, std::pair<std::string, MIRANDAHOOK>> hooks_;
    uintptr_t nextHook_ = 1;
    UINT_PTR nextTimer_ = 1;
    std::vector<std::unique_ptr<Protocol>> protocols_;
    std::vector<PROTOCOLDESCRIPTOR*> descriptors_;
};

// A dialog the host built from a dialog resource, run by its procedure.
class FakeDialog {
public:
    FakeDialog(const DIALOGRESOURCE& resource, DLGPROC proc);

    HWND Handle() { return &window_; }
    INT_PTR Send(UINT msg, WPARAM wParam, LPARAM lParam);
    INT_PTR Init() { return Send(WM_INITDIALOG, 0, 0); }
    INT_PTR Notify(UINT code);

    std::string Text(int id) const { return items_.at(id).text; }
    void SetText(int id, const std::string& text) { items_.at(id).text = text; }
    UINT Check(int id) const { return items_.at(id).check; }
    void SetCheck(int id, UINT check) { items_.at(id).check = check; }

private:
    struct Item {
        std::string text;
        UINT check = BST_UNCHECKED;
    };
    static FakeDialog& Of(HWND dlg) { return *static_cast<FakeDialog*>(dlg->hostData); }
    static int SetItemInt(HWND dlg, int id, UINT value, int isSigned);
    static UINT GetItemInt(HWND dlg, int id, int* translated, int isSigned);
    static int CheckButton(HWND dlg, int id, UINT check);
    static UINT IsButtonChecked(HWND dlg, int id);

    static const DIALOGOPS kOps;
    DIALOGWINDOW window_{};
    DLGPROC proc_;
    std::map<int, Item> items_;
};

}  // namespace pernot_test
