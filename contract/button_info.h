#pragma once
// The out-arguments of ITB4Plugin.GetButtonInfo as named fields. The host asks
// asynchronously, so it gets the reply as a message; this is the one place that
// knows the order of the arguments in the interface's XML.
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
    bool visible = false;
};

// nullopt for an error reply or one whose arguments do not match the interface.
std::optional<ButtonInfo> ReadButtonInfo(const QDBusMessage& reply);

} // namespace nuvex
