#pragma once
// `serve`: the queries, the catalogue, the home page, the health check and
// (with --files) the store's files. It keeps nothing between requests: every
// answer is made from the store as it is at that moment, so any number of
// processes on any hosts can serve one store, and a publish is served at once.
//
// Connections are accepted here, each on a thread of its own (a slow client
// holds up nobody else), and each request must arrive whole within a
// deadline, however slowly it trickles in; httplib reads, routes and writes.
#include <httplib.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <map>
#include <set>
#include <string>
#include <thread>

#include "Crypto.h"
#include "Store.h"

namespace mirqsvc {

struct ServeOptions {
    std::string host = "127.0.0.1";
    int port = 8080;  // 0: any free port (tests)
    bool files = false;
    std::string filesUrl;  // empty: http://HOST:PORT/files/
    std::string certificate;  // the online key's, signed by the root: goes with every answer
    std::string trustProxy;   // the front's address: its connections are not limited, its X-Forwarded-For is logged
    int requestDeadlineMs = 30000;
    int readTimeoutMs = 10000;
    int writeTimeoutMs = 30000;
    int keepAliveMs = 5000;
    int requestsPerConnection = 100;
    int prefixShare = 256;  // connections at once from one IPv4 /24 or IPv6 /64 (each address: 64)
    bool log = true;
};

class CServiceServer : public httplib::Server {
public:
    CServiceServer(const CStore& store, const CSigningKey& key, const ServeOptions& options);
    ~CServiceServer() override;

    bool Bind(std::string& why);
    int Port() const { return m_port; }
    // Accepts until Stop; returns once every connection has ended.
    void Run();
    void Stop();

private:
    void Serve(int fd, const std::string& address);
    void TurnAway(int fd, const std::string& address, const char* why);
    // One connection fewer for its address and prefix (m_lock held).
    void CountOut(int fd);
    // With every slot taken: the connection that has waited longest for a whole request head gives its slot up
    // (m_lock held); false when every connection is being answered.
    bool EvictIdlest();
    // Whether the connection is waiting for a request's head (from now on) or has one (m_lock taken).
    void SetWaiting(int fd, bool waiting);
    void LogLine(const std::string& client, const std::string& method, const std::string& path, int status, size_t bytes,
                 long long ms) const;
    static long long Elapsed();
    void LogRefusal(const std::string& client, const std::string& requestLine, int status, size_t bytes, long long ms) const;
    std::string ClientOf(const std::string& address, const std::string& forwarded) const;
    void Route();
    void AnswerQuery(const httplib::Request& req, httplib::Response& res);
    void SendFile(const httplib::Request& req, httplib::Response& res);

    const CStore& m_store;
    const CSigningKey& m_key;
    ServeOptions m_options;
    std::string m_filesBase;
    int m_listen = -1;
    int m_port = 0;
    std::atomic<bool> m_running{false};
    std::mutex m_lock;
    std::condition_variable m_ended;
    struct COpen {
        std::string address, prefix;
        std::chrono::steady_clock::time_point waitingSince;  // for a request's whole head, since then
        bool waiting = true;
        bool evicted = false;  // told to end for a newcomer: its slot is no longer counted
        bool counted = true;   // its address's and prefix's shares still held
    };
    std::map<int, COpen> m_open;  // connections being served
    int m_evicted = 0;            // of them, told to end
    std::map<std::string, int> m_perAddress, m_perPrefix;  // of them, from each client address and prefix
};

}  // namespace mirqsvc
