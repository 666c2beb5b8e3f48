// Overlay models: those outputs register of their own pictures, those users
// declare (channels, memory-only pictures), their file, and their listing and
// pictures on tavod's HTTP API.
#include "JsonText.h"
#include "host/output/PixelOverlay.h"
#include "HttpApi.h"
#include "HttpTestClient.h"
#include "LogCapture.h"
#include "PngTestImage.h"
#include "TempDir.h"

#include <gtest/gtest.h>

#include <algorithm>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

class OverlayModelsTest : public ::testing::Test {
protected:
    void SetUp() override { PixelOverlayManager::INSTANCE.removeAllModels(); }
    void TearDown() override {
        PixelOverlayManager::INSTANCE.removeAllModels();
        PixelOverlayManager::INSTANCE.autoCreateModels = true;
    }
    PixelOverlayManager& mgr = PixelOverlayManager::INSTANCE;
    LogCapture log{LOG_INFO};
};

// Our own listening socket on port 0: no other test can take the port.
int loopbackListener() {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) {
        return -1;
    }
    struct sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(fd, (struct sockaddr*)&a, sizeof(a)) != 0 || listen(fd, 8) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

Json::Value memoryModel(const std::string& name, int width, int height) {
    Json::Value m(Json::objectValue);
    m["Name"] = name;
    m["Type"] = "Memory";
    m["Width"] = width;
    m["Height"] = height;
    return m;
}

} // namespace

TEST_F(OverlayModelsTest, AutomaticModelIsFoundByNameWithItsSize) {
    EXPECT_TRUE(mgr.autoCreateModels.load()) << "on by default";
    EXPECT_EQ(nullptr, mgr.getModel("LED Panels"));
    // A 64 x 32 picture: 32 strings of 64 nodes.
    ASSERT_TRUE(mgr.addAutoOverlayModel("LED Panels", 30, 64 * 32 * 3, 3, "H", "TL", 32, 1));
    PixelOverlayModel* m = mgr.getModel("LED Panels");
    ASSERT_NE(nullptr, m);
    EXPECT_EQ(64, m->getWidth());
    EXPECT_EQ(32, m->getHeight());
    EXPECT_EQ(30u, m->getStartChannel());
    EXPECT_TRUE(m->isAutoCreated());
}

TEST_F(OverlayModelsTest, ANameInUseOrChannelsPastTheBufferAreRefused) {
    ASSERT_TRUE(mgr.addAutoOverlayModel("LED Panels", 0, 300, 3, "H", "TL", 10, 1));
    EXPECT_FALSE(mgr.addAutoOverlayModel("LED Panels", 600, 300, 3, "H", "TL", 10, 1));
    EXPECT_EQ(0u, mgr.getModel("LED Panels")->getStartChannel());
    EXPECT_FALSE(mgr.addAutoOverlayModel("far", 8388600, 300, 3, "H", "TL", 10, 1));
    EXPECT_EQ(nullptr, mgr.getModel("far"));
    EXPECT_TRUE(log.contains("exists already")) << log.text();
}

TEST_F(OverlayModelsTest, RemovingAnAutomaticModelLeavesUserModels) {
    Json::Value user;
    user["Name"] = "Text";
    user["StartChannel"] = 1;
    user["ChannelCount"] = 30;
    ASSERT_TRUE(mgr.addModel(user));
    ASSERT_TRUE(mgr.addAutoOverlayModel("LED Panels", 0, 300, 3, "H", "TL", 10, 1));
    mgr.removeAutoOverlayModel("Text");
    mgr.removeAutoOverlayModel("LED Panels");
    mgr.removeAutoOverlayModel("never there");
    EXPECT_NE(nullptr, mgr.getModel("Text"));
    EXPECT_EQ(nullptr, mgr.getModel("LED Panels"));
}

TEST_F(OverlayModelsTest, ListNamesEveryModel) {
    Json::Value user;
    user["Name"] = "Text";
    user["StartChannel"] = 1;
    user["ChannelCount"] = 30;
    ASSERT_TRUE(mgr.addModel(user));
    ASSERT_TRUE(mgr.addAutoOverlayModel("LED Panels", 99, 600, 3, "H", "BL", 10, 1));
    Json::Value list = mgr.getModelList();
    ASSERT_EQ(2u, list.size());
    EXPECT_EQ("LED Panels", list[0]["name"].asString());
    EXPECT_EQ("Channel", list[0]["type"].asString());
    EXPECT_EQ(100u, list[0]["startChannel"].asUInt());
    EXPECT_EQ(600u, list[0]["channelCount"].asUInt());
    EXPECT_EQ(20, list[0]["width"].asInt());
    EXPECT_EQ(10, list[0]["height"].asInt());
    EXPECT_TRUE(list[0]["autoCreated"].asBool());
    EXPECT_EQ("Text", list[1]["name"].asString());
    EXPECT_EQ(1u, list[1]["startChannel"].asUInt());
    EXPECT_FALSE(list[1]["autoCreated"].asBool());
}

