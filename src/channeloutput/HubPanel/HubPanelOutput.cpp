// The "HubPanel" output: board checks, the panel layout, the driver's options, and
// the per-frame copy into the off-screen canvas.
#include "HubPanelOutput.h"

#include "HubPanelBoard.h"
#include "host/core/ConfigKeys.h"
#include "host/core/JsonUtils.h"
#include "host/core/Log.h"
#include "host/core/Settings.h"
#include "host/core/Warnings.h"
#include "host/output/Matrix.h"
#include "host/output/PanelConfig.h"
#include "host/output/PanelMatrix.h"
#include "host/output/PixelOverlay.h"

#include <cstring>

namespace {

const char* const WHO = "HubPanel";
const char* const SOUND_MODULE = "snd_bcm2835";
const char* const SOUND_WARNING = "HubPanel cannot run with snd_bcm2835 enabled.   Please reboot.";
const char* const CREATE_WARNING = "Unable to create HubPanel instance from options";

} // namespace

HubPanelOutput::HubPanelOutput(unsigned int startChannel, unsigned int channelCount)
    : ChannelOutput(startChannel, channelCount), m_runCommand(hubpanel::RunProgram) {
    LogDebug(LOGCH_CHANNELOUT, "HubPanelOutput::HubPanelOutput(%u, %u)\n", startChannel, channelCount);
    memset(m_gammaCurve, 0, sizeof(m_gammaCurve));
}

HubPanelOutput::~HubPanelOutput() {
    LogDebug(LOGCH_CHANNELOUT, "HubPanelOutput::~HubPanelOutput()\n");
    m_canvas = nullptr;
    m_driver.reset();
}

std::string HubPanelOutput::GetOutputType() const {
    return "Pi Panels";
}

int HubPanelOutput::Init(Json::Value config) {
    LogDebug(LOGCH_CHANNELOUT, "HubPanelOutput::Init(JSON)\n");
    if (!CheckConfig(config)) {
        return 0;
    }
    if (!config.isObject()) {
        LogErr(LOGCH_CHANNELOUT, "HubPanel: the configuration is not a JSON object\n");
        return 0;
    }
    // A second Init starts from nothing.
    m_canvas = nullptr;
    m_driver.reset();
    if (m_overlayModelAdded) {
        PixelOverlayManager::INSTANCE.removeAutoOverlayModel(m_overlayModelName);
        m_overlayModelAdded = false;
    }

    m_boardRoot = getSetting("HubPanelBoardRoot", "/");
    if (!boardAllowsPanels()) {
        return 0;
    }
    // The whole configuration is read before anything is done to the board: a
    // mistake in it must not cost the board its sound module.
    if (!readConfig(config)) {
        return 0;
    }
    if (!soundModuleGone()) {
        return 0;
    }

    // The canvas is the chains side by side: every chain as long as the longest.
    int64_t canvasWidth = (int64_t)m_layout.panelWidth * m_layout.longestChain;
    int64_t canvasHeight = (int64_t)m_layout.panelHeight * m_layout.outputs;
    if (canvasWidth * canvasHeight * 3 > PANEL_IMAGE_MAX_BYTES) {
        LogErr(
            LOGCH_CHANNELOUT,
            "HubPanel: a canvas of %lld x %lld pixels (chains of %d panels of %dx%d on %d outputs) is more "
            "than the %lld MiB a panel output may take; check \"panelWidth\", \"panelHeight\", and the "
            "panels' \"panelNumber\" and \"outputNumber\"\n",
            (long long)canvasWidth, (long long)canvasHeight, m_layout.longestChain, m_layout.panelWidth,
            m_layout.panelHeight, m_layout.outputs, (long long)(PANEL_IMAGE_MAX_BYTES >> 20));
        return 0;
    }

    LogDebug(LOGCH_CHANNELOUT,
             "  chain: %d    parallel: %d   rows: %d     cols: %d    brightness: %d   colordepth: %d\n",
             m_options.chain_length, m_options.parallel, m_options.rows, m_options.cols, m_options.brightness,
             m_options.pwm_bits);

    std::string refused;
    if (!m_options.Validate(&refused)) {
        LogErr(LOGCH_CHANNELOUT, "HubPanel: the panel driver refuses these options: %s\n", refused.c_str());
    }
    m_driver.reset(rgb_matrix::RGBMatrix::CreateFromOptions(m_options, m_runtimeOptions));
    if (!m_driver) {
        LogErr(LOGCH_CHANNELOUT, "Unable to create HubPanel instance\n");
        WarningHolder::AddWarning(CREATE_WARNING);
        return 0;
    }
    WarningHolder::RemoveWarning(CREATE_WARNING);

    m_canvas = m_driver->CreateFrameCanvas();
    rgb_matrix::FrameCanvas* shown = m_driver->CreateFrameCanvas();
    m_driver->SwapOnVSync(shown, 1);

    registerOverlayModel();
    return ChannelOutput::Init(config);
}

