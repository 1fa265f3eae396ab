// The rows of the store's fingerprint and changes tables as both of its files read and write
// them: the store's own, not for callers.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "platform/db/database.h"
#include "platform/digest/fingerprint.h"

namespace norv::store_rows {

// The extended columns of a baseline's row, when it has one for its content, after md5o. One
// row per record, though a path two rules cover has two records and two rows.
extern const char* const kExtendedJoin;

// Binds `extended` to ?2 (its MD5) to ?9, and its later facts (xattrs, flags) to `later_at` and
// the next, of an insert into a fingerprint table.
void BindExtended(platform::Statement& insert, const std::string& md5,
                  const platform::ExtendedFacts& extended, int later_at);
// The shape of `norv_places` (and of the table a new baseline builds beside it), and the values
// of an insert into either: path, kind, met, mode, uid, gid, acl, xattrs, flags (acl and xattrs
// in hexadecimal, NULL where not read), device, inode.
extern const char* const kPlacesShape;
extern const char* const kInsertPlace;
extern const size_t kPlacesColumns;

// A length as fileinfo keeps it (text); nothing when it is not a whole number.
std::optional<int64_t> SizeOf(const std::string& text);
// The extended facts in the columns from `first` on (kExtendedJoin's), if the row has them.
std::optional<platform::ExtendedFacts> ReadExtended(const platform::Statement& row, int first);

}  // namespace norv::store_rows
