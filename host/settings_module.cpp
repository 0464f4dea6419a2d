// The entry of libbrannock_settings.so: the settings dialog behind the
// interface the host loads it by.
#include "host/settings_module.h"

#include "host/settings_dialog.h"

#include <QWebEngineView>

namespace nuvex::host {
namespace {

SettingsDialog* AsSettings(QDialog* dialog) {
    return qobject_cast<SettingsDialog*>(dialog);
}

class Module final : public SettingsModule {
public:
    int Version() const override { return kSettingsModuleVersion; }
    QDialog* Create(ToolbarHost& host, const QString& plugin, QWidget* parent) override {
        return new SettingsDialog(host, plugin, parent);
    }
    void LoadPages(QDialog* dialog) override {
        if (SettingsDialog* d = AsSettings(dialog)) {
            d->LoadPages();
        }
    }
    std::vector<QWidget*> Views(QDialog* dialog) override {
        std::vector<QWidget*> views;
        if (SettingsDialog* d = AsSettings(dialog)) {
            views.assign(d->Views().begin(), d->Views().end());
        }
        return views;
    }
    void SetConfirmAnswer(QDialog* dialog, std::function<bool(const QString&)> answer) override {
        if (SettingsDialog* d = AsSettings(dialog)) {
            d->SetConfirmAnswer(std::move(answer));
        }
    }
};

} // namespace
} // namespace nuvex::host

extern "C" __attribute__((visibility("default"))) nuvex::host::SettingsModule*
brannock_settings_module(int hostVersion) {
    static nuvex::host::Module module;
    return hostVersion == nuvex::host::kSettingsModuleVersion ? &module : nullptr;
}
