// The downloader through real WinINet against the local service.
#include <windows.h>

#include <map>

#include <gtest/gtest.h>

#include "util/Thread.h"

#include "FakeHost.h"
#include "TestSupport.h"
#include "device/ModelCatalogue.h"
#include "download/CatalogueService.h"
#include "download/Digest.h"
#include "download/PieceDownload.h"
#include "download/ResourceDownloader.h"
#include "download/SeenReleases.h"
#include "download/SignedRecords.h"
#include "download/UrlQuery.h"
#include "log/logger.h"
#include "util/Thread.h"

using namespace mirq;
using namespace mirqtest;

namespace {

// Asks for a stop when a chosen report arrives.
class CStoppingListener : public CRecordingListener {
public:
    CStoppingListener(CStopToken& stop, bool (*when)(int)) : m_stop(stop), m_when(when) {}
    void OnProgress(int percent, const std::wstring& text) override {
        CRecordingListener::OnProgress(percent, text);
        if (m_when(percent)) m_stop.Request();
    }

private:
    CStopToken& m_stop;
    bool (*m_when)(int);
};

class Download : public CServiceTest {
protected:
    void SetUp() override {
        CServiceTest::SetUp();
        downloader = CResourceDownloader::GetInstance();
        downloader->Reset();
        downloader->Configure(nullptr, nullptr, 0, 2);
        downloader->SetListener(&listener);
        target = GetSandbox().base + L"\\update.zip";
    }
    void TearDown() override {
        UseLocalService();
        downloader->ClearListener();
        downloader->Reset();
        CServiceTest::TearDown();
    }

    CResourceDownloader* downloader = nullptr;
    CRecordingListener listener;
    std::wstring target;
};

}  // namespace

TEST_F(Download, QuerySendsTheDocumentAsTheServiceExpects) {
    std::wstring answer = downloader->QueryDownloadUrl(1);
    EXPECT_EQ(ExtractFlashUrl(answer), ServiceUrl(L"files/rom/crespo.zip"));
    downloader->QueryDownloadUrl(1);
    // Each query with a nonce of its own: 32 lower-case hex digits, fresh
    // in (nearly) every byte. UTF-8, and it says so.
    const std::string log = ServiceControl("log"), head = "POST /ota/ota/geturl.action HTTP/1.0|OTA_Service|"
                                                         "<?xml version=\"1.0\" encoding=\"UTF-8\"?>"
                                                         "<root><phonemode>Nexus S</phonemode><flashtype>1</flashtype><nonce>";
    ASSERT_EQ(log.size(), 2 * (head.size() + 32 + 15) + 1) << log;
    const std::string first = log.substr(head.size(), 32), second = log.substr(log.size() - 32 - 15, 32);
    EXPECT_EQ(log, head + first + "</nonce></root>\n" + head + second + "</nonce></root>");
    EXPECT_EQ(WideToUtf8(HexDigits(Utf8ToWide(first), 32)), first);
    int sameBytes = 0;
    for (size_t i = 0; i < 32; i += 2) sameBytes += first.compare(i, 2, second, i, 2) == 0;
    EXPECT_LE(sameBytes, 4) << first << " " << second;
}

TEST_F(Download, QueryAnswerInSeveralPiecesIsReadWhole) {
    ServiceControl("set?split=1");
    EXPECT_EQ(ExtractFlashUrl(downloader->QueryDownloadUrl(2)), ServiceUrl(L"files/recovery/crespo.img"));
    // A long address keeps what follows it, to the signature's end.
    ServiceControl("set?split=0&url_query=1500");
    const std::wstring answer = downloader->QueryDownloadUrl(1);
    EXPECT_EQ(ExtractFlashUrl(answer).size(), ServiceUrl(L"files/rom/crespo.zip?token=").size() + 1500);
    EXPECT_NE(answer.find(L"</signature></root>"), std::wstring::npos);
}

TEST_F(Download, QueryWithAnErrorStatusIsEmpty) {
    for (const char* status : {"404", "500"}) {
        ServiceControl(std::string("set?query_status=") + status);
        EXPECT_EQ(downloader->QueryDownloadUrl(1), L"") << status;
    }
}

TEST_F(Download, FetchRomOfAFastTransferReports0And10And100) {
    const std::string signedFile = Served(L"files/rom/crespo.zip");
    ServiceControl("set?extra=200000");  // more than signed follows the file: cut off
    EXPECT_TRUE(downloader->FetchRom(target));
    EXPECT_EQ(ReadBytes(target), signedFile);
    EXPECT_EQ(listener.reports, (std::vector<CRecordingListener::Report>{{0, L"ROM下载中..."}, {10, L""}, {100, L""}}));
    EXPECT_FALSE(FileExists(target + L".part"));
    // Exactly the signed size and a connection held open: complete at its last byte.
    ServiceControl("set?extra=0&declare_extra=1000&linger_ms=40000");
    EXPECT_TRUE(downloader->FetchRom(target + L"2"));
    EXPECT_TRUE(ReadBytes(target + L"2") == signedFile);
}

