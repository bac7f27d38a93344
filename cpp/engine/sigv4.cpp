#include "engine/sigv4.hpp"

#include <algorithm>
#include <cctype>
#include <ctime>

#include "engine/digest.hpp"

namespace qe {

namespace {

bool unreserved(unsigned char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
           c == '.' || c == '_' || c == '~';
}

std::string lower(std::string_view text) {
    std::string out(text);
    std::transform(out.begin(), out.end(), out.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return out;
}

// A header value as it is signed: blanks around it removed, runs of blanks made one.
std::string trimmed(std::string_view value) {
    std::string out;
    out.reserve(value.size());
    bool blank = false;
    for (const char c : value) {
        if (c == ' ' || c == '\t') {
            blank = true;
            continue;
        }
        if (blank && !out.empty()) out.push_back(' ');
        blank = false;
        out.push_back(c);
    }
    return out;
}

std::string as_text(const std::array<unsigned char, 32>& raw) {
    return {reinterpret_cast<const char*>(raw.data()), raw.size()};
}

}  // namespace

std::string uri_encode(std::string_view text, bool keep_slash) {
    static constexpr char digits[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(text.size() + text.size() / 2);
    for (const char ch : text) {
        const auto c = static_cast<unsigned char>(ch);
        if (unreserved(c) || (keep_slash && c == '/')) {
            out.push_back(ch);
        } else {
            out.push_back('%');
            out.push_back(digits[c >> 4U]);
            out.push_back(digits[c & 0x0FU]);
        }
    }
    return out;
}

std::string canonical_query(const Pairs& query) {
    Pairs encoded;
    encoded.reserve(query.size());
    for (const auto& [name, value] : query) {
        encoded.emplace_back(uri_encode(name, false), uri_encode(value, false));
    }
    std::sort(encoded.begin(), encoded.end());
    std::string out;
    for (const auto& [name, value] : encoded) {
        if (!out.empty()) out.push_back('&');
        out += name;
        out.push_back('=');
        out += value;
    }
    return out;
}

std::string authorization(std::string_view method, std::string_view canonical_uri,
                          std::string_view query, const Pairs& headers,
                          std::string_view payload_hash, std::string_view amz_date,
                          std::string_view region, const Credentials& credentials) {
    Pairs signed_headers;
    signed_headers.reserve(headers.size());
    for (const auto& [name, value] : headers) {
        std::string key = lower(name);
        if (key == "authorization" || key == "user-agent") continue;
        signed_headers.emplace_back(std::move(key), trimmed(value));
    }
    std::sort(signed_headers.begin(), signed_headers.end());
    std::string names;
    std::string canonical;
    canonical.reserve(512);
    canonical.append(method).append("\n");
    canonical.append(canonical_uri.empty() ? "/" : canonical_uri).append("\n");
    canonical.append(query).append("\n");
    for (const auto& [name, value] : signed_headers) {
        canonical.append(name).append(":").append(value).append("\n");
        if (!names.empty()) names.push_back(';');
        names += name;
    }
    canonical.append("\n").append(names).append("\n").append(payload_hash);

    const std::string_view day = amz_date.substr(0, 8);
    std::string scope;
    scope.append(day).append("/").append(region).append("/s3/aws4_request");
    std::string to_sign = "AWS4-HMAC-SHA256\n";
    to_sign.append(amz_date).append("\n").append(scope).append("\n");
    to_sign += sha256_hex(canonical);

    std::string key = as_text(hmac_sha256("AWS4" + credentials.secret_key, day));
    key = as_text(hmac_sha256(key, region));
    key = as_text(hmac_sha256(key, "s3"));
    key = as_text(hmac_sha256(key, "aws4_request"));
    const auto signature = hmac_sha256(key, to_sign);

    std::string out = "AWS4-HMAC-SHA256 Credential=";
    out.append(credentials.access_key).append("/").append(scope);
    out.append(", SignedHeaders=").append(names).append(", Signature=");
    out += hex(signature.data(), signature.size());
    return out;
}

std::string amz_date_now() {
    const std::time_t now = std::time(nullptr);
    std::tm utc{};
    gmtime_r(&now, &utc);
    char text[20];
    const std::size_t size = std::strftime(text, sizeof text, "%Y%m%dT%H%M%SZ", &utc);
    return {text, size};
}

}  // namespace qe
