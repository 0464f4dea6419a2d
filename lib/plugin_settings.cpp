#include "lib/plugin_settings.h"

#include "lib/host_config.h"
#include "lib/log.h"

#include <algorithm>
#include <charconv>

namespace nuvex {

std::string EnabledKey(std::string_view pluginName) {
    return std::string(pluginName) + std::string(keys::kEnabledSuffix);
}

std::string AllowTypeKey(std::string_view typeCode) {
    return std::string(keys::kAllowTypePrefix) + std::string(typeCode);
}

PluginSettings::PluginSettings(const std::string& pluginName) : enabledKey_(EnabledKey(pluginName)) {}

void PluginSettings::Remember(std::string_view key, std::string value) {
    std::lock_guard lock(mutex_);
    last_.insert_or_assign(std::string(key), std::move(value));
}

std::optional<std::string> PluginSettings::Last(std::string_view key) const {
    std::lock_guard lock(mutex_);
    auto it = last_.find(key);
    if (it == last_.end()) {
        return std::nullopt;
    }
    return it->second;
}

bool PluginSettings::ReadBool(HostConfig* cfg, std::string_view key, bool fallback) {
    std::optional<bool> v = cfg ? cfg->ReadCfgBool(key) : std::nullopt;
    if (v) {
        Remember(key, *v ? "1" : "0");
        return *v;
    }
    log::Warning("plugin", "reading " + std::string(key) + " failed; the last known value stays");
    if (auto last = Last(key)) {
        return *last == "1";
    }
    return fallback;
}

std::int32_t PluginSettings::ReadInt(HostConfig* cfg, std::string_view key, std::int32_t fallback) {
    std::optional<std::int32_t> v = cfg ? cfg->ReadCfgInt(key) : std::nullopt;
    if (v) {
        Remember(key, std::to_string(*v));
        return *v;
    }
    log::Warning("plugin", "reading " + std::string(key) + " failed; the last known value stays");
    if (auto last = Last(key)) {
        const std::string_view digits = *last;
        std::int32_t out = fallback;
        std::from_chars(digits.data(), digits.data() + digits.size(), out);
        return out;
    }
    return fallback;
}

std::string PluginSettings::Text(HostConfig* cfg, std::string_view key) {
    std::optional<std::string> v = cfg ? cfg->ReadCfgStr(key) : std::nullopt;
    if (v) {
        Remember(key, *v);
        return *v;
    }
    log::Warning("plugin", "reading " + std::string(key) + " failed; the last known value stays");
    return Last(key).value_or(std::string());
}

bool PluginSettings::Enabled(HostConfig* cfg) {
    return ReadBool(cfg, enabledKey_, false);
}

bool PluginSettings::ShowTray(HostConfig* cfg) {
    return ReadBool(cfg, keys::kShowTray, false);
}

bool PluginSettings::Autostart(HostConfig* cfg) {
    return ReadBool(cfg, keys::kAutostart, false);
}

ButtonShow PluginSettings::ShowButton(HostConfig* cfg) {
    return ButtonShow{ReadInt(cfg, keys::kShowButton, 0)};
}

bool PluginSettings::ButtonRunsAccountAction(HostConfig* cfg) {
    return ReadInt(cfg, keys::kButtonAction, 0) != 0;
}

std::string PluginSettings::ButtonAccount(HostConfig* cfg) {
    return Text(cfg, keys::kButtonAccount);
}

bool PluginSettings::ReadChoice(HostConfig* cfg, std::string_view key, bool keep) {
    std::optional<std::string> text = cfg ? cfg->ReadCfgStr(key) : std::nullopt;
    if (!text) {
        log::Warning("plugin", "reading " + std::string(key) + " failed; the last known value stays");
        return keep;
    }
    if (text->empty()) {
        return keep;
    }
    return cfg->ReadCfgBool(key).value_or(keep);
}

NotifyChoices PluginSettings::Choices(HostConfig* cfg, const NotifyChoices& keep) {
    NotifyChoices out;
    out.showWindow = ReadChoice(cfg, keys::kShowWindow, keep.showWindow);
    out.playSound = ReadChoice(cfg, keys::kPlaySound, keep.playSound);
    out.changeTray = ReadChoice(cfg, keys::kChangeTray, keep.changeTray);
    out.currentBrowserWindow = ReadChoice(cfg, keys::kCurrentBrowserWindow, keep.currentBrowserWindow);
    return out;
}

std::int32_t PluginSettings::ParallelChecks(HostConfig* cfg) {
    const std::string text = Text(cfg, keys::kParallelChecks);
    std::int32_t value = keys::kParallelChecksDefault;
    const char* end = text.data() + text.size();
    auto [at, error] = std::from_chars(text.data(), end, value);
    if (text.empty() || error != std::errc() || at != end) {
        return keys::kParallelChecksDefault;
    }
    return std::clamp(value, std::int32_t{1}, keys::kParallelChecksMax);
}

bool PluginSettings::WriteEnabled(HostConfig* cfg, bool enabled) {
    if (!cfg || !cfg->WriteCfgBool(enabledKey_, enabled)) {
        log::Warning("plugin", "writing " + enabledKey_ + " failed");
        return false;
    }
    Remember(enabledKey_, enabled ? "1" : "0");
    return true;
}

bool PluginSettings::WriteShowTray(HostConfig* cfg, bool shown) {
    if (!cfg || !cfg->WriteCfgBool(keys::kShowTray, shown)) {
        log::Warning("plugin", "writing SHOW_TRAY failed");
        return false;
    }
    Remember(keys::kShowTray, shown ? "1" : "0");
    return true;
}

} // namespace nuvex
