// The download task against the local service over HTTPS. Run only through
// scripts/with-test-ca.sh: the tests' CA is trusted there, service.mirq.test
// is the namespace's loopback, and a service of its own listens on it.
#include <gtest/gtest.h>

#include "FakeHost.h"
#include "TestSupport.h"
#include "app/Tasks.h"
#include "download/ResourceDownloader.h"
#include "download/ServiceAnswer.h"
#include "download/UrlQuery.h"

using namespace mirq;
using namespace mirqtest;

namespace {

class Https : public CServiceTest {
protected:
    void SetUp() override {
        CServiceTest::SetUp();
        CResourceDownloader::GetInstance()->SetService(L"https://service.mirq.test:8443/ota/ota/geturl.action",
                                                       BuiltInServiceKey());
        CSimPhone::Reset("nexus_s");
        ASSERT_EQ(RunDeviceCheckTask(host), kTaskOk);
        input.romPath = GetSandbox().base + L"\\update.zip";
        DeleteFileW(input.romPath.c_str());
    }
    CFakeHost host;
    TaskInput input;
};

const wchar_t* const kInsecureBox = L"下载失败: 无法安全连接到下载服务器（证书无效），没有下载任何文件！";

}  // namespace

TEST_F(Https, BothFilesComeOverTlsAndARedirectToHttpIsRefused) {
    ServiceControl("set?redirect_http=1");
    EXPECT_EQ(RunDownloadTask(host, input), kTaskInsecureConnection);
    EXPECT_EQ(host.Box(kTaskInsecureConnection), kInsecureBox);
    EXPECT_FALSE(FileExists(RecoveryImagePath(2)));  // what came over HTTP was not read

    ServiceControl("reset");
    EXPECT_EQ(RunDownloadTask(host, input), kTaskDownloaded);
    EXPECT_EQ(ReadBytes(RecoveryImagePath(2)), Served(L"files/recovery/crespo.img"));
    EXPECT_EQ(ReadBytes(input.romPath), Served(L"files/rom/crespo.zip"));
}

TEST_F(Https, ACertificateOfAnUntrustedCaFetchesNothing) {
    ServiceControl("set?tls_cert=untrusted");
    EXPECT_EQ(RunDownloadTask(host, input), kTaskInsecureConnection);
    EXPECT_EQ(host.Box(kTaskInsecureConnection), kInsecureBox);
    EXPECT_EQ(ServiceControl("log"), "");  // not even the query reached the service
    EXPECT_FALSE(FileExists(input.romPath));
}
