// The channel-output manager.
#include "host/output/OutputManager.h"

#include "host/output/ChannelOutput.h"
#include "host/core/Log.h"

#include <algorithm>

ChannelOutputManager ChannelOutputManager::INSTANCE;

void ChannelOutputManager::AddOutput(ChannelOutput* output) {
    if (!output) {
        return;
    }
    std::lock_guard<std::mutex> l(m_lock);
    if (std::find(m_outputs.begin(), m_outputs.end(), output) == m_outputs.end()) {
        m_outputs.push_back(output);
        computeRanges();
    }
}

void ChannelOutputManager::RemoveOutput(ChannelOutput* output) {
    std::lock_guard<std::mutex> l(m_lock);
    auto it = std::find(m_outputs.begin(), m_outputs.end(), output);
    if (it != m_outputs.end()) {
        m_outputs.erase(it);
        computeRanges();
    }
}

void ChannelOutputManager::RemoveAllOutputs() {
    std::lock_guard<std::mutex> l(m_lock);
    m_outputs.clear();
    computeRanges();
}

std::vector<ChannelOutput*> ChannelOutputManager::GetOutputs() {
    std::lock_guard<std::mutex> l(m_lock);
    return m_outputs;
}

void ChannelOutputManager::computeRanges() {
    std::vector<std::pair<uint64_t, uint64_t>> spans; // [first, end)
    for (ChannelOutput* o : m_outputs) {
        o->GetRequiredChannelRanges([&spans](int first, int last) {
            if (first >= 0 && last >= first) {
                spans.emplace_back((uint64_t)first, (uint64_t)last + 1);
            }
        });
    }
    std::sort(spans.begin(), spans.end());
    m_preciseRanges.clear();
    m_wideRanges.clear();
    for (auto& s : spans) {
        if (!m_preciseRanges.empty()) {
            auto& back = m_preciseRanges.back();
            uint64_t backEnd = (uint64_t)back.first + back.second;
            if (s.first <= backEnd) {
                if (s.second > backEnd) {
                    back.second = (uint32_t)(s.second - back.first);
                }
                continue;
            }
        }
        m_preciseRanges.emplace_back((uint32_t)s.first, (uint32_t)(s.second - s.first));
    }
    if (!m_preciseRanges.empty()) {
        auto& last = m_preciseRanges.back();
        uint32_t first = m_preciseRanges.front().first;
        m_wideRanges.emplace_back(first, last.first + last.second - first);
    }
}

ChannelRanges ChannelOutputManager::GetOutputRanges(bool precise) {
    std::lock_guard<std::mutex> l(m_lock);
    return precise ? m_preciseRanges : m_wideRanges;
}

void ChannelOutputManager::PrepareData(unsigned char* channelData) {
    if (!outputEnabled) {
        return;
    }
    std::lock_guard<std::mutex> l(m_lock);
    for (ChannelOutput* o : m_outputs) {
        o->PrepData(channelData);
    }
}

void ChannelOutputManager::SendData(unsigned char* channelData) {
    if (!outputEnabled) {
        return;
    }
    {
        std::lock_guard<std::mutex> l(m_lock);
        for (ChannelOutput* o : m_outputs) {
            o->SendData(channelData + o->GetStartChannel());
        }
    }
    framesSent++;
    frameNumber++;
}

void ChannelOutputManager::StartingOutput() {
    std::lock_guard<std::mutex> l(m_lock);
    for (ChannelOutput* o : m_outputs) {
        o->StartingOutput();
    }
}

void ChannelOutputManager::StoppingOutput() {
    std::lock_guard<std::mutex> l(m_lock);
    for (ChannelOutput* o : m_outputs) {
        o->StoppingOutput();
    }
}

void ChannelOutputManager::SetOutputThread(ChannelOutputThread* thread) {
    ChannelOutputThread* old;
    {
        std::lock_guard<std::mutex> l(m_lock);
        old = m_thread;
        m_thread = thread;
    }
    if (old && old != thread) {
        old->Stop();
    }
}

ChannelOutputThread* ChannelOutputManager::GetOutputThread() {
    std::lock_guard<std::mutex> l(m_lock);
    return m_thread;
}

ChannelRanges GetOutputRanges(bool precise) {
    return ChannelOutputManager::INSTANCE.GetOutputRanges(precise);
}

void PrepareChannelData(unsigned char* channelData) {
    ChannelOutputManager::INSTANCE.PrepareData(channelData);
}

void SendChannelData(unsigned char* channelData) {
    ChannelOutputManager::INSTANCE.SendData(channelData);
}

void SetChannelOutputRefreshRate(float rate) {
    ChannelOutputManager::INSTANCE.refreshRate = rate;
}

float GetChannelOutputRefreshRate() {
    return ChannelOutputManager::INSTANCE.refreshRate;
}

void SetChannelOutputFrameNumber(int frameNumber) {
    ChannelOutputManager::INSTANCE.frameNumber = frameNumber;
}

void ResetChannelOutputFrameNumber() {
    ChannelOutputManager::INSTANCE.frameNumber = 0;
}

int GetChannelOutputFrameNumber() {
    return ChannelOutputManager::INSTANCE.frameNumber;
}

void StartChannelOutputThread() {
    ChannelOutputThread* t = ChannelOutputManager::INSTANCE.GetOutputThread();
    if (!t) {
        LogDebug(LOGCH_CHANNELOUT, "No channel output thread installed, not starting one\n");
        return;
    }
    t->Start();
}

void StopChannelOutputThread() {
    if (ChannelOutputThread* t = ChannelOutputManager::INSTANCE.GetOutputThread()) {
        t->Stop();
    }
}

int ChannelOutputThreadIsRunning() {
    ChannelOutputThread* t = ChannelOutputManager::INSTANCE.GetOutputThread();
    return t && t->IsRunning();
}

int ChannelOutputThreadIsEnabled() {
    return ChannelOutputManager::INSTANCE.outputEnabled;
}

void EnableChannelOutput() {
    ChannelOutputManager::INSTANCE.outputEnabled = true;
}

void DisableChannelOutput() {
    ChannelOutputManager::INSTANCE.outputEnabled = false;
}

void ForceChannelOutputNow() {
    if (ChannelOutputThread* t = ChannelOutputManager::INSTANCE.GetOutputThread()) {
        t->ForceOutputNow();
    }
}
