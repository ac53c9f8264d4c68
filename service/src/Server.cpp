#include "Server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <cstdio>
#include <memory>

#include "Answer.h"
#include "RequestGate.h"
#include "Text.h"

namespace mirqsvc {

namespace {

using Clock = std::chrono::steady_clock;

// More connections than this at once are turned away on arrival (the fd
// limit is near, and httplib answers 500 past FD_SETSIZE); so are more than
// kMaxPerAddress from one client address, so that one address cannot keep
// everyone else out.
const int kMaxConnections = 900;
const int kMaxPerAddress = 64;
const int kRetryAfterSeconds = 5;
const size_t kMaxQueryBytes = 65536;
// Answers go out in one write when they fit: a process that dies before it
// has sent a byte leaves its query for nginx to send to the next.
const size_t kWriteBuffer = 256 * 1024;

// When the request being answered on this thread began, for the log.
thread_local Clock::time_point t_requestStart;

const char kHomePage[] =
    "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><title>MirqROM</title></head>"
    "<body><h1>MirqROM</h1><p>MirqROM论坛</p></body></html>\n";

bool WaitFor(int fd, short events, int ms) {
    pollfd p = {fd, events, 0};
    int n;
    do n = poll(&p, 1, ms);
    while (n < 0 && errno == EINTR);
    return n > 0;
}

// The network a client address shares with its neighbours: its IPv4 /24 or IPv6 /64.
std::string PrefixOf(const sockaddr_storage& a) {
    char text[INET6_ADDRSTRLEN] = {};
    if (a.ss_family == AF_INET) {
        in_addr net = reinterpret_cast<const sockaddr_in*>(&a)->sin_addr;
        net.s_addr &= htonl(0xFFFFFF00u);
        inet_ntop(AF_INET, &net, text, sizeof(text));
        return std::string(text) + "/24";
    }
    in6_addr net = reinterpret_cast<const sockaddr_in6*>(&a)->sin6_addr;
    memset(net.s6_addr + 8, 0, 8);
    inet_ntop(AF_INET6, &net, text, sizeof(text));
    return std::string(text) + "/64";
}

// A socket's address as text (IPv4 or IPv6).
std::string PeerAddress(const sockaddr_storage& a) {
    char text[INET6_ADDRSTRLEN] = {};
    if (a.ss_family == AF_INET) inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(&a)->sin_addr, text, sizeof(text));
    if (a.ss_family == AF_INET6) inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6*>(&a)->sin6_addr, text, sizeof(text));
    return text;
}

// One connection as httplib reads and writes it: a request must arrive
// whole before its deadline, each read and write waits a bounded time.
class CConnectionStream : public httplib::Stream {
public:
    CConnectionStream(int fd, const ServeOptions& o) : m_fd(fd), m_options(o) {}

    // Waits for the next request's first byte; then its deadline runs.
    bool NextRequest(int idleMs) {
        if (m_begin == m_end && !WaitFor(m_fd, POLLIN, idleMs)) return false;
        m_deadline = Clock::now() + std::chrono::milliseconds(m_options.requestDeadlineMs);
        m_answering = false;
        return true;
    }

    bool is_readable() const override {
        return m_replayAt < m_replay.size() || m_begin < m_end || WaitFor(m_fd, POLLIN, ReadWaitMs());
    }
    bool is_writable() const override { return WaitFor(m_fd, POLLOUT, m_options.writeTimeoutMs); }

    ssize_t read(char* ptr, size_t size) override {
        if (m_answering) return -1;  // one request at a time
        if (m_replayAt < m_replay.size()) {  // the head as the gate passed it on
            const size_t n = std::min(size, m_replay.size() - m_replayAt);
            memcpy(ptr, m_replay.data() + m_replayAt, n);
            m_replayAt += n;
            return static_cast<ssize_t>(n);
        }
        if (m_begin == m_end) {
            if (!WaitFor(m_fd, POLLIN, ReadWaitMs())) return -1;
            ssize_t n;
            do n = recv(m_fd, m_buffer, sizeof(m_buffer), 0);
            while (n < 0 && errno == EINTR);
            if (n <= 0) return n;
            m_begin = 0;
            m_end = static_cast<size_t>(n);
        }
        const size_t n = std::min(size, m_end - m_begin);
        memcpy(ptr, m_buffer + m_begin, n);
        m_begin += n;
        return static_cast<ssize_t>(n);
    }

