// The .deb that `make package` builds: its control fields, contents and maintainer
// scripts; its programs run from where the package puts them and find their plug-ins
// and pages there; and apt installs it into a scratch root (scripts/deb-scratch-root.sh).
#include "TavodTestSupport.h"

#include <gtest/gtest.h>
#include <json/json.h>

#include <dirent.h>

#include <memory>
#include <set>
#include <sstream>

using namespace tavodtest;

namespace {

// Runs a shell command; its standard output and error, and its exit status.
std::string run(const std::string& cmd, int* status = nullptr) {
    std::string out;
    FILE* p = popen((cmd + " 2>&1").c_str(), "r");
    if (!p) {
        return out;
    }
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof(buf), p)) > 0) {
        out.append(buf, n);
    }
    int st = pclose(p);
    if (status) {
        *status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    }
    return out;
}

std::vector<std::string> pluginFiles() {
    std::vector<std::string> r;
    if (DIR* d = opendir(TAVO_PLUGIN_DIR)) {
        while (struct dirent* e = readdir(d)) {
            std::string n = e->d_name;
            if (n.size() > 3 && n.compare(n.size() - 3, 3, ".so") == 0) {
                r.push_back(n);
            }
        }
        closedir(d);
    }
    return r;
}

class DebPackageTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (access("/usr/bin/dpkg-shlibdeps", X_OK) != 0 || access("/usr/bin/cpack", X_OK) != 0) {
            GTEST_SKIP() << "dpkg-shlibdeps or cpack is missing (Debian packages dpkg-dev, cmake)";
        }
        int status = 0;
        std::string out = run("cd " + out_.path() + " && cpack -G DEB -B " + out_.path() + " --config " +
                                  TAVO_BUILD_DIR + "/CPackConfig.cmake",
                              &status);
        ASSERT_EQ(status, 0) << out;
        std::string found = run("ls " + out_.path() + "/tavo_*.deb");
        found.erase(found.find_last_not_of("\n") + 1);
        ASSERT_EQ(found.find('\n'), std::string::npos) << "one package: " << found;
        deb = found;
    }

    TempDir out_;
    std::string deb;
};

TEST_F(DebPackageTest, ControlFieldsNameTheLibrariesItLinks) {
    EXPECT_EQ(run("dpkg-deb -f " + deb + " Package"), "tavo\n");
    EXPECT_EQ(run("dpkg-deb -f " + deb + " Version"), "0.1.0\n");
    // A cross build is packaged for its board, a native one for this machine.
    const std::string arch =
        *TAVO_DEB_ARCH ? std::string(TAVO_DEB_ARCH) + "\n" : run("dpkg --print-architecture");
    EXPECT_EQ(run("dpkg-deb -f " + deb + " Architecture"), arch);
    std::string depends = run("dpkg-deb -f " + deb + " Depends");
    // Found by dpkg-shlibdeps from what the programs and plug-ins link, with versions.
    for (const char* lib : {"libc6 (>= ", "libstdc++6 (>= ", "libjsoncpp25 (>= ", "libmicrohttpd12 (>= ",
                            "libgpiod2 (>= ", "libzstd1 (>= ", "zlib1g (>= ", "passwd"}) {
        EXPECT_NE(depends.find(lib), std::string::npos) << lib << " in " << depends;
    }
    EXPECT_EQ(depends.find("tavohost"), std::string::npos)
        << "the host's libraries are in the package itself";
    EXPECT_NE(run("dpkg-deb -f " + deb + " Maintainer").find("@"), std::string::npos);
}

