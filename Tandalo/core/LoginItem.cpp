#include "Tandalo/core/LoginItem.h"

#include <exception>

namespace tandalo::app {

LoginItem::State LoginItem::state() const {
    return m_service.isRegistered() ? State::enabled() : State::disabled();
}

LoginItem::State LoginItem::setEnabled(bool wanted) {
    try {
        if (wanted && !m_service.isRegistered()) {
            m_service.registerService();
        } else if (!wanted && m_service.isRegistered()) {
            m_service.unregisterService();
        }
    } catch (const std::exception& error) {
        return State::failed(error.what());
    }
    return state();
}

LoginItem::State LoginItem::sync(bool wanted) {
    if (wanted != m_service.isRegistered()) {
        return setEnabled(wanted);
    }
    return state();
}

} // namespace tandalo::app
