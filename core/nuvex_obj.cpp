#include "core/nuvex_obj.h"

#include "accounts/generic_connector.h"
#include "core/bus_host_config.h"
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
const QString kSetBitmap = QStringLiteral("SET_BMP");
} // namespace

TNuvexObj::TNuvexObj(TNuvexPlugin& plugin, QObject* parent) : TPluginObj(parent), mail_(plugin) {}

ButtonShow TNuvexObj::ReadShow(bool& enabled) {
    HostConfig* cfg = Host();
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
    HostConfig* cfg = Host();
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

void TNuvexObj::SendMenu(BusHostConfig& host) {
    // Remembered as sent only once the host took it, so that a failed send
    // is tried again by the next pass.
    const QString text = mail_.BuildMenuText(false);
    if (host.SetButtonMenu(kMailButton, text)) {
        mail_.Presenter().MenuAccepted(text);
    } else {
        qCWarning(lcPlugin) << "the host did not take the button menu";
    }
}

void TNuvexObj::UpdateButton() {
    BusHostConfig* host = Host();
    if (!host) {
        return;
    }
    bool enabled = false;
    const ButtonShow show = ReadShow(enabled);
    host->SetButtonVisible(context_, kMailButton, show.Visible());
    host->SetButtonVisible(context_, kSeparator, show.Visible());
    if (show.Visible()) {
        const QString caption = mail_.CurrentCaption();
        host->ButtonCommand(context_, kSetBitmap, kMailButton,
                            show.Picture() ? mail_.CurrentBitmap().hex : QString());
        host->SetButtonHint(context_, kMailButton, caption);
        host->SetButtonCaption(context_, kMailButton, show.Caption() ? caption : QString());
        SendMenu(*host);
    } else {
        host->SetButtonCaption(context_, kMailButton, QString());
        host->ButtonCommand(context_, kSetBitmap, kMailButton, QString());
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
    BusHostConfig* host = Host();
    if (mail_.Settings().WriteEnabled(host, true) && host) {
        host->ConfigChanged();
    }
    mail_.ResumeTicks();
    try {
        mail_.RefreshConfig();
    } catch (...) {
        log::Caught("plugin", "settings refresh on activation");
    }
    if (!host) {
        return;
    }
    SendMenu(*host);
    const bool show = mail_.Settings().ShowButton(host).Visible();
    host->SetButtonVisible(context_, kMailButton, show);
    host->SetButtonVisible(context_, kSeparator, show);
}

void TNuvexObj::Deactivate() {
    if (BusHostConfig* host = Host()) {
        host->SetButtonVisible(context_, kMailButton, false);
        host->SetButtonVisible(context_, kSeparator, false);
    }
    mail_.Deactivated();
}

void TNuvexObj::Connected() {
    // The refresh calls the host back: it runs after this call has returned.
    mail_.PostRefresh();
}

} // namespace nuvex
