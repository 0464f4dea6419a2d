#include "host/toolbar_host.h"

#include "contract/activation.h"
#include "contract/button_bitmap.h"
#include "contract/button_info.h"
#include "contract/names.h"
#include "host/bus_objects.h"
#include "lib/named_objects.h"
#include "lib/registry.h"
#include "pluginfactory_proxy.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusPendingCallWatcher>
#include <QDBusServiceWatcher>
#include <QDeadlineTimer>
#include <QDir>
#include <QFileInfo>
#include <QLoggingCategory>
#include <QProcess>
#include <QStandardPaths>
#include <QThread>
#include <QTimer>
#include <QUrl>
#include <algorithm>
#include <cstdio>

namespace nuvex::host {

namespace {

constexpr int kStartWaitMs = 20000;
constexpr int kStoppingPluginWaitMs = 5000;

QString ButtonBaseName(const QString& name) {
    return name.section(u':', 0, 0);
}

QString PictureSummary(const QByteArray& bytes) {
    if (bytes.isEmpty()) {
        return QStringLiteral("none");
    }
    QImage image = ImageFromBmpBytes(bytes);
    QString hash =
        QString::fromLatin1(QCryptographicHash::hash(bytes, QCryptographicHash::Sha1).toHex().left(12));
    if (image.isNull()) {
        return QStringLiteral("unreadable sha1:") + hash;
    }
    return QStringLiteral("%1x%2 sha1:%3").arg(image.width()).arg(image.height()).arg(hash);
}

} // namespace

QString QuoteForLine(const QString& text) {
    QString out = QStringLiteral("\"");
    for (QChar c : text) {
        switch (c.unicode()) {
        case '\\':
            out += QStringLiteral("\\\\");
            break;
        case '"':
            out += QStringLiteral("\\\"");
            break;
        case '\r':
            out += QStringLiteral("\\r");
            break;
        case '\n':
            out += QStringLiteral("\\n");
            break;
        case '\t':
            out += QStringLiteral("\\t");
            break;
        default:
            out += c;
            break;
        }
    }
    return out + u'"';
}

ToolbarHost::ToolbarHost(bool headless, std::unique_ptr<SettingsStore> store, QObject* parent)
    : QObject(parent), headless_(headless), store_(std::move(store)) {
    contextId_ = QString::number(QCoreApplication::applicationPid());
}

ToolbarHost::~ToolbarHost() = default;

void ToolbarHost::Print(const QString& line) {
    if (!headless_) {
        return;
    }
    QByteArray bytes = line.toUtf8() + '\n';
    std::fwrite(bytes.constData(), 1, static_cast<size_t>(bytes.size()), stdout);
    std::fflush(stdout);
}

PluginSlot* ToolbarHost::FindSlot(const QString& plugin) {
    for (auto& slot : slots_) {
        if (slot->name.compare(plugin, Qt::CaseInsensitive) == 0) {
            return slot.get();
        }
    }
    return nullptr;
}

void ToolbarHost::LoadSlots() {
    if (!slots_.empty()) {
        return;
    }
    Registry& reg = ProcessRegistry();
    QStringList names{bus::kMailPlugin};
    for (const std::string& sub : reg.SubKeys(RegRoot::HKCU, names::kPlugInsKey)) {
        QString name = QString::fromStdString(sub).toUpper();
        if (!names.contains(name)) {
            names << name;
        }
    }
    for (const QString& name : names) {
        const std::string key = names::PluginKey(name.toStdString());
        auto slot = std::make_unique<PluginSlot>();
        slot->name = name;
        slot->service = QString::fromStdString(
            ReadRegString(reg, RegRoot::HKCU, key, "BusName",
                          name == bus::kMailPlugin ? bus::kPluginService.toStdString() : ""));
        slot->program = QString::fromStdString(ReadRegString(reg, RegRoot::HKCU, key, "Program", ""));
        if (slot->service.isEmpty()) {
            continue; // an entry no bus name can reach
        }
        slots_.push_back(std::move(slot));
    }
}

bool ToolbarHost::Start(QString* error) {
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) {
        *error = QStringLiteral("no session bus: ") + bus.lastError().message();
        return false;
    }
    server_ = new ServerObject(*this, this);
    control_ = new ControlObject(*this, this);
    if (!bus.registerObject(bus::kServerPath, server_, QDBusConnection::ExportAdaptors) ||
        !bus.registerObject(bus::kControlPath, control_, QDBusConnection::ExportAdaptors)) {
        *error = QStringLiteral("cannot export the host objects on the bus");
        return false;
    }
    if (!bus.registerService(bus::kHostService)) {
        *error = QStringLiteral("another toolbar host runs on this bus (%1 is taken)").arg(bus::kHostService);
        return false;
    }
    LoadSlots();
    // The stop events are manual-reset: a stop left over from the last run
    // would end the plug-in the moment it starts. A plug-in of that run may
    // still be on its way out, though; clearing the event under it would keep
    // it running, so it gets a few seconds to leave the bus first.
    stop_ = OpenOrCreateEvent(names::kStopEvent, true, false);
    stopOpt_ = OpenOrCreateEvent(names::kStopOptEvent, true, false);
    if (stop_ && stop_->TryWait()) {
        QDeadlineTimer deadline(kStoppingPluginWaitMs);
        auto anyUp = [&] {
            for (const auto& slot : slots_) {
                if (bus.interface()->isServiceRegistered(slot->service).value()) {
                    return true;
                }
            }
            return false;
        };
        while (anyUp() && !deadline.hasExpired()) {
            QThread::msleep(100);
        }
    }
    if (stop_) {
        stop_->Reset();
    }
    if (stopOpt_) {
        stopOpt_->Reset();
    }
    watcher_ = new QDBusServiceWatcher(this);
    watcher_->setConnection(bus);
    watcher_->setWatchMode(QDBusServiceWatcher::WatchForUnregistration);
    connect(watcher_, &QDBusServiceWatcher::serviceUnregistered, this, &ToolbarHost::PluginGone);
    for (auto& slot : slots_) {
        // Held for the host's life, so that a signal given while the plug-in
        // is not running is still there when it opens the event.
        slot->shutdownEvent = OpenOrCreateEvent(names::ShutdownEvent(slot->name.toStdString()), false, false);
        slot->refreshEvent = OpenOrCreateEvent(names::RefreshEvent(slot->name.toStdString()), false, false);
        watcher_->addWatchedService(slot->service);
        EnsureRunning(*slot);
    }
    return true;
}

