// The "ScreenPreview" output: configuration, the model it draws into, and the
// per-frame drawing.
#include "ScreenPreviewOutput.h"

#include "host/core/ConfigKeys.h"
#include "host/core/Common.h"
#include "host/core/Log.h"

#include <algorithm>
#include <cstdlib>

namespace {

// Discs wider than this are no preview any more, and each costs radius squared
// points per pixel and frame.
const int MAX_PIXEL_SIZE = 256;

// Configuration keys read without exceptions: a wrong-typed key is logged and
// clears `ok`; `out` keeps its value then.
void readText(const Json::Value& config, const char* key, std::string& out, bool& ok) {
    if (!config.isMember(key)) {
        return;
    }
    if (!config[key].isString()) {
        LogErr(LOGCH_CHANNELOUT, "ScreenPreview \"%s\" must be a text\n", key);
        ok = false;
        return;
    }
    out = config[key].asString();
}

void readInt(const Json::Value& config, const char* key, int& out, bool& ok) {
    if (!config.isMember(key)) {
        return;
    }
    const Json::Value& v = config[key];
    if (v.isInt()) {
        out = v.asInt();
        return;
    }
    if (v.isDouble() && v.asDouble() == (double)(int)v.asDouble() && v.asDouble() > -2147483648.0 &&
        v.asDouble() < 2147483647.0) {
        out = (int)v.asDouble();
        return;
    }
    LogErr(LOGCH_CHANNELOUT, "ScreenPreview \"%s\" must be a whole number\n", key);
    ok = false;
}

// A model name as one piece of a URL path.
std::string urlPiece(const std::string& text) {
    static const char hex[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : text) {
        if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
            c == '_' || c == '.' || c == '~') {
            out += (char)c;
        } else {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 15];
        }
    }
    return out;
}

bool tooLarge(long long width, long long height, int bytesPerPixel) {
    return (unsigned long long)width * (unsigned long long)height * (unsigned long long)bytesPerPixel >
           ScreenPreviewBaseOutput::MAX_PREVIEW_BUFFER;
}

} // namespace

ScreenPreviewOutput::ScreenPreviewOutput(unsigned int startChannel, unsigned int channelCount)
    : ScreenPreviewBaseOutput(startChannel, channelCount) {
    LogDebug(LOGCH_CHANNELOUT, "ScreenPreviewOutput::ScreenPreviewOutput(%u, %u)\n", startChannel,
             channelCount);
}

ScreenPreviewOutput::~ScreenPreviewOutput() {
    LogDebug(LOGCH_CHANNELOUT, "ScreenPreviewOutput::~ScreenPreviewOutput()\n");
    Close();
}

int ScreenPreviewOutput::Init(Json::Value config) {
    LogDebug(LOGCH_CHANNELOUT, "ScreenPreviewOutput::Init()\n");
    if (!CheckConfig(config)) {
        return 0;
    }
    if (model || m_previewBuffer) {
        LogErr(LOGCH_CHANNELOUT, "ScreenPreviewOutput::Init called again without Close\n");
        return 0;
    }
    if (!config.isObject()) {
        LogErr(LOGCH_CHANNELOUT, "ScreenPreview configuration is not a JSON object\n");
        return 0;
    }
    // A new Init starts from its own configuration, not from the name a closed
    // one created.
    modelName.clear();
    autoCreated = false;
    m_pixelSize = 1;
    bool ok = true;
    readText(config, "ModelName", modelName, ok);
    readInt(config, "PixelSize", m_pixelSize, ok);
    readText(config, "modelName", modelName, ok);
    readInt(config, "pixelSize", m_pixelSize, ok);
    if (!ok) {
        return 0;
    }
    if (m_pixelSize > MAX_PIXEL_SIZE) {
        LogErr(LOGCH_CHANNELOUT, "ScreenPreview \"pixelSize\" %d is larger than %d\n", m_pixelSize,
               MAX_PIXEL_SIZE);
        return 0;
    }
    int r = InitModel(config);
    if (!r) {
        RemoveCreatedModel();
        model = nullptr;
        free(m_previewBuffer);
        m_previewBuffer = nullptr;
    }
    return r;
}

