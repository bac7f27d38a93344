// AWS Signature Version 4 of S3 requests, and the percent-encoding of their names.
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace qe {

using Pairs = std::vector<std::pair<std::string, std::string>>;

struct Credentials {
    std::string access_key;  // empty: requests go unsigned
    std::string secret_key;
    std::string session_token;
};

// Percent-encoding as S3 wants it: every byte but A-Z a-z 0-9 - . _ ~ (and "/" when
// keep_slash) becomes %XX.
std::string uri_encode(std::string_view text, bool keep_slash);

// The query string of ``query`` (raw names and values), encoded and sorted: both the one
// sent and the canonical one.
std::string canonical_query(const Pairs& query);

// The value of the Authorization header.  ``headers`` are every header sent but
// Authorization and User-Agent (names in any case; host, x-amz-date and
// x-amz-content-sha256 among them), ``canonical_uri`` the encoded path as sent,
// ``amz_date`` "YYYYMMDDTHHMMSSZ".
std::string authorization(std::string_view method, std::string_view canonical_uri,
                          std::string_view query, const Pairs& headers,
                          std::string_view payload_hash, std::string_view amz_date,
                          std::string_view region, const Credentials& credentials);

// The current UTC time as "YYYYMMDDTHHMMSSZ".
std::string amz_date_now();

// The SHA-256 of an empty body, in hex.
inline constexpr std::string_view empty_sha256 =
    "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";

}  // namespace qe
