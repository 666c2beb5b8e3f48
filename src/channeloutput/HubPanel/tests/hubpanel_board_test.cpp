// HubPanel's board checks: boards the driver cannot run on are refused, the
// onboard sound module is unloaded with the module tools (fixed arguments, no
// shell, only on a Pi), and one that stays loaded sets the host's reboot flag and
// raises the warning.
#include "host/core/Settings.h"
#include "host/core/Warnings.h"
#include "HubPanelBoard.h"
#include "HubPanelOutput.h"
#include "HubPanelTestSupport.h"
#include "LogCapture.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

using namespace hubpaneltest;

namespace {

const char* const SOUND_WARNING = "HubPanel cannot run with snd_bcm2835 enabled.   Please reboot.";
const std::string SND_LOADED = "snd_bcm2835 28672 1 - Live 0x0000000000000000\n"
                               "spidev 20480 0 - Live 0x0000000000000000\n";
const std::string SND_GONE = "spidev 20480 0 - Live 0x0000000000000000\n"
                             "snd_dummy 20480 0 - Live 0x0000000000000000\n";

// What the fake module tools saw, and what they do to the fake board.
std::vector<std::vector<std::string>> g_commands;
FakeBoard* g_board = nullptr;
bool g_unloadWorks = true;

bool fakeTools(const std::vector<std::string>& argv, std::string& error) {
    g_commands.push_back(argv);
    if (argv[0] == "/sbin/rmmod") {
        if (!g_unloadWorks) {
            error = "exited with status 1";
            return false;
        }
        g_board->setModules(SND_GONE);
    }
    return true;
}

bool hasWarning(const std::string& text) {
    auto w = WarningHolder::GetWarnings();
    return std::find(w.begin(), w.end(), text) != w.end();
}

std::string onePanel() {
    return config(panel(0, 0, "N", 0, 0));
}

class HubPanelBoardTest : public ::testing::Test {
protected:
    void SetUp() override {
        WarningHolder::ClearWarnings();
        setSetting("rebootFlag", "0");
        g_commands.clear();
        g_board = &board;
        g_unloadWorks = true;
    }
    void TearDown() override { g_board = nullptr; }

    int init(HubPanelOutput& o, const std::string& text) {
        o.SetCommandRunner(fakeTools);
        return o.Init(parse(text));
    }

    FakeBoard board;
    LogCapture log{LOG_DEBUG};
};

} // namespace

TEST_F(HubPanelBoardTest, APi5ClassBoardIsRefusedWithItsName) {
    for (const char* model : {"Raspberry Pi 5 Model B Rev 1.0", "Raspberry Pi Compute Module 5 Rev 1.0"}) {
        log.clear();
        board.setModel(model);
        board.setModules(SND_LOADED);
        HubPanelOutput o(0, 0);
        EXPECT_EQ(0, init(o, onePanel())) << model;
        EXPECT_EQ(nullptr, o.GetDriver());
        EXPECT_TRUE(log.contains(std::string("the panel driver cannot drive HUB75 panels on this board (") +
                                 model + ")"))
            << log.text();
        EXPECT_TRUE(g_commands.empty()) << "nothing is done to a board the output cannot use";
        EXPECT_NE(0, o.Close());
    }
}

TEST_F(HubPanelBoardTest, OtherBoardsAndNoModelFilePass) {
    for (const char* model :
         {"Raspberry Pi 4 Model B Rev 1.4", "Raspberry Pi 3 Model B Plus Rev 1.3", "Some Other Board"}) {
        board.setModel(model);
        HubPanelOutput o(0, 0);
        EXPECT_NE(0, init(o, onePanel())) << model << "\n" << log.text();
        o.Close();
    }
    remove(board.modelPath().c_str());
    HubPanelOutput o(0, 0);
    EXPECT_NE(0, init(o, onePanel())) << log.text();
    o.Close();
    EXPECT_TRUE(g_commands.empty());
}

TEST_F(HubPanelBoardTest, TheSoundModuleIsUnloadedWithFixedArgumentsAndTheOutputStarts) {
    board.setModules(SND_LOADED);
    HubPanelOutput o(0, 0);
    EXPECT_NE(0, init(o, onePanel())) << log.text();
    ASSERT_EQ(2u, g_commands.size());
    EXPECT_EQ((std::vector<std::string>{"/sbin/rmmod", "snd_bcm2835"}), g_commands[0]);
    EXPECT_EQ((std::vector<std::string>{"/sbin/modprobe", "snd_dummy"}), g_commands[1]);
    EXPECT_TRUE(log.contains("snd_bcm2835 is loaded, attempting to unload.")) << log.text();
    EXPECT_FALSE(hasWarning(SOUND_WARNING));
    EXPECT_EQ("0", getSetting("rebootFlag"));
    o.Close();
}

TEST_F(HubPanelBoardTest, ASoundModuleThatStaysSetsTheRebootFlagAndWarns) {
    board.setModules(SND_LOADED);
    g_unloadWorks = false;
    HubPanelOutput o(0, 0);
    EXPECT_EQ(0, init(o, onePanel()));
    EXPECT_EQ(nullptr, o.GetDriver());
    EXPECT_EQ(2u, g_commands.size());
    EXPECT_TRUE(log.contains("HubPanel: /sbin/rmmod snd_bcm2835 exited with status 1")) << log.text();
    EXPECT_TRUE(log.contains("snd_bcm2835 is stil loaded. Cannot proceed."));
    EXPECT_EQ("1", getSetting("rebootFlag")) << "the store tavod's /api/settings/rebootFlag reads";
    EXPECT_TRUE(hasWarning(SOUND_WARNING));
    // The user's words are the last error: tavod shows them as the reason.
    std::vector<LogLine> lines = log.lines();
    auto lastError =
        std::find_if(lines.rbegin(), lines.rend(), [](const LogLine& l) { return l.level == LOG_ERR; });
    ASSERT_NE(lines.rend(), lastError);
    EXPECT_NE(std::string::npos, lastError->text.find(SOUND_WARNING));
    EXPECT_NE(0, o.Close());
}