    // Held until the answer ends or fills the buffer.
    ssize_t write(const char* ptr, size_t size) override {
        m_answering = true;
        m_out.append(ptr, size);
        if (m_out.size() >= kWriteBuffer && !Flush()) return -1;
        return static_cast<ssize_t>(size);
    }

    bool Flush() {
        size_t at = 0;
        while (at < m_out.size()) {
            if (!is_writable()) return false;
            ssize_t n;
            do n = send(m_fd, m_out.data() + at, m_out.size() - at, MSG_NOSIGNAL);
            while (n < 0 && errno == EINTR);
            if (n <= 0) return false;
            at += static_cast<size_t>(n);
        }
        m_sent += m_out.size();
        m_out.clear();
        return true;
    }
    // Bytes of answers sent on this connection so far.
    size_t Sent() const { return m_sent + m_out.size(); }
    void Replay(std::string bytes) {
        m_replay = std::move(bytes);
        m_replayAt = 0;
    }
    // Past the buffer, at once: an interim answer, or a refusal before closing.
    bool SendNow(const std::string& bytes) {
        m_out += bytes;
        return Flush();
    }

    void get_remote_ip_and_port(std::string& ip, int& port) const override { Address(getpeername, ip, port); }
    void get_local_ip_and_port(std::string& ip, int& port) const override { Address(getsockname, ip, port); }
    socket_t socket() const override { return m_fd; }
    void EndAnswer() { m_answering = false; }

private:
    int ReadWaitMs() const {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(m_deadline - Clock::now()).count();
        return static_cast<int>(std::max<long long>(0, std::min<long long>(left, m_options.readTimeoutMs)));
    }
    void Address(int (*get)(int, sockaddr*, socklen_t*), std::string& ip, int& port) const {
        sockaddr_storage a = {};
        socklen_t n = sizeof(a);
        port = 0;
        if (get(m_fd, reinterpret_cast<sockaddr*>(&a), &n) != 0) return;
        ip = PeerAddress(a);
        port = ntohs(a.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6*>(&a)->sin6_port
                                             : reinterpret_cast<sockaddr_in*>(&a)->sin_port);
    }

    int m_fd;
    const ServeOptions& m_options;
    Clock::time_point m_deadline = Clock::now();
    bool m_answering = false;
    char m_buffer[4096];
    size_t m_begin = 0, m_end = 0;
    std::string m_replay, m_out;
    size_t m_replayAt = 0, m_sent = 0;
};

