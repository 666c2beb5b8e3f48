// What the HubPanel tests share: a board folder (model and module files) that the
// output's board root setting points at, and a configuration parser.
#pragma once

#include "host/core/JsonUtils.h"
#include "host/core/Settings.h"
#include "TempDir.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <string>

namespace hubpaneltest {

// A board's /proc in a temporary folder, named by the host setting
// "HubPanelBoardRoot" while the object lives.
class FakeBoard {
public:
    explicit FakeBoard(const std::string& model = "Raspberry Pi 4 Model B Rev 1.4",
                       const std::string& modules = "spidev 20480 0 - Live 0x0000000000000000\n") {
        mkdir((m_dir.path() + "/proc").c_str(), 0755);
        mkdir((m_dir.path() + "/proc/device-tree").c_str(), 0755);
        if (!model.empty()) {
            setModel(model);
        }
        setModules(modules);
        setSetting("HubPanelBoardRoot", m_dir.path());
    }
    ~FakeBoard() { setSetting("HubPanelBoardRoot", "/"); }
    // The device tree writes the model with a NUL at its end.
    void setModel(const std::string& model) { writeFileBytes(modelPath(), model + std::string(1, '\0')); }
    void setModules(const std::string& modules) { writeFileBytes(modulesPath(), modules); }
    std::string modelPath() const { return m_dir.path() + "/proc/device-tree/model"; }
    std::string modulesPath() const { return m_dir.path() + "/proc/modules"; }
    const std::string& root() const { return m_dir.path(); }

private:
    TempDir m_dir;
};

inline Json::Value parse(const std::string& text) {
    Json::Value v;
    std::string error;
    EXPECT_TRUE(LoadJsonFromString(text, v, &error)) << error << "\n" << text;
    return v;
}

// One output's panels: `panels` is the JSON list's inside.
inline std::string config(const std::string& panels, const std::string& more = "", int panelWidth = 32,
                          int panelHeight = 16) {
    return "{\"type\": \"HubPanel\", \"panelWidth\": " + std::to_string(panelWidth) +
           ", \"panelHeight\": " + std::to_string(panelHeight) + ", \"panels\": [" + panels + "]" +
           (more.empty() ? "" : ", " + more) + "}";
}

inline std::string panel(int output, int chain, const std::string& orientation, int x, int y,
                         const std::string& colorOrder = "") {
    return "{\"outputNumber\": " + std::to_string(output) + ", \"panelNumber\": " + std::to_string(chain) +
           ", \"orientation\": \"" + orientation + "\", \"xOffset\": " + std::to_string(x) +
           ", \"yOffset\": " + std::to_string(y) +
           (colorOrder.empty() ? "" : ", \"colorOrder\": \"" + colorOrder + "\"") + "}";
}

} // namespace hubpaneltest
