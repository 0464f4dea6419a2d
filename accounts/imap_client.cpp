#include "accounts/imap_client.h"

#include "accounts/connector_support.h"
#include "lib/log.h"
#include "lib/text.h"

#include <algorithm>
#include <openssl/evp.h>

namespace nuvex {

namespace {

// Untagged responses one command may bring: a server that floods them never
// reaches its tagged answer within the total time-out otherwise. A check's
// commands bring a few each (FETCH: one per message asked for).
constexpr std::size_t kMaxUntaggedPerCommand = 10000;

std::string Base64(std::string_view bytes) {
    std::string out(4 * ((bytes.size() + 2) / 3) + 1, '\0');
    int n =
        EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                        reinterpret_cast<const unsigned char*>(bytes.data()), static_cast<int>(bytes.size()));
    out.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
    return out;
}

std::string Quote(const std::string& text, const char* what) {
    auto quoted = ImapQuoted(text);
    if (!quoted) {
        throw ImapNegativeReply(std::string(what) + " holds a line break", "LOGIN", "NO", {});
    }
    return *quoted;
}

// "STATUS" reply values and EXAMINE codes into one status.
void TakeNumber(ImapFolderStatus& s, std::string_view name, std::uint64_t value) {
    auto v = static_cast<std::uint32_t>(std::min<std::uint64_t>(value, 0xffffffffu));
    if (text::EqualsNoCase(name, "MESSAGES")) {
        s.messages = v;
    } else if (text::EqualsNoCase(name, "UNSEEN")) {
        s.unseen = v;
    } else if (text::EqualsNoCase(name, "UIDNEXT")) {
        s.uidNext = v;
    } else if (text::EqualsNoCase(name, "UIDVALIDITY")) {
        s.uidValidity = v;
    }
}

std::string UidSet(const std::vector<std::uint32_t>& uids) {
    std::string out;
    for (std::uint32_t uid : uids) {
        if (!out.empty()) {
            out += ',';
        }
        out += std::to_string(uid);
    }
    return out;
}

} // namespace

ImapClient::ImapClient(Pop3Transport& transport, const Pop3Limits& limits, const ImapParseLimits& parse)
    : transport_(transport), limits_(limits), parse_(parse) {
    // A line may hold a long SEARCH answer; it is bounded by the response bound.
    limits_.maxLineBytes = std::max(limits_.maxLineBytes, parse_.maxResponseBytes);
}

std::string ImapClient::NextTag() {
    return "n" + std::to_string(++tagCounter_);
}

ImapResponse ImapClient::ReadResponse() {
    std::string wire = transport_.ReadLine();
    for (;;) {
        std::optional<std::size_t> literal = TrailingLiteralSize(wire, parse_);
        if (!literal) {
            break;
        }
        if (wire.size() + *literal > parse_.maxResponseBytes) {
            throw ImapProtocolError("response beyond its size bound");
        }
        wire += "\r\n";
        wire += transport_.ReadBytes(*literal);
        std::string rest = transport_.ReadLine();
        if (wire.size() + rest.size() > parse_.maxResponseBytes) {
            throw ImapProtocolError("response beyond its size bound");
        }
        wire += rest;
    }
    return ParseImapResponse(wire, parse_);
}

void ImapClient::TakeCodeCapabilities(const ImapResponse& r) {
    if (r.code != "CAPABILITY") {
        return;
    }
    capabilities_.clear();
    std::string_view rest = r.codeArgs;
    while (!rest.empty() && capabilities_.size() < 256) {
        std::size_t blank = rest.find(' ');
        std::string_view word = rest.substr(0, blank);
        if (!word.empty()) {
            capabilities_.push_back(text::ToUpperAscii(word));
        }
        rest = blank == std::string_view::npos ? std::string_view() : rest.substr(blank + 1);
    }
}

void ImapClient::ReadCapabilities(const ImapResponse& r) {
    if (r.kind != ImapResponse::Kind::Untagged || r.keyword != "CAPABILITY") {
        return;
    }
    capabilities_.clear();
    for (const ImapValue& v : r.values) {
        if (v.kind == ImapValue::Kind::Atom && capabilities_.size() < 256) {
            capabilities_.push_back(text::ToUpperAscii(v.text));
        }
    }
}

