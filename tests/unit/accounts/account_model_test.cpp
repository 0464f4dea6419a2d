// Loading stored accounts, the settings keys and their defaults, ids, and the
// type registry.
#include "accounts/account_list.h"
#include "accounts/account_store.h"
#include "accounts/connector_registry.h"
#include "accounts/generic_connector.h"
#include "accounts/gmail_connector.h"
#include "accounts/hotmail_connector.h"
#include "accounts/ibrant_connector.h"
#include "accounts/pop3_connector.h"
#include "lib/clock.h"
#include "lib/crypt_url.h"
#include "lib/host_config.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <gtest/gtest.h>
#include <thread>

namespace nuvex {
namespace {

std::string Record(const std::vector<std::pair<std::string, std::string>>& entries) {
    TCryptURL record;
    for (const auto& [k, v] : entries) {
        record.SetParam(k, v);
    }
    return record.EncodeParams();
}

std::string Pop3Record(const std::string& email = "a@example.org") {
    return Record({{"USERNAME", "a"}, {"EMAIL", email}, {"PASSWORD", "pw"}, {"HOSTNAME", "pop.example.org"}});
}

class AccountModelTest : public ::testing::Test {
protected:
    void SetUp() override {
        RegisterAllConnectorClasses(registry);
        context.host = &host;
    }
    std::vector<std::string> Load(const std::string& text) {
        return LoadAccountList(list, text, registry, context, &host);
    }
    TConnectorRegistry registry;
    MemoryHostConfig host;
    AccountContext context;
    TAccountList list;
};

TEST_F(AccountModelTest, ColonNameLoadsAsUnderscoreIdOfThePop3Class) {
    auto loaded = Load("POP3:1=" + Pop3Record());
    ASSERT_EQ(loaded, std::vector<std::string>{"POP3_1"});
    auto* account = list.FindAccount("POP3_1", true);
    ASSERT_NE(account, nullptr);
    EXPECT_EQ(&account->Class(), &Pop3ConnectorClass());
    EXPECT_EQ(account->TypeCode(), "Pop3");
    EXPECT_EQ(static_cast<TNuvex_Pop3Connector*>(account)->HostName, "pop.example.org");
    EXPECT_EQ(list.FindAccount("pop3_1", true), nullptr); // ids compare exactly
}

TEST_F(AccountModelTest, LinesThatCannotLoadAreSkippedAndTheRestLoad) {
    std::string text = "Pop3_0=" + Record({{"USERNAME", "only-user"}}) + "\r\n" + // no EMAIL
                       "Pop3_1=not a record\r\n" +                                // checksum fails
                       "UNKNOWN_0=" + Pop3Record() + "\r\n" +                     // no such type
                       "Pop3_2=\r\n" +                                            // empty value
                       "nounderscore=" + Pop3Record() + "\r\n" + "Pop3_3=" + Pop3Record("c@example.org");
    auto loaded = Load(text);
    ASSERT_EQ(loaded, std::vector<std::string>{"Pop3_3"});
    EXPECT_EQ(list.Count(), 1);
}

TEST_F(AccountModelTest, ReloadKeepsTheSameObject) {
    Load("Pop3_0=" + Pop3Record("old@example.org"));
    auto* before = list.FindAccount("Pop3_0", true);
    Load("Pop3_0=" + Pop3Record("new@example.org"));
    EXPECT_EQ(list.Count(), 1);
    EXPECT_EQ(list.FindAccount("Pop3_0", true), before);
    EXPECT_EQ(before->Email, "new@example.org");
}

TEST_F(AccountModelTest, ReloadRemovesAccountsNoLongerStoredAndTheirMarker) {
    Load("Pop3_0=" + Pop3Record("a@example.org") + "\r\nPop3_1=" + Pop3Record("b@example.org"));
    auto* removed = list.FindAccount("Pop3_1", true);
    ASSERT_NE(removed, nullptr);
    removed->UnreadCount = 7;
    removed->LastErrorShown = 1.5;
    host.WriteCfgStr("LASTID_Pop3_1", "40"); // as a check after the removal writes it back
    host.WriteCfgStr("LASTID_Pop3_0", "3");

    EXPECT_EQ(Load("Pop3_0=" + Pop3Record("a@example.org")), std::vector<std::string>{"Pop3_0"});
    EXPECT_EQ(list.Count(), 1);
    EXPECT_EQ(list.FindAccount("Pop3_1", true), nullptr);
    EXPECT_FALSE(host.Has("LASTID_Pop3_1"));
    EXPECT_TRUE(host.Has("LASTID_Pop3_0"));

    // A new account given the same id starts fresh.
    Load("Pop3_0=" + Pop3Record("a@example.org") + "\r\nPop3_1=" + Pop3Record("new@example.org"));
    auto* fresh = list.FindAccount("Pop3_1", true);
    ASSERT_NE(fresh, nullptr);
    EXPECT_EQ(fresh->UnreadCount, 0);
    EXPECT_EQ(fresh->LastErrorShown, 0);
    EXPECT_EQ(fresh->Email, "new@example.org");
}

TEST_F(AccountModelTest, RemovingTheLastAccountEmptiesTheList) {
    Load("Pop3_0=" + Pop3Record());
    EXPECT_TRUE(Load("").empty());
    EXPECT_EQ(list.Count(), 0);
}

TEST_F(AccountModelTest, RemovalDuringATickDisablesAtOnceAndFreesAfterIt) {
    Load("Pop3_0=" + Pop3Record() + "\r\nPop3_1=" + Pop3Record());
    ASSERT_TRUE(list.AccountLock.EnterShared(-1)); // as the tick's worker holds it
    bool lockMissed = false;
    std::thread gui(
        [&] { LoadAccountList(list, "Pop3_0=" + Pop3Record(), registry, context, &host, &lockMissed); });
    gui.join();
    EXPECT_TRUE(lockMissed);
    ASSERT_EQ(list.Count(), 2);
    EXPECT_FALSE(list.At(1)->Enabled); // neither checked nor listed in the menus meanwhile
    list.AccountLock.LeaveShared();
    LoadAccountList(list, "Pop3_0=" + Pop3Record(), registry, context, &host, &lockMissed);
    EXPECT_FALSE(lockMissed);
    EXPECT_EQ(list.Count(), 1);
}

TEST_F(AccountModelTest, BusyListIsLoadedLaterNeverTwice) {
    Load("Pop3_0=" + Pop3Record());
    std::atomic<bool> held{false};
    std::atomic<bool> release{false};
    std::thread writer([&] {
        CriticHold hold(list.AccountLock, CriticHold::Mode::Exclusive, kWaitForever);
        held = true;
        while (!release) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    });
    while (!held) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    bool lockMissed = false;
    auto loaded = LoadAccountList(list, "Pop3_0=" + Pop3Record(), registry, context, &host, &lockMissed);
    release = true;
    writer.join();
    EXPECT_TRUE(lockMissed);
    EXPECT_TRUE(loaded.empty());
    Load("Pop3_0=" + Pop3Record());
    EXPECT_EQ(list.Count(), 1);
}

TEST_F(AccountModelTest, LoadDuringATickTellsTheCallerToTryAgain) {
    ASSERT_TRUE(list.AccountLock.EnterShared(-1)); // as the tick's worker holds it
    bool lockMissed = false;
    std::vector<std::string> loaded;
    std::thread gui([&] {
        loaded = LoadAccountList(list, "Pop3_0=" + Pop3Record(), registry, context, &host, &lockMissed);
    });
    gui.join();
    list.AccountLock.LeaveShared();
    EXPECT_TRUE(loaded.empty());
    EXPECT_TRUE(lockMissed);
    loaded = LoadAccountList(list, "Pop3_0=" + Pop3Record(), registry, context, &host, &lockMissed);
    EXPECT_EQ(loaded.size(), 1u);
    EXPECT_FALSE(lockMissed);
}

TEST_F(AccountModelTest, EnabledValueOfTheHostOverridesTheSettings) {
    host.WriteCfgStr("Pop3_0_ENABLED", "0");
    Load("Pop3_0=" + Pop3Record() + "\r\nPop3_1=" + Pop3Record());
    EXPECT_FALSE(list.FindAccount("Pop3_0", true)->Enabled);
    EXPECT_TRUE(list.FindAccount("Pop3_1", true)->Enabled);
    // An empty value is written back as true.
    EXPECT_EQ(*host.ReadCfgStr("Pop3_1_ENABLED"), "1");
}

TEST_F(AccountModelTest, MissingFlagsTakeTheirDefaults) {
    auto account = Pop3ConnectorClass().Create(context);
    ASSERT_EQ(account->LoadSettings(Record({{"USERNAME", "u"}, {"EMAIL", "e@x"}})), kStatusOk);
    EXPECT_FALSE(account->NotifyWindow);
    EXPECT_FALSE(account->NotifySound);
    EXPECT_FALSE(account->NotifyTray);
    EXPECT_FALSE(account->SendTo);
    EXPECT_TRUE(account->DefaultNotify);
    EXPECT_TRUE(account->Associate);
    EXPECT_TRUE(account->Enabled);
    EXPECT_EQ(account->ActionCode, 0);
    EXPECT_EQ(account->CheckMinutes, 15);
    auto* pop3 = static_cast<TNuvex_Pop3Connector*>(account.get());
    EXPECT_EQ(pop3->Port, 110);
    EXPECT_FALSE(pop3->UseSSL);
}

TEST_F(AccountModelTest, FlagsReadAsStored) {
    auto account = Pop3ConnectorClass().Create(context);
    ASSERT_EQ(account->LoadSettings(Record({{"USERNAME", "u"},
                                            {"EMAIL", "e@x"},
                                            {"DEFNOTIFY", "0"},
                                            {"NOTIFYWIN", "1"},
                                            {"NOTIFYSOUND", "yes"},
                                            {"ASSOCIATE", "0"},
                                            {"ACODE", "2"},
                                            {"SENDTO", "1"},
                                            {"ENABLED", "0"},
                                            {"PORT", "995"},
                                            {"USESSL", "1"},
                                            {"AMAILER", "Mail Program"}})),
              kStatusOk);
    EXPECT_FALSE(account->DefaultNotify);
    EXPECT_TRUE(account->NotifyWindow);
    EXPECT_FALSE(account->NotifySound); // only "1" is true
    EXPECT_FALSE(account->Associate);
    EXPECT_EQ(account->ActionCode, 2);
    EXPECT_TRUE(account->HasOpenAction());
    EXPECT_TRUE(account->SendTo);
    EXPECT_FALSE(account->Enabled);
    auto* pop3 = static_cast<TNuvex_Pop3Connector*>(account.get());
    EXPECT_EQ(pop3->Port, 995);
    EXPECT_TRUE(pop3->UseSSL);
    EXPECT_EQ(pop3->MailerName, "Mail Program");
}

TEST_F(AccountModelTest, CheckPeriodDefaultsAndRepair) {
    auto account = Pop3ConnectorClass().Create(context);
    account->LoadSettings(Record({{"USERNAME", "u"}, {"EMAIL", "e@x"}, {"ACHECK", "abc"}}));
    EXPECT_EQ(account->CheckMinutes, 15);
    account->LoadSettings(Record({{"USERNAME", "u"}, {"EMAIL", "e@x"}, {"ACHECK", "7"}}));
    EXPECT_EQ(account->CheckMinutes, 7);
    EXPECT_DOUBLE_EQ(account->CheckInterval, 7 * kOneMinute);
    account->LoadSettings(Record({{"USERNAME", "u"}, {"EMAIL", "e@x"}, {"ACHECK", "0"}}));
    EXPECT_EQ(account->CheckMinutes, 0);
    EXPECT_DOUBLE_EQ(account->EffectiveInterval(), 15 * kOneMinute);
    EXPECT_EQ(account->CheckMinutes, 15);
    account->LoadSettings(Record({{"USERNAME", "u"}, {"EMAIL", "e@x"}, {"ACHECK", "-5"}}));
    EXPECT_DOUBLE_EQ(account->EffectiveInterval(), 15 * kOneMinute); // not a check every tick
    EXPECT_EQ(account->CheckMinutes, 15);
}

TEST_F(AccountModelTest, MarkerGoesThroughTheHostAndAFailedCallSaysSo) {
    auto account = Pop3ConnectorClass().Create(context);
    account->SetAccountId("Pop3:4");
    EXPECT_EQ(account->AccountId, "Pop3_4");
    EXPECT_EQ(account->GetLastId(), std::optional<std::string>("")); // unset: empty, not a failure
    EXPECT_TRUE(account->SetLastId("12"));
    EXPECT_EQ(*host.ReadCfgStr("LASTID_Pop3_4"), "12");
    host.WriteCfgStr("LASTID_Pop3_4", "13");
    EXPECT_EQ(account->GetLastId(), std::optional<std::string>("13"));
    // A host that cannot be reached is a failure, never the cached value
    // taken as the host's, and a failed store leaves the cache alone.
    host.connected = false;
    EXPECT_FALSE(account->SetLastId("14"));
    EXPECT_EQ(account->GetLastId(), std::nullopt);
    EXPECT_EQ(account->LastIdCache, "13");
    host.connected = true;
    host.failAll = true;
    EXPECT_FALSE(account->SetLastId("15"));
    EXPECT_EQ(account->GetLastId(), std::nullopt);
    host.failAll = false;
    EXPECT_EQ(*host.ReadCfgStr("LASTID_Pop3_4"), "13");
}

TEST(AccountIds, NextFreeNumberCountsBothSeparators) {
    EXPECT_EQ(ChooseAccountId("Pop3", {}), "Pop3_0");
    EXPECT_EQ(ChooseAccountId("Pop3", {{"Pop3_0", "x"}, {"Pop3:1", "y"}}), "Pop3_2");
    EXPECT_EQ(ChooseAccountId("Pop3", {{"Pop3_1", "x"}, {"GMAIL_0", "y"}}), "Pop3_0");
    // Host keys ignore case, so POP3_0 takes Pop3_0's values too.
    EXPECT_EQ(ChooseAccountId("Pop3", {{"POP3_0", "x"}}), "Pop3_1");
}

TEST(TypeRegistry, EveryClassInRegistrationOrderWithTheOptionalOneApart) {
    TConnectorRegistry r;
    RegisterAllConnectorClasses(r);
    RegisterAllConnectorClasses(r); // a second registration adds nothing
    std::vector<std::string> codes;
    for (auto* c : r.ConnectorClasses()) {
        codes.push_back(c->TypeCode());
    }
    EXPECT_EQ(codes,
              (std::vector<std::string>{"WEBVAULT", "VOSTREL", "Pop3", "Imap", "GMAIL", "HOTMAIL", "YAHOO"}));
    ASSERT_EQ(r.OptionalConnectorClasses().size(), 1u);
    EXPECT_EQ(r.OptionalConnectorClasses()[0]->TypeCode(), "IBRANT");
}

TEST(TypeRegistry, FindIgnoresCaseAndNeedsAnUnderscore) {
    TConnectorRegistry r;
    RegisterAllConnectorClasses(r);
    EXPECT_EQ(r.FindConnectorClass("POP3_2"), &Pop3ConnectorClass());
    EXPECT_EQ(r.FindConnectorClass("gmail_0"), &GMailConnectorClass());
    EXPECT_EQ(r.FindConnectorClass("Pop3"), nullptr);
    EXPECT_EQ(r.FindConnectorClass("IBRANT_0"), &IbrantConnectorClass()); // loads even when not allowed
}

// Two checking types with limits, to see the list positions and the limit at work.
class FakeConnector final : public TNuvex_GenericConnector {
public:
    using TNuvex_GenericConnector::TNuvex_GenericConnector;
};
constexpr TConnectorClass kLimitedClass{.typeCode = "LIMITED",
                                        .typeCaption = "Limited",
                                        .listOrder = 3,
                                        .maxAccounts = 1,
                                        .caps = kCapChecks,
                                        .newInstance = NewConnector<FakeConnector>};
constexpr TConnectorClass kOutOfRangeClass{
    .typeCode = "FAR", .listOrder = 100, .caps = kCapChecks, .newInstance = NewConnector<FakeConnector>};

TEST(TypeRegistry, OnlyTypesThatCheckAreOfferedByListOrderAndLimit) {
    TConnectorRegistry r;
    RegisterAllConnectorClasses(r);
    r.RegisterConnectorClass(kLimitedClass, false);
    r.RegisterConnectorClass(kOutOfRangeClass, false);
    AccountContext context;
    TAccountList list;
    auto captions = [&] {
        std::vector<std::string> out;
        for (const auto& t : r.OfferedTypes(list)) {
            out.push_back(t.caption);
        }
        return out;
    };
    EXPECT_EQ(captions(),
              (std::vector<std::string>{"webvault.example Email", "Vostrel Email", "Limited", "Google Gmail",
                                        "Other POP3 Account", "Other IMAP Account", "HotMail", "Yahoo"}));
    EXPECT_EQ(r.OfferedTypes(list)[3].Text(), "Google Gmail (e.g. yourname@gmail.com)");
    EXPECT_EQ(r.OfferedTypes(list)[4].Text(), "Other POP3 Account (e.g. yourname@mail.example)");
    auto limited = kLimitedClass.Create(context);
    limited->SetAccountId("LIMITED_0");
    list.AddAccount(std::move(limited));
    EXPECT_EQ(captions(),
              (std::vector<std::string>{"webvault.example Email", "Vostrel Email", "Google Gmail",
                                        "Other POP3 Account", "Other IMAP Account", "HotMail", "Yahoo"}));
    // The optional type takes its list position once the host allows it.
    r.AllowConnectorClass(IbrantConnectorClass());
    EXPECT_EQ(captions(),
              (std::vector<std::string>{"webvault.example Email", "Vostrel Email", "Ibrant Corporate Email",
                                        "Google Gmail", "Other POP3 Account", "Other IMAP Account", "HotMail",
                                        "Yahoo"}));
}

TEST_F(AccountModelTest, AccountsOfTypesThatCannotCheckStillLoad) {
    auto loaded = Load("HOTMAIL_0=" + Pop3Record("h@hotmail.com") + "\r\nIBRANT_0=" + Pop3Record());
    EXPECT_EQ(loaded, (std::vector<std::string>{"HOTMAIL_0", "IBRANT_0"}));
}

TEST(TypeRegistry, CapabilitiesComeFromTheTypesRow) {
    AccountContext context;
    auto gmail = GMailConnectorClass().Create(context);
    EXPECT_TRUE(gmail->CanCompose());
    EXPECT_TRUE(gmail->HasOpenAction());
    EXPECT_FALSE(gmail->CanSendFiles());
    auto ibrant = IbrantConnectorClass().Create(context);
    EXPECT_TRUE(ibrant->CanSendFiles() && ibrant->CanMailTo() && ibrant->ReservedFlagA());
    auto pop3 = Pop3ConnectorClass().Create(context);
    EXPECT_FALSE(pop3->CanCompose());
    EXPECT_FALSE(pop3->HasOpenAction());
    pop3->ActionCode = kOpenWebmail;
    EXPECT_TRUE(pop3->HasOpenAction());
}

TEST(AccountListTest, AddWaitsForTheLockAndGivesUp) {
    AccountContext context;
    TAccountList list;
    ASSERT_TRUE(list.AccountLock.EnterShared(-1));
    std::thread other([&] {
        auto account = Pop3ConnectorClass().Create(context);
        account->UserName = "u";
        EXPECT_FALSE(list.AddAccount(std::move(account)));
    });
    other.join();
    list.AccountLock.LeaveShared();
    auto account = Pop3ConnectorClass().Create(context);
    account->UserName = "nameless";
    EXPECT_TRUE(list.AddAccount(std::move(account)));
    EXPECT_NE(list.FindAccount("nameless", true), nullptr); // an empty id is taken from the user name
}

} // namespace
} // namespace nuvex
