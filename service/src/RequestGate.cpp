#include "RequestGate.h"

#include <vector>

#include "Text.h"

namespace mirqsvc {

namespace {

// Reads the connection byte by byte through the caller's buffered reader.
class CLineReader {
public:
    explicit CLineReader(const std::function<ssize_t(char*, size_t)>& read) : m_read(read) {}
    // One line without its CRLF (or LF); false at the connection's end, or
    // `tooLong` once it passes `most` bytes (the rest is not read).
    bool Line(size_t most, std::string& line, bool& tooLong) {
        line.clear();
        tooLong = false;
        for (char c; Byte(c);) {
            if (c == '\n') {
                if (!line.empty() && line.back() == '\r') line.pop_back();
                return true;
            }
            if (line.size() > most) {  // one byte more for a CR
                tooLong = true;
                return false;
            }
            line += c;
        }
        return false;
    }
    bool Bytes(size_t n, std::string& out) {
        for (char c; n > 0 && Byte(c); --n) out += c;
        return n == 0;
    }

private:
    bool Byte(char& c) { return m_read(&c, 1) == 1; }
    const std::function<ssize_t(char*, size_t)>& m_read;
};

std::string Lower(std::string text) {
    for (char& c : text)
        if (c >= 'A' && c <= 'Z') c = c - 'A' + 'a';
    return text;
}

std::string Trim(const std::string& text) {
    const size_t first = text.find_first_not_of(" \t"), last = text.find_last_not_of(" \t");
    return first == std::string::npos ? std::string() : text.substr(first, last - first + 1);
}

long long ParseHex(const std::string& text) {
    if (text.empty() || text.size() > 8) return -1;
    long long value = 0;
    for (char c : text) {
        const int digit = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
        if (digit < 0) return -1;
        value = value * 16 + digit;
    }
    return value;
}

GatedRequest Status(int status, const std::string& requestLine = std::string()) {
    GatedRequest gated;
    gated.status = status;
    gated.requestLine = requestLine;
    return gated;
}

}  // namespace

GatedRequest GateRequest(const std::function<ssize_t(char*, size_t)>& read, const std::function<bool()>& sendContinue,
                         const RequestLimits& limits) {
    CLineReader in(read);
    std::string line, head;
    bool tooLong = false;
    if (!in.Line(limits.maxLine, line, tooLong)) return Status(tooLong ? 431 : -1);
    const std::string requestLine = line;
    head = line + "\r\n";
    bool chunked = false, expectContinue = false, sawLength = false;
    std::string forwarded;
    // Each refusal below names the client (behind a front, its X-Forwarded-For as read so far).
    const auto Status = [&](int status, const std::string& line) {
        GatedRequest refused = ::mirqsvc::Status(status, line);
        refused.forwardedFor = forwarded;
        return refused;
    };
    long long length = 0;
    for (size_t lines = 0;; ++lines) {
        if (!in.Line(limits.maxLine, line, tooLong)) return Status(tooLong ? 431 : -1, requestLine);
        if (line.empty()) break;
        if (lines >= limits.maxHeaderLines) return Status(431, requestLine);
        const size_t colon = line.find(':');
        if (colon == std::string::npos) return Status(400, requestLine);
        const std::string name = Lower(line.substr(0, colon)), value = Trim(line.substr(colon + 1));
        // A query's body is read as it came: nothing is inflated.
        if (name == "content-encoding") return Status(415, requestLine);
        if (name == "transfer-encoding") {
            if (Lower(value) != "chunked" || chunked) return Status(400, requestLine);
            chunked = true;
            continue;
        }
        if (name == "x-forwarded-for" && forwarded.empty()) forwarded = value;
        if (name == "expect") {
            if (Lower(value) != "100-continue") return Status(417, requestLine);
            expectContinue = true;
            continue;
        }
        if (name == "content-length") {
            const long long said = ParseDigits(value, 18);
            if (said < 0 || (sawLength && said != length)) return Status(400, requestLine);
            if (static_cast<size_t>(said) > limits.maxBody) return Status(413, requestLine);
            if (sawLength) continue;  // the same length again: one is handed on
            sawLength = true;
            length = said;
        }
        head += line + "\r\n";
    }
    // Framed two ways, a connection could be read two ways (the body's tail taken for the next request):
    // refused, and the connection closed (RFC 9112, 6.1).
    if (chunked && sawLength) return Status(400, requestLine);
    GatedRequest gated;
    gated.requestLine = requestLine;
    gated.forwardedFor = forwarded;
    if (expectContinue && (chunked || length > 0) && !sendContinue()) return Status(-1, requestLine);
    if (!chunked) {
        gated.bytes = head + "\r\n";
        return gated;
    }
    std::string body;
    for (;;) {
        if (!in.Line(limits.maxLine, line, tooLong)) return Status(tooLong ? 400 : -1, requestLine);
        const long long size = ParseHex(Trim(line.substr(0, line.find(';'))));
        if (size < 0) return Status(400, requestLine);
        if (size == 0) break;
        if (body.size() + static_cast<size_t>(size) > limits.maxBody) return Status(413, requestLine);
        std::string crlf;
        if (!in.Bytes(static_cast<size_t>(size), body) || !in.Bytes(2, crlf)) return Status(-1, requestLine);
        if (crlf != "\r\n") return Status(400, requestLine);
    }
    for (size_t lines = 0;; ++lines) {  // the trailer
        if (!in.Line(limits.maxLine, line, tooLong)) return Status(tooLong ? 431 : -1, requestLine);
        if (line.empty()) break;
        if (lines >= limits.maxHeaderLines) return Status(431, requestLine);
    }
    gated.bytes = head + "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
    return gated;
}

std::string HeaderValue(const std::string& head, const std::string& lowerName) {
    for (size_t at = head.find('\n'); at != std::string::npos; at = head.find('\n', at + 1)) {
        const size_t end = head.find('\n', at + 1);
        const std::string line = head.substr(at + 1, end == std::string::npos ? std::string::npos : end - at - 1);
        const size_t colon = line.find(':');
        if (colon != std::string::npos && Lower(line.substr(0, colon)) == lowerName) {
            std::string value = Trim(line.substr(colon + 1));
            if (!value.empty() && value.back() == '\r') value.pop_back();
            return Trim(value);
        }
    }
    return std::string();
}

std::string RefusalAnswer(int status, const std::string& text, int retryAfterSeconds) {
    static const std::vector<std::pair<int, const char*>> kReasons = {
        {400, "Bad Request"}, {413, "Payload Too Large"}, {415, "Unsupported Media Type"}, {417, "Expectation Failed"},
        {431, "Request Header Fields Too Large"}, {503, "Service Unavailable"}};
    const char* reason = "Error";
    for (const auto& r : kReasons)
        if (r.first == status) reason = r.second;
    return "HTTP/1.1 " + std::to_string(status) + " " + reason + "\r\nContent-Type: text/plain\r\nContent-Length: " +
           std::to_string(text.size()) + "\r\n" +
           (retryAfterSeconds > 0 ? "Retry-After: " + std::to_string(retryAfterSeconds) + "\r\n" : std::string()) +
           "Connection: close\r\n\r\n" + text;
}

}  // namespace mirqsvc
