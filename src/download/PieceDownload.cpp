#include "download/PieceDownload.h"

#include <algorithm>
#include <deque>
#include <memory>
#include <mutex>

#include "download/Digest.h"
#include "log/logger.h"
#include "util/Raii.h"
#include "util/Thread.h"
#include "util/Utils.h"

namespace mirq {

namespace {

const DWORD kRequestFlags = INTERNET_FLAG_NO_CACHE_WRITE | INTERNET_FLAG_NO_UI | INTERNET_FLAG_RELOAD;
const DWORD kLookMs = 250;
const DWORD kLagWindowMs = 10000;  // a place this long under a quarter of the best is dropped
const wchar_t* const kUntrusted = L"its connection cannot be trusted";

std::string MapIdentity(const PieceLayout& layout) {
    return "sha256:" + WideToUtf8(layout.sha256) + " " + std::to_string(layout.size) + " " + std::to_string(layout.pieceSize);
}

// The part, at its full length, written at offsets by several connections.
class CPartFile {
public:
    // Opens the part kept (`keep`) or makes it anew; at the file's length either way.
    bool Open(const std::wstring& path, long long size, bool keep) {
        m_file.Reset(CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                 keep ? OPEN_ALWAYS : CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
        LARGE_INTEGER at;
        at.QuadPart = size;
        return m_file && SetFilePointerEx(m_file.get(), at, nullptr, FILE_BEGIN) && SetEndOfFile(m_file.get());
    }
    // False, with the system's error, when the bytes could not all be written.
    bool WriteAt(long long offset, const std::vector<char>& bytes, DWORD& error) {
        std::lock_guard<std::mutex> hold(m_lock);
        LARGE_INTEGER at;
        at.QuadPart = offset;
        DWORD written = 0;
        const bool ok = SetFilePointerEx(m_file.get(), at, nullptr, FILE_BEGIN) &&
                        WriteFile(m_file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
                        written == bytes.size();
        error = ok ? 0 : GetLastError();
        return ok;
    }
    void Close() { m_file.Reset(); }

private:
    CWinHandle m_file;
    std::mutex m_lock;
};

// One place the record names, as the connections to it share it.
struct CPlace {
    std::wstring url;
    UrlParts address;
    CStopToken stop;  // requested when it is dropped, or the download stops
    std::atomic<long long> bytes{0};
    std::atomic<int> connections{0};
    bool dropped = false;  // under the download's lock, with `why` and when
    DWORD droppedAt = 0;
    bool noRanges = false;
    std::wstring why;
    std::deque<std::pair<DWORD, long long>> samples;  // (tick, bytes) over the last window, the coordinator's
};

class CPieceRun {
public:
    CPieceRun(const HttpSession& session, const PieceLayout& layout, const std::wstring& partPath, const CStopToken& stop)
        : m_session(session), m_layout(layout), m_mapPath(PieceMapPath(partPath)), m_partPath(partPath), m_stop(stop),
          m_picker(layout, ReadPieceMap(m_mapPath, layout)) {}

    PiecesResult Run(const std::vector<std::wstring>& places, IPieceProgress& progress, std::wstring& wholeFrom) {
        // A map counts only beside its part, whole in length (not one a full volume or a user took away).
        if (RegularFileSize(m_partPath) != m_layout.size) m_picker = CPiecePicker(m_layout, std::vector<bool>(m_layout.pieces.size(), false));
        const bool kept = std::find(m_picker.Have().begin(), m_picker.Have().end(), true) != m_picker.Have().end();
        if (!kept) DeleteFileW(m_mapPath.c_str());  // nothing of it describes the part made anew
        if (!m_part.Open(m_partPath, m_layout.size, kept)) return PiecesResult::Failed;
        for (const std::wstring& url : places) {
            std::unique_ptr<CPlace> place(new CPlace);
            place->url = url;
            if (SplitUrl(url, place->address)) m_places.push_back(std::move(place));
        }
        const int each = std::max(1, std::min(kMaxConnections, kMaxAllConnections / std::max<int>(1, static_cast<int>(m_places.size()))));
        AllowConnectionsPerServer(kMaxConnections + 2);  // a place's connections, and the service's queries beside them
        std::vector<std::unique_ptr<CThread>> connections;
        for (int c = 0; c < std::min(each, m_layout.Count()); ++c)
            for (size_t p = 0; p < m_places.size(); ++p) {  // place by place, so the first pieces go to every place
                ++m_places[p]->connections;
                connections.emplace_back(new CThread([this, p] {
                    Connect(static_cast<int>(p));
                    --m_places[p]->connections;
                    SetEvent(m_connectionEnded.get());
                }));
            }
        const DWORD started = GetTickCount();
        for (bool first = true;; first = false) {
            // A look at once (the places and connections at work), then every moment, and as soon as a connection ends.
            const HANDLE wake[] = {m_stop.Event(), m_connectionEnded.get()};
            const bool stopped = !first && WaitForMultipleObjects(2, wake, FALSE, kLookMs) == WAIT_OBJECT_0;
            int live = 0, inUse = 0;
            long long bytes = 0, inOrder = 0;
            {
                std::lock_guard<std::mutex> hold(m_lock);
                // Once every piece is here, a connection still waiting on a stalled place has nothing left to wait for.
                if (stopped || m_diskFull || m_picker.Done()) for (auto& place : m_places) place->stop.Request();
                for (auto& place : m_places) {
                    live += place->connections;
                    inUse += place->connections > 0;
                    bytes += place->bytes;
                }
                DropLaggards();
                for (int i = 0; i < m_layout.Count() && m_picker.Have()[i]; ++i) inOrder += m_layout.Length(i);
            }
            progress.OnPieces(m_checkedBytes, Rate(started, bytes), inUse, live, inOrder);
            if (live == 0) break;
        }
        connections.clear();  // joined
        m_part.Close();
        const DWORD finished = GetTickCount();
        for (auto& place : m_places) {
            const DWORD ms = std::max<DWORD>(1, (place->dropped ? place->droppedAt : finished) - started);
            MIRQ_LOG(place->dropped ? kLogWarning : kLogInfo, L"http",
                     L"GET " + place->url + L": " + std::to_wstring(place->bytes.load()) + L" bytes of pieces in " +
                         std::to_wstring(ms / 1000) + L"." + std::to_wstring(ms / 100 % 10) + L" s, " +
                         std::to_wstring(place->bytes.load() * 1000 / ms / 1024) + L" KB/s" +
                         (place->dropped ? L"; dropped: " + place->why : L""));
        }
        if (m_diskFull) return PiecesResult::DiskFull;
        if (m_picker.Done()) return PiecesResult::Whole;
        if (m_stop.Requested()) return PiecesResult::Stopped;
        // The one place left serves the whole file alone, as a download without pieces does.
        for (auto& place : m_places)
            if (place->noRanges && std::all_of(m_places.begin(), m_places.end(), [&](const std::unique_ptr<CPlace>& other) {
                    return other == place || other->dropped;
                })) {
                wholeFrom = place->url;
                return PiecesResult::NoRanges;
            }
        const bool untrusted = std::all_of(m_places.begin(), m_places.end(), [](const std::unique_ptr<CPlace>& place) {
            return place->why == kUntrusted;
        });
        return untrusted && !m_places.empty() ? PiecesResult::Insecure : PiecesResult::Failed;
    }

private:
    // The combined speed since the start, of what was fetched in this run.
    double Rate(DWORD started, long long bytes) const {
        const DWORD ms = GetTickCount() - started;
        return ms > 0 ? bytes * 1000.0 / ms : 0.0;
    }

    void Drop(int index, const std::wstring& why) {  // m_lock held
        CPlace& place = *m_places[index];
        if (place.dropped) return;
        place.dropped = true;
        place.droppedAt = GetTickCount();
        place.why = why;
        place.stop.Request();
        m_picker.Forget(index);
    }

    // A place under a quarter of the best place's speed over the whole last window goes, while another is left.
    void DropLaggards() {  // m_lock held
        const DWORD now = GetTickCount();
        double best = 0;
        std::vector<double> rates(m_places.size(), -1);
        for (size_t i = 0; i < m_places.size(); ++i) {
            CPlace& place = *m_places[i];
            place.samples.emplace_back(now, place.bytes.load());
            while (now - place.samples.front().first > kLagWindowMs + kLookMs) place.samples.pop_front();
            if (place.dropped || now - place.samples.front().first < kLagWindowMs) continue;
            rates[i] = (place.samples.back().second - place.samples.front().second) * 1000.0 / (now - place.samples.front().first);
            best = std::max(best, rates[i]);
        }
        const long alive = std::count_if(m_places.begin(), m_places.end(), [](const std::unique_ptr<CPlace>& p) { return !p->dropped; });
        for (size_t i = 0; i < m_places.size() && alive > 1; ++i)
            if (rates[i] >= 0 && rates[i] < best / 4) {
                Drop(static_cast<int>(i), L"under a quarter of the best place's speed for 10 s");
                break;  // one a look: the rest is measured again without it
            }
    }

    // One connection to a place: a part at a time until nothing is left for it.
    void Connect(int index) {
        CPlace& place = *m_places[index];
        for (;;) {
            CPiecePicker::Part part;
            {
                std::lock_guard<std::mutex> hold(m_lock);
                if (place.dropped || place.stop.Requested()) return;
                if ((part = m_picker.Next(index)).piece < 0) return;
            }
            std::vector<char> bytes;
            const std::wstring failed = Fetch(place, part, bytes);
            std::unique_lock<std::mutex> hold(m_lock);
            if (!failed.empty()) {
                m_picker.GiveBack(part, index);
                if (failed != L"-") Drop(index, failed);
                if (place.dropped || place.stop.Requested()) return;
                continue;
            }
            if (!m_picker.PartCame(part, index, bytes)) continue;
            // The piece is whole: checked and written without the lock, so the others go on meanwhile.
            const int piece = part.piece;
            bytes = m_picker.Take(piece);
            hold.unlock();
            const bool same = Sha256Hex(bytes.data(), bytes.size()) == m_layout.pieces[piece];
            DWORD error = 0;
            const bool written = same && m_part.WriteAt(m_layout.Begin(piece), bytes, error);
            hold.lock();
            if (!written) {  // fetched again; with another hash, its place is named when one place sent it all
                const int sender = m_picker.Failed(piece);
                if (same) {
                    m_diskFull = error == ERROR_DISK_FULL || error == ERROR_HANDLE_DISK_FULL;
                    Drop(index, L"the part could not be written (error " + std::to_wstring(error) + L")");
                    return;
                }
                const std::wstring why = L"piece " + std::to_wstring(piece) + L" has another SHA-256";
                if (sender >= 0) Drop(sender, why);
                else MIRQ_LOG(kLogWarning, L"http", why + L", its parts from several places: fetched again from one");
                continue;
            }
            if (m_picker.Arrived(piece)) {
                m_checkedBytes += m_layout.Length(piece);
                std::string have;
                for (bool got : m_picker.Have()) have += got ? '1' : '0';
                ReplaceFileWith(m_mapPath, MapIdentity(m_layout) + "\n" + have + "\n");
            }
        }
    }

    // The part from the place; why not ("-": no longer wanted, or stopped: no fault of the place's).
    std::wstring Fetch(CPlace& place, const CPiecePicker::Part& part, std::vector<char>& bytes) {
        const long long last = part.begin + part.length - 1;
        CHttpHandles h;
        const SendResult sent = SendHttpRequest(h, m_session, place.address, L"GET", kRequestFlags,
                                                L"Range: bytes=" + std::to_wstring(part.begin) + L"-" + std::to_wstring(last) + L"\r\n",
                                                "", L"GET " + place.url + L" (piece " + std::to_wstring(part.piece) + L")");
        if (sent != SendResult::Sent) return sent == SendResult::Insecure ? kUntrusted : L"no answer";
        const long long status = QueryNumber(h.request, HTTP_QUERY_STATUS_CODE);
        if (status == 200) {
            place.noRanges = true;
            return L"it answers a range with the whole file";
        }
        if (status != 206) return L"status " + std::to_wstring(status);
        long long first = -1, end = -1, whole = -1;
        if (swscanf(QueryText(h.request, HTTP_QUERY_CONTENT_RANGE).c_str(), L"bytes %lld-%lld/%lld", &first, &end, &whole) != 3 ||
            first != part.begin || end != last || whole != m_layout.size)
            return L"a range that is not the one asked for";
        CBodyReader reader(std::move(h), part.length);
        std::vector<char> block;
        while (static_cast<long long>(bytes.size()) < part.length) {
            const CBodyReader::Result next = reader.Next(block, place.stop);
            if (next == CBodyReader::kStopped) return L"-";
            if (next != CBodyReader::kBlock) return L"the piece broke off";
            bytes.insert(bytes.end(), block.begin(), block.end());
            place.bytes += static_cast<long long>(block.size());
            std::lock_guard<std::mutex> hold(m_lock);
            if (!m_picker.Wanted(part)) return L"-";  // the end's other copy came first
        }
        bytes.resize(static_cast<size_t>(part.length));
        return L"";
    }

    const HttpSession& m_session;
    const PieceLayout& m_layout;
    const std::wstring m_mapPath, m_partPath;
    const CStopToken& m_stop;
    std::mutex m_lock;  // the picker, the places' states, the map
    CPiecePicker m_picker;
    CPartFile m_part;
    std::vector<std::unique_ptr<CPlace>> m_places;
    std::atomic<long long> m_checkedBytes{0};
    bool m_diskFull = false;
    CWinHandle m_connectionEnded{CreateEventW(nullptr, FALSE, FALSE, nullptr)};
};

}  // namespace

CPiecePicker::CPiecePicker(const PieceLayout& layout, const std::vector<bool>& have)
    : m_layout(&layout), m_have(have), m_pieces(have.size()) {
    for (size_t i = 0; i < have.size(); ++i) {
        m_pieces[i].fetchers.resize(layout.Parts(static_cast<int>(i)));
        m_pieces[i].from.assign(layout.Parts(static_cast<int>(i)), -1);
    }
}

CPiecePicker::Part CPiecePicker::PartOf(int piece, int index) const {
    Part part;
    part.piece = piece;
    part.index = index;
    part.begin = m_layout->Begin(piece) + index * kPartSize;
    part.length = std::min(kPartSize, m_layout->Begin(piece) + m_layout->Length(piece) - part.begin);
    part.round = m_pieces[piece].round;
    return part;
}

CPiecePicker::Part CPiecePicker::Next(int place) {
    // Free parts of the pieces the place began, then a piece nobody began, then (the end) a part another place
    // alone still fetches (the lowest began earliest).
    for (int pass = 0; pass < 3; ++pass)
        for (size_t i = 0; i < m_have.size(); ++i) {
            PieceState& piece = m_pieces[i];
            if (m_have[i] || (pass == 0 && piece.owner != place) || (pass == 1 && piece.owner >= 0) ||
                (pass == 2 && (piece.onePlace || piece.owner == place)))
                continue;
            for (size_t j = 0; j < piece.from.size(); ++j) {
                std::vector<int>& fetchers = piece.fetchers[j];
                if (piece.from[j] >= 0 || (pass < 2 ? !fetchers.empty() : fetchers.size() != 1 || fetchers[0] == place))
                    continue;
                if (pass == 1) piece.owner = place;
                fetchers.push_back(place);
                return PartOf(static_cast<int>(i), static_cast<int>(j));
            }
        }
    return Part();
}

bool CPiecePicker::PartCame(const Part& part, int place, const std::vector<char>& bytes) {
    PieceState& piece = m_pieces[part.piece];
    if (!Wanted(part)) return false;
    piece.fetchers[part.index].clear();  // a copy still under way elsewhere is not wanted any more
    piece.bytes.resize(static_cast<size_t>(m_layout->Length(part.piece)));
    std::copy(bytes.begin(), bytes.end(), piece.bytes.begin() + static_cast<ptrdiff_t>(part.begin - m_layout->Begin(part.piece)));
    piece.from[part.index] = place;
    return std::find(piece.from.begin(), piece.from.end(), -1) == piece.from.end();
}

std::vector<char> CPiecePicker::Take(int piece) {
    std::vector<char> bytes;
    bytes.swap(m_pieces[piece].bytes);
    m_pieces[piece].checking = true;
    return bytes;
}

bool CPiecePicker::Arrived(int piece) {
    Reset(m_pieces[piece]);
    if (m_have[piece]) return false;
    m_have[piece] = true;
    return true;
}

int CPiecePicker::Failed(int piece) {
    PieceState& state = m_pieces[piece];
    const bool one = std::count(state.from.begin(), state.from.end(), state.from[0]) == static_cast<std::ptrdiff_t>(state.from.size());
    const int sender = one ? state.from[0] : -1;
    state.onePlace = state.onePlace || !one;
    Reset(state);
    return sender;
}

void CPiecePicker::Reset(PieceState& state) {
    state.owner = -1;
    state.checking = false;
    ++state.round;
    for (std::vector<int>& fetchers : state.fetchers) fetchers.clear();
    std::fill(state.from.begin(), state.from.end(), -1);
    std::vector<char>().swap(state.bytes);
}

void CPiecePicker::GiveBack(const Part& part, int place) {
    if (part.round != m_pieces[part.piece].round) return;  // its fetchers were let go with the round
    std::vector<int>& fetchers = m_pieces[part.piece].fetchers[part.index];
    const auto at = std::find(fetchers.begin(), fetchers.end(), place);
    if (at != fetchers.end()) fetchers.erase(at);
}

void CPiecePicker::Forget(int place) {
    for (size_t i = 0; i < m_pieces.size(); ++i) {
        PieceState& piece = m_pieces[i];
        if (m_have[i] || piece.checking) continue;
        if (piece.owner == place) piece.owner = -1;
        for (size_t j = 0; j < piece.from.size(); ++j) {
            if (piece.from[j] == place) piece.from[j] = -1;
            GiveBack(PartOf(static_cast<int>(i), static_cast<int>(j)), place);
        }
        if (std::count(piece.from.begin(), piece.from.end(), -1) == static_cast<std::ptrdiff_t>(piece.from.size()))
            std::vector<char>().swap(piece.bytes);
    }
}

bool CPiecePicker::Done() const { return std::find(m_have.begin(), m_have.end(), false) == m_have.end(); }

std::wstring PieceMapPath(const std::wstring& partPath) { return partPath + L".pieces"; }

std::vector<bool> ReadPieceMap(const std::wstring& path, const PieceLayout& layout) {
    std::vector<bool> have(layout.pieces.size(), false);
    const std::string text = ReadBinaryFile(path, 1 << 20);
    const size_t newline = text.find('\n');
    if (newline == std::string::npos || text.substr(0, newline) != MapIdentity(layout) ||
        text.size() < newline + 1 + have.size())
        return have;
    for (size_t i = 0; i < have.size(); ++i) have[i] = text[newline + 1 + i] == '1';
    return have;
}

PiecesResult FetchPieces(const HttpSession& session, const std::vector<std::wstring>& places, const PieceLayout& layout,
                         const std::wstring& partPath, const CStopToken& stop, IPieceProgress& progress,
                         std::wstring& wholeFrom) {
    return CPieceRun(session, layout, partPath, stop).Run(places, progress, wholeFrom);
}

}  // namespace mirq
