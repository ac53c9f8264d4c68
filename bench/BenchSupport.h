#pragma once
// Small helpers shared by the benchmarks: repeated timings and medians.
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

namespace mirqbench {

inline double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

inline double NowMs() {
    LARGE_INTEGER f, c;
    QueryPerformanceFrequency(&f);
    QueryPerformanceCounter(&c);
    return c.QuadPart * 1000.0 / f.QuadPart;
}

inline std::vector<double> TimeRuns(int runs, const std::function<void()>& body) {
    std::vector<double> t;
    for (int i = 0; i < runs; ++i) {
        double start = NowMs();
        body();
        t.push_back(NowMs() - start);
    }
    return t;
}

// Runs the test-double adb directly, reading its standard output through a pipe.
std::string RunAdbDirect(const std::wstring& adb, const std::wstring& args);

}  // namespace mirqbench
