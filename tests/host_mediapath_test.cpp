// Outside names resolved into paths of the media folder: what passes, what is
// refused (".." , absolute paths, links out of the folder, control characters).
#include "host/core/Common.h"
#include "host/core/MediaPath.h"
#include "host/output/ScreenPreviewBaseOutput.h"
#include "LogCapture.h"
#include "TempDir.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

namespace {

class MediaPathTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_saved = getTavoMediaDir();
        mkdir(m_media.file("media").c_str(), 0755);
        mkdir(m_media.file("media/sequences").c_str(), 0755);
        mkdir(m_media.file("media/sequences/sub").c_str(), 0755);
        mkdir(m_media.file("media/config").c_str(), 0755);
        mkdir(m_media.file("outside").c_str(), 0755);
        writeFileBytes(m_media.file("media/sequences/show.lcsf"), "x");
        writeFileBytes(m_media.file("media/sequences/sub/deep.lcsf"), "x");
        writeFileBytes(m_media.file("media/config/settings.json"), "{}");
        writeFileBytes(m_media.file("outside/secret.lcsf"), "x");
        setTavoMediaDir(m_media.file("media"));
    }
    void TearDown() override { setTavoMediaDir(m_saved); }

    // The error of a refused name; "" when it passed.
    std::string refused(const std::string& folder, const std::string& name) {
        std::string path, error;
        if (ResolveMediaPath(folder, name, path, error)) {
            return "";
        }
        EXPECT_FALSE(error.empty());
        return error;
    }

    TempDir m_media;
    std::string m_saved;
};

} // namespace

TEST_F(MediaPathTest, AFileOfTheFolderResolvesToItsPath) {
    std::string path, error;
    ASSERT_TRUE(ResolveMediaPath("sequences", "show.lcsf", path, error)) << error;
    EXPECT_EQ(path, m_media.file("media/sequences/show.lcsf"));
    ASSERT_TRUE(ResolveMediaPath("sequences", "sub/deep.lcsf", path, error)) << error;
    EXPECT_EQ(path, m_media.file("media/sequences/sub/deep.lcsf"));
    ASSERT_TRUE(ResolveMediaPath("", "config/settings.json", path, error)) << error;
    EXPECT_EQ(path, m_media.file("media/config/settings.json"));
    // Dots that are not "..": names, not steps up.
    writeFileBytes(m_media.file("media/sequences/..show..lcsf"), "x");
    EXPECT_EQ(refused("sequences", "..show..lcsf"), "");
    EXPECT_EQ(refused("sequences", "./show.lcsf"), "");
}

TEST_F(MediaPathTest, AMissingFilePassesForTheCallerToReport) {
    std::string path, error;
    ASSERT_TRUE(ResolveMediaPath("sequences", "missing.lcsf", path, error)) << error;
    EXPECT_EQ(path, m_media.file("media/sequences/missing.lcsf"));
    EXPECT_FALSE(FileExists(path));
    ASSERT_TRUE(ResolveMediaPath("sequences", "nodir/missing.lcsf", path, error)) << error;
}

TEST_F(MediaPathTest, StepsUpAndAbsolutePathsAreRefused) {
    EXPECT_NE(refused("sequences", "../config/settings.json").find(".."), std::string::npos);
    EXPECT_NE(refused("sequences", "sub/../../config/settings.json"), "");
    EXPECT_NE(refused("sequences", ".."), "");
    EXPECT_NE(refused("sequences", "sub/.."), "");
    EXPECT_NE(refused("sequences", "../../outside/secret.lcsf"), "");
    EXPECT_NE(refused("sequences", m_media.file("outside/secret.lcsf")).find("absolute"), std::string::npos);
    EXPECT_NE(refused("sequences", "/etc/passwd"), "");
    // Even a step up that would land back inside is refused: names do not climb.
    EXPECT_NE(refused("sequences", "sub/../show.lcsf"), "");
}

TEST_F(MediaPathTest, EmptyLongAndControlCharacterNamesAreRefused) {
    EXPECT_NE(refused("sequences", "").find("empty"), std::string::npos);
    EXPECT_NE(refused("sequences", std::string(MEDIA_NAME_MAX + 1, 'a')).find("longer"), std::string::npos);
    EXPECT_EQ(refused("sequences", std::string(200, 'a')), ""); // long but fine (missing)
    EXPECT_NE(refused("sequences", std::string("show.lcsf\0/../x", 15)).find("control"), std::string::npos);
    EXPECT_NE(refused("sequences", "show.lcsf\n"), "");
    EXPECT_NE(refused("sequences", "a\rb"), "");
    EXPECT_NE(refused("sequences", "a\x7f"), "");
}

