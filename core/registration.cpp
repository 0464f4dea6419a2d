#include "core/registration.h"

#include "core/dbus_contract.h"
#include "core/plugin_process.h"
#include "lib/codepage.h"
#include "lib/registry.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

namespace nuvex {

QString ActivationFilePath() {
    QString base = qEnvironmentVariable("XDG_DATA_HOME");
    if (base.isEmpty() || !base.startsWith(u'/')) {
        base = QDir::homePath() + QStringLiteral("/.local/share");
    }
    return base + QStringLiteral("/dbus-1/services/") + bus::kPluginService + QStringLiteral(".service");
}

bool RegisterServer(QString* error) {
    const QString program = QCoreApplication::applicationFilePath();
    const QString path = ActivationFilePath();
    if (!QDir().mkpath(QFileInfo(path).absolutePath())) {
        *error = QStringLiteral("cannot make the folder of %1").arg(path);
        return false;
    }
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly)) {
        *error = QStringLiteral("cannot write %1: %2").arg(path, file.errorString());
        return false;
    }
    const QString text =
        QStringLiteral("[D-BUS Service]\nName=%1\nExec=%2\n").arg(bus::kPluginService, program);
    file.write(text.toUtf8());
    if (!file.commit()) {
        *error = QStringLiteral("cannot write %1: %2").arg(path, file.errorString());
        return false;
    }
    Registry& reg = ProcessRegistry();
    bool ok =
        WriteRegString(reg, RegRoot::HKCU, kPluginEntryKey, "PluginName", true, PluginName().toStdString()) &&
        WriteRegString(reg, RegRoot::HKCU, kPluginEntryKey, "BusName", true,
                       bus::kPluginService.toStdString()) &&
        WriteRegString(reg, RegRoot::HKCU, kPluginEntryKey, "Program", true, program.toStdString());
    // Replies name their charset; the look-up reads the table from the store so that an installation can
    // add aliases. Existing entries are left as they are.
    ok = ok && SeedCharsetRegistry(reg);
    if (!ok) {
        *error = QStringLiteral("cannot write the plug-in entry to the registry store");
        return false;
    }
    return true;
}

void UnregisterMailClientIntegration() {}

bool UnregisterServer(QString* error) {
    bool ok = true;
    const QString path = ActivationFilePath();
    if (QFile::exists(path) && !QFile::remove(path)) {
        *error = QStringLiteral("cannot remove %1").arg(path);
        ok = false;
    }
    if (!DeleteRegKey(ProcessRegistry(), RegRoot::HKCU, kPluginEntryKey)) {
        *error = QStringLiteral("cannot remove the plug-in entry from the registry store");
        ok = false;
    }
    UnregisterMailClientIntegration();
    return ok;
}

} // namespace nuvex
