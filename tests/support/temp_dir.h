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

// A loopback TCP port that was free a moment ago.
int FreeLoopbackPort();

} // namespace nuvex::test
