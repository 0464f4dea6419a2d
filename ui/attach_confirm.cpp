#include "ui/attach_confirm.h"

#include "lib/branding.h"
#include "ui/tr.h"
#include "ui/uploader_form.h"

#include <QHBoxLayout>
#include <QHeaderView>
#include <QVBoxLayout>

namespace nuvex {

namespace {

// File names are bytes; the locale's encoding shows them as the file manager does.
QString FromPath(const std::string& text) {
    return QString::fromLocal8Bit(text.data(), static_cast<qsizetype>(text.size()));
}

} // namespace

TAttachConfirmWindow::TAttachConfirmWindow(const std::vector<handoff::OfferedFile>& files,
                                           std::function<void(bool send)> answer, QWidget* parent)
    : QDialog(parent) {
    setWindowTitle(Tr("Send files? - %BRAND Email Plugin"));
    Question = new QLabel(
        Tr("A program asks to send these files by email. Send them only if you chose them yourself."), this);
    Question->setWordWrap(true);
    Files = new QTreeWidget(this);
    Files->setColumnCount(3);
    Files->setHeaderLabels({Tr("Name"), Tr("Size"), Tr("Folder")});
    Files->setRootIsDecorated(false);
    Files->setSelectionMode(QAbstractItemView::NoSelection);
    Files->setFocusPolicy(Qt::NoFocus);
    for (const handoff::OfferedFile& f : files) {
        auto* row = new QTreeWidgetItem(Files, {FromPath(f.name),
                                                QString::fromStdString(ByteText(static_cast<double>(f.size))),
                                                FromPath(f.folder)});
        row->setTextAlignment(1, Qt::AlignRight | Qt::AlignVCenter);
        row->setToolTip(2, FromPath(f.folder));
    }
    Files->header()->setSectionResizeMode(0, QHeaderView::ResizeToContents);
    Files->header()->setSectionResizeMode(1, QHeaderView::ResizeToContents);
    Files->header()->setStretchLastSection(true);

    SendButton = new QPushButton(Tr("&Send"), this);
    DontSendButton = new QPushButton(Tr("&Don't send"), this);
    SendButton->setAutoDefault(false);
    DontSendButton->setAutoDefault(true);
    DontSendButton->setDefault(true);
    connect(SendButton, &QPushButton::clicked, this, &QDialog::accept);
    connect(DontSendButton, &QPushButton::clicked, this, &QDialog::reject);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    buttons->addWidget(SendButton);
    buttons->addWidget(DontSendButton);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(Question);
    layout->addWidget(Files, 1);
    layout->addLayout(buttons);
    resize(560, 300);
    DontSendButton->setFocus();

    connect(this, &QDialog::finished, this,
            [answer = std::move(answer)](int result) { answer(result == QDialog::Accepted); });
}

TAttachConfirmWindow* ShowAttachConfirm(const std::vector<handoff::OfferedFile>& files,
                                        std::function<void(bool send)> answer) {
    auto* window = new TAttachConfirmWindow(files, std::move(answer));
    window->setAttribute(Qt::WA_DeleteOnClose);
    window->show();
    window->raise();
    window->activateWindow();
    return window;
}

} // namespace nuvex
