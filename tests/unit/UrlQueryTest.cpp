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
    const struct {
        const wchar_t* url;
        const wchar_t* host;
        int port;
        const wchar_t* path;
        bool secure;
    } rows[] = {
        {L"http://127.0.0.1:8080/files/rom/crespo.zip?v=2", L"127.0.0.1", 8080, L"files/rom/crespo.zip?v=2", false},
        {L"http://dl.example.com/a/b.img", L"dl.example.com", 80, L"a/b.img", false},
        {L"host: 81x/p", L"host", 81, L"p", false},  // no scheme; port read as atoi reads
        {L"https://service.example:8443/ota/ota/geturl.action", L"service.example", 8443, L"ota/ota/geturl.action", true},
        {L"https://cdn.example/r.zip", L"cdn.example", 443, L"r.zip", true},
    };
    for (const auto& row : rows) {
        UrlParts parts;
        ASSERT_TRUE(SplitUrl(row.url, parts)) << row.url;
        EXPECT_EQ(parts.host, row.host);
        EXPECT_EQ(parts.port, row.port);
        EXPECT_EQ(parts.objectPath, row.path);
        EXPECT_EQ(parts.secure, row.secure);
    }
}

TEST(SplitUrl, MalformedAddressesFail) {
    UrlParts parts;
    for (const wchar_t* url : {L"", L"http://host", L"http://host/", L"http://host:0/a", L"http://host:abc/a", L"https://host"})
        EXPECT_FALSE(SplitUrl(url, parts)) << url;
}

TEST(RecoveryImage, PathUnderBaseTempIsCreated) {
    const std::wstring temp = mirqtest::GetSandbox().base + L"\\temp";
    EXPECT_FALSE(mirqtest::FileExists(temp));
    EXPECT_EQ(RecoveryImagePath(2), temp + L"\\recovery_crespo.img");
    EXPECT_TRUE(mirqtest::FileExists(temp));
    EXPECT_EQ(RecoveryImagePath(0), temp + L"\\recovery_blade.img");
}
