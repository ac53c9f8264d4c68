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
    }
    CFakeHost host;
    TaskInput input;
};

}  // namespace

TEST_F(Https, BothFilesComeOverTlsAndNothingFromAServerNotTrusted) {
    // A certificate of a CA nobody trusts, or for another name: not even the
    // query reaches the service. A redirect to plain HTTP (whose query holds
    // "https://"): what came that way is not read.
    for (const char* fault : {"tls_cert=untrusted", "name=localhost", "redirect_http=1"}) {
        SCOPED_TRACE(fault);
        if (fault[0] == 'n')
            CResourceDownloader::GetInstance()->SetService(L"https://localhost:8443/ota/ota/geturl.action", BuiltInServiceKey());
        else
            ServiceControl(std::string("set?") + fault);
        EXPECT_EQ(RunDownloadTask(host, input), kTaskInsecureConnection);
        EXPECT_EQ(host.Box(kTaskInsecureConnection), L"下载失败: 无法安全连接到下载服务器（证书无效），没有下载任何文件！");
        EXPECT_FALSE(FileExists(RecoveryImagePath(2)) || FileExists(input.romPath));
        if (fault[0] != 'r') { EXPECT_EQ(ServiceControl("log"), ""); }
        ServiceControl("reset");
        CResourceDownloader::GetInstance()->SetService(L"https://service.mirq.test:8443/ota/ota/geturl.action",
                                                       BuiltInServiceKey());
    }
    EXPECT_EQ(RunDownloadTask(host, input), kTaskDownloaded);
    EXPECT_EQ(ReadBytes(RecoveryImagePath(2)), Served(L"files/recovery/crespo.img"));
    EXPECT_EQ(ReadBytes(input.romPath), Served(L"files/rom/crespo.zip"));
}
