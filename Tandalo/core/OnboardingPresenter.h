#pragma once

namespace tandalo::app {

class AppModel;

/// Shows the set-up guide: the one window that the user interface keeps for it, brought to the front,
/// or made and shown the first time. Main thread.
class OnboardingPresenter {
public:
    virtual ~OnboardingPresenter() = default;

    virtual void show(AppModel& model) = 0;
};

} // namespace tandalo::app
