#include "lib/stop_signal.h"

#include "lib/log.h"

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string>
#include <sys/eventfd.h>
#include <unistd.h>

namespace nuvex {

StopSignal::StopSignal() {
    fd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (fd_ < 0) {
        log::Warning("events", std::string("eventfd for the stop signal failed: ") + std::strerror(errno));
    }
}

StopSignal::~StopSignal() {
    if (fd_ >= 0) {
        ::close(fd_);
    }
}

void StopSignal::Raise() noexcept {
    if (raised_.exchange(true, std::memory_order_acq_rel)) {
        return;
    }
    if (fd_ >= 0) {
        const std::uint64_t one = 1;
        // Non-blocking: a full counter still polls readable, which is all we need.
        [[maybe_unused]] const ssize_t n = ::write(fd_, &one, sizeof one);
    }
}

} // namespace nuvex
