#include "host/settings_dialog.h"

#include "host/settings_setup.h"
#include "host/toolbar_host.h"
#include "lib/branding.h"

#include <QApplication>
#include <QDBusPendingReply>
#include <QDialogButtonBox>
#include <QLabel>
#include <QMessageBox>
#include <QPointer>
#include <QTabWidget>
#include <QTimer>
#include <QVBoxLayout>
#include <QWebChannel>
#include <QWebEnginePage>
#include <QWebEngineProfile>
#include <QWebEngineSettings>
#include <QWebEngineUrlRequestInterceptor>
#include <QWebEngineView>

namespace nuvex::host {

namespace {

bool FromResources(const QUrl& url) {
    return url.scheme() == QLatin1String("qrc");
}

// Every request of the pages passes here, on the engine's IO thread: what is
// not one of the host's resources is refused before it leaves the process.
class ResourcesOnly final : public QWebEngineUrlRequestInterceptor {
public:
    using QWebEngineUrlRequestInterceptor::QWebEngineUrlRequestInterceptor;
    void interceptRequest(QWebEngineUrlRequestInfo& info) override {
        if (!FromResources(info.requestUrl())) {
            qCWarning(lcHost).noquote()
                << "the settings pages may not load"
                << info.requestUrl().toString(QUrl::RemoveQuery | QUrl::RemoveUserInfo);
            info.block(true);
        }
    }
};

// The help window a page opens: its address goes to the desktop's browser,
// and the window itself never shows.
class HelpRedirect final : public QWebEnginePage {
public:
    HelpRedirect(QWebEngineProfile* profile, ToolbarHost& host, QObject* parent)
        : QWebEnginePage(profile, parent), host_(host) {}

protected:
    bool acceptNavigationRequest(const QUrl& url, NavigationType, bool) override {
        const QString scheme = url.scheme();
        if (scheme == QLatin1String("https") || scheme == QLatin1String("http")) {
            QString error;
            if (!host_.Navigate(url.toString(), QStringLiteral("new"), &error)) {
                qCWarning(lcHost).noquote() << "a help link of the settings pages cannot open:" << error;
            }
        } else {
            qCWarning(lcHost).noquote() << "a help link of the settings pages is refused:" << scheme;
        }
        deleteLater();
        return false;
    }

private:
    ToolbarHost& host_;
};

class SettingsWebPage final : public QWebEnginePage {
public:
    SettingsWebPage(QWebEngineProfile* profile, ToolbarHost& host, SettingsDialog& dialog, QObject* parent)
        : QWebEnginePage(profile, parent), host_(host), dialog_(dialog) {}

protected:
    bool acceptNavigationRequest(const QUrl& url, NavigationType, bool) override {
        if (FromResources(url)) {
            return true;
        }
        qCWarning(lcHost).noquote() << "the settings pages may not go to"
                                    << url.toString(QUrl::RemoveQuery | QUrl::RemoveUserInfo);
        return false;
    }
    QWebEnginePage* createWindow(WebWindowType) override { return new HelpRedirect(profile(), host_, this); }
    bool javaScriptConfirm(const QUrl&, const QString& msg) override { return dialog_.Confirm(msg); }
    void javaScriptAlert(const QUrl&, const QString& msg) override {
        QMessageBox::information(&dialog_, dialog_.windowTitle(), msg);
    }
    void javaScriptConsoleMessage(JavaScriptConsoleMessageLevel level, const QString& message, int line,
                                  const QString& source) override {
        if (level == ErrorMessageLevel) {
            qCWarning(lcHost).noquote() << "settings page" << source << "line" << line << ":" << message;
        }
    }

private:
    ToolbarHost& host_;
    SettingsDialog& dialog_;
};

} // namespace

SettingsDialog::SettingsDialog(ToolbarHost& host, const QString& plugin, QWidget* parent)
    : QDialog(parent), host_(host), plugin_(plugin.toUpper()) {
    // The plug-in's internal name ("MAIL") is no name for a user: the title
    // says whose settings these are once the pages name the plug-in.
    setWindowTitle(QString::fromStdString(Translate("%BRAND Toolbar Settings")));
    // Memory only: nothing of the pages is kept on disk.
    profile_ = new QWebEngineProfile(this);
    profile_->setHttpCacheType(QWebEngineProfile::MemoryHttpCache);
    profile_->setPersistentCookiesPolicy(QWebEngineProfile::NoPersistentCookies);
    profile_->setUrlRequestInterceptor(new ResourcesOnly(profile_));
    QWebEngineSettings* s = profile_->settings();
    s->setAttribute(QWebEngineSettings::LocalContentCanAccessRemoteUrls, false);
    s->setAttribute(QWebEngineSettings::LocalContentCanAccessFileUrls, false);
    s->setAttribute(QWebEngineSettings::LocalStorageEnabled, false);
    s->setAttribute(QWebEngineSettings::PluginsEnabled, false);
    s->setAttribute(QWebEngineSettings::DnsPrefetchEnabled, false);
    s->setAttribute(QWebEngineSettings::NavigateOnDropEnabled, false);
    s->setAttribute(QWebEngineSettings::JavascriptCanOpenWindows, true); // the help links

    tabs_ = new QTabWidget(this);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Close, this);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(tabs_);
    layout->addWidget(buttons);
    // The pages are laid out for a 445 x 438 frame.
    resize(490, 540);
}