bool HubPanelOutput::boardAllowsPanels() {
    std::string model;
    hubpanel::ReadBoardFile(hubpanel::ModelPath(m_boardRoot), model);
    if (hubpanel::IsUnsupportedBoard(model)) {
        LogErr(LOGCH_CHANNELOUT,
               "HubPanel: the panel driver cannot drive HUB75 panels on this board (%s); the output stays "
               "off\n",
               model.c_str());
        return false;
    }
    return true;
}

bool HubPanelOutput::readConfig(const Json::Value& config) {
    if (!ReadPanelLayout(config, m_startChannel, WHO, m_layout)) {
        return false;
    }
    bool ok = true;
    m_colorOrder = JsonKeyString(config, "colorOrder", "", WHO, ok);
    if (m_layout.PanelCount() == 0) {
        LogWarn(LOGCH_CHANNELOUT, "HubPanel: no \"panels\" are configured; nothing is drawn\n");
    }
    // The output reads its picture, whatever count it was created with.
    m_channelCount = (unsigned int)m_layout.Width() * m_layout.Height() * 3;

    m_options = rgb_matrix::RGBMatrix::Options();
    m_runtimeOptions = rgb_matrix::RuntimeOptions();
    m_options.rows = m_layout.panelHeight;
    m_options.cols = m_layout.panelWidth;
    m_options.chain_length = m_layout.longestChain;
    m_options.parallel = m_layout.outputs;

    int depth = JsonKeyInt(config, "panelColorDepth", 8, WHO, ok);
    m_options.pwm_bits = (depth < 6 || depth > 11) ? 11 : depth;
    m_options.brightness = JsonKeyInt(config, "brightness", 100, WHO, ok);
    m_hardwareMapping = JsonKeyString(config, "wiringPinout", "", WHO, ok);
    if (!m_hardwareMapping.empty()) {
        m_options.hardware_mapping = m_hardwareMapping.c_str();
    }
    m_options.disable_hardware_pulsing = JsonKeyBool(config, "cpuPWM", false, WHO, ok);
    if (m_options.disable_hardware_pulsing) {
        LogDebug(LOGCH_CHANNELOUT, "Disabling use of Hardware PWM for OE pin\n");
    }
    // An empty text is what configuration pages store for "the driver's choice".
    bool interleave = config.isMember("panelInterleave") &&
                      !(config["panelInterleave"].isString() && config["panelInterleave"].asString().empty());
    if (interleave) {
        m_options.multiplexing = JsonKeyInt(config, "panelInterleave", 0, WHO, ok);
        if (config.isMember("panelScan")) {
            int scan = JsonKeyInt(config, "panelScan", -1, WHO, ok);
            if (scan == 0 || scan == m_layout.panelHeight / 2) {
                m_options.multiplexing = 0;
            }
        }
    }
    m_options.row_address_type =
        JsonKeyInt(config, "panelRowAddressType", m_options.row_address_type, WHO, ok);
    int panelType = JsonKeyInt(config, "panelType", 0, WHO, ok);
    m_panelType = panelType == 1 ? "FM6126A" : panelType == 2 ? "FM6127" : "";
    if (!m_panelType.empty()) {
        m_options.panel_type = m_panelType.c_str();
    }
    m_runtimeOptions.gpio_slowdown = JsonKeyInt(config, "gpioSlowdown", 1, WHO, ok);
    m_runtimeOptions.daemon = 0;
    m_runtimeOptions.drop_privileges = 0;
    m_runtimeOptions.do_gpio_init = true;

    BuildPanelGammaTable(ReadPanelGamma(config, 2.2f, WHO, ok), m_gammaCurve);

    m_modelBaseName = "LED Panels";
    std::string matrixName = JsonKeyString(config, "LEDPanelMatrixName", "", WHO, ok);
    if (!matrixName.empty()) {
        m_modelBaseName = matrixName;
    }
    if (config.isMember("description")) {
        m_modelBaseName = JsonKeyString(config, "description", m_modelBaseName, WHO, ok);
    }
    return ok;
}

