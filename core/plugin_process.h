#pragma once
// Values set once at start-up and read everywhere in the plug-in process.
#include <QByteArray>
#include <QString>

namespace nuvex {

const QString& PluginName(); // "MAIL"
QString LongName();          // the translated "Email Plugin"

bool SingleInstance();

// Set when the host calls Connect; cleared on deactivation and shutdown.
// Host-facing actions are skipped while it is clear.
bool PluginConnected();
void SetPluginConnected(bool on);

// The "BUTTON" picture, kept as BMP file bytes and as hex text.
struct BitmapPair {
    QByteArray bytes;
    QString hex;
};
const BitmapPair& ButtonBitmap();
void LoadButtonBitmap();
void FreeButtonBitmap();

} // namespace nuvex
