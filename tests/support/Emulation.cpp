// The cases that cannot work under qemu-user, skipped with their reason. Only what
// is a limit of the emulator or of a test tool's armhf build belongs here: a case
// failing for the armhf build's own sake is a fault to fix, not to skip.
#include "Emulation.h"

#include <cstdlib>
#include <gtest/gtest.h>

namespace {

struct EmulationSkip {
    const char* caseName; // Suite.Name, or a prefix ending with '*'
    const char* reason;
};

// qemu-user starts a helper thread of its own in every program before main, and
// it is listed in /proc/self/task with the program's name: tavod then reports one
// thread still running at exit, which these cases check is never said.
#define QEMU_THREAD "qemu's own thread is counted as a tavod thread left at exit"
// The same thread keeps every processor, so a processor kept for the output
// thread seems shared with a "tavod" thread.
#define QEMU_THREAD_CPUS "qemu's own thread, named tavod, may run on every processor"
// qemu-user runs the clone(CLONE_VFORK) of posix_spawn as a fork, so the child's
// exec error never reaches the parent: a program that is not there exits 127.
#define QEMU_VFORK "qemu runs posix_spawn's vfork as a fork, so a failed exec is seen as exit status 127"
// ldd is the build machine's, which cannot list an armhf program's libraries.
#define HOST_LDD "the machine's ldd cannot read an armhf program"
// Debian 12's armhf libfaketime ends every pthread_cond_timedwait on CLOCK_MONOTONIC
// at once (a 25 ms wait takes none), so a board whose clock it makes fast spins
// instead of keeping time; its fixed dates (the schedule tests) still work.
#define FAKETIME_ARMHF "the armhf libfaketime ends timed waits at once, so a fast clock cannot be made"

const EmulationSkip kEmulationSkips[] = {
    {"TavodPlayTest.EveryFrameArrivesInOrderOnTimeThenABlankFrame", QEMU_THREAD},
    {"Signals/TavodStopTest.ASignalMidShowBlanksClosesAndExitsZero/*", QEMU_THREAD},
    {"TavodHttpTest.StatusDescribesTheShowAndItsOutputs", QEMU_THREAD},
    {"TavodHttpTest.SettingsAreReadAndChanged", QEMU_THREAD},
    {"TavodHttpTest.APutCallsTheSettingsListeners", QEMU_THREAD},
    {"TavodHttpTest.BadRequestsGetJsonErrors", QEMU_THREAD},
    {"TavodHttpTest.WarningsAndThePreviewPage", QEMU_THREAD},
    {"TavodMqttTest.StatusTopicsFollowTheShow", QEMU_THREAD},
    {"TavodMqttTest.AcceptedCommandStartsASequence", QEMU_THREAD},
    {"TavodMqttTest.FailedAndMalformedCommandsAnswerWithAnError", QEMU_THREAD},
    {"TavodMqttTest.ACommandNamesNoSequenceOutsideTheSequencesFolder", QEMU_THREAD},
    {"TavodMqttTest.CommandsAreIgnoredUnlessAccepted", QEMU_THREAD},
    {"TavodMqttTest.StatusShowsTheClient", QEMU_THREAD},
    {"TavodMqttTest.HomeAssistantDiscovery", QEMU_THREAD},
    {"TavodMqttTest.NoDiscoveryUnlessAskedFor", QEMU_THREAD},
    {"TavodMqttTest.WrongCredentialsWarnAndTheShowGoesOn", QEMU_THREAD},
    {"TavodMqttTest.UnreachableBrokerWarnsAndTheShowStartsAnyway", QEMU_THREAD},
    {"TavodMqttTest.UnusableSettingsWarnAndTheShowGoesOn", QEMU_THREAD},
    {"TavodMqttTest.TLSWithTheTestsOwnCertificate", QEMU_THREAD},
    {"TavodMqttTest.TheSyncTopicNamesTheBoardsAFollowerHears", QEMU_THREAD},
    {"MqttTavodTest.WithoutMQTTTheOutputIsLeftOutAndTheShowGoesOn", QEMU_THREAD},
    {"MqttTavodTest.BrokerStartedAfterTavodGetsTheFirstFrameOfTheConnection", QEMU_THREAD},
    {"MqttTavodTest.BrokerRestartedMidShowReconnectsAndOtherOutputsKeepTime", QEMU_THREAD},
    {"TavodConfigTest.AProcessorKeptForTheOutputThreadRunsItAlone", QEMU_THREAD_CPUS},
    {"HubPanelRunProgram.AMissingProgramOrARelativeNameIsNotStarted", QEMU_VFORK},
    {"DebPackageTest.ItsProgramsRunFromWhereThePackagePutsThem", HOST_LDD},
    {"TavodSyncTest.*", FAKETIME_ARMHF},
    {"TavodSyncMulticast.*", FAKETIME_ARMHF},
    {"TavodSyncSwitch.*", FAKETIME_ARMHF},
};

bool matches(const char* pattern, const std::string& name) {
    std::string p(pattern);
    if (!p.empty() && p.back() == '*') {
        return name.compare(0, p.size() - 1, p, 0, p.size() - 1) == 0;
    }
    return name == p;
}

// Skips a listed case from the listener, before the fixture's SetUp runs: what
// SetUp starts (tavod, a namespace) may be what cannot work.
class EmulationSkipper : public ::testing::EmptyTestEventListener {
    void OnTestStart(const ::testing::TestInfo& info) override {
        std::string reason = EmulationSkipReason(std::string(info.test_suite_name()) + "." + info.name());
        if (!reason.empty()) {
            GTEST_SKIP() << "cannot work under qemu-user emulation: " << reason;
        }
    }
};

// Linked into every test program (tavo_add_test), so the listener is there before
// the tests run.
const bool kListening = [] {
    ::testing::UnitTest::GetInstance()->listeners().Append(new EmulationSkipper);
    return true;
}();

} // namespace

bool UnderEmulation() {
    const char* v = std::getenv("TAVO_EMULATED");
    return v && *v;
}

std::string EmulationSkipReason(const std::string& caseName) {
    if (!UnderEmulation()) {
        return {};
    }
    for (const EmulationSkip& s : kEmulationSkips) {
        if (matches(s.caseName, caseName)) {
            return s.reason;
        }
    }
    return {};
}
