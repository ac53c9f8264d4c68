#pragma once
// The store: everything the service serves, in files that any number of
// `serve` processes read and only the operator's commands write.
//
//   files/<sha256>.<ext>   the published files, named by their content
//   releases/<id>          one small record a (phonemode, flash type), root-signed
//   models.xml             the signed catalogue
//   models.rows            its rows as the operator gave them (refresh signs them again)
//   withdrawn              the SHA-256 of each withdrawn online key, a line each
//   unnamed                "NAME SECONDS": when a release stopped naming a file of files/ (prune's grace starts there)
//   tmp/                   what a command writes before it renames it into place
//   .lock                  held (flock) while a command writes; the kernel
//                          lets it go with the process, so a killed
//                          command leaves no lock behind
//
// Everything goes into place by rename(2), so a reader sees the old whole
// or the new whole, and a release names only a file that is complete.
#include <string>
#include <vector>

#include "Records.h"

namespace mirqsvc {

class CSigningKey;

enum class Lookup { Found, None, Unreadable };

// Where a published file may be fetched from, and until when its record counts.
struct Placing {
    std::vector<std::string> urls;     // exact addresses (publish --url): the file is hosted there
    std::vector<std::string> mirrors;  // bases its store name is appended to (publish --mirror): the store keeps it
    std::string until;                 // YYYY-MM-DD
    long long pieceSize = 4 << 20;     // the record names the SHA-256 of each piece of this many bytes
};

// What a catalogue is signed with besides its rows.
struct CatalogueTerms {
    long long version = 0;               // 0: one above the store's; else this one (for a store whose models.xml was lost)
    std::string until;                   // YYYY-MM-DD
    std::vector<std::string> withdraw;   // SHA-256 of online keys to add to the store's withdrawn list
};

class CStore {
public:
    explicit CStore(std::string root) : m_root(std::move(root)) {}
    // What `serve` reads must verify under the root's public key (DER): a
    // record or catalogue that does not is Unreadable (a tampered store,
    // another root's), never a document to hand out.
    void VerifyWith(std::string rootDer) { m_rootDer = std::move(rootDer); }

    // Hashes the file and makes it the release for (phonemode, flashType),
    // one version above the one before, its record signed with the root and
    // naming every place of `placing` (at least one): copied into files/
    // where a mirror serves the store's files.
    bool Publish(const std::string& phonemode, int flashType, const std::string& path, const Placing& placing,
                 const CSigningKey& root, Release& out, std::string& why) const;
    // The models file's <model> rows, checked by the catalogue's rules, given
    // the terms' version (never one the store has had), last day and the
    // store's withdrawn keys, signed and put in place; the version given in `terms`.
    bool InstallCatalogue(const std::string& models, const CSigningKey& key, CatalogueTerms& terms, std::string& why) const;
    // Every current record signed again with a new last day, naming the same
    // file and places at the same version, and the catalogue (where the
    // store has its rows) one version up with it; what was signed in `records`.
    bool Refresh(const std::string& until, const CSigningKey& root, std::vector<Release>& records,
                 long long& catalogueVersion, std::string& why) const;

    // What `serve` reads, each time it is asked (no state of its own).
    Lookup FindRelease(const std::string& phonemode, int flashType, Release& out) const;
    // The signed catalogue whole: None when none was installed, Unreadable when it cannot be read.
    Lookup Catalogue(std::string& bytes) const;
    // Whether every release and the catalogue can be read and count past
    // `endsBefore` (YYYY-MM-DD: the health check's warning); else why not.
    bool Check(const std::string& endsBefore, std::string& why) const;
    // Removes the files under files/ that no release names, once no release
    // has named them for `days` (a client may still be resuming one); their names into `removed`.
    bool Prune(double days, std::vector<std::string>& removed, std::string& why) const;
    // The path of a published file by its name; empty for a name that is not one.
    std::string FilePath(const std::string& name) const;
    bool Readable() const;

private:
    std::string ReleasePath(const std::string& phonemode, int flashType) const;
    // Every release of the store; false (and which, in `why`) when one cannot be read.
    bool ReadAllReleases(std::vector<Release>& out, std::string& why) const;
    // Writes the bytes under tmp/, flushes them and renames them to `path`.
    bool PutInPlace(const std::string& bytes, const std::string& path) const;
    // InstallCatalogue with the store's lock held.
    bool WriteCatalogue(const std::string& models, const CSigningKey& key, CatalogueTerms& terms, std::string& why) const;
    std::string m_root;
    std::string m_rootDer;
};

// The signed bytes' version of a catalogue as the store keeps it; -1 when it cannot be read.
long long CatalogueVersion(const std::string& signedCatalogue);

}  // namespace mirqsvc
