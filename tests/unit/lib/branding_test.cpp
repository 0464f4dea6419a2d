#include "lib/branding.h"
#include "lib/registry.h"

#include <atomic>
#include <gtest/gtest.h>
#include <thread>
#include <vector>

namespace nuvex {
namespace {

constexpr const char* kKey = "Software\\Brannock\\";

class BrandingTest : public ::testing::Test {
protected:
    void SetUp() override { reg_ = MakeMemoryRegistry(); }
    void TearDown() override {
        SetProcessRegistry(nullptr);
        Translator().Clear();
        ForgetBranding();
    }
    std::string Stored(const char* name) {
        return ReadRegString(*reg_, RegRoot::HKLM, kKey, name, "<missing>");
    }
    void Store(const char* name, const char* value) {
        ASSERT_TRUE(WriteRegString(*reg_, RegRoot::HKLM, kKey, name, true, value));
    }
    std::unique_ptr<Registry> reg_;
};

TEST_F(BrandingTest, WizardTitleShowsTheBrand) {
    Store("BRAND", "Acme");
    LoadBranding(*reg_, ConfigResourceText(), true);
    EXPECT_EQ(Translate("%BRAND Email Plugin Wizard"), "Acme Email Plugin Wizard");
}

TEST_F(BrandingTest, PlaceholdersInAnyCaseLongestFirst) {
    Store("BRAND", "Acme");
    Store("BRAND_LONG", "Acme.example");
    Store("BRAND_CODE", "AC1");
    Store("BRAND_DOMAIN", "www.acme.example");
    LoadBranding(*reg_, "", true);
    EXPECT_EQ(Translate("%brand_long|%Brand_Domain|%BRAND_code|%brand|%BRANDx"),
              "Acme.example|www.acme.example|AC1|Acme|Acmex");
    EXPECT_EQ(Translate("no placeholder %BRAN"), "no placeholder %BRAN");
}

TEST_F(BrandingTest, BlankBrandCountsAsEmptyAndIsNotRewritten) {
    Store("BRAND", "   ");
    Store("BRAND_LONG", "Acme.example");
    Store("BRAND_CODE", "");
    Store("BRAND_DOMAIN", "www.acme.example");
    Store("BRAND_FOLDER", "AcmeFolder");
    LoadBranding(*reg_, ConfigResourceText(), true);
    EXPECT_EQ(CurrentBranding().brand, "Vostrel");
    EXPECT_EQ(CurrentBranding().brandCode, "");
    EXPECT_EQ(Stored("BRAND"), "   ");
    EXPECT_EQ(CurrentBranding().brandFolder, "AcmeFolder");
}

TEST_F(BrandingTest, FirstRunCreatesTheFiveValuesWithFolderEqualToBrand) {
    LoadBranding(*reg_, ConfigResourceText(), true);
    Branding b = CurrentBranding();
    EXPECT_EQ(b.brand, "Vostrel");
    EXPECT_EQ(b.brandFolder, b.brand);
    EXPECT_FALSE(b.brandLong.empty());
    EXPECT_EQ(b.brandDomain, ConfigResourceValue(ConfigResourceText(), "BRAND_DOMAIN").value());
    EXPECT_EQ(Stored("BRAND"), "Vostrel");
    EXPECT_EQ(Stored("BRAND_LONG"), b.brandLong);
    EXPECT_EQ(Stored("BRAND_CODE"), "");
    EXPECT_EQ(Stored("BRAND_DOMAIN"), b.brandDomain);
    EXPECT_EQ(Stored("BRAND_FOLDER"), "Vostrel");
    EXPECT_EQ(reg_->ValueNames(RegRoot::HKLM, kKey).size(), 5u);

    // The second run reads what the first stored and arrives at the same values.
    LoadBranding(*reg_, ConfigResourceText(), true);
    EXPECT_EQ(CurrentBranding().brandFolder, "Vostrel");
}

TEST_F(BrandingTest, ConfigFillsOnlyMissingValues) {
    Store("BRAND_LONG", "Kept.example");
    LoadBranding(*reg_, "BRAND=Zeta\r\nBRAND_LONG=Other\r\nBRAND_CODE=\r\nBRAND_DOMAIN=www.zeta.example",
                 true);
    Branding b = CurrentBranding();
    EXPECT_EQ(b.brand, "Zeta");
    EXPECT_EQ(b.brandLong, "Kept.example");
    EXPECT_EQ(b.brandDomain, "www.zeta.example");
    EXPECT_EQ(b.brandFolder, "Zeta");
    EXPECT_EQ(Stored("BRAND"), "Zeta");
    EXPECT_EQ(Stored("BRAND_LONG"), "Kept.example");
    EXPECT_EQ(Stored("BRAND_FOLDER"), "Zeta");
}

TEST_F(BrandingTest, LoadsOncePerProcessUnlessForced) {
    Store("BRAND", "First");
    LoadBranding(*reg_, "", true);
    Store("BRAND", "Second");
    LoadBranding(*reg_, "");
    EXPECT_EQ(CurrentBranding().brand, "First");
    LoadBranding(*reg_, "", true);
    EXPECT_EQ(CurrentBranding().brand, "Second");
}

TEST_F(BrandingTest, TranslateLoadsFromTheProcessRegistryOnFirstUse) {
    Store("BRAND", "Proc");
    SetProcessRegistry(reg_.get());
    ForgetBranding();
    EXPECT_EQ(Translate("About %BRAND"), "About Proc");
}

TEST_F(BrandingTest, OverlongBrandValueIsCut) {
    Store("BRAND", std::string(300, 'x').c_str());
    LoadBranding(*reg_, "", true);
    EXPECT_EQ(CurrentBranding().brand.size(), 255u);
}

TEST_F(BrandingTest, TableIsEmptyButLookupsWork) {
    EXPECT_EQ(Translator().Count(), 0u);
    EXPECT_EQ(Translator().Lookup("Settings"), "Settings");
    Store("BRAND", "Acme");
    LoadBranding(*reg_, "", true);
    Translator().Add({"Settings", "%BRAND settings"});
    EXPECT_EQ(Translate("Settings"), "Acme settings");
}

TEST_F(BrandingTest, TranslateFromManyThreadsWhileReloading) {
    Store("BRAND", "Acme");
    LoadBranding(*reg_, "", true);
    std::atomic<int> bad{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 2000; ++i) {
                if (Translate("%BRAND Mail") != "Acme Mail") {
                    ++bad;
                }
            }
        });
    }
    for (int i = 0; i < 50; ++i) {
        LoadBranding(*reg_, "", true);
    }
    for (auto& t : threads) {
        t.join();
    }
    EXPECT_EQ(bad.load(), 0);
}