SettingsDialog::~SettingsDialog() {
    // The views go before the profile they use.
    for (QWebEngineView* view : views_) {
        delete view;
    }
}

bool SettingsDialog::Confirm(const QString& question) {
    if (confirm_) {
        return confirm_(question);
    }
    return QMessageBox::question(this, windowTitle(), question) == QMessageBox::Yes;
}

void SettingsDialog::LoadPages() {
    PluginSlot* slot = host_.FindSlot(plugin_);
    if (!slot || !slot->up) {
        qCWarning(lcHost).noquote() << "no settings pages: the plug-in" << plugin_ << "is not running";
        tabs_->addTab(new QLabel(QStringLiteral("The plug-in %1 is not running.").arg(plugin_)), plugin_);
        Q_EMIT Loaded(false);
        return;
    }
    QPointer<SettingsDialog> self(this);
    host_.WhenDone(host_.SettingsObject(*slot).GetSettingsPages(), [self](const QDBusMessage& m) {
        if (!self) {
            return;
        }
        QDBusPendingReply<QString, QByteArray> reply = m;
        if (reply.isError() || !reply.isValid()) {
            qCWarning(lcHost).noquote()
                << "the plug-in" << self->plugin_ << "did not name its settings pages:" << m.errorMessage();
            self->ShowPages(QString());
            return;
        }
        self->ShowPages(reply.argumentAt<0>());
    });
}

void SettingsDialog::ShowPages(const QString& text) {
    const std::vector<SettingsPage> pages = ParseSettingsPages(text);
    if (!pages.empty() && !pages.front().title.isEmpty()) {
        setWindowTitle(QString::fromStdString(Translate("%BRAND ")) + pages.front().title +
                       QStringLiteral(" Settings"));
    }
    for (const SettingsPage& page : pages) {
        if (page.resource.isEmpty()) {
            qCWarning(lcHost).noquote()
                << "the plug-in" << plugin_ << "named a settings page the host lacks:" << page.address;
            tabs_->addTab(new QLabel(QStringLiteral("This page is not available.")), page.title);
            continue;
        }
        auto* view = new QWebEngineView(tabs_);
        auto* webPage = new SettingsWebPage(profile_, host_, *this, view);
        auto* channel = new QWebChannel(webPage);
        auto* setup = new SettingsSetup(host_, plugin_, webPage);
        channel->registerObject(QStringLiteral("setup"), setup);
        webPage->setWebChannel(channel);
        view->setPage(webPage);
        views_.push_back(view);
        ++pending_;
        // Only the first load of each view counts; a page reloads itself later.
        auto once = std::make_shared<bool>(false);
        connect(view, &QWebEngineView::loadFinished, this, [this, once, page](bool ok) {
            if (*once) {
                return;
            }
            *once = true;
            if (!ok) {
                qCWarning(lcHost).noquote() << "the settings page" << page.resource << "did not load";
                allOk_ = false;
            }
            if (--pending_ == 0) {
                Q_EMIT Loaded(allOk_);
            }
        });
        tabs_->addTab(view, page.title);
        view->load(QUrl(page.resource));
    }
    if (views_.empty()) {
        if (pages.empty()) {
            tabs_->addTab(new QLabel(QStringLiteral("The plug-in has no settings pages.")), plugin_);
        }
        Q_EMIT Loaded(false);
    }
}

} // namespace nuvex::host
