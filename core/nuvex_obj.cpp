#include "core/nuvex_obj.h"

#include "accounts/generic_connector.h"
#include "core/mail_host.h"
#include "core/nuvex_plugin.h"
#include "core/plugin_log.h"
#include "core/plugin_process.h"
#include "lib/host_config.h"
#include "lib/log.h"
#include "lib/plugin_settings.h"

#include <mutex>

namespace nuvex {

namespace {
const QString kMailButton = QStringLiteral("Mail");
const QString kSeparator = QStringLiteral("SEP");
} // namespace

TNuvexObj::TNuvexObj(TNuvexPlugin& plugin, QObject* parent) : TPluginObj(parent), mail_(plugin) {}

ButtonShow TNuvexObj::ReadShow(bool& enabled) {
    HostConfig* cfg = mail_.Host().Settings();
    enabled = mail_.Settings().Enabled(cfg);
    return enabled ? mail_.Settings().ShowButton(cfg) : ButtonShow{};
}

ButtonInfo TNuvexObj::GetButtonInfo(int index) {
    if (index != kMailButtonIndex && index != kSeparatorIndex) {
        return TPluginObj::GetButtonInfo(index);
    }
    ButtonInfo info;
    if (index == kMailButtonIndex) {
        // Only the settings: the button calls of UpdateButton would call back
        // into a host that is waiting for this answer.
        try {
            mail_.RefreshConfig();
        } catch (...) {
            log::Caught("plugin", "settings refresh for the button");
        }
    }
    bool enabled = false;
    const ButtonShow show = ReadShow(enabled);
    if (index == kSeparatorIndex) {
        info.id = kSeparatorId;
        info.name = kSeparator;
        info.visible = show.Visible() ? 1 : 0;
        info.caption = QStringLiteral("-");
        info.hint = QStringLiteral("-");
        return info;
    }
    info.id = kMailButtonId;
    info.name = enabled ? kMailButton + QStringLiteral(":SHOW_BUTTON:") + LongName() : kMailButton;
    info.menuText = mail_.BuildMenuText(false);
    info.hint = mail_.CurrentCaption();
    info.style = ButtonStyle();
    // The picture goes along even when hidden, so that a host that lists its
    // plug-ins can draw the disabled one. The button shows the new-mail
    // picture for as long as the blink lasts, also in windows opened meanwhile.
    info.bitmap = mail_.CurrentBitmap().bytes;
    if (!show.Visible()) {
        info.visible = 0;
        return info;
    }
    if (show.Picture()) {
        info.icon = mail_.CurrentBitmap().bytes;
    }
    if (show.Caption()) {
        info.caption = info.hint;
    }
    info.visible = 1;
    return info;
}

int TNuvexObj::ButtonStyle() {
    HostConfig* cfg = mail_.Host().Settings();
    if (!mail_.Settings().ButtonRunsAccountAction(cfg)) {
        return kStyleMenu;
    }
    const std::string id = mail_.Settings().ButtonAccount(cfg);
    if (TNuvex_GenericConnector* account = mail_.Accounts().FindAccount(id, true)) {
        std::lock_guard<std::recursive_mutex> guard(account->Guard());
        return account->Associate && account->ActionCode > 0 ? kStyleAction : kStyleMenu;
    }
    return kStyleMenu;
}

void TNuvexObj::SendMenu() {
    // Remembered as sent only once the host took it, so that a failed send
    // is tried again by the next pass.
    const QString text = mail_.BuildMenuText(false);
    if (mail_.Host().SetButtonMenu(text)) {
        mail_.Presenter().MenuAccepted(text);
    } else {
        qCWarning(lcPlugin) << "the host did not take the button menu";
    }
}

void TNuvexObj::UpdateButton() {
    MailHost& host = mail_.Host();
    if (!host.Settings()) {
        return;
    }
    bool enabled = false;
    const ButtonShow show = ReadShow(enabled);
    host.SetButtonVisible(kMailButton, show.Visible(), context_);
    host.SetButtonVisible(kSeparator, show.Visible(), context_);
    if (show.Visible()) {
        const QString caption = mail_.CurrentCaption();
        host.SetButtonBitmap(show.Picture() ? mail_.CurrentBitmap().hex : QString(), context_);
        host.SetButtonHint(caption, context_);
        host.SetButtonCaption(show.Caption() ? caption : QString(), context_);
        SendMenu();
    } else {
        host.SetButtonCaption(QString(), context_);
        host.SetButtonBitmap(QString(), context_);
    }
}

void TNuvexObj::ButtonClick(const QString& button) {
    if (!button.startsWith(kMailButton)) {
        return;
    }
    HostConfig* cfg = mail_.Host().Settings();
    if (!cfg) {
        return;
    }
    const std::string id = mail_.Settings().ButtonAccount(cfg);
    TAccountList& list = mail_.Accounts();
    TNuvex_GenericConnector* target = nullptr;
    {
        CriticHold hold(list.AccountLock, CriticHold::Mode::Shared, kFindAccountWaits);
        if (!hold.Held()) {
            qCWarning(lcPlugin) << "the account list was busy; the button click is dropped";
            return;
        }
        for (TNuvex_GenericConnector* account : list.Items()) {
            if (account && account->Enabled && account->AccountId == id) {
                target = account;
                break;
            }
        }
    }
    if (!target) {
        return;
    }
    mail_.SetBrowserContext(Context());
    target->OpenMailbox();
}

void TNuvexObj::ExecCommand(int value, const QString& command) {
    if (!mail_.Router().Execute(command, CommandOrigin::Button, Context())) {
        TPluginObj::ExecCommand(value, command);
    }
}

void TNuvexObj::Activate() {
    MailHost& host = mail_.Host();
    HostConfig* cfg = host.Settings();
    if (mail_.Settings().WriteEnabled(cfg, true)) {
        cfg->ConfigChanged();
    }
    mail_.ResumeTicks();
    try {
        mail_.RefreshConfig();
    } catch (...) {
        log::Caught("plugin", "settings refresh on activation");
    }
    if (!host.Settings()) {
        return;
    }
    SendMenu();
    const bool show = mail_.Settings().ShowButton(host.Settings()).Visible();
    host.SetButtonVisible(kMailButton, show, context_);
    host.SetButtonVisible(kSeparator, show, context_);
}

void TNuvexObj::Deactivate() {
    MailHost& host = mail_.Host();
    if (host.Settings()) {
        host.SetButtonVisible(kMailButton, false, context_);
        host.SetButtonVisible(kSeparator, false, context_);
    }
    mail_.Deactivated();
}

void TNuvexObj::Connected() {
    // The refresh calls the host back: it runs after this call has returned.
    mail_.PostRefresh();
}

} // namespace nuvex
