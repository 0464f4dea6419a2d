#include "core/nuvex_form.h"

#include "core/button_presenter.h"
#include "core/nuvex_plugin.h"
#include "ui/pictures.h"

namespace nuvex {

TNuvexForm::TNuvexForm(TNuvexPlugin& plugin)
    : TMainForm(plugin), mail_(plugin),
      mailReadyMsg_(RegisterMessage(PluginName() + QStringLiteral("_READY"))) {
    timer_.setInterval(plugin.TickPeriodMs());
    connect(&timer_, &QTimer::timeout, this, [this] { mail_.Tick(); });
    timer_.start();
    SetTrayToolTip(DefaultTrayTip());
    SetTrayImage(Picture("TRAYICON"));
}

TNuvexForm::~TNuvexForm() = default;

void TNuvexForm::Shutdown() {
    // Stops the ticks and the pass; the process frame waits for the worker
    // (StopWork) before it gives the run mutex back.
    mail_.ShutdownController(0);
}

bool TNuvexForm::OnMessage(int message, qint64, qint64) {
    // The hand-off side only asks whether the window is there to answer.
    return message == mailReadyMsg_;
}

void TNuvexForm::FormTray::SetIcon(const QIcon& icon) {
    form_.SetTrayImage(icon.pixmap(32, 32).toImage());
}

void TNuvexForm::FormTray::SetToolTip(const QString& tip) {
    form_.SetTrayToolTip(tip);
}

} // namespace nuvex
