#include "core/entry.h"
#include "core/nuvex_plugin.h"

#include <QGuiApplication>
#include <memory>

int main(int argc, char** argv) {
    return nuvex::NuvexEntry(argc, argv, [] {
        auto plugin = std::make_unique<nuvex::TNuvexPlugin>();
        plugin->SetShowsWindows(QGuiApplication::platformName() != QLatin1String("offscreen"));
        return plugin;
    });
}