TEST_F(HubPanelBoardTest, TheModuleToolsRunOnlyOnAPi) {
    board.setModel("Some Other Board");
    board.setModules(SND_LOADED);
    HubPanelOutput o(0, 0);
    EXPECT_NE(0, init(o, onePanel())) << log.text();
    EXPECT_TRUE(g_commands.empty());
    o.Close();
    remove(board.modelPath().c_str());
    HubPanelOutput p(0, 0);
    EXPECT_NE(0, init(p, onePanel())) << log.text();
    EXPECT_TRUE(g_commands.empty());
    p.Close();
}

TEST_F(HubPanelBoardTest, ABadConfigurationCostsTheBoardNothing) {
    board.setModules(SND_LOADED);
    HubPanelOutput o(0, 0);
    EXPECT_EQ(0, init(o, config(panel(0, 0, "N", 0, 0), "\"brightness\": []")));
    EXPECT_TRUE(g_commands.empty());
}

TEST_F(HubPanelBoardTest, OnlyAModuleOfThatExactNameCounts) {
    EXPECT_TRUE(hubpanel::ModuleLoaded(SND_LOADED, "snd_bcm2835"));
    EXPECT_FALSE(hubpanel::ModuleLoaded(SND_GONE, "snd_bcm2835"));
    EXPECT_FALSE(hubpanel::ModuleLoaded("snd_bcm2835_extra 100 0 - Live 0x0\n", "snd_bcm2835"));
    EXPECT_FALSE(hubpanel::ModuleLoaded("xsnd_bcm2835 100 0 - Live 0x0\n", "snd_bcm2835"));
    EXPECT_TRUE(hubpanel::ModuleLoaded("a 1 0 - Live 0x0\nsnd_bcm2835 100 0 - Live 0x0", "snd_bcm2835"));
    EXPECT_FALSE(hubpanel::ModuleLoaded("", "snd_bcm2835"));
}

TEST_F(HubPanelBoardTest, BoardFilesAreReadUnderTheRootWithoutTheirTrailingNul) {
    EXPECT_EQ("/proc/device-tree/model", hubpanel::ModelPath("/"));
    EXPECT_EQ("/proc/modules", hubpanel::ModulesPath(""));
    EXPECT_EQ("/x/proc/modules", hubpanel::ModulesPath("/x"));
    std::string text;
    ASSERT_TRUE(hubpanel::ReadBoardFile(board.modelPath(), text));
    EXPECT_EQ("Raspberry Pi 4 Model B Rev 1.4", text);
    EXPECT_FALSE(hubpanel::ReadBoardFile(board.root() + "/proc/none", text));
    EXPECT_EQ("", text);
    EXPECT_TRUE(hubpanel::IsUnsupportedBoard("Raspberry Pi 5 Model B Rev 1.0"));
    EXPECT_TRUE(hubpanel::IsUnsupportedBoard("Raspberry Pi Compute Module 5 Lite Rev 1.0"));
    EXPECT_FALSE(hubpanel::IsUnsupportedBoard("Raspberry Pi 4 Model B"));
    EXPECT_FALSE(hubpanel::IsUnsupportedBoard("Raspberry Pi Compute Module 4 Rev 1.0"));
    EXPECT_FALSE(hubpanel::IsUnsupportedBoard(""));
}

// ---------------------------------------------------------------- RunProgram

TEST(HubPanelRunProgram, ASuccessfulProgramIsTrue) {
    std::string error = "stale";
    EXPECT_TRUE(hubpanel::RunProgram({"/bin/true"}, error));
    EXPECT_EQ("", error);
}

TEST(HubPanelRunProgram, TheExitStatusIsTold) {
    std::string error;
    EXPECT_FALSE(hubpanel::RunProgram({"/bin/sh", "-c", "exit 3"}, error));
    EXPECT_EQ("exited with status 3", error);
}

TEST(HubPanelRunProgram, ArgumentsArePassedAsTheyAreWithoutAShell) {
    TempDir dir;
    std::string file = dir.file("out");
    std::string error;
    // One argument holding a shell's special characters arrives as one argument.
    ASSERT_TRUE(hubpanel::RunProgram(
        {"/bin/sh", "-c", "printf '%s|' \"$@\" > \"$0\"", file, "a b", "$(x);`y`"}, error))
        << error;
    EXPECT_EQ("a b|$(x);`y`|", readFileBytes(file));
}

TEST(HubPanelRunProgram, AMissingProgramOrARelativeNameIsNotStarted) {
    std::string error;
    EXPECT_FALSE(hubpanel::RunProgram({"/no/such/rmmod", "snd_bcm2835"}, error));
    EXPECT_EQ("could not be started: No such file or directory", error);
    EXPECT_FALSE(hubpanel::RunProgram({"rmmod", "snd_bcm2835"}, error));
    EXPECT_NE(std::string::npos, error.find("absolute path")) << error;
    EXPECT_FALSE(hubpanel::RunProgram({}, error));
}

TEST(HubPanelRunProgram, AKilledProgramIsTold) {
    std::string error;
    EXPECT_FALSE(hubpanel::RunProgram({"/bin/sh", "-c", "kill -9 $$"}, error));
    EXPECT_EQ("was killed by signal 9", error);
}
