// channeloutputs.json: 1-based channels become 0-based, and every bad output is
// left out with a message naming the file, the output and the key.
#include "OutputConfig.h"

#include "LogCapture.h"
#include "TempDir.h"
#include "host/core/Warnings.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

const std::vector<std::string> types = {"CustomUDP", "LinkCard"};

std::string file(const std::string& outputs) {
    return "{\"channelOutputs\": [" + outputs + "]}";
}

} // namespace

TEST(OutputConfig, ConvertsStartChannelsAndKeepsEachObject) {
    OutputConfig c;
    ASSERT_TRUE(
        c.Parse(file(R"({"type": "CustomUDP", "enabled": 1, "startChannel": 1, "channelCount": 3, "port": 5},
                              {"type": "LinkCard", "enabled": true, "startChannel": 8388606, "channelCount": 3},
                              {"type": "CustomUDP", "startChannel": 7, "channelCount": 0})"),
                "channeloutputs.json", types));
    EXPECT_TRUE(c.GetErrors().empty());
    ASSERT_EQ(c.GetOutputs().size(), 3u);
    const ConfiguredOutput& a = c.GetOutputs()[0];
    EXPECT_EQ(a.index, 0);
    EXPECT_EQ(a.type, "CustomUDP");
    EXPECT_EQ(a.startChannel, 0u);
    EXPECT_EQ(a.channelCount, 3u);
    EXPECT_EQ(a.config["port"].asInt(), 5);
    EXPECT_EQ(a.config["startChannel"].asInt(), 1) << "outputs get their object as written";
    EXPECT_EQ(c.GetOutputs()[1].startChannel, 8388605u) << "the last channel may be used";
    EXPECT_EQ(c.GetOutputs()[2].index, 2);
    EXPECT_EQ(c.GetOutputs()[2].channelCount, 0u);
}

TEST(OutputConfig, DisabledOutputsAreLeftOutWithoutComplaint) {
    OutputConfig c;
    ASSERT_TRUE(c.Parse(file(R"({"type": "CustomUDP", "enabled": 0, "startChannel": 0, "channelCount": "x"},
                              {"type": "Gone", "enabled": false})"),
                        "channeloutputs.json", types));
    EXPECT_TRUE(c.GetOutputs().empty());
    EXPECT_TRUE(c.GetErrors().empty());
}

struct BadOutputCase {
    const char* name;
    const char* output;
    const char* message; // the whole message
};

class OutputConfigBadOutputTest : public ::testing::TestWithParam<BadOutputCase> {};

TEST_P(OutputConfigBadOutputTest, IsLeftOutWithAMessageNamingFileOutputAndKey) {
    const BadOutputCase& c = GetParam();
    WarningHolder::ClearWarnings();
    LogCapture log;
    OutputConfig cfg;
    // a good output before the bad one: the bad one is index 1 and the good one stays
    std::string text =
        file(std::string(R"({"type": "LinkCard", "startChannel": 1, "channelCount": 3}, )") + c.output);
    ASSERT_TRUE(cfg.Parse(text, "/media/config/channeloutputs.json", types));
    ASSERT_EQ(cfg.GetOutputs().size(), 1u);
    EXPECT_EQ(cfg.GetOutputs()[0].type, "LinkCard");
    ASSERT_EQ(cfg.GetErrors().size(), 1u) << log.text();
    EXPECT_EQ(cfg.GetErrors()[0], c.message);
    EXPECT_TRUE(log.contains(c.message)) << log.text();
    auto w = WarningHolder::GetWarnings();
    EXPECT_NE(std::find(w.begin(), w.end(), c.message), w.end()) << "users see it in the warnings";
}

