// The window that asks before files named by another program are sent.
#include "tests/ui/ui_test_support.h"
#include "ui/attach_confirm.h"

#include <QTest>
#include <gtest/gtest.h>
#include <optional>

namespace nuvex {
namespace {

[[maybe_unused]] auto* const g_env = ::testing::AddGlobalTestEnvironment(new test::QtEnvironment);

const std::vector<handoff::OfferedFile> kFiles = {{"/home/u/report 1.pdf", "report 1.pdf", "/home/u", 1536},
                                                  {"/srv/a", "a", "/srv", 3}};

TEST(AttachConfirm, ListsEveryFileAndOnlyASendClickSends) {
    // Enter and Escape answer "Don't send"; a window closed unanswered says nothing.
    struct Row {
        const char* act;
        std::optional<bool> answer;
    };
    for (const Row& r : {Row{"Return", false}, Row{"Escape", false}, Row{"Send", true}, Row{"delete", {}}}) {
        std::optional<bool> got;
        auto* w = new TAttachConfirmWindow(kFiles, [&got](bool send) { got = send; });
        ASSERT_EQ(w->Files->topLevelItemCount(), 2);
        const QTreeWidgetItem* first = w->Files->topLevelItem(0);
        EXPECT_EQ(first->text(0), "report 1.pdf");
        EXPECT_EQ(first->text(1), "1.5KB");
        EXPECT_EQ(first->text(2), "/home/u");
        EXPECT_TRUE(w->DontSendButton->isDefault());
        EXPECT_FALSE(w->SendButton->isDefault());
        w->show();
        const std::string act = r.act;
        if (act == "Send") {
            w->SendButton->click();
        } else if (act == "delete") {
            delete w;
            w = nullptr;
        } else {
            QTest::keyClick(w, act == "Return" ? Qt::Key_Return : Qt::Key_Escape);
        }
        EXPECT_EQ(got, r.answer) << act;
        delete w;
    }
}

} // namespace
} // namespace nuvex
