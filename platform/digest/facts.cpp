// The facts of a fingerprint compared and shown: which changed between a record and a file,
// their written names, and their text (a mode, an owner, file capabilities, an ACL).
#include <sys/capability.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "platform/digest/fingerprint.h"
#include "platform/digest/md5.h"

namespace norv::platform {
namespace {

uint32_t LittleEndian32(std::string_view bytes, size_t at) {
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data() + at);
    return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

uint16_t LittleEndian16(std::string_view bytes, size_t at) {
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data() + at);
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}

// The shown form of a value a record keeps only as its digest: the mark and 64 hexadecimal
// characters, which no value the kernel keeps looks like.
std::optional<std::string> ShownDigested(std::string_view raw) {
    if (raw.size() != 65 || raw[0] != kDigestedXattrMark) return std::nullopt;
    for (char c : raw.substr(1)) {
        if (!std::isxdigit(static_cast<unsigned char>(c))) return std::nullopt;
    }
    return "sha256:" + std::string(raw.substr(1));
}

std::string TypeName(EntryKind kind) {
    switch (kind) {
        case EntryKind::kRegular:
            return "file";
        case EntryKind::kSymlink:
            return "link";
        case EntryKind::kDirectory:
            return "folder";
        case EntryKind::kMissing:
            return "none";
        case EntryKind::kOther:
            break;
    }
    return "other";
}

struct CapFree {
    void operator()(cap_t caps) const { cap_free(caps); }
};

}  // namespace

std::vector<FactChange> CompareFacts(const std::optional<Md5Digest>& recorded_md5,
                                     const std::optional<ExtendedFacts>& recorded,
                                     const std::optional<Md5Digest>& md5,
                                     const ExtendedFacts& now) {
    std::vector<FactChange> changes;
    // A digest sampled on one side only is no evidence either way.
    auto sampled = [](const auto& digest) {
        if constexpr (requires { digest.has_value(); }) {
            return digest && digest->sampled();
        } else {
            return digest.sampled();
        }
    };
    auto differ = [&](const auto& a, const auto& b) { return a != b && sampled(a) == sampled(b); };
    const Sha256Digest recorded_sha256 = recorded ? recorded->sha256 : Sha256Digest();
    const Sha256Digest& now_sha256 = now.sha256;
    const bool both_sha256 = recorded_sha256.measured() && now_sha256.measured();
    if (differ(recorded_md5, md5) || (both_sha256 && differ(recorded_sha256, now_sha256))) {
        // Both sides shown with the same digest.
        auto content = [&](const std::optional<Md5Digest>& digest_md5, const Sha256Digest& sha256) {
            return both_sha256 ? "sha256:" + sha256.text() : "md5:" + OptionalMd5Text(digest_md5);
        };
        changes.push_back(
            {Fact::kContent, content(recorded_md5, recorded_sha256), content(md5, now_sha256)});
    }
    if (!recorded) return changes;
    // The values are compared as kept (a digested ACL with a digested one) and shown only when
    // they differ: most files differ in nothing.
    auto differs = [](const auto& was, const auto& found) { return was != found; };
    auto differs_read = [](const std::optional<std::string>& was,
                           const std::optional<std::string>& found) {
        return was && found && *was != *found;  // not read on a side: compared with nothing
    };
    const bool changed[] = {
        differs(recorded->type, now.type),
        differs(recorded->mode, now.mode),
        differs(recorded->owner, now.owner),
        differs(recorded->group, now.group),
        differs_read(recorded->capabilities, now.capabilities),
        differs_read(recorded->acl, now.acl),
        differs_read(recorded->xattrs, now.xattrs),
        recorded->inode_flags && now.inode_flags && *recorded->inode_flags != *now.inode_flags};
    constexpr Fact facts[] = {Fact::kType,         Fact::kMode, Fact::kOwner,  Fact::kGroup,
                              Fact::kCapabilities, Fact::kAcl,  Fact::kXattrs, Fact::kInodeFlags};
    for (size_t i = 0; i < std::size(facts); ++i) {
        if (!changed[i]) continue;
        changes.push_back({facts[i], ShownFact(facts[i], OptionalMd5Text(recorded_md5), *recorded),
                           ShownFact(facts[i], OptionalMd5Text(md5), now)});
    }
    return changes;
}

