// ChangeResponse: what happens to a changed file when automatic restore is on.
//
// A new file is moved into the cracked folder under a date-time stamp; an altered file is moved
// there and then put back from the archive; a deleted file is put back. With automatic restore
// off (the Check2 box of the editing state, read at every call) nothing is touched. A file
// leaves its place only once its copy in the cracked folder is complete and verified; symbolic
// links are moved as links, never followed.
#pragma once

#include <string>
#include <string_view>

#include "config/settings.h"
#include "engine/engine_hooks.h"
#include "platform/regional_time.h"
#include "platform/user_interface.h"
#include "response/archive.h"

namespace norv {

inline constexpr const char* kNotSavedMessage = "ファイルが保存されていませんので復旧できません";

// The short date immediately followed by the long time, "/" and ":" made "-":
// 2004/04/11 + 12:34:56 gives 2004-04-1112-34-56.
std::string CrackedStamp(const platform::RegionalFormat& regional, platform::TimePoint now);

class ChangeResponse : public ChangeResponder {
  public:
    ChangeResponse(const Settings& settings, const SettingsEditState& edit,
                   ProtectedArchive& archive, const platform::Clock& clock,
                   const platform::RegionalFormat& regional, MessageBoxSink& messages);

    void RespondToChange(std::string_view kind, const std::string& path) override;
    // Moves the file into the cracked folder; returns false (after a message) when it stays.
    bool MoveToCracked(const std::string& path);

  private:
    const Settings& settings_;
    const SettingsEditState& edit_;
    ProtectedArchive& archive_;
    const platform::Clock& clock_;
    const platform::RegionalFormat& regional_;
    MessageBoxSink& messages_;
};

}  // namespace norv