TEST(ConfigResourceTest, KeysInOrderSeparatedByCrLf) {
    std::string_view text = ConfigResourceText();
    std::vector<std::string> keys;
    std::size_t pos = 0;
    while (pos < text.size()) {
        std::size_t end = text.find("\r\n", pos);
        std::string_view line = text.substr(pos, end == std::string_view::npos ? text.npos : end - pos);
        EXPECT_EQ(line.find('\n'), std::string_view::npos);
        keys.emplace_back(line.substr(0, line.find('=')));
        pos = end == std::string_view::npos ? text.size() : end + 2;
    }
    EXPECT_EQ(keys, (std::vector<std::string>{"MAIL_ALL",
                                              "SHOW_BUTTON",
                                              "SHOW_TRAY",
                                              "ALLOW_IBRANT",
                                              "REG_MAIL",
                                              "WHAT_LINK",
                                              "BRAND",
                                              "BRAND_LONG",
                                              "BRAND_CODE",
                                              "BRAND_DOMAIN",
                                              "GMAIL_LOGIN",
                                              "GMAIL_COMPOSE",
                                              "GMAIL_FEED_URL",
                                              "GMAIL_POP3_SERVER",
                                              "WEBVAULT_SERVICE_URL",
                                              "VOSTREL_SERVICE_URL",
                                              "IBRANT_SERVICE_URL",
                                              "WEBVAULT_UPLOAD_URL",
                                              "VOSTREL_UPLOAD_URL",
                                              "IBRANT_UPLOAD_URL",
                                              "SETTINGS_HELP",
                                              "HELP_URL",
                                              "ABOUT_URL",
                                              "AFTERINSTALLWIZARD"}));
    EXPECT_EQ(ConfigResourceValue(text, "MAIL_ALL"), "1");
    EXPECT_EQ(ConfigResourceValue(text, "show_button"), "3");
    EXPECT_EQ(ConfigResourceValue(text, "BRAND"), "");
    EXPECT_EQ(ConfigResourceValue(text, "NOPE"), std::nullopt);
    EXPECT_TRUE(ConfigResourceValue(text, "WHAT_LINK")->ends_with("%help_tag"));
    EXPECT_TRUE(ConfigResourceValue(text, "REG_MAIL")->ends_with("%tbid"));
    for (const char* key : {"GMAIL_LOGIN", "GMAIL_COMPOSE"}) {
        std::string url = ConfigResourceValue(text, key).value();
        EXPECT_NE(url.find("/accounts/ServiceLoginAuth?service=mail&continue="), std::string::npos) << key;
        EXPECT_TRUE(url.ends_with("&Email=%username%&Passwd=%passwd%&PersistentCookie=no")) << key;
    }
    EXPECT_NE(ConfigResourceValue(text, "GMAIL_COMPOSE")->find("view%3Dcm"), std::string::npos);
}

} // namespace
} // namespace nuvex
