// Test helpers for the attributes a fingerprint reads: file capabilities (libcap), POSIX ACLs
// (libacl), the raw values the kernel keeps, and the public MD5 collision pair.
#pragma once

#include <sys/types.h>

#include <string>

namespace norv::testing {

// Gives the file at `path` the capabilities `text` ("cap_net_raw=ep"); false where refused.
bool SetCapabilities(const std::string& path, const char* text);
// Gives the file at `path` the access ACL `text` ("u::rw-,u:65534:r--,g::r--,m::r--,o::---").
bool SetAcl(const std::string& path, const char* text);
// Gives the folder at `path` the default ACL `text`, which files made in it inherit.
bool SetDefaultAcl(const std::string& path, const char* text);
// Whether the user `uid` (group `gid`, no other groups) can open the file at `path` for reading,
// without following a link: tried by a child process running as that user.
bool ReadableAs(uid_t uid, gid_t gid, const std::string& path);
// Sets the inode flags (chattr's, FS_IOC_SETFLAGS) of the file at `path`; false where refused.
bool SetInodeFlags(const std::string& path, unsigned flags);
// The raw value of the extended attribute `name` of `path`, "" when it has none.
std::string RawXattr(const std::string& path, const char* name);

// Two different 128-byte messages with one MD5, 79054025255fb1a26e4bc422aef54eb4: the collision
// Xiaoyun Wang, Dengguo Feng, Xuejia Lai and Hongbo Yu published in "Collisions for Hash
// Functions MD4, MD5, HAVAL-128 and RIPEMD" (Cryptology ePrint Archive, report 2004/199), as
// Peter Selinger's "MD5 Collision Demo" page gives them in hexadecimal
// (https://www.mscs.dal.ca/~selinger/md5collision/).
std::string Md5CollisionA();
std::string Md5CollisionB();

}  // namespace norv::testing