TEST_F(OverlayModelsTest, TavodListsTheModelsOverHttp) {
    ASSERT_TRUE(mgr.addAutoOverlayModel("LED Panels", 0, 64 * 32 * 3, 3, "H", "TL", 32, 1));
    // Our own listening socket on port 0: no other test can take the port.
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(fd, 0);
    struct sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(0, bind(fd, (struct sockaddr*)&a, sizeof(a)));
    ASSERT_EQ(0, listen(fd, 8));
    HttpApi api(0, fd, "/nonexistent", nullptr);
    std::string error;
    ASSERT_TRUE(api.Start(error)) << error;

    HttpTestResponse r = httpGet((uint16_t)api.GetPort(), "/api/overlays/models");
    ASSERT_EQ(200, r.status);
    Json::Value list = parseJson(r.body);
    ASSERT_EQ(1u, list.size()) << r.body;
    EXPECT_EQ("LED Panels", list[0]["name"].asString());
    EXPECT_EQ(64, list[0]["width"].asInt());
    EXPECT_EQ(32, list[0]["height"].asInt());
    EXPECT_TRUE(list[0]["autoCreated"].asBool());

    mgr.removeAutoOverlayModel("LED Panels");
    r = httpGet((uint16_t)api.GetPort(), "/api/overlays/models");
    ASSERT_EQ(200, r.status);
    EXPECT_EQ(0u, parseJson(r.body).size()) << r.body;
    EXPECT_EQ(405, httpRequest((uint16_t)api.GetPort(), "POST", "/api/overlays/models", "{}").status);
    api.Stop();
}

TEST_F(OverlayModelsTest, MemoryModelIsAPictureWithoutChannels) {
    ASSERT_TRUE(mgr.addModel(memoryModel("Preview", 4, 3))) << log.text();
    PixelOverlayModel* m = mgr.getModel("Preview");
    ASSERT_NE(nullptr, m);
    EXPECT_EQ("Memory", m->getType());
    EXPECT_FALSE(m->hasChannels());
    EXPECT_EQ(4, m->getWidth());
    EXPECT_EQ(3, m->getHeight());
    EXPECT_EQ(36u, m->getBufferSize());
    m->setPixelValue(3, 2, 1, 2, 3);
    m->setPixelValue(4, 0, 9, 9, 9); // outside: nothing
    EXPECT_EQ(1, m->getOverlayBuffer()[33]);
    EXPECT_EQ(3, m->getOverlayBuffer()[35]);
    EXPECT_EQ(33, std::count(m->getOverlayBuffer(), m->getOverlayBuffer() + 36, 0));

    // Active or not, it never touches the channel data.
    m->setState(PixelOverlayModel::Enabled);
    std::vector<uint8_t> channels(64, 7);
    mgr.doOverlays(channels.data());
    EXPECT_EQ(std::vector<uint8_t>(64, 7), channels);

    Json::Value list = mgr.getModelList();
    ASSERT_EQ(1u, list.size());
    EXPECT_EQ("Memory", list[0]["type"].asString());
    EXPECT_EQ(4, list[0]["width"].asInt());
    EXPECT_FALSE(list[0].isMember("startChannel"));
}

TEST_F(OverlayModelsTest, PicturesOver64MiBOrWithoutPixelsAreRefused) {
    EXPECT_FALSE(mgr.addModel(memoryModel("huge", 8192, 8192)));
    EXPECT_TRUE(log.contains("Pixel overlay model huge: \"Width\" and \"Height\" must be 1 or more, for a "
                             "picture of at most 64 MiB"))
        << log.text();
    EXPECT_FALSE(mgr.addModel(memoryModel("empty", 0, 10)));
    EXPECT_FALSE(mgr.addModel(memoryModel("negative", 10, -1)));
    EXPECT_TRUE(mgr.getModelNames().empty());
    // Just under the limit is fine: 4096 x 5461 x 3 bytes.
    EXPECT_TRUE(mgr.addModel(memoryModel("large", 4096, 5461))) << log.text();
}

