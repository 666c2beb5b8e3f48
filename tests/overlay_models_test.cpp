// Overlay models that outputs register of their own pictures, and their listing
// on tavod's HTTP API.
#include "host/output/PixelOverlay.h"
#include "HttpApi.h"
#include "HttpTestClient.h"
#include "LogCapture.h"

#include <gtest/gtest.h>

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

Json::Value parse(const std::string& text) {
    Json::Value v;
    Json::CharReaderBuilder b;
    std::string errs;
    std::unique_ptr<Json::CharReader> r(b.newCharReader());
    EXPECT_TRUE(r->parse(text.data(), text.data() + text.size(), &v, &errs)) << errs << text;
    return v;
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
    Json::Value list = parse(r.body);
    ASSERT_EQ(1u, list.size()) << r.body;
    EXPECT_EQ("LED Panels", list[0]["name"].asString());
    EXPECT_EQ(64, list[0]["width"].asInt());
    EXPECT_EQ(32, list[0]["height"].asInt());
    EXPECT_TRUE(list[0]["autoCreated"].asBool());

    mgr.removeAutoOverlayModel("LED Panels");
    r = httpGet((uint16_t)api.GetPort(), "/api/overlays/models");
    ASSERT_EQ(200, r.status);
    EXPECT_EQ(0u, parse(r.body).size()) << r.body;
    EXPECT_EQ(405, httpRequest((uint16_t)api.GetPort(), "POST", "/api/overlays/models", "{}").status);
    api.Stop();
}