void ToolbarHost::Finish(bool stopPlugins) {
    if (stopPlugins) {
        SignalStop();
    }
    QDBusConnection bus = QDBusConnection::sessionBus();
    bus.unregisterService(bus::kHostService);
    bus.unregisterObject(bus::kServerPath);
    bus.unregisterObject(bus::kControlPath);
}

void ToolbarHost::BusLost() {
    qCWarning(lcHost) << "the session bus went away; the toolbar host ends";
    QCoreApplication::exit(0);
}

void ToolbarHost::EnsureRunning(PluginSlot& slot) {
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (bus.interface()->isServiceRegistered(slot.service).value()) {
        Attach(slot);
        return;
    }
    if (slot.starting) {
        return;
    }
    slot.starting = true;
    auto* arrival =
        new QDBusServiceWatcher(slot.service, bus, QDBusServiceWatcher::WatchForRegistration, this);
    auto* timer = new QTimer(this);
    timer->setSingleShot(true);
    QString name = slot.name;
    connect(arrival, &QDBusServiceWatcher::serviceRegistered, this, [this, name, arrival, timer] {
        arrival->deleteLater();
        timer->deleteLater();
        if (PluginSlot* s = FindSlot(name)) {
            s->starting = false;
            Attach(*s);
        }
    });
    connect(timer, &QTimer::timeout, this, [this, name, arrival, timer] {
        arrival->deleteLater();
        timer->deleteLater();
        if (PluginSlot* s = FindSlot(name)) {
            s->starting = false;
        }
        qCWarning(lcHost) << "the plug-in" << name << "did not come up on the bus";
        Q_EMIT Notice(QStringLiteral("The plug-in %1 did not start.").arg(name));
    });
    timer->start(kStartWaitMs);
    if (!StartByActivation(slot)) {
        QString error;
        if (!StartPlainly(slot, &error)) {
            qCWarning(lcHost).noquote() << error;
            Q_EMIT Notice(error);
        }
    }
}