// A path as the log shows it: control characters, blanks and backslashes as \xHH.
std::string Printable(const std::string& text) {
    std::string out;
    for (unsigned char c : text) {
        if (c < 0x21 || c == 0x7F || c == '\\') {
            char hex[8];
            snprintf(hex, sizeof(hex), "\\x%02X", c);
            out += hex;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

std::string UtcNow() {
    const auto now = std::chrono::system_clock::now();
    const time_t seconds = std::chrono::system_clock::to_time_t(now);
    const long ms = static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000);
    struct tm utc;
    gmtime_r(&seconds, &utc);
    char text[40];
    const size_t n = strftime(text, sizeof(text), "%Y-%m-%dT%H:%M:%S", &utc);
    snprintf(text + n, sizeof(text) - n, ".%03ldZ", ms);
    return text;
}

// "bytes=N-" or "bytes=N-M" of one range, within the size; false for anything else.
bool ParseRange(const std::string& header, long long size, long long& first, long long& last) {
    if (header.compare(0, 6, "bytes=") != 0 || header.find(',') != std::string::npos) return false;
    const std::string asked = header.substr(6);
    const size_t dash = asked.find('-');
    if (dash == std::string::npos) return false;
    // No first byte (a suffix range) is not asked for here.
    const long long from = ParseDigits(asked.substr(0, dash), 18);
    const long long to = dash + 1 == asked.size() ? size - 1 : ParseDigits(asked.substr(dash + 1), 18);
    if (from < 0 || to < 0) return false;
    first = from;
    last = std::min(to, size - 1);
    return first <= last || first >= size;
}

}  // namespace

CServiceServer::CServiceServer(const CStore& store, const CSigningKey& key, const ServeOptions& options)
    : m_store(store), m_key(key), m_options(options) {
    set_payload_max_length(kMaxQueryBytes);
    // What the Keep-Alive header tells clients; Serve keeps to it.
    set_keep_alive_max_count(m_options.requestsPerConnection);
    set_keep_alive_timeout((options.keepAliveMs + 999) / 1000);
    Route();
}

CServiceServer::~CServiceServer() {
    Stop();
    if (m_listen >= 0) close(m_listen);
}

bool CServiceServer::Bind(std::string& why) {
    addrinfo hints = {}, *found = nullptr;
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
    if (getaddrinfo(m_options.host.c_str(), std::to_string(m_options.port).c_str(), &hints, &found) != 0 || !found) {
        why = "cannot resolve " + m_options.host;
        return false;
    }
    std::unique_ptr<addrinfo, void (*)(addrinfo*)> hold(found, freeaddrinfo);
    m_listen = ::socket(found->ai_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int on = 1;
    setsockopt(m_listen, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
    // A backlog for bursts of clients: a full queue drops connects, which clients retry only after a second.
    if (m_listen < 0 || ::bind(m_listen, found->ai_addr, found->ai_addrlen) != 0 || ::listen(m_listen, 1024) != 0) {
        why = "cannot listen on " + m_options.host + ":" + std::to_string(m_options.port) + ": " + strerror(errno);
        return false;
    }
    sockaddr_storage bound = {};
    socklen_t n = sizeof(bound);
    getsockname(m_listen, reinterpret_cast<sockaddr*>(&bound), &n);
    m_port = ntohs(bound.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6*>(&bound)->sin6_port
                                                : reinterpret_cast<sockaddr_in*>(&bound)->sin_port);
    const bool v6 = m_options.host.find(':') != std::string::npos;
    m_filesBase = m_options.filesUrl.empty()
                      ? "http://" + (v6 ? "[" + m_options.host + "]" : m_options.host) + ":" + std::to_string(m_port) + "/files/"
                      : m_options.filesUrl;
    if (m_filesBase.back() != '/') m_filesBase += '/';
    // httplib's file writer stops when this is closed; it marks the server as running.
    svr_sock_ = m_listen;
    m_running = true;
    return true;
}

void CServiceServer::Run() {
    while (m_running) {
        if (!WaitFor(m_listen, POLLIN, 200)) continue;
        sockaddr_storage peer = {};
        socklen_t size = sizeof(peer);
        const int fd = accept4(m_listen, reinterpret_cast<sockaddr*>(&peer), &size, SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EMFILE || errno == ENFILE) std::this_thread::sleep_for(std::chrono::milliseconds(10));
            continue;
        }
        const std::string address = PeerAddress(peer), prefix = PrefixOf(peer);
        std::lock_guard<std::mutex> hold(m_lock);
        // A front's connections carry many clients: it limits them per address itself.
        const bool front = !m_options.trustProxy.empty() && address == m_options.trustProxy;
        // An address, and its neighbours together, hold a share of the slots at most; with every slot
        // taken, a connection that is not sending a request gives its slot to the newcomer.
        if (!m_running || (!front && (m_perAddress[address] >= kMaxPerAddress || m_perPrefix[prefix] >= m_options.prefixShare)) ||
            (static_cast<int>(m_open.size()) - m_evicted >= kMaxConnections && !EvictIdlest())) {
            if (m_perAddress[address] == 0) m_perAddress.erase(address);
            if (m_perPrefix[prefix] == 0) m_perPrefix.erase(prefix);
            TurnAway(fd, address, m_running ? "too many connections" : "stopping");
            continue;
        }
        const int on = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on));
        COpen& open = m_open[fd];
        open.address = address;
        open.prefix = prefix;
        open.waitingSince = Clock::now();
        ++m_perAddress[address];
        ++m_perPrefix[prefix];
        try {
            std::thread([this, fd, address] { Serve(fd, address); }).detach();
        } catch (const std::system_error&) {  // no thread to be had (a memory limit): this one is turned away
            CountOut(fd);
            m_open.erase(fd);
            TurnAway(fd, address, "no thread for the connection");
        }
    }
    std::unique_lock<std::mutex> hold(m_lock);
    for (const auto& open : m_open) shutdown(open.first, SHUT_RDWR);  // wakes every wait at once
    m_ended.wait(hold, [this] { return m_open.empty(); });
}