TEST_F(Download, FetchRecoveryAsksForFlashType2) {
    const std::wstring image = RecoveryImagePath(2);
    EXPECT_TRUE(downloader->FetchRecovery(image));
    EXPECT_EQ(ReadBytes(image), Served(L"files/recovery/crespo.img"));
    EXPECT_NE(ServiceControl("log").find("<flashtype>2</flashtype>"), std::string::npos);
    // The query leaves in UTF-8 byte for byte, a phonemode outside ASCII too.
    Catalogue korean;
    korean.models.resize(1);
    korean.models[0].phonemode = L"\uAC24\uB7ED\uC2DC S";
    downloader->Reset();
    downloader->Configure(nullptr, nullptr, 0, 0, CModelRows::Make(korean));
    downloader->FetchRecovery(image);
    EXPECT_NE(ServiceControl("log").find("<phonemode>\xEA\xB0\xA4\xEB\x9F\xAD\xEC\x8B\x9C S</phonemode>"), std::string::npos);
    downloader->Reset();
    downloader->Configure(nullptr, nullptr, 0, 2);
}

// Without a signed size (a build without the service's key) and without a
// Content-Length, the bar counts against a default size.
TEST_F(Download, WithoutContentLengthImagesCountAgainst4MiB) {
    UseLocalService(false);
    ServiceControl("set?no_length=1&slow_ms=400");
    EXPECT_TRUE(downloader->FetchRecovery(GetSandbox().base + L"\\r.img"));
    std::vector<int> p = listener.Percents();
    ASSERT_GT(p.size(), 3u);
    for (size_t i = 2; i + 1 < p.size(); ++i) {
        EXPECT_GE(p[i], 10);
        EXPECT_LE(p[i], 10 + 200000 * 90 / 4194304);
    }
    EXPECT_EQ(p.back(), 100);
}

TEST_F(Download, WithoutContentLengthPackagesCountAgainst90MiB) {
    UseLocalService(false);
    ServiceControl("set?no_length=1&slow_ms=40&rom_size=2000000");
    EXPECT_TRUE(downloader->FetchRom(target));
    std::vector<int> p = listener.Percents();
    ASSERT_GT(p.size(), 3u);
    for (size_t i = 2; i + 1 < p.size(); ++i) {  // 2 MB of 90 MiB is at most 1.9 points
        EXPECT_GE(p[i], 10);
        EXPECT_LE(p[i], 11);
    }
    EXPECT_EQ(ReadBytes(target).size(), Served(L"files/rom/crespo.zip").size());
}

TEST_F(Download, PercentCapsAt100WhenTheDefaultSizeIsExceeded) {
    UseLocalService(false);
    ServiceControl("set?no_length=1&slow_ms=25&rom_size=8000000");
    EXPECT_TRUE(downloader->FetchRom(GetSandbox().base + L"\\big.img"));
    std::vector<int> p = listener.Percents();
    EXPECT_EQ(*std::max_element(p.begin(), p.end() - 1), 100);
    for (size_t i = 1; i < p.size(); ++i) EXPECT_GE(p[i], p[i - 1]);
}

TEST_F(Download, StopDuringTheTransferEndsAtTheNextReport) {
    ServiceControl("set?slow_ms=100&rom_size=3000000");
    CStopToken stop;
    CStoppingListener stopper(stop, [](int p) { return p > 10 && p < 100; });
    downloader->SetListener(&stopper);
    DWORD start = GetTickCount();
    EXPECT_FALSE(downloader->FetchRom(target, stop));
    EXPECT_LT(GetTickCount() - start, 3000u);  // the whole transfer takes about 5 s
    std::vector<int> p = stopper.Percents();
    ASSERT_EQ(p.size(), 4u);
    EXPECT_EQ(p.back(), 100);
    EXPECT_FALSE(FileExists(target));
    EXPECT_FALSE(FileExists(target + L".part"));
}

TEST_F(Download, StopRightAfterTheQueryReturnsWithout100) {
    CStopToken stop;
    CStoppingListener stopper(stop, [](int p) { return p == 10; });
    downloader->SetListener(&stopper);
    EXPECT_FALSE(downloader->FetchRom(target, stop));
    EXPECT_EQ(stopper.Percents(), (std::vector<int>{0, 10}));
    EXPECT_EQ(ServiceControl("log").find("GET /files"), std::string::npos);
}

TEST_F(Download, StopBeforeTheQueryAsksNothing) {
    CStopToken stop;
    stop.Request();
    EXPECT_FALSE(downloader->FetchRom(target, stop));
    EXPECT_EQ(listener.Percents(), (std::vector<int>{0}));
    EXPECT_EQ(ServiceControl("log"), "");
}

TEST_F(Download, WhitespaceAndMissingAddressesAreRefused) {
    for (const char* fault : {"url_space=1", "no_flashurl=1"}) {
        SCOPED_TRACE(fault);
        ServiceControl("reset");
        ServiceControl(std::string("set?") + fault);
        listener.reports.clear();
        EXPECT_FALSE(downloader->FetchRom(target));
        EXPECT_EQ(listener.Percents(), (std::vector<int>{0, 100}));
        EXPECT_FALSE(FileExists(target));
    }
}

TEST_F(Download, UnidentifiedPhoneFetchesNothing) {
    downloader->Reset();
    downloader->Configure(nullptr, nullptr, 0, -1);
    EXPECT_FALSE(downloader->FetchRom(target));
    EXPECT_TRUE(listener.reports.empty());
}

