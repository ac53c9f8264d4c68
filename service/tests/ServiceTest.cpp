// The service as its operator runs it (the commands) and as clients meet it
// (HTTP against a server in this process, on a port of its own).
#include <gtest/gtest.h>
#include <httplib.h>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <thread>

#include "Answer.h"
#include "RequestGate.h"
#include "Crypto.h"
#include "Server.h"
#include "Store.h"
#include "Records.h"
#include "Text.h"
#include "download/SignedRecords.h"

using namespace mirqsvc;

namespace {

std::string Shell(const std::string& command, int* rc = nullptr) {
    std::string out;
    FILE* pipe = popen((command + " 2>&1").c_str(), "r");
    char buffer[4096];
    for (size_t n; (n = fread(buffer, 1, sizeof(buffer), pipe)) > 0;) out.append(buffer, n);
    const int status = pclose(pipe);
    if (rc) *rc = WEXITSTATUS(status);
    return out;
}

std::string Tool(const std::string& args, int* rc = nullptr) { return Shell(std::string(MIRQ_SERVICE_EXE) + " " + args, rc); }

std::string Read(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

void Write(const std::string& path, const std::string& bytes) { std::ofstream(path, std::ios::binary) << bytes; }

// What openssl itself says of a signed document (every byte before <signature>),
// under the root (keys/) or the online key (online/).
bool OpensslVerifies(const std::string& dir, const std::string& document, const std::string& keys = "keys") {
    const size_t open = document.find("<signature>"), close = document.find("</signature>");
    Write(dir + "/signed", document.substr(0, open));
    Write(dir + "/sig.b64", document.substr(open + 11, close - open - 11) + "\n");
    return Shell("openssl base64 -d -A -in " + dir + "/sig.b64 -out " + dir + "/sig && openssl pkey -pubin -inform DER -in " +
                 dir + "/" + keys + "/service.der -out " + dir + "/public.pem && openssl dgst -sha256 -verify " + dir +
                 "/public.pem -signature " + dir + "/sig " + dir + "/signed")
               .find("Verified OK") != std::string::npos;
}

// A connection to the port from a loopback address of the caller's choosing.
int Connect(int port, const char* from) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in at = {}, to = {};
    at.sin_family = to.sin_family = AF_INET;
    inet_pton(AF_INET, from, &at.sin_addr);
    to.sin_port = htons(port);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&at), sizeof(at)), 0);
    EXPECT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof(to)), 0);
    return fd;
}

// A figure of /proc/self/status in KiB: VmRSS (now), VmHWM (the peak since clear_refs was told 5).
long MemoryKiB(const char* key) {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);)
        if (line.compare(0, 6, key) == 0) return std::atol(line.c_str() + 6);
    return 0;
}

// Sends the bytes (as far as the server takes them) and reads until it closes; the connection is closed.
std::string Exchange(int fd, const std::string& bytes) {
    timeval wait = {10, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof(wait));
    send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    std::string got;
    char buffer[4096];
    for (ssize_t n; (n = recv(fd, buffer, sizeof(buffer), 0)) > 0;) got.append(buffer, n);
    close(fd);
    return got;
}

const char kModels[] =
    "<model><phonemode>Nexus S</phonemode><brand>google</brand><device>crespo</device><name>Google Nexus S</name>"
    "<recovery>flash_image</recovery><script>extendedcommand</script></model>\n"
    "<model><phonemode>OnePlus One</phonemode><brand>oneplus</brand><device>bacon</device><name>OnePlus One</name>"
    "<recovery>keep</recovery><script>openrecoveryscript</script></model>\n";

// Where the tests' store is reached (the nginx cluster's front).
const char kMirror[] = "http://127.0.0.1:18280/files/";

std::string QueryBody(const std::string& phonemode, const std::string& type, const std::string& nonce = "00112233445566778899aabbccddeeff") {
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?><root><phonemode>" + phonemode + "</phonemode><flashtype>" + type +
           "</flashtype><nonce>" + nonce + "</nonce></root>";
}

class Service : public testing::Test {
protected:
    void SetUp() override {
        char dir[] = "/tmp/mirq-service-test-XXXXXX";
        m_dir = mkdtemp(dir);
        chmod(m_dir.c_str(), 0755);  // nginx's workers read the store as another user
        Tool("keygen " + m_dir + "/keys");
        Tool("keygen " + m_dir + "/online --bits 2048");
        Tool("certify --key " + m_dir + "/keys/service.pem --online " + m_dir + "/online/service.der --until " + UtcDate(300) +
             " --out " + Cert());
        std::string why;
        ASSERT_TRUE(m_key.Load(m_dir + "/online/service.pem", why)) << why;
        Write(m_dir + "/rom.zip", std::string(300000, 'r') + "end");
        Write(m_dir + "/models.txt", kModels);
        m_store = CStore(Store());
        m_store.VerifyWith(Read(m_dir + "/keys/service.der"));
    }
    void TearDown() override {
        StopServer();
        Shell(std::string(MIRQ_SERVICE_SOURCE) + "/tests/cluster.sh stop " + m_dir);  // where a test started one
        if (!getenv("KEEP_TEST_DIR")) Shell("rm -rf " + m_dir);  // KEEP_TEST_DIR=1: its logs stay to be read
    }
    std::string Store() const { return m_dir + "/store"; }
    std::string Cert() const { return m_dir + "/online.cert"; }
    std::string Root() const { return " --key " + m_dir + "/keys/service.pem "; }
    int Publish(const std::string& type, const std::string& file, const std::string& more = "") {
        int rc = 0;
        Tool("publish --store " + Store() + Root() + "--phonemode 'Nexus S' --flashtype " + type + " --file " + m_dir + "/" +
             file + more + " --mirror " + kMirror, &rc);
        return rc;
    }
    Release Current(int type = 1) {
        Release r;
        EXPECT_EQ(m_store.FindRelease("Nexus S", type, r), Lookup::Found);
        return r;
    }
    void StartServer(ServeOptions options = ServeOptions(), bool log = false) {
        options.port = 0;
        options.log = log;
        options.certificate = Read(Cert());
        m_server.reset(new CServiceServer(m_store, m_key, options));
        std::string why;
        ASSERT_TRUE(m_server->Bind(why)) << why;
        m_thread = std::thread([this] { m_server->Run(); });
    }
    void StopServer() {
        if (!m_server) return;
        m_server->Stop();
        m_thread.join();
        m_server.reset();
    }
    httplib::Client Client() { return httplib::Client("127.0.0.1", m_server->Port()); }
    std::string m_dir;
    CSigningKey m_key;
    CStore m_store{""};
    std::unique_ptr<CServiceServer> m_server;
    std::thread m_thread;
};

}  // namespace

