#pragma once
// Keeps the desktop's mail-client registration and the accounts' Send To
// entries in step with the settings, at the points of the settings refresh.
// When the settings pages changed something, the settings are the truth and
// the desktop follows; otherwise an entry the user removed or made by hand
// is the truth and the account's Send To value follows. GUI thread only.
#include "core/settings_refresh.h"

#include <functional>
#include <string>

namespace nuvex {

class HostConfig;

class TMailClientUpkeep final : public UpkeepHooks {
public:
    struct Env {
        std::function<HostConfig*()> settings;      // none: the host cannot be reached
        std::function<std::string()> currentMailto; // the account chosen for mailto
    };
    explicit TMailClientUpkeep(Env env) : env_(std::move(env)) {}

    void UpkeepAccount(TNuvex_GenericConnector& account, bool sendTo, bool changed) override;
    void UpkeepClose(bool changed) override;
    void DisabledCleanup() override;

private:
    Env env_;
    // For the length of one refresh: an account made us the default client.
    bool defaultClientSet_ = false;
};

} // namespace nuvex
