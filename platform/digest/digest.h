// A content digest as norv keeps it: measured (lower-case hexadecimal, or a sampled digest), or
// not measured (a file that could not be read, a read cut short, a SHA-256 not taken). Not
// measured is a state of the value, never a digest: it equals no measured digest.
//
// Where a digest is written (database rows, the log, the events, the index lines, the mail) it
// is text(): its hexadecimal, or for one not measured what the stored form has always held
// there, 32 blanks for an MD5 and "" for a SHA-256. FromText reads that form back, so text and
// FromText round-trip every stored string byte for byte.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>

namespace norv::platform {

inline constexpr std::string_view kUnreadableDigest = "                                ";

// A sampled digest begins with this mark (see IsSampledDigest).
inline constexpr char kSampledDigestMark = '~';

enum class DigestAlgorithm { kMd5, kSha256 };

template <DigestAlgorithm kAlgorithm>
class ContentHash {
  public:
    ContentHash() = default;  // not measured
    explicit ContentHash(std::string hex) : hex_(std::move(hex)) {}

    // What a stored text stands for: the not-measured text, or a digest.
    static ContentHash FromText(std::string_view text) {
        if (text == NotMeasuredText()) return ContentHash();
        return ContentHash(std::string(text));
    }
    static constexpr std::string_view NotMeasuredText() {
        return kAlgorithm == DigestAlgorithm::kMd5 ? kUnreadableDigest : std::string_view();
    }

    bool measured() const { return hex_.has_value(); }
    // The digest itself (measured() only).
    const std::string& hex() const { return *hex_; }
    // A sampled digest, of part of the content only.
    bool sampled() const { return hex_ && !hex_->empty() && hex_->front() == kSampledDigestMark; }
    // As written where it is kept or shown.
    std::string text() const { return hex_ ? *hex_ : std::string(NotMeasuredText()); }

    bool operator==(const ContentHash&) const = default;

  private:
    std::optional<std::string> hex_;
};

using Md5Digest = ContentHash<DigestAlgorithm::kMd5>;
using Sha256Digest = ContentHash<DigestAlgorithm::kSha256>;

// The MD5 on one side of a change, or none where no digest was taken: no file on that side, or
// one that kept changing while it was read (a file that could not be read has one, not
// measured). Where it is written, none is "" and a digest its text(); the two below
// round-trip every stored string as text and FromText do.
inline std::string OptionalMd5Text(const std::optional<Md5Digest>& digest) {
    return digest ? digest->text() : std::string();
}
inline std::optional<Md5Digest> OptionalMd5FromText(std::string_view text) {
    if (text.empty()) return std::nullopt;
    return Md5Digest::FromText(text);
}

}  // namespace norv::platform
