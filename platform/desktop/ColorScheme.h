#pragma once

#include "platform/desktop/ClockTimers.h"

#include <QDBusConnection>

#include <chrono>
#include <functional>
#include <memory>

class QVariant;

namespace desktop {

/// The colour scheme the user chose for the desktop, as the settings portal says it
/// (org.freedesktop.appearance color-scheme): 1 is dark, 2 is light, anything else no preference.
enum class ColorScheme { noPreference, preferDark, preferLight };

/// The scheme a portal value stands for. The portal's Read wraps the value in a second variant, ReadOne
/// does not: both are unwrapped. A value of another type or out of range is no preference.
ColorScheme colorSchemeFromPortal(const QVariant& value);

/// Follows the desktop's colour scheme through the settings portal (org.freedesktop.portal.Desktop on the
/// session bus): asks once with ReadOne (Read where the portal is older), then takes each SettingChanged.
/// Where there is no portal, or it does not answer in time, the scheme stays noPreference. Main thread
/// only; the handler is called there, from the event loop, each time the scheme changes.
class ColorSchemeWatcher {
public:
    using Handler = std::function<void(ColorScheme)>;

    ColorSchemeWatcher(const QDBusConnection& sessionBus, ClockTimers& timers, Handler changed,
                       platform::Clock::Duration callTimeout = std::chrono::seconds(5));
    ~ColorSchemeWatcher();
    ColorSchemeWatcher(const ColorSchemeWatcher&) = delete;
    ColorSchemeWatcher& operator=(const ColorSchemeWatcher&) = delete;

    ColorScheme scheme() const;

private:
    struct Impl;
    std::unique_ptr<Impl> m_impl;
};

} // namespace desktop
