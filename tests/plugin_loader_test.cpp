// The plug-in loader: a folder of good and bad libraries, each bad one named with its reason.
#include "PluginLoader.h"

#include "LogCapture.h"
#include "TempDir.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include <dirent.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

const std::string customUDP = std::string(TAVO_PLUGIN_DIR) + "/CustomUDP.so";
const std::string fixtures = TAVO_FIXTURE_PLUGIN_DIR;

void copyFile(const std::string& from, const std::string& to) {
    std::string bytes = readFileBytes(from);
    ASSERT_FALSE(bytes.empty()) << "missing " << from;
    writeFileBytes(to, bytes);
}

// The one error line that mentions `file`, or "" when there is not exactly one.
std::string errorFor(const PluginLoader& loader, const std::string& file) {
    std::string found;
    int n = 0;
    for (const std::string& e : loader.GetErrors()) {
        if (e.find(file) != std::string::npos) {
            found = e;
            n++;
        }
    }
    return n == 1 ? found : "";
}

} // namespace

TEST(PluginLoader, LoadsTheGoodAndNamesEveryBadLibraryWithItsReason) {
    TempDir dir;
    copyFile(customUDP, dir.file("CustomUDP.so"));
    copyFile(fixtures + "/NoEntryPlugin.so", dir.file("NoEntryPlugin.so"));
    copyFile(fixtures + "/NullPlugin.so", dir.file("NullPlugin.so"));
    copyFile(fixtures + "/NotAnOutputPlugin.so", dir.file("NotAnOutputPlugin.so"));
    writeFileBytes(dir.file("garbage.so"), "this is not a shared library");
    writeFileBytes(dir.file("README.txt"), "not a plug-in, not even looked at");
    copyFile(customUDP, dir.file("zz_CustomUDP_copy.so"));

    LogCapture log;
    PluginLoader loader;
    EXPECT_EQ(loader.LoadPluginDir(dir.path()), 2);

    EXPECT_EQ(loader.GetChannelOutputTypes(), std::vector<std::string>{"CustomUDP"});
    ASSERT_NE(loader.GetPlugin("Listener"), nullptr) << "a plug-in without outputs still loads";
    EXPECT_EQ(loader.GetChannelOutputPlugin("Listener"), nullptr);
    ASSERT_NE(loader.GetChannelOutputPlugin("CustomUDP"), nullptr);
    EXPECT_EQ(loader.GetPlugin("Nothing"), nullptr);

    EXPECT_EQ(loader.GetErrors().size(), 4u) << log.text();
    std::string e = errorFor(loader, dir.file("NoEntryPlugin.so"));
    EXPECT_NE(e.find("has no createPlugin entry point"), std::string::npos) << e;
    EXPECT_NE(e.find("undefined symbol: createPlugin"), std::string::npos) << "dlerror() text: " << e;

    e = errorFor(loader, dir.file("NullPlugin.so"));
    EXPECT_NE(e.find("createPlugin returned no plug-in"), std::string::npos) << e;

    e = errorFor(loader, dir.file("garbage.so"));
    EXPECT_NE(e.find("Could not load plug-in " + dir.file("garbage.so") + ": "), std::string::npos) << e;
    EXPECT_NE(e.find("garbage.so: "), e.rfind("garbage.so: ")) << "dlerror() names the file again: " << e;

    e = errorFor(loader, dir.file("zz_CustomUDP_copy.so"));
    EXPECT_NE(e.find("the name \"CustomUDP\" is already taken by " + dir.file("CustomUDP.so")),
              std::string::npos)
        << e;

    EXPECT_EQ(errorFor(loader, "README.txt"), "");
    // every failure went to the log as well
    for (const std::string& err : loader.GetErrors()) {
        EXPECT_TRUE(log.contains(err)) << err;
    }
}

TEST(PluginLoader, MissingFolderIsAnErrorWithTheReason) {
    LogCapture log;
    PluginLoader loader;
    EXPECT_EQ(loader.LoadPluginDir("/nonexistent/plugins"), 0);
    ASSERT_EQ(loader.GetErrors().size(), 1u);
    EXPECT_EQ(loader.GetErrors()[0],
              "Could not read the plug-in folder /nonexistent/plugins: No such file or directory");
    EXPECT_TRUE(loader.GetChannelOutputTypes().empty());
}

TEST(PluginLoader, AFolderThatOpensButCannotBeReadIsAnErrorWithTheReason) {
    // A child that has exited and is not yet reaped keeps its /proc folder; its net/
    // opens, but listing it fails, as the child has no network left: a real read error.
    pid_t child = fork();
    ASSERT_GE(child, 0) << strerror(errno);
    if (child == 0) {
        _exit(0);
    }
    siginfo_t info;
    ASSERT_EQ(0, waitid(P_PID, child, &info, WEXITED | WNOWAIT)) << strerror(errno);
    const std::string dir = "/proc/" + std::to_string(child) + "/net";
    int readError = 0;
    if (DIR* d = opendir(dir.c_str())) {
        errno = 0;
        readError = readdir(d) ? 0 : errno;
        closedir(d);
    }

    LogCapture log;
    PluginLoader loader;
    int loaded = readError ? loader.LoadPluginDir(dir) : 0;
    waitpid(child, nullptr, 0);
    if (!readError) {
        GTEST_SKIP() << "this kernel lists " << dir << " of an exited child without an error";
    }
    EXPECT_EQ(loaded, 0);
    ASSERT_EQ(loader.GetErrors().size(), 1u) << log.text();
    EXPECT_EQ(loader.GetErrors()[0], "Could not read the plug-in folder " + dir + ": " + strerror(readError));
    EXPECT_TRUE(log.contains(loader.GetErrors()[0])) << log.text();
}

TEST(PluginLoader, UnloadForgetsEveryPlugin) {
    PluginLoader loader;
    ASSERT_TRUE(loader.LoadPlugin(customUDP));
    EXPECT_FALSE(loader.LoadPlugin(customUDP)) << "the same library twice is a duplicate name";
    loader.UnloadAll();
    EXPECT_EQ(loader.GetPlugin("CustomUDP"), nullptr);
    EXPECT_TRUE(loader.GetChannelOutputTypes().empty());
    // and it can load again afterwards
    EXPECT_TRUE(loader.LoadPlugin(customUDP));
}
