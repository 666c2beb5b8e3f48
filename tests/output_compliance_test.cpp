// What every output plug-in must do, checked the way tavod uses it: loaded from the
// plug-in folder, an output created, Init with its folder's sample configuration,
// its channel ranges, frames through PrepData and SendData, Close, and deletion.
//
// Each plug-in folder's tests/sample-output.json lands in TAVO_COMPLIANCE_DIR as
// <Name>.json: {"output": {"type": ..., keys}, "hostSettings": {...}, "overlayModels":
// {...}}. The host settings, when given, are set before Init (to point a device at a
// simulated one), and the host services that tavod makes from settings are made from
// them too; the overlay models, the contents of a config/model-overlays.json, are
// loaded before Init as tavod loads that file. Under CTest the suite also has an X
// display (a fixture's Xvfb, named in the file TAVO_TEST_DISPLAY_FILE) for outputs
// that draw into a window.
#include "host/core/JsonUtils.h"
#include "host/core/Settings.h"
#include "host/output/ChannelBuffer.h"
#include "host/output/ChannelOutput.h"
#include "LogCapture.h"
#include "PluginLoader.h"
#include "host/output/UDPOutput.h"
#include "host/mqtt/MosquittoClient.h"
#include "host/output/PixelOverlay.h"
#include "TempDir.h"

#include <gtest/gtest.h>

#include <dirent.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

namespace {

struct PluginCase {
    std::string name;   // the plug-in, from the file name
    Json::Value sample; // the file's object
};

const unsigned START = 30;  // 0-based, as the host constructs outputs
const unsigned COUNT = 300; // 100 RGB pixels

// Test names show the plug-in, not the object's bytes.
void PrintTo(const PluginCase& c, std::ostream* os) {
    *os << c.name;
}

std::vector<PluginCase> samples() {
    std::vector<PluginCase> cases;
    std::string dir = TAVO_COMPLIANCE_DIR;
    if (DIR* d = opendir(dir.c_str())) {
        while (struct dirent* e = readdir(d)) {
            std::string file = e->d_name;
            if (file.size() <= 5 || file.compare(file.size() - 5, 5, ".json") != 0) {
                continue;
            }
            PluginCase c;
            c.name = file.substr(0, file.size() - 5);
            std::string error;
            if (!LoadJsonFromFile(dir + "/" + file, c.sample, &error)) {
                c.sample = Json::Value(Json::nullValue); // reported by the test itself
            }
            cases.push_back(c);
        }
        closedir(d);
    }
    std::sort(cases.begin(), cases.end(),
              [](const PluginCase& a, const PluginCase& b) { return a.name < b.name; });
    return cases;
}

} // namespace

class OutputCompliance : public ::testing::TestWithParam<PluginCase> {
protected:
    void SetUp() override {
        ASSERT_NO_FATAL_FAILURE(useTestDisplay());
        ASSERT_TRUE(GetParam().sample.isObject() && GetParam().sample["output"].isObject())
            << GetParam().name << ".json: a JSON object with an \"output\" object is expected";
        const Json::Value& settings = GetParam().sample["hostSettings"];
        for (const std::string& key : settings.getMemberNames()) {
            setSetting(key,
                       settings[key].isString() ? settings[key].asString() : settings[key].toStyledString());
        }
        if (GetParam().sample.isMember("overlayModels")) {
            TempDir dir;
            writeFileBytes(dir.file("model-overlays.json"),
                           SaveJsonToString(GetParam().sample["overlayModels"]));
            ASSERT_TRUE(PixelOverlayManager::INSTANCE.loadModels(dir.file("model-overlays.json")))
                << log.text();
        }
        // Outputs that publish over MQTT find the host's client, as tavod makes it
        // from the settings before any Init (it connects in the background).
        MosquittoSettings mqttSettings;
        std::string error;
        ASSERT_TRUE(MosquittoSettings::FromHostSettings(mqttSettings, error)) << error;
        if (!mqttSettings.host.empty()) {
            mqttClient.reset(new MosquittoClient(mqttSettings));
            ASSERT_TRUE(mqttClient->Start(error)) << error;
            mqtt = mqttClient.get();
        }
        std::string path = std::string(TAVO_PLUGIN_DIR) + "/" + GetParam().name + ".so";
        ASSERT_TRUE(loader.LoadPlugin(path)) << "build the plug-in first: " << path;
        plugin = loader.GetChannelOutputPlugin(GetParam().name);
        ASSERT_NE(nullptr, plugin) << "the plug-in names itself after its folder";
        // UDP outputs send through the host's engine, which tavod makes first.
        udp.reset(new UDPOutput());
        ASSERT_NE(0, udp->Init(Json::Value(Json::objectValue)));
    }
    void TearDown() override {
        if (udp) {
            udp->Close();
        }
        udp.reset(); // its data objects hold plug-in code: before the loader unloads it
        mqtt = nullptr;
        mqttClient.reset();
        if (!GetParam().sample["hostSettings"].empty()) {
            clearSettings(); // the next plug-in starts from none
        }
        PixelOverlayManager::INSTANCE.removeAllModels();
    }