TEST_F(Download, ConfigureIsIgnoredUntilReset) {
    downloader->Configure(nullptr, nullptr, 0, 3);
    EXPECT_EQ(downloader->GetModelId(), 2);
    downloader->Reset();
    downloader->Configure(nullptr, nullptr, 0, 3);
    EXPECT_EQ(downloader->GetModelId(), 3);
}

TEST_F(Download, ABrokenLinkKeepsWhatArrivedAndTheNextAttemptAsksForTheRest) {
    ServiceControl("set?rom_size=3000000");
    const size_t size = Served(L"files/rom/crespo.zip").size();
    ServiceControl("set?short=1");
    EXPECT_FALSE(downloader->FetchRom(target));
    EXPECT_FALSE(FileExists(target));
    EXPECT_EQ(ReadBytes(target + L".part").size(), size / 2);  // half, kept
    ASSERT_FALSE(listener.Percents().empty());
    EXPECT_EQ(listener.Percents().back(), 100);
    // Named now at another address (a file moved to another host), with no
    // strong validator: the same signed file, so only the rest is asked for.
    ServiceControl("set?short=0&url_query=12&weak_etag=1");
    const long long before = std::stoll(ServiceControl("bytes"));
    EXPECT_TRUE(downloader->FetchRom(target));
    EXPECT_EQ(std::stoll(ServiceControl("bytes")) - before, static_cast<long long>(size - size / 2));  // only the rest
    EXPECT_NE(ServiceControl("log").find("206 /files/rom/crespo.zip?token="), std::string::npos);
    EXPECT_EQ(ReadBytes(target), Served(L"files/rom/crespo.zip"));
    EXPECT_FALSE(FileExists(target + L".part"));
    EXPECT_FALSE(FileExists(target + L".part.info"));
}

// A file the record names in pieces comes from every place it names at once,
// each piece checked on arrival: a place that errs is dropped and the others
// bring its pieces; the one place left without ranges brings the file whole.
TEST_F(Download, PiecesComeFromEveryPlaceAndAPlaceThatErrsIsDropped) {
    const std::wstring logBase = GetSandbox().base + L"\\pieces";
    InstallLogHandler(new CFileLogHandler(kLogInfo, 0, logBase, 1 << 20, 0, 0));
    const std::string many = "set?rom_size=3000000&piece_size=262144&";  // 12 pieces
    const struct {
        const char* fault;
        const char* logged;  // in the log, or in what the service was asked
    } rows[] = {{"alt=1", " KB/s"},  // each place's bytes and speed
                {"alt=wrong", " has another SHA-256"},
                {"alt=whole", "dropped: it answers a range with the whole file"},
                {"alt=cut", "dropped: the piece broke off"},
                {"alt=down&no_ranges=1", "dropped: status 404"},  // the first, without ranges, brings it whole
                {"alt=stall", "/alt/files/rom/crespo.zip: "},  // the other brings its pieces; nothing waits for it
                // Pieces of 2 MiB come in parts of 1 MiB, from several connections and, at the end, both places;
                // a piece with parts from both that fails names neither: it comes again from one place.
                {"alt=1&piece_size=2097152", "range asked /files/rom/crespo.zip bytes=1048576-2097151"},
                {"alt=wrong&piece_size=2097152&slow_ms=10&alt_slow_ms=1", " has another SHA-256"}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.fault);
        ServiceControl("reset");
        ServiceControl(many + row.fault);
        DeleteFileW(target.c_str());
        listener.reports.clear();
        const size_t logged = ReadBytes(GetLogHandler()->FileName(ReadLogClock())).size();
        EXPECT_TRUE(downloader->FetchRom(target));
        EXPECT_TRUE(ReadBytes(target) == Served(L"files/rom/crespo.zip"));
        EXPECT_FALSE(FileExists(target + L".part") || FileExists(target + L".part.pieces"));
        const std::string log = ReadBytes(GetLogHandler()->FileName(ReadLogClock())).substr(logged), served = ServiceControl("log");
        EXPECT_NE((log + served).find(row.logged), std::string::npos) << log;
        EXPECT_NE(served.find(std::string(row.fault) == "alt=down&no_ranges=1" ? "200 /files/rom" : "206 /files/rom"), std::string::npos);
        if (std::string(row.fault) == "alt=1") {
            EXPECT_NE(served.find("206 /alt/files/rom"), std::string::npos);
            DWORD perServer = 0, size = sizeof(perServer);  // not WinINet's 2 (older versions queue the rest)
            EXPECT_TRUE(InternetQueryOptionW(nullptr, INTERNET_OPTION_MAX_CONNS_PER_SERVER, &perServer, &size));
            EXPECT_GE(perServer, static_cast<DWORD>(kMaxConnections));
            EXPECT_TRUE(std::any_of(listener.reports.begin(), listener.reports.end(), [](const CRecordingListener::Report& r) {
                return r.text.find(L"（2个地址，") != std::wstring::npos;
            }));
        }
    }
    // The program closing mid-way: the checked pieces stay with their map, and the next attempt asks for the rest only.
    ServiceControl("reset");
    ServiceControl(many + "alt=1&slow_ms=40");
    DeleteFileW(target.c_str());
    CStopToken exit;
    mirq::CThread closing([&] {
        for (int i = 0; i < 3000 && !FileExists(target + L".part.pieces"); ++i) Sleep(10);  // a piece checked
        exit.RequestForExit();
    });
    DownloadOutcome outcome = DownloadOutcome::Ok;
    EXPECT_FALSE(downloader->FetchRom(target, exit, &outcome));
    closing.Join();
    EXPECT_EQ(outcome, DownloadOutcome::Stopped);
    EXPECT_TRUE(FileExists(target + L".part.pieces"));
    const std::string kept = ReadBytes(target + L".part.pieces");
    ServiceControl("reset");
    ServiceControl(many + "alt=1");
    EXPECT_TRUE(downloader->FetchRom(target));
    const std::string asked = ServiceControl("log");
    const size_t size = Served(L"files/rom/crespo.zip").size();
    for (size_t i = 0, at = kept.find('\n') + 1; at + i < kept.size() && i < 12; ++i) {
        const std::string range = "bytes=" + std::to_string(i * 262144) + "-" + std::to_string(std::min(i * 262144 + 262143, size - 1));
        EXPECT_EQ(asked.find(range) == std::string::npos, kept[at + i] == '1') << range;  // a kept piece is not asked again
    }
    EXPECT_TRUE(ReadBytes(target) == Served(L"files/rom/crespo.zip"));
    // A map of another file's pieces asks for everything again; a stop by the user leaves nothing behind.
    DeleteFileW(target.c_str());
    WriteBytes(target + L".part", std::string(size, 'x'));  // as long as this file, its map naming another
    WriteBytes(target + L".part.pieces", "sha256:" + std::string(64, '0') + " " + std::to_string(size) + " 262144\n111111111111\n");
    const size_t before = ReadBytes(GetLogHandler()->FileName(ReadLogClock())).size();
    EXPECT_TRUE(downloader->FetchRom(target));
    EXPECT_TRUE(ReadBytes(target) == Served(L"files/rom/crespo.zip"));
    const std::string second = ReadBytes(GetLogHandler()->FileName(ReadLogClock())).substr(before);
    EXPECT_EQ(second.find("the whole differs"), std::string::npos) << second;  // not taken for this file's, then caught  // not taken for this file's, then caught
    ServiceControl("set?slow_ms=100");
    CStopToken stop;
    stop.Request();
    EXPECT_FALSE(downloader->FetchRom(target, stop, &outcome));
    EXPECT_FALSE(FileExists(target + L".part") || FileExists(target + L".part.pieces"));
    InstallLogHandler(nullptr);
}

