#include "host/settings_setup.h"

#include "host/bus_objects.h"
#include "host/toolbar_host.h"

#include <QDBusPendingReply>
#include <QFile>
#include <QPromise>
#include <memory>

namespace nuvex::host {

namespace {

// What a page name may be: letters and digits only, so that no path can be
// built from it.
bool PlainName(const QString& name) {
    if (name.isEmpty() || name.size() > 32) {
        return false;
    }
    for (QChar c : name) {
        if (!(c.isLetterOrNumber() && c.unicode() < 128)) {
            return false;
        }
    }
    return true;
}

template <typename T> QFuture<T> Ready(T value) {
    QPromise<T> promise;
    promise.start();
    promise.addResult(value);
    promise.finish();
    return promise.future();
}

} // namespace

QString PageResource(const QString& name) {
    if (!PlainName(name)) {
        return {};
    }
    const QString path = QStringLiteral(":/settings/") + name + QStringLiteral(".html");
    return QFile::exists(path) ? QStringLiteral("qrc") + path : QString();
}

std::vector<SettingsPage> ParseSettingsPages(const QString& text) {
    std::vector<SettingsPage> pages;
    // A plug-in that answers with a novel is not shown page by page.
    constexpr int kMaxPages = 16;
    const QStringList lines = text.split(QLatin1Char('\n'));
    for (QString line : lines) {
        line = line.trimmed();
        const qsizetype eq = line.indexOf(QLatin1Char('='));
        if (line.isEmpty() || eq <= 0) {
            continue;
        }
        SettingsPage page;
        page.title = line.left(eq).trimmed();
        page.address = line.mid(eq + 1).trimmed();
        QString name = page.address;
        while (name.endsWith(QLatin1Char('/'))) {
            name.chop(1);
        }
        name = name.mid(name.lastIndexOf(QLatin1Char('/')) + 1);
        page.resource = PageResource(name);
        pages.push_back(std::move(page));
        if (static_cast<int>(pages.size()) == kMaxPages) {
            break;
        }
    }
    return pages;
}

QString SettingsPagesReport(const QString& plugin, const std::vector<SettingsPage>& pages) {
    QString text;
    for (const SettingsPage& page : pages) {
        text += plugin + u'\t' + page.title + u'\t' +
                (page.resource.isEmpty() ? QStringLiteral("(not carried by the host: ") + page.address + u')'
                                         : page.resource) +
                u'\n';
    }
    if (pages.empty()) {
        text = plugin + QStringLiteral("\t(no settings pages)\n");
    }
    return text;
}

SettingsSetup::SettingsSetup(ToolbarHost& host, const QString& pagesOf, QObject* parent)
    : QObject(parent), host_(host), pagesOf_(pagesOf.toUpper()) {
    refresh_.setSingleShot(true);
    refresh_.setInterval(kRefreshDelayMs);
    // Several writes in a row (a change mark, then the value) make one refresh.
    connect(&refresh_, &QTimer::timeout, this, [this] { host_.RefreshPlugin(plugin_); });
}

bool SettingsSetup::StartSettings(const QString& plugin) {
    if (plugin.toUpper() != pagesOf_) {
        qCWarning(lcHost).noquote() << "the settings pages of" << pagesOf_ << "asked for the values of"
                                    << plugin << "; refused";
        return false;
    }
    if (!host_.FindSlot(plugin)) {
        qCWarning(lcHost).noquote() << "the settings pages asked for an unknown plug-in" << plugin;
        return false;
    }
    plugin_ = plugin.toUpper();
    return true;
}

bool SettingsSetup::Started(const char* call) const {
    if (plugin_.isEmpty()) {
        qCWarning(lcHost) << "the settings pages called" << call << "before StartSettings";
        return false;
    }
    return true;
}

bool SettingsSetup::GetCfgBool(const QString& key, int) {
    if (!Started("GetCfgBool")) {
        return false;
    }
    auto v = host_.Store().Get(plugin_.toStdString(), key.toStdString());
    return v && ParseBool(QString::fromStdString(v->text)).value_or(false);
}

int SettingsSetup::GetCfgInt(const QString& key, int) {
    if (!Started("GetCfgInt")) {
        return 0;
    }
    auto v = host_.Store().Get(plugin_.toStdString(), key.toStdString());
    if (v && v->type == ValueType::Bool) {
        return ParseBool(QString::fromStdString(v->text)).value_or(false) ? 1 : 0;
    }
    return v ? TextToInt(v->text) : 0;
}

QString SettingsSetup::GetCfgStr(const QString& key, int) {
    if (!Started("GetCfgStr")) {
        return {};
    }
    auto v = host_.Store().Get(plugin_.toStdString(), key.toStdString());
    return v ? QString::fromStdString(v->text) : QString();
}

bool SettingsSetup::Write(const QString& key, ValueType type, const std::string& text) {
    if (!Started("a write") || key.isEmpty()) {
        return false;
    }
    if (!host_.Store().Set(plugin_.toStdString(), key.toStdString(), type, text)) {
        qCWarning(lcHost).noquote() << "the settings pages cannot write" << key << "of" << plugin_ << ":"
                                    << QString::fromStdString(host_.Store().LastError());
        return false;
    }
    Written(key);
    return true;
}

void SettingsSetup::Written(const QString& key) {
    Q_EMIT ValueChanged(plugin_, key);
    refresh_.start();
}

bool SettingsSetup::SetCfgBool(const QString& key, bool value, int) {
    return Write(key, ValueType::Bool, value ? "1" : "0");
}

bool SettingsSetup::SetCfgInt(const QString& key, int value, int) {
    return Write(key, ValueType::Int, std::to_string(value));
}

bool SettingsSetup::SetCfgStr(const QString& key, const QString& value, int) {
    return Write(key, ValueType::Text, value.toStdString());
}

bool SettingsSetup::DelCfgValue(const QString& key, int) {
    if (!Started("DelCfgValue")) {
        return false;
    }
    if (!host_.Store().Delete(plugin_.toStdString(), key.toStdString())) {
        qCWarning(lcHost).noquote() << "the settings pages cannot remove" << key << "of" << plugin_ << ":"
                                    << QString::fromStdString(host_.Store().LastError());
        return false;
    }
    Written(key);
    return true;
}

QFuture<QString> SettingsSetup::GetText(const QString& key, const QString& param) {
    PluginSlot* slot = Started("GetText") ? host_.FindSlot(plugin_) : nullptr;
    if (!slot || !slot->up) {
        return Ready(QString());
    }
    auto promise = std::make_shared<QPromise<QString>>();
    promise->start();
    host_.WhenDone(host_.SettingsObject(*slot).QueryText(key, param), [promise, key](const QDBusMessage& m) {
        QDBusPendingReply<QString> reply = m;
        if (reply.isError() || !reply.isValid()) {
            qCWarning(lcHost).noquote()
                << "the plug-in did not answer the settings question" << key << ":" << m.errorMessage();
            promise->addResult(QString());
        } else {
            promise->addResult(reply.value());
        }
        promise->finish();
    });
    return promise->future();
}

QFuture<int> SettingsSetup::GetNum(const QString& key, int index) {
    PluginSlot* slot = Started("GetNum") ? host_.FindSlot(plugin_) : nullptr;
    if (!slot || !slot->up) {
        return Ready(0);
    }
    auto promise = std::make_shared<QPromise<int>>();
    promise->start();
    host_.WhenDone(host_.SettingsObject(*slot).QueryNum(key, index), [promise, key](const QDBusMessage& m) {
        QDBusPendingReply<int> reply = m;
        if (reply.isError() || !reply.isValid()) {
            qCWarning(lcHost).noquote()
                << "the plug-in did not answer the settings question" << key << ":" << m.errorMessage();
            promise->addResult(0);
        } else {
            promise->addResult(reply.value());
        }
        promise->finish();
    });
    return promise->future();
}

} // namespace nuvex::host