INSTANTIATE_TEST_SUITE_P(
    Keys, OutputConfigBadOutputTest,
    ::testing::Values(
        BadOutputCase{"StartZero", R"({"type": "CustomUDP", "startChannel": 0, "channelCount": 3})",
                      "/media/config/channeloutputs.json: channelOutputs[1] (type \"CustomUDP\"): "
                      "\"startChannel\" is 0, but channels are counted from 1"},
        BadOutputCase{"StartNegative", R"({"type": "CustomUDP", "startChannel": -4, "channelCount": 3})",
                      "/media/config/channeloutputs.json: channelOutputs[1] (type \"CustomUDP\"): "
                      "\"startChannel\" is -4, but channels are counted from 1"},
        BadOutputCase{"PastTheBuffer",
                      R"({"type": "CustomUDP", "startChannel": 8388600, "channelCount": 100})",
                      "/media/config/channeloutputs.json: channelOutputs[1] (type \"CustomUDP\"): "
                      "\"channelCount\" 100 from \"startChannel\" 8388600 reaches channel 8388699, "
                      "past the last channel 8388608"},
        BadOutputCase{"OneChannelTooMany",
                      R"({"type": "CustomUDP", "startChannel": 8388606, "channelCount": 4})",
                      "/media/config/channeloutputs.json: channelOutputs[1] (type \"CustomUDP\"): "
                      "\"channelCount\" 4 from \"startChannel\" 8388606 reaches channel 8388609, "
                      "past the last channel 8388608"},
        BadOutputCase{
            "HugeNumbers", R"({"type": "CustomUDP", "startChannel": 4294967297, "channelCount": 4294967295})",
            "/media/config/channeloutputs.json: channelOutputs[1] (type \"CustomUDP\"): "
            "\"channelCount\" 4294967295 from \"startChannel\" 4294967297 reaches channel 8589934591, "
            "past the last channel 8388608"},
        BadOutputCase{"StartAsText", R"({"type": "CustomUDP", "startChannel": "1", "channelCount": 3})",
                      "/media/config/channeloutputs.json: channelOutputs[1] (type \"CustomUDP\"): "
                      "\"startChannel\" must be a whole number, not the text \"1\""},
        BadOutputCase{"CountAsFraction", R"({"type": "CustomUDP", "startChannel": 1, "channelCount": 1.5})",
                      "/media/config/channeloutputs.json: channelOutputs[1] (type \"CustomUDP\"): "
                      "\"channelCount\" must be a whole number, not 1.5"},
        BadOutputCase{"CountNegative", R"({"type": "CustomUDP", "startChannel": 1, "channelCount": -1})",
                      "/media/config/channeloutputs.json: channelOutputs[1] (type \"CustomUDP\"): "
                      "\"channelCount\" is -1, but cannot be negative"},
        BadOutputCase{"CountMissing", R"({"type": "CustomUDP", "startChannel": 1})",
                      "/media/config/channeloutputs.json: channelOutputs[1] (type \"CustomUDP\"): "
                      "\"channelCount\" is missing"},
        BadOutputCase{"EnabledAsText", R"({"type": "CustomUDP", "enabled": "yes", "startChannel": 1})",
                      "/media/config/channeloutputs.json: channelOutputs[1] (type \"CustomUDP\"): "
                      "\"enabled\" must be 0 or 1, not the text \"yes\""},
        BadOutputCase{
            "TypeAsNumber", R"({"type": 7, "startChannel": 1, "channelCount": 3})",
            "/media/config/channeloutputs.json: channelOutputs[1]: \"type\" must name an output type, "
            "not 7"},
        BadOutputCase{
            "TypeMissing", R"({"startChannel": 1, "channelCount": 3})",
            "/media/config/channeloutputs.json: channelOutputs[1]: \"type\" must name an output type, "
            "not null"},
        BadOutputCase{"NotAnObject", R"([1, 2])",
                      "/media/config/channeloutputs.json: channelOutputs[1]: must be an object, not a list"},
        BadOutputCase{
            "UnknownType", R"({"type": "Laser", "startChannel": 1, "channelCount": 3})",
            "/media/config/channeloutputs.json: channelOutputs[1] (type \"Laser\"): unknown output type; "
            "available types: CustomUDP, LinkCard"}),
    [](const ::testing::TestParamInfo<BadOutputCase>& i) { return std::string(i.param.name); });

TEST(OutputConfig, UnknownTypeWithNoPluginsSaysNoneAreAvailable) {
    LogCapture log;
    OutputConfig c;
    ASSERT_TRUE(
        c.Parse(file(R"({"type": "CustomUDP", "startChannel": 1, "channelCount": 3})"), "f.json", {}));
    ASSERT_EQ(c.GetErrors().size(), 1u);
    EXPECT_EQ(c.GetErrors()[0], "f.json: channelOutputs[0] (type \"CustomUDP\"): unknown output type; "
                                "available types: none");
}

TEST(OutputConfig, AFileThatCannotBeUsedIsRejectedWhole) {
    LogCapture log;
    struct Case {
        std::string text;
        std::string message;
    };
    std::vector<Case> cases = {
        {"[]", "f.json: expected an object such as {\"channelOutputs\": [ ... ]}"},
        {"{\"channelOutputs\": 5}", "f.json: \"channelOutputs\" must be a list of outputs, not 5"},
        {"{\"channelOutputs\": {}}", "f.json: \"channelOutputs\" must be a list of outputs, not an object"},
        {"{\"channelOutputs\": [", "f.json: not valid JSON: "},
        {"", "f.json: not valid JSON: "},
        // deeper than the JSON reader allows: it throws inside, we report
        {std::string(5000, '[') + std::string(5000, ']'), "f.json: not valid JSON: "},
    };
    for (const Case& k : cases) {
        OutputConfig c;
        EXPECT_FALSE(c.Parse(k.text, "f.json", types)) << k.text.substr(0, 40);
        ASSERT_EQ(c.GetErrors().size(), 1u) << k.text.substr(0, 40);
        EXPECT_EQ(c.GetErrors()[0].compare(0, k.message.size(), k.message), 0) << c.GetErrors()[0];
        EXPECT_TRUE(c.GetOutputs().empty());
    }
}

TEST(OutputConfig, LoadReadsTheFileAndAMissingFileMeansNoOutputs) {
    TempDir dir;
    OutputConfig c;
    EXPECT_TRUE(c.Load(dir.file("channeloutputs.json"), types));
    EXPECT_TRUE(c.GetOutputs().empty());
    EXPECT_TRUE(c.GetErrors().empty());

    writeFileBytes(dir.file("channeloutputs.json"),
                   file(R"({"type": "LinkCard", "startChannel": 0, "channelCount": 3},
                           {"type": "LinkCard", "startChannel": 4, "channelCount": 3})"));
    LogCapture log;
    EXPECT_TRUE(c.Load(dir.file("channeloutputs.json"), types));
    ASSERT_EQ(c.GetOutputs().size(), 1u);
    EXPECT_EQ(c.GetOutputs()[0].startChannel, 3u);
    ASSERT_EQ(c.GetErrors().size(), 1u);
    EXPECT_EQ(c.GetErrors()[0].rfind(dir.file("channeloutputs.json") + ": channelOutputs[0]", 0), 0u)
        << c.GetErrors()[0];

    OutputConfig none;
    EXPECT_TRUE(none.Parse("{}", "f.json", types)) << "a file without outputs is fine";
    EXPECT_TRUE(none.GetErrors().empty());
}
