// mirq-service: the download service of the Mirq flasher, and its operator's commands.
#include <signal.h>
#include <time.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "Crypto.h"
#include "Server.h"
#include "Store.h"
#include "Text.h"
#include "download/SignedRecords.h"

using namespace mirqsvc;

namespace {

const char kUsage[] =
    "usage:\n"
    "  mirq-service keygen DIR [--bits 2048|3072]\n"
    "  mirq-service certify --key ROOT.pem --online ONLINE.der --until YYYY-MM-DD --out ONLINE.cert\n"
    "  mirq-service publish --store S --key ROOT.pem --phonemode P --flashtype T --file PATH\n"
    "                       (--mirror BASE | --url URL)... [--until YYYY-MM-DD] [--piece-size BYTES]\n"
    "  mirq-service catalogue --store S --key ROOT.pem --models FILE [--version N] [--until YYYY-MM-DD]\n"
    "                         [--withdraw ONLINE.der]...\n"
    "  mirq-service refresh --store S --key ROOT.pem --until YYYY-MM-DD\n"
    "  mirq-service serve --store S --key ONLINE.pem --cert ONLINE.cert --root ROOT.der --listen H:P [--files] [--files-url BASE]\n"
    "                     [--trust-proxy ADDR] [--prefix-share N]\n"
    "  mirq-service prune --store S --older-than DAYS\n";

int Fail(const std::string& why) {
    fprintf(stderr, "mirq-service: %s\n", why.c_str());
    return 1;
}

// --name value pairs and bare --flags; false for anything not in `known`,
// or given twice unless `repeated` names it (those: every value, in `many`).
const std::vector<std::string> kRepeated = {"--url", "--mirror", "--withdraw"};
std::map<std::string, std::vector<std::string>> g_many;

bool ReadOptions(int argc, char** argv, const std::vector<std::string>& known, const std::vector<std::string>& flags,
                 std::map<std::string, std::string>& out) {
    for (int i = 2; i < argc; ++i) {
        const std::string name = argv[i];
        const bool repeated = std::find(kRepeated.begin(), kRepeated.end(), name) != kRepeated.end();
        if (out.count(name) && !repeated) return false;
        if (std::find(flags.begin(), flags.end(), name) != flags.end()) {
            out[name] = "1";
        } else if (std::find(known.begin(), known.end(), name) != known.end() && i + 1 < argc) {
            out[name] = argv[++i];
            g_many[name].push_back(out[name]);
        } else {
            return false;
        }
    }
    return true;
}

const long kDefaultDays = 90;    // a record's or a catalogue's life unless --until says otherwise
const long kCertifyMostDays = 400;

// --until, or the default life from today; a day already past is taken with a warning (an ended document on purpose).
bool Until(std::map<std::string, std::string>& o, std::string& until) {
    until = o.count("--until") ? o["--until"] : UtcDate(kDefaultDays);
    if (!IsDate(until)) return false;
    if (until < UtcDate())
        fprintf(stderr, "mirq-service: warning: %s ended before today (%s): clients refuse what is signed with it\n",
                until.c_str(), UtcDate().c_str());
    return true;
}

bool Require(const std::map<std::string, std::string>& options, const std::vector<std::string>& names) {
    for (const std::string& name : names)
        if (options.count(name) == 0 || options.at(name).empty()) return false;
    return true;
}

CServiceServer* g_server = nullptr;

void StopServer(int) {
    if (g_server) g_server->Stop();
}

std::string ReadFile(const std::string& path, bool* read = nullptr) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream bytes;
    if (in) bytes << in.rdbuf();
    if (read) *read = static_cast<bool>(in);
    return bytes.str();
}

int Certify(std::map<std::string, std::string>& o) {
    CSigningKey root;
    std::string why;
    if (!root.Load(o["--key"], why)) return Fail(why);
    const std::string online = ReadFile(o["--online"]), until = o["--until"];
    if (!IsRsaPublicDer(online)) return Fail(o["--online"] + " is not the public half of an RSA key of 2048 bits or more (DER)");
    if (online == root.PublicDer()) return Fail("the online key is the root itself: certify a key of its own for serving");
    if (!IsDate(until)) return Fail("--until takes a date, YYYY-MM-DD");
    // A stolen online key lives as long as its certificate: a short life, renewed.
    if (until > UtcDate(kCertifyMostDays))
        return Fail("--until " + until + " is more than " + std::to_string(kCertifyMostDays) +
                    " days ahead: certify for a short life and again before it ends");
    if (until > UtcDate(kDefaultDays))
        fprintf(stderr, "mirq-service: warning: %s is more than %ld days ahead: a stolen online key serves until then\n",
                until.c_str(), kDefaultDays);
    const std::string certificate = Certify(online, until, root);
    std::ofstream out(o["--out"], std::ios::binary | std::ios::trunc);
    if (certificate.empty() || !(out << certificate) || !out.flush()) return Fail("cannot sign or write " + o["--out"]);
    if (until < UtcDate())
        fprintf(stderr, "mirq-service: warning: %s ended before today (%s): clients refuse answers under it\n",
                until.c_str(), UtcDate().c_str());
    printf("%s: the online key SHA-256 %s may sign answers to the end of %s (UTC)\n", o["--out"].c_str(),
           Sha256Hex(online).c_str(), until.c_str());
    return 0;
}

