// Remembering statuses and restoring them at the timer tick.
#include "tests/pernot/fixture.h"

namespace pernot_test {
namespace {

using Calls = std::vector<std::string>;

class PernotReconnectTest : public PernotTest {
protected:
    void TickAfterClearing() {
        host.ClearRecords();
        host.Tick();
    }
    // The user (or the connection) changes the global status.
    void StatusChange(int status) {
        host.globalStatus = status;
        EXPECT_EQ(host.Fire(ME_CLIST_STATUSMODECHANGE, status, 0), 0);
    }
    Calls GlobalSets() const { return host.CallsStartingWith(MS_CLIST_SETSTATUSMODE); }
    Calls ProtocolSets(const std::string& name) const {
        return host.CallsStartingWith(name + PS_SETSTATUS);
    }
};

TEST_F(PernotReconnectTest, ClientStartedOfflineGoesOnlineAtFirstTick) {
    host.globalStatus = ID_STATUS_OFFLINE;
    Load();
    TickAfterClearing();
    EXPECT_EQ(GlobalSets(), (Calls{"CList/SetStatusMode(40072)"}));
    EXPECT_EQ(host.globalStatus, ID_STATUS_ONLINE);
    TickAfterClearing();
    EXPECT_TRUE(GlobalSets().empty());
}

TEST_F(PernotReconnectTest, OfflineChosenByUserTurnsOnline) {
    Load();
    StatusChange(ID_STATUS_OFFLINE);
    TickAfterClearing();
    EXPECT_EQ(GlobalSets(), (Calls{"CList/SetStatusMode(40072)"}));
}

TEST_F(PernotReconnectTest, AwayStaysAwayAndIsRestoredAsAway) {
    Load();
    StatusChange(kAway);
    TickAfterClearing();
    EXPECT_TRUE(GlobalSets().empty());
    host.globalStatus = ID_STATUS_OFFLINE;  // the connection drops
    TickAfterClearing();
    EXPECT_EQ(GlobalSets(), (Calls{"CList/SetStatusMode(40073)"}));
}

TEST_F(PernotReconnectTest, TickRemembersGlobalStatusItSees) {
    Load();
    host.globalStatus = kAway;  // changed without the event
    TickAfterClearing();
    host.globalStatus = ID_STATUS_OFFLINE;
    TickAfterClearing();
    EXPECT_EQ(GlobalSets(), (Calls{"CList/SetStatusMode(40073)"}));
}

TEST_F(PernotReconnectTest, GlobalConnectingIsNeitherRestoredNorRemembered) {
    Load();
    StatusChange(kAway);
    host.globalStatus = ID_STATUS_CONNECTING;
    TickAfterClearing();
    EXPECT_TRUE(GlobalSets().empty());
    host.globalStatus = ID_STATUS_OFFLINE;
    TickAfterClearing();
    EXPECT_EQ(GlobalSets(), (Calls{"CList/SetStatusMode(40073)"}));
}

TEST_F(PernotReconnectTest, ProtocolNeverRecordedAndOfflineIsSetOnline) {
    host.AddProtocol("ICQ", ID_STATUS_OFFLINE);
    Load();
    TickAfterClearing();
    EXPECT_EQ(ProtocolSets("ICQ"), (Calls{"ICQ/SetStatus(40072)"}));
    EXPECT_TRUE(host.messageBoxes.empty());
}

TEST_F(PernotReconnectTest, ProtocolFirstRecordedOfflineIsSetOnline) {
    host.AddProtocol("ICQ", ID_STATUS_OFFLINE);
    Load();
    StatusChange(ID_STATUS_ONLINE);
    TickAfterClearing();
    EXPECT_EQ(ProtocolSets("ICQ"), (Calls{"ICQ/SetStatus(40072)"}));
}

TEST_F(PernotReconnectTest, ProtocolsAreRestoredToTheirOwnStatus) {
    host.AddProtocol("ICQ", kAway);
    host.AddProtocol("MSN", 40074);
    host.AddProtocol("JABBER", ID_STATUS_ONLINE);
    Load();
    StatusChange(ID_STATUS_ONLINE);
    for (const char* name : {"ICQ", "MSN", "JABBER"}) host.Proto(name).status = ID_STATUS_OFFLINE;
    TickAfterClearing();
    EXPECT_EQ(host.CallsStartingWith("ICQ/"), (Calls{"ICQ/GetStatus", "ICQ/SetStatus(40073)"}));
    EXPECT_EQ(ProtocolSets("MSN"), (Calls{"MSN/SetStatus(40074)"}));
    EXPECT_EQ(ProtocolSets("JABBER"), (Calls{"JABBER/SetStatus(40072)"}));
    TickAfterClearing();
    EXPECT_TRUE(host.CallsStartingWith("ICQ/SetStatus").empty());
}

TEST_F(PernotReconnectTest, ProtocolSwitchedOffIsLeftOfflineUntilSwitchedOnAgain) {
    host.AddProtocol("ICQ", ID_STATUS_OFFLINE);
    host.AddProtocol("MSN", ID_STATUS_OFFLINE);
    host.StoreDword("iRestore_ICQ", 0);
    host.StoreDword("iRestore_MSN", 1);
    Load();
    TickAfterClearing();
    EXPECT_TRUE(ProtocolSets("ICQ").empty());
    EXPECT_EQ(ProtocolSets("MSN"), (Calls{"MSN/SetStatus(40072)"}));
    host.StoreDword("iRestore_ICQ", 1);
    TickAfterClearing();
    EXPECT_EQ(ProtocolSets("ICQ"), (Calls{"ICQ/SetStatus(40072)"}));
}

TEST_F(PernotReconnectTest, ProtocolConnectingIsNeitherRestoredNorRemembered) {
    host.AddProtocol("ICQ", kAway);
    Load();
    StatusChange(ID_STATUS_ONLINE);
    host.Proto("ICQ").status = ID_STATUS_CONNECTING;
    TickAfterClearing();
    EXPECT_TRUE(ProtocolSets("ICQ").empty());
    host.Proto("ICQ").status = ID_STATUS_OFFLINE;
    TickAfterClearing();
    EXPECT_EQ(ProtocolSets("ICQ"), (Calls{"ICQ/SetStatus(40073)"}));
    // A status change seen while the account is still connecting keeps the last real status.
    host.Proto("ICQ").status = ID_STATUS_CONNECTING;
    StatusChange(ID_STATUS_ONLINE);
    host.Proto("ICQ").status = ID_STATUS_OFFLINE;
    TickAfterClearing();
    EXPECT_EQ(ProtocolSets("ICQ"), (Calls{"ICQ/SetStatus(40073)"}));
}

TEST_F(PernotReconnectTest, DebugBoxForEachProtocolRestored) {
    host.StoreDword("iDebugMsg", 1);
    host.globalStatus = ID_STATUS_OFFLINE;
    host.AddProtocol("ICQ", ID_STATUS_OFFLINE);
    host.AddProtocol("MSN", ID_STATUS_ONLINE);
    host.AddProtocol("AIM", ID_STATUS_OFFLINE);
    Load();
    TickAfterClearing();
    ASSERT_EQ(host.messageBoxes.size(), 2u);
    for (const auto& box : host.messageBoxes) {
        EXPECT_EQ(box.text, "Pernot: Try to reconnect.");
        EXPECT_EQ(box.caption, "Pernot: Debug");
    }
}

TEST_F(PernotReconnectTest, ProtocolNameThatDoesNotFitIsSkipped) {
    const std::string fits(53, 'a');
    const std::string tooLong(54, 'b');
    host.AddProtocol(tooLong, ID_STATUS_OFFLINE);
    host.AddProtocol(fits, ID_STATUS_OFFLINE);
    Load();
    StatusChange(ID_STATUS_ONLINE);
    TickAfterClearing();
    EXPECT_TRUE(host.CallsStartingWith(tooLong).empty());
    EXPECT_EQ(ProtocolSets(fits), (Calls{fits + "/SetStatus(40072)"}));
}

TEST_F(PernotReconnectTest, ProtocolsBeyondTheHundredthAreLeftAlone) {
    for (int i = 0; i < 101; ++i) host.AddProtocol("P" + std::to_string(i), kAway);
    Load();
    StatusChange(ID_STATUS_ONLINE);
    EXPECT_TRUE(host.CallsStartingWith("P100/").empty());
    for (int i = 0; i < 101; ++i) host.Proto("P" + std::to_string(i)).status = ID_STATUS_OFFLINE;
    TickAfterClearing();
    EXPECT_EQ(ProtocolSets("P99"), (Calls{"P99/SetStatus(40073)"}));
    EXPECT_EQ(host.CallsStartingWith("P99/").size(), 2u);
    EXPECT_TRUE(host.CallsStartingWith("P100/").empty());
}

TEST_F(PernotReconnectTest, MissingProtocolListIsHarmless) {
    host.enumGivesNoList = true;
    host.globalStatus = ID_STATUS_OFFLINE;
    Load();
    StatusChange(ID_STATUS_OFFLINE);
    TickAfterClearing();
    EXPECT_EQ(GlobalSets(), (Calls{"CList/SetStatusMode(40072)"}));
}

}  // namespace
}  // namespace pernot_test
