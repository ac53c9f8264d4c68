#pragma once
// A file the root signed piece by piece, fetched from every place its record
// names at once: a few connections to each, each asking for the next missing
// part of a piece with a range; a piece is checked when its parts are all
// here and written at its offset. A place that sends a piece with another
// hash, fails, or lags far behind the best is dropped for this download; near
// the end, a part still under way is asked of a second place too. What
// arrived checked is remembered beside the part, so a download started again
// asks only for the rest. Pieces, parts and places are values that a picker
// hands to connections.
#include <algorithm>
#include <atomic>
#include <string>
#include <vector>

#include "download/HttpExchange.h"
#include "util/StopToken.h"

namespace mirq {

constexpr int kMaxConnections = 4;     // to one place
constexpr int kMaxAllConnections = 8;  // in all
constexpr long long kPartSize = 1 << 20;  // what one request asks for: a larger piece comes in parts

struct PieceLayout {
    long long size = 0, pieceSize = 0;
    std::wstring sha256;                // of the whole file: names it in the kept map
    std::vector<std::wstring> pieces;   // the SHA-256 of each piece
    int Count() const { return static_cast<int>(pieces.size()); }
    long long Begin(int piece) const { return piece * pieceSize; }
    long long Length(int piece) const { return std::min(pieceSize, size - Begin(piece)); }
    int Parts(int piece) const { return static_cast<int>((Length(piece) + kPartSize - 1) / kPartSize); }
};

// Which part of which piece a free connection of a place fetches next, and
// each piece's parts as they come. A piece is fetched by the place that began
// it, so that a piece with another hash names the place that sent it; only its
// last parts are asked of a second place too. Not locked: its owner locks.
class CPiecePicker {
public:
    struct Part {
        int piece = -1, index = 0;        // piece -1: nothing left for the place
        long long begin = 0, length = 0;  // in the file
        int round = 0;                    // of its piece: a part asked for before the piece failed is not wanted
    };

    CPiecePicker(const PieceLayout& layout, const std::vector<bool>& have);
    // A part of a piece the place began; else the lowest piece nobody began;
    // else (the end) a part only another place is fetching.
    Part Next(int place);
    // The part's bytes came from the place: true when they complete the piece (Take it then, and check it).
    bool PartCame(const Part& part, int place, const std::vector<char>& bytes);
    std::vector<char> Take(int piece);
    // The piece was checked and written: true for the first time.
    bool Arrived(int piece);
    // The piece had another hash, or was not written: it is fetched again. The place that sent all of it, or
    // -1 when several did (the piece then comes from one place alone).
    int Failed(int piece);
    void GiveBack(const Part& part, int place);
    // A dropped place: the pieces it began are free, and what it sent of unchecked pieces is fetched again.
    void Forget(int place);
    bool Wanted(const Part& part) const {
        const PieceState& piece = m_pieces[part.piece];
        return !m_have[part.piece] && piece.round == part.round && piece.from[part.index] < 0;
    }
    bool Done() const;
    const std::vector<bool>& Have() const { return m_have; }

private:
    struct PieceState {
        int owner = -1;         // the place that began it
        bool onePlace = false;  // it failed from several places: no second place for it
        bool checking = false;  // taken whole to be checked: what a dropped place sent of it stays meanwhile
        int round = 0;          // how many times it was fetched again
        std::vector<std::vector<int>> fetchers;  // each part's, in the order they began
        std::vector<int> from;  // the place each part came from; -1 while missing
        std::vector<char> bytes;
    };
    Part PartOf(int piece, int index) const;
    void Reset(PieceState& state);

    const PieceLayout* m_layout;
    std::vector<bool> m_have;
    std::vector<PieceState> m_pieces;
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
