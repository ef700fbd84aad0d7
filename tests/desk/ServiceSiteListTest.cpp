// The service sites in the profile, and the dialogs' path helpers.
#include <gtest/gtest.h>

#include <string>

#include "app/Profile.h"
#include "services/PathText.h"
#include "services/ServiceSiteList.h"
#include "support/TempHome.h"

using orvikdesk::CServiceSiteList;
namespace profile = orvikdesk::profile;
namespace pathtext = orvikdesk::pathtext;

TEST(ServiceSiteList, LoadsEightCharacterNamesOneRecordPerSite) {
    orvik::test::TempHome home;
    profile::write("ServiceURL\\00000000", "Value", "https://a.example/");
    profile::write("ServiceURL\\00000000", "Description", "站点甲");
    profile::write("ServiceURL\\abc", "Value", "https://short.example/");  // too short a name: not a site
    // No description: the site keeps an empty one instead of taking the next site's.
    profile::write("ServiceURL\\site0001", "Value", "https://b.example/");
    const std::string longUrl = "https://c.example/" + std::string(400, 'x');
    profile::write("ServiceURL\\00000002", "Value", longUrl);
    profile::write("ServiceURL\\00000002", "Description", "站点丙");
    profile::write("ServiceURL", "Default", "00000002");

    CServiceSiteList list;
    ASSERT_EQ(list.sites().size(), 3u);
    for (const auto& s : list.sites()) {
        if (s.name == "site0001") {
            EXPECT_EQ(s.description, "");
        }
        if (s.name == "00000002") {
            EXPECT_EQ(s.url, longUrl) << "no length cap";
            EXPECT_EQ(s.description, "站点丙");
        }
        if (s.name == "00000000") {
            EXPECT_EQ(s.description, "站点甲");
        }
    }
    EXPECT_FALSE(list.FindName("abc"));
    EXPECT_EQ(list.defaultName(), "00000002");
    EXPECT_EQ(list.defaultUrl(), longUrl);
}

TEST(ServiceSiteList, NewSitesTakeTheSmallestFreeNumberAndSave) {
    orvik::test::TempHome home;
    profile::write("ServiceURL\\00000000", "Value", "https://a.example/");
    profile::write("ServiceURL\\00000002", "Value", "https://c.example/");
    CServiceSiteList list;
    size_t added = list.Add("https://b.example/", "站点乙");
    EXPECT_EQ(list.sites()[added].name, "00000001");
    EXPECT_EQ(list.sites()[list.Add("https://d.example/", "站点丁")].name, "00000003");
    list.Modify(0, "https://a2.example/", "新站点");
    ASSERT_TRUE(list.Save());

    CServiceSiteList again;
    EXPECT_EQ(again.sites().size(), 4u);
    EXPECT_TRUE(again.FindName("00000001"));
    EXPECT_EQ(profile::read("ServiceURL\\00000001", "Description"), "站点乙");
    EXPECT_EQ(profile::read("ServiceURL\\00000000", "Value"), "https://a2.example/");
    EXPECT_EQ(profile::read("ServiceURL", "Default", "none"), "none") << "the default is not Save's";
}

TEST(PathText, SuffixesAndExtensions) {
    EXPECT_EQ(pathtext::ensureSuffix("/a/证书.PFX", ".pfx"), "/a/证书.PFX");
    EXPECT_EQ(pathtext::ensureSuffix("/a/证书", ".pfx"), "/a/证书.pfx");
    EXPECT_EQ(pathtext::ensureSuffix("/a/x.pfx.bak", ".pfx"), "/a/x.pfx.bak.pfx");
    EXPECT_EQ(pathtext::extension("/a.b/report.doc"), ".doc");
    EXPECT_EQ(pathtext::extension("/a.b/report"), "");
    EXPECT_EQ(pathtext::stripExtension("/a.b/report.doc.ovk"), "/a.b/report.doc");
    EXPECT_EQ(pathtext::stripExtension("/a.b/report"), "/a.b/report");
    EXPECT_EQ(pathtext::trim(" \t 张三 \n"), "张三");
}
