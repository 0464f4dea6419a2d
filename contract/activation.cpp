#include "contract/activation.h"

#include "contract/names.h"

#include <QDir>
#include <QFileInfo>
#include <QSaveFile>
#include <sys/stat.h>

namespace nuvex {
namespace {

QString ShellQuote(const QString& text) {
    QString out = QStringLiteral("'");
    for (QChar c : text) {
        if (c == u'\'') {
            out += QStringLiteral("'\\''"); // close, an escaped quote, reopen
        } else {
            out += c;
        }
    }
    return out + u'\'';
}

// Makes each missing folder of path user-only; folders that exist are left as they are.
bool MakeFolders(const QString& path) {
    QString sofar;
    for (const QString& part : path.split(u'/', Qt::SkipEmptyParts)) {
        sofar += u'/' + part;
        const QByteArray native = QFile::encodeName(sofar);
        if (::mkdir(native.constData(), 0700) != 0 && errno != EEXIST) {
            return false;
        }
    }
    return QFileInfo(path).isDir();
}

} // namespace

QString ActivationFilePath() {
    QString base = qEnvironmentVariable("XDG_DATA_HOME");
    if (base.isEmpty() || !base.startsWith(u'/')) {
        base = QDir::homePath() + QStringLiteral("/.local/share");
    }
    return base + QStringLiteral("/dbus-1/services/") + bus::kPluginService + QStringLiteral(".service");
}

QString ActivationFileText(const QString& program) {
    if (program.isEmpty() || program.contains(u'\n') || program.contains(u'\r') ||
        program.contains(QChar(0))) {
        return QString();
    }
    return QStringLiteral("[D-BUS Service]\nName=%1\nExec=%2\n")
        .arg(bus::kPluginService, ShellQuote(program));
}

bool WriteActivationFile(const QString& program, QString* error) {
    const QString path = ActivationFilePath();
    const QString text = ActivationFileText(program);
    if (text.isEmpty()) {
        *error = QStringLiteral("the program path cannot be written into %1").arg(path);
        return false;
    }
    if (!MakeFolders(QFileInfo(path).absolutePath())) {
        *error = QStringLiteral("cannot make the folder of %1").arg(path);
        return false;
    }
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) ||
        !file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner)) {
        *error = QStringLiteral("cannot write %1: %2").arg(path, file.errorString());
        return false;
    }
    file.write(text.toUtf8());
    if (!file.commit()) {
        *error = QStringLiteral("cannot write %1: %2").arg(path, file.errorString());
        return false;
    }
    return true;
}

} // namespace nuvex
