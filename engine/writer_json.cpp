#include "engine/writer_json.h"

namespace norv {
namespace {

using Json = nlohmann::ordered_json;

namespace key {
constexpr const char* kPid = "pid";
constexpr const char* kExe = "exe";
constexpr const char* kCmdline = "cmdline";
constexpr const char* kExited = "exited";
constexpr const char* kUid = "uid";
constexpr const char* kEuid = "euid";
constexpr const char* kLoginuid = "loginuid";
constexpr const char* kUnit = "unit";
constexpr const char* kCgroup = "cgroup";
constexpr const char* kParents = "parents";
}  // namespace key

Json ProcessJson(const platform::WriterProcess& p) {
    Json o;
    o[key::kPid] = p.pid;
    o[key::kExe] = p.executable;
    o[key::kCmdline] = p.command_line;
    return o;
}

platform::WriterProcess ProcessFromJson(const Json& o) {
    platform::WriterProcess p;
    p.pid = o.value(key::kPid, pid_t{0});
    p.executable = o.value(key::kExe, std::string());
    p.command_line = o.value(key::kCmdline, std::string());
    return p;
}

}  // namespace

Json WriterJson(const platform::Writer& writer) {
    Json o;
    o[key::kPid] = writer.process.pid;
    if (writer.exited) {
        o[key::kExited] = true;
        return o;
    }
    o[key::kExe] = writer.process.executable;
    o[key::kCmdline] = writer.process.command_line;
    o[key::kUid] = writer.uid;
    o[key::kEuid] = writer.euid;
    o[key::kLoginuid] = writer.login_uid >= 0 ? Json(writer.login_uid) : Json();
    o[key::kUnit] = writer.unit.empty() ? Json() : Json(writer.unit);
    o[key::kCgroup] = writer.cgroup;
    Json parents = Json::array();
    for (const platform::WriterProcess& parent : writer.parents) {
        parents.push_back(ProcessJson(parent));
    }
    o[key::kParents] = std::move(parents);
    return o;
}

std::shared_ptr<const platform::Writer> WriterFromJsonText(const std::string& text) {
    const Json o = Json::parse(text, nullptr, /*allow_exceptions=*/false);
    if (!o.is_object() || !o.contains(key::kPid)) return nullptr;
    try {
        auto writer = std::make_shared<platform::Writer>();
        writer->process = ProcessFromJson(o);
        writer->exited = o.value(key::kExited, false);
        writer->uid = o.value(key::kUid, int64_t{-1});
        writer->euid = o.value(key::kEuid, int64_t{-1});
        const Json& login = o.contains(key::kLoginuid) ? o[key::kLoginuid] : Json();
        writer->login_uid = login.is_number() ? login.get<int64_t>() : -1;
        const Json& unit = o.contains(key::kUnit) ? o[key::kUnit] : Json();
        writer->unit = unit.is_string() ? unit.get<std::string>() : std::string();
        writer->cgroup = o.value(key::kCgroup, std::string());
        if (o.contains(key::kParents) && o[key::kParents].is_array()) {
            for (const Json& parent : o[key::kParents]) {
                if (parent.is_object()) writer->parents.push_back(ProcessFromJson(parent));
            }
        }
        return writer;
    } catch (const nlohmann::json::exception&) {  // a value of another type: no writer
        return nullptr;
    }
}

std::string WriterSummary(const platform::Writer& writer) {
    std::string text = "pid " + std::to_string(writer.process.pid);
    if (writer.exited) return text + " (exited)";
    if (!writer.process.executable.empty()) text += " " + writer.process.executable;
    text += ", uid " + std::to_string(writer.uid);
    if (!writer.cgroup.empty()) text += ", cgroup " + writer.cgroup;
    return text;
}

}  // namespace norv
