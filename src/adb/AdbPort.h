#pragma once
// Who holds the adb server's port when our client cannot use it: the
// listening process (where Windows names it) and what an adb server there
// answers to "host:version".
#include <string>

#include "util/StopToken.h"

namespace mirq {

constexpr unsigned short kAdbServerPort = 5037;

struct PortHolder {
    bool listening = false;
    unsigned long pid = 0;   // 0 where Windows does not tell (Wine)
    std::wstring name;       // the process's image name; empty when unknown
    std::wstring path;       // its image's full path, where Windows gives it
    int adbVersion = -1;     // the adb protocol version it answered; -1: no adb answer
    // Whether the holder is known to be our own adb.exe (tools\ of the base
    // folder), a server of ours slow to start: no other program to blame.
    bool Ours() const;
};

// The connection and the answer wait at most kPortProbeLimitMs each, and a
// requested stop ends the probe at once.
constexpr unsigned long kPortProbeLimitMs = 2000;
PortHolder ProbeAdbPort(const CStopToken& stop = CStopToken::Never(), unsigned short port = kAdbServerPort);

// The adb server's answer to "host:version": "OKAY", four hex digits of
// length, the version in hex; -1 for anything else.
int ParseAdbVersionAnswer(const std::string& answer);

}  // namespace mirq
