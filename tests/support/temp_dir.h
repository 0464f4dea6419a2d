#pragma once
#include <string>

namespace nuvex::test {

// A private temporary folder removed with everything in it when the object dies.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

// s as one word for sh, whatever it holds.
std::string ShellQuote(const std::string& s);

// A loopback TCP port that was free a moment ago.
int FreeLoopbackPort();

// Whether something takes connections on the loopback port.
bool LoopbackAccepts(int port);

} // namespace nuvex::test
