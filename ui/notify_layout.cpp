#include "ui/notify_layout.h"

#include "lib/branding.h"
#include "lib/files.h"
#include "ui/tr.h"

#include <algorithm>

namespace nuvex {
namespace {

// No label shows more than a window's width of text; longer texts only cost
// time in the shortening loops, which measure the text once per character.
constexpr qsizetype kMaxShownChars = 400;

// Single-line labels: line breaks and tabs inside a sender, subject or
// preview would otherwise break the row layout.
QString Shown(const std::string& text) {
    QString out = QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
    if (out.size() > kMaxShownChars) {
        qsizetype keep = kMaxShownChars;
        if (out.at(keep - 1).isHighSurrogate()) {
            --keep;
        }
        out.truncate(keep);
    }
    for (QChar& c : out) {
        if (c.unicode() < 32) {
            c = QLatin1Char(' ');
        }
    }
    return out;
}

qsizetype StepBack(const QString& text, qsizetype keep) {
    --keep;
    if (keep > 0 && text.at(keep - 1).isHighSurrogate()) {
        --keep;
    }
    return keep;
}

class EntryBuilder {
public:
    EntryBuilder(const TextMeasure& measure, const TNotifyTexts& texts, const TNotifyMetrics& metrics, int w,
                 TNotifyLayout& out)
        : m_(measure), texts_(texts), w_(w), f_(metrics.dlgFrameX), line_(measure.LineHeight()), out_(out) {}

    // Lays out entry i at row offset y; y and the content height shrink when
    // a message preview fits on one line.
    void Entry(const TNotifyMessageItem& item, int i, int& y) {
        entry_ = i;
        const auto kind = item.ItemKind;
        const NotifyAction iconAction =
            kind == kNotifyError ? NotifyAction::EditAccount : NotifyAction::OpenAccount;
        out_.icons.push_back({QRect(7, y + 16, 25, 22), kind, iconAction, i});
        if (kind == kNotifyMessage) {
            Message(item, y);
        } else if (kind == kNotifyError) {
            Error(item, y);
        } else {
            Summary(item, y);
        }
    }

    void Separator(const TNotifyMessageItem& item, int y) {
        int offset = 50;
        if (item.ItemKind == kNotifyMessage) {
            offset = item.Detail.empty() ? 50 : 75;
        } else if (item.ItemKind == kNotifyError) {
            offset = 60;
        }
        out_.separators.push_back(QRect(0, y + offset, w_ - 2 * f_ - 1, 1));
    }

private:
    int Limit() const { return w_ - f_; }
    static int Right(const TNotifyLabel& l) { return l.rect.x() + l.rect.width(); }
    bool Overflows(const TNotifyLabel& l) const { return Right(l) > Limit(); }

    std::size_t Add(const QString& text, int left, int top, NotifyTextStyle style, NotifyAction action) {
        TNotifyLabel label;
        label.text = text;
        label.style = style;
        label.action = action;
        label.entry = entry_;
        label.rect = QRect(left, top, m_.Width(text, style == NotifyTextStyle::Bold), line_);
        out_.labels.push_back(label);
        return out_.labels.size() - 1;
    }
    TNotifyLabel& L(std::size_t index) { return out_.labels[index]; }
    void SetText(TNotifyLabel& l, const QString& text) {
        l.text = text;
        l.rect.setWidth(m_.Width(text, l.style == NotifyTextStyle::Bold));
    }

    // Appends "..." and then drops one character at a time until the label
    // ends margin pixels inside the limit.
    void Shorten(TNotifyLabel& l, int margin) {
        if (!Overflows(l) || Limit() <= 50) {
            return;
        }
        const QString base = l.text;
        qsizetype keep = base.size();
        SetText(l, base + QStringLiteral("..."));
        while (Right(l) >= Limit() - margin && keep > 0) {
            keep = StepBack(base, keep);
            SetText(l, base.left(keep) + QStringLiteral("..."));
        }
    }

    // "Caption:" followed by a bold name; a name too long for that place
    // starts at the caption's place instead and the caption goes.
    std::size_t CaptionAndName(const QString& caption, const std::string& name, int top, NotifyAction action,
                               int margin) {
        const std::size_t cap = Add(caption, 40, top, NotifyTextStyle::Normal, action);
        const std::size_t bold = Add(Shown(name), Right(L(cap)), top, NotifyTextStyle::Bold, action);
        if (Overflows(L(bold))) {
            L(bold).rect.moveLeft(40);
            L(cap).visible = false;
        }
        Shorten(L(bold), margin);
        return bold;
    }

    void Message(const TNotifyMessageItem& item, int& y) {
        const NotifyAction action = item.AccountRef.empty() ? NotifyAction::None : NotifyAction::OpenMessage;
        const int top1 = y + 15;
        CaptionAndName(texts_.from, item.Sender, top1, action, 10);
        const int top2 = top1 + line_;
        Shorten(L(Add(texts_.subject + Shown(item.Subject), 40, top2, NotifyTextStyle::Normal, action)), 10);
        if (item.Detail.empty()) {
            return;
        }
        const int top3 = top2 + line_;
        const std::size_t caption = Add(texts_.message, 40, top3, NotifyTextStyle::Normal, action);
        const QString detail = TrimLow(Shown(item.Detail));
        const std::size_t first = Add(detail, Right(L(caption)), top3, NotifyTextStyle::Preview, action);
        FitFirstPreviewLine(L(first));
        const QString rest = TrimLow(detail.mid(L(first).text.size()));
        if (rest.isEmpty()) {
            // The unused second preview line: the rows below move up by
            // exactly one line, so the separator keeps its distance from the
            // text above and below it.
            y -= line_;
            out_.contentHeight -= line_;
            return;
        }
        const int left = L(first).rect.x();
        Shorten(L(Add(rest, left, top3 + line_, NotifyTextStyle::Preview, action)), 10);
    }

