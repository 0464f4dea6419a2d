#pragma once
// The out-arguments of ITB4Plugin.GetButtonInfo as named fields: the plug-in
// fills them, the host reads them. The host asks asynchronously and gets the
// reply as a message; ReadButtonInfo is the one place that knows the order of
// the arguments in the interface's XML.
#include <QByteArray>
#include <QDBusMessage>
#include <QString>
#include <optional>

namespace nuvex {

struct ButtonInfo {
    int id = 0;
    int style = 0;
    QString name;
    QString caption;
    QString description;
    QByteArray icon;
    QString menuText;
    QString hint;
    QByteArray bitmap;
    int visible = 0; // non-zero: the button is shown
};

// nullopt for an error reply or one whose arguments do not match the interface.
std::optional<ButtonInfo> ReadButtonInfo(const QDBusMessage& reply);

} // namespace nuvex