// The bus starts an activated program with the session's own environment.
// That is right only when ours adds nothing the plug-in needs: headless, a
// platform override or the plug-in's own variables (tests, private object
// folders) mean a plain start with our environment instead. The bus's
// activation environment is never changed: it is the whole session's.
bool ToolbarHost::EnvironmentMatters() const {
    if (headless_ || qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) {
        return true;
    }
    const QStringList names = QProcessEnvironment::systemEnvironment().keys();
    return std::any_of(names.begin(), names.end(),
                       [](const QString& name) { return name.startsWith(QLatin1String("NUVEX_")); });
}

bool ToolbarHost::StartByActivation(PluginSlot& slot) {
    if (slot.service != bus::kPluginService || !QFileInfo::exists(ActivationFilePath()) ||
        EnvironmentMatters()) {
        return false;
    }
    QDBusConnection bus = QDBusConnection::sessionBus();
    QDBusMessage start = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.DBus"), QStringLiteral("/org/freedesktop/DBus"),
        QStringLiteral("org.freedesktop.DBus"), QStringLiteral("StartServiceByName"));
    start << slot.service << 0u;
    QDBusPendingCall pending = bus.asyncCall(start, 25000);
    auto* w = new QDBusPendingCallWatcher(pending, this);
    QString name = slot.name;
    connect(w, &QDBusPendingCallWatcher::finished, this, [this, w, name] {
        w->deleteLater();
        if (!w->isError()) {
            return;
        }
        PluginSlot* s = FindSlot(name);
        QString error;
        if (s && !StartPlainly(*s, &error)) {
            qCWarning(lcHost).noquote() << error;
            Q_EMIT Notice(error);
        }
    });
    return true;
}

bool ToolbarHost::StartPlainly(PluginSlot& slot, QString* error) {
    QString program = slot.program;
    if (program.isEmpty() || !QFileInfo(program).isExecutable()) {
        const QString dir = QCoreApplication::applicationDirPath();
        const QStringList near{dir + QStringLiteral("/nuvex"), dir + QStringLiteral("/../core/nuvex")};
        program.clear();
        for (const QString& candidate : near) {
            if (QFileInfo(candidate).isExecutable()) {
                program = QFileInfo(candidate).canonicalFilePath();
                break;
            }
        }
        if (program.isEmpty()) {
            program = QStandardPaths::findExecutable(QStringLiteral("nuvex"));
        }
    }
    if (program.isEmpty()) {
        *error = QStringLiteral("the plug-in program nuvex was found neither next to brannock nor on PATH");
        return false;
    }
    QProcess process;
    process.setProgram(program);
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    if (headless_ || (env.value(QStringLiteral("DISPLAY")).isEmpty() &&
                      env.value(QStringLiteral("WAYLAND_DISPLAY")).isEmpty())) {
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    }
    process.setProcessEnvironment(env);
    process.setStandardInputFile(QProcess::nullDevice());
    if (!process.startDetached()) {
        *error = QStringLiteral("cannot start %1: %2").arg(program, process.errorString());
        return false;
    }
    return true;
}

ITB4PluginProxy& ToolbarHost::ObjectProxy(PluginSlot& slot, bool settings) {
    std::unique_ptr<ITB4PluginProxy>& proxy = settings ? slot.settingsProxy : slot.toolbarProxy;
    const QString& path = settings ? slot.settingsPath : slot.toolbarPath;
    if (!proxy || proxy->path() != path) {
        // Without a path the proxy is invalid and every call fails at once.
        proxy = std::make_unique<ITB4PluginProxy>(slot.service, path, QDBusConnection::sessionBus());
        proxy->setTimeout(bus::kCallTimeoutMs);
    }
    return *proxy;
}

ITB4PluginProxy& ToolbarHost::Toolbar(PluginSlot& slot) {
    return ObjectProxy(slot, false);
}

void ToolbarHost::WhenDone(const QDBusPendingCall& pending, ReplyFn done) {
    auto* w = new QDBusPendingCallWatcher(pending, this);
    connect(w, &QDBusPendingCallWatcher::finished, this, [w, done = std::move(done)] {
        w->deleteLater();
        done(w->reply());
    });
}

void ToolbarHost::WhenSlotDone(const QString& name, const QDBusPendingCall& pending,
                               std::function<void(PluginSlot&, const QDBusMessage&)> done) {
    // The slot is looked up again: the plug-in may have left meanwhile.
    WhenDone(pending, [this, name, done = std::move(done)](const QDBusMessage& reply) {
        if (PluginSlot* slot = FindSlot(name)) {
            done(*slot, reply);
        }
    });
}