bool ImapClient::Offers(std::string_view name) {
    if (capabilities_.empty()) {
        AskCapabilities();
    }
    return HasCapability(name);
}

bool ImapClient::HasCapability(std::string_view name) const {
    return std::find(capabilities_.begin(), capabilities_.end(), text::ToUpperAscii(name)) !=
           capabilities_.end();
}

void ImapClient::AskCapabilities() {
    Command("CAPABILITY", "CAPABILITY", [this](const ImapResponse& r) { ReadCapabilities(r); });
}

void ImapClient::Command(const std::string& line, const std::string& word,
                         const std::function<void(const ImapResponse&)>& each) {
    const std::string tag = NextTag();
    transport_.Write(tag + " " + line + "\r\n");
    std::size_t untagged = 0;
    for (;;) {
        ImapResponse r = ReadResponse();
        if (r.kind == ImapResponse::Kind::Tagged) {
            if (r.tag != tag) {
                throw ImapProtocolError("answer to a command never sent: " + ServerExcerpt(r.tag));
            }
            TakeCodeCapabilities(r);
            if (r.status != "OK") {
                throw ImapNegativeReply(
                    ServerExcerpt(r.status + (r.code.empty() ? "" : " [" + r.code + "]") + " " + r.text),
                    word, r.status, r.code);
            }
            return;
        }
        if (r.kind == ImapResponse::Kind::Continuation) {
            throw ImapProtocolError("unexpected continuation to " + word);
        }
        if (r.status == "BYE") {
            throw ImapNegativeReply(ServerExcerpt("BYE " + r.text), word, "BYE", r.code);
        }
        if (++untagged > kMaxUntaggedPerCommand) {
            throw ImapProtocolError("too many untagged responses to " + word);
        }
        if (r.status == "OK" && r.code == "ALERT") {
            log::Warning("imap", "server alert: " + ServerExcerpt(r.text));
        }
        TakeCodeCapabilities(r);
        ReadCapabilities(r);
        if (each) {
            each(r);
        }
    }
}

void ImapClient::Connect(const std::string& host, int port, ImapSecurity security) {
    capabilities_.clear();
    transport_.Open(host, port, security == ImapSecurity::Tls, limits_);
    ImapResponse greeting = ReadResponse();
    if (greeting.kind != ImapResponse::Kind::Untagged || !greeting.IsStatus()) {
        throw ImapProtocolError("greeting is not a status response");
    }
    if (greeting.status == "BYE" || greeting.status == "NO" || greeting.status == "BAD") {
        throw ImapNegativeReply(ServerExcerpt(greeting.status + " " + greeting.text), {}, greeting.status,
                                greeting.code);
    }
    if (greeting.status == "PREAUTH" && security == ImapSecurity::StartTls) {
        // An authenticated plain session cannot be upgraded any more.
        throw ImapNoStartTls("server logged in before STARTTLS could be asked for");
    }
    TakeCodeCapabilities(greeting);
    if (security != ImapSecurity::StartTls) {
        return;
    }
    if (capabilities_.empty()) {
        AskCapabilities();
    }
    if (!HasCapability("STARTTLS")) {
        throw ImapNoStartTls("server does not offer STARTTLS");
    }
    Command("STARTTLS", "STARTTLS");
    transport_.StartTls(host);
    // What was said in plain text may have been forged: ask again.
    capabilities_.clear();
}

