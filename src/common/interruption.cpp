#include "common/interruption.hpp"

namespace pwpoly {

namespace {

struct InstalledCheck {
    InterruptionCheck check = nullptr;
    void* context = nullptr;
    std::chrono::steady_clock::time_point due{};
};

thread_local InstalledCheck t_installed;

}  // namespace

InterruptionScope::InterruptionScope(InterruptionCheck check, void* context) noexcept
    : previous_check_(t_installed.check), previous_context_(t_installed.context), previous_due_(t_installed.due) {
    t_installed = {check, context, std::chrono::steady_clock::now() + interruption_interval};
}

InterruptionScope::~InterruptionScope() { t_installed = {previous_check_, previous_context_, previous_due_}; }

void check_for_interruption() {
    InstalledCheck& installed = t_installed;
    if (installed.check == nullptr)
        return;
    const auto now = std::chrono::steady_clock::now();
    if (now < installed.due)
        return;
    installed.due = now + interruption_interval;
    installed.check(installed.context);
}

}  // namespace pwpoly
