#pragma once
// What the widget tests share: an offscreen QApplication with a private
// registry and named-object folder, and builders for notification entries.
#include "accounts/notify.h"
#include "lib/registry.h"
#include "tests/support/temp_dir.h"

#include <QApplication>
#include <QPalette>
#include <cmath>
#include <cstdlib>
#include <gtest/gtest.h>
#include <memory>
#include <string>

namespace nuvex::test {

class QtEnvironment : public ::testing::Environment {
public:
    void SetUp() override {
        // Offscreen unless a run under a compositor names its platform.
        const QByteArray platform = qgetenv("NUVEX_TEST_QPA");
        qputenv("QT_QPA_PLATFORM", platform.isEmpty() ? QByteArray("offscreen") : platform);
        objects_ = std::make_unique<TempDir>();
        setenv("NUVEX_OBJECTS_DIR", objects_->path().c_str(), 1);
        registry_ = MakeMemoryRegistry();
        SetProcessRegistry(registry_.get());
        app_ = std::make_unique<QApplication>(argc_, argv_);
    }
    void TearDown() override {
        app_.reset();
        SetProcessRegistry(nullptr);
    }

private:
    int argc_ = 1;
    char name_[8] = "ui_test";
    char* argv_[2] = {name_, nullptr};
    std::unique_ptr<TempDir> objects_;
    std::unique_ptr<Registry> registry_;
    std::unique_ptr<QApplication> app_;
};

// A dark desktop palette as themes set it (the Fusion style's usual dark
// scheme): light text on dark grey, a light blue link.
inline QPalette DarkPalette() {
    QPalette p;
    const QColor window(53, 53, 53), base(35, 35, 35), text(240, 240, 240);
    p.setColor(QPalette::Window, window);
    p.setColor(QPalette::WindowText, text);
    p.setColor(QPalette::Base, base);
    p.setColor(QPalette::AlternateBase, window);
    p.setColor(QPalette::ToolTipBase, QColor(25, 25, 25));
    p.setColor(QPalette::ToolTipText, Qt::white);
    p.setColor(QPalette::Text, text);
    p.setColor(QPalette::Button, window);
    p.setColor(QPalette::ButtonText, text);
    p.setColor(QPalette::BrightText, Qt::red);
    p.setColor(QPalette::Link, QColor(90, 160, 230));
    p.setColor(QPalette::Highlight, QColor(42, 130, 218));
    p.setColor(QPalette::HighlightedText, Qt::black);
    return p;
}

// WCAG 2 contrast ratio of two colours (1 .. 21).
inline double ContrastRatio(const QColor& a, const QColor& b) {
    auto lum = [](const QColor& c) {
        auto ch = [](double v) { return v <= 0.04045 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4); };
        return 0.2126 * ch(c.redF()) + 0.7152 * ch(c.greenF()) + 0.0722 * ch(c.blueF());
    };
    const double la = lum(a), lb = lum(b);
    return (std::max(la, lb) + 0.05) / (std::min(la, lb) + 0.05);
}

inline TNotifyMessageItem Message(const std::string& sender, const std::string& subject,
                                  const std::string& detail, const std::string& account = "POP3_1",
                                  const std::string& ref = "7") {
    TNotifyMessageItem item;
    item.AccountRef = account;
    item.MessageRef = ref;
    item.ItemKind = kNotifyMessage;
    item.Sender = sender;
    item.Subject = subject;
    item.Detail = detail;
    return item;
}

inline TNotifyMessageItem Summary(const std::string& name, int count) {
    TNotifyMessageItem item;
    item.AccountRef = "POP3_1";
    item.ItemKind = kNotifySummary;
    item.Count = count;
    item.Sender = name;
    return item;
}

inline TNotifyMessageItem Error(const std::string& name, const std::string& text) {
    TNotifyMessageItem item;
    item.AccountRef = "POP3_2";
    item.ItemKind = kNotifyError;
    item.Sender = name;
    item.Detail = text;
    return item;
}

} // namespace nuvex::test