void ImapClient::Login(const std::string& user, const std::string& password) {
    if (capabilities_.empty()) {
        AskCapabilities();
    }
    for (const std::string* s : {&user, &password}) {
        if (s->find_first_of(std::string_view("\r\n\0", 3)) != std::string::npos) {
            throw ImapNegativeReply("login name or password holds a line break", "LOGIN", "NO", {});
        }
    }
    const bool plain = HasCapability("AUTH=PLAIN");
    const bool saslIr = HasCapability("SASL-IR");
    const bool loginDisabled = HasCapability("LOGINDISABLED");
    // They may differ once logged in: the login's answer often names them,
    // else they are asked again when needed.
    capabilities_.clear();
    if (plain) {
        const std::string token = Base64(std::string(1, '\0') + user + std::string(1, '\0') + password);
        if (saslIr) {
            Command("AUTHENTICATE PLAIN " + token, "AUTHENTICATE");
        } else {
            const std::string tag = NextTag();
            transport_.Write(tag + " AUTHENTICATE PLAIN\r\n");
            ImapResponse r = ReadResponse();
            if (r.kind == ImapResponse::Kind::Continuation) {
                transport_.Write(token + "\r\n");
                r = ReadResponse();
            }
            std::size_t untagged = 0;
            while (r.kind == ImapResponse::Kind::Untagged && r.status != "BYE") {
                if (++untagged > kMaxUntaggedPerCommand) {
                    throw ImapProtocolError("too many untagged responses to AUTHENTICATE");
                }
                ReadCapabilities(r);
                r = ReadResponse();
            }
            if (r.kind != ImapResponse::Kind::Tagged || r.tag != tag || r.status != "OK") {
                throw ImapNegativeReply(
                    ServerExcerpt(r.status + (r.code.empty() ? "" : " [" + r.code + "]") + " " + r.text),
                    "AUTHENTICATE", r.status.empty() ? "BAD" : r.status, r.code);
            }
            TakeCodeCapabilities(r);
        }
    } else if (loginDisabled) {
        throw ImapNegativeReply("server refuses LOGIN on this connection (LOGINDISABLED)", "LOGIN", "NO", {});
    } else {
        Command("LOGIN " + Quote(user, "login name") + " " + Quote(password, "password"), "LOGIN");
    }
}

ImapFolderStatus ImapClient::Status(const std::string& folder) {
    ImapFolderStatus s;
    const std::string name = Quote(ImapEncodeFolder(folder), "folder name");
    Command(
        "STATUS " + name + " (MESSAGES UNSEEN UIDNEXT UIDVALIDITY)", "STATUS", [&](const ImapResponse& r) {
            if (r.keyword != "STATUS" || r.values.size() < 2 || r.values[1].kind != ImapValue::Kind::List) {
                return;
            }
            const auto& items = r.values[1].items;
            for (std::size_t i = 0; i + 1 < items.size(); i += 2) {
                if (items[i + 1].kind == ImapValue::Kind::Number) {
                    TakeNumber(s, items[i].text, items[i + 1].number);
                }
            }
        });
    return s;
}

ImapFolderStatus ImapClient::Examine(const std::string& folder) {
    ImapFolderStatus s;
    const std::string name = Quote(ImapEncodeFolder(folder), "folder name");
    Command("EXAMINE " + name, "EXAMINE", [&](const ImapResponse& r) {
        if (r.keyword == "EXISTS" && r.number) {
            s.messages = *r.number;
        } else if (r.status == "OK" && (r.code == "UIDNEXT" || r.code == "UIDVALIDITY")) {
            std::string_view digits = text::TrimView(r.codeArgs);
            std::uint64_t value = 0;
            bool ok = !digits.empty() && digits.size() <= 10;
            for (char c : digits) {
                ok = ok && c >= '0' && c <= '9';
                value = value * 10 + static_cast<std::uint64_t>(c - '0');
            }
            if (ok) {
                TakeNumber(s, r.code, value);
            }
        }
    });
    return s;
}

std::vector<std::uint32_t> ImapClient::UnseenFrom(std::uint32_t from) {
    std::vector<std::uint32_t> uids;
    const std::uint32_t start = std::max<std::uint32_t>(from, 1);
    Command("UID SEARCH UNSEEN UID " + std::to_string(start) + ":*", "SEARCH", [&](const ImapResponse& r) {
        if (r.keyword != "SEARCH") {
            return;
        }
        for (const ImapValue& v : r.values) {
            // "n:*" always takes in the highest UID, even one below n.
            if (v.kind == ImapValue::Kind::Number && v.number >= start && v.number <= 0xffffffffu) {
                uids.push_back(static_cast<std::uint32_t>(v.number));
            }
        }
    });
    std::sort(uids.begin(), uids.end());
    uids.erase(std::unique(uids.begin(), uids.end()), uids.end());
    return uids;
}