namespace {

QString PathOf(const QDBusMessage& reply) {
    QDBusPendingReply<QDBusObjectPath> created = reply;
    return created.isValid() && !created.isError() ? created.value().path() : QString();
}

} // namespace

// Attaching is three steps, each started by the answer to the one before:
// the toolbar object, the settings object, then (first run only) the defaults.
void ToolbarHost::Attach(PluginSlot& slot) {
    if (slot.up) {
        return;
    }
    slot.up = true;
    PluginFactoryProxy factory(slot.service, bus::kFactoryPath, QDBusConnection::sessionBus());
    factory.setTimeout(bus::kCallTimeoutMs);
    WhenSlotDone(slot.name, factory.CreatePlugin(),
                 [this](PluginSlot& s, const QDBusMessage& reply) { OnToolbarObject(s, PathOf(reply)); });
}

void ToolbarHost::OnToolbarObject(PluginSlot& slot, const QString& path) {
    if (path.isEmpty()) {
        slot.up = false;
        qCWarning(lcHost) << "the plug-in" << slot.name << "made no object";
        return;
    }
    slot.toolbarPath = path;
    PluginFactoryProxy factory(slot.service, bus::kFactoryPath, QDBusConnection::sessionBus());
    factory.setTimeout(bus::kCallTimeoutMs);
    WhenSlotDone(slot.name, factory.CreatePlugin(),
                 [this](PluginSlot& s, const QDBusMessage& reply) { OnSettingsObject(s, PathOf(reply)); });
}

void ToolbarHost::OnSettingsObject(PluginSlot& slot, const QString& path) {
    slot.settingsPath = path;
    if (store_->IsSeeded(slot.name.toStdString())) {
        ConnectObjects(slot);
        return;
    }
    WhenSlotDone(slot.name, Toolbar(slot).GetConfigText(),
                 [this](PluginSlot& s, const QDBusMessage& reply) { SeedDefaults(s, reply); });
}

void ToolbarHost::SeedDefaults(PluginSlot& slot, const QDBusMessage& reply) {
    QDBusPendingReply<QString> text = reply;
    if (text.isValid() && !text.isError() &&
        !store_->Seed(slot.name.toStdString(), ParseConfigText(text.value().toStdString()))) {
        qCWarning(lcHost).noquote() << "cannot store the defaults of" << slot.name << ":"
                                    << QString::fromStdString(store_->LastError());
    }
    ConnectObjects(slot);
}

void ToolbarHost::ConnectObjects(PluginSlot& slot) {
    ITB4PluginProxy& toolbar = Toolbar(slot);
    toolbar.Connect();
    toolbar.SetContext(contextId_);
    // Calls to one object arrive in order: the button is asked for after the
    // context is known.
    AskButtonInfo(slot);
    ITB4PluginProxy& settings = ObjectProxy(slot, true);
    settings.Connect();
    settings.SetContext(QStringLiteral("SETTINGS"));
}

void ToolbarHost::AskButtonInfo(PluginSlot& slot) {
    for (int index : {0, 1}) {
        WhenSlotDone(
            slot.name, Toolbar(slot).GetButtonInfo(index),
            [this, index](PluginSlot& s, const QDBusMessage& reply) { ApplyButtonInfo(s, index, reply); });
    }
}

void ToolbarHost::ApplyButtonInfo(PluginSlot& slot, int index, const QDBusMessage& reply) {
    const std::optional<ButtonInfo> info = ReadButtonInfo(reply);
    if (!info) {
        return;
    }
    UpdateButton(slot, index, [&](ButtonState& b) {
        b.name = info->name;
        b.caption = info->caption;
        b.menuText = info->menuText;
        b.hint = info->hint;
        b.defaultPicture = info->bitmap.isEmpty() ? info->icon : info->bitmap;
        b.picture = b.defaultPicture;
        b.visible = info->visible != 0;
    });
}

void ToolbarHost::PluginGone(const QString& service) {
    for (auto& slot : slots_) {
        if (slot->service != service || !slot->up) {
            continue;
        }
        slot->up = false;
        slot->refreshInFlight = false;
        slot->refreshAgain = false;
        slot->toolbarPath.clear();
        slot->settingsPath.clear();
        slot->toolbarProxy.reset();
        slot->settingsProxy.reset();
        for (int i = 0; i < 2; ++i) {
            slot->buttons[i] = ButtonState();
        }
        Print(QStringLiteral("plugin %1 stopped").arg(slot->name));
        Q_EMIT ButtonsChanged(slot->name);
    }
}

