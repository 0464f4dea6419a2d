#pragma once
// Real xdg-mime against folders of the test's own (no system default, no
// desktop-specific back end) and a program of ours for the mail handlers to
// name: xdg-mime takes a handler only when its program exists.
#include "integration/sendto.h"
#include "lib/registry.h"
#include "tests/support/scoped_env.h"
#include "tests/support/temp_dir.h"

#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <memory>
#include <string>

namespace nuvex::test {

inline void WriteText(const std::string& path, const std::string& text) {
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    std::ofstream(path, std::ios::binary) << text;
}

class MailHandlerTest : public ::testing::Test {
protected:
    void SetUp() override {
        SetProcessRegistry(registry_.get());
        WriteText(program_, "#!/bin/sh\n");
        std::filesystem::permissions(program_, std::filesystem::perms::owner_all);
        SetSendToProgramPath(program_);
    }
    void TearDown() override {
        SetSendToProgramPath({});
        SetProcessRegistry(nullptr);
    }

    TempDir dir_;
    ScopedEnv data_{"XDG_DATA_HOME", dir_.file("data")};
    ScopedEnv config_{"XDG_CONFIG_HOME", dir_.file("config")};
    ScopedEnv dataDirs_{"XDG_DATA_DIRS", dir_.file("sysdata")};
    ScopedEnv configDirs_{"XDG_CONFIG_DIRS", dir_.file("sysconfig")};
    ScopedEnv desktop_{"XDG_CURRENT_DESKTOP", ""};
    ScopedEnv session_{"DESKTOP_SESSION", ""};
    std::unique_ptr<Registry> registry_ = MakeMemoryRegistry();
    std::string program_ = dir_.file("bin/nuvex");
};

} // namespace nuvex::test
