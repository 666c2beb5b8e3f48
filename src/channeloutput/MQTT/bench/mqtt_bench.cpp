// 120 MQTT outputs against a local mosquitto broker that this program starts: at 40
// frames per second with every colour changing every frame (delivery and the latency
// from frame hand-over to a subscriber's receipt), then as fast as they go, next to a
// bare libmosquitto publishing loop to the same broker in the same run.
#include "BrokerOutput.h"
#include "MosquittoBroker.h"
#include "host/core/Log.h"
#include "host/mqtt/MosquittoClient.h"
#include "host/output/ChannelBuffer.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

using mqtttest::MosquittoBroker;
using mqtttest::MqttSubscriber;

namespace {

const int OUTPUTS = 120;
const int FPS = 40;
const int PACED_FRAMES = 400; // ten seconds
const int FAST_FRAMES = 200;

// The broker, the host's client and a subscriber, made once for the whole run.
struct Setup {
    std::string dir;
    std::unique_ptr<MosquittoBroker> broker;
    std::unique_ptr<MosquittoClient> client;
    std::string error;

    Setup() {
        char tmpl[] = "/tmp/tavo-mqtt-bench-XXXXXX";
        if (!mkdtemp(tmpl)) {
            error = "cannot make a temporary folder";
            return;
        }
        dir = tmpl;
        broker.reset(new MosquittoBroker(dir));
        if (!broker->start(error)) {
            return;
        }
        MosquittoSettings s;
        s.host = "127.0.0.1";
        s.port = broker->port();
        s.clientId = "tavo-bench-" + std::to_string(getpid());
        s.prefix = "tavo/bench";
        client.reset(new MosquittoClient(s));
        if (!client->Start(error)) {
            return;
        }
        for (int i = 0; i < 2000 && !client->IsConnected(); i++) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        if (!client->IsConnected()) {
            error = "the client did not connect: " + client->GetLastError();
            return;
        }
        mqtt = client.get();
    }
    ~Setup() {
        mqtt = nullptr;
        client.reset();
        broker.reset();
        if (!dir.empty()) {
            std::string rm = "rm -rf " + dir;
            if (system(rm.c_str()) != 0) {
                fprintf(stderr, "could not remove %s\n", dir.c_str());
            }
        }
    }
};

Setup& setup() {
    static Setup s;
    return s;
}

struct Outputs {
    std::vector<std::unique_ptr<BrokerOutput>> list;
    std::vector<unsigned char> buffer;

