// Reading JSON from files and texts: hostile input (deep nesting, broken text) is
// a failure result with a reason, never an exception, for every file the host reads.
#include "host/player/CommandManager.h"
#include "host/core/JsonUtils.h"
#include "LogCapture.h"
#include "host/hw/Pins.h"
#include "host/core/Settings.h"
#include "TempDir.h"

#include <gtest/gtest.h>

namespace {

std::string nestedArrays(int depth) {
    return std::string(depth, '[') + std::string(depth, ']');
}

std::string nestedObjects(int depth) {
    std::string t;
    for (int i = 0; i < depth; i++) {
        t += "{\"a\":";
    }
    t += "1";
    return t + std::string(depth, '}');
}

} // namespace

TEST(HostJson, DeepNestingIsAFailureNotAnException) {
    for (const std::string& text :
         {nestedArrays(1200), nestedObjects(1200), nestedArrays(100000), std::string(100000, '[')}) {
        Json::Value v(42);
        std::string error;
        bool ok = true;
        EXPECT_NO_THROW(ok = LoadJsonFromString(text, v, &error)) << text.substr(0, 20);
        EXPECT_FALSE(ok) << text.substr(0, 20);
        EXPECT_FALSE(error.empty());
        EXPECT_EQ(v, Json::Value(42)) << "the value is left as it was";
    }
    Json::Value v;
    std::string error;
    EXPECT_FALSE(LoadJsonFromString(nestedArrays(1200), v, &error));
    EXPECT_NE(error.find("nested"), std::string::npos) << error;
}

TEST(HostJson, OrdinaryNestingAndBrokenTextBehaveAsBefore) {
    Json::Value v;
    ASSERT_TRUE(LoadJsonFromString(nestedArrays(50), v));
    EXPECT_TRUE(v.isArray());
    ASSERT_TRUE(LoadJsonFromString(R"({"a": [1, {"b": "c"}]})", v));
    EXPECT_EQ(v["a"][1]["b"].asString(), "c");
    std::string error;
    EXPECT_FALSE(LoadJsonFromString("{ not json", v, &error));
    EXPECT_FALSE(error.empty());
}

TEST(HostJson, DeepFilesAreReportedAsUnparsable) {
    TempDir dir;
    const std::string deep = nestedArrays(1200);
    LogCapture log;

    writeFileBytes(dir.file("deep.json"), deep);
    Json::Value v;
    std::string error;
    bool ok = true;
    EXPECT_NO_THROW(ok = LoadJsonFromFile(dir.file("deep.json"), v, &error));
    EXPECT_FALSE(ok);
    EXPECT_FALSE(error.empty());

    writeFileBytes(dir.file("settings.json"), nestedObjects(1200));
    EXPECT_NO_THROW(ok = loadSettingsFile(dir.file("settings.json"), error));
    EXPECT_FALSE(ok);
    EXPECT_NE(error.find(dir.file("settings.json")), std::string::npos) << error;

    writeFileBytes(dir.file("commandPresets.json"), "{\"presets\": " + deep + "}");
    EXPECT_NO_THROW(ok = CommandManager::INSTANCE.loadPresets(dir.file("commandPresets.json")));
    EXPECT_FALSE(ok);
    EXPECT_TRUE(log.contains("Could not read command presets from " + dir.file("commandPresets.json")))
        << log.text();
    CommandManager::INSTANCE.loadPresets(dir.file("none.json"));

    writeFileBytes(dir.file("pins.json"), "{\"pins\": " + deep + "}");
    EXPECT_NO_THROW(ok = PinCapabilities::InitPinCapabilities(dir.file("pins.json")));
    EXPECT_FALSE(ok);
    EXPECT_TRUE(log.contains("Cannot read " + dir.file("pins.json"))) << log.text();
    EXPECT_TRUE(PinCapabilities::getPinNames().empty());
    PinCapabilities::ClearPins();
}
