#include "adb/AdbPort.h"

#include <winsock2.h>
#include <windows.h>
#include <iphlpapi.h>

#include <cstdlib>
#include <vector>

#include "util/Utils.h"

namespace mirq {

namespace {

// The owner of a listening IPv4 port from the TCP table; 0 when none or unknown.
bool FindListener(unsigned short port, unsigned long& pid) {
    ULONG size = 0;
    GetExtendedTcpTable(nullptr, &size, FALSE, AF_INET, TCP_TABLE_OWNER_PID_LISTENER, 0);
    std::vector<char> buffer(size + 1024);
    size = static_cast<ULONG>(buffer.size());
    if (GetExtendedTcpTable(buffer.data(), &size, FALSE, AF_INET, TCP_TABLE_OWNER_PID_LISTENER, 0) != NO_ERROR)
        return false;
    const MIB_TCPTABLE_OWNER_PID* table = reinterpret_cast<const MIB_TCPTABLE_OWNER_PID*>(buffer.data());
    for (DWORD i = 0; i < table->dwNumEntries; ++i) {
        if (ntohs(static_cast<u_short>(table->table[i].dwLocalPort)) != port) continue;
        pid = table->table[i].dwOwningPid;
        return true;
    }
    return false;
}

const DWORD kProbeSliceMs = 100;

// Waits until the socket can be written (connected) or read, in slices so
// that a stop is seen; false at the deadline (a tick count), on a stop or an error.
bool WaitForSocket(SOCKET s, bool forWrite, DWORD deadline, const CStopToken& stop) {
    while (static_cast<LONG>(deadline - GetTickCount()) > 0) {
        if (stop.Requested()) return false;
        fd_set ready, failed;
        FD_ZERO(&ready);
        FD_ZERO(&failed);
        FD_SET(s, &ready);
        FD_SET(s, &failed);
        timeval slice = {0, static_cast<long>(kProbeSliceMs * 1000)};
        const int count = select(0, forWrite ? nullptr : &ready, forWrite ? &ready : nullptr, &failed, &slice);
        if (count == SOCKET_ERROR || FD_ISSET(s, &failed)) return false;
        if (count > 0) return true;
    }
    return false;
}

// Asks the port "host:version" as adb's wire protocol does; false when
// nothing accepts the connection. The answer may be empty. A holder that
// accepts nothing, or never answers, holds the check up no longer than the
// limit: the socket does not block, and each wait is bounded.
bool AskVersion(unsigned short port, std::string& answer, const CStopToken& stop) {
    WSADATA wsa;
    if (WSAStartup(MAKEWORD(2, 2), &wsa) != 0) return false;
    SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    bool connected = false;
    if (s != INVALID_SOCKET) {
        u_long nonBlocking = 1;
        ioctlsocket(s, FIONBIO, &nonBlocking);
        sockaddr_in address = {};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        connected = connect(s, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0 ||
                    (WSAGetLastError() == WSAEWOULDBLOCK && WaitForSocket(s, true, GetTickCount() + kPortProbeLimitMs, stop));
        const char request[] = "000chost:version";
        if (connected && send(s, request, sizeof(request) - 1, 0) == static_cast<int>(sizeof(request) - 1)) {
            // One deadline for the whole answer: a holder that sends a byte now and then gains no time.
            const DWORD deadline = GetTickCount() + kPortProbeLimitMs;
            char buffer[64];
            for (int got; answer.size() < 12 && WaitForSocket(s, false, deadline, stop) && (got = recv(s, buffer, sizeof(buffer), 0)) > 0;)
                answer.append(buffer, static_cast<size_t>(got));
        }
        closesocket(s);
    }
    WSACleanup();
    return connected;
}

bool IsHex(const std::string& text) {
    if (text.empty()) return false;
    for (char c : text)
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'))) return false;
    return true;
}

}  // namespace

int ParseAdbVersionAnswer(const std::string& answer) {
    if (answer.size() < 8 || answer.compare(0, 4, "OKAY") != 0 || !IsHex(answer.substr(4, 4))) return -1;
    const size_t length = static_cast<size_t>(strtoul(answer.substr(4, 4).c_str(), nullptr, 16));
    if (length == 0 || length > 8 || answer.size() < 8 + length || !IsHex(answer.substr(8, length))) return -1;
    return static_cast<int>(strtoul(answer.substr(8, length).c_str(), nullptr, 16));
}

bool PortHolder::Ours() const { return !path.empty() && lstrcmpiW(path.c_str(), GetAdbPath().c_str()) == 0; }

PortHolder ProbeAdbPort(const CStopToken& stop, unsigned short port) {
    PortHolder holder;
    holder.listening = FindListener(port, holder.pid);
    if (holder.pid) {
        holder.name = ProcessImageName(holder.pid);
        holder.path = ProcessImagePath(holder.pid);
    }
    std::string answer;
    if (AskVersion(port, answer, stop)) holder.listening = true;
    holder.adbVersion = ParseAdbVersionAnswer(answer);
    return holder;
}

}  // namespace mirq
