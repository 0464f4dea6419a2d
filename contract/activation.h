#pragma once
// The D-Bus activation file through which the session bus can start the
// plug-in: the host looks for it, the plug-in's "/regserver" writes it.
#include <QString>

namespace nuvex {

// $XDG_DATA_HOME/dbus-1/services/org.brannock.Nuvex.service
QString ActivationFilePath();

// The file's text for the given program. The bus splits Exec= by shell rules,
// so the path is single-quoted; nullopt-like empty text for a path that no
// quoting can carry (a line end).
QString ActivationFileText(const QString& program);

// Writes the file user-only (0600, folders 0700 where they are made),
// whatever the umask: its Exec= line is what the bus runs as this user.
bool WriteActivationFile(const QString& program, QString* error);

} // namespace nuvex
