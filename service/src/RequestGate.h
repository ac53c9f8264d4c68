#pragma once
// What a request must be before httplib reads it. httplib reads a chunked
// body, an inflated one or a head of any size whole into memory before any
// limit applies; here the head is read line by line within bounds and a
// body is taken within its limit whatever its framing, nothing past a
// limit is read or held, and what passes is handed on as plain
// Content-Length framing.
#include <sys/types.h>

#include <functional>
#include <string>

namespace mirqsvc {

struct RequestLimits {
    size_t maxBody = 65536;
    size_t maxHeaderLines = 100;
    size_t maxLine = 8192;
};

struct GatedRequest {
    // 0: pass `bytes` on to httplib; -1: the connection ended or timed out
    // before a whole head; else the status to answer with before closing
    // (400, 413, 415, 431).
    int status = 0;
    std::string bytes;  // the head as httplib is to read it, and a chunked body decoded
    std::string requestLine;  // for the log
    std::string forwardedFor;  // X-Forwarded-For as it came (the log names the client behind a trusted front)
};

// `read` gives the connection's next bytes (up to n; 0 or less at its end or
// a timeout); `sendContinue` answers "Expect: 100-continue" before the body is read.
GatedRequest GateRequest(const std::function<ssize_t(char*, size_t)>& read, const std::function<bool()>& sendContinue,
                         const RequestLimits& limits = RequestLimits());

// The value of the first header of that name (any case) in a request's head, trimmed; empty when there is none.
std::string HeaderValue(const std::string& head, const std::string& lowerName);

// A whole answer for a request turned away: status line, a plain text, closed.
std::string RefusalAnswer(int status, const std::string& text, int retryAfterSeconds = 0);

}  // namespace mirqsvc