TEST_F(DebPackageTest, ItHoldsProgramsPluginsPagesUnitRulesAndManuals) {
    std::string list = run("dpkg-deb -c " + deb);
    std::set<std::string> files;
    std::istringstream in(list);
    std::string line;
    while (std::getline(in, line)) {
        EXPECT_NE(line.find(" root/root "), std::string::npos) << "owned by root: " << line;
        size_t at = line.find(" ./");
        if (at != std::string::npos) {
            files.insert(line.substr(at + 2));
        }
    }
    for (const char* f :
         {"/usr/bin/tavod", "/usr/bin/lcsf", "/usr/lib/tavo/libtavohost.so", "/usr/lib/tavo/libtavohw.so",
          "/usr/share/tavo/web/index.html", "/usr/share/tavo/web/preview.html",
          "/usr/lib/systemd/system/tavod.service", "/usr/lib/udev/rules.d/60-tavo.rules",
          "/usr/share/man/man8/tavod.8", "/usr/share/man/man1/lcsf.1", "/usr/share/doc/tavo/tavod.md",
          "/usr/share/doc/tavo/copyright", "/usr/share/doc/tavo/examples/media/config/channeloutputs.json"}) {
        EXPECT_TRUE(files.count(f)) << f << " is missing:\n" << list;
    }
    std::vector<std::string> plugins = pluginFiles();
    ASSERT_FALSE(plugins.empty());
    for (const std::string& p : plugins) {
        EXPECT_TRUE(files.count("/usr/lib/tavo/plugins/" + p)) << "every plug-in the build makes: " << p;
        const std::string keys = "/usr/share/doc/tavo/outputs/" + p.substr(0, p.size() - 3) + ".md";
        EXPECT_TRUE(files.count(keys)) << "the reference of its keys: " << keys;
    }

    // The maintainer scripts: executable, sound shell, and doing what the install needs.
    TempDir control;
    run("dpkg-deb -e " + deb + " " + control.path());
    for (const char* script : {"postinst", "prerm", "postrm"}) {
        std::string path = control.path() + "/" + script;
        EXPECT_EQ(access(path.c_str(), X_OK), 0) << script;
        int status = 0;
        run("sh -n " + path, &status);
        EXPECT_EQ(status, 0) << script;
    }
    std::string postinst = readFileBytes(control.path() + "/postinst");
    for (const char* step : {"useradd --system --user-group --home-dir /var/lib/tavo", "groupadd --system",
                             "usermod --append --groups gpio,spi,i2c tavo", "chown tavo:tavo",
                             "deb-systemd-helper enable tavod.service"}) {
        EXPECT_NE(postinst.find(step), std::string::npos) << step;
    }
}

TEST_F(DebPackageTest, ItsProgramsRunFromWhereThePackagePutsThem) {
    TempDir root;
    run("dpkg-deb -x " + deb + " " + root.path());
    std::string tavod = root.path() + "/usr/bin/tavod";
    EXPECT_EQ(run(tavod + " --version"), "tavod 0.1.0\n");
    EXPECT_EQ(run("sed -n 's/^ExecStart=//p' " + root.path() + "/usr/lib/systemd/system/tavod.service"),
              "/usr/bin/tavod --media-dir /var/lib/tavo --quiet run\n");
    // Its libraries come from the package, not from the build.
    std::string ldd = run("ldd " + tavod);
    EXPECT_NE(ldd.find("libtavohost.so => " + root.path() + "/usr/bin/../lib/tavo/libtavohost.so"),
              std::string::npos)
        << ldd;
    EXPECT_EQ(ldd.find("not found"), std::string::npos) << ldd;
    EXPECT_NE(run(root.path() + "/usr/bin/lcsf help info").find("usage: lcsf info"), std::string::npos);
    // The example media folder is one the packaged tavod accepts as it stands.
    int status = -1;
    std::string checked = run("cp -r " + root.path() + "/usr/share/doc/tavo/examples/media " + root.path() +
                                  "/try && " + tavod + " --media-dir " + root.path() + "/try --check-config",
                              &status);
    EXPECT_EQ(status, 0) << checked;

    // Plug-ins and pages beside it, without options: the page it serves is the
    // package's (marked here), the plug-ins those of lib/tavo/plugins.
    std::string page = root.path() + "/usr/share/tavo/web/index.html";
    writeFileBytes(page, readFileBytes(page) + "<!-- from the package -->\n");
    MediaDir media;
    LoopbackListener listener;
    ASSERT_TRUE(listener.ok());
    uint16_t port = listener.port();
    Tavod t(media.path(), {"--media-dir", media.path(), "--quiet", "run"}, -1, listener.release(), tavod);
    int64_t end = nowUs() + 15000000;
    while (t.running() && httpGet(port, "/api/status").status != 200 && nowUs() < end) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    HttpTestResponse r = httpGet(port, "/");
    ASSERT_EQ(r.status, 200) << t.err();
    EXPECT_NE(r.body.find("<!-- from the package -->"), std::string::npos);
    for (const std::string& p : pluginFiles()) {
        EXPECT_NE(t.err().find("from " + root.path() + "/usr/lib/tavo/plugins/" + p), std::string::npos)
            << p << " not loaded from the package:\n"
            << t.err();
    }
    t.sendSignal(SIGTERM);
    EXPECT_TRUE(t.wait(10000));
    EXPECT_EQ(t.exitCode(), 0);
}

TEST_F(DebPackageTest, AptInstallsItIntoAScratchRoot) {
    int status = 0;
    std::string out =
        run("bash " + std::string(TAVO_SOURCE_DIR) + "/scripts/deb-scratch-root.sh " + deb, &status);
    if (status == 77) {
        GTEST_SKIP() << out;
    }
    EXPECT_EQ(status, 0) << out;
    EXPECT_NE(out.find("all checks passed"), std::string::npos) << out;
    EXPECT_EQ(out.find("FAILED"), std::string::npos) << out;
}

} // namespace