TEST_F(MediaPathTest, SymbolicLinksOutOfTheFolderAreRefused) {
    ASSERT_EQ(symlink(m_media.file("outside/secret.lcsf").c_str(),
                      m_media.file("media/sequences/link.lcsf").c_str()),
              0);
    ASSERT_EQ(symlink(m_media.file("outside").c_str(), m_media.file("media/sequences/dirlink").c_str()), 0);
    ASSERT_EQ(symlink("../config", m_media.file("media/sequences/cfg").c_str()), 0);
    EXPECT_NE(refused("sequences", "link.lcsf").find("symbolic link"), std::string::npos);
    EXPECT_NE(refused("sequences", "dirlink/secret.lcsf"), "");
    // Out of the sequences folder, even into the media folder's configuration.
    EXPECT_NE(refused("sequences", "cfg/settings.json"), "");
    // The target is not told: the error may go back to whoever sent the name.
    EXPECT_EQ(refused("sequences", "link.lcsf").find("outside/secret"), std::string::npos);
}

TEST_F(MediaPathTest, LinksThatStayInsideAndALinkedFolderPass) {
    ASSERT_EQ(symlink("show.lcsf", m_media.file("media/sequences/alias.lcsf").c_str()), 0);
    ASSERT_EQ(symlink("sub", m_media.file("media/sequences/subalias").c_str()), 0);
    EXPECT_EQ(refused("sequences", "alias.lcsf"), "");
    EXPECT_EQ(refused("sequences", "subalias/deep.lcsf"), "");
    // The folder itself may live elsewhere (sequences on a stick): what it holds is inside it.
    ASSERT_EQ(symlink(m_media.file("outside").c_str(), m_media.file("media/effects").c_str()), 0);
    std::string path, error;
    ASSERT_TRUE(ResolveMediaPath("effects", "secret.lcsf", path, error)) << error;
    EXPECT_EQ(path, m_media.file("media/effects/secret.lcsf"));
}

TEST_F(MediaPathTest, TheFolderItselfIsNotAFile) {
    EXPECT_NE(refused("sequences", ".").find("folder itself"), std::string::npos);
    EXPECT_NE(refused("sequences", "sub/.."), "");
    EXPECT_NE(refused("sequences", "./"), "");
}

TEST_F(MediaPathTest, ShellCharactersAreOnlyCharactersOfAName) {
    // Nothing is run: the name is looked up as it stands and found missing.
    const std::string marker = m_media.file("ran");
    for (const std::string& name :
         {"$(touch " + marker + ")", "`touch " + marker + "`", "x; touch " + marker, "x | touch " + marker}) {
        std::string path, error;
        // Names with a slash inside climb nowhere: they are missing sub-folders.
        ResolveMediaPath("sequences", name, path, error);
        EXPECT_FALSE(FileExists(marker)) << name;
    }
    std::string path, error;
    ASSERT_TRUE(ResolveMediaPath("sequences", "a;b&c|d$(e)`f`", path, error)) << error;
    EXPECT_EQ(path, m_media.file("media/sequences/a;b&c|d$(e)`f`"));
}

namespace {

class LayoutPreview : public ScreenPreviewBaseOutput {
public:
    using ScreenPreviewBaseOutput::ScreenPreviewBaseOutput;
    int SendData(unsigned char*) override { return (int)m_channelCount; }
};

} // namespace

TEST_F(MediaPathTest, APreviewsLayoutFileLinkedOutOfTheMediaFolderIsRefused) {
    const std::string pixels = R"([{"x": 0, "y": 0, "channel": 1}])";
    writeFileBytes(m_media.file("outside/layout.json"), pixels);
    writeFileBytes(m_media.file("media/config/layout.json"), pixels);
    ASSERT_EQ(
        symlink(m_media.file("outside/layout.json").c_str(), m_media.file("media/config/away.json").c_str()),
        0);
    Json::Value config;
    config["layout"]["type"] = "pixels";
    config["layout"]["file"] = "config/away.json";
    {
        LogCapture log;
        LayoutPreview out(0, 3);
        EXPECT_EQ(out.Init(config), 0);
        EXPECT_TRUE(log.contains("must be a path inside the media folder: the name leads outside"))
            << log.text();
    }
    config["layout"]["file"] = "config/layout.json";
    LayoutPreview inside(0, 3);
    EXPECT_EQ(inside.Init(config), 1);
}
