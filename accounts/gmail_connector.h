#pragma once
// Google Gmail accounts, watched in one of two ways ("CTYPE"): the Atom feed
// of unread mail over HTTPS with the account's credentials (0), or the POP3
// check of the base class against the provider's server, always on port 995
// with TLS whatever the stored settings say (any other value). Opening the
// mailbox and composing go to the provider's sign-in pages.
#include "accounts/pop3_connector.h"
#include "lib/http.h"

#include <optional>
#include <string>
#include <string_view>

namespace nuvex {

class TXMLTag;

// Host values that point this type elsewhere (tests, a mirror, a proxy). An
// unset or empty value takes the CONFIG text's default.
namespace gmail_keys {
inline constexpr std::string_view kLoginUrl = "GMAIL_LOGIN";
inline constexpr std::string_view kComposeUrl = "GMAIL_COMPOSE";
// The feed's https address.
inline constexpr std::string_view kFeedUrl = "GMAIL_FEED_URL";
// "host" or "host:port" of the POP3 server; the port defaults to 995.
inline constexpr std::string_view kPop3Server = "GMAIL_POP3_SERVER";
} // namespace gmail_keys

// The value of a host key, else the CONFIG text's default for it.
std::string GMailSetting(HostConfig* host, std::string_view key);

// Whether feed id a sorts after b: by the text before the trailing run of
// digits, then by that number (so that "...:1000" is newer than "...:999"),
// then by the whole text. A strict order for any ids.
bool FeedIdAfter(std::string_view a, std::string_view b);

class TNuvex_GMailConnector : public TNuvex_Pop3Connector {
public:
    TNuvex_GMailConnector(const TConnectorClass& cls, const AccountContext& context);

    int AfterCreate() override;
    void LoadTypeSettings(const TCryptURL& record) override;
    int Connect() override;
    int CheckMail() override;
    int OpenMailbox() override;
    int OpenMessage(const std::string& ref) override;
    int Compose() override;
    // An untrusted certificate of the feed server gets its own text, as for POP3.
    void TakeLastError(std::int32_t& code, std::string& text) override;

    // Fields added by this type (guarded by Guard()).
    std::string LoginUrl;
    std::string ComposeUrl;
    std::int32_t AccessType = 0; // "CTYPE": 0 the feed, else POP3

    // Bounds of one feed request; tests shorten the time-outs.
    HttpLimits FeedLimits;

private:
    struct FeedReply {
        std::string body;
        int status = 0;
        bool certificateRejected = false;
        NetProblem problem = NetProblem::None; // why no answer came
        std::string server;
    };
    FeedReply FetchFeed();
    int CheckFeed();
    // The fixed POP3 settings, with the server the host names (askHost) or
    // the default one (while loading, where the host is not asked).
    void ApplyPop3Settings(bool askHost);
    int OpenSignIn(bool compose);

    std::string badPop3Server_;     // the last unusable server value, logged once
    std::string untrustedFeedHost_; // the feed server whose certificate failed in the last check
};

const TConnectorClass& GMailConnectorClass();

} // namespace nuvex
