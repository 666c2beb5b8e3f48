// The daemon in-process: what it does around the engine when a show starts.
#include "Daemon.h"
#include "EngineTestSupport.h"
#include "Sequence.h"
#include "TavodTestSupport.h"

#include <gtest/gtest.h>

namespace {

using tavodtest::MediaDir;

TEST(TavodDaemon, AShowStartsWithItsFirstFrameEvenWhenItComesLate) {
    // The first frame takes far longer than a step (25 ms) to come: a large
    // compressed block on a busy board. The show must still begin with it, not
    // with a blank frame and every frame a period late.
    MediaDir media;
    ASSERT_TRUE(media.writeSequence("show.lcsf", 30, 40, 25));
    media.writeOutputs(tavodtest::customUdp(1, 30, 9, "{data}"));
    DaemonOptions options;
    options.mediaDir = media.path();
    options.pluginDir = TAVO_PLUGIN_DIR;
    options.httpPort = 0;
    options.quiet = true;
    Daemon daemon(options);
    ASSERT_EQ(daemon.Start(), EXIT_OK);
    sequence->setFileOpener([](const std::string& path) -> LCSFFile* {
        LCSFFile* f = LCSFFile::openLCSFFile(path);
        return f ? new SlowLCSFFile(f, [](uint32_t frame) { return frame == 0 ? 300 : 0; }) : nullptr;
    });
    std::string error;
    ASSERT_TRUE(daemon.StartSequence("show.lcsf", -1, error)) << error;
    EXPECT_EQ(sequence->GetLoadedFrameNumber(), 0);
    EXPECT_EQ(sequence->seqData[0], testChannelValue(0, 0));
    daemon.StopSequence();
    sequence->setFileOpener(nullptr);
    daemon.Shutdown();
}

} // namespace