// Who fetches what: a place keeps to the pieces it began, a second place gets only parts under way, and a
// piece that fails names its place only when that place sent all of it.
TEST(PiecePicker, APieceNamesItsPlaceOnlyWhenOnePlaceSentItAll) {
    const PieceLayout layout{(3 << 20) + 1, 2 << 20, L"", {L"", L""}};  // two pieces of two parts, the last of one byte
    CPiecePicker picker(layout, {false, false});
    std::map<std::string, CPiecePicker::Part> given;  // the last of each part
    const auto walk = [&](const std::string& places) {  // what each place in turn is given
        std::string parts;
        for (char place : places) {
            const CPiecePicker::Part part = picker.Next(place - '0');
            const std::string name = std::to_string(part.piece) + "." + std::to_string(part.index);
            given[name] = part;
            parts += name + " ";
        }
        return parts;
    };
    const auto came = [&](std::initializer_list<std::pair<const char*, int>> parts) {  // part, place: each completed its piece?
        std::string completed;
        for (const auto& p : parts) completed += picker.PartCame(given.at(p.first), p.second, std::vector<char>(1)) ? '1' : '0';
        return completed;
    };
    EXPECT_EQ(walk("011010"), "0.0 1.0 1.1 0.1 0.0 1.0 ");  // its own, then (the end) what the other alone fetches
    EXPECT_EQ(came({{"0.0", 1}, {"0.0", 0}, {"0.1", 0}}), "001");  // the slower copy of 0.0 counts for nothing
    EXPECT_EQ(picker.Take(0).size(), 2u << 20);
    EXPECT_EQ(picker.Failed(0), -1);  // from both: fetched again, by one place alone
    EXPECT_FALSE(picker.Wanted(given.at("0.1")));  // nor is a part asked for before
    EXPECT_EQ(walk("1100"), "0.0 0.1 1.1 -1.0 ");
    EXPECT_EQ(came({{"0.0", 1}}), "0");
    EXPECT_FALSE(picker.Wanted(given.at("0.0")));
    picker.Forget(1);  // a dropped place: what it began and what it sent are free again
    EXPECT_TRUE(picker.Wanted(given.at("0.0")));
    EXPECT_EQ(walk("00"), "0.0 0.1 ");
    EXPECT_EQ(came({{"0.0", 0}, {"0.1", 0}}), "01");
    picker.Take(0);
    EXPECT_EQ(picker.Failed(0), 0);
    EXPECT_EQ(came({{"1.0", 0}, {"1.1", 0}}), "01");
    picker.Take(1);
    picker.Forget(0);
    EXPECT_FALSE(picker.Wanted(given.at("1.0")));  // being checked: kept whatever befalls its place
    EXPECT_TRUE(picker.Arrived(1) && !picker.Arrived(1) && !picker.Done());
}

