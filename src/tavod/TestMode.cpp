// Test mode: the channel tester driven over HTTP and by the "Test Mode" command.
#include "TestMode.h"

#include "Daemon.h"
#include "HttpApi.h"
#include "Sequence.h"
#include "host/core/EPollManager.h"
#include "host/core/JsonUtils.h"
#include "host/core/Log.h"
#include "host/output/OutputManager.h"
#include "host/player/ChannelTester.h"
#include "host/player/CommandManager.h"

#include <cstdlib>

namespace {

const int LOOP_WAIT_MS = 10000;

// "Test Mode" MODE [CHANNELS] [COLOR] [OUTPUT]: MODE is color, chase, outputs or off;
// COLOR is "#RRGGBB" or "R,G,B"; OUTPUT an index of "channelOutputs" or "all".
class TestModeCommand : public Command {
public:
    explicit TestModeCommand(TestMode& mode)
        : Command("Test Mode", "Tests the wiring: a colour, a chase, or the outputs' own patterns"),
          m_mode(mode) {
        args.push_back(
            CommandArg("mode", "string", "Mode").setContentList({"color", "chase", "outputs", "off"}));
        args.push_back(
            CommandArg("channelSet", "string", "Channels (1-based, such as 1-300,601-900)").setOptional());
        args.push_back(
            CommandArg("color", "color", "Colour (#RRGGBB)").setOptional().setDefaultValue("#FFFFFF"));
        args.push_back(
            CommandArg("output", "string", "Output (index, or all)").setOptional().setDefaultValue("all"));
    }

    std::unique_ptr<Result> run(const std::vector<std::string>& a) override {
        if (a.empty() || a.size() > 4) {
            return std::make_unique<ErrorResult>(
                "Test Mode needs a mode (color, chase, outputs or off), and may take "
                "channels, a colour and an output");
        }
        Json::Value req(Json::objectValue);
        if (a[0] == "off") {
            req["enabled"] = false;
        } else {
            req["enabled"] = true;
            req["mode"] = a[0];
        }
        if (a.size() > 1 && !a[1].empty()) {
            req["channelSet"] = a[1];
        }
        if (a.size() > 2 && !a[2].empty() && a[0] != "off") {
            Json::Value color;
            if (!parseColor(a[2], color)) {
                return std::make_unique<ErrorResult>("Test Mode: '" + a[2] +
                                                     "' is not a colour; use #RRGGBB or R,G,B");
            }
            req[a[0] == "chase" ? "colors" : "color"] = a[0] == "chase" ? chaseOf(color) : color;
        }
        if (a.size() > 3 && !a[3].empty() && a[3] != "all") {
            char* end = nullptr;
            long n = strtol(a[3].c_str(), &end, 10);
            if (*end != 0 || n < 0 || n > 100000) {
                return std::make_unique<ErrorResult>(
                    "Test Mode: the output is an index of channelOutputs, or all");
            }
            req["output"] = (int)n;
        }
        std::string error;
        if (!m_mode.Set(req, error)) {
            return std::make_unique<ErrorResult>("Test Mode: " + error);
        }
        return std::make_unique<Result>(SaveJsonToString(m_mode.GetStatus(), ""), "application/json");
    }

private:
    static bool parseColor(const std::string& text, Json::Value& out) {
        out = Json::Value(Json::arrayValue);
        if (text.size() == 7 && text[0] == '#') {
            char* end = nullptr;
            unsigned long v = strtoul(text.c_str() + 1, &end, 16);
            if (*end != 0) {
                return false;
            }
            out.append((int)((v >> 16) & 255));
            out.append((int)((v >> 8) & 255));
            out.append((int)(v & 255));
            return true;
        }
        size_t pos = 0;
        while (pos <= text.size()) {
            size_t comma = text.find(',', pos);
            std::string part = text.substr(pos, comma == std::string::npos ? std::string::npos : comma - pos);
            char* end = nullptr;
            long v = strtol(part.c_str(), &end, 10);
            if (part.empty() || *end != 0 || v < 0 || v > 255 || out.size() >= 16) {
                return false;
            }
            out.append((int)v);
            if (comma == std::string::npos) {
                break;
            }
            pos = comma + 1;
        }
        return out.size() > 0;
    }
    // A chase of the colour against black.
    static Json::Value chaseOf(const Json::Value& color) {
        Json::Value list(Json::arrayValue);
        list.append(color);
        Json::Value black(Json::arrayValue);
        for (Json::ArrayIndex i = 0; i < color.size(); i++) {
            black.append(0);
        }
        list.append(black);
        list.append(black);
        return list;
    }

    TestMode& m_mode;
};

} // namespace

TestMode::Resource::Resource(TestMode& mode) : m_mode(mode) {
    disallow_all();
    set_allowing("GET", true);
    set_allowing("HEAD", true);
    set_allowing("POST", true);
}

std::shared_ptr<httpserver::http_response> TestMode::Resource::render_GET(const httpserver::http_request&) {
    Json::Value status;
    bool ran = EPollManager::INSTANCE.runOnLoop([&] { status = m_mode.GetStatus(); }, LOOP_WAIT_MS);
    if (!ran) {
        return HttpApi::JsonError(503, "the daemon is busy; try again");
    }
    return HttpApi::JsonResponse(status);
}