void CServiceServer::Stop() {
    m_running = false;
    svr_sock_ = INVALID_SOCKET;
}

// Said before closing, without reading the request: the client may retry after a while.
void CServiceServer::TurnAway(int fd, const std::string& address, const char* why) {
    const std::string answer = RefusalAnswer(503, std::string(why) + "\n", kRetryAfterSeconds);
    send(fd, answer.data(), answer.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    shutdown(fd, SHUT_WR);
    // What of the request has come already names it, and behind a front its client.
    std::string head;
    char drain[4096];
    for (ssize_t n; (n = recv(fd, drain, sizeof(drain), MSG_DONTWAIT)) > 0;)
        if (head.size() < 16384) head.append(drain, static_cast<size_t>(n));
    close(fd);
    LogRefusal(ClientOf(address, HeaderValue(head, "x-forwarded-for")), head.substr(0, head.find('\r')), 503, answer.size(), 0);
}

void CServiceServer::Serve(int fd, const std::string& address) {
    CConnectionStream stream(fd, m_options);
    // The address's share is given back before the answer that ends the
    // connection is sent: its client may come again as soon as it reads it.
    const auto giveBack = [&] {
        std::lock_guard<std::mutex> hold(m_lock);
        CountOut(fd);
    };
    for (int left = m_options.requestsPerConnection; left > 0 && m_running; --left) {
        const int idle = left == m_options.requestsPerConnection ? m_options.readTimeoutMs : m_options.keepAliveMs;
        if (!stream.NextRequest(idle)) break;
        t_requestStart = Clock::now();
        const GatedRequest gated = GateRequest([&stream](char* p, size_t n) { return stream.read(p, n); },
                                               [&stream] { return stream.SendNow("HTTP/1.1 100 Continue\r\n\r\n"); });
        if (gated.status == 0) SetWaiting(fd, false);
        if (gated.status != 0) {
            if (gated.status > 0) {
                const std::string answer = RefusalAnswer(gated.status, "the request is refused\n");
                giveBack();
                stream.SendNow(answer);
                LogRefusal(ClientOf(address, gated.forwardedFor), gated.requestLine, gated.status, answer.size(), Elapsed());
            }
            break;
        }
        stream.Replay(gated.bytes);
        bool closed = false;
        // Ranges are this server's own business (If-Range, 416): httplib's would apply them again.
        const bool answered = process_request(stream, left == 1, closed, [](httplib::Request& req) { req.ranges.clear(); });
        const bool last = left == 1 || !answered || closed;
        if (last) giveBack();
        if (!stream.Flush() || last) break;
        stream.EndAnswer();
        SetWaiting(fd, true);
    }
    giveBack();
    {
        std::lock_guard<std::mutex> hold(m_lock);
        if (m_open[fd].evicted) --m_evicted;
        m_open.erase(fd);  // before the close: the number may be the next accepted connection's
        m_ended.notify_all();
    }
    shutdown(fd, SHUT_RDWR);
    close(fd);
}

void CServiceServer::CountOut(int fd) {
    COpen& open = m_open[fd];
    if (!open.counted) return;
    open.counted = false;
    if (--m_perAddress[open.address] == 0) m_perAddress.erase(open.address);
    if (--m_perPrefix[open.prefix] == 0) m_perPrefix.erase(open.prefix);
}

bool CServiceServer::EvictIdlest() {
    auto idlest = m_open.end();
    for (auto it = m_open.begin(); it != m_open.end(); ++it)
        if (it->second.waiting && !it->second.evicted &&
            (idlest == m_open.end() || it->second.waitingSince < idlest->second.waitingSince))
            idlest = it;
    if (idlest == m_open.end()) return false;
    idlest->second.evicted = true;
    ++m_evicted;
    shutdown(idlest->first, SHUT_RDWR);  // its thread wakes and ends
    return true;
}

void CServiceServer::SetWaiting(int fd, bool waiting) {
    std::lock_guard<std::mutex> hold(m_lock);
    COpen& open = m_open[fd];
    open.waiting = waiting;
    if (waiting) open.waitingSince = Clock::now();
}

long long CServiceServer::Elapsed() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t_requestStart).count();
}

