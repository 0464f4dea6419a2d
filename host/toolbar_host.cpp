#include "host/toolbar_host.h"

#include "core/button_bitmap.h"
#include "core/dbus_contract.h"
#include "core/registration.h"
#include "host/bus_objects.h"
#include "lib/named_objects.h"
#include "lib/registry.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusPendingCallWatcher>
#include <QDBusServiceWatcher>
#include <QDeadlineTimer>
#include <QDir>
#include <QFileInfo>
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
const char* const kPlugInsKey = "Software\\Brannock\\PlugIns";

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
    Registry& reg = ProcessRegistry();
    QStringList names{QStringLiteral("MAIL")};
    for (const std::string& sub : reg.SubKeys(RegRoot::HKCU, kPlugInsKey)) {
        QString name = QString::fromStdString(sub).toUpper();
        if (!names.contains(name)) {
            names << name;
        }
    }
    for (const QString& name : names) {
        const std::string key = std::string(kPlugInsKey) + "\\" + name.toStdString();
        auto slot = std::make_unique<PluginSlot>();
        slot->name = name;
        slot->service = QString::fromStdString(
            ReadRegString(reg, RegRoot::HKCU, key, "BusName",
                          name == QLatin1String("MAIL") ? bus::kPluginService.toStdString() : ""));
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
    if (!bus.registerObject(bus::kServerPath, server_, QDBusConnection::ExportAllSlots) ||
        !bus.registerObject(bus::kControlPath, control_, QDBusConnection::ExportAllSlots)) {
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
    stop_ = OpenOrCreateEvent("RI4Stop", true, false);
    stopOpt_ = OpenOrCreateEvent("RI4StopOpt", true, false);
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
        OpenOrCreateEvent(("RI4Shutdown_" + slot->name).toStdString(), false, false);
        OpenOrCreateEvent((slot->name + QStringLiteral("_Refresh_Cfg")).toStdString(), false, false);
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
        std::fprintf(stderr, "brannock: the plug-in %s did not come up on the bus\n", qPrintable(name));
        Q_EMIT Notice(QStringLiteral("The plug-in %1 did not start.").arg(name));
    });
    timer->start(kStartWaitMs);
    if (!StartByActivation(slot)) {
        QString error;
        if (!StartPlainly(slot, &error)) {
            std::fprintf(stderr, "brannock: %s\n", qPrintable(error));
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
            std::fprintf(stderr, "brannock: %s\n", qPrintable(error));
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

void ToolbarHost::CallPlugin(PluginSlot& slot, const QString& path, const QString& method,
                             const QList<QVariant>& args, ReplyFn done) {
    QDBusMessage msg = QDBusMessage::createMethodCall(slot.service, path, bus::kPluginInterface, method);
    if (path.isEmpty()) {
        if (done) {
            done(
                QDBusMessage::createError(QDBusError::Failed, QStringLiteral("the plug-in is not attached")));
        }
        return;
    }
    msg.setArguments(args);
    QDBusPendingCall pending = QDBusConnection::sessionBus().asyncCall(msg, bus::kCallTimeoutMs);
    auto* w = new QDBusPendingCallWatcher(pending, this);
    connect(w, &QDBusPendingCallWatcher::finished, this, [w, done] {
        w->deleteLater();
        if (done) {
            done(w->reply());
        }
    });
}

void ToolbarHost::CallToolbarObject(PluginSlot& slot, const QString& method, const QList<QVariant>& args,
                                    ReplyFn done) {
    CallPlugin(slot, slot.toolbarPath, method, args, std::move(done));
}

void ToolbarHost::Attach(PluginSlot& slot) {
    if (slot.up) {
        return;
    }
    slot.up = true;
    QString name = slot.name;
    auto create = [this](PluginSlot& s, std::function<void(const QString&)> then) {
        QDBusMessage msg = QDBusMessage::createMethodCall(
            s.service, bus::kFactoryPath, bus::kFactoryInterface, QStringLiteral("CreatePlugin"));
        QDBusPendingCall pending = QDBusConnection::sessionBus().asyncCall(msg, bus::kCallTimeoutMs);
        auto* w = new QDBusPendingCallWatcher(pending, this);
        connect(w, &QDBusPendingCallWatcher::finished, this, [w, then] {
            w->deleteLater();
            QDBusMessage reply = w->reply();
            QString path;
            if (reply.type() == QDBusMessage::ReplyMessage && !reply.arguments().isEmpty()) {
                path = qvariant_cast<QDBusObjectPath>(reply.arguments().constFirst()).path();
            }
            then(path);
        });
    };
    create(slot, [this, name, create](const QString& toolbarPath) {
        PluginSlot* s = FindSlot(name);
        if (!s) {
            return;
        }
        if (toolbarPath.isEmpty()) {
            s->up = false;
            std::fprintf(stderr, "brannock: the plug-in %s made no object\n", qPrintable(name));
            return;
        }
        s->toolbarPath = toolbarPath;
        create(*s, [this, name](const QString& settingsPath) {
            PluginSlot* s2 = FindSlot(name);
            if (!s2) {
                return;
            }
            s2->settingsPath = settingsPath;
            if (store_->IsSeeded(name.toStdString())) {
                ConnectObjects(*s2);
                return;
            }
            CallToolbarObject(
                *s2, QStringLiteral("GetConfigText"), {}, [this, name](const QDBusMessage& reply) {
                    PluginSlot* s3 = FindSlot(name);
                    if (!s3) {
                        return;
                    }
                    if (reply.type() == QDBusMessage::ReplyMessage && !reply.arguments().isEmpty()) {
                        const std::string text = reply.arguments().constFirst().toString().toStdString();
                        if (!store_->Seed(name.toStdString(), ParseConfigText(text))) {
                            std::fprintf(stderr, "brannock: cannot store the defaults of %s: %s\n",
                                         qPrintable(name), store_->LastError().c_str());
                        }
                    }
                    ConnectObjects(*s3);
                });
        });
    });
}

void ToolbarHost::ConnectObjects(PluginSlot& slot) {
    const QString name = slot.name;
    CallToolbarObject(slot, QStringLiteral("Connect"), {}, {});
    CallToolbarObject(slot, QStringLiteral("SetContext"), {contextId_}, {});
    // Calls to one object arrive in order: the button is asked for after the
    // context is known.
    CallToolbarObject(slot, QStringLiteral("GetButtonInfo"), {0}, [this, name](const QDBusMessage& reply) {
        if (PluginSlot* s = FindSlot(name)) {
            ApplyButtonInfo(*s, 0, reply);
        }
    });
    CallToolbarObject(slot, QStringLiteral("GetButtonInfo"), {1}, [this, name](const QDBusMessage& reply) {
        if (PluginSlot* s = FindSlot(name)) {
            ApplyButtonInfo(*s, 1, reply);
        }
    });
    CallPlugin(slot, slot.settingsPath, QStringLiteral("Connect"), {}, {});
    CallPlugin(slot, slot.settingsPath, QStringLiteral("SetContext"), {QStringLiteral("SETTINGS")}, {});
}

void ToolbarHost::ApplyButtonInfo(PluginSlot& slot, int index, const QDBusMessage& reply) {
    const QList<QVariant> a = reply.arguments();
    if (reply.type() != QDBusMessage::ReplyMessage || a.size() != 10) {
        return;
    }
    UpdateButton(slot, index, [&](ButtonState& b) {
        b.name = a[2].toString();
        b.caption = a[3].toString();
        b.menuText = a[6].toString();
        b.hint = a[7].toString();
        QByteArray bitmap = a[8].toByteArray();
        if (bitmap.isEmpty()) {
            bitmap = a[5].toByteArray();
        }
        b.defaultPicture = bitmap;
        b.picture = bitmap;
        b.visible = a[9].toInt() != 0;
    });
}

void ToolbarHost::PluginGone(const QString& service) {
    for (auto& slot : slots_) {
        if (slot->service != service || !slot->up) {
            continue;
        }
        slot->up = false;
        slot->toolbarPath.clear();
        slot->settingsPath.clear();
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
    static const QStringList kSchemes{QStringLiteral("http"), QStringLiteral("https"), QStringLiteral("ftp"),
                                      QStringLiteral("mailto"), QStringLiteral("file")};
    // Only addresses a browser opens: anything else handed to the opener could
    // start a program or be read as an option.
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
    const QString text =
        QStringLiteral("The settings pages of %1 are not available yet.").arg(plugin.toUpper());
    Print(QStringLiteral("settings %1 %2").arg(plugin.toUpper(), QuoteForLine(text)));
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
    const QString name = slot->name;
    CallToolbarObject(*slot, QStringLiteral("Refresh"), {}, {});
    for (int index : {0, 1}) {
        CallToolbarObject(*slot, QStringLiteral("GetButtonInfo"), {index},
                          [this, name, index](const QDBusMessage& reply) {
                              if (PluginSlot* s = FindSlot(name)) {
                                  ApplyButtonInfo(*s, index, reply);
                              }
                          });
    }
}

void ToolbarHost::ClickButton(const QString& plugin) {
    if (PluginSlot* slot = FindSlot(plugin); slot && slot->up) {
        CallToolbarObject(*slot, QStringLiteral("ButtonClick"), {ButtonBaseName(slot->buttons[0].name)}, {});
    }
}

void ToolbarHost::RunMenuCommand(const QString& plugin, const QString& command) {
    if (PluginSlot* slot = FindSlot(plugin); slot && slot->up) {
        CallToolbarObject(*slot, QStringLiteral("ExecCommand"), {0, command}, {});
    }
}

void ToolbarHost::Activate(const QString& plugin) {
    if (PluginSlot* slot = FindSlot(plugin); slot && slot->up) {
        CallToolbarObject(*slot, QStringLiteral("Activate"), {}, {});
    }
}

void ToolbarHost::Deactivate(const QString& plugin) {
    if (PluginSlot* slot = FindSlot(plugin); slot && slot->up) {
        CallToolbarObject(*slot, QStringLiteral("Deactivate"), {}, {});
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
    auto event = OpenOrCreateEvent(("RI4Shutdown_" + plugin.toUpper()).toStdString(), false, false);
    if (!event) {
        return false;
    }
    event->Set();
    return true;
}

bool ToolbarHost::SignalRefresh(const QString& plugin) {
    auto event =
        OpenOrCreateEvent((plugin.toUpper() + QStringLiteral("_Refresh_Cfg")).toStdString(), false, false);
    if (!event) {
        return false;
    }
    event->Set();
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
