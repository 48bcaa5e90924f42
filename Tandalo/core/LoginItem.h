#pragma once

#include <string>

namespace tandalo::app {

/// The system's service that starts the application when the user logs in. Registering and unregistering
/// throw an error whose text is a sentence for the user. Main thread.
class LoginService {
public:
    virtual ~LoginService() = default;

    /// Whether the application is registered to start at login now.
    virtual bool isRegistered() const = 0;
    virtual void registerService() = 0;
    virtual void unregisterService() = 0;
};

/// Launch at login: registers and unregisters the application with the login service and tells the
/// state that results. The desktop starts what is registered without asking the user, so no
/// registration ever waits for an approval. Main thread.
class LoginItem {
public:
    /// Where launch at login stands: enabled, disabled, or failed with the service's message.
    class State {
    public:
        enum class Kind { enabled, disabled, failed };

        static State enabled() { return State(Kind::enabled, {}); }
        static State disabled() { return State(Kind::disabled, {}); }
        static State failed(std::string message) { return State(Kind::failed, std::move(message)); }

        Kind kind() const noexcept { return m_kind; }
        bool isEnabled() const noexcept { return m_kind == Kind::enabled; }
        bool isFailed() const noexcept { return m_kind == Kind::failed; }
        /// The failure's message; empty in the other states.
        const std::string& message() const noexcept { return m_message; }

        bool operator==(const State&) const = default;

    private:
        State(Kind kind, std::string message) : m_kind(kind), m_message(std::move(message)) {}

        Kind m_kind;
        std::string m_message;
    };

    explicit LoginItem(LoginService& service) : m_service(service) {}

    /// The state of the registration as it is now.
    State state() const;
    /// Registers or unregisters as wanted, then reads the state back; a refusal is the failed state.
    State setEnabled(bool wanted);
    /// Calls setEnabled() only when the registration differs from the wish; otherwise reads the state.
    State sync(bool wanted);

private:
    LoginService& m_service;
};

} // namespace tandalo::app
