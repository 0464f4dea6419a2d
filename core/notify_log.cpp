#include "core/notify_log.h"

#include "core/plugin_log.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace nuvex {

void LogNotification(std::int32_t total, const TNotifyMessages& mail, const TNotifyMessages& errors) {
    const char* path = std::getenv("NUVEX_NOTIFY_LOG");
    if (!path || !*path) {
        return;
    }
    const int fd = ::open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) {
        qCWarning(lcPlugin) << "the notification log cannot be opened:" << std::strerror(errno);
        return;
    }
    std::FILE* f = ::fdopen(fd, "a");
    if (!f) {
        ::close(fd);
        return;
    }
    std::fprintf(f, "notify total=%d mail=%d errors=%d\n", static_cast<int>(total), mail.Count(),
                 errors.Count());
    for (const TNotifyMessageItem& item : mail) {
        std::fprintf(f, "  mail kind=%d account=%s count=%d sender=%s subject=%s\n", item.ItemKind,
                     item.AccountRef.c_str(), static_cast<int>(item.Count), item.Sender.c_str(),
                     item.Subject.c_str());
    }
    for (const TNotifyMessageItem& item : errors) {
        std::fprintf(f, "  error account=%s subject=%s\n", item.AccountRef.c_str(), item.Subject.c_str());
    }
    std::fclose(f);
}

} // namespace nuvex