TEST_F(OverlayModelsTest, WrongTypedKeysAreReportedNeverThrown) {
    Json::Value bad(Json::objectValue);
    bad["Name"] = "Text";
    bad["StartChannel"] = "one";
    bad["ChannelCount"] = 30;
    bool ok = true;
    EXPECT_NO_THROW(ok = mgr.addModel(bad));
    EXPECT_FALSE(ok);
    EXPECT_TRUE(log.contains("Pixel overlay model Text: \"StartChannel\" must be a whole number"))
        << log.text();

    const char* keys[] = {"ChannelCount", "ChannelCountPerNode", "Orientation", "StartCorner",
                          "StringCount",  "StrandsPerString",    "Type",        "autoCreated"};
    for (const char* key : keys) {
        Json::Value m(Json::objectValue);
        m["Name"] = "Text";
        m["ChannelCount"] = 30;
        m[key] = Json::Value(Json::arrayValue);
        log.clear();
        EXPECT_NO_THROW(ok = mgr.addModel(m)) << key;
        EXPECT_FALSE(ok) << key;
        EXPECT_TRUE(log.contains(std::string("\"") + key + "\" must be")) << key << "\n" << log.text();
    }
    Json::Value m = memoryModel("Preview", 4, 4);
    m["Width"] = "4";
    EXPECT_NO_THROW(ok = mgr.addModel(m));
    EXPECT_FALSE(ok);
    m = memoryModel("Preview", 4, 4);
    m["Type"] = "Screen";
    EXPECT_FALSE(mgr.addModel(m));
    EXPECT_TRUE(log.contains("\"Type\" 'Screen' is unknown; use \"Channel\", \"FB\" or \"Memory\""))
        << log.text();
    // A number beyond a 64-bit integer (found by the models file's fuzzer: undefined
    // once converted) is a wrong number like any other.
    Json::Value huge(Json::objectValue);
    huge["Name"] = "Huge";
    huge["ChannelCount"] = 30;
    huge["ChannelCountPerNode"] = 1.1e83;
    log.clear();
    EXPECT_FALSE(mgr.addModel(huge));
    EXPECT_TRUE(log.contains("\"ChannelCountPerNode\" must be a whole number")) << log.text();
    EXPECT_TRUE(mgr.getModelNames().empty());
}

TEST_F(OverlayModelsTest, ModelsMarkedAutomaticAreRemovedAsAutomaticOnes) {
    Json::Value m = memoryModel("FB - x", 2, 2);
    m["autoCreated"] = true;
    ASSERT_TRUE(mgr.addModel(m));
    ASSERT_TRUE(mgr.addModel(memoryModel("kept", 2, 2)));
    EXPECT_TRUE(mgr.getModel("FB - x")->isAutoCreated());
    mgr.removeAutoOverlayModel("FB - x");
    mgr.removeAutoOverlayModel("kept");
    EXPECT_EQ(std::vector<std::string>({"kept"}), mgr.getModelNames());
}

TEST_F(OverlayModelsTest, ChannelModelPictureFollowsItsStartCorner) {
    // Two strings of two RGB nodes, starting at the bottom-left: the picture's top
    // row is the buffer's second line.
    Json::Value c(Json::objectValue);
    c["Name"] = "Tree";
    c["StartChannel"] = 11;
    c["ChannelCount"] = 12;
    c["StringCount"] = 2;
    c["StartCorner"] = "BL";
    ASSERT_TRUE(mgr.addModel(c)) << log.text();
    PixelOverlayModel* m = mgr.getModel("Tree");
    ASSERT_EQ(2, m->getWidth());
    ASSERT_EQ(2, m->getHeight());
    m->setPixelValue(1, 0, 10, 20, 30);
    const uint8_t* b = m->getOverlayBuffer();
    EXPECT_EQ(std::vector<uint8_t>({0, 0, 0, 0, 0, 0, 0, 0, 0, 10, 20, 30}), std::vector<uint8_t>(b, b + 12));
    int w = 0, h = 0;
    std::vector<uint8_t> rgb;
    ASSERT_TRUE(mgr.getModelImage("Tree", w, h, rgb));
    EXPECT_EQ(std::vector<uint8_t>({0, 0, 0, 10, 20, 30, 0, 0, 0, 0, 0, 0}), rgb);
    EXPECT_FALSE(mgr.getModelImage("none", w, h, rgb));
}

