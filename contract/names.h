#pragma once
// Names shared by the toolbar host and the plug-in: where each side finds the
// other on the session bus, and the named objects and registry keys of the
// toolbar family. The interfaces themselves are the introspection XML files
// beside this header; their adaptors and proxies are generated from them.
#include "contract/event_names.h"
#include "lib/host_config.h"

#include <QString>
#include <string>
#include <string_view>

namespace nuvex::bus {

inline const QString kHostService = QStringLiteral("org.brannock.Toolbar");
inline const QString kServerPath = QStringLiteral("/Server");
inline const QString kControlPath = QStringLiteral("/Control");

// The mail plug-in's name, as the host's settings and registry know it.
inline const QString kMailPlugin =
    QString::fromLatin1(kPluginName.data(), static_cast<qsizetype>(kPluginName.size()));

inline const QString kPluginService = QStringLiteral("org.brannock.Nuvex");
inline const QString kFactoryPath = QStringLiteral("/Factory");
inline const QString kPluginPathPrefix = QStringLiteral("/Plugin/");

// A peer that died or hangs must never stall a caller for long.
inline constexpr int kCallTimeoutMs = 5000;
// The plug-in's calls to the host run on its GUI thread: a host that stops
// answering may hold it this long, once; see BusHostConfig for the rest.
inline constexpr int kHostCallTimeoutMs = 1500;

} // namespace nuvex::bus
