#include "core/mail_client_upkeep.h"

#include "accounts/generic_connector.h"
#include "core/plugin_log.h"
#include "integration/mail_client.h"
#include "integration/sendto.h"
#include "lib/host_config.h"
#include "lib/plugin_settings.h"

namespace nuvex {

void TMailClientUpkeep::UpkeepAccount(TNuvex_GenericConnector& account, bool sendTo, bool changed) {
    const QString id = QString::fromStdString(account.AccountId);
    if (changed) {
        if (account.CanMailTo() && env_.currentMailto && account.AccountId == env_.currentMailto()) {
            if (!RegisterMailClient() || !SetDefaultMailClient()) {
                qCWarning(lcPlugin) << "the account" << id << "could not make this program the mail client";
            }
            // Set even after a failure: restoring now would undo the part that worked.
            defaultClientSet_ = true;
        }
        if (!sendTo) {
            if (!DeleteSendToShortcut(account.Email)) {
                qCWarning(lcPlugin) << "the Send To entry of" << id << "could not be removed";
            }
        } else if (account.CanSendFiles() && !CreateSendToShortcut(account.Email, account.AccountId)) {
            qCWarning(lcPlugin) << "the Send To entry of" << id << "could not be made";
        }
        return;
    }
    const bool exists = SendToShortcutExists(account.Email);
    if (sendTo == exists) {
        return;
    }
    if (!exists) {
        // Half an entry (one file manager's file removed by hand) goes too, so
        // that what the desktop offers matches the value written below.
        DeleteSendToShortcut(account.Email);
    }
    HostConfig* cfg = env_.settings ? env_.settings() : nullptr;
    if (!cfg || !cfg->WriteCfgBool(SendToKey(account.AccountId), exists)) {
        qCWarning(lcPlugin) << "the host did not take the Send To value of" << id;
    }
}

void TMailClientUpkeep::UpkeepClose(bool changed) {
    const bool set = defaultClientSet_;
    defaultClientSet_ = false;
    if (changed && !set && !RestoreMailClient()) {
        qCWarning(lcPlugin) << "the previous mail client could not be put back";
    }
}

void TMailClientUpkeep::DisabledCleanup() {
    defaultClientSet_ = false;
    if (!RestoreMailClient()) {
        qCWarning(lcPlugin) << "the previous mail client could not be put back";
    }
    RemoveAllSendToShortcuts();
}

} // namespace nuvex
