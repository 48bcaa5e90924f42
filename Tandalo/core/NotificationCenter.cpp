#include "Tandalo/core/NotificationCenter.h"

namespace tandalo::app {

Task<NotificationSettings> notificationSettings(NotificationCenter& center) {
    auto start = [&center](Resumer<NotificationSettings> resumer) {
        center.getNotificationSettings(
            [resumer](NotificationSettings settings) { resumer.resume(settings); });
    };
    co_return co_await callback<NotificationSettings>(std::move(start), "notification settings");
}

} // namespace tandalo::app
