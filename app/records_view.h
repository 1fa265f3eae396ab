// RecordsView: how a front end learns of the settings and the rules in use.
#pragma once

#include "config/rule_table.h"
#include "config/settings.h"

namespace norv {

// Where a front end shows the settings and the rules each time they are read or changed (the
// desktop's settings window); a front end without such a window ignores them.
class RecordsView {
  public:
    virtual ~RecordsView() = default;
    virtual void SettingsShown(const Settings& settings) = 0;
    virtual void RulesShown(const RuleTable& rules) = 0;
};

}  // namespace norv