TEST_F(Service, KeygenMakesWhatTheProgramTakesAndNeverReplacesAKey) {
    struct stat st = {};
    ASSERT_EQ(stat((m_dir + "/keys/service.pem").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    CSigningKey root;
    std::string why;
    ASSERT_TRUE(root.Load(m_dir + "/keys/service.pem", why));
    EXPECT_EQ(root.Bits(), 3072);
    EXPECT_EQ(m_key.Bits(), 2048);
    const std::string der = Read(m_dir + "/keys/service.der");
    EXPECT_EQ(der, Shell("openssl pkey -in " + m_dir + "/keys/service.pem -pubout -outform DER"));
    int rc = 0;
    EXPECT_NE(Tool("keygen " + m_dir + "/keys", &rc).find("exists"), std::string::npos);
    EXPECT_EQ(rc, 1);
    EXPECT_EQ(Read(m_dir + "/keys/service.der"), der);
    EXPECT_NE(Tool("keygen " + m_dir + "/k2 --bits 1024", &rc).find("--bits takes 2048 or 3072"), std::string::npos);
    // Serving takes any RSA key of 2048 bits or more, nothing less.
    Shell("openssl genrsa -out " + m_dir + "/small.pem 1024");
    CSigningKey small;
    EXPECT_FALSE(small.Load(m_dir + "/small.pem", why));
    EXPECT_NE(why.find("2048"), std::string::npos);
}

TEST_F(Service, ACatalogueIsCheckedByTheProgramsRulesThenSignedOneVersionUp) {
    int rc = 0;
    const std::string install = "catalogue --store " + Store() + Root() + "--models " + m_dir + "/models.txt";
    EXPECT_NE(Tool(install, &rc).find("version 1 installed"), std::string::npos);
    EXPECT_NE(Tool(install, &rc).find("version 2 installed"), std::string::npos);
    const std::string installed = Read(Store() + "/models.xml");
    EXPECT_EQ(CatalogueVersion(installed), 2);
    EXPECT_TRUE(OpensslVerifies(m_dir, installed));
    // A broken row names itself and the rule, and the installed catalogue stays.
    struct Broken {
        std::string from, to, said;
    };
    for (const Broken& b : {Broken{"<device>bacon</device>", "<device>../bacon</device>", "model 2 (OnePlus One): <device>"},
                            {"<recovery>keep</recovery>", "<recovery>stock</recovery>", "model 2 (OnePlus One): <recovery>"},
                            {"<brand>oneplus</brand>", "", "model 2 (OnePlus One): no <brand>"},
                            {"</name>", "</name><!-- x -->", "not a plain <models> document"},
                            {"</model>\n<model>", "</model></models><model>", "not a plain <models> document"},
                            {"</script>", "</script><signature>x</signature>", "holds <signature>"},
                            {"</script>", "</script><withdrawn>x</withdrawn>", "holds <withdrawn>"},
                            {kModels, "", "no <model>"}}) {
        std::string models = kModels;
        models.replace(models.find(b.from), b.from.size(), b.to);
        Write(m_dir + "/models.txt", models);
        const std::string said = Tool(install, &rc);
        EXPECT_EQ(rc, 1) << said;
        EXPECT_NE(said.find("catalogue refused: " ), std::string::npos) << said;
        EXPECT_NE(said.find(b.said), std::string::npos) << said;
        EXPECT_EQ(Read(Store() + "/models.xml"), installed);
    }
    // Large ones are served whole (up to 16 MiB); an unreadable one stops the next rather than restart at 1.
    std::string many;
    for (int i = 0; i < 9000; ++i)
        many += "<model><phonemode>P" + std::to_string(i) + "</phonemode><brand>b</brand><device>d" + std::to_string(i) +
                "</device><name>N</name><recovery>keep</recovery><script>openrecoveryscript</script></model>\n";
    Write(m_dir + "/models.txt", many);
    EXPECT_NE(Tool(install, &rc).find("version 3 installed"), std::string::npos);
    ServeOptions options;
    options.files = true;
    StartServer(options);
    const auto served = Client().Get("/ota/ota/models.action");
    ASSERT_TRUE(served);
    EXPECT_GT(served->body.size(), 1u << 20);
    EXPECT_TRUE(served->body == Read(Store() + "/models.xml"));
    EXPECT_TRUE(OpensslVerifies(m_dir, served->body));
    std::string huge = many;
    while (huge.size() < (16u << 20)) huge += many;
    Write(m_dir + "/huge.txt", huge);
    EXPECT_NE(Tool("catalogue --store " + Store() + Root() + "--models " + m_dir + "/huge.txt", &rc).find("over 16 MiB"), std::string::npos);
    Write(Store() + "/models.xml", "not a catalogue");
    EXPECT_EQ(Client().Get("/ota/ota/models.action")->status, 500);
    EXPECT_EQ(Client().Get("/healthz")->status, 503);
    EXPECT_NE(Tool(install, &rc).find("cannot be read"), std::string::npos);
    EXPECT_NE(Tool(install + " --version 9", &rc).find("version 9 installed"), std::string::npos);
}

TEST_F(Service, AKilledPublishLeavesTheReleaseBeforeItWholeAndNoLock) {
    Publish("1", "rom.zip");
    const Release before = Current();
    // The next release comes through a pipe: killed while it is half read.
    const std::string fifo = m_dir + "/fifo";
    mkfifo(fifo.c_str(), 0600);
    const pid_t pid = fork();
    if (pid == 0) {
        execl(MIRQ_SERVICE_EXE, MIRQ_SERVICE_EXE, "publish", "--store", Store().c_str(), "--key",
              (m_dir + "/keys/service.pem").c_str(), "--phonemode", "Nexus S",
              "--flashtype", "1", "--mirror", kMirror, "--file", fifo.c_str(), nullptr);
        _exit(127);
    }
    {
        std::ofstream half(fifo, std::ios::binary);
        half << std::string(4 << 20, 'n');
        half.flush();
        kill(pid, SIGKILL);
    }
    waitpid(pid, nullptr, 0);
    EXPECT_EQ(Current().sha256, before.sha256);
    EXPECT_TRUE(Read(Store() + "/files/" + Current().file) == Read(m_dir + "/rom.zip"));
    // The next publish takes the store at once and sweeps what the killed one left.
    Write(m_dir + "/rom2.zip", "another package");
    EXPECT_EQ(Publish("1", "rom2.zip"), 0);
    EXPECT_EQ(Read(Store() + "/files/" + Current().file), "another package");
    EXPECT_EQ(Shell("ls -A " + Store() + "/tmp"), "");
}

TEST_F(Service, EachRequestGetsItsAnswerAndBadInputAClearOne) {
    Publish("1", "rom.zip");
    Publish("2", "rom.zip", " --url 'https://cdn.example/r.img?a=1&b=2'");
    Tool("catalogue --store " + Store() + " --key " + m_dir + "/keys/service.pem --models " + m_dir + "/models.txt");
    ServeOptions options;
    options.files = true;
    StartServer(options);
    const Release rom = Current();
    const std::string file = "/files/" + rom.file, base = "http://127.0.0.1:" + std::to_string(m_server->Port());
    struct Case {
        std::string path, body;
        httplib::Headers headers;
        int status;
        std::string said;  // a part of the answer's body
    };
    const std::string romBytes = Read(m_dir + "/rom.zip");
    for (const Case& c : std::vector<Case>{
             {"/ota/ota/geturl.action", QueryBody("Nexus S", "1"), {}, 200,
              "<status>ok</status><phonemode>Nexus S</phonemode><flashtype>1</flashtype><nonce>00112233445566778899aabbccddeeff"
              "</nonce><certificate>" + Base64(Read(Cert())) + "</certificate><release>" + Base64(rom.signedRecord) +
              "</release><flashurl>http://127.0.0.1:18280" + file + "</flashurl><signature>"},
             {"/ota/ota/geturl.action", QueryBody("Nexus S", "2"), {}, 200, "<flashurl>https://cdn.example/r.img?a=1&amp;b=2</flashurl>"},
             {"/ota/ota/geturl.action", QueryBody("Nexus X", "1"), {}, 200, "<status>norelease</status><phonemode>Nexus X</phonemode>"},
             {"/ota/ota/geturl.action", QueryBody("Nexus S", "3"), {}, 200, "<status>norelease</status>"},
             {"/ota/ota/geturl.action", std::string(65537, ' '), {}, 413, ""},
             {"/ota/ota/geturl.action", "phonemode=Nexus S", {}, 400, "<nonce>"},
             {"/ota/ota/geturl.action", QueryBody("Nexus S", "1", ""), {}, 400, ""},
             {"/ota/ota/geturl.action", QueryBody("Nexus S", "1", "nonce-of-another-kind!"), {}, 400, ""},
             {"/ota/ota/geturl.action", QueryBody("Nexus S", "one"), {}, 400, ""},
             {"/ota/ota/geturl.action", QueryBody("Nexus S", "1", std::string(15, 'a')), {}, 400, ""},
             {"/ota/ota/geturl.action", QueryBody("Nexus S", "1", std::string(129, 'a')), {}, 400, ""},
             {"/ota/ota/geturl.action", QueryBody("A&amp;B &lt;1&gt;", "1", std::string(128, 'a')), {}, 200,
              "<status>norelease</status><phonemode>A&amp;B &lt;1&gt;</phonemode>"},
             {"/ota/ota/geturl.action", QueryBody("Nexus \xC0\xAF", "1"), {}, 400, ""},
             {"/ota/ota/geturl.action", QueryBody("Nexus S</phonemode><phonemode>Blade", "1"), {}, 400, ""},
             {"/ota/ota/models.action", "", {}, 200, Read(Store() + "/models.xml")},
             {"/", "", {}, 200, "MirqROM"},
             {"/healthz", "", {}, 200, "ok"},
             {file, "", {{"Range", "bytes=1000-"}}, 206, romBytes.substr(1000)},
             {file, "", {{"Range", "bytes=1000-"}, {"If-Range", "\"another\""}}, 200, romBytes},
             {file, "", {{"Range", "bytes=1000-"}, {"If-Range", "\"" + rom.sha256 + "\""}}, 206, romBytes.substr(1000)},
             {file, "", {{"Range", "bytes=0-9"}}, 206, romBytes.substr(0, 10)},
             {file, "", {{"Range", "bytes=300003-"}}, 416, ""},
             {"/files/..%2F.lock", "", {}, 404, ""},
         }) {
        SCOPED_TRACE(c.path + " " + c.body.substr(0, 120));
        httplib::Client client = Client();
        const httplib::Result r = c.body.empty() ? client.Get(c.path.c_str(), c.headers)
                                                 : client.Post(c.path.c_str(), c.headers, c.body, "text/xml; charset=utf-8");
        ASSERT_TRUE(r);
        EXPECT_EQ(r->status, c.status);
        EXPECT_NE(r->body.find(c.said), std::string::npos) << r->body;
        if (c.path == file && c.status != 416) {
            EXPECT_EQ(r->body, c.said);
            EXPECT_EQ(r->get_header_value("ETag"), "\"" + rom.sha256 + "\"");
        }
        if (r->body.find("<signature>") != std::string::npos) {
            EXPECT_TRUE(OpensslVerifies(m_dir, r->body, c.path == "/ota/ota/models.action" ? "keys" : "online"));
        }
    }
    // What httplib alone reads whole before any limit (a chunked body, a long
    // head) is refused without reading or holding the rest.
    const std::string post = "POST /ota/ota/geturl.action HTTP/1.1\r\nHost: x\r\nConnection: close\r\n";
    const std::string query = QueryBody("Nexus S", "1");
    const std::string kept = "POST /ota/ota/geturl.action HTTP/1.1\r\nHost: x\r\n", healthz = "GET /healthz HTTP/1.1\r\nHost: x\r\n\r\n";
    const std::string chunk = "6000\r\n" + std::string(0x6000, 'c') + "\r\n";
    std::string lines;
    for (int i = 0; i < 99; ++i) lines += "X-Line: " + std::to_string(i) + "\r\n";  // with post's two: one past 100
    char size[16];
    snprintf(size, sizeof(size), "%zx", query.size() - 10);  // after a first chunk of 0xA bytes
    struct Raw {
        std::string bytes, said;
        size_t flood;  // this many bytes of chunks follow, as long as the server takes them
    };
    for (const Raw& c : std::vector<Raw>{
             {post + "Transfer-Encoding: chunked\r\n\r\n", "HTTP/1.1 413", 64u << 20},
             {post + "Content-Encoding: gzip\r\nContent-Length: 20\r\n\r\n", "HTTP/1.1 415", 0},
             {post + lines + "\r\n", "HTTP/1.1 431", 0},
             {post + "X-Long: " + std::string(9000, 'l') + "\r\n\r\n", "HTTP/1.1 431", 0},
             {post + "Content-Length: 65537\r\n\r\n", "HTTP/1.1 413", 0},
             {post + "Expect: 100-continue\r\nContent-Length: " + std::to_string(query.size()) + "\r\n\r\n" + query,
              "HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 200", 0},
             {post + "Transfer-Encoding: chunked\r\n\r\nA\r\n" + query.substr(0, 10) + "\r\n" + size + "\r\n" + query.substr(10) +
                  "\r\n0\r\n\r\n", "<status>ok</status>", 0},
             {"GET /" + std::string(9000, 'p') + " HTTP/1.1\r\n\r\n", "HTTP/1.1 431", 0},
             // Framed two ways, or by a coding it does not take: refused and closed, nothing read as a next request.
             {kept + "Content-Length: 5\r\nTransfer-Encoding: chunked\r\n\r\n0\r\n\r\n" + healthz, "HTTP/1.1 400", 0},
             {kept + "Content-Length: 5\r\nContent-Length: 50\r\n\r\n01234" + healthz, "HTTP/1.1 400", 0},
             {kept + "Transfer-Encoding: gzip, chunked\r\n\r\n0\r\n\r\n" + healthz, "HTTP/1.1 400", 0},
             {kept + "Transfer-Encoding: chunked\r\nTransfer-Encoding: chunked\r\n\r\n0\r\n\r\n" + healthz, "HTTP/1.1 400", 0},
             {post + "Content-Encoding: deflate\r\nContent-Length: 20\r\n\r\n", "HTTP/1.1 415", 0},
             {post + "Content-Encoding: br\r\nContent-Length: 20\r\n\r\n", "HTTP/1.1 415", 0},
             // Each chunk within the limit, their total not.
             {post + "Transfer-Encoding: chunked\r\n\r\n" + chunk + chunk + chunk, "HTTP/1.1 413", 0},
         }) {
        SCOPED_TRACE(c.bytes.substr(0, 120));
        std::ofstream("/proc/self/clear_refs") << "5";  // the peak memory counts from here
        const long before = MemoryKiB("VmRSS:");
        const int fd = Connect(m_server->Port(), "127.0.0.1");
        send(fd, c.bytes.data(), c.bytes.size(), MSG_NOSIGNAL);
        std::thread flood([&] {
            const std::string chunk = "100000\r\n" + std::string(0x100000, 'c') + "\r\n";
            for (size_t sent = 0; sent < c.flood && send(fd, chunk.data(), chunk.size(), MSG_NOSIGNAL) > 0; sent += chunk.size()) {
            }
        });
        const std::string answer = Exchange(fd, "");
        flood.join();
        EXPECT_NE(answer.find(c.said), std::string::npos) << answer.substr(0, 300);
        EXPECT_EQ(answer.find("HTTP/1.1", answer.find(c.said) + c.said.size()), std::string::npos) << answer;  // one answer, closed
        EXPECT_LT(MemoryKiB("VmHWM:") - before, 32 * 1024);
    }
    // A release published while serving is answered at once, one version up.
    Write(m_dir + "/new.img", "image");
    Publish("2", "new.img");
    EXPECT_NE(Client().Post("/ota/ota/geturl.action", QueryBody("Nexus S", "2"), "text/xml")->body.find(Base64(Current(2).signedRecord)),
              std::string::npos);
    EXPECT_NE(Current(2).signedRecord.find("<version>2</version><size>5</size>"), std::string::npos);
    // A record another key signed (a tampered store) is never handed out: a 500, and the health check names it.
    Release forged = Current(2);
    forged.urls = {"http://evil.example/r.img"};
    Write(Store() + "/releases/" + Shell("printf 'Nexus S\\n2' | sha256sum | cut -c1-64 | tr -d '\\n'"), SignRelease(forged, m_key));
    EXPECT_EQ(Client().Post("/ota/ota/geturl.action", QueryBody("Nexus S", "2"), "text/xml")->status, 500);
    EXPECT_EQ(Client().Get("/healthz")->body, "the release of Nexus S, flash type 2, does not verify under the root key\n");
    // A record not written by publish (by hand, unsigned) is the service's fault, not "no release".
    Write(Store() + "/releases/" + Shell("printf 'Nexus S\\n1' | sha256sum | cut -c1-64 | tr -d '\\n'"),
          "phonemode=Nexus S\nflashtype=1\nsize=5\nsha256=" + std::string(64, '0') + "\nurl=http://evil.example/rom.zip\n");
    EXPECT_EQ(Client().Post("/ota/ota/geturl.action", QueryBody("Nexus S", "1"), "text/xml")->status, 500);
    EXPECT_EQ(Client().Get("/healthz")->status, 503);
    EXPECT_NE(Publish("1", "rom.zip"), 0);  // its version is not known: no next one
    // Behind a trusted front, a refusal is logged with the client it forwarded for, and the path without the version.
    StopServer();
    options.trustProxy = "127.0.0.1";
    const std::string logged = m_dir + "/serve.log";
    const int saved = dup(2), log = open(logged.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    dup2(log, 2);
    StartServer(options, true);
    Exchange(Connect(m_server->Port(), "127.0.0.1"), "POST /ota/ota/geturl.action HTTP/1.1\r\nX-Forwarded-For: 203.0.113.9\r\n"
                                                      "Content-Encoding: br\r\nContent-Length: 2\r\n\r\nxx");
    Exchange(Connect(m_server->Port(), "127.0.0.1"), "GET / HTTP/1.1\r\nX-Forwarded-For: 203.0.113.9\r\n\r\n");
    StopServer();
    fflush(stderr);
    dup2(saved, 2);
    close(saved);
    close(log);
    EXPECT_NE(Read(logged).find(" 203.0.113.9 POST /ota/ota/geturl.action 415 "), std::string::npos) << Read(logged);
    EXPECT_NE(Read(logged).find(" 203.0.113.9 GET / 200 "), std::string::npos) << Read(logged);  // an answer too
    // (A 503's line names the client from what of the head has come: its header read past a line without a colon.)
    EXPECT_EQ(HeaderValue("GET / HTTP/1.1\r\nNo colon\r\nX-Forwarded-For: 203.0.113.7 \r\n\r\n", "x-forwarded-for"), "203.0.113.7");
}

TEST_F(Service, TheRootSignsWhatIsInstalledAndServeOnlyHoldsACertifiedKey) {
    Shell("openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out " + m_dir + "/ec.pem && chmod 600 " + m_dir +
          "/ec.pem && cp " + m_dir + "/online/service.pem " + m_dir + "/shared.pem && chmod 644 " + m_dir + "/shared.pem && cp " +
          m_dir + "/online/service.pem " + m_dir + "/group.pem && chmod 640 " + m_dir + "/group.pem && openssl genrsa 1024 2>/dev/null | "
          "openssl pkey -pubout -outform DER -out " + m_dir + "/small.der");
    // Two publishes at once: each its own version, each file kept (the store's
    // lock), readable by the serving user whatever the publisher's umask.
    Write(m_dir + "/old.zip", "an older package");
    const std::string publish = std::string(MIRQ_SERVICE_EXE) + " publish --store " + Store() + Root() +
                                "--phonemode 'Nexus S' --flashtype 1 --mirror " + kMirror + " --file " + m_dir;
    Shell("umask 077; " + publish + "/old.zip & " + publish + "/rom.zip & wait");
    EXPECT_EQ(Current().version, 2);
    EXPECT_EQ(Shell("ls " + Store() + "/files | wc -l"), "2\n");
    EXPECT_EQ(Shell("stat -c %a " + Store() + " " + Store() + "/files " + Store() + "/files/* " + Store() + "/releases/* | sort -u"),
              "644\n755\n");
    // A file named with blanks and brackets is stored under a name the files rule takes.
    Write(m_dir + "/my rom (1).IMG", "an image");
    Tool("publish --store " + Store() + Root() + "--phonemode 'Nexus S' --flashtype 2 --file '" + m_dir +
         "/my rom (1).IMG' --mirror http://other.example/x --mirror http://cdn.example/m");
    EXPECT_FALSE(m_store.FilePath(Current(2).file).empty()) << Current(2).file;
    // The answer picks its own among the places the record names (--files-url with or without its last slash).
    for (const char* base : {"http://cdn.example/m", "http://cdn.example/m/"}) {
        ServeOptions options;
        options.filesUrl = base;
        StartServer(options);
        EXPECT_NE(Client().Post("/ota/ota/geturl.action", QueryBody("Nexus S", "2"), "text/xml")->body.find(
                      "<flashurl>http://cdn.example/m/" + Current(2).file + "</flashurl>"),
                  std::string::npos) << base;
        StopServer();
    }
    EXPECT_EQ(Publish("1", "rom.zip", " --piece-size 131072"), 0);
    EXPECT_EQ(Current().version, 3);
    EXPECT_EQ(Current().sha256, Shell("sha256sum " + m_dir + "/rom.zip | cut -c1-64 | tr -d '\\n'"));
    // The SHA-256 of each piece, the last one short (300003 bytes: 2 of 128 KiB, then 37859).
    EXPECT_EQ(Current().pieces, (std::vector<std::string>{
                                    Shell("head -c 131072 " + m_dir + "/rom.zip | sha256sum | cut -c1-64 | tr -d '\\n'"),
                                    Shell("head -c 262144 " + m_dir + "/rom.zip | tail -c 131072 | sha256sum | cut -c1-64 | tr -d '\\n'"),
                                    Shell("tail -c 37859 " + m_dir + "/rom.zip | sha256sum | cut -c1-64 | tr -d '\\n'")}));
    // Files no release names go once no release has named them for the days given, whatever their own
    // age (a PC may still be resuming one); the named ones stay.
    Shell("touch -d '8 days ago' " + Store() + "/files/*");
    EXPECT_NE(Tool("prune --store " + Store() + " --older-than 7").find("0 files removed"), std::string::npos);
    Shell("sed -i 's/ [0-9]*$/ " + std::to_string(time(nullptr) - 3 * 86400) + "/' " + Store() + "/unnamed");
    EXPECT_NE(Tool("prune --store " + Store() + " --older-than 7").find("0 files removed"), std::string::npos);
    EXPECT_NE(Tool("prune --store " + Store() + " --older-than 2").find("1 files removed"), std::string::npos);
    EXPECT_EQ(Read(Store() + "/unnamed"), "");
    EXPECT_EQ(Read(Store() + "/files/" + Current().file), Read(m_dir + "/rom.zip"));
    EXPECT_TRUE(OpensslVerifies(m_dir, Current().signedRecord, "keys"));
    EXPECT_TRUE(OpensslVerifies(m_dir, Read(Cert()), "keys"));
    EXPECT_NE(Read(Cert()).find("<key>" + Base64(Read(m_dir + "/online/service.der")) + "</key><until>" + UtcDate(300) + "</until>"),
              std::string::npos);
    const std::string serve = "serve --store " + Store() + " --key " + m_dir + "/online/service.pem --listen 127.0.0.1:0 --root " +
                              m_dir + "/keys/service.der ";
    const std::string certify = "certify" + Root() + "--online " + m_dir + "/online/service.der --out " + m_dir + "/c --until ";
    int rc = 0;
    struct Said {
        std::string args, said;
        int rc;
    };
    for (const Said& c : std::vector<Said>{
             {serve, "serve takes --cert", 1},
             {serve + "--cert " + m_dir + "/keys/service.der", "is no certificate", 1},
             {"serve --store " + Store() + Root() + "--cert " + Cert() + " --listen 127.0.0.1:0", "does not name the key", 1},
             {certify + "2001-02-29", "--until takes a date", 1},
             {certify + "2001-02-28", "warning: 2001-02-28 ended before today", 0},
             {certify + UtcDate(401), "more than 400 days ahead", 1},
             {"publish --store " + Store() + Root() + "--phonemode 'Nexus S' --flashtype 1 --file " + m_dir +
              "/rom.zip --url http://x.example/r --piece-size 1000", "--piece-size takes a number of bytes from 65536 to 16777216", 1},
             {"publish --store " + Store() + Root() + "--phonemode 'Nexus S' --flashtype 1 --file " + m_dir +
              "/rom.zip --url http://x.example/r --piece-size 16777217", "--piece-size takes a number of bytes from 65536", 1},
             {"certify" + Root() + "--online " + m_dir + "/small.der --out " + m_dir + "/c --until " + UtcDate(30),
              "not the public half of an RSA key of 2048 bits or more", 1},
             {"serve --store " + Store() + " --key " + m_dir + "/group.pem --cert " + Cert() + " --files --listen 127.0.0.1:0", "chmod 600", 1},
             {certify + UtcDate(91), "warning: " + UtcDate(91) + " is more than 90 days ahead", 0},
             {"publish --store " + Store() + Root() + "--phonemode 'Nexus S' --flashtype 1 --file " + m_dir + "/rom.zip",
              "give --mirror BASE", 1},
             {"publish --store " + Store() + Root() + "--phonemode 'Nexus S' --flashtype 1 --file " + m_dir +
              "/rom.zip --url ftp://x/y", "--url must be an http:// or https:// address", 1},
             {"certify" + Root() + "--online " + m_dir + "/keys/service.der --out " + m_dir + "/c --until 2099-01-01", "the root itself", 1},
             {"publish --store " + Store() + " --phonemode 'Nexus S' --flashtype 1 --file " + m_dir + "/rom.zip", "usage", 2},
             {"catalogue --store " + Store() + Root() + "--models " + m_dir + "/models.txt --version 7", "version 7 installed", 0},
             {"catalogue --store " + Store() + Root() + "--models " + m_dir + "/models.txt --version 7", "not above the store's version 7", 1},
             {"publish --store " + Store() + Root() + "--phonemode 'Nexus S' --flashtype 1 --file /dev/null --mirror http://m.example/", "is empty", 1},
             {"serve --store " + m_dir + "/nothing --key " + m_dir + "/online/service.pem --cert " + Cert() + " --root " + m_dir +
              "/keys/service.der --files --listen 127.0.0.1:1", "no store", 1},
             {"serve --store " + Store() + " --key " + m_dir + "/online/service.pem --cert " + Cert() + " --files --listen 127.0.0.1:1",
              "serve takes --root", 1},
             {"serve --store " + Store() + " --key " + m_dir + "/online/service.pem --cert " + Cert() + " --root " + m_dir +
              "/online/service.der --files --listen 127.0.0.1:1", "is not signed by the root", 1},
             {"serve --store " + Store() + " --key " + m_dir + "/ec.pem --cert " + Cert() + " --files --listen 127.0.0.1:0", "not an RSA key", 1},
             {"serve --store " + Store() + " --key " + m_dir + "/shared.pem --cert " + Cert() + " --files --listen 127.0.0.1:0", "chmod 600", 1},
             {serve + "--cert " + Cert(), "give --files-url", 1},
             {"prune --store " + Store() + " --older-than soon", "--older-than takes a number of days", 1},
         }) {
        const std::string said = Tool(c.args, &rc);
        EXPECT_NE(said.find(c.said), std::string::npos) << c.args << ": " << said;
        EXPECT_EQ(rc, c.rc) << c.args;
    }
    EXPECT_EQ(Current().version, 3);  // the refused publish of an empty file left the release
    // The days a certificate may end on: the calendar's own.
    for (const auto& day : std::vector<std::pair<const wchar_t*, bool>>{
             {L"2027-01-31", true}, {L"2027-01-32", false}, {L"2028-02-29", true}, {L"2100-02-29", false},
             {L"2000-02-29", true}, {L"2027-13-01", false}, {L"2027-1-01", false}})
        EXPECT_EQ(mirq::IsCalendarDate(day.first), day.second) << mirq::IsCalendarDate(day.first);
    // What the root signs ends: the health check says so two weeks ahead, naming it; refresh signs
    // the same records again (same file, places and version) and the catalogue one version up, its
    // withdrawn keys kept.
    const std::string catalogue = "catalogue --store " + Store() + Root() + "--models " + m_dir + "/models.txt --until ";
    EXPECT_NE(Tool(catalogue + UtcDate(10) + " --withdraw " + m_dir + "/online/service.der", &rc).find("version 8 installed"),
              std::string::npos);
    const std::string withdrawn = "<withdrawn>" + Sha256Hex(Read(m_dir + "/online/service.der")) + "</withdrawn>";
    StartServer();
    EXPECT_EQ(Client().Get("/healthz")->body, "the catalogue ends on " + UtcDate(10) + ": refresh it (mirq-service refresh)\n");
    const Release before = Current();
    EXPECT_NE(Tool("refresh --store " + Store() + Root() + "--until " + UtcDate(100), &rc).find("catalogue version 9 installed"),
              std::string::npos);
    EXPECT_EQ(Client().Get("/healthz")->status, 200);
    EXPECT_EQ(Current().version, before.version);
    EXPECT_EQ(Current().urls, before.urls);
    EXPECT_EQ(Current().until, UtcDate(100));
    EXPECT_NE(Read(Store() + "/models.xml").find("<until>" + UtcDate(100) + "</until>" + withdrawn), std::string::npos);
    EXPECT_NE(Tool(catalogue + UtcDate(30)).find("version 10 installed"), std::string::npos);
    EXPECT_NE(Read(Store() + "/models.xml").find(withdrawn), std::string::npos);
    // A day already past is taken with a warning (an ended record on purpose), and the health check names it.
    EXPECT_NE(Tool("publish --store " + Store() + Root() + "--phonemode 'Nexus S' --flashtype 2 --file " + m_dir +
                   "/rom.zip --url http://cdn.example/r --until 2001-01-01", &rc).find("warning: 2001-01-01 ended before today"),
              std::string::npos);
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(Client().Get("/healthz")->body, "the release of Nexus S, flash type 2, ends on 2001-01-01: refresh it (mirq-service refresh)\n");
}

TEST_F(Service, SlowClientsAreCutAndOneAddressCannotKeepOthersOut) {
    Publish("1", "rom.zip");
    ServeOptions options;
    options.requestDeadlineMs = 1500;
    options.readTimeoutMs = 1000;
    options.requestsPerConnection = 2;
    StartServer(options);
    // Clients of one address that trickle a request a byte at a time, each in
    // time for the read's own limit: only the request's deadline ends them.
    std::vector<int> slow;
    for (int i = 0; i < 8; ++i) slow.push_back(Connect(m_server->Port(), "127.0.0.2"));
    // Another address holds its whole share silently: one more of it is told to come back later.
    std::vector<int> held;
    for (int i = 0; i < 64; ++i) held.push_back(Connect(m_server->Port(), "127.0.0.3"));
    const std::string beyond = Exchange(Connect(m_server->Port(), "127.0.0.3"), "GET /healthz HTTP/1.1\r\nHost: x\r\n\r\n");
    EXPECT_EQ(beyond.compare(0, 12, "HTTP/1.1 503"), 0) << beyond;
    EXPECT_NE(beyond.find("Retry-After: "), std::string::npos);
    // Of n more connections of an address, how many are turned away, once the
    // threads of its ended ones have given their shares back (tried a while).
    const auto turnedAway = [&](const char* from, int n, int expected, std::vector<int>& open) {
        int refused = 0;
        for (int attempt = 0; attempt < 30; ++attempt) {
            std::vector<int> more;
            for (int i = 0; i < n; ++i) more.push_back(Connect(m_server->Port(), from));
            const auto count = [&more] {
                int told = 0;
                char head[12];
                for (int fd : more) told += recv(fd, head, sizeof(head), MSG_PEEK | MSG_DONTWAIT) > 0;
                return told;
            };
            // The refusals a busy server has yet to send, then a while for any more.
            for (int wait = 0; wait < 60 && count() < expected; ++wait) std::this_thread::sleep_for(std::chrono::milliseconds(50));
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
            refused = count();
            if (refused <= expected || attempt == 29) {
                open.insert(open.end(), more.begin(), more.end());
                break;
            }
            for (int fd : more) close(fd);
        }
        return refused;
    };
    close(held[0]);  // one ends while the others stay: one share back, not all
    held.erase(held.begin());
    EXPECT_EQ(turnedAway("127.0.0.3", 2, 1, held), 1);
    // A connection ends after its queries (2 here, sent at once), as its answers say.
    const std::string health = "GET /healthz HTTP/1.1\r\nHost: x\r\n\r\n";
    const std::string three = Exchange(Connect(m_server->Port(), "127.0.0.4"), health + health + health);
    size_t answers = 0;
    for (size_t at = three.find("HTTP/1.1 200"); at != std::string::npos; at = three.find("HTTP/1.1 200", at + 1)) ++answers;
    EXPECT_EQ(answers, 2u) << three;
    EXPECT_NE(three.find("max=2\r\n"), std::string::npos) << three;
    EXPECT_NE(three.find("Connection: close"), std::string::npos) << three;
    std::atomic<int> cut{0};
    std::thread trickle([&] {
        const std::string request = "POST /ota/ota/geturl.action HTTP/1.1\r\nHost: x\r\nX-Padding: " + std::string(200, 'p');
        for (size_t at = 0; at < request.size() && cut < static_cast<int>(slow.size()); ++at) {
            for (int& fd : slow) {
                if (fd >= 0 && send(fd, &request[at], 1, MSG_NOSIGNAL) != 1) {
                    close(fd);
                    fd = -1;
                    ++cut;
                }
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
    });
    // Meanwhile the clients of a third address, its whole share, are all
    // answered, though the server ends each connection after two queries:
    // a connection it closed no longer counts when its client comes again.
    std::vector<std::thread> clients;
    std::atomic<int> answered{0};
    for (int i = 0; i < 64; ++i)
        clients.emplace_back([&] {
            httplib::Client client = Client();
            client.set_keep_alive(true);
            client.set_read_timeout(60);
            for (int n = 0; n < 5; ++n) {
                const auto r = client.Post("/ota/ota/geturl.action", QueryBody("Nexus S", "1"), "text/xml");
                answered += r && r->status == 200 && r->body.find("<status>ok</status>") != std::string::npos;
            }
        });
    for (std::thread& t : clients) t.join();
    trickle.join();
    for (int fd : held) close(fd);
    EXPECT_EQ(answered, 64 * 5);
    // Cut long before the 25 s their requests would have taken.
    EXPECT_EQ(cut, 8);
    // However its connections ended (cut, closed by either side), each address
    // has its whole share back, once: of 65 more, the server turns away one.
    std::vector<int> open;
    for (const char* from : {"127.0.0.2", "127.0.0.3", "127.0.0.1"}) {
        for (int fd : open) close(fd);
        open.clear();
        EXPECT_EQ(turnedAway(from, 65, 1, open), 1) << from;
    }
    StopServer();  // with 64 connections open: each is ended
    for (int fd : open) close(fd);
    // Neighbours share too: one network (a /24) holds its prefix's share at most, whatever its addresses.
    rlimit files;
    getrlimit(RLIMIT_NOFILE, &files);
    files.rlim_cur = files.rlim_max;  // the crowd below and the server's ends of it, in this one process
    setrlimit(RLIMIT_NOFILE, &files);
    ServeOptions crowded;
    crowded.prefixShare = 100;
    StartServer(crowded);
    for (int i = 0; i < 100; ++i) open.push_back(Connect(m_server->Port(), i < 64 ? "127.20.0.1" : "127.20.0.2"));
    EXPECT_EQ(Exchange(Connect(m_server->Port(), "127.20.0.3"), "").compare(0, 12, "HTTP/1.1 503"), 0);
    for (int fd : open) close(fd);
    open.clear();
    // A crowd of 15 networks, 64 connections each (more than the 900 slots), that send a byte and
    // wait: each newcomer takes the slot of the connection that has waited longest for a whole
    // request head, so every honest query of a 16th network is answered.
    for (int n = 1; n <= 15; ++n)
        for (int i = 0; i < 64; ++i) {
            open.push_back(Connect(m_server->Port(), ("127." + std::to_string(n) + ".0.1").c_str()));
            send(open.back(), "P", 1, MSG_NOSIGNAL);
        }
    int honest = 0;
    const std::string once = "GET /healthz HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n";
    for (int i = 0; i < 20; ++i) honest += Exchange(Connect(m_server->Port(), "127.16.0.1"), once).compare(0, 12, "HTTP/1.1 200") == 0;
    EXPECT_EQ(honest, 20);
    StopServer();
    for (int fd : open) close(fd);
}

TEST_F(Service, BehindTheShippedNginxNoQueryIsLostAndTheNamedFilesAreThere) {
    Publish("1", "rom.zip");
    const std::string cluster = std::string(MIRQ_SERVICE_SOURCE) + "/tests/cluster.sh ";
    int rc = 0;
    const std::string started = Shell(cluster + "start " + m_dir + " " + Store() + " " + m_dir + "/online/service.pem " +
                                      Cert() + " 18280 " + MIRQ_SERVICE_EXE + " " + m_dir + "/keys/service.der", &rc);
    ASSERT_EQ(rc, 0) << started;
    httplib::Client nginx("127.0.0.1", 18280);
    nginx.set_read_timeout(30);  // longer than nginx waits for a stuck process before it asks the next
    const auto ask = [&] {
        const auto r = nginx.Post("/ota/ota/geturl.action", QueryBody("Nexus S", "1"), "text/xml");
        return r && r->status == 200 && OpensslVerifies(m_dir, r->body, "online");
    };
    EXPECT_TRUE(ask());
    // One serve process stops answering after it took the query: every query
    // still gets its answer, from the other.
    Shell("kill -STOP $(cat " + m_dir + "/serve-1.pid)");
    int answered = 0;
    for (int i = 0; i < 6; ++i) answered += ask();
    EXPECT_EQ(answered, 6);
    Shell("kill -CONT $(cat " + m_dir + "/serve-1.pid)");
    // nginx takes it back once its failure has timed out (fail_timeout): its log shows a query again.
    // (The query it held when stopped is logged as soon as it runs: counted from after that.)
    const std::string log1 = m_dir + "/serve-1.log";
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const size_t logged = Read(log1).size();
    for (int i = 0; i < 300 && Read(log1).size() == logged; ++i) {
        ask();
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    // The address an answer names is the front's, and the file is there.
    const std::string body = nginx.Post("/ota/ota/geturl.action", QueryBody("Nexus S", "1"), "text/xml")->body;
    const size_t url = body.find("<flashurl>http://127.0.0.1:18280/") + 32, end = body.find("</flashurl>");
    ASSERT_LT(url, end) << body;
    const auto named = nginx.Get(body.substr(url, end - url).c_str());
    ASSERT_TRUE(named);
    EXPECT_TRUE(named->body == Read(m_dir + "/rom.zip"));
    // A process killed under load: the queries it held go to the other, none is lost.
    std::atomic<int> ok{0}, asked{0}, lost{0};
    std::vector<std::thread> load;
    for (int t = 0; t < 32; ++t)
        load.emplace_back([&] {
            httplib::Client client("127.0.0.1", 18280);
            client.set_read_timeout(30);
            for (int i = 0; i < 20; ++i, ++asked) {
                const auto r = client.Post("/ota/ota/geturl.action", QueryBody("Nexus S", "1"), "text/xml");
                const bool answered = r && r->status == 200 && r->body.find("<status>ok</status>") != std::string::npos;
                ok += answered;
                if (!answered) lost = r ? r->status : -1;
            }
        });
    while (asked < 100) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    Shell("kill -KILL $(cat " + m_dir + "/serve-2.pid)");
    for (std::thread& t : load) t.join();
    EXPECT_EQ(ok, 640) << "a lost query's status: " << lost << "\n" << Shell("tail -n 3 " + m_dir + "/logs/mirq-error.log");
    // nginx serves the file itself and resumes it by its own validator.
    const Release rom = Current();
    const auto whole = nginx.Get(("/files/" + rom.file).c_str());
    ASSERT_TRUE(whole);
    const std::string etag = whole->get_header_value("ETag");
    const auto rest = nginx.Get(("/files/" + rom.file).c_str(), {{"Range", "bytes=1000-"}, {"If-Range", etag}});
    ASSERT_TRUE(rest);
    EXPECT_EQ(rest->status, 206);
    EXPECT_TRUE(rest->body == Read(m_dir + "/rom.zip").substr(1000));
    EXPECT_EQ(nginx.Get("/releases/")->status, 404);  // nothing of the store but its files
    Shell("kill -KILL $(cat " + m_dir + "/serve-1.pid)");
    Shell(cluster + "stop " + m_dir);
}
