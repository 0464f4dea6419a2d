#pragma once
// What the widget tests share: an offscreen QApplication with a private
// registry and named-object folder, and builders for notification entries.
#include "accounts/notify.h"
#include "lib/registry.h"
#include "tests/support/temp_dir.h"

#include <QApplication>
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
