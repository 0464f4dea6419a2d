#pragma once
// The progress window of a draft upload: what is sent, from where, at what
// rate, how long it will take, and a Cancel button. It only shows; the upload
// itself runs elsewhere and reads the window's result to learn of a cancel.
#include "ui/vostrel_win.h"

#include <QFrame>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <cstdint>
#include <string>

namespace nuvex {

// The client area. The window was drawn as 376 by 216 with its frame; the
// frame here is the window manager's, so only the inside is fixed.
inline constexpr int kUploaderClientWidth = 368;
inline constexpr int kUploaderClientHeight = 182;
inline constexpr int kUploaderValueLeft = 110;
inline constexpr int kUploaderValueGap = 6;

// Where a value label starts: at 110, or further right when its label is wider.
int ValueLeftAfter(const QLabel* label);

// "1.5MB", "2.0KB", "512B": one decimal from a kibibyte up, a whole number below.
std::string ByteText(double bytes);
// "2 min 5 s" from a minute up, "42 s" below; seconds rounded half to even.
std::string TimeText(double seconds);

class TWebvaultUploaderForm : public TVostrelWin {
public:
    enum class Stage { Preparing, Sending };

    explicit TWebvaultUploaderForm(const std::string& email);

    void SetStage(Stage stage);
    // folder is ignored when multipleFolders is set.
    void SetSendingFrom(const std::string& folder, bool multipleFolders);
    // One progress report: bar, rate, time left and the caption's percentage.
    // Answers whether the transfer goes on (false once Cancel was pressed).
    bool UpdateProgress(std::uint64_t sent, std::uint64_t total, double secondsLeft, double rate);
    // Every byte is out and the service has not answered yet: the bar turns
    // busy and the status says for how long it has been waiting.
    void ShowWaiting(double seconds);
    // The upload ended without a draft: the reason stays readable and Cancel
    // becomes Close.
    void ShowFailure(const std::string& message);

    QFrame* Panel = nullptr;
    QLabel* UsingLabel = nullptr;
    QLabel* EmailValue = nullptr;
    QLabel* StatusLabel = nullptr;
    QProgressBar* Bar = nullptr;
    QLabel* TimeLabel = nullptr;
    QLabel* TimeValue = nullptr;
    QLabel* FromLabel = nullptr;
    QLabel* FromValue = nullptr;
    QLabel* RateLabel = nullptr;
    QLabel* RateValue = nullptr;
    QPushButton* CancelButton = nullptr;

private:
    QLabel* AddLabel(const std::string& text, int left, int top);
    QLabel* AddValue(int left, int top);
    QString caption_;
};

} // namespace nuvex
