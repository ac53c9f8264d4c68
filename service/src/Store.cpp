#include "Store.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <ctime>
#include <set>
#include <cerrno>
#include <fstream>
#include <map>
#include <random>
#include <sstream>

#include "Crypto.h"
#include "Text.h"
#include "device/CatalogueText.h"
#include "download/SignedRecords.h"

namespace mirqsvc {

namespace {

const char kSignatureOpen[] = "<signature>";
const size_t kMaxCatalogue = 16 << 20;
const size_t kMaxRecord = 64 * 1024;

std::string ReadWhole(const std::string& path, size_t limit = 1 << 20) {
    std::ifstream in(path, std::ios::binary);
    std::string bytes;
    if (!in) return bytes;
    bytes.resize(limit);
    in.read(&bytes[0], limit);
    bytes.resize(static_cast<size_t>(in.gcount()));
    return bytes;
}

// A name no other writer picks: the process, a counter and chance.
std::string TempName() {
    static std::atomic<unsigned> counter{0};
    std::random_device random;
    return std::to_string(getpid()) + "-" + std::to_string(counter++) + "-" + std::to_string(random());
}

bool SyncFolder(const std::string& dir) {
    const int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    const bool ok = fd >= 0 && fsync(fd) == 0;
    if (fd >= 0) close(fd);
    return ok;
}

// The store's writers one at a time. flock goes with the process, so one
// that was killed holds nothing; what it left in tmp/ is swept by the next.
class CWriteLock {
public:
    CWriteLock(const std::string& root, std::string& why) {
        for (const char* dir : {"", "/files", "/releases", "/tmp"})
            if (mkdir((root + dir).c_str(), 0755) == 0) chmod((root + dir).c_str(), 0755);  // whatever the umask
        m_fd = open((root + "/.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
        if (m_fd < 0 || flock(m_fd, LOCK_EX) != 0) {
            why = "cannot write the store " + root;
            return;
        }
        m_held = true;
        if (DIR* tmp = opendir((root + "/tmp").c_str())) {
            while (dirent* entry = readdir(tmp))
                if (entry->d_name[0] != '.') unlink((root + "/tmp/" + entry->d_name).c_str());
            closedir(tmp);
        }
    }
    ~CWriteLock() {
        if (m_fd >= 0) close(m_fd);
    }
    bool Held() const { return m_held; }

private:
    int m_fd = -1;
    bool m_held = false;
};

// The file's own extension, if it is a plain one (the name stays a name).
std::string Extension(const std::string& path) {
    const size_t dot = path.rfind('.'), slash = path.rfind('/');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return ".bin";
    std::string ext = path.substr(dot + 1);
    if (ext.empty() || ext.size() > 8) return ".bin";
    for (char& c : ext) {
        if (c >= 'A' && c <= 'Z') c = c - 'A' + 'a';
        if (!((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9'))) return ".bin";
    }
    return "." + ext;
}

bool IsUrl(const std::string& url) {
    std::wstring wide;
    return DecodeUtf8(url, wide) && mirq::IsPlaceUrl(wide);
}

// The lines of a small file of the store (none when it is missing).
std::vector<std::string> ReadLines(const std::string& path) {
    std::vector<std::string> lines;
    std::istringstream in(ReadWhole(path));
    for (std::string line; std::getline(in, line);)
        if (!line.empty()) lines.push_back(line);
    return lines;
}

}  // namespace

long long CatalogueVersion(const std::string& signedCatalogue) {
    std::wstring text;
    mirq::Catalogue read;
    if (!SignedText(signedCatalogue, text) || !mirq::ReadCatalogueText(text, read))
        return -1;
    return read.version;
}

std::string CStore::ReleasePath(const std::string& phonemode, int flashType) const {
    // Any phonemode names a file of its own, of a length a file system takes.
    return m_root + "/releases/" + Sha256Hex(phonemode + "\n" + std::to_string(flashType));
}

bool CStore::PutInPlace(const std::string& bytes, const std::string& path) const {
    const std::string temp = m_root + "/tmp/" + TempName();
    const int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    fchmod(fd, 0644);  // readable by the serving user whatever the umask
    const bool written = write(fd, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size()) && fsync(fd) == 0;
    if (close(fd) != 0 || !written || rename(temp.c_str(), path.c_str()) != 0) {
        unlink(temp.c_str());
        return false;
    }
    return SyncFolder(path.substr(0, path.rfind('/')));
}

bool CStore::Publish(const std::string& phonemode, int flashType, const std::string& path, const Placing& placing,
                     const CSigningKey& root, Release& out, std::string& why) const {
    if (!IsPlainName(phonemode)) {
        why = "--phonemode must be UTF-8 text without control characters or blanks at its ends";
        return false;
    }
    if (flashType < 1) {
        why = "--flashtype must be a number of 1 or more (1 ROM package, 2 recovery image)";
        return false;
    }
    if (placing.urls.empty() && placing.mirrors.empty()) {
        why = "the record names where its file may be fetched from: give --mirror BASE (the store's files served "
              "there) or --url ADDRESS, once or more";
        return false;
    }
    for (const std::string& url : placing.urls)
        if (!IsUrl(url)) {
            why = "--url must be an http:// or https:// address without blanks: " + url;
            return false;
        }
    for (const std::string& base : placing.mirrors)
        if (!IsUrl(base)) {
            why = "--mirror must be an http:// or https:// address without blanks: " + base;
            return false;
        }
    if (!IsDate(placing.until)) {
        why = "--until takes a date, YYYY-MM-DD";
        return false;
    }
    if (placing.pieceSize < mirq::kLeastPieceSize || placing.pieceSize > mirq::kMostPieceSize) {
        why = "--piece-size takes a number of bytes from " + std::to_string(mirq::kLeastPieceSize) + " to " +
              std::to_string(mirq::kMostPieceSize);
        return false;
    }
    CWriteLock lock(m_root, why);
    if (!lock.Held()) return false;
    Release r, before;
    // Clients refuse a version below one they saw: never start again at 1 over a record that cannot be read.
    const Lookup last = FindRelease(phonemode, flashType, before);
    if (last == Lookup::Unreadable) {
        why = ReleasePath(phonemode, flashType) + " cannot be read: its version is not known, so no next one is given";
        return false;
    }
    r.phonemode = phonemode;
    r.flashType = flashType;
    r.version = last == Lookup::Found ? before.version + 1 : 1;
    FileDigests digests;
    const bool stored = !placing.mirrors.empty();
    const std::string temp = stored ? m_root + "/tmp/" + TempName() : std::string();
    if (!DigestFile(path, digests, temp, placing.pieceSize)) {
        unlink(temp.c_str());
        why = "cannot read " + path + (temp.empty() ? "" : " or copy it into the store");
        return false;
    }
    if (digests.size == 0) {
        unlink(temp.c_str());
        why = path + " is empty";
        return false;
    }
    r.size = digests.size;
    r.sha256 = digests.sha256;
    r.md5 = digests.md5;
    r.until = placing.until;
    r.urls = placing.urls;
    r.pieceSize = placing.pieceSize;
    r.pieces = digests.pieces;
    if (stored) {
        // Named by its content: a file once published never changes under a download.
        r.file = r.sha256 + Extension(path);
        if (rename(temp.c_str(), (m_root + "/files/" + r.file).c_str()) != 0 || !SyncFolder(m_root + "/files")) {
            unlink(temp.c_str());
            why = "cannot put the file into " + m_root + "/files";
            return false;
        }
        for (const std::string& base : placing.mirrors) r.urls.push_back(base + (base.back() == '/' ? "" : "/") + r.file);
    }
    r.signedRecord = SignRelease(r, root);
    // The file the release named until now is no longer named from this moment: prune's grace counts from here.
    const bool unnames = last == Lookup::Found && !before.file.empty() && before.file != r.file;
    if (unnames && !PutInPlace(ReadWhole(m_root + "/unnamed") + before.file + " " + std::to_string(time(nullptr)) + "\n",
                               m_root + "/unnamed")) {
        why = "cannot write " + m_root + "/unnamed";
        return false;
    }
    if (r.signedRecord.empty() || !PutInPlace(r.signedRecord, ReleasePath(phonemode, flashType))) {
        why = "cannot sign or write the release into " + m_root + "/releases";
        return false;
    }
    out = r;
    return true;
}

bool CStore::InstallCatalogue(const std::string& models, const CSigningKey& key, CatalogueTerms& terms,
                              std::string& why) const {
    CWriteLock lock(m_root, why);
    return lock.Held() && WriteCatalogue(models, key, terms, why);
}

bool CStore::WriteCatalogue(const std::string& models, const CSigningKey& key, CatalogueTerms& terms,
                            std::string& why) const {
    long long& version = terms.version;
    if (!IsDate(terms.until)) {
        why = "--until takes a date, YYYY-MM-DD";
        return false;
    }
    long long current = 0;
    const std::string kept = ReadWhole(m_root + "/models.xml", kMaxCatalogue);
    if (!kept.empty() && (current = CatalogueVersion(kept)) < 0 && version < 1) {
        why = m_root + "/models.xml cannot be read: its version is not known, so no next one is given (--version N sets it)";
        return false;
    }
    // Clients keep the newest they saw, and ignore another of the same version.
    if (version >= 1 && version <= current) {
        why = "--version " + std::to_string(version) + " is not above the store's version " + std::to_string(current);
        return false;
    }
    std::string rows = models;
    if (rows.compare(0, 3, "\xEF\xBB\xBF") == 0) rows.erase(0, 3);  // an editor's byte order mark
    // The program reads every byte before the first <signature> as signed.
    if (rows.find(kSignatureOpen) != std::string::npos) {
        why = "the models file holds <signature>";
        return false;
    }
    if (rows.find("<withdrawn>") != std::string::npos) {
        why = "the models file holds <withdrawn>: withdraw an online key with --withdraw ONLINE.der";
        return false;
    }
    // Withdrawn keys stay withdrawn: every catalogue from now on lists them.
    std::vector<std::string> withdrawn = ReadLines(m_root + "/withdrawn");
    for (const std::string& key : terms.withdraw)
        if (std::find(withdrawn.begin(), withdrawn.end(), key) == withdrawn.end()) withdrawn.push_back(key);
    std::string listed;
    for (const std::string& key : withdrawn) listed += Element("withdrawn", key);
    if (version < 1) version = current + 1;
    const std::string text = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<models><version>" + std::to_string(version) +
                             "</version>" + Element("until", terms.until) + listed + "\n" + rows;
    std::wstring wide, broken;
    mirq::Catalogue read;
    if (!DecodeUtf8(text, wide)) {
        why = "the models file is not UTF-8";
        return false;
    }
    if (!mirq::ReadCatalogueText(wide, read, &broken)) {
        why = EncodeUtf8(broken);
        return false;
    }
    if (read.models.empty()) {
        why = "the models file holds no <model>";
        return false;
    }
    if (text.size() + 1024 > kMaxCatalogue) {  // the signature's room kept
        why = "the catalogue would be over 16 MiB";
        return false;
    }
    std::string withdrawnFile;
    for (const std::string& key : withdrawn) withdrawnFile += key + "\n";
    const std::string document = SignDocument(text, "models", key);
    if (document.empty() || !PutInPlace(withdrawnFile, m_root + "/withdrawn") || !PutInPlace(rows, m_root + "/models.rows") ||
        !PutInPlace(document, m_root + "/models.xml")) {
        why = "cannot sign or write " + m_root + "/models.xml";
        return false;
    }
    return true;
}

bool CStore::Refresh(const std::string& until, const CSigningKey& root, std::vector<Release>& records,
                     long long& catalogueVersion, std::string& why) const {
    if (!IsDate(until)) {
        why = "--until takes a date, YYYY-MM-DD";
        return false;
    }
    CWriteLock lock(m_root, why);
    if (!lock.Held()) return false;
    std::vector<Release> releases;
    if (!ReadAllReleases(releases, why)) return false;
    for (Release& r : releases) {
        // The same file, places and version: no client takes it for another release.
        r.until = until;
        r.signedRecord = SignRelease(r, root);
        if (r.signedRecord.empty() || !PutInPlace(r.signedRecord, ReleasePath(r.phonemode, r.flashType))) {
            why = "cannot sign or write the release of " + r.phonemode + ", flash type " + std::to_string(r.flashType);
            return false;
        }
        records.push_back(r);
    }
    catalogueVersion = 0;
    struct stat st;
    if (stat((m_root + "/models.rows").c_str(), &st) != 0) return true;  // no catalogue installed by this store
    // A client ignores another catalogue of the version it holds: the refreshed one is one up.
    CatalogueTerms terms;
    terms.until = until;
    if (!WriteCatalogue(ReadWhole(m_root + "/models.rows", kMaxCatalogue), root, terms, why)) return false;
    catalogueVersion = terms.version;
    return true;
}

Lookup CStore::FindRelease(const std::string& phonemode, int flashType, Release& out) const {
    const std::string path = ReleasePath(phonemode, flashType);
    struct stat st;
    if (stat(path.c_str(), &st) != 0) return errno == ENOENT ? Lookup::None : Lookup::Unreadable;
    Release r;
    if (!ReadRelease(ReadWhole(path, kMaxRecord), r) || r.phonemode != phonemode || r.flashType != flashType ||
        (!m_rootDer.empty() && !SignedBy(r.signedRecord, m_rootDer)))
        return Lookup::Unreadable;
    out = r;
    return Lookup::Found;
}

Lookup CStore::Catalogue(std::string& bytes) const {
    const std::string path = m_root + "/models.xml";
    struct stat st;
    if (stat(path.c_str(), &st) != 0) return errno == ENOENT ? Lookup::None : Lookup::Unreadable;
    if (st.st_size > static_cast<off_t>(kMaxCatalogue)) return Lookup::Unreadable;
    bytes = ReadWhole(path, kMaxCatalogue);  // a file that cannot be read reads short
    // Only a whole catalogue that reads by the program's rules is one to serve.
    return static_cast<off_t>(bytes.size()) == st.st_size && CatalogueVersion(bytes) >= 0 &&
                   (m_rootDer.empty() || SignedBy(bytes, m_rootDer))
               ? Lookup::Found
               : Lookup::Unreadable;
}

bool CStore::Check(const std::string& endsBefore, std::string& why) const {
    if (!Readable()) {
        why = "the store cannot be read";
        return false;
    }
    std::string catalogue;
    const Lookup found = Catalogue(catalogue);
    if (found == Lookup::Unreadable) {
        why = m_rootDer.empty() ? "the catalogue cannot be read" : "the catalogue cannot be read or does not verify under the root key";
        return false;
    }
    std::wstring text;
    mirq::Catalogue read;
    if (found == Lookup::Found && SignedText(catalogue, text) && mirq::ReadCatalogueText(text, read) &&
        EncodeUtf8(read.until) < endsBefore) {
        why = "the catalogue ends on " + EncodeUtf8(read.until) + ": refresh it (mirq-service refresh)";
        return false;
    }
    std::vector<Release> releases;
    if (!ReadAllReleases(releases, why)) return false;
    for (const Release& r : releases)
        if (r.until < endsBefore) {
            why = "the release of " + r.phonemode + ", flash type " + std::to_string(r.flashType) + ", ends on " + r.until +
                  ": refresh it (mirq-service refresh)";
            return false;
        }
    return true;
}

bool CStore::ReadAllReleases(std::vector<Release>& out, std::string& why) const {
    DIR* dir = opendir((m_root + "/releases").c_str());
    if (!dir) {
        why = "cannot list " + m_root + "/releases";
        return false;
    }
    bool ok = true;
    while (dirent* entry = readdir(dir)) {
        Release r;
        if (entry->d_name[0] == '.') continue;
        if (!ReadRelease(ReadWhole(m_root + "/releases/" + entry->d_name, kMaxRecord), r)) {
            why = std::string("the release ") + entry->d_name + " cannot be read";
            ok = false;
            break;
        }
        if (!m_rootDer.empty() && !SignedBy(r.signedRecord, m_rootDer)) {
            why = "the release of " + r.phonemode + ", flash type " + std::to_string(r.flashType) +
                  ", does not verify under the root key";
            ok = false;
            break;
        }
        out.push_back(r);
    }
    closedir(dir);
    return ok;
}

bool CStore::Prune(double days, std::vector<std::string>& removed, std::string& why) const {
    CWriteLock lock(m_root, why);
    if (!lock.Held()) return false;
    std::vector<Release> releases;
    // A release that cannot be read might name any file: nothing is removed then.
    if (!ReadAllReleases(releases, why)) {
        why += ": nothing removed";
        return false;
    }
    std::set<std::string> named;
    for (const Release& r : releases) named.insert(r.file);
    // When each file stopped being named (the latest time, where it was named and replaced more than once).
    std::map<std::string, time_t> unnamedAt;
    for (const std::string& line : ReadLines(m_root + "/unnamed")) {
        const size_t blank = line.find(' ');
        const long long at = blank == std::string::npos ? -1 : ParseDigits(line.substr(blank + 1), 18);
        if (at >= 0) unnamedAt[line.substr(0, blank)] = std::max<time_t>(unnamedAt[line.substr(0, blank)], at);
    }
    DIR* dir = opendir((m_root + "/files").c_str());
    if (!dir) return true;  // nothing published yet
    const time_t before = time(nullptr) - static_cast<time_t>(days * 86400);
    std::string kept;
    while (dirent* entry = readdir(dir)) {
        const std::string name = entry->d_name, path = m_root + "/files/" + name;
        struct stat st;
        if (name[0] == '.' || stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
        // From the moment no release named it; a file no release ever named, from its own time.
        const time_t since = std::max<time_t>(st.st_mtime, unnamedAt.count(name) ? unnamedAt[name] : 0);
        if (named.count(name) || since >= before || unlink(path.c_str()) != 0) {
            // A note of a file named again is stale: the next publish that replaces it notes it anew.
            if (unnamedAt.count(name) && !named.count(name)) kept += name + " " + std::to_string(unnamedAt[name]) + "\n";
            continue;
        }
        removed.push_back(name);
    }
    closedir(dir);
    if (!PutInPlace(kept, m_root + "/unnamed")) why = "cannot write " + m_root + "/unnamed";
    return true;
}

std::string CStore::FilePath(const std::string& name) const {
    // <64 hex>.<ext>: nothing else is ever under files/, and no path leaves it.
    if (name.size() < 66 || name.size() > 74 || name[64] != '.') return std::string();
    for (size_t i = 0; i < name.size(); ++i) {
        const char c = name[i];
        const bool ok = i == 64 || (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z');
        if (!ok || (i < 64 && c > 'f')) return std::string();
    }
    return m_root + "/files/" + name;
}

bool CStore::Readable() const { return access((m_root + "/releases").c_str(), R_OK | X_OK) == 0; }

}  // namespace mirqsvc
