#include "Crypto.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <vector>

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

namespace mirqsvc {

namespace {

std::string Hex(const unsigned char* bytes, size_t n) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (size_t i = 0; i < n; ++i) {
        out += digits[bytes[i] >> 4];
        out += digits[bytes[i] & 15];
    }
    return out;
}

struct CMdContext {
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    ~CMdContext() { EVP_MD_CTX_free(ctx); }
    std::string HexFinal() {
        unsigned char md[EVP_MAX_MD_SIZE];
        unsigned int n = 0;
        return EVP_DigestFinal_ex(ctx, md, &n) == 1 ? Hex(md, n) : std::string();
    }
};

bool WriteAll(int fd, const char* data, size_t size) {
    while (size > 0) {
        const ssize_t n = write(fd, data, size);
        if (n <= 0) return false;
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

}  // namespace

bool CSigningKey::Load(const std::string& pemPath, std::string& why) {
    FILE* file = fopen(pemPath.c_str(), "rb");
    if (!file) {
        why = "cannot read the key " + pemPath;
        return false;
    }
    struct stat st;
    if (fstat(fileno(file), &st) != 0 || (st.st_mode & 077) != 0) {
        fclose(file);
        why = pemPath + " can be read by others than its owner: chmod 600 " + pemPath + " (and take a new key if others read it)";
        return false;
    }
    EVP_PKEY* key = PEM_read_PrivateKey(file, nullptr, nullptr, nullptr);
    fclose(file);
    if (!key) {
        why = pemPath + " holds no private key in PEM form";
        return false;
    }
    m_key.reset(key, EVP_PKEY_free);
    if (EVP_PKEY_get_base_id(key) != EVP_PKEY_RSA || EVP_PKEY_get_bits(key) < 2048) {
        m_key.reset();
        why = pemPath + " is not an RSA key of 2048 bits or more";
        return false;
    }
    return true;
}

std::string CSigningKey::Sign(const std::string& data) const {
    CMdContext md;
    size_t size = 0;
    if (!m_key || EVP_DigestSignInit(md.ctx, nullptr, EVP_sha256(), nullptr, m_key.get()) != 1 ||
        EVP_DigestSign(md.ctx, nullptr, &size, reinterpret_cast<const unsigned char*>(data.data()), data.size()) != 1)
        return std::string();
    std::vector<unsigned char> signature(size);
    if (EVP_DigestSign(md.ctx, signature.data(), &size, reinterpret_cast<const unsigned char*>(data.data()),
                       data.size()) != 1)
        return std::string();
    return Base64(std::string(reinterpret_cast<const char*>(signature.data()), size));
}

std::string Base64(const std::string& bytes) {
    std::string text(4 * ((bytes.size() + 2) / 3) + 1, '\0');
    text.resize(EVP_EncodeBlock(reinterpret_cast<unsigned char*>(&text[0]),
                                reinterpret_cast<const unsigned char*>(bytes.data()), static_cast<int>(bytes.size())));
    return text;
}

std::string Unbase64(const std::string& text) {
    if (text.empty() || text.size() % 4 != 0) return std::string();
    std::string bytes(text.size() / 4 * 3, '\0');
    const int n = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(&bytes[0]),
                                  reinterpret_cast<const unsigned char*>(text.data()), static_cast<int>(text.size()));
    if (n < 0) return std::string();
    // EVP_DecodeBlock counts the padding's bytes too.
    const size_t pad = text[text.size() - 1] == '=' ? (text[text.size() - 2] == '=' ? 2 : 1) : 0;
    bytes.resize(static_cast<size_t>(n) - pad);
    return bytes;
}

bool IsRsaPublicDer(const std::string& der) {
    const unsigned char* at = reinterpret_cast<const unsigned char*>(der.data());
    EVP_PKEY* key = d2i_PUBKEY(nullptr, &at, static_cast<long>(der.size()));
    const bool ok = key && at == reinterpret_cast<const unsigned char*>(der.data()) + der.size() &&
                    EVP_PKEY_get_base_id(key) == EVP_PKEY_RSA && EVP_PKEY_get_bits(key) >= 2048;
    EVP_PKEY_free(key);
    return ok;
}

bool VerifiesUnder(const std::string& publicDer, const std::string& data, const std::string& signature) {
    if (!IsRsaPublicDer(publicDer)) return false;
    const unsigned char* at = reinterpret_cast<const unsigned char*>(publicDer.data());
    std::shared_ptr<EVP_PKEY> key(d2i_PUBKEY(nullptr, &at, static_cast<long>(publicDer.size())), EVP_PKEY_free);
    CMdContext md;
    return key && EVP_DigestVerifyInit(md.ctx, nullptr, EVP_sha256(), nullptr, key.get()) == 1 &&
           EVP_DigestVerify(md.ctx, reinterpret_cast<const unsigned char*>(signature.data()), signature.size(),
                            reinterpret_cast<const unsigned char*>(data.data()), data.size()) == 1;
}

std::string CSigningKey::PublicDer() const {
    unsigned char* der = nullptr;
    const int n = m_key ? i2d_PUBKEY(m_key.get(), &der) : -1;
    if (n <= 0) return std::string();
    std::string bytes(reinterpret_cast<char*>(der), n);
    OPENSSL_free(der);
    return bytes;
}

int CSigningKey::Bits() const { return m_key ? EVP_PKEY_get_bits(m_key.get()) : 0; }

bool GenerateKey(const std::string& dir, std::string& why, int bits) {
    const std::string pem = dir + "/service.pem", der = dir + "/service.der";
    for (size_t slash = dir.find('/', 1); slash != std::string::npos; slash = dir.find('/', slash + 1))
        mkdir(dir.substr(0, slash).c_str(), 0755);
    mkdir(dir.c_str(), 0700);
    EVP_PKEY* made = EVP_RSA_gen(bits);
    if (!made) {
        why = "the key could not be made";
        return false;
    }
    std::shared_ptr<EVP_PKEY> key(made, EVP_PKEY_free);
    // O_EXCL: a key that exists stays as it is.
    const int fd = open(pem.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) {
        why = (errno == EEXIST ? pem + " exists: a key the releases trust is never replaced"
                               : "cannot create " + pem);
        return false;
    }
    FILE* file = fdopen(fd, "wb");
    const bool written = file && PEM_write_PrivateKey(file, key.get(), nullptr, nullptr, 0, nullptr, nullptr) == 1;
    const bool closed = file ? fclose(file) == 0 : close(fd) == 0;
    if (!written || !closed) {
        unlink(pem.c_str());
        why = "cannot write " + pem;
        return false;
    }
    unsigned char* bytes = nullptr;
    const int n = i2d_PUBKEY(key.get(), &bytes);
    const int out = n > 0 ? open(der.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644) : -1;
    const bool ok = out >= 0 && WriteAll(out, reinterpret_cast<char*>(bytes), n);
    OPENSSL_free(bytes);
    if (out < 0 || close(out) != 0 || !ok) {
        why = "cannot write " + der;
        return false;
    }
    return true;
}

bool DigestFile(const std::string& path, FileDigests& out, const std::string& copyTo, long long pieceSize) {
    const int in = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (in < 0) return false;
    const int copy = copyTo.empty() ? -1 : open(copyTo.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (copy >= 0) fchmod(copy, 0644);  // served by another user, whatever the umask
    CMdContext sha, md5, piece;
    bool ok = (copyTo.empty() || copy >= 0) && EVP_DigestInit_ex(sha.ctx, EVP_sha256(), nullptr) == 1 &&
              EVP_DigestInit_ex(md5.ctx, EVP_md5(), nullptr) == 1 && EVP_DigestInit_ex(piece.ctx, EVP_sha256(), nullptr) == 1;
    std::vector<char> buffer(1 << 20);
    out = FileDigests();
    long long inPiece = 0;  // bytes of the current piece hashed so far
    for (ssize_t n; ok && (n = read(in, buffer.data(), buffer.size())) != 0;) {
        ok = n > 0 && EVP_DigestUpdate(sha.ctx, buffer.data(), n) == 1 && EVP_DigestUpdate(md5.ctx, buffer.data(), n) == 1 &&
             (copy < 0 || WriteAll(copy, buffer.data(), n));
        for (ssize_t at = 0; ok && pieceSize > 0 && at < n;) {
            const ssize_t take = static_cast<ssize_t>(std::min<long long>(n - at, pieceSize - inPiece));
            ok = EVP_DigestUpdate(piece.ctx, buffer.data() + at, take) == 1;
            at += take;
            if ((inPiece += take) == pieceSize) {
                out.pieces.push_back(piece.HexFinal());
                ok = ok && EVP_DigestInit_ex(piece.ctx, EVP_sha256(), nullptr) == 1;
                inPiece = 0;
            }
        }
        out.size += n;
    }
    if (inPiece > 0) out.pieces.push_back(piece.HexFinal());  // the last piece, short
    close(in);
    if (copy >= 0) ok = fsync(copy) == 0 && close(copy) == 0 && ok;
    out.sha256 = sha.HexFinal();
    out.md5 = md5.HexFinal();
    return ok && !out.sha256.empty();
}

std::string Sha256Hex(const std::string& data) {
    CMdContext sha;
    EVP_DigestInit_ex(sha.ctx, EVP_sha256(), nullptr);
    EVP_DigestUpdate(sha.ctx, data.data(), data.size());
    return sha.HexFinal();
}

}  // namespace mirqsvc
