// Digests through OpenSSL's libcrypto: SHA-256 (request signing, payload checks), MD5
// (ETags), HMAC-SHA256 (signing keys), and their hex and base64 spellings.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

struct evp_md_ctx_st;

namespace qe {

std::string hex(const unsigned char* data, std::size_t size);
std::string base64(const unsigned char* data, std::size_t size);

// An incremental digest of one algorithm; throws std::runtime_error when libcrypto fails.
class Digest {
public:
    enum class Kind : std::uint8_t { sha256, md5 };
    explicit Digest(Kind kind);
    Digest(const Digest&) = delete;
    Digest& operator=(const Digest&) = delete;
    Digest(Digest&& other) noexcept;
    Digest& operator=(Digest&&) = delete;
    ~Digest();

    void update(const void* data, std::size_t size);
    // The digest of everything given so far; the object starts again empty.
    std::string finish_hex();
    std::string finish_raw();

private:
    Kind kind_;
    evp_md_ctx_st* ctx_;
    void start();
};

std::string sha256_hex(std::string_view data);
std::array<unsigned char, 32> hmac_sha256(std::string_view key, std::string_view data);

}  // namespace qe
