#include <windows.h>

#include <gtest/gtest.h>

#include "TestSupport.h"
#include "download/UrlQuery.h"
#include "util/Utils.h"

using namespace mirq;

TEST(UrlRequest, DocumentByModelAndFlashType) {
    std::wstring doc = BuildUrlRequest(2, 1);
    EXPECT_EQ(doc, L"<root><phonemode>Nexus S</phonemode><flashtype>1</flashtype></root>");
    EXPECT_EQ(WideToOem(doc).size(), 67u);
    EXPECT_EQ(BuildUrlRequest(3, 2), L"<root><phonemode>HTC Desire</phonemode><flashtype>2</flashtype></root>");
    EXPECT_EQ(BuildUrlRequest(-1, 1), L"");
    EXPECT_EQ(BuildUrlRequest(4, 1), L"");
}

TEST(ExtractMd5, OnlyThirtyTwoHexDigits) {
    EXPECT_EQ(ExtractMd5(L"<root><flashurl>http://h/a</flashurl><md5>0123456789ABCDEFabcdef0123456789</md5></root>"),
              L"0123456789abcdefabcdef0123456789");
    EXPECT_EQ(ExtractMd5(L"<md5>0123456789abcdef</md5>"), L"");
    EXPECT_EQ(ExtractMd5(L"<md5>0123456789abcdefabcdef012345678g</md5>"), L"");
    EXPECT_EQ(ExtractMd5(L"<root></root>"), L"");
}

TEST(ExtractFlashUrl, EdgeCases) {
    EXPECT_EQ(ExtractFlashUrl(L"<r><flashurl>http://h/a.zip</flashurl></r>"), L"http://h/a.zip");
    EXPECT_EQ(ExtractFlashUrl(L"<flashurl></flashurl>"), L"");
    EXPECT_EQ(ExtractFlashUrl(L"</flashurl>http://h/a<flashurl>"), L"");
    EXPECT_EQ(ExtractFlashUrl(L"<flashurl>http://a/1</flashurl><flashurl>http://b/2</flashurl>"), L"http://a/1");
    EXPECT_EQ(ExtractFlashUrl(L"<flashurl> http://h/a </flashurl>"), L" http://h/a ");
    EXPECT_EQ(ExtractFlashUrl(L"<flashurl>http://h/a"), L"");
    EXPECT_EQ(ExtractFlashUrl(L"no element"), L"");
}

TEST(ExtractFlashUrl, AnAnswerIsReadWhole) {
    std::string answer = "<root>" + std::string(990, ' ') + "<flashurl>http://h/a.zip</flashurl></root>";
    EXPECT_EQ(ExtractFlashUrl(DecodeAnsi(answer)), L"http://h/a.zip");
}

TEST(SplitUrl, HostPortAndObjectPath) {
    std::wstring host, path;
    int port = 0;
    ASSERT_TRUE(SplitUrl(L"http://127.0.0.1:8080/files/rom/crespo.zip?v=2", host, port, path));
    EXPECT_EQ(host, L"127.0.0.1");
    EXPECT_EQ(port, 8080);
    EXPECT_EQ(path, L"files/rom/crespo.zip?v=2");
    ASSERT_TRUE(SplitUrl(L"http://dl.example.com/a/b.img", host, port, path));
    EXPECT_EQ(host, L"dl.example.com");
    EXPECT_EQ(port, 80);
    EXPECT_EQ(path, L"a/b.img");
    ASSERT_TRUE(SplitUrl(L"host: 81x/p", host, port, path));  // no scheme; port read as atoi reads
    EXPECT_EQ(host, L"host");
    EXPECT_EQ(port, 81);
}

TEST(SplitUrl, MalformedAddressesFail) {
    std::wstring host, path;
    int port = 0;
    EXPECT_FALSE(SplitUrl(L"", host, port, path));
    EXPECT_FALSE(SplitUrl(L"http://host", host, port, path));
    EXPECT_FALSE(SplitUrl(L"http://host/", host, port, path));
    EXPECT_FALSE(SplitUrl(L"http://host:0/a", host, port, path));
    EXPECT_FALSE(SplitUrl(L"http://host:abc/a", host, port, path));
}

TEST(RecoveryImage, PathUnderBaseTempIsCreated) {
    const std::wstring temp = mirqtest::GetSandbox().base + L"\\temp";
    EXPECT_FALSE(mirqtest::FileExists(temp));
    EXPECT_EQ(RecoveryImagePath(2), temp + L"\\recovery_crespo.img");
    EXPECT_TRUE(mirqtest::FileExists(temp));
    EXPECT_EQ(RecoveryImagePath(0), temp + L"\\recovery_blade.img");
}