std::string_view FactName(Fact fact) {
    switch (fact) {
        case Fact::kContent:
            return "content";
        case Fact::kSize:
            return "size";
        case Fact::kTime:
            return "time";
        case Fact::kType:
            return "type";
        case Fact::kMode:
            return "mode";
        case Fact::kOwner:
            return "owner";
        case Fact::kGroup:
            return "group";
        case Fact::kCapabilities:
            return "capabilities";
        case Fact::kAcl:
            return "acl";
        case Fact::kXattrs:
            return "xattrs";
        case Fact::kInodeFlags:
            return "flags";
    }
    return "";
}

std::optional<std::string> ShownFact(Fact fact, std::string_view md5, const ExtendedFacts& facts) {
    switch (fact) {
        case Fact::kContent:
            if (facts.sha256.measured()) return "sha256:" + facts.sha256.text();
            return "md5:" + std::string(md5);
        case Fact::kType:
            return TypeName(facts.type);
        case Fact::kMode: {
            char octal[8];
            std::snprintf(octal, sizeof octal, "%04o", facts.mode & 07777u);
            return std::string(octal);
        }
        case Fact::kOwner:
            return std::to_string(facts.owner);
        case Fact::kGroup:
            return std::to_string(facts.group);
        case Fact::kCapabilities:
            if (!facts.capabilities) return std::nullopt;
            return ShownCapabilities(*facts.capabilities);
        case Fact::kAcl:
            if (!facts.acl) return std::nullopt;
            return ShownAcl(*facts.acl);
        case Fact::kXattrs:
            if (!facts.xattrs) return std::nullopt;
            return ShownXattrs(*facts.xattrs);
        case Fact::kInodeFlags:
            if (!facts.inode_flags) return std::nullopt;
            return ShownInodeFlags(*facts.inode_flags);
        case Fact::kSize:
        case Fact::kTime:
            return std::nullopt;
    }
    return std::nullopt;
}

std::string ShownCapabilities(std::string_view raw) {
    if (raw.empty()) return "";
    if (auto digested = ShownDigested(raw)) return *digested;
    // struct vfs_cap_data: a revision with the effective flag, then permitted and inheritable
    // 32 bits at a time, and from revision 3 the owner of the namespace they apply in.
    if (raw.size() < 4) return "raw:" + HexOf(raw);
    const uint32_t magic = LittleEndian32(raw, 0);
    const uint32_t revision = magic & VFS_CAP_REVISION_MASK;
    const size_t words = revision == VFS_CAP_REVISION_1 ? 1 : 2;
    const size_t size = revision == VFS_CAP_REVISION_1   ? XATTR_CAPS_SZ_1
                        : revision == VFS_CAP_REVISION_2 ? XATTR_CAPS_SZ_2
                        : revision == VFS_CAP_REVISION_3 ? XATTR_CAPS_SZ_3
                                                         : 0;
    if (size == 0 || raw.size() != size) return "raw:" + HexOf(raw);
    uint64_t permitted = 0, inheritable = 0;
    for (size_t i = 0; i < words; ++i) {
        permitted |= static_cast<uint64_t>(LittleEndian32(raw, 4 + 8 * i)) << (32 * i);
        inheritable |= static_cast<uint64_t>(LittleEndian32(raw, 8 + 8 * i)) << (32 * i);
    }
    const bool effective = (magic & VFS_CAP_FLAGS_EFFECTIVE) != 0;
    std::unique_ptr<_cap_struct, CapFree> caps(cap_init());
    if (!caps) return "raw:" + HexOf(raw);
    for (cap_value_t bit = 0; bit < 64; ++bit) {
        const uint64_t mask = uint64_t{1} << bit;
        if ((permitted & mask) == 0 && (inheritable & mask) == 0) continue;
        bool set = true;
        if (permitted & mask)
            set = set && cap_set_flag(caps.get(), CAP_PERMITTED, 1, &bit, CAP_SET) == 0;
        if (inheritable & mask)
            set = set && cap_set_flag(caps.get(), CAP_INHERITABLE, 1, &bit, CAP_SET) == 0;
        if (effective) set = set && cap_set_flag(caps.get(), CAP_EFFECTIVE, 1, &bit, CAP_SET) == 0;
        if (!set) return "raw:" + HexOf(raw);  // a capability this libcap does not know
    }
    char* text = cap_to_text(caps.get(), nullptr);
    if (!text) return "raw:" + HexOf(raw);
    std::string shown = text;
    cap_free(text);
    if (revision == VFS_CAP_REVISION_3)
        shown += " rootid=" + std::to_string(LittleEndian32(raw, 20));
    return shown;
}