TEST_F(OverlayModelsTest, ModelsFileAddsItsModelsOrNoneWhenOneIsWrong) {
    TempDir dir;
    const std::string path = dir.file("model-overlays.json");
    EXPECT_TRUE(mgr.loadModels(path)) << "no file: nothing to add";
    EXPECT_TRUE(mgr.getModelNames().empty());

    writeFileBytes(path,
                   "{\"models\": [{\"Name\": \"Preview\", \"Type\": \"Memory\", \"Width\": 8, "
                   "\"Height\": 4}, {\"Name\": \"Roof\", \"StartChannel\": 1, \"ChannelCount\": 300}]}");
    std::vector<std::string> leftOut;
    EXPECT_TRUE(mgr.loadModels(path, &leftOut)) << log.text();
    EXPECT_EQ(std::vector<std::string>({"Preview", "Roof"}), mgr.getModelNames());
    EXPECT_TRUE(leftOut.empty());
    mgr.removeAllModels();

    // One wrong model: the file is refused whole.
    writeFileBytes(path, "{\"models\": [{\"Name\": \"Preview\", \"Type\": \"Memory\", \"Width\": 8, "
                         "\"Height\": 4}, {\"Name\": \"Bad\", \"Type\": \"Memory\", \"Width\": 0, "
                         "\"Height\": 4}]}");
    EXPECT_FALSE(mgr.loadModels(path, &leftOut));
    EXPECT_TRUE(log.contains("Pixel overlay model Bad: \"Width\" and \"Height\" must be 1 or more"))
        << log.text();
    EXPECT_TRUE(
        log.contains("Overlay models file " + path + ": 1 model(s) wrong, see above; fix or remove them"))
        << log.text();
    EXPECT_TRUE(mgr.getModelNames().empty());
    EXPECT_TRUE(leftOut.empty());

    log.clear();
    writeFileBytes(path, "{\"models\": [");
    EXPECT_FALSE(mgr.loadModels(path));
    EXPECT_TRUE(log.contains("Overlay models file " + path + ":")) << log.text();
    writeFileBytes(path, "[{\"Name\": \"Preview\"}]");
    EXPECT_FALSE(mgr.loadModels(path));
    EXPECT_TRUE(log.contains("must hold {\"models\": [...]}")) << log.text();
    EXPECT_TRUE(mgr.getModelNames().empty());
}

TEST_F(OverlayModelsTest, ModelsFileLeavesOutAScreenThatIsMissing) {
    TempDir dir;
    const std::string path = dir.file("model-overlays.json");
    writeFileBytes(path, "{\"models\": [{\"Name\": \"Screen\", \"Type\": \"FB\", \"Device\": "
                         "\"fb-tavo-missing\"}, {\"Name\": \"Preview\", \"Type\": \"Memory\", \"Width\": 8, "
                         "\"Height\": 4}]}");
    std::vector<std::string> leftOut;
    EXPECT_TRUE(mgr.loadModels(path, &leftOut)) << log.text();
    EXPECT_EQ(std::vector<std::string>({"Preview"}), mgr.getModelNames());
    ASSERT_EQ(1u, leftOut.size());
    EXPECT_EQ("Overlay model Screen of " + path +
                  " is left out: cannot open /dev/fb-tavo-missing: No such file or directory",
              leftOut[0]);
    EXPECT_TRUE(log.contains(leftOut[0] + "; the show goes on without it")) << log.text();
}

class OverlayImageHttpTest : public OverlayModelsTest {
protected:
    void SetUp() override {
        OverlayModelsTest::SetUp();
        int fd = loopbackListener();
        ASSERT_GE(fd, 0);
        api.reset(new HttpApi(0, fd, "/nonexistent", nullptr));
        std::string error;
        ASSERT_TRUE(api->Start(error)) << error;
        port = (uint16_t)api->GetPort();
    }
    void TearDown() override {
        if (api) {
            api->Stop();
        }
        OverlayModelsTest::TearDown();
    }
    std::unique_ptr<HttpApi> api;
    uint16_t port = 0;
};

TEST_F(OverlayImageHttpTest, ImageIsTheModelsPictureAsPng) {
    ASSERT_TRUE(mgr.addModel(memoryModel("Roof Preview", 3, 2)));
    PixelOverlayModel* m = mgr.getModel("Roof Preview");
    m->setPixelValue(0, 0, 255, 0, 0);
    m->setPixelValue(1, 0, 0, 255, 0);
    m->setPixelValue(2, 0, 0, 0, 255);
    m->setPixelValue(0, 1, 0x12, 0x34, 0x56);
    m->setPixelValue(2, 1, 255, 255, 255);

    HttpTestResponse r = httpGet(port, "/api/overlays/models/Roof%20Preview/image");
    ASSERT_EQ(200, r.status) << r.body;
    EXPECT_EQ("image/png", r.header("content-type"));
    EXPECT_EQ("no-store", r.header("cache-control"));
    PngTestImage img;
    std::string error;
    ASSERT_TRUE(decodePng(r.body, img, error)) << error;
    EXPECT_EQ(8, img.bitDepth);
    EXPECT_EQ(2, img.colorType) << "RGB, no alpha";
    ASSERT_EQ(3, img.width);
    ASSERT_EQ(2, img.height);
    EXPECT_EQ(0xFF0000u, img.at(0, 0));
    EXPECT_EQ(0x00FF00u, img.at(1, 0));
    EXPECT_EQ(0x0000FFu, img.at(2, 0));
    EXPECT_EQ(0x123456u, img.at(0, 1));
    EXPECT_EQ(0x000000u, img.at(1, 1));
    EXPECT_EQ(0xFFFFFFu, img.at(2, 1));

    // The next request shows the picture as it is then.
    m->setPixelValue(1, 1, 1, 2, 3);
    r = httpGet(port, "/api/overlays/models/Roof%20Preview/image");
    ASSERT_TRUE(decodePng(r.body, img, error)) << error;
    EXPECT_EQ(0x010203u, img.at(1, 1));
}

