#pragma once

#include "platform/usb/DeviceFunction.h"
#include "platform/usb/USBError.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace simulation::testing {

inline std::vector<std::byte> bytes(std::size_t count, std::uint8_t first = 0) {
    std::vector<std::byte> data(count);
    for (std::size_t i = 0; i < count; ++i) {
        data[i] = static_cast<std::byte>(static_cast<std::uint8_t>(first + i));
    }
    return data;
}

inline std::vector<std::byte> bytes(const std::string& text) {
    std::vector<std::byte> data;
    for (const char c : text) {
        data.push_back(static_cast<std::byte>(c));
    }
    return data;
}

/// The status of the USBError the call throws; a failure of the test when it throws none.
inline usb::Status statusOf(const std::function<void()>& call) {
    try {
        call();
    } catch (const usb::USBError& error) {
        return error.status();
    }
    ADD_FAILURE() << "expected a USBError";
    return usb::Status::error;
}

/// A device function that plays back what a test queued and records what reached it.
class ScriptedFunction final : public usb::DeviceFunction {
public:
    void queueIn(std::uint8_t endpoint, usb::InReply reply) {
        std::lock_guard guard(m_mutex);
        m_in[endpoint].push_back(std::move(reply));
    }
    void queueOut(usb::Reply reply) {
        std::lock_guard guard(m_mutex);
        m_outReplies.push_back(reply);
    }
    void setControlReply(usb::ControlReply reply) {
        std::lock_guard guard(m_mutex);
        m_controlReply = std::move(reply);
    }
    std::vector<std::vector<std::byte>> received() const {
        std::lock_guard guard(m_mutex);
        return m_received;
    }
    std::vector<usb::ControlSetup> controlRequests() const {
        std::lock_guard guard(m_mutex);
        return m_controls;
    }
    std::vector<std::uint8_t> haltsCleared() const {
        std::lock_guard guard(m_mutex);
        return m_haltsCleared;
    }
    std::vector<std::uint8_t> configurations() const {
        std::lock_guard guard(m_mutex);
        return m_configurations;
    }
    std::size_t inCalls() const {
        std::lock_guard guard(m_mutex);
        return m_inCalls;
    }
    std::shared_ptr<usb::FunctionLink> link() const {
        std::lock_guard guard(m_mutex);
        return m_link;
    }

    void attached(std::shared_ptr<usb::FunctionLink> link) override {
        std::lock_guard guard(m_mutex);
        m_link = std::move(link);
    }
    usb::Reply receiveOut(std::uint8_t, std::span<const std::byte> data) override {
        std::lock_guard guard(m_mutex);
        usb::Reply reply = usb::Reply::done;
        if (!m_outReplies.empty()) {
            reply = m_outReplies.front();
            m_outReplies.pop_front();
        }
        if (reply == usb::Reply::done) {
            m_received.emplace_back(data.begin(), data.end());
        }
        return reply;
    }
    usb::InReply produceIn(std::uint8_t endpoint, std::size_t) override {
        std::lock_guard guard(m_mutex);
        ++m_inCalls;
        auto& queue = m_in[endpoint];
        if (queue.empty()) {
            return usb::InReply::of(usb::Reply::notYet);
        }
        auto reply = std::move(queue.front());
        queue.pop_front();
        return reply;
    }
    usb::ControlReply handleControl(const usb::ControlSetup& setup, std::span<const std::byte>) override {
        std::lock_guard guard(m_mutex);
        m_controls.push_back(setup);
        return m_controlReply;
    }
    void haltCleared(std::uint8_t endpoint) override {
        std::lock_guard guard(m_mutex);
        m_haltsCleared.push_back(endpoint);
    }
    void configurationChanged(std::uint8_t value) override {
        std::lock_guard guard(m_mutex);
        m_configurations.push_back(value);
    }

private:
    mutable std::mutex m_mutex; // guards everything below
    std::map<std::uint8_t, std::deque<usb::InReply>> m_in;
    std::deque<usb::Reply> m_outReplies;
    usb::ControlReply m_controlReply = usb::ControlReply::accept();
    std::vector<std::vector<std::byte>> m_received;
    std::vector<usb::ControlSetup> m_controls;
    std::vector<std::uint8_t> m_haltsCleared;
    std::vector<std::uint8_t> m_configurations;
    std::size_t m_inCalls = 0;
    std::shared_ptr<usb::FunctionLink> m_link;
};

} // namespace simulation::testing
