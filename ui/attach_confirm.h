#pragma once
// The window that asks before files another program named are sent: every
// file with its name, size and folder, and "Don't send" as the default
// button, so that Enter or Escape sends nothing. Only the user's click on
// "Send" lets the files go. It shows what it is given; the checks of which
// files may be offered at all happen before it is made.
#include "handoff/handoff_wire.h"

#include <QDialog>
#include <QLabel>
#include <QPushButton>
#include <QTreeWidget>
#include <functional>
#include <vector>

namespace nuvex {

class TAttachConfirmWindow : public QDialog {
    Q_OBJECT
public:
    // answer is called once, with true only after "Send" was clicked; a
    // window destroyed unanswered never calls it.
    TAttachConfirmWindow(const std::vector<handoff::OfferedFile>& files,
                         std::function<void(bool send)> answer, QWidget* parent = nullptr);

    QLabel* Question = nullptr;
    QTreeWidget* Files = nullptr;
    QPushButton* SendButton = nullptr;
    QPushButton* DontSendButton = nullptr;
};

// Shows a window for the files, raised and deleted when it closes; answer as above.
TAttachConfirmWindow* ShowAttachConfirm(const std::vector<handoff::OfferedFile>& files,
                                        std::function<void(bool send)> answer);

} // namespace nuvex
