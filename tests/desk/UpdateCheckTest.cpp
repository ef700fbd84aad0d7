// "检查更新..." in the assistant: the update library's check, with its window, against a local
// server.
#include <gtest/gtest.h>

#include <Common.h>
#include <orvik/CodePage.h>

#include "services/UpdateCheck.h"
#include "support/DeploymentValues.h"
#include "support/HttpServer.h"
#include "support/TempHome.h"
#include "ui/MessageBoxFacade.h"
#include "update/SignedUpdate.h"

namespace orvikdesk {
namespace {

const std::string kList = orvik::toCp936(
    "<?xml version=\"1.0\" encoding=\"gb2312\"?>\n<Orvikon><UpdateDate>2026-12-01</UpdateDate></Orvikon>\n");

class AssistantUpdates : public ::testing::Test {
protected:
    void SetUp() override {
        orvik::test::setDeploymentValue("UpdateHost", server.url(""));
        orvik::test::update::trustTestAuthority();
        orvik::test::setDeploymentValue("UpdatePath", "/u/");
        orvik::test::writeFile(program.file("FileList.xml"), kList);
        MessageBoxFacade::clear();
    }

    Config stored() {
        Config config;
        Common(program.path()).ReadConfigFromReg(config, kAssistantUpdateKey);
        return config;
    }

    orvik::test::TempHome home;
    orvik::test::TempDir program;
    orvik::test::HttpServer server;
};

TEST_F(AssistantUpdates, TheMenuCheckSaysSoWhenNothingIsNewer) {
    server.set("/u//FileList.xml", kList);
    server.set("/u//FileList.xml.p7s", orvik::test::update::sign(kList));
    updates::checkFromMenu(nullptr, program.path());
    ASSERT_EQ(MessageBoxFacade::shown().size(), 1u);
    EXPECT_EQ(MessageBoxFacade::lastText(), QStringLiteral("没有可用的更新！"));
    EXPECT_EQ(MessageBoxFacade::lastCaption(), QStringLiteral("证书助手"));
    EXPECT_EQ(stored().GetServerPath(), "/u/");
    EXPECT_EQ(stored().GetCurrentOperation(), "0");
}

TEST_F(AssistantUpdates, AServerWithoutAListEndsTheRunWithoutAnUpdateMessage) {
    updates::checkAtStartup(program.path());
    updates::checkFromMenu(nullptr, program.path());
    EXPECT_EQ(server.hits("/u//FileList.xml"), 2);
    EXPECT_TRUE(MessageBoxFacade::shown().empty());
    EXPECT_EQ(stored().GetCurrentOperation(), "0");
}

TEST_F(AssistantUpdates, AnUnreachableServerIsReportedOnce) {
    server.stop();
    updates::checkFromMenu(nullptr, program.path());
    ASSERT_EQ(MessageBoxFacade::shown().size(), 1u);
    EXPECT_EQ(MessageBoxFacade::lastText(), QStringLiteral("无法连接服务器，请稍候重试"));
    EXPECT_EQ(stored().GetCurrentOperation(), "0");
}

}  // namespace
}  // namespace orvikdesk