TEST_F(Download, WithoutRangesOrWithAChangedFileItStartsOver) {
    // No ranges, another file, a 206 that is not the rest (a proxy's).
    const struct {
        const char* first;
        const char* second;
    } cases[] = {{"", "no_ranges=1"},
                 {"", "rom_size=2900000"},
                 {"", "range_shift=1000"},
                 {"", "rom_seed=2&ignore_if_range=1"},  // a range of another file of the same length
                 {"", "range_from_zero=1&no_length=1"}};  // the whole file as a 206, of no stated length
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.first) + c.second);
        ServiceControl("reset");
        ServiceControl(std::string("set?") + c.first + "short=1&rom_size=3000000");
        EXPECT_FALSE(downloader->FetchRom(target));
        ServiceControl(std::string("set?short=0&") + c.second);
        EXPECT_TRUE(downloader->FetchRom(target));
        const std::string log = ServiceControl("log");
        const size_t partial = log.rfind("206 /files/rom"), whole = log.rfind("200 /files/rom");
        EXPECT_TRUE(partial == std::string::npos || (whole != std::string::npos && whole > partial)) << log;
        if (*c.first) { EXPECT_EQ(log.find("range asked"), std::string::npos) << log; }
        EXPECT_EQ(ReadBytes(target), Served(L"files/rom/crespo.zip"));
        EXPECT_FALSE(FileExists(target + L".part"));
    }
}

TEST_F(Download, ALengthPast2GiBIsResumed) {
    // Zeros of 3 GiB broken off twice: the second attempt asks for the rest and keeps it.
    const std::wstring big = ServiceUrl(L"files/big/3221225472.bin");
    ServiceControl("set?cut_after=1048576");
    EXPECT_FALSE(downloader->DownloadFile(big, target));
    EXPECT_FALSE(downloader->DownloadFile(big, target));
    EXPECT_EQ(RegularFileSize(target + L".part"), 2 << 20);
}

TEST_F(Download, AWholeOrAnUnwritablePartStartsOverCleanly) {
    const std::string served = Served(L"files/rom/crespo.zip");
    CDigest digest(DigestKind::Md5);  // the double's validator
    digest.Update(served.data(), served.size());
    const std::wstring md5 = digest.HexDigest();
    CDigest sha256(DigestKind::Sha256);  // what names the signed file
    sha256.Update(served.data(), served.size());
    const std::string named = "sha256:" + WideToUtf8(sha256.HexDigest()) + " " + std::to_string(served.size());
    // A kept part as large as the file (a description without a length): 416, then the whole file.
    WriteBytes(target + L".part", served);
    WriteBytes(target + L".part.info", named + "\n\"" + WideToUtf8(md5) + "\"\n");
    EXPECT_TRUE(downloader->FetchRom(target));
    EXPECT_NE(ServiceControl("log").find("416 /files/rom/crespo.zip"), std::string::npos);
    EXPECT_TRUE(ReadBytes(target) == served);
    // Kept parts not to be used: other bytes, whole; a start described with
    // another length than signed (neither is resumed); one that cannot be
    // removed (read-only) with a server that answers 416, or a range that is
    // not the rest (asked once, then the download ends).
    const std::string description = named + "\n\"" + WideToUtf8(md5) + "\"\n";
    std::string other = served;
    other[other.size() / 2] ^= 1;
    const struct {
        std::string part, total;
        const char* fault;
        bool readOnly;
    } parts[] = {{other, std::to_string(served.size()) + "\n", "", false},
                 {served.substr(0, 1000), std::to_string(served.size() + 1) + "\n", "", false},
                 {served, "", "", true},
                 {served.substr(0, served.size() / 2), "", "range_shift=1000", true}};
    for (const auto& kept : parts) {
        ServiceControl("reset");
        ServiceControl(std::string("set?") + kept.fault);
        WriteBytes(target + L".part", kept.part);
        WriteBytes(target + L".part.info", description + kept.total);
        SetFileAttributesW((target + L".part").c_str(), kept.readOnly ? FILE_ATTRIBUTE_READONLY : FILE_ATTRIBUTE_NORMAL);
        DownloadOutcome outcome = DownloadOutcome::Stopped;
        downloader->FetchRom(target, CStopToken::Never(), &outcome);
        EXPECT_EQ(outcome, kept.readOnly ? DownloadOutcome::Failed : DownloadOutcome::Ok) << kept.fault;
        const std::string log = ServiceControl("log");
        EXPECT_EQ(log.find("range asked") != std::string::npos, kept.readOnly);
        EXPECT_EQ(log.find("range asked"), log.rfind("range asked"));
        if (kept.readOnly) EXPECT_EQ(log.find("200 /files/rom"), std::string::npos);
        else EXPECT_TRUE(ReadBytes(target) == served);
        SetFileAttributesW((target + L".part").c_str(), FILE_ATTRIBUTE_NORMAL);
    }
    DeleteFileW((target + L".part").c_str());
    // A part that cannot be written leaves no description of it behind.
    ASSERT_TRUE(CreateDirectoryW((target + L".part").c_str(), nullptr));
    EXPECT_FALSE(downloader->FetchRom(target));
    EXPECT_FALSE(FileExists(target + L".part.info"));
    RemoveDirectoryW((target + L".part").c_str());
}

