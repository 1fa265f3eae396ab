#include "platform/lha/archiver.h"

#include <vector>

#include "platform/file_system.h"
#include "platform/lha/lha_archive.h"

namespace norv::platform::lha {
namespace {

struct Token {
    std::string text;
    bool quoted = false;
    std::string suffix;  // what follows a closing quote directly, e.g. "/*.*"
};

bool Tokenize(std::string_view line, std::vector<Token>& tokens) {
    size_t i = 0;
    while (i < line.size()) {
        if (line[i] == ' ') {
            ++i;
            continue;
        }
        Token token;
        if (line[i] == '"') {
            size_t close = line.find('"', i + 1);
            if (close == std::string_view::npos) return false;
            token.quoted = true;
            token.text = std::string(line.substr(i + 1, close - i - 1));
            i = close + 1;
            while (i < line.size() && line[i] != ' ') {
                if (line[i] == '"') return false;
                token.suffix += line[i++];
            }
        } else {
            while (i < line.size() && line[i] != ' ') {
                if (line[i] == '"') return false;
                token.text += line[i++];
            }
        }
        tokens.push_back(std::move(token));
    }
    return true;
}

}  // namespace

Result<ArchiverCommand> ParseArchiverCommand(std::string_view line) {
    auto malformed = [&] {
        return Status::Error(kErrArchive,
                             "アーカイバのコマンドが正しくありません: " + std::string(line));
    };
    std::vector<Token> t;
    if (!Tokenize(line, t)) return malformed();
    const std::string every_file = std::string(1, kSeparator) + "*.*";
    auto plain = [](const Token& token, const char* word) {
        return !token.quoted && token.text == word && token.suffix.empty();
    };
    auto quoted = [](const Token& token) { return token.quoted && !token.text.empty(); };
    if (t.size() == 5 && plain(t[0], "a") && plain(t[1], "-x1") && plain(t[2], "-r2") &&
        quoted(t[3]) && t[3].suffix.empty() && quoted(t[4]) && t[4].suffix == every_file) {
        return ArchiverCommand{ArchiverCommand::Verb::kAdd, t[3].text, t[4].text};
    }
    if (t.size() == 4 && plain(t[0], "x") && plain(t[1], "-c") && quoted(t[2]) &&
        t[2].suffix.empty() && quoted(t[3]) && t[3].suffix.empty()) {
        return ArchiverCommand{ArchiverCommand::Verb::kExtract, t[2].text, t[3].text};
    }
    return malformed();
}

int Unlha(std::string_view line, std::string& output,
          const std::function<void(const std::string&)>& progress) {
    auto command = ParseArchiverCommand(line);
    Status status = command.status();
    if (command.ok()) {
        if (command->verb == ArchiverCommand::Verb::kAdd) {
            // A rule path that ends in a separator (the root) still names that folder.
            std::string folder = command->operand;
            while (folder.size() > 1 && folder.back() == kSeparator) folder.pop_back();
            status = AddToArchive(command->archive, folder, progress);
        } else {
            status = ExtractByName(command->archive, command->operand);
        }
    }
    output = status.ok() ? std::string() : status.message();
    return status.ok() ? 0 : (status.code() != 0 ? status.code() : 1);
}

}  // namespace norv::platform::lha
