// The host's ITB4Server object through its generated adaptor, called with the
// generated proxy over a private peer link, with a store that works and one
// that fails.
#include "contract/names.h"
#include "host/bus_objects.h"
#include "host/toolbar_host.h"
#include "itb4server_proxy.h"
#include "tests/support/peer_bus.h"
#include "tests/support/qt_core_main.h"
#include "tests/support/temp_dir.h"

#include <QDBusPendingReply>
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>

namespace nuvex::host {
namespace {

class ServerObjectTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string error;
        auto store = SettingsStore::Open(Path(), &error);
        ASSERT_TRUE(store) << error;
        host_ = std::make_unique<ToolbarHost>(true, std::move(store));
        peer_ = std::make_unique<test::PeerBus>(dir_.path(), [this](QDBusConnection& conn) {
            // Made on the serving thread, which answers while the test's thread waits.
            object_ = std::make_unique<ServerObject>(*host_);
            conn.registerObject(bus::kServerPath, object_.get(), QDBusConnection::ExportAdaptors);
        });
        server_ = std::make_unique<ITB4ServerProxy>(QString(), bus::kServerPath, peer_->Client());
    }
    void TearDown() override {
        server_.reset();
        // The object lives on the serving thread: it goes there, while the
        // connection it is registered on still exists.
        if (object_) {
            QObject* object = object_.release();
            QMetaObject::invokeMethod(
                object, [object] { delete object; }, Qt::BlockingQueuedConnection);
        }
        peer_.reset();
        host_.reset();
    }
    std::string Path() const { return dir_.file("brannock/settings.db"); }

    // Breaks the store under the host, as a damaged or foreign file would.
    void BreakStore() {
        sqlite3* db = nullptr;
        ASSERT_EQ(sqlite3_open(Path().c_str(), &db), SQLITE_OK);
        ASSERT_EQ(sqlite3_exec(db, "DROP TABLE host_values;", nullptr, nullptr, nullptr), SQLITE_OK);
        sqlite3_close(db);
    }

    test::TempDir dir_;
    std::unique_ptr<ToolbarHost> host_;
    std::unique_ptr<test::PeerBus> peer_;
    std::unique_ptr<ServerObject> object_; // made on the serving thread, gone after it
    std::unique_ptr<ITB4ServerProxy> server_;
};

// A failed read used to be answered as "unset": one failed read of MAIL_ALL
// switched the plug-in off.
TEST_F(ServerObjectTest, AFailedReadIsAnErrorNotAnUnsetValue) {
    QDBusPendingReply<bool> unsetBool =
        server_->ReadCfgBool(QStringLiteral("MAIL"), QStringLiteral("MAIL_ALL"), -1);
    unsetBool.waitForFinished();
    ASSERT_FALSE(unsetBool.isError()) << unsetBool.error().message().toStdString();
    EXPECT_FALSE(unsetBool.value());

    BreakStore();
    QDBusPendingReply<bool> b = server_->ReadCfgBool(QStringLiteral("MAIL"), QStringLiteral("MAIL_ALL"), -1);
    QDBusPendingReply<int> i = server_->ReadCfgInt(QStringLiteral("MAIL"), QStringLiteral("ACHECK"), -1);
    QDBusPendingReply<QString> s =
        server_->ReadCfgStr(QStringLiteral("MAIL"), QStringLiteral("ACCOUNTS"), -1);
    for (QDBusPendingCall* call : {static_cast<QDBusPendingCall*>(&b), static_cast<QDBusPendingCall*>(&i),
                                   static_cast<QDBusPendingCall*>(&s)}) {
        call->waitForFinished();
        EXPECT_TRUE(call->isError());
        EXPECT_EQ(call->error().type(), QDBusError::Failed);
    }
}