int ToolbarHost::ResolveButton(const PluginSlot& slot, const QString& button) const {
    const QString base = ButtonBaseName(button);
    if (base.compare(ButtonBaseName(slot.buttons[0].name), Qt::CaseInsensitive) == 0) {
        return 0;
    }
    if (base.compare(QLatin1String("SEP"), Qt::CaseInsensitive) == 0 ||
        (!slot.buttons[1].name.isEmpty() &&
         base.compare(ButtonBaseName(slot.buttons[1].name), Qt::CaseInsensitive) == 0)) {
        return 1;
    }
    return 0;
}

void ToolbarHost::UpdateButton(PluginSlot& slot, int index, const std::function<void(ButtonState&)>& change) {
    ButtonState& b = slot.buttons[index];
    const ButtonState before = b;
    change(b);
    bool pictureChanged = before.picture != b.picture;
    if (before.caption == b.caption && before.hint == b.hint && before.visible == b.visible &&
        !pictureChanged && before.menuText == b.menuText && before.name == b.name) {
        return;
    }
    Print(QStringLiteral("button %1 %2 caption=%3 hint=%4 visible=%5 picture=%6 menu=%7")
              .arg(slot.name, index == 0 ? QStringLiteral("button") : QStringLiteral("separator"),
                   QuoteForLine(b.caption), QuoteForLine(b.hint),
                   b.visible ? QStringLiteral("1") : QStringLiteral("0"),
                   pictureChanged ? QStringLiteral("changed") : QStringLiteral("same"),
                   QuoteForLine(b.menuText)));
    Q_EMIT ButtonsChanged(slot.name);
}

bool ToolbarHost::SetPictureFromHex(PluginSlot& slot, int index, const QString& hex, QString* error) {
    QByteArray bytes;
    if (!hex.isEmpty()) {
        bytes = HexToBytes(hex, kMaxBitmapHexChars / 2);
        if (bytes.isEmpty() || ImageFromBmpBytes(bytes).isNull()) {
            *error =
                QStringLiteral("SET_BMP: the text is not a BMP picture in hex of at most %1 pixels a side")
                    .arg(kMaxBitmapSide);
            return false;
        }
    }
    UpdateButton(slot, index,
                 [&](ButtonState& b) { b.picture = bytes.isEmpty() ? b.defaultPicture : bytes; });
    return true;
}

bool ToolbarHost::Navigate(const QString& url, const QString& where, QString* error) {
    const QUrl parsed(url, QUrl::StrictMode);
    static const QStringList kSchemes{QStringLiteral("http"), QStringLiteral("https"),
                                      QStringLiteral("mailto")};
    // Only web pages and mail: anything else handed to the opener could start
    // a program, open a local file or mount a share, or be read as an option.
    if (url.isEmpty() || !parsed.isValid() || !kSchemes.contains(parsed.scheme().toLower())) {
        *error = QStringLiteral("not an address the browser opens: %1").arg(url);
        return false;
    }
    QString browser = qEnvironmentVariable("NUVEX_BROWSER");
    if (browser.isEmpty()) {
        browser = QStringLiteral("xdg-open");
    }
    Print(QStringLiteral("navigate url=%1 window=%2").arg(QuoteForLine(url), QuoteForLine(where)));
    Q_EMIT Notice(QStringLiteral("Opening %1").arg(url));
    if (!QProcess::startDetached(browser, {parsed.toString(QUrl::FullyEncoded)})) {
        *error = QStringLiteral("cannot start the browser %1").arg(browser);
        return false;
    }
    return true;
}

void ToolbarHost::ShowSettings(const QString& plugin) {
    const QString name = plugin.toUpper();
    QString why;
    if (openSettings_ && FindSlot(name) && (!settingsReady_ || settingsReady_(&why))) {
        Print(QStringLiteral("settings %1 shown").arg(name));
        // Opened after the plug-in's call has returned: the dialog asks it for its pages.
        QTimer::singleShot(0, this, [this, name] { openSettings_(name); });
        return;
    }
    const QString text = !why.isEmpty() ? why
                         : headless_
                             ? QStringLiteral("The settings of %1 have no dialog when headless.").arg(name)
                             : QStringLiteral("This brannock was built without the settings dialog.");
    Print(QStringLiteral("settings %1 %2").arg(name, QuoteForLine(text)));
    Q_EMIT Notice(text);
}

