// Loading the model overlays file through the overlay manager's own checks.
#include "ModelOverlays.h"

#include "ErrorCollector.h"

#include "host/core/Common.h"
#include "host/core/JsonUtils.h"
#include "host/core/Log.h"
#include "host/output/PixelOverlay.h"

bool LoadModelOverlays(const std::string& path, PixelOverlayManager& manager,
                       std::vector<std::string>& problems) {
    if (!FileExists(path)) {
        return true;
    }
    size_t before = problems.size();
    auto problem = [&](const std::string& text) {
        LogErr(LOGCH_GENERAL, "%s\n", text.c_str());
        problems.push_back(text);
    };
    Json::Value root;
    std::string error;
    if (!LoadJsonFromFile(path, root, &error)) {
        problem(path + ": not valid JSON: " + error);
        return false;
    }
    if (!root.isObject() || !root["models"].isArray()) {
        problem(path + ": expected an object such as {\"models\": [{\"Name\": \"Tree\", \"StartChannel\": 1, "
                       "\"ChannelCount\": 300}]}");
        return false;
    }
    const Json::Value& models = root["models"];
    for (Json::ArrayIndex i = 0; i < models.size(); i++) {
        const Json::Value& m = models[i];
        std::string where = path + ": models[" + std::to_string(i) + "]";
        if (m.isObject() && m["Name"].isString()) {
            where += " (" + m["Name"].asString() + ")";
        }
        ErrorCollector why; // the manager's own words
        if (!manager.addModel(m)) {
            problems.push_back(where + ": " + why.Last("not added"));
        }
    }
    return problems.size() == before;
}
