#pragma once
// Brand values and Translate, through which every text the user sees passes.
#include <string>
#include <string_view>

namespace nuvex {

class Registry;

struct Branding {
    std::string brand, brandLong, brandCode, brandDomain, brandFolder;
};

// Reads the brand values from HKLM "Software\Brannock\" of the given registry,
// with defaults and write-back (CONFIG text as the second source). Runs once per
// process unless forced; Translate runs it against the process registry when it
// has not run yet.
void LoadBranding(Registry& registry, std::string_view configText, bool force = false);
const Branding& CurrentBranding();
std::string Translate(std::string_view text);

// The compiled-in CONFIG text (key=value lines separated by CR LF).
std::string_view ConfigResourceText();

} // namespace nuvex