TEST_F(OverlayImageHttpTest, ChannelModelsHaveAPictureToo) {
    ASSERT_TRUE(mgr.addAutoOverlayModel("LED Panels", 0, 4 * 2 * 3, 3, "H", "TL", 2, 1));
    mgr.getModel("LED Panels")->setPixelValue(3, 1, 9, 8, 7);
    HttpTestResponse r = httpGet(port, "/api/overlays/models/LED%20Panels/image");
    ASSERT_EQ(200, r.status) << r.body;
    PngTestImage img;
    std::string error;
    ASSERT_TRUE(decodePng(r.body, img, error)) << error;
    ASSERT_EQ(4, img.width);
    ASSERT_EQ(2, img.height);
    EXPECT_EQ(0x090807u, img.at(3, 1));
    EXPECT_EQ(0u, img.at(0, 0));
}

TEST_F(OverlayImageHttpTest, UnknownModelsAndBadNamesAreRefused) {
    ASSERT_TRUE(mgr.addModel(memoryModel("Preview", 2, 2)));
    HttpTestResponse r = httpGet(port, "/api/overlays/models/preview/image");
    EXPECT_EQ(404, r.status);
    EXPECT_EQ("application/json", r.header("content-type"));
    EXPECT_NE(std::string::npos,
              parseJson(r.body)["error"].asString().find("no overlay model named \"preview\""))
        << r.body;
    EXPECT_EQ(404, httpGet(port, "/api/overlays/models/Preview").status);
    EXPECT_EQ(404, httpGet(port, "/api/overlays/models/Preview/picture").status);
    EXPECT_EQ(404, httpGet(port, "/api/overlays/models/Preview/image/more").status);
    // Path tricks: a piece that climbs, an encoded slash, control characters.
    EXPECT_EQ(400, httpGet(port, "/api/overlays/models/../image").status);
    EXPECT_EQ(400, httpGet(port, "/api/overlays/models/%2E%2E/image").status);
    EXPECT_EQ(404, httpGet(port, "/api/overlays/models/..%2Fetc/image").status);
    EXPECT_EQ(400, httpGet(port, "/api/overlays/models/Pre%01view/image").status);
    EXPECT_EQ(400, httpGet(port, "/api/overlays/models/" + std::string(129, 'a') + "/image").status);
    EXPECT_EQ(405, httpRequest(port, "PUT", "/api/overlays/models/Preview/image", "x").status);
    // The list is where it was.
    r = httpGet(port, "/api/overlays/models");
    ASSERT_EQ(200, r.status);
    EXPECT_EQ(1u, parseJson(r.body).size()) << r.body;
}

TEST(ModelNames, TheApiTakesOrdinaryNamesOnly) {
    EXPECT_TRUE(HttpApi::ValidModelName("FB - fb0"));
    EXPECT_TRUE(HttpApi::ValidModelName("LED Panels-1"));
    EXPECT_TRUE(HttpApi::ValidModelName("a.b"));
    EXPECT_FALSE(HttpApi::ValidModelName(""));
    EXPECT_FALSE(HttpApi::ValidModelName("."));
    EXPECT_FALSE(HttpApi::ValidModelName(".."));
    EXPECT_FALSE(HttpApi::ValidModelName("a/b"));
    EXPECT_FALSE(HttpApi::ValidModelName("a\\b"));
    EXPECT_FALSE(HttpApi::ValidModelName(std::string("a\0b", 3)));
    EXPECT_FALSE(HttpApi::ValidModelName("tab\there"));
    EXPECT_FALSE(HttpApi::ValidModelName(std::string(129, 'x')));
    EXPECT_TRUE(HttpApi::ValidModelName(std::string(128, 'x')));
}