std::string ShownAcl(std::string_view raw) {
    if (raw.empty()) return "";
    if (auto digested = ShownDigested(raw)) return *digested;
    // The kernel's form: a version (2), then 8 bytes per entry: tag, permissions, id.
    if (raw.size() < 4 || (raw.size() - 4) % 8 != 0 || LittleEndian32(raw, 0) != 2) {
        return "raw:" + HexOf(raw);
    }
    std::string shown;
    for (size_t at = 4; at < raw.size(); at += 8) {
        const uint16_t tag = LittleEndian16(raw, at);
        const uint16_t perm = LittleEndian16(raw, at + 2);
        const uint32_t id = LittleEndian32(raw, at + 4);
        std::string entry;
        switch (tag) {
            case 0x01:
                entry = "user::";
                break;
            case 0x02:
                entry = "user:" + std::to_string(id) + ":";
                break;
            case 0x04:
                entry = "group::";
                break;
            case 0x08:
                entry = "group:" + std::to_string(id) + ":";
                break;
            case 0x10:
                entry = "mask::";
                break;
            case 0x20:
                entry = "other::";
                break;
            default:
                return "raw:" + HexOf(raw);
        }
        entry += (perm & 4) ? 'r' : '-';
        entry += (perm & 2) ? 'w' : '-';
        entry += (perm & 1) ? 'x' : '-';
        if (!shown.empty()) shown += ',';
        shown += entry;
    }
    return shown;
}

std::optional<std::vector<std::pair<std::string, std::string>>> DecodedXattrs(
    std::string_view encoded) {
    std::vector<std::pair<std::string, std::string>> attributes;
    if (!encoded.empty() && encoded[0] == kDigestedXattrMark) return std::nullopt;
    for (size_t at = 0; at < encoded.size();) {
        const size_t end = encoded.find('\0', at);
        if (end == std::string_view::npos || end == at || encoded.size() - end - 1 < 4)
            return std::nullopt;
        const uint32_t length = LittleEndian32(encoded, end + 1);
        const size_t value_at = end + 5;
        if (encoded.size() - value_at < length) return std::nullopt;
        attributes.emplace_back(std::string(encoded.substr(at, end - at)),
                                std::string(encoded.substr(value_at, length)));
        at = value_at + length;
    }
    return attributes;
}

std::string ShownXattrs(std::string_view encoded) {
    if (encoded.empty()) return "";
    if (auto digested = ShownDigested(encoded)) return *digested;
    auto attributes = DecodedXattrs(encoded);
    if (!attributes) return "raw:" + HexOf(encoded);
    std::string shown;
    for (const auto& [name, value] : *attributes) {
        // A label is text ending in a NUL; anything else, or a value with separators in it,
        // is shown in hexadecimal so that no value can pass for another attribute.
        std::string_view text = value;
        if (!text.empty() && text.back() == '\0') text.remove_suffix(1);
        const bool plain = std::all_of(text.begin(), text.end(), [](char c) {
            return c >= 0x21 && c <= 0x7e && c != ',' && c != '=';
        });
        if (!shown.empty()) shown += ',';
        shown += name + "=" + (plain ? std::string(text) : "0x" + HexOf(value));
    }
    return shown;
}

std::string ShownInodeFlags(uint32_t flags) {
    // chattr's letters, in lsattr's order.
    static constexpr struct {
        uint32_t flag;
        char letter;
    } kLetters[] = {{0x1, 's'},      {0x2, 'u'},       {0x8, 'S'},        {0x10000, 'D'},
                    {0x10, 'i'},     {0x20, 'a'},      {0x40, 'd'},       {0x80, 'A'},
                    {0x4, 'c'},      {0x4000, 'j'},    {0x8000, 't'},     {0x20000, 'T'},
                    {0x800000, 'C'}, {0x2000000, 'x'}, {0x20000000, 'P'}, {0x40000000, 'F'}};
    std::string shown;
    for (const auto& letter : kLetters) {
        if (flags & letter.flag) shown += letter.letter;
    }
    return shown;
}

}  // namespace norv::platform
