#include "engine/digest.hpp"

#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <stdexcept>
#include <utility>

namespace qe {

std::string hex(const unsigned char* data, std::size_t size) {
    static constexpr char digits[] = "0123456789abcdef";
    std::string out(size * 2, '0');
    for (std::size_t i = 0; i < size; ++i) {
        out[2 * i] = digits[data[i] >> 4U];
        out[2 * i + 1] = digits[data[i] & 0x0FU];
    }
    return out;
}

std::string base64(const unsigned char* data, std::size_t size) {
    std::string out(4 * ((size + 2) / 3), '\0');
    const int written =
        EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()), data, static_cast<int>(size));
    out.resize(static_cast<std::size_t>(written));
    return out;
}

Digest::Digest(Kind kind) : kind_(kind), ctx_(EVP_MD_CTX_new()) {
    if (ctx_ == nullptr) throw std::runtime_error("libcrypto: out of memory");
    start();
}

Digest::Digest(Digest&& other) noexcept
    : kind_(other.kind_), ctx_(std::exchange(other.ctx_, nullptr)) {}

Digest::~Digest() { EVP_MD_CTX_free(ctx_); }

void Digest::start() {
    const EVP_MD* md = kind_ == Kind::sha256 ? EVP_sha256() : EVP_md5();
    if (EVP_DigestInit_ex(ctx_, md, nullptr) != 1) {
        throw std::runtime_error("libcrypto: digest initialisation failed");
    }
}

void Digest::update(const void* data, std::size_t size) {
    if (size != 0 && EVP_DigestUpdate(ctx_, data, size) != 1) {
        throw std::runtime_error("libcrypto: digest update failed");
    }
}

std::string Digest::finish_raw() {
    std::string out(EVP_MAX_MD_SIZE, '\0');
    unsigned int size = 0;
    if (EVP_DigestFinal_ex(ctx_, reinterpret_cast<unsigned char*>(out.data()), &size) != 1) {
        throw std::runtime_error("libcrypto: digest finalisation failed");
    }
    out.resize(size);
    start();
    return out;
}

std::string Digest::finish_hex() {
    const std::string raw = finish_raw();
    return hex(reinterpret_cast<const unsigned char*>(raw.data()), raw.size());
}

std::string sha256_hex(std::string_view data) {
    Digest digest(Digest::Kind::sha256);
    digest.update(data.data(), data.size());
    return digest.finish_hex();
}

std::array<unsigned char, 32> hmac_sha256(std::string_view key, std::string_view data) {
    std::array<unsigned char, 32> out{};
    unsigned int size = 0;
    if (HMAC(EVP_sha256(), key.data(), static_cast<int>(key.size()),
             reinterpret_cast<const unsigned char*>(data.data()), data.size(), out.data(),
             &size) == nullptr ||
        size != out.size()) {
        throw std::runtime_error("libcrypto: HMAC failed");
    }
    return out;
}

}  // namespace qe
