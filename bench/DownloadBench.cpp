// FetchRom of a large package against a bare WinINet loop in the same Wine,
// and the program's peak memory for a small and a large package.
#include <windows.h>
#include <psapi.h>
#include <wininet.h>

#include <gtest/gtest.h>

#include "BenchSupport.h"
#include "TestSupport.h"
#include "download/ResourceDownloader.h"

using namespace mirq;
using namespace mirqtest;
using namespace mirqbench;

namespace {

double BareLoopMs(const std::wstring& url, size_t& bytes) {
    double start = NowMs();
    HINTERNET session = InternetOpenW(L"bench", INTERNET_OPEN_TYPE_DIRECT, nullptr, nullptr, 0);
    HINTERNET request = InternetOpenUrlW(session, url.c_str(), nullptr, 0, INTERNET_FLAG_NO_CACHE_WRITE, 0);
    std::vector<char> block(0x3000);
    DWORD got = 0;
    bytes = 0;
    while (InternetReadFile(request, block.data(), (DWORD)block.size(), &got) && got) bytes += got;
    InternetCloseHandle(request);
    InternetCloseHandle(session);
    return NowMs() - start;
}

size_t PeakMb() {
    PROCESS_MEMORY_COUNTERS pmc = {};
    GetProcessMemoryInfo(GetCurrentProcess(), &pmc, sizeof(pmc));
    return pmc.PeakWorkingSetSize / (1024 * 1024);
}

}  // namespace

TEST(Bench, FetchRomThroughput) {
    const int sizesMb[] = {16, 256};
    CResourceDownloader* downloader = CResourceDownloader::GetInstance();
    for (int mb : sizesMb) {
        ServiceControl("reset");
        ServiceControl("set?rom_size=" + std::to_string(mb * 1024 * 1024));
        size_t bytes = 0;
        BareLoopMs(ServiceUrl(L"files/rom/crespo.zip"), bytes);  // the service builds and caches the file
        double bare = BareLoopMs(ServiceUrl(L"files/rom/crespo.zip"), bytes);
        downloader->Reset();
        downloader->Configure(nullptr, nullptr, 0, 2);
        const std::wstring target = GetSandbox().base + L"\\bench.zip";
        double start = NowMs();
        EXPECT_TRUE(downloader->FetchRom(target));
        double fetch = NowMs() - start;
        DeleteFileW(target.c_str());
        double mbytes = bytes / 1048576.0;
        printf("BENCH download %d MiB: FetchRom %.1f MB/s, bare WinINet loop %.1f MB/s, ratio %.2f "
               "(target >= 0.9) %s; peak working set so far %u MiB\n",
               mb, mbytes / (fetch / 1000), mbytes / (bare / 1000), bare / fetch, bare / fetch >= 0.9 ? "MET" : "MISSED",
               static_cast<unsigned>(PeakMb()));
    }
}

TEST(Bench, ResumeAfterABrokenLink) {
    CResourceDownloader* downloader = CResourceDownloader::GetInstance();
    const std::wstring target = GetSandbox().base + L"\\resume.zip";
    ServiceControl("reset");
    ServiceControl("set?rom_size=" + std::to_string(256 * 1024 * 1024) + "&short=1");
    downloader->Reset();
    downloader->Configure(nullptr, nullptr, 0, 2);
    EXPECT_FALSE(downloader->FetchRom(target));
    const long long first = std::stoll(ServiceControl("bytes"));
    ServiceControl("set?short=0");
    const double start = NowMs();
    EXPECT_TRUE(downloader->FetchRom(target));
    const double took = NowMs() - start;
    const long long again = std::stoll(ServiceControl("bytes")) - first;
    const long long size = first * 2;  // the service cut the file at half
    const long long allowed = size - first + 64 * 1024;  // the rest plus one block
    printf("BENCH resume 256 MiB cut at half: %.1f MiB sent again (the rest is %.1f MiB; target <= rest + one block) %s; "
           "%.1f s\n", again / 1048576.0, (size - first) / 1048576.0, again <= allowed ? "MET" : "MISSED", took / 1000);
    DeleteFileW(target.c_str());
    downloader->Reset();
}
