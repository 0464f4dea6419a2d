#include "core/plugin_process.h"

#include "contract/button_bitmap.h"
#include "contract/names.h"
#include "lib/branding.h"
#include "ui/tr.h"

#include <atomic>

namespace nuvex {
namespace {

std::atomic<bool> g_singleInstance{true};
std::atomic<bool> g_connected{false};
BitmapPair g_buttonBitmap;

} // namespace

const QString& PluginName() {
    static const QString name = bus::kMailPlugin;
    return name;
}

QString LongName() {
    return Tr("Email Plugin");
}

bool SingleInstance() {
    return g_singleInstance;
}

bool PluginConnected() {
    return g_connected;
}
void SetPluginConnected(bool on) {
    g_connected = on;
}

const BitmapPair& ButtonBitmap() {
    return g_buttonBitmap;
}

void LoadButtonBitmap() {
    QImage picture = DrawButtonPicture();
    g_buttonBitmap.bytes = ButtonBitmapBytes(picture);
    g_buttonBitmap.hex = ButtonBitmapHex(picture);
}

void FreeButtonBitmap() {
    g_buttonBitmap = BitmapPair();
}

} // namespace nuvex
