// Video laid over the channel data. Nothing plays video yet; a video source
// installs a callback that draws the picture for a given time.
#pragma once

#include <functional>

class SDLOutput {
public:
    static bool IsOverlayingVideo();
    // Draws the video picture for `ms` over the channel data; false when no video runs.
    static bool ProcessVideoOverlay(unsigned int ms);

    // An empty function stops the overlay.
    static void SetVideoOverlay(std::function<void(unsigned int ms)> draw);
};
