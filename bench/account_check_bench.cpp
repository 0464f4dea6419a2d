// `nuvex-account check` as a whole process, without a running host, beside
// `fetchmail --check`, both against the same 5000-message maildrop of the
// private dovecot with nothing new since the last check. The account lives in
// a throw-away host settings file; the session bus named in the environment
// does not exist, so no host or plug-in of the user's is reached.
#include "tests/support/dovecot_harness.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <iostream>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <vector>

namespace {

constexpr int kMessages = 5000;
constexpr int kRepetitions = 21;

std::string Quote(const std::string& text) {
    return "'" + text + "'";
}

// Exit status of a shell command line, -1 when it did not end normally.
int Run(const std::string& commandLine) {
    int status = std::system(commandLine.c_str());
    return status != -1 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

} // namespace

int main() {
    std::string why = nuvex::test::DovecotHarness::Unavailable();
    if (!why.empty()) {
        std::cerr << "account_check_bench: " << why << "\n";
        return 1;
    }
    nuvex::test::DovecotHarness dovecot;
    dovecot.AddUser("bench", "bench pw");
    dovecot.Deliver("bench", 1, kMessages);
    std::string error;
    if (!dovecot.Start(error)) {
        std::cerr << "account_check_bench: " << error << "\n";
        return 1;
    }
    const std::string dir = dovecot.Dir();
    for (const char* sub : {"/home", "/config", "/config/brannock", "/runtime", "/objects"}) {
        ::mkdir((dir + sub).c_str(), 0700);
    }
    // An empty file is an empty SQLite database: the tool does not make one itself.
    std::ofstream(dir + "/config/brannock/settings.db").close();
    const std::string env =
        "env HOME=" + Quote(dir + "/home") + " XDG_CONFIG_HOME=" + Quote(dir + "/config") +
        " XDG_RUNTIME_DIR=" + Quote(dir + "/runtime") + " NUVEX_OBJECTS_DIR=" + Quote(dir + "/objects") +
        " DBUS_SESSION_BUS_ADDRESS=unix:path=" + Quote(dir + "/no-bus") + " QT_QPA_PLATFORM=offscreen ";
    const std::string tool = env + Quote(std::string(NUVEX_BINARY_DIR) + "/core/nuvex-account");
    const std::string quiet = " >>" + Quote(dir + "/tool.log") + " 2>&1";
    if (Run("echo 'bench pw' | " + tool + " add --type pop3 --email bench@example.org --login bench " +
            "--server 127.0.0.1 --port " + std::to_string(dovecot.Pop3Port()) + " --password-stdin" +
            quiet) != 0 ||
        Run(tool + " check Pop3_0 --commit" + quiet) != 0) {
        std::cerr << "account_check_bench: the account could not be stored and checked; see " << dir
                  << "/tool.log\n";
        return 1;
    }
    const std::string check = tool + " check Pop3_0" + quiet;

    const std::string rc = dir + "/fetchmailrc";
    {
        std::ofstream f(rc);
        f << "set no syslog\npoll 127.0.0.1 with proto POP3 port " << dovecot.Pop3Port()
          << "\n  user \"bench\" there with password \"bench pw\" is root here\n  sslproto ''\n";
    }
    ::chmod(rc.c_str(), 0600);
    const std::string fetchmail = "HOME=" + Quote(dir + "/home") + " fetchmail --check -f " + Quote(rc) +
                                  " -i " + Quote(dir + "/fetchids") + " >>" + Quote(dir + "/fetchmail.log") +
                                  " 2>&1";

    // In turn, round after round, so that load from elsewhere falls on both alike.
    std::vector<double> ours;
    std::vector<double> theirs;
    int ourFailures = 0;
    int theirFailures = 0;
    auto timed = [](const std::string& commandLine, int& status) {
        auto start = std::chrono::steady_clock::now();
        status = Run(commandLine);
        return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    };
    for (int i = 0; i <= kRepetitions; ++i) {
        int status = 0;
        double a = timed(check, status);
        bool ourOk = status == 1; // 1: nothing new
        double b = timed(fetchmail, status);
        bool theirOk = status == 0 || status == 1;
        if (i == 0) {
            continue; // warm-up
        }
        ours.push_back(a);
        theirs.push_back(b);
        ourFailures += ourOk ? 0 : 1;
        theirFailures += theirOk ? 0 : 1;
    }
    std::sort(ours.begin(), ours.end());
    std::sort(theirs.begin(), theirs.end());
    const double ourMedian = ours[ours.size() / 2];
    const double theirMedian = theirs[theirs.size() / 2];
    std::printf("Whole-process check of a %d-message maildrop, nothing new (median of %d)\n", kMessages,
                kRepetitions);
    std::printf("  fetchmail --check         %8.2f ms  (failures %d)\n", theirMedian, theirFailures);
    std::printf("  nuvex-account check       %8.2f ms  ratio %.2f  (failures %d)\n", ourMedian,
                ourMedian / theirMedian, ourFailures);
    return ourFailures == 0 ? 0 : 1;
}
