#include "host/ctl.h"

#include "core/dbus_contract.h"

#include <QDBusConnection>
#include <QDBusMessage>
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
                           "  disable PLUGIN                 enable PLUGIN";

} // namespace

int RunCtl(const QStringList& rawArgs) {
    QStringList args;
    QString type = QStringLiteral("text");
    for (const QString& a : rawArgs) {
        if (a == QLatin1String("--int")) {
            type = QStringLiteral("int");
        } else if (a == QLatin1String("--bool")) {
            type = QStringLiteral("bool");
        } else if (a == QLatin1String("--text")) {
            type = QStringLiteral("text");
        } else {
            args << a;
        }
    }
    if (args.isEmpty()) {
        return Fail(QString::fromLatin1(kUsage), 2);
    }
    const QString verb = args.takeFirst();
    struct Verb {
        const char* name;
        const char* method;
        int argc;
    };
    static const Verb kVerbs[] = {
        {"get", "Get", 2},
        {"set", "Set", 3},
        {"delete", "Delete", 2},
        {"button", "Button", 1},
        {"click", "Click", 2},
        {"command", "Command", 2},
        {"query-text", "QueryText", 3},
        {"query-num", "QueryNum", 3},
        {"stop", "Stop", 0},
        {"shutdown", "Shutdown", 1},
        {"refresh", "Refresh", 1},
        {"activate", "Activate", 1},
        {"deactivate", "Deactivate", 1},
        {"disable", "SetDisabled", 1},
        {"enable", "SetDisabled", 1},
    };
    const Verb* found = nullptr;
    for (const Verb& v : kVerbs) {
        if (verb == QLatin1String(v.name)) {
            found = &v;
        }
    }
    if (!found) {
        return Fail(QStringLiteral("unknown verb \"%1\"\n%2").arg(verb, QString::fromLatin1(kUsage)), 2);
    }
    if (args.size() != found->argc) {
        return Fail(
            QStringLiteral("%1 takes %2 argument(s), %3 given").arg(verb).arg(found->argc).arg(args.size()),
            2);
    }

    QList<QVariant> callArgs;
    if (verb == QLatin1String("set")) {
        callArgs = {args[0], args[1], type, args[2]};
    } else if (verb == QLatin1String("query-num")) {
        bool ok = false;
        int index = args[2].toInt(&ok);
        if (!ok) {
            return Fail(QStringLiteral("not an integer index: %1").arg(args[2]), 2);
        }
        callArgs = {args[0], args[1], index};
    } else if (verb == QLatin1String("disable") || verb == QLatin1String("enable")) {
        callArgs = {args[0], verb == QLatin1String("disable")};
    } else {
        for (const QString& a : args) {
            callArgs << a;
        }
    }

    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) {
        return Fail(QStringLiteral("no session bus: %1").arg(bus.lastError().message()));
    }
    QDBusMessage msg = QDBusMessage::createMethodCall(
        bus::kHostService, bus::kControlPath, bus::kControlInterface, QString::fromLatin1(found->method));
    msg.setArguments(callArgs);
    QDBusMessage reply = bus.call(msg, QDBus::Block, kCtlTimeoutMs);
    if (reply.type() != QDBusMessage::ReplyMessage) {
        if (reply.errorName() == QLatin1String("org.freedesktop.DBus.Error.ServiceUnknown")) {
            return Fail(QStringLiteral("no toolbar host is running"));
        }
        return Fail(reply.errorMessage().isEmpty() ? reply.errorName() : reply.errorMessage());
    }
    const QList<QVariant> out = reply.arguments();
    if (verb == QLatin1String("get") || verb == QLatin1String("button") ||
        verb == QLatin1String("query-text") || verb == QLatin1String("query-num")) {
        Out(out.isEmpty() ? QString() : out.constFirst().toString());
    }
    return 0;
}

} // namespace nuvex::host
