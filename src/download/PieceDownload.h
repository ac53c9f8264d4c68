#pragma once
// A file the root signed piece by piece, fetched from every place its record
// names at once: a few connections to each, each asking for the next missing
// piece with a range; a piece is checked when it is whole and written at its
// offset. A place that sends a piece with another hash, fails, or lags far
// behind the best is dropped for this download; near the end, a piece still
// under way is asked of a second place too. What arrived checked is
// remembered beside the part, so a download started again asks only for the
// rest. Pieces and places are values that a picker hands to connections.
#include <atomic>
#include <string>
#include <vector>

#include "download/HttpExchange.h"
#include "util/StopToken.h"

namespace mirq {

constexpr int kMaxConnections = 4;     // to one place
constexpr int kMaxAllConnections = 8;  // in all

struct PieceLayout {
    long long size = 0, pieceSize = 0;
    std::wstring sha256;                // of the whole file: names it in the kept map
    std::vector<std::wstring> pieces;   // the SHA-256 of each piece
    int Count() const { return static_cast<int>(pieces.size()); }
    long long Begin(int piece) const { return piece * pieceSize; }
    long long Length(int piece) const { return std::min(pieceSize, size - Begin(piece)); }
};

// Which piece a free connection of a place fetches next. Not locked: its owner locks.
class CPiecePicker {
public:
    explicit CPiecePicker(const std::vector<bool>& have);
    // The lowest missing piece no connection fetches; else (the end) the one
    // under way at another place only that began earliest; -1 when nothing is left for this place.
    int Next(int place);
    // A piece arrived checked: true for the first copy (a second one, of the end, is not needed).
    bool Arrived(int piece);
    // A connection of the place gave the piece up (failed, dropped, or no longer wanted).
    void GiveBack(int piece, int place);
    bool Wanted(int piece) const { return !m_have[piece]; }
    bool Done() const;
    const std::vector<bool>& Have() const { return m_have; }

private:
    std::vector<bool> m_have;
    std::vector<std::vector<int>> m_fetchers;  // the places fetching each piece, in the order they began
};

// What a piece download told on its way: all bytes of checked pieces, the
// combined speed, the places and connections in use, and how far from the
// start every piece is checked.
class IPieceProgress {
public:
    virtual void OnPieces(long long bytes, double bytesPerSecond, int places, int connections, long long inOrder) = 0;

protected:
    ~IPieceProgress() = default;
};

// Whole: every piece arrived checked into the part; Failed: every place
// dropped (the part and its map are kept); NoRanges: the one place left
// answers a range with the whole file (its address in `wholeFrom`);
// Stopped; DiskFull: a write found no room; Insecure: no place could be trusted.
enum class PiecesResult { Whole, Failed, NoRanges, Stopped, DiskFull, Insecure };

// Fetches the missing pieces of the layout into the part (created at its
// full length when missing or not the same file's), from `places` (the
// answer's choice first), `map` beside it recording each checked piece.
PiecesResult FetchPieces(const HttpSession& session, const std::vector<std::wstring>& places, const PieceLayout& layout,
                         const std::wstring& partPath, const CStopToken& stop, IPieceProgress& progress,
                         std::wstring& wholeFrom);

// Where a part's piece map is kept.
std::wstring PieceMapPath(const std::wstring& partPath);
// The pieces a kept map says arrived checked for this very file (size, piece size and SHA-256); none when it names another.
std::vector<bool> ReadPieceMap(const std::wstring& path, const PieceLayout& layout);

}  // namespace mirq
