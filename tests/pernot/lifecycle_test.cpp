// Information record, Load and Unload.
#include <cstring>

#include "tests/pernot/fixture.h"

namespace pernot_test {
namespace {

using Calls = std::vector<std::string>;

TEST_F(PernotTest, InformationRecord) {
    const PLUGININFO* info = lib.info(0);
    ASSERT_NE(info, nullptr);
    EXPECT_EQ(info->cbSize, static_cast<int>(sizeof(PLUGININFO)));
    EXPECT_STREQ(info->shortName, "Pernet");
    EXPECT_EQ(info->version, 0x00020102u);
    EXPECT_STREQ(info->description, "Plugin try to restore connection automatically.");
    for (const char* text : {info->author, info->authorEmail, info->copyright, info->homepage}) {
        ASSERT_NE(text, nullptr);
        EXPECT_GT(std::strlen(text), 0u);
    }
    EXPECT_EQ(info->isTransient, 0);
    EXPECT_EQ(info->replacesDefaultModule, 0);
}

TEST_F(PernotTest, LoadWithoutSettingsUsesDefaultsQuietly) {
    Load();
    EXPECT_EQ(TimerInterval(), 20000u);
    EXPECT_TRUE(host.messageBoxes.empty());
    EXPECT_EQ(host.HookCount(ME_OPT_INITIALISE), 1u);
    EXPECT_EQ(host.HookCount(ME_CLIST_STATUSMODECHANGE), 1u);
    EXPECT_EQ(host.CallsStartingWith(MS_DB_CONTACT_GETSETTING),
              (Calls{"DB/Contact/GetSetting(Pernot/iTimeOut)", "DB/Contact/GetSetting(Pernot/iDebugMsg)"}));
    EXPECT_TRUE(host.CallsStartingWith(MS_DB_CONTACT_WRITESETTING).empty());
}

TEST_F(PernotTest, LoadUsesAnyPositiveStoredInterval) {
    for (DWORD stored : {1u, 500u, 999u, 1000u, 5000u, 600000u}) {
        host.StoreDword("iTimeOut", stored);
        Load();
        EXPECT_EQ(TimerInterval(), stored);
        Unload();
    }
}

TEST_F(PernotTest, LoadReplacesIntervalsOfZeroOrBelow) {
    // 0 is what the options page stores for text that is not a number.
    for (DWORD stored : {0u, static_cast<DWORD>(-5), 0x80000000u}) {
        host.StoreDword("iTimeOut", stored);
        Load();
        EXPECT_EQ(TimerInterval(), 20000u) << stored;
        Unload();
        // The interval in use is what gets written back.
        EXPECT_EQ(host.settings["Pernot/iTimeOut"].value, 20000u);
    }
}

TEST_F(PernotTest, SettingsStoredAsAnotherTypeAreLeftForTheDefaults) {
    // A byte (1) and a word (2) setting under our names, as another plug-in or an old
    // version might leave them: their values are not numbers of ours.
    host.settings["Pernot/iTimeOut"] = {1, 5000};
    host.settings["Pernot/iDebugMsg"] = {2, 1};
    Load();
    EXPECT_EQ(TimerInterval(), 20000u);
    EXPECT_TRUE(host.messageBoxes.empty());
    Unload();
    EXPECT_EQ(host.settings["Pernot/iTimeOut"].type, DBVT_DWORD);
    EXPECT_EQ(host.settings["Pernot/iTimeOut"].value, 20000u);
}

TEST_F(PernotTest, DebugLoadShowsTwoBoxesAroundTimerStart) {
    host.StoreDword("iDebugMsg", 1);
    Load();
    EXPECT_EQ(host.CallsStartingWith("Host/"),
              (Calls{"Host/MessageBox(Pernot:Try to reconnect.|Pernot:Debug)", "Host/SetTimer(20000)",
                     "Host/MessageBox(Pernot:Loaded succefully.|Pernot:Debug)"}));
}

TEST_F(PernotTest, UnloadStoresSettingsThenStopsTimerAndUnhooks) {
    host.StoreDword("iTimeOut", 7000);
    host.StoreDword("iDebugMsg", 1);
    Load();
    host.settings.clear();
    host.ClearRecords();
    Unload();
    EXPECT_EQ(host.calls, (Calls{"DB/Contact/WriteSetting(Pernot/iTimeOut=7000)",
                                 "DB/Contact/WriteSetting(Pernot/iDebugMsg=1)",
                                 "Host/MessageBox(Pernot:Unloaded succefully.|Pernot:Debug)",
                                 "Host/KillTimer(1)", "unhook Opt/Initialise",
                                 "unhook CList/StatusModeChange"}));
    EXPECT_EQ(host.settings["Pernot/iTimeOut"].type, DBVT_DWORD);
    EXPECT_EQ(host.settings["Pernot/iDebugMsg"].type, DBVT_DWORD);
    EXPECT_TRUE(host.timers.empty());
    // A timer message still queued after Unload does nothing.
    host.globalStatus = ID_STATUS_OFFLINE;
    host.ClearRecords();
    host.Tick();
    EXPECT_TRUE(host.calls.empty());
}

TEST_F(PernotTest, UnloadWithoutDebugShowsNothing) {
    Load();
    Unload();
    EXPECT_TRUE(host.messageBoxes.empty());
    EXPECT_EQ(host.settings["Pernot/iTimeOut"].value, 20000u);
    EXPECT_EQ(host.settings["Pernot/iDebugMsg"].value, 0u);
}

TEST_F(PernotTest, UnloadWithoutLoadDoesNothing) {
    Unload();
    EXPECT_TRUE(host.calls.empty());
}

TEST_F(PernotTest, SecondLoadReplacesTimerAndHooks) {
    Load();
    Load();
    EXPECT_EQ(host.timers.size(), 1u);
    EXPECT_EQ(host.HookCount(ME_OPT_INITIALISE), 1u);
    EXPECT_EQ(host.HookCount(ME_CLIST_STATUSMODECHANGE), 1u);
}

}  // namespace
}  // namespace pernot_test