int Serve(const std::map<std::string, std::string>& o) {
    CSigningKey key;
    std::string why;
    if (!key.Load(o.at("--key"), why)) return Fail(why);
    std::string certified, until;
    const std::string certificate = ReadFile(o.at("--cert"));
    if (!ReadCertificate(certificate, certified, until)) return Fail(o.at("--cert") + " is no certificate (mirq-service certify makes one)");
    if (certified != key.PublicDer())
        return Fail(o.at("--cert") + " does not name the key of " + o.at("--key") + ": serve with the key it certifies");
    // The root's public key: what is served must verify under it, as every program checks.
    if (!o.count("--root")) return Fail("serve takes --root ROOT.der: the root's public key, which what it serves must verify under");
    const std::string root = ReadFile(o.at("--root"));
    if (!IsRsaPublicDer(root)) return Fail(o.at("--root") + " is not the root's public key (its service.der)");
    if (!SignedBy(certificate, root)) return Fail(o.at("--cert") + " is not signed by the root " + o.at("--root"));
    if (until < UtcDate())
        fprintf(stderr, "mirq-service: warning: the certificate ended on %s: clients refuse every answer; certify the key again\n",
                until.c_str());
    if (!o.count("--files") && !o.count("--files-url"))
        return Fail("answers name where the files are: give --files-url BASE (the address clients reach them at, "
                    "behind nginx the front's), or --files to serve them here");
    const std::string listen = o.at("--listen");
    const size_t colon = listen.rfind(':');
    ServeOptions options;
    options.host = colon == std::string::npos ? "" : listen.substr(0, colon);
    if (options.host.size() > 2 && options.host.front() == '[' && options.host.back() == ']')
        options.host = options.host.substr(1, options.host.size() - 2);
    options.port = colon == std::string::npos ? -1 : static_cast<int>(ParseDigits(listen.substr(colon + 1), 5));
    if (options.host.empty() || options.port <= 0 || options.port > 65535) return Fail("--listen takes HOST:PORT");
    options.files = o.count("--files") > 0;
    options.filesUrl = o.count("--files-url") ? o.at("--files-url") : "";
    options.certificate = certificate;
    options.trustProxy = o.count("--trust-proxy") ? o.at("--trust-proxy") : "";
    if (o.count("--prefix-share") && (options.prefixShare = static_cast<int>(ParseDigits(o.at("--prefix-share"), 4))) < 64)
        return Fail("--prefix-share takes a number of connections from 64 to 9999");
    CStore store(o.at("--store"));
    store.VerifyWith(root);
    if (!store.Readable()) return Fail(o.at("--store") + " is no store (publish into it first)");
    CServiceServer server(store, key, options);
    if (!server.Bind(why)) return Fail(why);
    g_server = &server;
    signal(SIGTERM, StopServer);
    signal(SIGINT, StopServer);
    fprintf(stderr, "mirq-service: serving %s on %s:%d (online key of %d bits, public key SHA-256 %s, certified until %s)%s\n",
            o.at("--store").c_str(), options.host.c_str(), server.Port(), key.Bits(), Sha256Hex(key.PublicDer()).c_str(),
            until.c_str(), options.files ? ", with its files" : "");
    server.Run();
    g_server = nullptr;
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string command = argc > 1 ? argv[1] : "";
    std::map<std::string, std::string> o;
    std::string why;
    if (command == "keygen" && argc >= 3 && ReadOptions(argc - 1, argv + 1, {"--bits"}, {}, o)) {
        const std::string bits = o.count("--bits") ? o["--bits"] : "3072";
        if (bits != "2048" && bits != "3072") return Fail("--bits takes 2048 or 3072");
        if (!GenerateKey(argv[2], why, std::stoi(bits))) return Fail(why);
        printf("%s/service.pem: the private key (mode 0600; a root key stays on a machine that serves nothing)\n"
               "%s/service.der: the public key (a root's: make package MIRQ_SERVICE_KEY=%s/service.der;"
               " an online key's: mirq-service certify --online %s/service.der)\n",
               argv[2], argv[2], argv[2], argv[2]);
        return 0;
    }
    if (command == "certify" && ReadOptions(argc, argv, {"--key", "--online", "--until", "--out"}, {}, o) &&
        Require(o, {"--key", "--online", "--until", "--out"}))
        return Certify(o);
    if (command == "publish" &&
        ReadOptions(argc, argv, {"--store", "--key", "--phonemode", "--flashtype", "--file", "--url", "--mirror", "--until", "--piece-size"}, {}, o) &&
        Require(o, {"--store", "--key", "--phonemode", "--flashtype", "--file"})) {
        const long long type = ParseDigits(o["--flashtype"], 9);
        if (type < 0) return Fail("--flashtype must be a number (1 ROM package, 2 recovery image)");
        Placing placing;
        placing.urls = g_many["--url"];
        placing.mirrors = g_many["--mirror"];
        if (!Until(o, placing.until)) return Fail("--until takes a date, YYYY-MM-DD");
        if (o.count("--piece-size")) placing.pieceSize = ParseDigits(o["--piece-size"], 12);
        CSigningKey root;
        if (!root.Load(o["--key"], why)) return Fail(why);
        Release release;
        if (!CStore(o["--store"]).Publish(o["--phonemode"], static_cast<int>(type), o["--file"], placing, root, release, why))
            return Fail(why);
        printf("published %s for %s, flash type %d, version %lld: %lld bytes, SHA-256 %s, until %s, at",
               release.file.empty() ? "a file hosted elsewhere" : ("files/" + release.file).c_str(), release.phonemode.c_str(),
               release.flashType, release.version, release.size, release.sha256.c_str(), release.until.c_str());
        for (const std::string& url : release.urls) printf(" %s", url.c_str());
        printf("\n");
        return 0;
    }
    if (command == "catalogue" &&
        ReadOptions(argc, argv, {"--store", "--key", "--models", "--version", "--until", "--withdraw"}, {}, o) &&
        Require(o, {"--store", "--key", "--models"})) {
        CSigningKey key;
        if (!key.Load(o["--key"], why)) return Fail(why);
        CatalogueTerms terms;
        terms.version = o.count("--version") ? ParseDigits(o["--version"], 18) : 0;
        if (o.count("--version") && terms.version < 1) return Fail("--version takes a number of 1 or more");
        if (!Until(o, terms.until)) return Fail("--until takes a date, YYYY-MM-DD");
        for (const std::string& path : g_many["--withdraw"]) {
            const std::string online = ReadFile(path);
            if (!IsRsaPublicDer(online)) return Fail(path + " is not the public half of an RSA key (DER): name the online key's service.der");
            if (online == key.PublicDer()) return Fail("--withdraw names the root itself");
            terms.withdraw.push_back(Sha256Hex(online));
        }
        bool read = false;
        const std::string models = ReadFile(o["--models"], &read);
        if (!read) return Fail("cannot read " + o["--models"]);
        if (!CStore(o["--store"]).InstallCatalogue(models, key, terms, why)) return Fail("catalogue refused: " + why);
        printf("catalogue version %lld installed, until %s\n", terms.version, terms.until.c_str());
        for (const std::string& sha : terms.withdraw) printf("online key SHA-256 %s withdrawn\n", sha.c_str());
        return 0;
    }
    if (command == "refresh" && ReadOptions(argc, argv, {"--store", "--key", "--until"}, {}, o) &&
        Require(o, {"--store", "--key", "--until"})) {
        std::string until;
        if (!Until(o, until)) return Fail("--until takes a date, YYYY-MM-DD");
        CSigningKey root;
        if (!root.Load(o["--key"], why)) return Fail(why);
        std::vector<Release> records;
        long long catalogue = 0;
        if (!CStore(o["--store"]).Refresh(until, root, records, catalogue, why)) return Fail(why);
        for (const Release& r : records)
            printf("refreshed %s, flash type %d, version %lld, until %s\n", r.phonemode.c_str(), r.flashType, r.version,
                   until.c_str());
        if (catalogue > 0) printf("catalogue version %lld installed, until %s\n", catalogue, until.c_str());
        return 0;
    }
    if (command == "serve" &&
        ReadOptions(argc, argv, {"--store", "--key", "--cert", "--root", "--listen", "--files-url", "--trust-proxy", "--prefix-share"}, {"--files"}, o) &&
        Require(o, {"--store", "--key", "--listen"})) {
        if (!o.count("--cert")) return Fail("serve takes --cert ONLINE.cert: the root's certificate of the online key (mirq-service certify)");
        return Serve(o);
    }
    if (command == "prune" && ReadOptions(argc, argv, {"--store", "--older-than"}, {}, o) &&
        Require(o, {"--store", "--older-than"})) {
        const long long days = ParseDigits(o["--older-than"], 6);
        if (days < 0) return Fail("--older-than takes a number of days");
        std::vector<std::string> removed;
        if (!CStore(o["--store"]).Prune(static_cast<double>(days), removed, why)) return Fail(why);
        for (const std::string& name : removed) printf("removed files/%s\n", name.c_str());
        printf("%zu files removed\n", removed.size());
        return 0;
    }
    fputs(kUsage, stderr);
    return 2;
}