// A request line's method and path (without the protocol's version), "-" where there is none.
void CServiceServer::LogRefusal(const std::string& client, const std::string& requestLine, int status, size_t bytes,
                                long long ms) const {
    const size_t space = requestLine.find(' '), second = space == std::string::npos ? space : requestLine.find(' ', space + 1);
    LogLine(client, space == std::string::npos ? "-" : requestLine.substr(0, space),
            space == std::string::npos ? "-" : requestLine.substr(space + 1, second - space - 1), status, bytes, ms);
}

void CServiceServer::LogLine(const std::string& client, const std::string& method, const std::string& path, int status,
                             size_t bytes, long long ms) const {
    if (!m_options.log) return;
    // One write a line, so lines of several threads do not mix.
    const std::string line = UtcNow() + " " + client + " " + Printable(method.substr(0, 16)) + " " +
                             Printable(path.substr(0, 400)) + " " + std::to_string(status) + " " + std::to_string(bytes) +
                             " " + std::to_string(ms) + "ms\n";
    fwrite(line.data(), 1, line.size(), stderr);
}

namespace {
const long kHealthWarningDays = 14;
}  // namespace

// Behind the front named by --trust-proxy, the client is the last address it forwarded for.
std::string CServiceServer::ClientOf(const std::string& address, const std::string& forwarded) const {
    std::string client = address;
    if (!m_options.trustProxy.empty() && address == m_options.trustProxy && !forwarded.empty()) {
        const size_t comma = forwarded.rfind(',');
        client = forwarded.substr(comma == std::string::npos ? 0 : comma + 1);
        client.erase(0, client.find_first_not_of(' '));
    }
    return Printable(client.substr(0, 64));
}

void CServiceServer::Route() {
    Post("/ota/ota/geturl.action", [this](const httplib::Request& req, httplib::Response& res) { AnswerQuery(req, res); });
    Get("/ota/ota/models.action", [this](const httplib::Request&, httplib::Response& res) {
        std::string catalogue;
        const Lookup found = m_store.Catalogue(catalogue);
        if (found != Lookup::Found) {
            res.status = found == Lookup::None ? 404 : 500;
            res.set_content(found == Lookup::None ? "no catalogue has been published\n" : "the catalogue cannot be read\n",
                            "text/plain");
            return;
        }
        res.set_content(catalogue, "text/xml; charset=utf-8");
    });
    Get("/", [](const httplib::Request&, httplib::Response& res) { res.set_content(kHomePage, "text/html; charset=utf-8"); });
    Get("/healthz", [this](const httplib::Request&, httplib::Response& res) {
        // Two weeks before anything clients need ends: time to refresh or certify again.
        const std::string warnBefore = UtcDate(kHealthWarningDays);
        std::string why, online, until;
        bool ok = m_store.Check(warnBefore, why) && m_key.Bits() >= 2048;
        if (ok && ReadCertificate(m_options.certificate, online, until) && until < warnBefore) {
            why = "the online key's certificate ends on " + until + ": certify it again (mirq-service certify)";
            ok = false;
        }
        res.status = ok ? 200 : 503;
        res.set_content(ok ? "ok\n" : why + "\n", "text/plain");
    });
    if (m_options.files)
        Get("/files/([^/]+)", [this](const httplib::Request& req, httplib::Response& res) { SendFile(req, res); });
    set_logger([this](const httplib::Request& req, const httplib::Response& res) {
        const std::string client = ClientOf(req.remote_addr, req.get_header_value("X-Forwarded-For"));
        const size_t bytes = res.body.empty() ? static_cast<size_t>(std::max<long long>(0, ParseDigits(res.get_header_value("Content-Length"), 18)))
                                              : res.body.size();
        LogLine(client, req.method, req.target.empty() ? req.path : req.target, res.status, bytes, Elapsed());
    });
}

