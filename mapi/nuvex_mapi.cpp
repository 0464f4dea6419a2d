// libNuvexDll.so: the Simple MAPI functions. Only MAPISendMail does work; it
// hands the message to the running program over the hand-off socket and
// starts brannock first when no copy runs. Every export answers
// MAPI_E_NOT_SUPPORTED, but MAPISendMail answers MAPI_E_ATTACHMENT_NOT_FOUND
// for a path it cannot hand over; no exception leaves the library.
#define NUVEX_MAPI_EXPORT __attribute__((visibility("default")))
#include "handoff/handoff_wire.h"
#include "lib/log.h"
#include "lib/named_objects.h"
#include "mapi/nuvexmapi.h"

#include <chrono>
#include <ctime>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace {

namespace handoff = nuvex::handoff;
namespace log = nuvex::log;

// The program handles a hand-off at once; this only bounds one that hangs.
constexpr int kReplyTimeoutMs = 30000;
// How long the caller is held while the program reads the attached files.
constexpr int kFilesTakenWaitMs = 60000;

std::uint32_t TickCount() {
    timespec ts{};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    const std::uint64_t ms =
        static_cast<std::uint64_t>(ts.tv_sec) * 1000u + static_cast<std::uint64_t>(ts.tv_nsec) / 1000000u;
    return static_cast<std::uint32_t>(ms);
}

std::string Text(const char* s) {
    return s ? std::string(s) : std::string();
}

// The running program's socket, with brannock started and awaited when no
// copy answers; empty when none appeared.
std::string ReachProgram() {
    std::string path = handoff::SocketPath();
    if (path.empty()) {
        log::Warning("mapi", "no folder for the hand-off socket");
        return std::string();
    }
    if (handoff::ReceiverPresent(path)) {
        return path;
    }
    const handoff::ForwardTiming timing = handoff::TimingFromEnvironment();
    const std::string host = handoff::FindHostProgram(handoff::OwnFolder());
    if (host.empty()) {
        log::Warning("mapi", "brannock was found neither beside the library nor on PATH");
    } else {
        handoff::StartDetached(host, {});
    }
    if (!handoff::WaitForReceiver(path, timing.polls, timing.intervalMs)) {
        log::Warning("mapi", "the mail program did not appear; the message was not handed over");
        return std::string();
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(timing.settleMs));
    return path;
}

// What MAPISendMail answers: its attachment error for a path that cannot be
// handed over, otherwise MAPI_E_NOT_SUPPORTED as every export does.
ULONG SendMail(const MapiMessage* message) {
    if (!message) {
        log::Warning("mapi", "MAPISendMail without a message");
        return MAPI_E_NOT_SUPPORTED;
    }
    if (message->nFileCount > 0 && !message->lpFiles) {
        log::Warning("mapi", "MAPISendMail: attachments counted but not given");
        return MAPI_E_NOT_SUPPORTED;
    }
    if (message->nFileCount > handoff::kMaxFiles) {
        log::Warning("mapi",
                     "MAPISendMail: more than " + std::to_string(handoff::kMaxFiles) + " attachments");
        return MAPI_E_NOT_SUPPORTED;
    }
    std::vector<std::string> files;
    files.reserve(message->nFileCount);
    for (ULONG i = 0; i < message->nFileCount; ++i) {
        // A line break would end the path early and start a line of the
        // caller's choosing (another FILE, another ID).
        std::string file = Text(message->lpFiles[i].lpszPathName);
        if (!handoff::IsOneLine(file)) {
            log::Warning("mapi", "MAPISendMail: an attachment path holds a line break; nothing was sent");
            return MAPI_E_ATTACHMENT_NOT_FOUND;
        }
        // The program runs in another folder: a relative path means ours.
        std::optional<std::string> absolute = handoff::AbsolutePath(file);
        if (!absolute) {
            log::Warning("mapi",
                         "MAPISendMail: the working folder is unknown for a relative attachment path");
            return MAPI_E_ATTACHMENT_NOT_FOUND;
        }
        files.push_back(std::move(*absolute));
    }
    const std::uint32_t id = TickCount();
    const std::string payload =
        handoff::MapiSendPayload(Text(message->lpszNoteText), Text(message->lpszSubject), files, id);
    if (payload.size() > handoff::kMaxPayloadBytes) {
        log::Warning("mapi", "MAPISendMail: the message is larger than a hand-off may be");
        return MAPI_E_NOT_SUPPORTED;
    }
    const std::string path = ReachProgram();
    if (path.empty()) {
        return MAPI_E_NOT_SUPPORTED;
    }
    if (!handoff::Call(path, static_cast<std::uint32_t>(handoff::Kind::MapiSend), payload, kReplyTimeoutMs)) {
        log::Warning("mapi", "the message did not reach the mail program");
        return MAPI_E_NOT_SUPPORTED;
    }
    // The event exists while the program's upload holds it; once it is set
    // the caller may delete its files.
    if (auto taken = nuvex::OpenEvent("NuvexSendTo" + std::to_string(id))) {
        if (!taken->Wait(kFilesTakenWaitMs)) {
            log::Warning("mapi", "the mail program did not take the files within a minute");
        }
    }
    return MAPI_E_NOT_SUPPORTED;
}

} // namespace

extern "C" {

ULONG MAPISendMail(LHANDLE, ULONG_PTR, lpMapiMessage lpMessage, FLAGS, ULONG) {
    try {
        return SendMail(lpMessage);
    } catch (...) {
        log::Caught("mapi", "MAPISendMail");
    }
    return MAPI_E_NOT_SUPPORTED;
}

ULONG MAPILogon(ULONG_PTR, char*, char*, FLAGS, ULONG, LPLHANDLE) {
    return MAPI_E_NOT_SUPPORTED;
}

ULONG MAPILogoff(LHANDLE, ULONG_PTR, FLAGS, ULONG) {
    return MAPI_E_NOT_SUPPORTED;
}

ULONG MAPISendDocuments(ULONG_PTR, char*, char*, char*, ULONG) {
    return MAPI_E_NOT_SUPPORTED;
}

ULONG MAPIFindNext(LHANDLE, ULONG_PTR, char*, char*, FLAGS, ULONG, char*) {
    return MAPI_E_NOT_SUPPORTED;
}

ULONG MAPIReadMail(LHANDLE, ULONG_PTR, char*, FLAGS, ULONG, lpMapiMessage*) {
    return MAPI_E_NOT_SUPPORTED;
}

ULONG MAPISaveMail(LHANDLE, ULONG_PTR, lpMapiMessage, FLAGS, ULONG, char*) {
    return MAPI_E_NOT_SUPPORTED;
}

ULONG MAPIDeleteMail(LHANDLE, ULONG_PTR, char*, FLAGS, ULONG) {
    return MAPI_E_NOT_SUPPORTED;
}

ULONG MAPIFreeBuffer(void*) {
    return MAPI_E_NOT_SUPPORTED;
}

ULONG MAPIAddress(LHANDLE, ULONG_PTR, char*, ULONG, char*, ULONG, lpMapiRecipDesc, FLAGS, ULONG, LPULONG,
                  lpMapiRecipDesc*) {
    return MAPI_E_NOT_SUPPORTED;
}

ULONG MAPIDetails(LHANDLE, ULONG_PTR, lpMapiRecipDesc, FLAGS, ULONG) {
    return MAPI_E_NOT_SUPPORTED;
}

ULONG MAPIResolveName(LHANDLE, ULONG_PTR, char*, FLAGS, ULONG, lpMapiRecipDesc*) {
    return MAPI_E_NOT_SUPPORTED;
}

} // extern "C"
