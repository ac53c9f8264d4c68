#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>

#include "TestSupport.h"
#include "device/ModelCatalogue.h"
#include "download/UrlQuery.h"
#include "util/Utils.h"

using namespace mirq;

TEST(UrlRequest, DocumentByModelAndFlashType) {
    const std::string head = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>";
    EXPECT_EQ(WideToUtf8(BuildUrlRequest(2, 1)), head + "<root><phonemode>Nexus S</phonemode><flashtype>1</flashtype></root>");
    EXPECT_EQ(WideToUtf8(BuildUrlRequest(3, 2)), head + "<root><phonemode>HTC Desire</phonemode><flashtype>2</flashtype></root>");
    EXPECT_EQ(BuildUrlRequest(-1, 1), L"");
    EXPECT_EQ(BuildUrlRequest(4, 1), L"");
    // Any phonemode a catalogue holds, escaped.
    Catalogue korean;
    korean.models.resize(1);
    korean.models[0].phonemode = L"\uAC24\uB7ED\uC2DC S & Co";
    EXPECT_EQ(WideToUtf8(BuildUrlRequest(*CModelRows::Make(korean), 0, 1, L"ab")),
              head + "<root><phonemode>\xEA\xB0\xA4\xEB\x9F\xAD\xEC\x8B\x9C S &amp; Co</phonemode><flashtype>1</flashtype>"
                     "<nonce>ab</nonce></root>");
    // A newer catalogue (its rows in another order, one more) keeps the ids
    // of the rows it shares: the phone shown before it came asks for its own files.
    Catalogue newer = BuiltInCatalogue();
    std::reverse(newer.models.begin(), newer.models.end());
    newer.models.push_back(korean.models[0]);
    const CatalogueRef rows = CModelRows::Make(newer, BuiltInRows().get());
    EXPECT_EQ(rows->Find(L"google", L"crespo"), 2);
    EXPECT_EQ(WideToUtf8(BuildUrlRequest(*rows, 2, 1, L"ab")),
              head + "<root><phonemode>Nexus S</phonemode><flashtype>1</flashtype><nonce>ab</nonce></root>");
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
    for (const wchar_t* url : {L"", L"http://host", L"http://host/", L"http://host:0/a", L"http://host:abc/a", L"http://host:81x/a",
                               L"http://host:65536/a", L"http://host:+80/a", L"https://host"})
        EXPECT_FALSE(SplitUrl(url, parts)) << url;
}

TEST(RecoveryImage, PathUnderBaseTempIsCreated) {
    const std::wstring temp = mirqtest::GetSandbox().base + L"\\temp";
    EXPECT_FALSE(mirqtest::FileExists(temp));
    EXPECT_EQ(RecoveryImagePath(2), temp + L"\\recovery_crespo.img");
    EXPECT_TRUE(mirqtest::FileExists(temp));
    EXPECT_EQ(RecoveryImagePath(0), temp + L"\\recovery_blade.img");
}

TEST(Catalogue, ReadExactlyOrRefusedWhole) {
    const std::wstring key = std::wstring(63, L'A') + L"f";
    const std::wstring head = L"<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<models><version>7</version><until>2027-03-01</until>"
                              L"<withdrawn>" + key + L"</withdrawn>\n";
    const std::wstring nexus = L"<model><phonemode>Nexus S</phonemode><brand>google</brand><brand>Android</brand>"
                               L"<device>crespo</device><name>Google Nexus S</name><recovery>flash_image</recovery>"
                               L"<script>extendedcommand</script></model>";
    const std::wstring oneplus = L" <model><phonemode>OnePlus One</phonemode><brand>oneplus</brand><device>bacon</device>"
                                 L"<name>OnePlus One</name><recovery>keep</recovery><script>openrecoveryscript</script>"
                                 L"<note>skipped</note></model>\n";
    Catalogue read;
    ASSERT_TRUE(ReadCatalogueText(head + nexus + oneplus, read));
    EXPECT_EQ(read.version, 7);
    EXPECT_EQ(read.until, L"2027-03-01");
    EXPECT_EQ(read.withdrawn, std::vector<std::wstring>{std::wstring(63, L'a') + L"f"});
    ASSERT_EQ(read.models.size(), 2u);
    EXPECT_EQ(read.models[0].brands, (std::vector<std::wstring>{L"google", L"android"}));
    EXPECT_EQ(read.models[1].device, L"bacon");
    EXPECT_TRUE(read.models[1].recovery == RecoveryKind::Keep && read.models[1].script == ScriptKind::OpenRecoveryScript);
    // Anything that breaks the rules refuses the whole catalogue.
    const auto without = [&](const std::wstring& text, const std::wstring& part, const std::wstring& instead) {
        std::wstring changed = text;
        return changed.replace(changed.find(part), part.size(), instead);
    };
    const std::wstring good = head + nexus + oneplus;
    for (const std::wstring& bad :
         {without(good, L"<version>7</version>", L""), without(good, L"7", L"7a"),
          without(good, L"<version>7</version>", L"<version>7</version><version>8</version>"),
          without(good, L"<script>openrecoveryscript</script>", L""), without(good, L">keep<", L">stock<"),
          without(good, L">openrecoveryscript<", L">twrp<"), without(good, L"<brand>oneplus</brand>", L""),
          without(good, L"<device>bacon</device>", L"<device>bacon</device><device>one</device>"),
          without(good, L">bacon<", L">..\\\\bacon<"), without(good, L"<name>OnePlus One</name>", L"<name></name>"),
          without(good, L"<model>", L"<!-- a comment --><model>"), without(good, L"OnePlus One</phonemode>", L"OnePlus &x;</phonemode>"),
          without(good, L"<models>", L"<catalogue>"), without(good, L"<until>2027-03-01</until>", L""),
          without(good, L"2027-03-01", L"2027-02-30"), without(good, key, key.substr(1)),
          without(good, key, L"<k>" + key + L"</k>")}) {
        Catalogue refused;
        EXPECT_FALSE(ReadCatalogueText(bad, refused)) << WideToUtf8(bad);
        EXPECT_TRUE(refused.models.empty());
    }
}
