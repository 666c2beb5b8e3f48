// The engine opens sequences and effects only inside their folders of the media
// folder: names with "..", absolute names and links out of the folder open nothing.
#include "SequenceFixture.h"

#include "LogCapture.h"

#include <unistd.h>

namespace {

class SequencePaths : public SequenceFixture {
protected:
    void SetUp() override {
        SequenceFixture::SetUp();
        mkdir(outside.file("seq").c_str(), 0755);
        TestSequenceOptions o;
        o.channels = 128;
        o.frames = 20;
        o.stepTime = 50;
        ASSERT_TRUE(writeTestSequence(outside.file("seq/secret.lcsf"), o));
        ASSERT_TRUE(
            writeEffectFile(outside.file("seq/secret.eseq"), 1, 10, 5, [](uint32_t, uint32_t) { return 7; }));
    }

    // Opening `name` fails, opens nothing and says why (the log shows `shown`: a
    // name with a NUL is printed up to it).
    void expectRefused(const std::string& name, std::string shown = "") {
        if (shown.empty()) {
            shown = name;
        }
        LogCapture log;
        EXPECT_EQ(seq->OpenSequenceFile(name, 0, -1), 0) << name;
        EXPECT_EQ(seq->seqFile.load(), nullptr) << name;
        EXPECT_EQ(seq->GetSequenceName(), "") << name;
        EXPECT_TRUE(log.contains("Sequence name '" + shown + "' refused")) << log.text();
    }

    TempDir outside;
};

} // namespace

TEST_F(SequencePaths, StepsUpAbsoluteNamesAndControlCharactersOpenNothing) {
    expectRefused("../../" + outside.path().substr(1) + "/seq/secret.lcsf");
    expectRefused(outside.file("seq/secret.lcsf"));
    expectRefused("../config/commandPresets.json");
    makeSequence("show.lcsf", 20);
    expectRefused(std::string("show.lcsf\0x", 11), "show.lcsf");
    expectRefused("show.lcsf\n", "show.lcsf\n");
}

TEST_F(SequencePaths, ALinkOutOfTheFolderOpensNothing) {
    ASSERT_EQ(symlink(outside.file("seq/secret.lcsf").c_str(), dir.file("sequences/link.lcsf").c_str()), 0);
    ASSERT_EQ(symlink(outside.file("seq").c_str(), dir.file("sequences/away").c_str()), 0);
    expectRefused("link.lcsf");
    expectRefused("away/secret.lcsf");
    // A link that stays inside plays.
    makeSequence("show.lcsf", 20);
    ASSERT_EQ(symlink("show.lcsf", dir.file("sequences/alias.lcsf").c_str()), 0);
    EXPECT_EQ(seq->OpenSequenceFile("alias.lcsf", 0, -1), 1);
}

TEST_F(SequencePaths, AHostNameSettingCannotLeadOutOfTheFolder) {
    // Run mode 8 looks for NAME-HOST.lcsf; the host name is a setting anyone on the API may change.
    makeSequence("show.lcsf", 20, 25);
    mkdir(dir.file("sequences/show-").c_str(), 0755);
    // Enough steps up from sequences/show-/ to reach the root, wherever the folder is.
    std::string up = "/";
    for (int i = 0; i < 32; i++) {
        up += "../";
    }
    up += outside.path().substr(1) + "/seq/secret";
    setSetting("HostName", up);
    ASSERT_TRUE(FileExists(dir.file("sequences/show-" + up + ".lcsf")));
    setTavomode(TAVO_MODE_REMOTE);
    LogCapture log;
    ASSERT_EQ(seq->OpenSequenceFile("show.lcsf", 0, -1), 1);
    EXPECT_TRUE(log.contains("Host-specific sequence")) << log.text();
    EXPECT_EQ(seq->seqStepTime, 25) << "the folder's own file plays, not the one outside";
}

TEST_F(SequencePaths, EffectsOpenOnlyInsideTheirFolder) {
    LogCapture log;
    EXPECT_EQ(StartEffect("../../" + outside.path().substr(1) + "/seq/secret", 0, 0, false), -1);
    EXPECT_EQ(StartEffect(outside.file("seq/secret.eseq"), 0, 0, false), -1);
    ASSERT_EQ(symlink(outside.file("seq/secret.eseq").c_str(), dir.file("effects/link.eseq").c_str()), 0);
    EXPECT_EQ(StartEffect("link", 0, 0, false), -1);
    EXPECT_EQ(StartEffect("link.eseq", 0, 0, false), -1);
    EXPECT_TRUE(log.contains("Effect name \"link\" refused")) << log.text();
    EXPECT_FALSE(IsEffectRunning());
    // One inside runs.
    ASSERT_TRUE(
        writeEffectFile(dir.file("effects/glow.eseq"), 1, 10, 5, [](uint32_t, uint32_t) { return 9; }));
    EXPECT_GT(StartEffect("glow", 0, 0, false), 0);
}
