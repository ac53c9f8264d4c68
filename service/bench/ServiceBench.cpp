// Signed answers per second from a service at HOST:PORT: CLIENTS clients at
// once, each on a kept-alive connection, asking with a nonce of its own each
// time, for SECONDS. The CPU the given processes spent meanwhile (the serve
// processes) tells the answers per core-second, which one RSA signature per
// answer bounds.
// usage: service_bench HOST PORT CLIENTS SECONDS [PID...]
#include <httplib.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <random>
#include <sstream>
#include <unistd.h>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

// User and system time of a process, in seconds.
double CpuSeconds(int pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const size_t close = stat.rfind(')');
    if (close == std::string::npos) return 0;
    std::istringstream fields(stat.substr(close + 2));
    std::string field;
    double ticks = 0;
    for (int i = 3; fields >> field && i <= 15; ++i)
        if (i == 14 || i == 15) ticks += std::stod(field);
    return ticks / sysconf(_SC_CLK_TCK);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 5) {
        fprintf(stderr, "usage: service_bench HOST PORT CLIENTS SECONDS [PID...]\n");
        return 2;
    }
    const std::string host = argv[1];
    const int port = atoi(argv[2]), clients = atoi(argv[3]);
    const double seconds = atof(argv[4]);
    std::vector<int> pids;
    for (int i = 5; i < argc; ++i) pids.push_back(atoi(argv[i]));
    double cpuBefore = 0;
    for (int pid : pids) cpuBefore += CpuSeconds(pid);
    std::atomic<long> failed{0};
    std::vector<std::vector<double>> latencies(clients);
    std::vector<std::thread> threads;
    const auto start = Clock::now();
    const auto end = start + std::chrono::milliseconds(static_cast<long>(seconds * 1000));
    for (int c = 0; c < clients; ++c)
        threads.emplace_back([&, c] {
            httplib::Client client(host, port);
            client.set_keep_alive(true);
            client.set_read_timeout(30);
            std::mt19937_64 random(c * 7919 + 1);
            char nonce[33];
            while (Clock::now() < end) {
                snprintf(nonce, sizeof(nonce), "%016llx%016llx", static_cast<unsigned long long>(random()),
                         static_cast<unsigned long long>(random()));
                const std::string body = std::string("<root><phonemode>Nexus S</phonemode><flashtype>1</flashtype><nonce>") +
                                         nonce + "</nonce></root>";
                const auto asked = Clock::now();
                const auto r = client.Post("/ota/ota/geturl.action", body, "text/xml; charset=utf-8");
                if (!r || r->status != 200 || r->body.find(nonce) == std::string::npos) {
                    ++failed;
                    continue;
                }
                latencies[c].push_back(std::chrono::duration<double, std::milli>(Clock::now() - asked).count());
            }
        });
    for (std::thread& t : threads) t.join();
    const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    double cpu = -cpuBefore;
    for (int pid : pids) cpu += CpuSeconds(pid);
    std::vector<double> all;
    for (const auto& l : latencies) all.insert(all.end(), l.begin(), l.end());
    std::sort(all.begin(), all.end());
    const auto at = [&](double q) { return all.empty() ? 0.0 : all[std::min(all.size() - 1, size_t(q * all.size()))]; };
    printf("answers %zu failed %ld seconds %.2f per_second %.1f p50_ms %.2f p99_ms %.2f cpu_seconds %.2f per_cpu_second %.1f\n",
           all.size(), failed.load(), elapsed, all.size() / elapsed, at(0.5), at(0.99), cpu,
           cpu > 0 ? all.size() / cpu : 0.0);
    return failed > 0 || all.empty() ? 1 : 0;
}
