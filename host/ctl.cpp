#include "host/ctl.h"

#include "contract/names.h"
#include "control_proxy.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCall>
#include <cstdio>

namespace nuvex::host {
namespace {

// A forwarded call waits for the plug-in, which has its own time-out.
constexpr int kCtlTimeoutMs = 3 * bus::kCallTimeoutMs;

int Fail(const QString& text, int code = 1) {
    std::fprintf(stderr, "brannock ctl: %s\n", qPrintable(text));
    return code;
}

void Out(const QString& text) {
    QByteArray bytes = text.toUtf8();
    if (!bytes.endsWith('\n')) {
        bytes += '\n';
    }
    std::fwrite(bytes.constData(), 1, static_cast<size_t>(bytes.size()), stdout);
    std::fflush(stdout);
}

const char* const kUsage = "usage: brannock ctl VERB ...\n"
                           "  get PLUGIN KEY                 set PLUGIN KEY VALUE [--text|--int|--bool]\n"
                           "  delete PLUGIN KEY              button PLUGIN\n"
                           "  click PLUGIN BUTTON            command PLUGIN COMMAND\n"
                           "  query-text PLUGIN KEY PARAM    query-num PLUGIN KEY INDEX\n"
                           "  stop                           shutdown PLUGIN\n"
                           "  refresh PLUGIN                 activate PLUGIN        deactivate PLUGIN\n"
                           "  disable PLUGIN                 enable PLUGIN\n"
                           "  settings                       (the settings pages the dialog would show)";

using CallFn = QDBusPendingCall (*)(ControlProxy& host, const QStringList& args, const QString& type);
using CheckFn = bool (*)(const QStringList& args, QString* error);

// One row per verb: how many arguments it takes, whether it prints the
// answer, an optional check of its arguments, and the call it makes.
struct Verb {
    const char* name;
    int argc;
    bool prints;
    CheckFn check;
    CallFn call;
};

bool CheckIndex(const QStringList& args, QString* error) {
    bool ok = false;
    args[2].toInt(&ok);
    if (!ok) {
        *error = QStringLiteral("not an integer index: %1").arg(args[2]);
    }
    return ok;
}

const Verb kVerbs[] = {
    {"get", 2, true, nullptr,
     [](ControlProxy& h, const QStringList& a, const QString&) -> QDBusPendingCall {
         return h.Get(a[0], a[1]);
     }},
    {"set", 3, false, nullptr,
     [](ControlProxy& h, const QStringList& a, const QString& type) -> QDBusPendingCall {
         return h.Set(a[0], a[1], type, a[2]);
     }},
    {"delete", 2, false, nullptr,
     [](ControlProxy& h, const QStringList& a, const QString&) -> QDBusPendingCall {
         return h.Delete(a[0], a[1]);
     }},
    {"button", 1, true, nullptr,
     [](ControlProxy& h, const QStringList& a, const QString&) -> QDBusPendingCall {
         return h.Button(a[0]);
     }},
    {"click", 2, false, nullptr,
     [](ControlProxy& h, const QStringList& a, const QString&) -> QDBusPendingCall {
         return h.Click(a[0], a[1]);
     }},
    {"command", 2, false, nullptr,
     [](ControlProxy& h, const QStringList& a, const QString&) -> QDBusPendingCall {
         return h.Command(a[0], a[1]);
     }},
    {"query-text", 3, true, nullptr,
     [](ControlProxy& h, const QStringList& a, const QString&) -> QDBusPendingCall {
         return h.QueryText(a[0], a[1], a[2]);
     }},
    {"query-num", 3, true, &CheckIndex,
     [](ControlProxy& h, const QStringList& a, const QString&) -> QDBusPendingCall {
         return h.QueryNum(a[0], a[1], a[2].toInt());
     }},
    {"stop", 0, false, nullptr,
     [](ControlProxy& h, const QStringList&, const QString&) -> QDBusPendingCall { return h.Stop(); }},
    {"shutdown", 1, false, nullptr,
     [](ControlProxy& h, const QStringList& a, const QString&) -> QDBusPendingCall {
         return h.Shutdown(a[0]);
     }},
    {"refresh", 1, false, nullptr,
     [](ControlProxy& h, const QStringList& a, const QString&) -> QDBusPendingCall {
         return h.Refresh(a[0]);
     }},
    {"activate", 1, false, nullptr,
     [](ControlProxy& h, const QStringList& a, const QString&) -> QDBusPendingCall {
         return h.Activate(a[0]);
     }},
    {"deactivate", 1, false, nullptr,
     [](ControlProxy& h, const QStringList& a, const QString&) -> QDBusPendingCall {
         return h.Deactivate(a[0]);
     }},
    {"disable", 1, false, nullptr,
     [](ControlProxy& h, const QStringList& a, const QString&) -> QDBusPendingCall {
         return h.SetDisabled(a[0], true);
     }},
    {"settings", 0, true, nullptr,
     [](ControlProxy& h, const QStringList&, const QString&) -> QDBusPendingCall {
         return h.SettingsPages();
     }},
    {"enable", 1, false, nullptr,
     [](ControlProxy& h, const QStringList& a, const QString&) -> QDBusPendingCall {
         return h.SetDisabled(a[0], false);
     }},
};

// Takes the value-type switches out of the arguments; the last one given wins.
QString TakeTypeSwitch(const QStringList& raw, QStringList* args) {
    QString type = QStringLiteral("text");
    for (const QString& a : raw) {
        if (a == QLatin1String("--int") || a == QLatin1String("--bool") || a == QLatin1String("--text")) {
            type = a.mid(2);
        } else {
            *args << a;
        }
    }
    return type;
}

const Verb* FindVerb(const QString& name) {
    for (const Verb& v : kVerbs) {
        if (name == QLatin1String(v.name)) {
            return &v;
        }
    }
    return nullptr;
}

int Answer(const QDBusPendingCall& pending, bool prints) {
    QDBusPendingCall call = pending;
    call.waitForFinished();
    const QDBusMessage reply = call.reply();
    if (reply.type() != QDBusMessage::ReplyMessage) {
        if (reply.errorName() == QLatin1String("org.freedesktop.DBus.Error.ServiceUnknown")) {
            return Fail(QStringLiteral("no toolbar host is running"));
        }
        return Fail(reply.errorMessage().isEmpty() ? reply.errorName() : reply.errorMessage());
    }
    if (prints) {
        const QList<QVariant> out = reply.arguments();
        Out(out.isEmpty() ? QString() : out.constFirst().toString());
    }
    return 0;
}

} // namespace

int RunCtl(const QStringList& rawArgs) {
    QStringList args;
    const QString type = TakeTypeSwitch(rawArgs, &args);
    if (args.isEmpty()) {
        return Fail(QString::fromLatin1(kUsage), 2);
    }
    const QString name = args.takeFirst();
    // Asked for, the usage is an answer, on stdout.
    if (name == QLatin1String("--help") || name == QLatin1String("-h") || name == QLatin1String("help")) {
        Out(QString::fromLatin1(kUsage));
        return 0;
    }
    const Verb* verb = FindVerb(name);
    if (!verb) {
        return Fail(QStringLiteral("unknown verb \"%1\"\n%2").arg(name, QString::fromLatin1(kUsage)), 2);
    }
    if (args.size() != verb->argc) {
        return Fail(
            QStringLiteral("%1 takes %2 argument(s), %3 given").arg(name).arg(verb->argc).arg(args.size()),
            2);
    }
    QString error;
    if (verb->check && !verb->check(args, &error)) {
        return Fail(error, 2);
    }
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) {
        return Fail(QStringLiteral("no session bus: %1").arg(bus.lastError().message()));
    }
    ControlProxy host(bus::kHostService, bus::kControlPath, bus);
    host.setTimeout(kCtlTimeoutMs);
    return Answer(verb->call(host, args, type), verb->prints);
}

} // namespace nuvex::host
