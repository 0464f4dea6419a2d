#pragma once
// Where every part of the notification window goes, computed without widgets:
// the window and scroll-box sizes and each entry's texts and rectangles. The
// window turns the result into labels; tests check the numbers directly.
#include "accounts/notify.h"

#include <QFont>
#include <QFontMetrics>
#include <QRect>
#include <QString>
#include <cstdint>
#include <optional>
#include <vector>

namespace nuvex {

// Frame and scroll-bar sizes of the window the layout was designed around.
// The visible part is the client area: caption and frame are cut away, but
// the numbers still place the entries and the saved window position.
struct TNotifyMetrics {
    int windowWidth = 280;
    int dlgFrameX = 3;     // SM_CXDLGFRAME
    int dlgFrameY = 3;     // SM_CYDLGFRAME
    int smallCaption = 16; // SM_CYSMCAPTION
    int vScrollWidth = 16; // SM_CXVSCROLL
};

inline constexpr int kNotifyMaxRowsHeight = 250;
inline constexpr int kNotifyBaseHeight = 35;

class TextMeasure {
public:
    virtual ~TextMeasure() = default;
    virtual int Width(const QString& text, bool bold) const = 0;
    virtual int LineHeight() const = 0; // a one-line label's height
};

class FontMeasure final : public TextMeasure {
public:
    FontMeasure(const QFont& normal, const QFont& bold) : normal_(normal), bold_(bold) {}
    int Width(const QString& text, bool bold) const override {
        return (bold ? bold_ : normal_).horizontalAdvance(text);
    }
    int LineHeight() const override { return std::max(normal_.height(), bold_.height()); }

private:
    QFontMetrics normal_;
    QFontMetrics bold_;
};

// The window's captions, already translated; FormatCount writes "%0.0n".
struct TNotifyTexts {
    QString from, subject, message, account, newMessage, newMessages;
};
TNotifyTexts DefaultNotifyTexts(); // through Translate

// A count with the locale's thousands separator and no decimals ("%0.0n").
QString FormatCount(std::int64_t n);

enum class NotifyAction : std::uint8_t { None, OpenAccount, OpenMessage, EditAccount };
enum class NotifyTextStyle : std::uint8_t { Normal, Bold, Preview };

struct TNotifyLabel {
    QString text;
    QRect rect; // in container coordinates; width = measured text width
    NotifyTextStyle style = NotifyTextStyle::Normal;
    bool visible = true;
    bool wordWrap = false;
    NotifyAction action = NotifyAction::None;
    int entry = 0;
};

struct TNotifyIcon {
    QRect rect;
    std::uint8_t kind = kNotifySummary;
    NotifyAction action = NotifyAction::None;
    int entry = 0;
};

struct TNotifyLayout {
    int total = 0;         // sum of the entry heights (45, 70 or 55 each)
    int contentHeight = 0; // total less one line for every preview that fit on one line
    bool scrolled = false; // total above 250: the rows sit in a scroll box
    int windowHeight = 40; // caption and frame included
    int innerWidth = 0;    // the visible part
    int innerHeight = 0;
    int containerWidth = 0; // W: the form's width, or the scroll panel's
    QRect scrollBox;        // form coordinates; scrolled only
    QSize panel;            // scrolled only: width x contentHeight
    int scrollStep = 0;     // scrolled only
    std::vector<TNotifyLabel> labels;
    std::vector<TNotifyIcon> icons;
    std::vector<QRect> separators;
};

int NotifyEntryHeight(const TNotifyMessageItem& item);

TNotifyLayout LayoutNotifyEntries(const TNotifyMessages& items, const TextMeasure& measure,
                                  const TNotifyTexts& texts, const TNotifyMetrics& metrics = {});

// Window rectangle (caption and frame included) above the bottom-right corner
// of the work area, kept 15 pixels clear of its bottom.
QRect DefaultNotifyWindowRect(const QRect& workArea, int windowWidth, int windowHeight);

// A saved edge is used when the read worked and the value lies in 1 .. limit-1
// (limit = the work area's far edge less 50). 0 means "never saved"; negative
// values come from keys never written and are not positions either.
std::optional<int> UsableSavedEdge(std::optional<std::int32_t> saved, int limit);

// The edge to save: 0 would read back as "never saved", so it is stored as 1.
inline std::int32_t EdgeToSave(int edge) {
    return edge == 0 ? 1 : edge;
}

// Trims characters below code 33 at both ends.
QString TrimLow(const QString& text);

} // namespace nuvex
