#include "host/settings_module.h"
#include "host/toolbar_host.h"
#include "install_dirs.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMap>
#include <dlfcn.h>
#include <unistd.h>

namespace nuvex::host {

void PrepareWebEngine() {
    QCoreApplication::setAttribute(Qt::AA_ShareOpenGLContexts);
    // The engine's own logging writes its errors and notes to our stderr
    // whenever the dialog opens; fatal ones only, unless the user set a level.
    // This process's environment only: the session's is never touched.
    QByteArray flags = qgetenv("QTWEBENGINE_CHROMIUM_FLAGS");
    if (!flags.contains("--log-level")) {
        qputenv("QTWEBENGINE_CHROMIUM_FLAGS", (flags.trimmed() + " --log-level=3").trimmed());
    }
    if (::geteuid() == 0 && qEnvironmentVariableIsEmpty("QTWEBENGINE_DISABLE_SANDBOX")) {
        // The engine's sandbox refuses to start as root; the pages then run
        // without it. They load only the host's own resources.
        qputenv("QTWEBENGINE_DISABLE_SANDBOX", "1");
        qCWarning(lcHost) << "running as root: the settings pages run without the web engine's sandbox";
    }
}

QString SettingsModuleFolder() {
    QString beside = QCoreApplication::applicationDirPath();
    if (QFileInfo::exists(QDir(beside).filePath(QString::fromLatin1(kSettingsModuleFile)))) {
        return beside;
    }
    // An installed brannock keeps the module in a folder of its own under the
    // library folder, where no other program looks for libraries.
    return QDir::cleanPath(beside + QStringLiteral("/" NUVEX_LIBDIR_FROM_BINDIR "/brannock"));
}

SettingsModule* LoadSettingsModule(const QString& folder, QString* error) {
    // Loaded modules stay: the web engine cannot be unloaded from a process
    // it has run in.
    static QMap<QString, SettingsModule*> loaded;
    const QString path = QDir(folder).absoluteFilePath(QString::fromLatin1(kSettingsModuleFile));
    if (SettingsModule* module = loaded.value(path)) {
        return module;
    }
    *error = QStringLiteral("This brannock cannot load its settings dialog (%1).").arg(path);
    const QByteArray file = QFile::encodeName(path);
    void* handle = ::dlopen(file.constData(), RTLD_NOW | RTLD_LOCAL);
    if (!handle) {
        const char* why = ::dlerror();
        qCWarning(lcHost).noquote() << QStringLiteral("cannot load the settings dialog %1: %2")
                                           .arg(path, QString::fromLocal8Bit(why ? why : "unknown reason"));
        return nullptr;
    }
    ::dlerror();
    auto entry = reinterpret_cast<SettingsModuleEntryFn>(::dlsym(handle, kSettingsModuleEntry));
    if (!entry) {
        const char* why = ::dlerror();
        qCWarning(lcHost).noquote() << QStringLiteral("cannot load the settings dialog %1: %2")
                                           .arg(path, QString::fromLocal8Bit(why ? why : "no entry"));
        ::dlclose(handle);
        return nullptr;
    }
    SettingsModule* module = entry(kSettingsModuleVersion);
    if (!module || module->Version() != kSettingsModuleVersion) {
        qCWarning(lcHost).noquote() << QStringLiteral(
                                           "cannot load the settings dialog %1: it is not of version %2")
                                           .arg(path)
                                           .arg(kSettingsModuleVersion);
        // A module that made its object may have started threads: it stays.
        if (!module) {
            ::dlclose(handle);
        }
        return nullptr;
    }
    loaded.insert(path, module);
    error->clear();
    return module;
}

} // namespace nuvex::host