TEST_F(Download, ASlowTransferShowsSpeedAndTimeLeft) {
    ServiceControl("set?slow_ms=100&rom_size=3000000");
    EXPECT_TRUE(downloader->FetchRom(target));
    bool seen = false;
    for (const auto& r : listener.reports)
        seen |= r.text.find(L"ROM下载中... ") == 0 && r.text.find(L"/s，剩余约 ") != std::wstring::npos;
    EXPECT_TRUE(seen);
    EXPECT_EQ(FormatDownloadStatus(2.4 * 1048576, 65), L"ROM下载中... 2.4 MB/s，剩余约 1分05秒");
    EXPECT_EQ(FormatDownloadStatus(51200, -1), L"ROM下载中... 50 KB/s");
    EXPECT_EQ(FormatDownloadStatus(1048576, 3725), L"ROM下载中... 1.0 MB/s，剩余约 1小时02分");
    EXPECT_EQ(FormatDownloadStatus(0, -1), L"ROM下载中...");
}

TEST_F(Download, FailureLeavesTheEarlierFileAsItWas) {
    WriteBytes(target, "earlier package");
    const struct {
        const char* fault;
        bool partKept;
    } rows[] = {{"short=1", true}, {"file_status=404", true}, {"file_status=500", true},  // the half stays
                {"md5=wrong", false}, {"tamper=1", false}};  // the last: same length, other bytes than signed
    for (const auto& row : rows) {
        SCOPED_TRACE(row.fault);
        ServiceControl("reset");
        ServiceControl(std::string("set?") + row.fault);
        EXPECT_FALSE(downloader->FetchRom(target));
        EXPECT_EQ(ReadBytes(target), "earlier package");
        EXPECT_EQ(FileExists(target + L".part"), row.partKept);
    }
    ServiceControl("reset");
    EXPECT_TRUE(downloader->FetchRom(target));
    EXPECT_EQ(ReadBytes(target), Served(L"files/rom/crespo.zip"));
}

