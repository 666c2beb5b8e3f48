// libFuzzer harness for the MQTT command topic: the daemon runs in the fuzzer's
// process (simulated pins, a sequence, no outputs) and each input is one message on
// PREFIX/command, run as tavod runs it on its main loop. Whatever the bytes, the
// answer for PREFIX/command/result is {"command": text, "ok": bool, "result": text},
// and a message that is not a JSON object is refused with the one text that says so.
#include "FuzzDaemon.h"
#include "MQTTWiring.h"
#include "host/core/JsonUtils.h"
#include "host/core/Log.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

std::string g_media;
Daemon* g_daemon = nullptr;

// Registered after the daemon started, so it runs before the singletons it uses
// (the GPIO manager, the pins) are destroyed.
void stopDaemon() {
    if (g_daemon) {
        g_daemon->Shutdown();
        delete g_daemon;
        g_daemon = nullptr;
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    QuietLogs();
    QuietStdout();
    g_media = MakeFuzzMediaFolder("mqtt");
    WriteFuzzFile(g_media + "/config/pins.json",
                  R"({"provider": "simulated", "simulatedDir": "sim", "pins": [
                   {"name": "IN1", "gpio": 1}, {"name": "OUT1", "gpio": 2}]})");
    WriteFuzzFile(g_media + "/config/channeloutputs.json", R"({"channelOutputs": []})");
    WriteFuzzFile(g_media + "/config/commandPresets.json",
                  R"({"presets": {"LIGHTS": [{"command": "GPIO", "args": ["OUT1", "On"]}]}})");
    WriteFuzzSequence(g_media + "/sequences/show.lcsf", 20, 16);
    // No HTTP API: the messages come in here.
    g_daemon = StartFuzzDaemon(g_media, "mqtt_command_fuzz");
    atexit(stopDaemon);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string payload(reinterpret_cast<const char*>(data), size);
    // The fuzzer's thread is the daemon's main thread here: commands run on it.
    const Json::Value answer = MQTTWiring::RunCommandPayload(payload);
    if (!answer.isObject() || !answer["command"].isString() || !answer["ok"].isBool() ||
        !answer["result"].isString()) {
        fprintf(stderr, "mqtt_command_fuzz: an answer of the wrong shape for %zu bytes\n", size);
        abort();
    }
    Json::Value parsed;
    const bool isObject = LoadJsonFromString(payload, parsed) && parsed.isObject();
    if (!isObject && (answer["ok"].asBool() ||
                      answer["result"].asString() !=
                          "The message must be a JSON object: {\"command\": NAME, \"args\": [TEXT, ...]}")) {
        fprintf(stderr, "mqtt_command_fuzz: a message that is no JSON object was not refused as one\n");
        abort();
    }
    // A show a command started must not pile up over the runs.
    g_daemon->StopSequence();
    QuietLogs();
    return 0;
}
