#include "core/nuvex_obj.h"

#include "accounts/generic_connector.h"
#include "core/bus_host_config.h"
#include "core/nuvex_form.h"
#include "core/nuvex_plugin.h"
#include "core/plugin_process.h"
#include "lib/host_config.h"

#include <mutex>

namespace nuvex {

TNuvexObj::TNuvexObj(TNuvexPlugin& plugin, QObject* parent) : TPluginObj(parent), mail_(plugin) {}

ButtonInfo TNuvexObj::GetButtonInfo(int index) {
    if (index != 0 && index != 1) {
        return TPluginObj::GetButtonInfo(index);
    }
    ButtonInfo info;
    if (index == 0) {
        // Only the settings: the button calls of UpdateButton would call back
        // into a host that is waiting for this answer.
        try {
            mail_.RefreshConfig();
        } catch (...) {
        }
    }
    const bool enabled = ReadCfgBool(PluginName() + QStringLiteral("_ALL"));
    const int show = ReadCfgInt(QStringLiteral("SHOW_BUTTON"));
    if (index == 1) {
        info.id = 501;
        info.name = QStringLiteral("SEP");
        info.visible = enabled && show > 0 ? 1 : 0;
        info.caption = QStringLiteral("-");
        info.hint = QStringLiteral("-");
        return info;
    }
    info.id = 500;
    info.name = enabled ? QStringLiteral("Mail:SHOW_BUTTON:") + LongName() : QStringLiteral("Mail");
    info.menuText = mail_.BuildMenuText(false);
    info.hint = mail_.CurrentCaption();
    info.style = 2;
    if (ReadCfgInt(QStringLiteral("EBUTTACTION"), 0) != 0) {
        const std::string id = ReadCfgStr(QStringLiteral("MAILACCOUNT"), 0).toStdString();
        if (TNuvex_GenericConnector* account = mail_.Accounts().FindAccount(id, true)) {
            std::lock_guard<std::recursive_mutex> guard(account->Guard());
            info.style = account->Associate && account->ActionCode > 0 ? 1 : 2;
        }
    }
    if (!enabled || show < 1) {
        // Hidden; the picture still goes along so that a host that lists its
        // plug-ins can draw the disabled one.
        info.visible = 0;
        info.bitmap = mail_.CurrentBitmap().bytes;
        return info;
    }
    // The button shows the new-mail picture for as long as the blink lasts,
    // also in windows opened meanwhile.
    if (show % 2 == 1) {
        info.icon = mail_.CurrentBitmap().bytes;
    }
    if (show > 1) {
        info.caption = info.hint;
    }
    info.bitmap = mail_.CurrentBitmap().bytes;
    info.visible = 1;
    return info;
}

void TNuvexObj::UpdateButton() {
    BusHostConfig* host = Host();
    if (!host) {
        return;
    }
    const bool enabled = ReadCfgBool(PluginName() + QStringLiteral("_ALL"));
    const int show = enabled ? ReadCfgInt(QStringLiteral("SHOW_BUTTON")) : 0;
    const QString mail = QStringLiteral("Mail");
    host->SetButtonVisible(context_, mail, show > 0);
    host->SetButtonVisible(context_, QStringLiteral("SEP"), show > 0);
    if (enabled && show > 0) {
        const QString caption = mail_.CurrentCaption();
        host->ButtonCommand(context_, QStringLiteral("SET_BMP"), mail,
                            show % 2 == 1 ? mail_.CurrentBitmap().hex : QString());
        host->SetButtonHint(context_, mail, caption);
        host->SetButtonCaption(context_, mail, show > 1 ? caption : QString());
        host->SetButtonMenu(mail, mail_.BuildMenuText(true));
    } else {
        host->SetButtonCaption(context_, mail, QString());
        host->ButtonCommand(context_, QStringLiteral("SET_BMP"), mail, QString());
    }
}

void TNuvexObj::ButtonClick(const QString& button) {
    if (!button.startsWith(QLatin1String("Mail"))) {
        return;
    }
    HostConfig* cfg = mail_.Host().Settings();
    if (!cfg) {
        return;
    }
    const std::string id = cfg->ReadCfgStr("MAILACCOUNT", 0).value_or("");
    TAccountList& list = mail_.Accounts();
    TNuvex_GenericConnector* target = nullptr;
    {
        CriticHold hold(list.AccountLock, CriticHold::Mode::Shared, kFindAccountWaits);
        if (!hold.Held()) {
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
    const int bar = command.indexOf(QLatin1Char('_'));
    const QString prefix = bar < 0 ? command : command.left(bar);
    const QString rest = bar < 0 ? QString() : command.mid(bar + 1);
    if (command == QLatin1String("ADD_ACCOUNT")) {
        // The add-account editor is not part of this program yet.
        return;
    }
    if (prefix == QLatin1String("COMPOSE") || prefix == QLatin1String("OPEN")) {
        mail_.SetBrowserContext(Context());
        if (TNuvex_GenericConnector* account = mail_.Accounts().FindAccount(rest.toStdString(), true)) {
            prefix == QLatin1String("COMPOSE") ? account->Compose() : account->OpenMailbox();
        }
        return;
    }
    if (command == QLatin1String("CHECK_ALL") || command == QLatin1String("SETTINGS") ||
        prefix == QLatin1String("CHECK")) {
        mail_.ExecCommand(command);
        return;
    }
    TPluginObj::ExecCommand(value, command);
}

void TNuvexObj::Activate() {
    WriteCfgBool(PluginName() + QStringLiteral("_ALL"), true, true);
    mail_.ResumeTicks();
    try {
        mail_.RefreshConfig();
    } catch (...) {
    }
    BusHostConfig* host = Host();
    if (!host) {
        return;
    }
    const QString mail = QStringLiteral("Mail");
    host->SetButtonMenu(mail, mail_.BuildMenuText(true));
    const bool show = ReadCfgInt(QStringLiteral("SHOW_BUTTON"), 0) > 0;
    host->SetButtonVisible(context_, mail, show);
    host->SetButtonVisible(context_, QStringLiteral("SEP"), show);
}

void TNuvexObj::Deactivate() {
    if (BusHostConfig* host = Host()) {
        host->SetButtonVisible(context_, QStringLiteral("Mail"), false);
        host->SetButtonVisible(context_, QStringLiteral("SEP"), false);
    }
    mail_.Deactivated();
}

void TNuvexObj::Connected() {
    if (TMainForm* form = mail_.MainForm()) {
        form->PostMessage(mail_.RefCfgMessage());
    }
}

} // namespace nuvex
