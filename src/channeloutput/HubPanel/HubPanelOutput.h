// The "HubPanel" output: chains of HUB75 LED panels on the board's GPIO header,
// drawn through the rgb_matrix panel driver. Each frame is mapped through the
// panels' pixel maps and a gamma table into an off-screen canvas, which is
// swapped in on the next refresh.
#pragma once

#include "host/output/ChannelOutput.h"
#include "host/output/PanelConfig.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <json/json.h>

#include "led-matrix.h"

class HubPanelOutput : public ChannelOutput {
public:
    // Runs a module tool: argv[0] is its absolute path. True when it succeeded,
    // else false with what happened in `error`. hubpanel::RunProgram unless a test
    // puts another in.
    using CommandRunner = bool (*)(const std::vector<std::string>& argv, std::string& error);

    HubPanelOutput(unsigned int startChannel, unsigned int channelCount);
    ~HubPanelOutput() override;

    std::string GetOutputType() const override;
    int Init(Json::Value config) override;
    bool CheckConfig(const Json::Value& config) override;
    int Close() override;
    void PrepData(unsigned char* channelData) override;
    int SendData(unsigned char* channelData) override;
    void GetRequiredChannelRanges(const std::function<void(int, int)>& addRange) override;
    void OverlayTestData(unsigned char* channelData, int cycleNum, float percentOfCycle, int testType,
                         const Json::Value& config) override;
    bool SupportsTesting() const override;
    void DumpConfig() override;
    // "driver" ("rpi-rgb-led-matrix", or "stand-in: no panels driven"), "width" and
    // "height" of the canvas, "panels".
    void GetStatus(Json::Value& status) override;

    // Test seam: what runs the module tools.
    void SetCommandRunner(CommandRunner runner) { m_runCommand = runner; }

    // Read by tests.
    rgb_matrix::FrameCanvas* GetCanvas() const { return m_canvas; }
    rgb_matrix::RGBMatrix* GetDriver() const { return m_driver.get(); }
    const std::string& GetOverlayModelName() const { return m_overlayModelName; }
    bool HasOverlayModel() const { return m_overlayModelAdded; }
    const uint8_t* GetGammaCurve() const { return m_gammaCurve; }
    int GetWidth() const { return m_layout.Width(); }
    int GetHeight() const { return m_layout.Height(); }
    int GetOutputs() const { return m_layout.outputs; }
    int GetLongestChain() const { return m_layout.longestChain; }

private:
    bool readConfig(const Json::Value& config);
    bool boardAllowsPanels();
    bool soundModuleGone();
    void registerOverlayModel();

    rgb_matrix::FrameCanvas* m_canvas = nullptr; // drawn by PrepData; owned by m_driver
    std::unique_ptr<rgb_matrix::RGBMatrix> m_driver;
    std::string m_colorOrder = "RGB";
    PanelLayout m_layout; // read by Init
    std::string m_overlayModelName;
    uint8_t m_gammaCurve[256];

    // The driver's options, read by Init; the texts live as long as the driver.
    rgb_matrix::RGBMatrix::Options m_options;
    rgb_matrix::RuntimeOptions m_runtimeOptions;
    std::string m_hardwareMapping;
    std::string m_panelType;
    // The model name may be empty (an empty "description"): this says whether one
    // was registered, for Close to remove it.
    bool m_overlayModelAdded = false;
    std::string m_modelBaseName;
    std::string m_boardRoot;
    CommandRunner m_runCommand;
};