void ToolbarHost::ConfigChanged(const QString& plugin) {
    // Re-read the plug-in after the current call has returned.
    QTimer::singleShot(0, this, [this, plugin] { RefreshPlugin(plugin); });
}

void ToolbarHost::RefreshPlugin(const QString& plugin) {
    PluginSlot* slot = FindSlot(plugin);
    if (!slot) {
        return;
    }
    if (!slot->up) {
        // A plug-in that stopped comes back only when asked for, as with a
        // toolbar that opens a new window.
        EnsureRunning(*slot);
        return;
    }
    // A script that adds a thousand accounts asks a thousand times; the
    // plug-in reloads once for all that arrived while it was reloading.
    if (slot->refreshInFlight) {
        slot->refreshAgain = true;
        return;
    }
    slot->refreshInFlight = true;
    WhenSlotDone(slot->name, Toolbar(*slot).Refresh(), [this](PluginSlot& s, const QDBusMessage&) {
        s.refreshInFlight = false;
        AskButtonInfo(s);
        if (s.refreshAgain) {
            s.refreshAgain = false;
            RefreshPlugin(s.name);
        }
    });
}

void ToolbarHost::ClickButton(const QString& plugin) {
    if (PluginSlot* slot = FindSlot(plugin); slot && slot->up) {
        Toolbar(*slot).ButtonClick(ButtonBaseName(slot->buttons[0].name));
    }
}

void ToolbarHost::RunMenuCommand(const QString& plugin, const QString& command) {
    if (PluginSlot* slot = FindSlot(plugin); slot && slot->up) {
        Toolbar(*slot).ExecCommand(0, command);
    }
}

void ToolbarHost::Activate(const QString& plugin) {
    if (PluginSlot* slot = FindSlot(plugin); slot && slot->up) {
        Toolbar(*slot).Activate();
    }
}

void ToolbarHost::Deactivate(const QString& plugin) {
    if (PluginSlot* slot = FindSlot(plugin); slot && slot->up) {
        Toolbar(*slot).Deactivate();
    }
}

bool ToolbarHost::SignalStop() {
    bool ok = stop_ != nullptr;
    if (stop_) {
        stop_->Set();
    }
    if (stopOpt_) {
        stopOpt_->Set();
    }
    return ok;
}

bool ToolbarHost::SignalShutdown(const QString& plugin) {
    PluginSlot* slot = FindSlot(plugin);
    auto event = slot ? nullptr
                      : OpenOrCreateEvent(names::ShutdownEvent(plugin.toUpper().toStdString()), false, false);
    NamedEvent* target = slot ? slot->shutdownEvent.get() : event.get();
    if (!target) {
        return false;
    }
    target->Set();
    return true;
}

bool ToolbarHost::SignalRefresh(const QString& plugin) {
    PluginSlot* slot = FindSlot(plugin);
    auto event =
        slot ? nullptr : OpenOrCreateEvent(names::RefreshEvent(plugin.toUpper().toStdString()), false, false);
    NamedEvent* target = slot ? slot->refreshEvent.get() : event.get();
    if (!target) {
        return false;
    }
    target->Set();
    return true;
}

QString ToolbarHost::ButtonReport(const PluginSlot& slot) const {
    const ButtonState& b = slot.buttons[0];
    const ButtonState& s = slot.buttons[1];
    QString out;
    out += QStringLiteral("plugin: %1\n")
               .arg(slot.up ? QStringLiteral("running") : QStringLiteral("not running"));
    out += QStringLiteral("name: %1\n").arg(b.name);
    out += QStringLiteral("caption: %1\n").arg(b.caption);
    out += QStringLiteral("hint: %1\n").arg(b.hint);
    out += QStringLiteral("visible: %1\n").arg(b.visible ? 1 : 0);
    out += QStringLiteral("picture: %1\n").arg(PictureSummary(b.picture));
    out += QStringLiteral("menu: %1\n").arg(QuoteForLine(b.menuText));
    out += QStringLiteral("separator: %1\n").arg(s.name);
    out += QStringLiteral("separator visible: %1\n").arg(s.visible ? 1 : 0);
    return out;
}

} // namespace nuvex::host
