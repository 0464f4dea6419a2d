#include "core/registration.h"

#include "contract/names.h"
#include "core/plugin_process.h"
#include "integration/autostart.h"
#include "integration/mail_client.h"
#include "integration/sendto.h"
#include "lib/codepage.h"
#include "lib/registry.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace nuvex {

bool RegisterServer(QString* error) {
    const QString program = QCoreApplication::applicationFilePath();
    if (!WriteActivationFile(program, error)) {
        return false;
    }
    Registry& reg = ProcessRegistry();
    if (!ProcessRegistryIsPersistent()) {
        // An entry kept only in memory would be gone when this process ends.
        *error = QStringLiteral("the registry store cannot be opened, so the plug-in entry cannot be kept");
        return false;
    }
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

bool UnregisterMailClientIntegration() {
    const bool ok = UnregisterMailClient();
    RemoveAllSendToShortcuts();
    return ok;
}

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
    if (!autostart::Disable()) {
        *error = QStringLiteral("the start at login entry could not be removed");
        ok = false;
    }
    if (!UnregisterMailClientIntegration()) {
        *error = QStringLiteral("the mail client registration could not be removed completely");
        ok = false;
    }
    return ok;
}

} // namespace nuvex
