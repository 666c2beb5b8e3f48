// The framebuffer preview output: draws the show's layout, every pixel as a small
// disc of its colour, into one of the host's overlay models, normally a
// framebuffer model that shows it on a screen attached to the board.
#pragma once

#include "ScreenPreviewDraw.h"
#include "host/output/PixelOverlay.h"
#include "host/output/ScreenPreviewBaseOutput.h"

#include <string>
#include <vector>

// Draws into the model named by "modelName", or into a framebuffer model it
// creates itself from "device", "width" and "height" and removes again in Close.
// The model belongs to the host's PixelOverlayManager; the preview buffer is this
// output's (allocated in Init, freed in Close).
class ScreenPreviewOutput : public ScreenPreviewBaseOutput {
public:
    ScreenPreviewOutput(unsigned int startChannel, unsigned int channelCount);
    ~ScreenPreviewOutput() override;

    int Init(Json::Value config) override;
    bool CheckConfig(const Json::Value& config) override;
    int Close() override;
    int SendData(unsigned char* channelData) override;
    // Adds "modelName" and "previewImage", where tavod serves the model's picture.
    void GetStatus(Json::Value& status) override;

    const std::string& GetModelName() const { return modelName; }
    bool IsAutoCreated() const { return autoCreated; }
    int GetPixelSize() const { return m_pixelSize; }

private:
    // Init after the keys are read; on failure Init removes a model it created.
    int InitModel(Json::Value& config);
    void RemoveCreatedModel();

    std::string modelName;
    bool autoCreated = false;
    PixelOverlayModel* model = nullptr; // the host's, looked up in Init

    std::vector<screenpreview::DiscPoint> m_disc; // the points drawn around each pixel
};
