#include "integration/mail_program_bridge.h"

#include "lib/command_line.h"
#include "lib/text.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <set>

namespace nuvex {

namespace {

constexpr std::string_view kMailClientsKey = "software\\clients\\mail";
constexpr std::string_view kCommandSuffix = "\\shell\\open\\command";
constexpr std::string_view kOwnDesktopId = "nuvex";
constexpr std::size_t kMaxDesktopFileBytes = std::size_t{256} * 1024;

std::string Canonical(std::string_view key) {
    std::string k = text::ToLowerAscii(NormalizeKeyPath(key));
    while (!k.empty() && k.front() == '\\') {
        k.erase(k.begin());
    }
    return k;
}

std::string Env(const char* name) {
    const char* v = std::getenv(name);
    return v ? v : "";
}

// A bare program name through PATH; as given when it names a path or is not found.
std::string FindInPath(const std::string& program) {
    std::string path = Env("PATH");
    if (path.empty()) {
        path = "/usr/local/bin:/usr/bin:/bin";
    }
    const std::string found = ResolveProgram(program, path);
    return found.empty() ? program : found;
}

// A word that is a field code alone ("%u", "%F", ...) stands for the files or
// URLs of the launch; this program hands none, so the word goes. Field codes
// inside a word go too; "%%" is a literal percent sign.
std::optional<std::string> WithoutFieldCodes(const std::string& word) {
    if (word.size() == 2 && word[0] == '%' && word[1] != '%') {
        return std::nullopt;
    }
    std::string out;
    for (std::size_t i = 0; i < word.size(); ++i) {
        if (word[i] == '%' && i + 1 < word.size()) {
            if (word[i + 1] == '%') {
                out += '%';
            }
            ++i;
            continue;
        }
        out += word[i];
    }
    return out;
}

struct DesktopEntry {
    std::string name, exec, mime, type;
    bool hidden = false;
};

bool ReadDesktopEntry(const std::filesystem::path& file, DesktopEntry& entry) {
    std::error_code ec;
    if (std::filesystem::file_size(file, ec) > kMaxDesktopFileBytes || ec) {
        return false;
    }
    std::ifstream in(file);
    if (!in) {
        return false;
    }
    std::string line;
    bool inMain = false;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        if (!line.empty() && line[0] == '[') {
            inMain = line == "[Desktop Entry]";
            continue;
        }
        if (!inMain) {
            continue;
        }
        std::size_t eq = line.find('=');
        if (eq == std::string::npos) {
            continue;
        }
        std::string key = line.substr(0, eq);
        while (!key.empty() && key.back() == ' ') {
            key.pop_back();
        }
        std::string value = line.substr(eq + 1);
        value.erase(0, value.find_first_not_of(' ') == std::string::npos ? value.size()
                                                                         : value.find_first_not_of(' '));
        if (key == "Name") {
            entry.name = value;
        } else if (key == "Exec") {
            entry.exec = value;
        } else if (key == "MimeType") {
            entry.mime = value;
        } else if (key == "Type") {
            entry.type = value;
        } else if (key == "Hidden") {
            entry.hidden = value == "true";
        }
    }
    return true;
}

bool HandlesMailto(const std::string& mime) {
    std::size_t start = 0;
    while (start < mime.size()) {
        std::size_t end = mime.find(';', start);
        std::string item = mime.substr(start, end == std::string::npos ? std::string::npos : end - start);
        if (text::ToLowerAscii(item) == "x-scheme-handler/mailto") {
            return true;
        }
        if (end == std::string::npos) {
            break;
        }
        start = end + 1;
    }
    return false;
}

} // namespace

std::vector<std::string> DesktopEntryDirs() {
    std::vector<std::string> dirs;
    std::string home = Env("XDG_DATA_HOME");
    if (home.empty() && !Env("HOME").empty()) {
        home = Env("HOME") + "/.local/share";
    }
    if (!home.empty()) {
        dirs.push_back(home + "/applications");
    }
    std::string data = Env("XDG_DATA_DIRS");
    if (data.empty()) {
        data = "/usr/local/share:/usr/share";
    }
    std::size_t start = 0;
    while (start <= data.size()) {
        std::size_t end = data.find(':', start);
        std::string dir = data.substr(start, end == std::string::npos ? std::string::npos : end - start);
        if (!dir.empty()) {
            dirs.push_back(dir + "/applications");
        }
        if (end == std::string::npos) {
            break;
        }
        start = end + 1;
    }
    return dirs;
}

std::string DesktopExecToCommand(const std::string& exec) {
    const auto words = SplitCommandLine(exec);
    if (!words) {
        return {};
    }
    std::vector<std::string> argv;
    for (const std::string& word : *words) {
        if (auto kept = WithoutFieldCodes(word)) {
            argv.push_back(std::move(*kept));
        }
    }
    if (argv.empty() || argv.front().empty()) {
        return {};
    }
    argv.front() = FindInPath(argv.front());
    return JoinCommandLine(argv);
}