    // DISPLAY from the fixture's file; left as it is when the suite runs on its own.
    static void useTestDisplay() {
        const char* file = getenv("TAVO_TEST_DISPLAY_FILE");
        if (!file) {
            return;
        }
        std::string display;
        std::ifstream in(file);
        in >> display;
        ASSERT_FALSE(display.empty()) << file << " names no display: did the test_display_start fixture run?";
        setenv("DISPLAY", display.c_str(), 1);
    }

    Json::Value config() {
        Json::Value c = GetParam().sample["output"];
        c["type"] = GetParam().name;
        c["enabled"] = 1;
        c["startChannel"] = START + 1;
        c["channelCount"] = COUNT;
        return c;
    }

    PluginLoader loader;
    TavoPlugins::ChannelOutputPlugin* plugin = nullptr;
    std::unique_ptr<UDPOutput> udp;
    std::unique_ptr<MosquittoClient> mqttClient;
    LogCapture log{LOG_INFO};
};

TEST_P(OutputCompliance, LivesThroughInitFramesCloseAndDeletion) {
    std::unique_ptr<ChannelOutput> out(plugin->createChannelOutput(START, COUNT));
    ASSERT_NE(nullptr, out);
    EXPECT_EQ(START, out->GetStartChannel());
    EXPECT_EQ(COUNT, out->GetChannelCount());

    testing::internal::CaptureStdout(); // some outputs print what they configured
    int ok = out->Init(config());
    testing::internal::GetCapturedStdout();
    ASSERT_NE(0, ok) << log.text();
    // The output's own name for its type (the class's unless it says otherwise),
    // not always its plug-in's name.
    EXPECT_FALSE(out->GetOutputType().empty());

    // Every channel an output asks for lies inside its own slice of the buffer.
    std::vector<std::pair<int, int>> ranges;
    out->GetRequiredChannelRanges([&](int first, int last) { ranges.emplace_back(first, last); });
    ASSERT_FALSE(ranges.empty());
    for (auto& r : ranges) {
        EXPECT_LE((int)START, r.first);
        EXPECT_LE(r.first, r.second);
        EXPECT_LE(r.second, (int)(START + COUNT - 1));
    }

    std::vector<unsigned char> buffer(TAVO_CHANNEL_BUFFER_SIZE, 0);
    for (int frame = 0; frame < 5; frame++) {
        for (unsigned c = 0; c < START + COUNT + 10; c++) {
            buffer[c] = (unsigned char)(c * 3 + frame * 50);
        }
        out->PrepData(buffer.data());
        udp->PrepData(buffer.data());
        EXPECT_GE(out->SendData(buffer.data() + START), 0);
        udp->SendData(buffer.data());
    }
    out->DumpConfig();
    EXPECT_NE(0, out->Close());
    out.reset();
    EXPECT_FALSE(log.contains("error")) << log.text();
}

TEST_P(OutputCompliance, WrongTypedKeysAreReportedNeverThrown) {
    std::unique_ptr<ChannelOutput> out(plugin->createChannelOutput(START, COUNT));
    ASSERT_NE(nullptr, out);
    Json::Value bad = config();
    // Every key of the wrong type at once: a plug-in reports it; it must not throw or
    // crash. It may refuse to start, or start with its traffic off.
    for (const auto& key : bad.getMemberNames()) {
        if (key != "type") {
            bad[key] = Json::Value(Json::arrayValue);
        }
    }
    testing::internal::CaptureStdout();
    int ok = 0;
    EXPECT_NO_THROW(ok = out->Init(bad));
    testing::internal::GetCapturedStdout();
    bool errorLogged = false;
    for (auto& l : log.lines()) {
        errorLogged |= l.level == LOG_ERR;
    }
    EXPECT_TRUE(errorLogged) << log.text();
    if (ok) {
        std::vector<unsigned char> buffer(TAVO_CHANNEL_BUFFER_SIZE, 7);
        out->PrepData(buffer.data());
        udp->PrepData(buffer.data());
        out->SendData(buffer.data() + START);
        udp->SendData(buffer.data());
        out->Close();
    }
    out.reset();
}

INSTANTIATE_TEST_SUITE_P(Plugins, OutputCompliance, ::testing::ValuesIn(samples()),
                         [](const ::testing::TestParamInfo<PluginCase>& i) { return i.param.name; });

TEST(OutputComplianceSamples, EveryBuiltPluginHasOne) {
    // A plug-in without a sample would silently escape the suite.
    std::vector<std::string> names;
    for (const PluginCase& c : samples()) {
        names.push_back(c.name);
    }
    PluginLoader loader;
    loader.LoadPluginDir(TAVO_PLUGIN_DIR);
    std::vector<std::string> types = loader.GetChannelOutputTypes();
    ASSERT_FALSE(types.empty()) << TAVO_PLUGIN_DIR;
    for (const std::string& t : types) {
        EXPECT_NE(std::find(names.begin(), names.end(), t), names.end())
            << t << " has no sample configuration";
    }
}
