#include "config/settings.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>

#include "platform/base/notice_code.h"
#include "platform/text/charset.h"
#include "platform/text/text_file.h"

namespace norv {

std::string RootOf(const std::string& system_dir) {
    size_t pos = system_dir.find(platform::kSeparator);
    return pos == std::string::npos ? std::string() : system_dir.substr(0, pos + 1);
}

double LeadingNumber(std::string_view text) {
    std::string compact;
    for (char c : text) {
        if (c != ' ' && c != '\t' && c != '\n' && c != '\r') compact += c;
    }
    size_t i = 0;
    double sign = 1;
    if (i < compact.size() && (compact[i] == '+' || compact[i] == '-')) {
        if (compact[i] == '-') sign = -1;
        ++i;
    }
    double value = 0;
    bool any = false;
    while (i < compact.size() && compact[i] >= '0' && compact[i] <= '9') {
        value = value * 10 + (compact[i++] - '0');
        any = true;
    }
    if (i < compact.size() && compact[i] == '.') {
        ++i;
        double scale = 0.1;
        while (i < compact.size() && compact[i] >= '0' && compact[i] <= '9') {
            value += (compact[i++] - '0') * scale;
            scale /= 10;
            any = true;
        }
    }
    return any ? sign * value : 0;
}

Result<double> ScanPeriodMinutes(std::string_view scan_period) {
    const double minutes = LeadingNumber(scan_period);
    if (minutes > 0 && minutes <= kMaxScanPeriodMinutes) return minutes;
    return Status::Error(kErrFormat,
                         Message(NoticeCode::kScanPeriodOutOfRange,
                                 {std::string(scan_period),
                                  std::to_string(static_cast<int>(kMaxScanPeriodMinutes))}));
}

void SetLineValues(Settings& settings) {
    settings.mail_alert_on = LeadingNumber(settings.mail_alert) == 1.0;
    settings.auto_check_on = LeadingNumber(settings.auto_check) == 1.0;
    settings.scan_period_number = LeadingNumber(settings.scan_period);
    // The whole line as one number, as strtod reads it; blanks after it do not count.
    std::string text = settings.scan_period;
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.pop_back();
    settings.scan_period_plain = platform::ParseDecimal(text);
    settings.scan_period_minutes = ScanPeriodMinutes(settings.scan_period);
}

int SwitchState(std::string_view line) {
    double value = std::round(LeadingNumber(line));
    return (value == 1.0 || value == 2.0) ? static_cast<int>(value) : 0;
}

std::string PrintedState(int state) { return (state < 0 ? "" : " ") + std::to_string(state) + " "; }

namespace {

// Byte length of the first `count` characters of UTF-8 text (fewer when the text is shorter).
size_t PrefixBytes(std::string_view text, size_t count) {
    size_t i = 0;
    for (size_t chars = 0; i < text.size() && chars < count; ++chars) {
        i = platform::Utf8CharacterEnd(text, i);
    }
    return i;
}

size_t CharacterCount(std::string_view text) {
    size_t n = 0;
    for (size_t i = 0; i < text.size(); i = platform::Utf8CharacterEnd(text, i)) ++n;
    return n;
}

}  // namespace

std::string Reroot(std::string line, const std::string& root_dir) {
    // Characters, not bytes: a folder name beginning with a Japanese character keeps the rest
    // of that character intact.
    size_t n = std::min({size_t{3}, CharacterCount(root_dir), CharacterCount(line)});
    line.replace(0, PrefixBytes(line, n), root_dir.substr(0, PrefixBytes(root_dir, n)));
    return line;
}

namespace {

bool IsRootFolder(std::string_view folder) {
    // Lexically: "/", "//", "/." and "/srv/.." all name the root.
    int depth = 0;
    size_t i = 0;
    while (i < folder.size()) {
        size_t end = std::min(folder.find('/', i), folder.size());
        std::string_view part = folder.substr(i, end - i);
        if (part == "..") {
            depth = std::max(depth - 1, 0);
        } else if (!part.empty() && part != ".") {
            ++depth;
        }
        i = end + 1;
    }
    return depth == 0;
}

// Line 14 or 15 (`number`) as the folder it names. An empty line keeps `default_folder`. The
// rewrite may only put the root in place of the root: a line not starting with "/" would lose
// its first characters ("save" becomes "/ave"), so it is refused, as is the root itself ("X"
// becomes "/"); either would send the archive or the copies to the top of the file system.
Result<std::string> FolderLine(const std::string& path, int number, const std::string& line,
                               const RunContext& context, const std::string& default_folder) {
    if (line.empty()) return default_folder;
    std::string folder = Reroot(line, context.root_dir);
    const Message what(number == 14 ? NoticeCode::kSaveFolder : NoticeCode::kCrackedFolder);
    const std::string shown_number = std::to_string(number);
    if (line[0] != '/' || folder[0] != '/') {
        return Status::Error(kErrFormat, Message(NoticeCode::kFolderLineNotAbsolute,
                                                 {path, shown_number, what, line}));
    }
    if (line.find('\0') != std::string::npos) {
        // Every call that takes the path would stop at the NUL: "/\0srv" would be the root.
        return Status::Error(kErrFormat,
                             Message(NoticeCode::kFolderLineHasNul, {path, shown_number, what}));
    }
    if (IsRootFolder(folder)) {
        return Status::Error(
            kErrFormat, Message(NoticeCode::kFolderLineIsRoot, {path, shown_number, what, line}));
    }
    return folder;
}

}  // namespace

Result<SettingsChange> LoadSettings(const RunContext& context, Settings& settings,
                                    LiveSwitches& switches) {
    const std::string path = context.SettingsPath();
    // The settings name the folders norv writes and moves files to as root: only root's file.
    auto read = platform::ReadTextLines(*context.env, path, context.charset, kSettingsFileMaxBytes,
                                        platform::FileTrust::kAdministrator);
    if (!read.ok()) {
        if (read.status().Is(ErrorKind::kNotFound)) {
            return Status::Error(ErrorKind::kNotFound, ENOENT,
                                 Message(NoticeCode::kSettingsFileMissing, {path}));
        }
        return Status::Error(read.status().kind(), read.status().code(),
                             Message(NoticeCode::kSettingsFileUnreadable, {read.status().what()}));
    }
    const std::vector<std::string>& lines = read.value();
    if (lines.size() < kSettingsLineCount) {
        return Status::Error(kErrFormat, Message(NoticeCode::kSettingsFileShort,
                                                 {path, std::to_string(lines.size()),
                                                  std::to_string(lines.size() + 1)}));
    }

    Settings loaded;
    loaded.reserved_line = lines[0];
    loaded.server_name = lines[1];
    loaded.mail_alert = lines[2];
    loaded.pop_server = lines[3];
    loaded.smtp_server = lines[4];
    loaded.mail_account = lines[5];
    loaded.mail_password = lines[6];
    loaded.mail_from = lines[7];
    loaded.mail_to = lines[8];
    loaded.auto_check = lines[9];
    loaded.scan_period = lines[10];
    // An empty folder line has nothing to re-root; it keeps the folder the record already holds
    // (the default), rather than leaving the archive and the copies to land in the root.
    auto save_dir = FolderLine(path, 14, lines[13], context, settings.save_dir);
    if (!save_dir.ok()) return save_dir.status();
    auto cracked_dir = FolderLine(path, 15, lines[14], context, settings.cracked_dir);
    if (!cracked_dir.ok()) return cracked_dir.status();
    loaded.save_dir = std::move(save_dir).value();
    loaded.cracked_dir = std::move(cracked_dir).value();
    SetLineValues(loaded);

    settings = std::move(loaded);
    switches.mail_always = SwitchState(lines[11]);
    switches.auto_restore = SwitchState(lines[12]);
    return SettingsChange{settings.auto_check_on};
}

Result<SettingsChange> SaveSettings(const RunContext& context, const Settings& settings,
                                    const LiveSwitches& switches) {
    std::vector<std::string> lines = {
        settings.reserved_line,
        settings.server_name,
        settings.mail_alert,
        settings.pop_server,
        settings.smtp_server,
        settings.mail_account,
        settings.mail_password,
        settings.mail_from,
        settings.mail_to,
        settings.auto_check,
        settings.scan_period,
        PrintedState(switches.mail_always),
        PrintedState(switches.auto_restore),
        settings.save_dir,
        settings.cracked_dir,
    };
    for (size_t i = 0; i < lines.size(); ++i) {
        if (lines[i].find_first_of("\r\n") != std::string::npos) {
            return Status::Error(kErrFormat,
                                 Message(NoticeCode::kSettingHasLineBreak,
                                         {context.SettingsPath(), std::to_string(i + 1)}));
        }
        // Saved, a NUL would make the file one that the next load refuses.
        if (lines[i].find('\0') != std::string::npos) {
            return Status::Error(kErrFormat,
                                 Message(NoticeCode::kSettingHasNul,
                                         {context.SettingsPath(), std::to_string(i + 1)}));
        }
    }
    // The file holds the mail password: owner-only.
    NORV_RETURN_IF_ERROR(platform::WriteTextFileAtomic(*context.env, context.SettingsPath(), lines,
                                                       context.charset, 0600));
    // Read from the line as written, whoever made the record.
    return SettingsChange{LeadingNumber(settings.auto_check) != 0.0};
}

std::vector<platform::FileIdentity> ProgramFolders(platform::Env& env, const Settings& settings) {
    std::vector<platform::FileIdentity> folders;
    for (const std::string* folder : {&settings.cracked_dir, &settings.save_dir}) {
        // Only the very folder norv may trust is left out of the walk: one another user made or
        // swapped in at that path is watched like any other.
        if (folder->empty()) continue;
        auto opened = platform::OpenTrustedFolder(env, *folder);
        if (!opened.ok()) continue;
        auto identity = platform::IdentityOf(**opened, *folder);
        if (identity.ok()) folders.push_back(identity.value());
    }
    return folders;
}

}  // namespace norv
