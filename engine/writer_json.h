// A change's writer as JSON: the object the events carry under "writer", which the store keeps
// too (as text) so that a check can name the writer the watch saw, and `changes` can show it.
#pragma once

#include <memory>
#include <string>

#include <nlohmann/json.hpp>

#include "platform/fs/writer.h"

namespace norv {

// {"pid", "exe", "cmdline", "uid", "euid", "loginuid" (null when unset), "unit" (null for none),
// "cgroup", "parents": [{"pid", "exe", "cmdline"}...]}; only {"pid", "exited": true} for a
// process gone before it could be read.
nlohmann::ordered_json WriterJson(const platform::Writer& writer);
// The writer an object of WriterJson's shape names; null for text that is no such object.
std::shared_ptr<const platform::Writer> WriterFromJsonText(const std::string& text);
// One line for a person: "pid 123 /usr/bin/sh, uid 65534, cgroup /a" ("pid 123 (exited)").
std::string WriterSummary(const platform::Writer& writer);

}  // namespace norv
