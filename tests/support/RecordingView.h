// A view that records every call a worker makes, in order, from any thread.
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "transfer/TransferView.h"

namespace pos::testing {

class RecordingView : public transfer::TransferView {
public:
    RecordingView() = default;
    // A copy of everything recorded so far.
    RecordingView(const RecordingView& other) : transfer::TransferView() {
        std::lock_guard lock(other.m_mutex);
        m_events = other.m_events;
        m_messages = other.m_messages;
        m_progress = other.m_progress;
        m_controlStates = other.m_controlStates;
        m_pathClears = other.m_pathClears;
    }
    RecordingView& operator=(const RecordingView&) = delete;

    void setChoiceControlsEnabled(bool enabled) override {
        std::lock_guard lock(m_mutex);
        m_events.push_back(enabled ? "enable" : "disable");
        m_controlStates.push_back(enabled);
    }
    void setProgress(int position) override {
        std::lock_guard lock(m_mutex);
        m_events.push_back("progress " + std::to_string(position));
        m_progress.push_back(position);
    }
    void clearPath() override {
        std::lock_guard lock(m_mutex);
        m_events.push_back("clearPath");
        ++m_pathClears;
    }
    void showMessage(const std::string& text) override {
        std::lock_guard lock(m_mutex);
        m_events.push_back("message " + text);
        m_messages.push_back(text);
    }

    // Every call: "enable", "disable", "progress N", "clearPath", "message TEXT".
    std::vector<std::string> events() const {
        std::lock_guard lock(m_mutex);
        return m_events;
    }
    std::vector<std::string> messages() const {
        std::lock_guard lock(m_mutex);
        return m_messages;
    }
    std::vector<int> progress() const {
        std::lock_guard lock(m_mutex);
        return m_progress;
    }
    std::vector<bool> controlStates() const {
        std::lock_guard lock(m_mutex);
        return m_controlStates;
    }
    int pathClears() const {
        std::lock_guard lock(m_mutex);
        return m_pathClears;
    }

private:
    mutable std::mutex m_mutex;
    std::vector<std::string> m_events;
    std::vector<std::string> m_messages;
    std::vector<int> m_progress;
    std::vector<bool> m_controlStates;
    int m_pathClears = 0;
};

}  // namespace pos::testing
