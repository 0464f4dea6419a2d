#include "core/nuvex_form.h"

#include "core/plugin_process.h"
#include "ui/pictures.h"

namespace nuvex {

TNuvexForm::TNuvexForm(Calls calls)
    : TMainForm(std::move(calls.execCommand)), tick_(std::move(calls.tick)),
      shutdown_(std::move(calls.shutdown)),
      mailReadyMsg_(RegisterMessage(PluginName() + QStringLiteral("_READY"))) {
    timer_.setInterval(calls.tickPeriodMs);
    connect(&timer_, &QTimer::timeout, this, [this] { tick_(); });
    timer_.start();
    SetTrayImage(Picture("TRAYICON"));
}

TNuvexForm::~TNuvexForm() = default;

void TNuvexForm::Shutdown() {
    // Stops the ticks and the pass; the process frame waits for the worker
    // (StopWork) before it gives the run mutex back.
    shutdown_();
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
