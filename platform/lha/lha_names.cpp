#include <algorithm>
#include <climits>

#include "platform/fs/file_system.h"
#include "platform/lha/lha_archive.h"
#include "platform/lha/lha_internal.h"
#include "platform/text/charset.h"

namespace norv::platform::lha {

// A name as the archive stores it. Readers take stored names for UTF-8 text, so each byte of a
// name that is not (names are bytes to the file system) is stored as the private-use character
// U+F700 + byte. So is "|", which separates a link's name from its target: a name holding one
// could otherwise pass for another file's link. So, byte by byte, is a character of that escape
// range itself, so that no two names are ever stored alike (a planted "caf\uF7E9" would
// otherwise be stored as "caf\xE9" is). The restore never writes to a stored name, only matches
// it: the file goes back under the name the walk found.
std::string StorableName(std::string_view name) {
    std::string out;
    out.reserve(name.size());
    auto escape = [&out](unsigned char byte) {
        const unsigned code = 0xF700u + byte;
        out += static_cast<char>(0xE0 | (code >> 12));
        out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    };
    for (size_t i = 0; i < name.size();) {
        char32_t cp = 0;
        size_t n = DecodeUtf8At(name, i, cp);
        const bool escape_range = cp >= 0xF700 && cp <= 0xF7FF;
        if (n > 0 && cp != '|' && !escape_range) {
            out.append(name.substr(i, n));
            i += n;
            continue;
        }
        for (size_t end = i + std::max<size_t>(n, 1); i < end; ++i) {
            escape(static_cast<unsigned char>(name[i]));
        }
    }
    return out;
}

// Names already in stored form, joined as stored paths are.
std::string JoinStored(const std::vector<std::string>& names) {
    std::string out;
    for (const auto& name : names) {
        if (!out.empty()) out += '/';
        out += name;
    }
    return out;
}

std::string JoinNames(const std::vector<std::string>& names) {
    std::string out;
    for (const auto& name : names) {
        if (!out.empty()) out += '/';
        out += StorableName(name);
    }
    return out;
}

std::string Absolute(Env& env, const std::string& path) {
    if (!path.empty() && path[0] == '/') return path;
    char cwd[PATH_MAX];
    if (!env.GetCwd(cwd, sizeof cwd)) return "/" + path;
    return std::string(cwd) + "/" + path;
}

// "srv/www/" for the folder "/srv/www"; "" for "/".
std::string StoredDir(const std::string& absolute_dir) {
    std::string dir = JoinNames(PathNames(absolute_dir));
    if (!dir.empty()) dir += '/';
    return dir;
}

std::string StoredPathOf(Env& env, const std::string& path) {
    return JoinNames(PathNames(Absolute(env, path)));
}

}  // namespace norv::platform::lha
