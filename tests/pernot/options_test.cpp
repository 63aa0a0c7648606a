// The options page: its record, its dialog resource and its procedure.
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "tests/pernot/fixture.h"

namespace pernot_test {
namespace {

class PernotOptionsTest : public PernotTest {
protected:
    // Opens the options: the host adds the page and builds its dialog.
    FakeDialog& OpenPage() {
        host.Fire(ME_OPT_INITIALISE, 0x5150, 0);
        const OPTIONSDIALOGPAGE& page = host.pages.at(0).page;
        const DIALOGRESOURCE* resource = FindDialogResource(page.hInstance, page.pszTemplate);
        if (!resource) throw std::runtime_error("no dialog resource");
        dialog = std::make_unique<FakeDialog>(*resource, page.pfnDlgProc);
        return *dialog;
    }
    Setting Stored(const std::string& name) { return host.settings.at("Pernot/" + name); }

    std::unique_ptr<FakeDialog> dialog;
};

TEST_F(PernotOptionsTest, PageRecord) {
    host.translations["Pernot"] = "Pernot-tr";
    host.translations["Plugins"] = "Plugins-tr";
    Load();
    EXPECT_EQ(host.Fire(ME_OPT_INITIALISE, 0x5150, 0), 0);
    ASSERT_EQ(host.pages.size(), 1u);
    const AddedPage& added = host.pages[0];
    const OPTIONSDIALOGPAGE& page = added.page;
    EXPECT_EQ(added.wParam, 0x5150u);
    EXPECT_EQ(page.cbSize, static_cast<int>(sizeof(OPTIONSDIALOGPAGE)));
    EXPECT_EQ(page.position, 0);
    EXPECT_EQ(added.title, "Pernot-tr");
    EXPECT_EQ(added.group, "Plugins-tr");
    EXPECT_NE(page.pfnDlgProc, nullptr);
    EXPECT_EQ(page.pszTemplate, MAKEINTRESOURCE(101));
    EXPECT_NE(page.hInstance, nullptr);
    EXPECT_EQ(page.hIcon, nullptr);
    EXPECT_EQ(page.groupPosition, 0);
    EXPECT_EQ(page.hGroupIcon, nullptr);
    EXPECT_EQ(page.flags, 0u);
    EXPECT_EQ(page.nIDBottomSimpleControl, 0);
    EXPECT_EQ(page.nIDRightSimpleControl, 0);
    EXPECT_EQ(page.expertOnlyControls, nullptr);
    EXPECT_EQ(page.nExpertOnlyControls, 0);
}

TEST_F(PernotOptionsTest, DialogResource) {
    Load();
    host.Fire(ME_OPT_INITIALISE, 0, 0);
    HINSTANCE module = host.pages.at(0).page.hInstance;
    EXPECT_EQ(FindDialogResource(module, MAKEINTRESOURCE(102)), nullptr);
    const DIALOGRESOURCE* dlg = FindDialogResource(module, MAKEINTRESOURCE(101));
    ASSERT_NE(dlg, nullptr);
    EXPECT_EQ(dlg->cx, 186);
    EXPECT_EQ(dlg->cy, 95);
    EXPECT_STREQ(dlg->font, "Microsoft Sans Serif");
    EXPECT_EQ(dlg->pointSize, 8);
    EXPECT_TRUE(dlg->style & WS_CHILD);
    ASSERT_EQ(dlg->controlCount, 3);
    const DIALOGCONTROL* c = dlg->controls;
    EXPECT_EQ(c[0].windowClass, DLGCLASS_STATIC);
    EXPECT_EQ(c[0].id, IDC_STATIC);
    EXPECT_STREQ(c[0].text, "Timeout (msec):");
    EXPECT_EQ((std::vector<int>{c[0].x, c[0].y, c[0].cx, c[0].cy}), (std::vector<int>{7, 11, 52, 8}));
    EXPECT_EQ(c[1].windowClass, DLGCLASS_EDIT);
    EXPECT_EQ(c[1].id, 1001);
    EXPECT_EQ(c[1].style & (WS_BORDER | ES_AUTOHSCROLL), WS_BORDER | ES_AUTOHSCROLL);
    EXPECT_EQ((std::vector<int>{c[1].x, c[1].y, c[1].cx, c[1].cy}), (std::vector<int>{63, 9, 68, 12}));
    EXPECT_EQ(c[2].windowClass, DLGCLASS_BUTTON);
    EXPECT_EQ(c[2].id, 1002);
    EXPECT_STREQ(c[2].text, "Show debug messages");
    EXPECT_EQ(c[2].style & 0xF, BS_AUTOCHECKBOX);
    EXPECT_EQ((std::vector<int>{c[2].x, c[2].y, c[2].cx, c[2].cy}), (std::vector<int>{7, 24, 89, 10}));
}

TEST_F(PernotOptionsTest, InitialisationTranslatesAndFillsControls) {
    host.StoreDword("iTimeOut", 7000);
    host.StoreDword("iDebugMsg", 1);
    Load();
    FakeDialog& dlg = OpenPage();
    EXPECT_EQ(dlg.Init(), 1);
    ASSERT_EQ(host.translatedDialogs.size(), 1u);
    const LANGPACKTRANSLATEDIALOG& tr = host.translatedDialogs[0];
    EXPECT_EQ(tr.cbSize, static_cast<int>(sizeof(LANGPACKTRANSLATEDIALOG)));
    EXPECT_EQ(tr.flags, 0u);
    EXPECT_EQ(tr.hwndDlg, dlg.Handle());
    EXPECT_EQ(tr.ignoreControls, nullptr);
    EXPECT_EQ(dlg.Text(1001), "7000");
    EXPECT_EQ(dlg.Check(1002), static_cast<UINT>(BST_CHECKED));
}

TEST_F(PernotOptionsTest, InitialisationShowsDefaultsWithoutSettings) {
    Load();
    FakeDialog& dlg = OpenPage();
    dlg.Init();
    EXPECT_EQ(dlg.Text(1001), "20000");
    EXPECT_EQ(dlg.Check(1002), static_cast<UINT>(BST_UNCHECKED));
}

TEST_F(PernotOptionsTest, SavingStoresValuesButTimerKeepsInterval) {
    Load();
    FakeDialog& dlg = OpenPage();
    dlg.Init();
    dlg.SetText(1001, "5000");
    host.ClearRecords();
    EXPECT_EQ(dlg.Notify(PSN_APPLY), 1);
    EXPECT_EQ(Stored("iTimeOut").value, 5000u);
    EXPECT_EQ(Stored("iTimeOut").type, DBVT_DWORD);
    EXPECT_EQ(Stored("iDebugMsg").value, 0u);
    EXPECT_TRUE(host.messageBoxes.empty());
    EXPECT_TRUE(host.CallsStartingWith("Host/").empty());
    EXPECT_EQ(TimerInterval(), 20000u);
    Unload();
    Load();
    EXPECT_EQ(TimerInterval(), 5000u);
}

TEST_F(PernotOptionsTest, LeavingThePageStoresWithDebugBox) {
    Load();
    FakeDialog& dlg = OpenPage();
    dlg.Init();
    dlg.SetText(1001, "3000");
    dlg.SetCheck(1002, BST_CHECKED);
    EXPECT_EQ(dlg.Notify(PSN_KILLACTIVE), 1);
    EXPECT_EQ(Stored("iTimeOut").value, 3000u);
    EXPECT_EQ(Stored("iDebugMsg").value, 1u);
    ASSERT_EQ(host.messageBoxes.size(), 1u);
    EXPECT_EQ(host.messageBoxes[0].text, "Pernot:Your changes stored succefully.");
    EXPECT_EQ(host.messageBoxes[0].caption, "Pernot:Debug");
    // The debug switch takes effect at once.
    host.AddProtocol("ICQ", ID_STATUS_OFFLINE);
    host.messageBoxes.clear();
    host.Tick();
    EXPECT_EQ(host.messageBoxes.size(), 1u);
}

TEST_F(PernotOptionsTest, TextThatIsNotANumberStoresZeroAndNextLoadUsesDefault) {
    // A deliberate short interval is kept; only 0 and below fall back to the default.
    const std::vector<std::tuple<std::string, DWORD, unsigned>> cases = {
        {"abc", 0u, 20000u}, {"", 0u, 20000u}, {"12x", 0u, 20000u},
        {"-5", static_cast<DWORD>(-5), 20000u}, {"500", 500u, 500u}};
    for (const auto& [text, stored, used] : cases) {
        Load();
        FakeDialog& dlg = OpenPage();
        dlg.Init();
        dlg.SetText(1001, text);
        dlg.Notify(PSN_APPLY);
        EXPECT_EQ(Stored("iTimeOut").value, stored) << text;
        host.ClearRecords();
        Unload();
        Load();
        EXPECT_EQ(TimerInterval(), used) << text;
        Unload();
        host.ClearRecords();
    }
}

TEST_F(PernotOptionsTest, OtherMessagesAreNotHandled) {
    Load();
    FakeDialog& dlg = OpenPage();
    dlg.Init();
    host.ClearRecords();
    EXPECT_EQ(dlg.Notify(static_cast<UINT>(-200)), 0);  // page becoming active
    EXPECT_EQ(dlg.Send(WM_NOTIFY, 0, 0), 0);
    EXPECT_EQ(dlg.Send(0x0111, 1001, 0), 0);  // a control command
    EXPECT_TRUE(host.calls.empty());
}

}  // namespace
}  // namespace pernot_test