std::vector<ImapFetchedMessage> ImapClient::FetchPreviews(const std::vector<std::uint32_t>& uids,
                                                          std::size_t textBytes) {
    std::vector<ImapFetchedMessage> out;
    if (uids.empty()) {
        return out;
    }
    Command(
        "UID FETCH " + UidSet(uids) +
            " (UID BODY.PEEK[HEADER.FIELDS (FROM SUBJECT DATE CONTENT-TYPE CONTENT-TRANSFER-ENCODING)] "
            "BODY.PEEK[TEXT]<0." +
            std::to_string(textBytes) + ">)",
        "FETCH", [&](const ImapResponse& r) {
            if (r.keyword != "FETCH" || r.values.size() != 1 || r.values[0].kind != ImapValue::Kind::List) {
                return;
            }
            ImapFetchedMessage m;
            const auto& items = r.values[0].items;
            for (std::size_t i = 0; i + 1 < items.size(); i += 2) {
                const ImapValue& name = items[i];
                const ImapValue& value = items[i + 1];
                if (name.IsAtom("UID") && value.kind == ImapValue::Kind::Number) {
                    m.uid = static_cast<std::uint32_t>(std::min<std::uint64_t>(value.number, 0xffffffffu));
                } else if (name.kind == ImapValue::Kind::Atom &&
                           text::StartsWithNoCase(name.text, "BODY[HEADER")) {
                    m.header = value.text;
                } else if (name.kind == ImapValue::Kind::Atom &&
                           text::StartsWithNoCase(name.text, "BODY[TEXT]")) {
                    m.text = value.text;
                }
            }
            // Only the messages asked for: a server may add flag updates of others.
            if (m.uid != 0 && std::binary_search(uids.begin(), uids.end(), m.uid) &&
                out.size() < uids.size()) {
                out.push_back(std::move(m));
            }
        });
    return out;
}

void ImapClient::StartIdle() {
    idleTag_ = NextTag();
    transport_.Write(idleTag_ + " IDLE\r\n");
    for (std::size_t untagged = 0;; ++untagged) {
        ImapResponse r = ReadResponse();
        if (r.kind == ImapResponse::Kind::Continuation) {
            return;
        }
        if (r.kind == ImapResponse::Kind::Tagged) {
            throw ImapNegativeReply(ServerExcerpt(r.status + " " + r.text), "IDLE", r.status, r.code);
        }
        if (r.status == "BYE") {
            throw ImapNegativeReply(ServerExcerpt("BYE " + r.text), "IDLE", "BYE", r.code);
        }
        if (untagged > kMaxUntaggedPerCommand) {
            throw ImapProtocolError("too many untagged responses to IDLE");
        }
    }
}

void ImapClient::EndIdle() {
    transport_.Write("DONE\r\n");
    for (std::size_t untagged = 0;; ++untagged) {
        ImapResponse r = ReadResponse();
        if (r.kind == ImapResponse::Kind::Tagged && r.tag == idleTag_) {
            return;
        }
        if (r.status == "BYE") {
            throw ImapNegativeReply(ServerExcerpt("BYE " + r.text), "IDLE", "BYE", r.code);
        }
        if (untagged > kMaxUntaggedPerCommand) {
            throw ImapProtocolError("too many untagged responses after DONE");
        }
    }
}

void ImapClient::Logout() {
    if (!transport_.IsOpen()) {
        return;
    }
    bool bye = false;
    try {
        const std::string tag = NextTag();
        transport_.Write(tag + " LOGOUT\r\n");
        for (std::size_t untagged = 0; untagged <= kMaxUntaggedPerCommand; ++untagged) {
            ImapResponse r = ReadResponse();
            bye = bye || r.status == "BYE";
            if (r.kind == ImapResponse::Kind::Tagged) {
                break;
            }
        }
    } catch (...) {
        // A server that closes right after its BYE ends the session as asked.
        if (bye) {
            log::Debug("imap", "LOGOUT: the server closed after its BYE");
        } else {
            log::Caught("imap", "LOGOUT");
        }
    }
    transport_.Close();
}

} // namespace nuvex