int ScreenPreviewOutput::InitModel(Json::Value& config) {
    PixelOverlayManager& models = PixelOverlayManager::INSTANCE;
    if (modelName.empty()) {
        if (!config.isMember("width") || !config.isMember("height") || !config.isMember("device")) {
            LogErr(LOGCH_CHANNELOUT, "Empty Pixel Overlay Model name\n");
            return 0;
        }
        int width = 0, height = 0;
        std::string device;
        bool ok = true;
        readInt(config, "width", width, ok);
        readInt(config, "height", height, ok);
        readText(config, "device", device, ok);
        if (!ok) {
            return 0;
        }
        replaceStart(device, "/dev/", "");
        modelName = "FB - " + device;
        const bool exists = models.getModel(modelName) != nullptr;
        if (width <= 0 || height <= 0 || device.empty() || exists) {
            if (exists) {
                LogWarn(LOGCH_CHANNELOUT, "ScreenPreview: a model named '%s' exists already\n",
                        modelName.c_str());
            }
            LogErr(LOGCH_CHANNELOUT, "Empty Pixel Overlay Model name\n");
            return 0;
        }
        if (tooLarge(width, height, m_bytesPerPixel)) {
            LogErr(LOGCH_CHANNELOUT,
                   "ScreenPreview picture of %dx%d is too large (more than %zu MiB); make \"width\" and "
                   "\"height\" smaller\n",
                   width, height, MAX_PREVIEW_BUFFER >> 20);
            return 0;
        }
        Json::Value m(Json::objectValue);
        m["Name"] = modelName;
        m["Type"] = "FB";
        m["Width"] = width;
        m["Height"] = height;
        m["PixelSize"] = 1;
        m["Device"] = device;
        m["autoCreated"] = true;
        autoCreated = models.addModel(m);
    }
    model = models.getModel(modelName);
    if (!model) {
        LogErr(LOGCH_CHANNELOUT, "Invalid Pixel Overlay Model: '%s'\n", modelName.c_str());
        return 0;
    }
    const int width = model->getWidth();
    const int height = model->getHeight();
    if (width < 1 || height < 1) {
        LogErr(LOGCH_CHANNELOUT, "Pixel Overlay Model '%s' has no pixels (%dx%d)\n", modelName.c_str(), width,
               height);
        return 0;
    }
    if (tooLarge(width, height, m_bytesPerPixel)) {
        LogErr(LOGCH_CHANNELOUT,
               "Pixel Overlay Model '%s' of %dx%d is too large for a preview (more than %zu MiB)\n",
               modelName.c_str(), width, height, MAX_PREVIEW_BUFFER >> 20);
        return 0;
    }
    m_previewWidth = width;
    m_previewHeight = height;
    config["width"] = width;
    config["height"] = height;
    if (!ScreenPreviewBaseOutput::Init(config)) {
        return 0;
    }
    // The model reads a whole buffer of its own size from it (setData), which for
    // a model of channels may be more than the picture.
    const size_t bytes =
        std::max((size_t)width * (size_t)height * (size_t)m_bytesPerPixel, model->getBufferSize());
    m_previewBuffer = (unsigned char*)calloc(bytes, 1);
    if (!m_previewBuffer) {
        LogErr(LOGCH_CHANNELOUT, "Unable to malloc buffer\n");
        return 0;
    }
    if (!InitializePixelMap()) {
        return 0;
    }
    m_disc = screenpreview::DiscPoints(screenpreview::DiscRadius(m_pixelSize));
    model->showData(m_previewBuffer);
    if (model->getState() == PixelOverlayModel::Disabled) {
        model->setData(m_previewBuffer);
    }
    return 1;
}

void ScreenPreviewOutput::RemoveCreatedModel() {
    // Once only: a second Close must not take a model of the same name that
    // another output created in the meantime.
    if (autoCreated) {
        PixelOverlayManager::INSTANCE.removeAutoOverlayModel(modelName);
        autoCreated = false;
    }
}

int ScreenPreviewOutput::Close() {
    LogDebug(LOGCH_CHANNELOUT, "ScreenPreviewOutput::Close()\n");
    RemoveCreatedModel();
    model = nullptr;
    free(m_previewBuffer);
    m_previewBuffer = nullptr;
    return ChannelOutput::Close();
}

int ScreenPreviewOutput::SendData(unsigned char* channelData) {
    LogExcess(LOGCH_CHANNELOUT, "ScreenPreviewOutput::SendData(%p)\n", channelData);
    if (!model || !channelData) {
        return (int)m_channelCount;
    }
    screenpreview::DrawPixels(m_pixels, channelData, m_disc, m_previewWidth, m_previewHeight, *model);
    model->setBufferIsDirty(true);
    if (model->getState() == PixelOverlayModel::Disabled) {
        model->setData(model->getOverlayBuffer());
    }
    return (int)m_channelCount;
}

void ScreenPreviewOutput::GetStatus(Json::Value& status) {
    ScreenPreviewBaseOutput::GetStatus(status);
    status["modelName"] = modelName;
    status["previewImage"] = "/api/overlays/models/" + urlPiece(modelName) + "/image";
}

bool ScreenPreviewOutput::CheckConfig(const Json::Value& config) {
    // The values are read, and checked, by Init; this names keys it does not know.
    static const std::vector<ConfigKey> keys = {
        {"modelName", ConfigKey::ANY}, {"ModelName", ConfigKey::ANY}, {"pixelSize", ConfigKey::ANY},
        {"PixelSize", ConfigKey::ANY}, {"device", ConfigKey::ANY},    {"width", ConfigKey::ANY},
        {"height", ConfigKey::ANY},    {"layout", ConfigKey::ANY},
    };
    return CheckConfigKeys(config, keys, "ScreenPreview");
}