TEST_F(Download, OnlyAnAnswerSignedForThisPhoneAndFileIsFollowed) {
    const std::wstring logBase = GetSandbox().base + L"\\answers";
    InstallLogHandler(new CFileLogHandler(kLogInfo, 0, logBase, 1 << 20, 0, 0));
    const struct {
        const char* fault;
        DownloadOutcome outcome;
        const char* logged;
    } rows[] = {
        {"", DownloadOutcome::Ok, "signature verified"},
        {"nonce=replay", DownloadOutcome::AnswerRefused, "refused: not the answer to this query"},
        {"nonce=none", DownloadOutcome::AnswerRefused, "refused: not the answer to this query"},
        {"shape=dup", DownloadOutcome::AnswerRefused, "refused: an element twice"},
        {"shape=comment", DownloadOutcome::AnswerRefused, "refused: not a plain document"},
        {"shape=nested", DownloadOutcome::AnswerRefused, "refused: not a plain document"},
        {"status=withdrawn", DownloadOutcome::AnswerRefused, "refused: the status is not ok"},
        {"omit=status", DownloadOutcome::AnswerRefused, "refused: the status is not ok"},
        {"size_text=1%3C%2Fsha256%3E", DownloadOutcome::AnswerRefused, "refused: the release record is not one the root key signed"},
        {"size_text=0", DownloadOutcome::AnswerRefused, "refused: no size"},
        {"size_text=%2BN", DownloadOutcome::AnswerRefused, "refused: no size"},
        {"shape=after", DownloadOutcome::AnswerRefused, "refused: no size"},
        {"shape=twosig", DownloadOutcome::Ok, "signature verified"},  // nothing after the first is read
        {"shape=amp", DownloadOutcome::Ok, "signature verified"},     // asked for as ?a=1&b=2
        {"sign=none", DownloadOutcome::AnswerRefused, "refused: no signature"},
        {"sign=broken", DownloadOutcome::AnswerRefused, "refused: the signature does not verify"},
        {"sign=otherkey", DownloadOutcome::AnswerRefused, "refused: the signature does not verify"},
        {"sign=otherphone", DownloadOutcome::AnswerRefused, "refused: signed for another phone"},
        {"omit=phonemode", DownloadOutcome::AnswerRefused, "refused: signed for another phone"},
        {"sign=otherfile", DownloadOutcome::AnswerRefused, "refused: signed for the other file"},
        {"omit=size", DownloadOutcome::AnswerRefused, "refused: no size"},
        {"omit=sha256", DownloadOutcome::AnswerRefused, "refused: no SHA-256"},
        // What a serving host alone can sign chooses no file; the root's certificate is what it needs.
        {"cert=none", DownloadOutcome::AnswerRefused, "refused: the service's certificate is not one the root key signed"},
        {"cert=otherroot", DownloadOutcome::AnswerRefused, "refused: the service's certificate is not one the root key signed"},
        {"cert=ended", DownloadOutcome::AnswerRefused, "refused: the service's certificate has ended"},
        {"record=online", DownloadOutcome::AnswerRefused, "refused: the release record is not one the root key signed"},
        {"record=edited", DownloadOutcome::AnswerRefused, "refused: the release record is not one the root key signed"},
        {"record=otherphone", DownloadOutcome::AnswerRefused, "refused: signed for another phone"},
        {"record=otherfile", DownloadOutcome::AnswerRefused, "refused: signed for the other file"},
        {"online=second", DownloadOutcome::Ok, "signature verified (release 1, certificate until 2099-12-31, record until 2099-12-31)"},
        // What the root signed ends, whatever version this PC saw (a fresh PC too), and names the only places.
        {"record_until=ended", DownloadOutcome::AnswerRefused, "refused: the release record has ended (or the PC's date is wrong) (it ended on 2020-01-01)"},
        {"place=outside", DownloadOutcome::AnswerRefused, "refused: an address the release record does not name"},
        {"piece_size=65536&pieces=count", DownloadOutcome::AnswerRefused, "refused: the release record is not one the root key signed"},
        {"piece_size=16777217", DownloadOutcome::AnswerRefused, "refused: the release record is not one the root key signed"},
        {"cert=today&record_until=today", DownloadOutcome::Ok, "signature verified"},  // to the end of the last day (UTC)
        // A key under 2048 bits signs nothing, whatever the root's certificate says of it.
        {"online=small", DownloadOutcome::AnswerRefused, "refused: the signature does not verify"},
        // Last: once release 3 was seen, release 2 is a rollback, kept across starts.
        {"record_version=3", DownloadOutcome::Ok, "signature verified (release 3"},
        {"record_version=2", DownloadOutcome::AnswerRefused, "refused: an older release than one this PC has seen"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.fault);
        ServiceControl("reset");
        ServiceControl(std::string("set?") + row.fault);
        DeleteFileW(target.c_str());
        const size_t logged = ReadBytes(GetLogHandler()->FileName(ReadLogClock())).size();
        DownloadOutcome outcome = DownloadOutcome::Failed;
        downloader->FetchRom(target, CStopToken::Never(), &outcome);
        EXPECT_EQ(outcome, row.outcome);
        EXPECT_EQ(FileExists(target), row.outcome == DownloadOutcome::Ok);
        if (row.outcome != DownloadOutcome::Ok) { EXPECT_EQ(ServiceControl("log").find("GET /files"), std::string::npos); }
        const std::string log = ReadBytes(GetLogHandler()->FileName(ReadLogClock())).substr(logged);
        EXPECT_NE(log.find(std::string("the answer for flash type 1: ") + row.logged), std::string::npos);
        if (row.outcome == DownloadOutcome::Ok) { EXPECT_TRUE(ReadBytes(target) == Served(L"files/rom/crespo.zip")); }
        if (std::string(row.fault) == "shape=amp") {
            EXPECT_NE(ServiceControl("log").find("GET /files/rom/crespo.zip?a=1&b=2 "), std::string::npos);
        }
    }
    EXPECT_EQ(ReadBytes(SeenReleasesPath()), "1 3 Nexus S\n");
    // Kept per phone and flash type: release 3 of the package refuses no recovery image of release 2.
    EXPECT_TRUE(downloader->FetchRecovery(GetSandbox().base + L"\\recovery.img"));
    EXPECT_EQ(ReadBytes(SeenReleasesPath()), "1 3 Nexus S\n2 2 Nexus S\n");
    InstallLogHandler(nullptr);
    // Built without a key, the answer is taken as it comes.
    UseLocalService(false);
    ServiceControl("set?sign=none");
    EXPECT_TRUE(downloader->FetchRom(target));
}