void CServiceServer::AnswerQuery(const httplib::Request& req, httplib::Response& res) {
    Query query;
    if (!ReadQuery(req.body, query)) {
        res.status = 400;
        res.set_content("the query must be <root> with <phonemode>, <flashtype> and <nonce> (hex), in UTF-8\n",
                        "text/plain");
        return;
    }
    Release release;
    const Lookup found = m_store.FindRelease(query.phonemode, query.flashType, release);
    if (found == Lookup::Unreadable) fprintf(stderr, "mirq-service: the release of %s, flash type %d, cannot be read\n",
                                             Printable(query.phonemode).c_str(), query.flashType);
    // A record that cannot be read is the service's fault, never "no release".
    const std::string answer = found == Lookup::Unreadable
                                   ? std::string()
                                   : SignedAnswer(query, found == Lookup::Found ? &release : nullptr, m_filesBase,
                                                  m_options.certificate, m_key);
    if (answer.empty()) {
        res.status = 500;
        res.set_content("the release cannot be read or signed\n", "text/plain");
        return;
    }
    res.set_content(answer, "text/xml; charset=utf-8");
}

void CServiceServer::SendFile(const httplib::Request& req, httplib::Response& res) {
    const std::string path = m_store.FilePath(req.matches[1]);
    const int fd = path.empty() ? -1 : open(path.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat st = {};
    if (fd < 0 || fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        if (fd >= 0) close(fd);
        res.status = 404;
        res.set_content("not found\n", "text/plain");
        return;
    }
    // A file's name is its SHA-256, and it never changes: a strong validator.
    const std::string etag = "\"" + std::string(req.matches[1]).substr(0, 64) + "\"";
    const long long size = st.st_size;
    long long first = 0, last = size - 1;
    const std::string range = req.get_header_value("Range"), ifRange = req.get_header_value("If-Range");
    const bool ranged = !range.empty() && (ifRange.empty() || ifRange == etag) && ParseRange(range, size, first, last);
    res.set_header("ETag", etag);
    res.set_header("Accept-Ranges", "bytes");
    if (ranged && first >= size) {
        close(fd);
        res.status = 416;
        res.set_header("Content-Range", "bytes */" + std::to_string(size));
        return;
    }
    if (ranged) {
        res.status = 206;
        res.set_header("Content-Range",
                       "bytes " + std::to_string(first) + "-" + std::to_string(last) + "/" + std::to_string(size));
    }
    auto file = std::make_shared<int>(fd);
    res.set_content_provider(
        static_cast<size_t>(last - first + 1), "application/octet-stream",
        [file, first](size_t offset, size_t length, httplib::DataSink& sink) {
            char buffer[64 * 1024];
            const ssize_t n = pread(*file, buffer, std::min(length, sizeof(buffer)), first + static_cast<off_t>(offset));
            return n > 0 && sink.write(buffer, static_cast<size_t>(n));
        },
        [file](bool) { close(*file); });
}

}  // namespace mirqsvc