    // Cuts the first preview line at blanks until it ends 10 pixels inside
    // the limit. A line without a blank left is cut by characters, so that
    // it still shows the start of the preview rather than nothing.
    void FitFirstPreviewLine(TNotifyLabel& l) {
        if (!Overflows(l) || Limit() <= 50) {
            return;
        }
        const int goal = Limit() - 10;
        while (Right(l) >= goal) {
            const qsizetype blank = l.text.lastIndexOf(QLatin1Char(' '));
            if (blank > 0) {
                SetText(l, l.text.left(blank));
                continue;
            }
            const QString base = l.text;
            qsizetype keep = base.size();
            while (keep > 0 && Right(l) >= goal) {
                keep = StepBack(base, keep);
                SetText(l, base.left(keep));
            }
            break;
        }
    }

    void Error(const TNotifyMessageItem& item, int y) {
        const auto action = NotifyAction::EditAccount;
        const int top1 = y + 15;
        CaptionAndName(texts_.account, item.Sender, top1, action, 0);
        TNotifyLabel detail;
        detail.text = Shown(item.Detail);
        detail.rect = QRect(40, top1 + line_, w_ - 2 * f_ - 41, 26);
        detail.wordWrap = true;
        detail.action = action;
        detail.entry = entry_;
        out_.labels.push_back(detail);
    }

    void Summary(const TNotifyMessageItem& item, int y) {
        const auto action = NotifyAction::OpenAccount;
        const int top1 = y + 15;
        CaptionAndName(texts_.account, item.Sender, top1, action, 0);
        const int top2 = top1 + line_;
        const std::size_t count =
            Add(FormatCount(item.Count) + QLatin1Char(' '), 40, top2, NotifyTextStyle::Bold, action);
        Add(item.Count == 1 ? texts_.newMessage : texts_.newMessages, Right(L(count)), top2,
            NotifyTextStyle::Normal, action);
    }

    const TextMeasure& m_;
    const TNotifyTexts& texts_;
    const int w_;
    const int f_;
    const int line_;
    TNotifyLayout& out_;
    int entry_ = 0;
};

} // namespace

TNotifyTexts DefaultNotifyTexts() {
    return {Tr("From: "),    Tr("Subject: "),   Tr("Message: "),
            Tr("Account: "), Tr("new message"), Tr("new messages")};
}

QString FormatCount(std::int64_t n) {
    return QString::fromStdString(FormatThousands(static_cast<double>(n)));
}

QString TrimLow(const QString& text) {
    qsizetype begin = 0;
    qsizetype end = text.size();
    while (begin < end && text.at(begin).unicode() < 33) {
        ++begin;
    }
    while (end > begin && text.at(end - 1).unicode() < 33) {
        --end;
    }
    return text.mid(begin, end - begin);
}

int NotifyEntryHeight(const TNotifyMessageItem& item) {
    switch (item.ItemKind) {
    case kNotifyMessage:
        return item.Detail.empty() ? 45 : 70;
    case kNotifyError:
        return 55;
    default:
        return 45;
    }
}

TNotifyLayout LayoutNotifyEntries(const TNotifyMessages& items, const TextMeasure& measure,
                                  const TNotifyTexts& texts, const TNotifyMetrics& metrics) {
    TNotifyLayout out;
    const int frameX = metrics.dlgFrameX;
    out.innerWidth = metrics.windowWidth - 2 * frameX;
    out.containerWidth = metrics.windowWidth;
    if (items.Empty()) {
        out.innerHeight = out.windowHeight - metrics.smallCaption - 2 * metrics.dlgFrameY;
        return out;
    }
    for (const auto& item : items) {
        out.total += NotifyEntryHeight(item);
    }
    out.contentHeight = out.total;
    int y = 3;
    if (out.total <= kNotifyMaxRowsHeight) {
        out.windowHeight = kNotifyBaseHeight + out.total;
    } else {
        out.scrolled = true;
        y = -5;
        out.windowHeight = kNotifyBaseHeight + kNotifyMaxRowsHeight;
        out.scrollBox = QRect(1, 9, metrics.windowWidth - 2 * frameX - 2, kNotifyMaxRowsHeight);
        out.scrollStep = std::max(1, (out.total - kNotifyMaxRowsHeight) / items.Count());
        out.containerWidth = out.scrollBox.width() - metrics.vScrollWidth - 3;
    }
    out.innerHeight = out.windowHeight - metrics.smallCaption - 2 * metrics.dlgFrameY;

    EntryBuilder builder(measure, texts, metrics, out.containerWidth, out);
    for (int i = 0; i < items.Count(); ++i) {
        if (i > 0) {
            y += NotifyEntryHeight(items.Item(i - 1));
        }
        builder.Entry(items.Item(i), i, y);
        if (items.Count() >= 2 && i < items.LastIndex()) {
            builder.Separator(items.Item(i), y);
        }
    }
    if (out.scrolled) {
        out.panel = QSize(out.containerWidth, out.contentHeight);
    }
    return out;
}

QRect DefaultNotifyWindowRect(const QRect& workArea, int windowWidth, int windowHeight) {
    const int workRight = workArea.x() + workArea.width();
    const int workBottom = workArea.y() + workArea.height();
    int top = workBottom - 200;
    if (top + windowHeight > workBottom - 15) {
        top = workBottom - windowHeight - 15;
    }
    return QRect(workRight - 300, top, windowWidth, windowHeight);
}

std::optional<int> UsableSavedEdge(std::optional<std::int32_t> saved, int limit) {
    if (!saved || *saved <= 0 || *saved >= limit) {
        return std::nullopt;
    }
    return *saved;
}

} // namespace nuvex