TEST_F(Download, TheCatalogueIsKeptAndNeverRolledBack) {
    const std::wstring service = downloader->ServiceUrl();
    const std::string key = downloader->ServiceKey();
    // Each start of the program: a window with the built-in rows.
    const auto start = [&](CFakeHost& window, const std::string& withKey) {
        return FetchCatalogue(service, withKey, window.LatestCatalogue()->Version(), window, CStopToken::Never());
    };
    const auto knowsTheOnePlus = [](CFakeHost& window) { return window.LatestCatalogue()->Find(L"OnePlus", L"bacon") >= 0; };
    CFakeHost first;
    ServiceControl("set?catalogue_version=5");
    EXPECT_TRUE(start(first, key));
    EXPECT_TRUE(knowsTheOnePlus(first));
    const std::string kept = ReadBytes(KeptCataloguePath());
    EXPECT_NE(kept.find("<version>5</version>"), std::string::npos);
    // A new start: offline, the kept copy is verified and used; an older
    // version, another of the same version (without the OnePlus), an unsigned
    // one, one by another key, one that breaks the rules change nothing; a
    // newer one is kept.
    const struct {
        const char* fault;
        long long version;
    } rows[] = {{"catalogue=none", 5}, {"catalogue_version=3", 5}, {"catalogue_version=5&catalogue_rows=4", 5},
                {"catalogue=unsigned&catalogue_version=9", 5}, {"catalogue=otherkey&catalogue_version=9", 5},
                {"catalogue=broken&catalogue_version=9", 5},
                {"catalogue_version=6&catalogue_extra=8000", 6}};  // 1.6 MB: as large as the service hands out, up to 16 MiB
    for (const auto& row : rows) {
        SCOPED_TRACE(row.fault);
        CFakeHost window;
        ServiceControl("reset");
        ServiceControl(std::string("set?") + row.fault);
        EXPECT_TRUE(start(window, key));
        EXPECT_EQ(window.LatestCatalogue()->Version(), row.version);
        EXPECT_TRUE(knowsTheOnePlus(window));
        EXPECT_EQ(ReadBytes(KeptCataloguePath()) == kept, row.version == 5);
    }
    // A kept copy that does not verify is not used (a byte changed, or a
    // device changed under the old signature); a build without the key uses
    // the built-in rows alone.
    ServiceControl("set?catalogue=none");
    const std::string newest = ReadBytes(KeptCataloguePath());
    std::string renamed = newest;
    renamed.replace(renamed.find(">bacon<"), 7, ">bacoo<");
    for (const std::string& broken : {newest.substr(0, newest.size() / 2) + "x" + newest.substr(newest.size() / 2 + 1), renamed}) {
        WriteBytes(KeptCataloguePath(), broken);
        CFakeHost window;
        EXPECT_FALSE(start(window, key));
        EXPECT_FALSE(start(window, ""));
        EXPECT_EQ(window.LatestCatalogue()->Find(L"OnePlus", L"bacoo"), -1);
        EXPECT_FALSE(knowsTheOnePlus(window));
        EXPECT_EQ(window.LatestCatalogue()->Find(L"Google", L"crespo"), 2);
    }
    // A catalogue of version 0, like the built-in rows', is kept and used offline.
    DeleteFileW(KeptCataloguePath().c_str());
    ServiceControl("reset");
    ServiceControl("set?catalogue_version=0");
    CFakeHost zero;
    EXPECT_TRUE(start(zero, key));
    ServiceControl("set?catalogue=none");
    CFakeHost offline;
    EXPECT_TRUE(start(offline, key));
    EXPECT_TRUE(knowsTheOnePlus(offline));
    // One that has ended is kept and told (nothing older may come back) but identifies nothing: the
    // built-in rows serve, and the online key it withdrew signs nothing.
    ServiceControl("reset");
    ServiceControl("set?catalogue_version=7&catalogue_until=ended&withdraw=online");
    CFakeHost ended;
    EXPECT_TRUE(start(ended, key));
    EXPECT_FALSE(knowsTheOnePlus(ended));
    EXPECT_EQ(ended.catalogues.Ended(), L"2020-01-01");
    downloader->Reset();
    downloader->Configure(nullptr, nullptr, 0, 2, ended.LatestCatalogue());
    DownloadOutcome outcome = DownloadOutcome::Ok;
    EXPECT_FALSE(downloader->FetchRom(target, CStopToken::Never(), &outcome));
    EXPECT_EQ(downloader->Refusal(), AnswerCheck::KeyWithdrawn);
    EXPECT_EQ(ServiceControl("log").find("GET /files"), std::string::npos);
}

TEST_F(Download, StopEndsAStalledReadWithinSeconds) {
    ServiceControl("set?slow_ms=60000&rom_size=3000000");  // one block, then a minute of silence
    CStopToken stop;
    mirq::CThread stopper([&] {
        Sleep(1500);
        stop.Request();
    });
    const DWORD start = GetTickCount();
    EXPECT_FALSE(downloader->FetchRom(target, stop));
    const DWORD took = GetTickCount() - start;
    stopper.Join();
    EXPECT_LT(took, 1500u + 2500u);
    EXPECT_FALSE(FileExists(target + L".part"));
}

TEST_F(Download, UnwritableTargetFailsWithoutDownloading) {
    EXPECT_FALSE(downloader->FetchRom(GetSandbox().base + L"\\no such folder\\update.zip"));
}

TEST_F(Download, MalformedAddressFailsBeforeConnecting) {
    EXPECT_FALSE(downloader->DownloadFile(ServiceUrl(L""), target));
    EXPECT_FALSE(downloader->DownloadFile(L"http://127.0.0.1:0/files/rom/crespo.zip", target));
    EXPECT_EQ(ServiceControl("log"), "");
}

TEST_F(Download, ServiceConnectionCheck) {
    // The home page's check (the window's own runs against the build's address in the flows).
    const std::wstring home = ServiceUrl(L"");
    EXPECT_TRUE(CheckServiceConnection(home));
    EXPECT_TRUE(CheckServiceConnection(ServiceUrl(L"no-such-page")));  // a 404 is an answer: the network is there
    ServiceControl("set?file_status=503");
    EXPECT_TRUE(CheckServiceConnection(ServiceUrl(L"files/rom/crespo.zip")));
    EXPECT_FALSE(CheckServiceConnection(L"http://127.0.0.1:8099/"));
    ServiceControl("down?ms=2500");
    Sleep(400);
    EXPECT_FALSE(CheckServiceConnection(home));
    bool back = false;
    for (int i = 0; i < 50 && !back; ++i, Sleep(200)) back = CheckServiceConnection(home);
    EXPECT_TRUE(back);
}