std::vector<DesktopMailProgram> ScanMailDesktopEntries(const std::vector<std::string>& dirs) {
    std::vector<DesktopMailProgram> programs;
    std::set<std::string> seen;
    for (const std::string& dir : dirs) {
        std::error_code ec;
        std::vector<std::filesystem::path> files;
        for (std::filesystem::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
            if (it->path().extension() == ".desktop") {
                files.push_back(it->path());
            }
        }
        std::sort(files.begin(), files.end());
        for (const auto& file : files) {
            std::string id = file.stem().string();
            // Our own mailto entry is the client "VostrelMail" of the store,
            // which the mail-program lists leave out; it is not a program to open.
            if (!seen.insert(id).second || id == kOwnDesktopId) {
                continue;
            }
            DesktopEntry entry;
            if (!ReadDesktopEntry(file, entry) || entry.hidden || entry.exec.empty() ||
                (!entry.type.empty() && entry.type != "Application") || !HandlesMailto(entry.mime)) {
                continue;
            }
            programs.push_back({id, entry.name.empty() ? id : entry.name, DesktopExecToCommand(entry.exec)});
        }
    }
    return programs;
}

MailProgramBridge::MailProgramBridge(Registry& inner, std::vector<std::string> dirs)
    : inner_(inner), dirs_(std::move(dirs)) {}

void MailProgramBridge::Refresh() {
    programs_ = ScanMailDesktopEntries(dirs_);
}

const DesktopMailProgram* MailProgramBridge::Match(RegRoot root, std::string_view key, bool& commandKey,
                                                   bool& listKey) {
    commandKey = false;
    listKey = false;
    if (root != RegRoot::HKLM) {
        return nullptr;
    }
    std::string k = Canonical(key);
    if (k == kMailClientsKey) {
        listKey = true;
        return nullptr;
    }
    std::string prefix = std::string(kMailClientsKey) + "\\";
    if (k.compare(0, prefix.size(), prefix) != 0) {
        return nullptr;
    }
    std::string rest = k.substr(prefix.size());
    if (rest.size() > kCommandSuffix.size() &&
        rest.compare(rest.size() - kCommandSuffix.size(), kCommandSuffix.size(), kCommandSuffix) == 0) {
        rest.resize(rest.size() - kCommandSuffix.size());
        commandKey = true;
    }
    if (rest.find('\\') != std::string::npos) {
        return nullptr;
    }
    Refresh();
    for (const auto& program : programs_) {
        if (text::ToLowerAscii(program.id) == rest) {
            return &program;
        }
    }
    return nullptr;
}

bool MailProgramBridge::KeyExists(RegRoot root, std::string_view key) {
    if (inner_.KeyExists(root, key)) {
        return true;
    }
    bool commandKey = false;
    bool listKey = false;
    const DesktopMailProgram* program = Match(root, key, commandKey, listKey);
    if (listKey) {
        Refresh();
        return !programs_.empty();
    }
    return program != nullptr;
}

std::optional<RegValue> MailProgramBridge::GetValue(RegRoot root, std::string_view key,
                                                    std::string_view name) {
    if (inner_.KeyExists(root, key)) {
        return inner_.GetValue(root, key, name);
    }
    bool commandKey = false;
    bool listKey = false;
    const DesktopMailProgram* program = Match(root, key, commandKey, listKey);
    if (!program || !name.empty()) {
        return inner_.GetValue(root, key, name);
    }
    return RegValue::Text(commandKey ? program->command : program->name);
}

std::vector<std::string> MailProgramBridge::SubKeys(RegRoot root, std::string_view key) {
    std::vector<std::string> keys = inner_.SubKeys(root, key);
    bool commandKey = false;
    bool listKey = false;
    Match(root, key, commandKey, listKey);
    if (!listKey) {
        return keys;
    }
    Refresh();
    std::set<std::string> present;
    for (const auto& k : keys) {
        present.insert(text::ToLowerAscii(k));
    }
    for (const auto& program : programs_) {
        if (present.insert(text::ToLowerAscii(program.id)).second) {
            keys.push_back(program.id);
        }
    }
    std::sort(keys.begin(), keys.end(), [](const std::string& a, const std::string& b) {
        return text::ToLowerAscii(a) < text::ToLowerAscii(b);
    });
    return keys;
}

std::vector<std::string> MailProgramBridge::ValueNames(RegRoot root, std::string_view key) {
    std::vector<std::string> names = inner_.ValueNames(root, key);
    bool commandKey = false;
    bool listKey = false;
    if (Match(root, key, commandKey, listKey) && names.empty()) {
        names.push_back("");
    }
    return names;
}

} // namespace nuvex
