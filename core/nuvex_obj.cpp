#include "core/nuvex_obj.h"

#include "accounts/account_list.h"
#include "accounts/generic_connector.h"
#include "core/button_presenter.h"
#include "core/command_router.h"
#include "core/mail_host.h"
#include "core/plugin_log.h"
#include "core/plugin_process.h"
#include "lib/branding.h"
#include "lib/host_config.h"
#include "lib/log.h"
#include "lib/plugin_settings.h"
#include "ui/tr.h"
#include "upload/upload_count.h"

#include <QApplication>
#include <QCoreApplication>
#include <mutex>

namespace nuvex {

namespace {
const QString kMailButton = QStringLiteral("Mail");
const QString kSeparator = QStringLiteral("SEP");

// How long a question of the settings pages waits for the account list. A
// check pass holds it while it talks to a server; the host waits for the
// answer, so the wait is bounded rather than endless.
constexpr int kSettingsListWaits = 2000;

// Tabs and line ends inside a value would split the page's list in the wrong places.
QString ListField(const std::string& value) {
    QString text = QString::fromStdString(value);
    for (QChar& c : text) {
        if (c == u'\t' || c == u'\r' || c == u'\n') {
            c = u' ';
        }
    }
    return text;
}

// The parameter of the per-account questions is a decimal index.
int IndexParam(const QString& param) {
    bool ok = false;
    const int index = param.trimmed().toInt(&ok);
    return ok ? index : -1;
}
} // namespace

TNuvexObj::TNuvexObj(MailObjectParts parts, QObject* parent)
    : TPluginObj(parts.frame, parent), parts_(std::move(parts)), mailHost_(parts_.view.host),
      settings_(parts_.view.settings) {}

const QString& TNuvexObj::SettingsContext() {
    static const QString context = QStringLiteral("SETTINGS");
    return context;
}

int TNuvexObj::GetContextKind() {
    return context_ == SettingsContext() ? 1 : 2;
}

QString TNuvexObj::SettingsPagesText() {
    const QString base = QStringLiteral("res://") + QCoreApplication::applicationFilePath();
    return LongName() + QStringLiteral("=") + base + QStringLiteral("/TAB1\r\n") + Tr("Manage Accounts") +
           QStringLiteral("=") + base + QStringLiteral("/TAB2\r\n") + Tr("Advanced Settings") +
           QStringLiteral("=") + base + QStringLiteral("/TAB3");
}

void TNuvexObj::GetSettingsPages(QString& pages, QByteArray& bitmap) {
    pages = SettingsPagesText();
    bitmap = ButtonBitmap().bytes;
}

QString TNuvexObj::GetHelpURL() {
    HostConfig* cfg = mailHost_.Settings();
    const std::string url = cfg ? settings_.Text(cfg, keys::kHelpUrl) : std::string();
    return url.empty() ? TPluginObj::GetHelpURL() : QString::fromStdString(url);
}

QString TNuvexObj::QueryText(const QString& key, const QString& param) {
    QString out;
    if (key == QLatin1String("ALLOW_EXIT") && UploadInProgress()) {
        return QStringLiteral("NO");
    }
    if (BaseQueryText(key, param, out)) {
        return out;
    }
    if (key == QLatin1String("REFRESH_ACCOUNTS")) {
        return QString::fromStdString(parts_.accountsChangedStamp());
    }
    if (key == QLatin1String("INITEVENTS")) {
        if (!param.isEmpty()) {
            context_ = param;
        }
        return {};
    }
    if (key == QLatin1String("ACC_ID") || key == QLatin1String("ACC_EMAILADDRESS")) {
        const bool id = key == QLatin1String("ACC_ID");
        WithAccount(IndexParam(param), [&](TNuvex_GenericConnector& a) {
            out = QString::fromStdString(id ? a.AccountId : a.Email);
        });
        return out;
    }
    if (key == QLatin1String("ACC_SENDTOALLOWED")) {
        WithAccount(IndexParam(param), [&](TNuvex_GenericConnector& a) {
            out = a.CanSendFiles() ? QString() : QStringLiteral("disabled");
        });
        return out;
    }
    if (key == QLatin1String("GET_ACCOUNTS")) {
        return AccountLines(param);
    }
    return {};
}

QString TNuvexObj::AccountLines(const QString& filter) {
    enum class Need { All, Compose, MailTo };
    Need need = Need::All;
    if (filter == QLatin1String("COMPOSE")) {
        need = Need::Compose;
    } else if (filter == QLatin1String("COMPOSEPREFILL")) {
        need = Need::MailTo;
    } else if (!filter.isEmpty()) {
        return {};
    }
    TAccountList& list = parts_.accounts;
    CriticHold hold(list.AccountLock, CriticHold::Mode::Shared, kSettingsListWaits);
    if (!hold.Held()) {
        qCWarning(lcPlugin) << "the account list stayed busy; the settings pages get no accounts";
        return {};
    }
    QString lines;
    for (TNuvex_GenericConnector* a : list.Items()) {
        if (!a || !a->Enabled) {
            continue;
        }
        if ((need == Need::Compose && !a->CanCompose()) || (need == Need::MailTo && !a->CanMailTo())) {
            continue;
        }
        lines += ListField(a->AccountId) + u'\t' + ListField(a->Email) + QStringLiteral("\t\t");
    }
    return lines;
}

bool TNuvexObj::WithAccount(int index, const std::function<void(TNuvex_GenericConnector&)>& use) {
    TAccountList& list = parts_.accounts;
    CriticHold hold(list.AccountLock, CriticHold::Mode::Shared, kSettingsListWaits);
    if (!hold.Held()) {
        qCWarning(lcPlugin) << "the account list stayed busy; a settings question goes unanswered";
        return false;
    }
    if (index < 0 || index >= list.Count()) {
        return false;
    }
    TNuvex_GenericConnector* account = list.At(index);
    if (!account) {
        return false;
    }
    std::lock_guard<std::recursive_mutex> guard(account->Guard());
    use(*account);
    return true;
}

int TNuvexObj::QueryNum(const QString& key, int index) {
    int number = 0;
    if (key == QLatin1String("ACCNUM")) {
        TAccountList& list = parts_.accounts;
        CriticHold hold(list.AccountLock, CriticHold::Mode::Shared, kSettingsListWaits);
        if (!hold.Held()) {
            qCWarning(lcPlugin) << "the account list stayed busy; the settings pages see no accounts";
            return 0;
        }
        return list.Count();
    }
    if (key == QLatin1String("ACC_ENABLED") || key == QLatin1String("ACC_SENDTO")) {
        const bool enabled = key == QLatin1String("ACC_ENABLED");
        WithAccount(index,
                    [&](TNuvex_GenericConnector& a) { number = (enabled ? a.Enabled : a.SendTo) ? 1 : 0; });
        return number;
    }
    if (key == QLatin1String("ADD_ACCOUNT") || key == QLatin1String("EDIT_ACCOUNT") ||
        key == QLatin1String("REMOVE_ACCOUNT")) {
        StartEditor(key, index);
    }
    return 0;
}

void TNuvexObj::StartEditor(const QString& key, int index) {
    // The list is only looked at here: the editors take the lock themselves,
    // and must not start while this call still holds it.
    int count = 0;
    {
        TAccountList& list = parts_.accounts;
        CriticHold hold(list.AccountLock, CriticHold::Mode::Shared, kSettingsListWaits);
        if (!hold.Held()) {
            qCWarning(lcPlugin).noquote()
                << "the account list stayed busy;" << key << "from the settings pages is dropped";
            return;
        }
        count = list.Count();
    }
    const bool inRange = index >= 0 && index < count;
    // A context that is not a window handle (the settings dialog's) means the
    // window in front owns the editor.
    QWidget* owner = QApplication::activeWindow();
    if (key == QLatin1String("ADD_ACCOUNT") || (key == QLatin1String("EDIT_ACCOUNT") && !inRange)) {
        parts_.startAdd(owner, context_);
    } else if (key == QLatin1String("EDIT_ACCOUNT")) {
        parts_.startEdit(index, context_, owner);
    } else if (inRange) {
        parts_.startRemove(index, context_, owner);
    }
}

ButtonShow TNuvexObj::ReadShow(bool& enabled) {
    HostConfig* cfg = mailHost_.Settings();
    enabled = settings_.Enabled(cfg);
    return enabled ? settings_.ShowButton(cfg) : ButtonShow{};
}

ButtonInfo TNuvexObj::GetButtonInfo(int index) {
    ButtonInfo info;
    if (index != kMailButtonIndex && index != kSeparatorIndex) {
        // The plug-in has two buttons; a host that asks on would draw a third.
        return info;
    }
    if (index == kMailButtonIndex) {
        // Only the settings: the button calls of UpdateButton would call back
        // into a host that is waiting for this answer.
        try {
            parts_.frame.requestRefresh();
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
    info.menuText = parts_.presenter.BuildMenuText(false);
    info.hint = parts_.presenter.CurrentCaption();
    info.style = ButtonStyle();
    if (!show.Visible()) {
        // No picture either: a host that draws what it is given would show it.
        info.visible = 0;
        return info;
    }
    // The button shows the new-mail picture for as long as the blink lasts,
    // also in windows opened meanwhile.
    info.bitmap = parts_.presenter.CurrentBitmap().bytes;
    if (show.Picture()) {
        info.icon = parts_.presenter.CurrentBitmap().bytes;
    }
    if (show.Caption()) {
        info.caption = info.hint;
    }
    info.visible = 1;
    return info;
}

int TNuvexObj::ButtonStyle() {
    HostConfig* cfg = mailHost_.Settings();
    if (!settings_.ButtonRunsAccountAction(cfg)) {
        return kStyleMenu;
    }
    const std::string id = settings_.ButtonAccount(cfg);
    if (TNuvex_GenericConnector* account = parts_.accounts.FindAccount(id, true)) {
        std::lock_guard<std::recursive_mutex> guard(account->Guard());
        return account->Associate && account->ActionCode > 0 ? kStyleAction : kStyleMenu;
    }
    return kStyleMenu;
}

void TNuvexObj::SendMenu() {
    // Remembered as sent only once the host took it, so that a failed send
    // is tried again by the next pass.
    const QString text = parts_.presenter.BuildMenuText(false);
    if (mailHost_.SetButtonMenu(text)) {
        parts_.presenter.MenuAccepted(text);
    } else {
        qCWarning(lcPlugin) << "the host did not take the button menu";
    }
}

void TNuvexObj::UpdateButton() {
    MailHost& host = mailHost_;
    if (!host.Settings()) {
        return;
    }
    bool enabled = false;
    const ButtonShow show = ReadShow(enabled);
    host.SetButtonVisible(kMailButton, show.Visible(), context_);
    host.SetButtonVisible(kSeparator, show.Visible(), context_);
    if (show.Visible()) {
        const QString caption = parts_.presenter.CurrentCaption();
        host.SetButtonBitmap(show.Picture() ? parts_.presenter.CurrentBitmap().hex : QString(), context_);
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
    HostConfig* cfg = mailHost_.Settings();
    if (!cfg) {
        return;
    }
    const std::string id = settings_.ButtonAccount(cfg);
    TAccountList& list = parts_.accounts;
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
    parts_.setBrowserContext(Context());
    target->OpenMailbox();
}

void TNuvexObj::ExecCommand(int value, const QString& command) {
    parts_.flushPendingReload();
    if (!parts_.router.Execute(command, CommandOrigin::Button, Context())) {
        TPluginObj::ExecCommand(value, command);
    }
}

void TNuvexObj::Activate() {
    MailHost& host = mailHost_;
    HostConfig* cfg = host.Settings();
    if (settings_.WriteEnabled(cfg, true)) {
        cfg->ConfigChanged();
    }
    parts_.resumeTicks();
    try {
        parts_.refreshNow();
    } catch (...) {
        log::Caught("plugin", "settings refresh on activation");
    }
    if (!host.Settings()) {
        return;
    }
    SendMenu();
    const bool show = settings_.ShowButton(host.Settings()).Visible();
    host.SetButtonVisible(kMailButton, show, context_);
    host.SetButtonVisible(kSeparator, show, context_);
}

void TNuvexObj::Deactivate() {
    MailHost& host = mailHost_;
    if (host.Settings()) {
        host.SetButtonVisible(kMailButton, false, context_);
        host.SetButtonVisible(kSeparator, false, context_);
    }
    parts_.deactivated();
}

void TNuvexObj::Connected() {
    // The refresh calls the host back: it runs after this call has returned.
    parts_.postRefresh();
}

} // namespace nuvex
