#include "contract/button_info.h"

#include <QDBusPendingReply>

namespace nuvex {

std::optional<ButtonInfo> ReadButtonInfo(const QDBusMessage& reply) {
    // In the order of org.brannock.ITB4Plugin.xml: id, style, name, caption,
    // description, icon, menuText, hint, bitmap, visible.
    QDBusPendingReply<int, int, QString, QString, QString, QByteArray, QString, QString, QByteArray, int> r =
        reply;
    if (!r.isValid() || r.isError()) {
        return std::nullopt;
    }
    ButtonInfo info;
    info.id = r.argumentAt<0>();
    info.style = r.argumentAt<1>();
    info.name = r.argumentAt<2>();
    info.caption = r.argumentAt<3>();
    info.description = r.argumentAt<4>();
    info.icon = r.argumentAt<5>();
    info.menuText = r.argumentAt<6>();
    info.hint = r.argumentAt<7>();
    info.bitmap = r.argumentAt<8>();
    info.visible = r.argumentAt<9>();
    return info;
}

} // namespace nuvex