bool HubPanelOutput::soundModuleGone() {
    // Only the Pi has the onboard sound module, and only there are its tools
    // worth running.
    std::string model;
    hubpanel::ReadBoardFile(hubpanel::ModelPath(m_boardRoot), model);
    if (!hubpanel::IsRaspberryPi(model)) {
        return true;
    }
    std::string modules;
    hubpanel::ReadBoardFile(hubpanel::ModulesPath(m_boardRoot), modules);
    if (!hubpanel::ModuleLoaded(modules, SOUND_MODULE)) {
        return true;
    }
    LogInfo(LOGCH_CHANNELOUT, "snd_bcm2835 is loaded, attempting to unload.\n");
    std::string error;
    if (!m_runCommand({"/sbin/rmmod", SOUND_MODULE}, error)) {
        LogWarn(LOGCH_CHANNELOUT, "HubPanel: /sbin/rmmod %s %s\n", SOUND_MODULE, error.c_str());
    }
    // A dummy sound card keeps programs that expect one happy; not having one is no reason to stop.
    if (!m_runCommand({"/sbin/modprobe", "snd_dummy"}, error)) {
        LogWarn(LOGCH_CHANNELOUT, "HubPanel: /sbin/modprobe snd_dummy %s\n", error.c_str());
    }
    hubpanel::ReadBoardFile(hubpanel::ModulesPath(m_boardRoot), modules);
    if (!hubpanel::ModuleLoaded(modules, SOUND_MODULE)) {
        return true;
    }
    LogWarn(LOGCH_CHANNELOUT, "snd_bcm2835 is stil loaded. Cannot proceed.\n");
    // The same store tavod's PUT /api/settings/rebootFlag writes.
    setSetting("rebootFlag", "1");
    WarningHolder::AddWarning(SOUND_WARNING);
    LogErr(LOGCH_CHANNELOUT, "%s\n", SOUND_WARNING);
    return false;
}

void HubPanelOutput::registerOverlayModel() {
    m_overlayModelAdded = PixelOverlayManager::INSTANCE.addPanelModel(
        m_modelBaseName, m_startChannel, m_channelCount, m_layout.invertedData != 0,
        (uint32_t)m_layout.Height(), m_overlayModelName);
}

int HubPanelOutput::Close() {
    LogDebug(LOGCH_CHANNELOUT, "HubPanelOutput::Close()\n");
    m_canvas = nullptr;
    m_driver.reset();
    if (m_overlayModelAdded) {
        PixelOverlayManager::INSTANCE.removeAutoOverlayModel(m_overlayModelName);
        m_overlayModelAdded = false;
    }
    return ChannelOutput::Close();
}

