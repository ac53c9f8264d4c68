// mirq-service: the download service of the Mirq flasher, and its operator's commands.
#include <signal.h>

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

using namespace mirqsvc;

namespace {

const char kUsage[] =
    "usage:\n"
    "  mirq-service keygen DIR\n"
    "  mirq-service publish --store STORE --phonemode P --flashtype T --file PATH [--url URL]\n"
    "  mirq-service catalogue --store STORE --key KEY.pem --models FILE\n"
    "  mirq-service serve --store STORE --key KEY.pem --listen HOST:PORT [--files] [--files-url BASE]\n";

int Fail(const std::string& why) {
    fprintf(stderr, "mirq-service: %s\n", why.c_str());
    return 1;
}

// --name value pairs and bare --flags; false for anything not in `known`.
bool ReadOptions(int argc, char** argv, const std::vector<std::string>& known, const std::vector<std::string>& flags,
                 std::map<std::string, std::string>& out) {
    for (int i = 2; i < argc; ++i) {
        const std::string name = argv[i];
        if (std::find(flags.begin(), flags.end(), name) != flags.end()) {
            out[name] = "1";
        } else if (std::find(known.begin(), known.end(), name) != known.end() && i + 1 < argc) {
            out[name] = argv[++i];
        } else {
            return false;
        }
    }
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

int Serve(const std::map<std::string, std::string>& o) {
    CSigningKey key;
    std::string why;
    if (!key.Load(o.at("--key"), why)) return Fail(why);
    const std::string listen = o.at("--listen");
    const size_t colon = listen.rfind(':');
    ServeOptions options;
    options.host = colon == std::string::npos ? "" : listen.substr(0, colon);
    if (options.host.size() > 2 && options.host.front() == '[' && options.host.back() == ']')
        options.host = options.host.substr(1, options.host.size() - 2);
    options.port = colon == std::string::npos ? -1 : std::atoi(listen.c_str() + colon + 1);
    if (options.host.empty() || options.port <= 0 || options.port > 65535) return Fail("--listen takes HOST:PORT");
    options.files = o.count("--files") > 0;
    options.filesUrl = o.count("--files-url") ? o.at("--files-url") : "";
    CStore store(o.at("--store"));
    if (!store.Readable()) return Fail(o.at("--store") + " is no store (publish into it first)");
    CServiceServer server(store, key, options);
    if (!server.Bind(why)) return Fail(why);
    if (options.filesUrl.empty() && (options.host == "0.0.0.0" || options.host == "::"))
        fprintf(stderr, "mirq-service: answers name files at %s; give --files-url where clients reach them\n",
                options.host.c_str());
    g_server = &server;
    signal(SIGTERM, StopServer);
    signal(SIGINT, StopServer);
    fprintf(stderr, "mirq-service: serving %s on %s:%d (key of %d bits, public key SHA-256 %s)%s\n", o.at("--store").c_str(),
            options.host.c_str(), server.Port(), key.Bits(), Sha256Hex(key.PublicDer()).c_str(),
            options.files ? ", with its files" : "");
    server.Run();
    g_server = nullptr;
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string command = argc > 1 ? argv[1] : "";
    std::map<std::string, std::string> o;
    std::string why;
    if (command == "keygen" && argc == 3) {
        if (!GenerateKey(argv[2], why)) return Fail(why);
        printf("%s/service.pem: the private key (keep it on the service, mode 0600)\n"
               "%s/service.der: the public key (make package MIRQ_SERVICE_KEY=%s/service.der)\n",
               argv[2], argv[2], argv[2]);
        return 0;
    }
    if (command == "publish" && ReadOptions(argc, argv, {"--store", "--phonemode", "--flashtype", "--file", "--url"}, {}, o) &&
        Require(o, {"--store", "--phonemode", "--flashtype", "--file"})) {
        const std::string& type = o["--flashtype"];
        if (type.find_first_not_of("0123456789") != std::string::npos || type.size() > 9)
            return Fail("--flashtype must be a number (1 ROM package, 2 recovery image)");
        Release release;
        if (!CStore(o["--store"]).Publish(o["--phonemode"], std::atoi(type.c_str()), o["--file"], o["--url"], release, why))
            return Fail(why);
        printf("published %s for %s, flash type %d: %lld bytes, SHA-256 %s\n",
               release.url.empty() ? ("files/" + release.file).c_str() : release.url.c_str(), release.phonemode.c_str(),
               release.flashType, release.size, release.sha256.c_str());
        return 0;
    }
    if (command == "catalogue" && ReadOptions(argc, argv, {"--store", "--key", "--models"}, {}, o) &&
        Require(o, {"--store", "--key", "--models"})) {
        CSigningKey key;
        if (!key.Load(o["--key"], why)) return Fail(why);
        std::ifstream in(o["--models"], std::ios::binary);
        if (!in) return Fail("cannot read " + o["--models"]);
        std::stringstream models;
        models << in.rdbuf();
        long long version = 0;
        if (!CStore(o["--store"]).InstallCatalogue(models.str(), key, version, why))
            return Fail("catalogue refused: " + why);
        printf("catalogue version %lld installed\n", version);
        return 0;
    }
    if (command == "serve" && ReadOptions(argc, argv, {"--store", "--key", "--listen", "--files-url"}, {"--files"}, o) &&
        Require(o, {"--store", "--key", "--listen"}))
        return Serve(o);
    fputs(kUsage, stderr);
    return 2;
}
