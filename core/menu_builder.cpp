#include "core/menu_builder.h"

#include "accounts/account_list.h"
#include "accounts/generic_connector.h"
#include "contract/menu_text.h"
#include "lib/branding.h"
#include "lib/files.h"

#include <mutex>

namespace nuvex {

namespace {

constexpr const char* kEol = "\r\n";

std::string Tr(const char* text) {
    return Translate(text);
}

} // namespace

std::vector<MenuAccount> SnapshotEnabledAccounts(TAccountList& list) {
    std::vector<MenuAccount> out;
    CriticHold hold(list.AccountLock, CriticHold::Mode::Shared, kFindAccountWaits);
    if (!hold.Held()) {
        return out;
    }
    for (TNuvex_GenericConnector* account : list.Items()) {
        if (!account) {
            continue;
        }
        // A running check holds the guard only between network waits, so
        // this wait is short.
        std::lock_guard<std::recursive_mutex> guard(account->Guard());
        if (!account->Enabled) {
            continue;
        }
        MenuAccount m;
        m.id = account->AccountId;
        m.email = account->Email;
        m.canCompose = account->CanCompose();
        m.hasOpenAction = account->HasOpenAction();
        m.unread = account->UnreadCount;
        out.push_back(std::move(m));
    }
    return out;
}

std::string BuildMenuLines(const MenuSnapshot& s) {
    std::string text = std::string("$") + kEol;
    auto line = [&text](const std::string& l) { text += l + kEol; };
    const auto& accounts = s.enabled;
    if (!accounts.empty()) {
        if (accounts.size() > 1) {
            line(Tr("Check All Accounts") + "=CHECK_ALL");
        }
        line("+" + Tr("Check Selected Account"));
        for (const MenuAccount& a : accounts) {
            line(EscapeMenuCaption(a.email) + "=CHECK_" + a.id);
        }
        line("<");

        const MenuAccount* compose = nullptr;
        if (!s.composeId.empty()) {
            for (const MenuAccount& a : accounts) {
                if (a.id == s.composeId) {
                    compose = &a;
                    break;
                }
            }
        }
        // A chosen account that is gone or cannot compose must not hide the
        // line when another account can.
        if (!compose || !compose->canCompose) {
            compose = nullptr;
            for (const MenuAccount& a : accounts) {
                if (a.canCompose) {
                    compose = &a;
                    break;
                }
            }
        }
        if (compose) {
            line(Tr("Compose Email") + "=COMPOSE_" + compose->id);
        }
        int composers = 0;
        for (const MenuAccount& a : accounts) {
            composers += a.canCompose ? 1 : 0;
        }
        if (composers > 1) {
            line(Tr("+Compose Email Using"));
            for (const MenuAccount& a : accounts) {
                if (a.canCompose) {
                    line(EscapeMenuCaption(a.email) + "=COMPOSE_" + a.id);
                }
            }
            line("<");
        }

        line("-");
        for (const MenuAccount& a : accounts) {
            std::string l = a.hasOpenAction ? "" : "{";
            l += Tr("Go to") + " " + EscapeMenuCaptionPart(a.email);
            if (a.unread > 0) {
                l += " (" + std::to_string(a.unread) + " " + Tr("New") + ")";
            }
            line(l + "=OPEN_" + a.id);
        }
        line("");
        line("-");
    }
    line(Tr("Add New Account") + "=ADD_ACCOUNT");
    line("");
    line("-");
    line(Tr("Settings") + "=SETTINGS");
    if (!s.helpUrl.empty()) {
        line(Tr("Help") + "=HELP");
    }
    if (!s.aboutUrl.empty()) {
        line(Tr("About") + "=ABOUT");
    }
    return text;
}

std::vector<std::string> TrayMenuLines(const std::string& buttonText) {
    std::vector<std::string> lines = SplitMenuLines(buttonText);
    const std::string add = "=ADD_ACCOUNT";
    for (std::string& l : lines) {
        if (l.size() >= add.size() && l.compare(l.size() - add.size(), add.size(), add) == 0) {
            l += "_TRAY";
        }
    }
    lines.push_back("-");
    lines.push_back(Tr("Remove Icon") + "=REMOVE");
    return lines;
}

std::string MailCaption(std::int32_t totalUnread) {
    if (totalUnread == 0) {
        return Tr("Email");
    }
    return FormatThousands(totalUnread) + " " + Tr("New");
}

} // namespace nuvex