void HubPanelOutput::PrepData(unsigned char* channelData) {
    LogExcess(LOGCH_CHANNELOUT, "HubPanelOutput::PrepData(%p)\n", (void*)channelData);
    if (!m_canvas || !m_layout.panelMatrix) {
        return;
    }
    m_layout.matrix->OverlaySubMatrices(channelData);
    const unsigned char* s = channelData + m_startChannel;
    const uint8_t* gamma = m_gammaCurve;
    rgb_matrix::FrameCanvas* canvas = m_canvas;
    for (int o = 0; o < m_layout.outputs; o++) {
        for (int index : m_layout.panelMatrix->GetOutputPanels(o)) {
            const LEDPanel& panel = m_layout.panelMatrix->GetPanel(index);
            // Position 0 is nearest the board: last on the canvas.
            int x0 = (m_layout.longestChain - 1 - panel.chain) * m_layout.panelWidth;
            int y0 = o * m_layout.panelHeight;
            const uint32_t* map = panel.pixelMap.data();
            for (int y = 0; y < m_layout.panelHeight; y++) {
                for (int x = 0; x < m_layout.panelWidth; x++, map += 3) {
                    canvas->SetPixel(x0 + x, y0 + y, gamma[s[map[0]]], gamma[s[map[1]]], gamma[s[map[2]]]);
                }
            }
        }
    }
}

int HubPanelOutput::SendData(unsigned char* channelData) {
    LogExcess(LOGCH_CHANNELOUT, "HubPanelOutput::RawSendData(%p)\n", (void*)channelData);
    if (m_driver && m_canvas) {
        m_canvas = m_driver->SwapOnVSync(m_canvas, 1);
    }
    return (int)m_channelCount;
}

void HubPanelOutput::GetRequiredChannelRanges(const std::function<void(int, int)>& addRange) {
    ChannelOutput::GetRequiredChannelRanges(addRange);
    // The blocks the sub-matrices copy in may lie outside the picture's channels.
    if (m_layout.matrix) {
        m_layout.matrix->AddSourceRanges(addRange);
    }
}

void HubPanelOutput::OverlayTestData(unsigned char* channelData, int cycleNum, float, int testType,
                                     const Json::Value&) {
    if (!m_layout.panelMatrix) {
        return;
    }
    for (int o = 0; o < m_layout.outputs; o++) {
        for (int index : m_layout.panelMatrix->GetOutputPanels(o)) {
            m_layout.panelMatrix->GetPanel(index).drawTestPattern(channelData + m_startChannel, cycleNum,
                                                                  testType);
        }
    }
}

bool HubPanelOutput::SupportsTesting() const {
    return true;
}

void HubPanelOutput::DumpConfig() {
    LogDebug(LOGCH_CHANNELOUT, "HubPanelOutput::DumpConfig()\n");
    LogDebug(LOGCH_CHANNELOUT, "    panels : %d\n", m_layout.PanelCount());
    LogDebug(LOGCH_CHANNELOUT, "    width  : %d\n", m_layout.Width());
    LogDebug(LOGCH_CHANNELOUT, "    height : %d\n", m_layout.Height());
    ChannelOutput::DumpConfig();
}

void HubPanelOutput::GetStatus(Json::Value& status) {
#ifdef RGB_MATRIX_STANDIN
    status["driver"] = "stand-in: no panels driven";
#else
    status["driver"] = "rpi-rgb-led-matrix";
#endif
    status["width"] = m_layout.panelWidth * m_layout.longestChain;
    status["height"] = m_layout.panelHeight * m_layout.outputs;
    status["panels"] = m_layout.PanelCount();
}

bool HubPanelOutput::CheckConfig(const Json::Value& config) {
    // The values are read, and checked, by Init; this names keys it does not know.
    static const std::vector<ConfigKey> keys = PanelOutputKeys({
        {"brightness", ConfigKey::ANY},
        {"panelColorDepth", ConfigKey::ANY},
        {"gpioSlowdown", ConfigKey::ANY},
        {"wiringPinout", ConfigKey::ANY},
        {"cpuPWM", ConfigKey::ANY},
        {"panelInterleave", ConfigKey::ANY},
        {"panelScan", ConfigKey::ANY},
        {"panelRowAddressType", ConfigKey::ANY},
        {"panelType", ConfigKey::ANY},
        {"LEDPanelMatrixName", ConfigKey::ANY},
        {"description", ConfigKey::ANY},
    });
    return CheckConfigKeys(config, keys, "HubPanel");
}