    explicit Outputs(const std::string& topicBase) : buffer(TAVO_CHANNEL_BUFFER_SIZE, 0) {
        for (int i = 0; i < OUTPUTS; i++) {
            std::unique_ptr<BrokerOutput> o(new BrokerOutput(3 * i, 3));
            Json::Value c(Json::objectValue);
            c["topic"] = topicBase + std::to_string(i);
            c["payload"] = "%R%,%G%,%B%";
            if (o->Init(c)) {
                list.push_back(std::move(o));
            }
        }
    }
    ~Outputs() {
        for (auto& o : list) {
            o->Close();
        }
    }
    // Frame f (from 1) in the colours: R and G the frame number, B the output, so
    // every colour changes every frame and each message names its frame.
    void send(int f) {
        for (int i = 0; i < OUTPUTS; i++) {
            buffer[3 * i] = (unsigned char)(f & 0xFF);
            buffer[3 * i + 1] = (unsigned char)((f >> 8) & 0xFF);
            buffer[3 * i + 2] = (unsigned char)i;
        }
        for (auto& o : list) {
            o->SendData(buffer.data() + o->GetStartChannel());
        }
    }
    // Until every output's thread took frame `count`.
    void waitTaken(long long count) {
        for (auto& o : list) {
            while (o->FramesSent() < count) {
                std::this_thread::yield();
            }
        }
    }
};

int frameOf(const std::string& payload) {
    int r = 0, g = 0, b = 0;
    if (sscanf(payload.c_str(), "%d,%d,%d", &r, &g, &b) != 3) {
        return -1;
    }
    return r + 256 * g;
}

double percentile(std::vector<int64_t> v, double p) {
    if (v.empty()) {
        return 0;
    }
    std::sort(v.begin(), v.end());
    size_t i = std::min(v.size() - 1, (size_t)(p / 100.0 * (double)v.size()));
    return (double)v[i];
}

bool ready(benchmark::State& state) {
    if (!setup().error.empty()) {
        state.SkipWithError(setup().error.c_str());
        return false;
    }
    return true;
}

void BM_Outputs120At40fps(benchmark::State& state) {
    if (!ready(state)) {
        return;
    }
    for (auto _ : state) {
        MqttSubscriber sub;
        std::string error;
        if (!sub.connect(setup().broker->port(), {"bench/paced/#"}, error)) {
            state.SkipWithError(error.c_str());
            return;
        }
        Outputs outs("bench/paced/");
        MosquittoClient::Stats before = setup().client->GetStats();
        std::vector<int64_t> frameTime(PACED_FRAMES + 1, 0);
        const int64_t period = 1000000 / FPS;
        int late = 0;
        int64_t start = mqtttest::nowUs();
        for (int f = 1; f <= PACED_FRAMES; f++) {
            int64_t due = start + (int64_t)(f - 1) * period;
            int64_t now = mqtttest::nowUs();
            if (due > now) {
                std::this_thread::sleep_for(std::chrono::microseconds(due - now));
            }
            frameTime[f] = mqtttest::nowUs();
            // Handed over more than half a period late: the machine held this
            // thread up, and the frames go out back to back to catch up.
            late += frameTime[f] - due > period / 2;
            outs.send(f);
        }
        size_t expected = (size_t)OUTPUTS * PACED_FRAMES;
        // Every message the outputs handed over, once their threads are done.
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        size_t handed = (size_t)(setup().client->GetStats().published - before.published);
        sub.waitFor([&](const std::vector<MqttSubscriber::Message>& m) { return m.size() >= handed; }, 30000);
        std::vector<MqttSubscriber::Message> got = sub.messages();
        std::vector<int64_t> latency;
        for (const MqttSubscriber::Message& m : got) {
            int f = frameOf(m.payload);
            if (f >= 1 && f <= PACED_FRAMES) {
                latency.push_back(m.timeUs - frameTime[f]);
            }
        }
        MosquittoClient::Stats after = setup().client->GetStats();
        long long taken = 0;
        for (auto& o : outs.list) {
            taken += o->FramesSent();
        }
        double seconds = (double)(got.empty() ? 1 : got.back().timeUs - start) / 1e6;
        state.counters["expected"] = (double)expected;
        // Frames an output's thread took: fewer when a frame was replaced by the
        // next before the thread came to it.
        state.counters["frames_taken"] = (double)taken;
        state.counters["frames_late"] = (double)late;
        state.counters["published"] = (double)(after.published - before.published);
        state.counters["delivered"] = (double)got.size();
        state.counters["dropped"] = (double)(after.dropped - before.dropped);
        state.counters["msgs_per_s"] = (double)got.size() / seconds;
        state.counters["latency_p50_us"] = percentile(latency, 50);
        state.counters["latency_p99_us"] = percentile(latency, 99);
        state.counters["latency_max_us"] = percentile(latency, 100);
    }
}

void BM_Outputs120Unpaced(benchmark::State& state) {
    if (!ready(state)) {
        return;
    }
    for (auto _ : state) {
        MqttSubscriber sub;
        std::string error;
        if (!sub.connect(setup().broker->port(), {"bench/fast/#"}, error)) {
            state.SkipWithError(error.c_str());
            return;
        }
        Outputs outs("bench/fast/");
        size_t room = setup().client->GetSettings().maxQueued - OUTPUTS;
        int64_t start = mqtttest::nowUs();
        for (int f = 1; f <= FAST_FRAMES; f++) {
            // No frame may be skipped, nor any message dropped: wait for room.
            while (setup().client->GetQueuedCount() > room) {
                std::this_thread::yield();
            }
            outs.send(f);
            outs.waitTaken(f);
        }
        size_t expected = (size_t)OUTPUTS * FAST_FRAMES;
        sub.waitFor([&](const std::vector<MqttSubscriber::Message>& m) { return m.size() >= expected; },
                    60000);
        std::vector<MqttSubscriber::Message> got = sub.messages();
        double seconds = (double)(got.empty() ? 1 : got.back().timeUs - start) / 1e6;
        state.counters["expected"] = (double)expected;
        state.counters["delivered"] = (double)got.size();
        state.counters["msgs_per_s"] = (double)got.size() / seconds;
    }
}

// The same messages straight through libmosquitto: one client, QoS 1, the same
// window of unacknowledged messages as the host's client, its own thread.
void BM_BareLibmosquitto(benchmark::State& state) {
    if (!ready(state)) {
        return;
    }
    for (auto _ : state) {
        MqttSubscriber sub;
        std::string error;
        if (!sub.connect(setup().broker->port(), {"bench/bare/#"}, error)) {
            state.SkipWithError(error.c_str());
            return;
        }
        struct mosquitto* m = mosquitto_new(nullptr, true, nullptr);
        mosquitto_max_inflight_messages_set(m, 100);
        if (mosquitto_connect(m, "127.0.0.1", setup().broker->port(), 30) != MOSQ_ERR_SUCCESS) {
            mosquitto_destroy(m);
            state.SkipWithError("the bare client cannot connect");
            return;
        }
        mosquitto_loop_start(m);
        std::vector<std::string> topics;
        for (int i = 0; i < OUTPUTS; i++) {
            topics.push_back("bench/bare/" + std::to_string(i));
        }
        int64_t start = mqtttest::nowUs();
        for (int f = 1; f <= FAST_FRAMES; f++) {
            for (int i = 0; i < OUTPUTS; i++) {
                std::string payload = std::to_string(f & 0xFF) + "," + std::to_string((f >> 8) & 0xFF) + "," +
                                      std::to_string(i);
                mosquitto_publish(m, nullptr, topics[i].c_str(), (int)payload.size(), payload.data(), 1,
                                  false);
            }
        }
        size_t expected = (size_t)OUTPUTS * FAST_FRAMES;
        sub.waitFor([&](const std::vector<MqttSubscriber::Message>& msgs) { return msgs.size() >= expected; },
                    60000);
        std::vector<MqttSubscriber::Message> got = sub.messages();
        double seconds = (double)(got.empty() ? 1 : got.back().timeUs - start) / 1e6;
        mosquitto_disconnect(m);
        mosquitto_loop_stop(m, false);
        mosquitto_destroy(m);
        state.counters["expected"] = (double)expected;
        state.counters["delivered"] = (double)got.size();
        state.counters["msgs_per_s"] = (double)got.size() / seconds;
    }
}

// The paced show's messages straight through libmosquitto, for the latency the
// broker, the machine and libmosquitto give without the outputs and the host's client.
void BM_BareLibmosquittoAt40fps(benchmark::State& state) {
    if (!ready(state)) {
        return;
    }
    for (auto _ : state) {
        MqttSubscriber sub;
        std::string error;
        if (!sub.connect(setup().broker->port(), {"bench/barepaced/#"}, error)) {
            state.SkipWithError(error.c_str());
            return;
        }
        struct mosquitto* m = mosquitto_new(nullptr, true, nullptr);
        mosquitto_max_inflight_messages_set(m, 100);
        if (mosquitto_connect(m, "127.0.0.1", setup().broker->port(), 30) != MOSQ_ERR_SUCCESS) {
            mosquitto_destroy(m);
            state.SkipWithError("the bare client cannot connect");
            return;
        }
        mosquitto_loop_start(m);
        std::vector<std::string> topics;
        for (int i = 0; i < OUTPUTS; i++) {
            topics.push_back("bench/barepaced/" + std::to_string(i));
        }
        std::vector<int64_t> frameTime(PACED_FRAMES + 1, 0);
        const int64_t period = 1000000 / FPS;
        int64_t start = mqtttest::nowUs();
        for (int f = 1; f <= PACED_FRAMES; f++) {
            int64_t due = start + (int64_t)(f - 1) * period;
            int64_t now = mqtttest::nowUs();
            if (due > now) {
                std::this_thread::sleep_for(std::chrono::microseconds(due - now));
            }
            frameTime[f] = mqtttest::nowUs();
            for (int i = 0; i < OUTPUTS; i++) {
                std::string payload = std::to_string(f & 0xFF) + "," + std::to_string((f >> 8) & 0xFF) + "," +
                                      std::to_string(i);
                mosquitto_publish(m, nullptr, topics[i].c_str(), (int)payload.size(), payload.data(), 1,
                                  false);
            }
        }
        size_t expected = (size_t)OUTPUTS * PACED_FRAMES;
        sub.waitFor([&](const std::vector<MqttSubscriber::Message>& msgs) { return msgs.size() >= expected; },
                    30000);
        std::vector<MqttSubscriber::Message> got = sub.messages();
        mosquitto_disconnect(m);
        mosquitto_loop_stop(m, false);
        mosquitto_destroy(m);
        std::vector<int64_t> latency;
        for (const MqttSubscriber::Message& msg : got) {
            int f = frameOf(msg.payload);
            if (f >= 1 && f <= PACED_FRAMES) {
                latency.push_back(msg.timeUs - frameTime[f]);
            }
        }
        double seconds = (double)(got.empty() ? 1 : got.back().timeUs - start) / 1e6;
        state.counters["expected"] = (double)expected;
        state.counters["delivered"] = (double)got.size();
        state.counters["msgs_per_s"] = (double)got.size() / seconds;
        state.counters["latency_p50_us"] = percentile(latency, 50);
        state.counters["latency_p99_us"] = percentile(latency, 99);
        state.counters["latency_max_us"] = percentile(latency, 100);
    }
}

} // namespace

BENCHMARK(BM_BareLibmosquittoAt40fps)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Outputs120At40fps)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Outputs120Unpaced)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_BareLibmosquitto)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);

int main(int argc, char** argv) {
    TavoLogger::INSTANCE.setLevels("warning");
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