std::shared_ptr<httpserver::http_response>
TestMode::Resource::render_POST(const httpserver::http_request& request) {
    Json::Value req;
    std::string error;
    if (!LoadJsonFromString(request.get_content(), req, &error) || !req.isObject()) {
        return HttpApi::JsonError(400, "the body must be a JSON object such as {\"mode\": \"color\", "
                                       "\"channelSet\": \"1-300\", \"color\": [255, 0, 0]}, or "
                                       "{\"enabled\": false}");
    }
    if (refusing) {
        return HttpApi::JsonError(503, "the daemon is shutting down");
    }
    if (!req.isMember("enabled")) {
        req["enabled"] = true; // posting a test means running it
    }
    bool ok = false;
    Json::Value status;
    bool ran = EPollManager::INSTANCE.runOnLoop(
        [&] {
            ok = m_mode.Set(req, error);
            status = m_mode.GetStatus();
        },
        LOOP_WAIT_MS);
    if (!ran) {
        return HttpApi::JsonError(503, "the daemon is busy; the test was not changed");
    }
    if (!ok) {
        return HttpApi::JsonError(400, error);
    }
    return HttpApi::JsonResponse(status);
}

void TestMode::Start(Daemon& daemon) {
    if (m_started) {
        return;
    }
    m_started = true;
    m_daemon = &daemon;
    CommandManager::INSTANCE.addCommand(new TestModeCommand(*this));
    m_http = daemon.GetHttpApi();
    if (m_http) {
        m_resource.refusing = false;
        m_http->RegisterResource("/api/testmode", &m_resource);
    }
}

void TestMode::Stop(Daemon&) {
    if (!m_started) {
        return;
    }
    m_started = false;
    if (m_http) {
        m_resource.refusing = true;
        m_http->UnregisterResource("/api/testmode");
        m_http = nullptr;
    }
    CommandManager::INSTANCE.removeCommand("Test Mode");
    ChannelTester::INSTANCE.StopTest();
    m_daemon = nullptr;
}

bool TestMode::Set(const Json::Value& request, std::string& error) {
    if (!m_daemon) {
        error = "the daemon is not running";
        return false;
    }
    const Json::Value& enabled = request["enabled"];
    if (!enabled.isNull() && !enabled.isBool() && !enabled.isIntegral()) {
        error = "\"enabled\" must be true or false";
        return false;
    }
    if (!enabled.isNull() && !enabled.asBool()) {
        StopTest();
        return true;
    }
    Json::Value config = request;
    config["enabled"] = true;
    // The test shows alone: the show behind it is paused, its channels dark.
    config["blankOthers"] = true;
    std::vector<ChannelOutput*> outputs;
    if (config["mode"] == "outputs") {
        const Json::Value& which = config["output"];
        if (!which.isNull() && !(which.isIntegral() && which.asInt64() >= 0 && which.asInt64() < 100000)) {
            error = "\"output\" must be the index of an output in channelOutputs";
            return false;
        }
        int index = which.isNull() ? -1 : which.asInt();
        outputs = m_daemon->GetOutputs().GetTestableOutputs(index);
        if (outputs.empty()) {
            error = index < 0 ? "no running output draws its own test pattern"
                              : "output " + std::to_string(index) +
                                    " is not running or draws no test pattern of its own";
            return false;
        }
    }
    // The tester's own words for a refusal.
    std::string reason;
    int sink = TavoLogger::INSTANCE.addSink([&reason](const LogLine& l) {
        if (l.level <= LOG_ERR && l.text.compare(0, 14, "Channel test: ") == 0) {
            reason = l.text.substr(14);
        }
    });
    bool ok = ChannelTester::INSTANCE.SetupTest(config, outputs);
    TavoLogger::INSTANCE.removeSink(sink);
    if (!ok) {
        error = reason.empty() ? "the test was refused" : reason;
        return false;
    }

    Sequence* seq = m_daemon->GetSequence();
    {
        std::lock_guard<std::mutex> l(m_lock);
        if (seq && m_pausedSequence.empty() && seq->IsSequenceRunning() && !seq->seqPaused) {
            m_pausedSequence = seq->GetSequenceName();
            seq->seqPaused = 1;
            LogInfo(LOGCH_PLAYER, "%s paused while the test runs\n", m_pausedSequence.c_str());
        }
    }
    // Idle, the output thread may never have run: the test needs its frames.
    StartChannelOutputThread();
    LogInfo(LOGCH_GENERAL, "Test mode: %s\n",
            SaveJsonToString(ChannelTester::INSTANCE.GetConfig(), "").c_str());
    return true;
}

void TestMode::StopTest() {
    bool wasTesting = ChannelTester::INSTANCE.Testing();
    ChannelTester::INSTANCE.StopTest();
    Sequence* seq = m_daemon ? m_daemon->GetSequence() : nullptr;
    std::string resumed;
    {
        std::lock_guard<std::mutex> l(m_lock);
        resumed.swap(m_pausedSequence);
    }
    if (seq && !resumed.empty() && seq->IsSequenceRunning()) {
        seq->seqPaused = 0;
        LogInfo(LOGCH_PLAYER, "Test stopped; %s goes on\n", resumed.c_str());
    } else if (seq && wasTesting) {
        // Nothing to give the outputs back to: they go dark.
        seq->BlankSequenceData(false);
        ForceChannelOutputNow();
        LogInfo(LOGCH_GENERAL, "Test stopped\n");
    }
}

Json::Value TestMode::GetStatus() {
    Json::Value s(Json::objectValue);
    Json::Value config = ChannelTester::INSTANCE.GetConfig();
    s["enabled"] = !config.isNull();
    if (!config.isNull()) {
        for (const std::string& k : config.getMemberNames()) {
            if (k != "enabled" && k != "blankOthers") {
                s[k] = config[k];
            }
        }
        if (!s.isMember("mode")) {
            s["mode"] = "color";
        }
    }
    std::lock_guard<std::mutex> l(m_lock);
    if (!m_pausedSequence.empty()) {
        s["pausedSequence"] = m_pausedSequence;
    }
    return s;
}