TEST_F(ServerObjectTest, ABatchIsStoredWholeOrNotAtAll) {
    const QString mail = QStringLiteral("MAIL");
    ASSERT_TRUE(host_->Store().Set("MAIL", "OLD", ValueType::Text, "keep"));
    // The empty key fails inside the transaction, after two good writes.
    QDBusPendingReply<> bad =
        server_->WriteCfgBatch(mail, {QStringLiteral("A"), QStringLiteral("OLD"), QString()},
                               {QStringLiteral("bool"), QStringLiteral("delete"), QStringLiteral("text")},
                               {QStringLiteral("1"), QString(), QStringLiteral("x")}, -1);
    bad.waitForFinished();
    EXPECT_TRUE(bad.isError());
    EXPECT_FALSE(host_->Store().Get("MAIL", "A"));
    EXPECT_TRUE(host_->Store().Get("MAIL", "OLD"));

    QDBusPendingReply<> uneven = server_->WriteCfgBatch(mail, {QStringLiteral("A")}, {}, {}, -1);
    uneven.waitForFinished();
    EXPECT_EQ(uneven.error().type(), QDBusError::InvalidArgs);

    QDBusPendingReply<> good =
        server_->WriteCfgBatch(mail, {QStringLiteral("A"), QStringLiteral("N"), QStringLiteral("OLD")},
                               {QStringLiteral("bool"), QStringLiteral("int"), QStringLiteral("delete")},
                               {QStringLiteral("1"), QStringLiteral("42"), QString()}, -1);
    good.waitForFinished();
    ASSERT_FALSE(good.isError()) << good.error().message().toStdString();
    EXPECT_EQ(host_->Store().Get("MAIL", "A")->type, ValueType::Bool);
    EXPECT_EQ(host_->Store().Get("MAIL", "N")->text, "42");
    EXPECT_FALSE(host_->Store().Get("MAIL", "OLD"));
}

// A reload reads the values of all accounts in one call: in the order asked,
// an unset key as empty, and a store that cannot answer as an error.
TEST_F(ServerObjectTest, ABatchReadAnswersInOrderOrFailsWhole) {
    const QString mail = QStringLiteral("MAIL");
    ASSERT_TRUE(host_->Store().Set("MAIL", "POP3_0_ENABLED", ValueType::Bool, "1"));
    ASSERT_TRUE(host_->Store().Set("MAIL", "POP3_1_ENABLED", ValueType::Text, "0"));
    QDBusPendingReply<QStringList> got = server_->ReadCfgBatch(
        mail, {QStringLiteral("$pop3_1_enabled"), QStringLiteral("UNSET"), QStringLiteral("POP3_0_ENABLED")},
        -1);
    got.waitForFinished();
    ASSERT_FALSE(got.isError()) << got.error().message().toStdString();
    EXPECT_EQ(got.value(), (QStringList{QStringLiteral("0"), QString(), QStringLiteral("1")}));

    QDBusPendingReply<QStringList> none = server_->ReadCfgBatch(mail, {}, -1);
    none.waitForFinished();
    ASSERT_FALSE(none.isError());
    EXPECT_TRUE(none.value().isEmpty());

    BreakStore();
    QDBusPendingReply<QStringList> broken =
        server_->ReadCfgBatch(mail, {QStringLiteral("POP3_0_ENABLED")}, -1);
    broken.waitForFinished();
    EXPECT_EQ(broken.error().type(), QDBusError::Failed);
}

// The file holds the scrambled account passwords: it and its folder are the
// user's alone from the first byte, whatever the umask.
TEST_F(ServerObjectTest, StoreFileAndFolderAreUserOnly) {
    const mode_t old = ::umask(0);
    std::string error;
    auto store = SettingsStore::Open(dir_.file("fresh/deeper/settings.db"), &error);
    ::umask(old);
    ASSERT_TRUE(store) << error;
    struct stat st {};
    ASSERT_EQ(::stat(dir_.file("fresh/deeper/settings.db").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    ASSERT_EQ(::stat(dir_.file("fresh/deeper").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    ASSERT_EQ(::stat(dir_.file("fresh").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
}

} // namespace
} // namespace nuvex::host
