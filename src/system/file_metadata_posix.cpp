// POSIX: a list's access carried over to its cleaned copy through the descriptors of both, with
// the extended-attribute calls of <sys/xattr.h> (an access control list travels in its extended
// attribute form, read and written whole); temporaries beside a list made and removed relative to
// a held directory descriptor.
#include "system/file_metadata_posix.h"

#include <endian.h>
#include <errno.h>
#include <fcntl.h>
#include <linux/posix_acl.h>
#include <linux/posix_acl_xattr.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "system/system_error.h"

namespace {

constexpr const char* AccessAclName = "system.posix_acl_access";

int fail(std::string& why, std::string_view what, int code) {
  if (code == 0) code = EIO;
  why = failureText(what, code);
  return code;
}

// A chown refused because of who the process is, rather than a failing file system: EPERM, or
// EINVAL for an id that has no mapping in the process's user namespace.
bool notAllowed(int code) { return code == EPERM || code == EINVAL; }

// Fills `names` with the names of the extended attributes of the file open on `fd`. A file
// system without extended attributes has none. Returns 0 or an errno value.
int attributeNames(int fd, std::vector<std::string>* names) {
  names->clear();
  std::vector<char> buffer;
  for (;;) {
    ssize_t size = flistxattr(fd, nullptr, 0);
    if (size < 0) return errno == ENOTSUP ? 0 : errno;
    if (size == 0) return 0;
    buffer.resize(static_cast<std::size_t>(size));
    ssize_t got = flistxattr(fd, buffer.data(), buffer.size());
    if (got < 0 && errno == ERANGE) continue;  // more names since the size was asked
    if (got < 0) return errno;
    for (std::size_t start = 0; start < static_cast<std::size_t>(got);) {
      std::size_t end = start;
      while (end < static_cast<std::size_t>(got) && buffer[end] != '\0') ++end;
      if (end > start) names->emplace_back(buffer.data() + start, end - start);
      start = end + 1;
    }
    return 0;
  }
}

// Puts the value of the extended attribute `name` of the file open on `fd` in `value`. Returns
// 0, ENODATA when the file has no such attribute, or another errno value.
int attributeValue(int fd, const std::string& name, std::string* value) {
  for (;;) {
    ssize_t size = fgetxattr(fd, name.c_str(), nullptr, 0);
    if (size < 0) return errno;
    value->resize(static_cast<std::size_t>(size));
    if (size == 0) return 0;
    ssize_t got = fgetxattr(fd, name.c_str(), value->data(), value->size());
    if (got < 0 && errno == ERANGE) continue;  // grew since the size was asked
    if (got < 0) return errno;
    value->resize(static_cast<std::size_t>(got));
    return 0;
  }
}

enum class AttributeKind {
  NotCarried,   // trusted.* and any other namespace
  AccessAcl,    // the POSIX access control list
  User,         // user.*: carried byte for byte
  Security,     // security.* (a security module's label): carried byte for byte where the
                // policy lets the process set it; otherwise the list is not replaced
  OtherSystem,  // another system.* attribute: byte for byte while owner and group are kept
};

AttributeKind kindOf(std::string_view name) {
  if (name == AccessAclName) return AttributeKind::AccessAcl;
  if (name.starts_with("user.")) return AttributeKind::User;
  if (name.starts_with("security.")) return AttributeKind::Security;
  if (name.starts_with("system.")) return AttributeKind::OtherSystem;
  return AttributeKind::NotCarried;
}

// The entries of an access control list in its extended-attribute form: a version word, then
// (tag, permissions, id) entries, little-endian.
constexpr std::size_t AclHeaderSize = sizeof(posix_acl_xattr_header);
constexpr std::size_t AclEntrySize = sizeof(posix_acl_xattr_entry);

std::uint16_t aclTag(const std::string& acl, std::size_t entry) {
  std::uint16_t tag;
  std::memcpy(&tag, acl.data() + entry, sizeof tag);
  return le16toh(tag);
}

std::uint16_t aclPermissions(const std::string& acl, std::size_t entry) {
  std::uint16_t permissions;
  std::memcpy(&permissions, acl.data() + entry + 2, sizeof permissions);
  return le16toh(permissions);
}

void setAclPermissions(std::string* acl, std::size_t entry, std::uint16_t permissions) {
  std::uint16_t stored = htole16(permissions);
  std::memcpy(acl->data() + entry + 2, &stored, sizeof stored);
}

// Masks the owning group's entry of `acl` by its entry for everyone else, for a copy whose group
// is not the list's; `hasMask` tells whether a mask entry (which the group permission bits then
// show) is present. Returns false when `acl` is not an access control list this code knows.
bool narrowOwningGroup(std::string* acl, bool* hasMask) {
  std::uint32_t version = 0;
  if (acl->size() < AclHeaderSize || (acl->size() - AclHeaderSize) % AclEntrySize != 0) {
    return false;
  }
  std::memcpy(&version, acl->data(), sizeof version);
  if (le32toh(version) != POSIX_ACL_XATTR_VERSION) return false;
  std::size_t groupEntry = 0;
  std::size_t otherEntry = 0;
  *hasMask = false;
  for (std::size_t entry = AclHeaderSize; entry < acl->size(); entry += AclEntrySize) {
    switch (aclTag(*acl, entry)) {
      case ACL_GROUP_OBJ:
        groupEntry = entry;
        break;
      case ACL_OTHER:
        otherEntry = entry;
        break;
      case ACL_MASK:
        *hasMask = true;
        break;
      default:
        break;
    }
  }
  if (groupEntry == 0 || otherEntry == 0) return false;
  setAclPermissions(acl, groupEntry,
                    aclPermissions(*acl, groupEntry) & aclPermissions(*acl, otherEntry));
  return true;
}

std::string attributeFailure(const std::string& name) {
  if (name == AccessAclName) return "cannot carry over its access control list";
  // Whoever set the attribute chose its name: its control bytes would act on a terminal or break
  // the reason's line (the console filters the rest of what a terminal acts on).
  std::string shown = name;
  for (char& byte : shown) {
    if (static_cast<unsigned char>(byte) < 0x20 || byte == 0x7F) byte = '?';
  }
  return "cannot carry over its extended attribute " + shown;
}

// One carrying over: the two files, and what it has learnt so far. Each step below returns 0,
// or an errno value with the reason in `why`.
struct Carrying {
  int copyFd;
  int listFd;
  std::string& why;
  bool ownerKept = false;
  bool groupKept = false;
  std::vector<std::string> listNames = {};  // the list's extended attributes
  bool copyMayHaveAttributes = true;        // false: the copy is known to have none
  std::vector<std::string> copyNames = {};  // the copy's, before any is carried over
  bool aclChanged = false;                  // the copy's access control list was set or removed
  bool aclHasMask = false;                  // the list's access control list, narrowed, has a mask
};

// Whether `name` is among the attribute names `names`.
bool contains(const std::vector<std::string>& names, const std::string& name) {
  return std::find(names.begin(), names.end(), name) != names.end();
}

// Gives the copy the list's owner and group, each where the process may. Owner first: giving the
// file away can clear its set-id bits, which the mode then restores.
int carryOverOwner(Carrying& work, const FileState& list, const FileState& copy) {
  work.ownerKept = list.owner == copy.owner;
  work.groupKept = list.group == copy.group;
  if (!work.ownerKept) {
    if (fchown(work.copyFd, list.owner, list.group) == 0) {
      work.ownerKept = work.groupKept = true;
    } else if (!notAllowed(errno)) {
      return fail(work.why, "cannot carry over its owner and group", errno);
    }
  }
  if (!work.groupKept) {
    // Not allowed to give the file away; the group alone may still be ours to set.
    if (fchown(work.copyFd, static_cast<uid_t>(-1), list.group) == 0) {
      work.groupKept = true;
    } else if (!notAllowed(errno)) {
      return fail(work.why, "cannot carry over its owner and group", errno);
    }
  }
  return 0;
}

// Reads the names of both files' extended attributes.
int readAttributeNames(Carrying& work) {
  if (int code = attributeNames(work.listFd, &work.listNames); code != 0) {
    return fail(work.why, "cannot read its extended attributes", code);
  }
  if (!work.copyMayHaveAttributes) return 0;
  if (int code = attributeNames(work.copyFd, &work.copyNames); code != 0) {
    return fail(work.why, "cannot carry over its extended attributes", code);
  }
  return 0;
}

// Removes what the copy has of its own (an access control list inherited from its directory)
// and the list lacks. It goes first: nothing may be granted through it once the permission bits
// are set.
int removeOwnAttributes(Carrying& work) {
  for (const std::string& name : work.copyNames) {
    AttributeKind kind = kindOf(name);
    if (kind == AttributeKind::NotCarried || kind == AttributeKind::OtherSystem ||
        contains(work.listNames, name)) {
      continue;
    }
    if (fremovexattr(work.copyFd, name.c_str()) != 0 && errno != ENODATA) {
      return fail(work.why, attributeFailure(name), errno);
    }
    work.aclChanged = work.aclChanged || kind == AttributeKind::AccessAcl;
  }
  return 0;
}

// Sets on the copy each of the list's extended attributes that is carried over and that the
// copy does not hold already with the same value.
int carryOverAttributes(Carrying& work) {
  std::string value;
  std::string present;
  for (const std::string& name : work.listNames) {
    AttributeKind kind = kindOf(name);
    if (kind == AttributeKind::NotCarried) continue;
    if (kind == AttributeKind::OtherSystem && !(work.ownerKept && work.groupKept)) {
      // Its entries for the owner and group cannot be adjusted like a POSIX list's.
      work.why = attributeFailure(name) + ": its owner or group cannot be kept";
      return EPERM;
    }
    if (int code = attributeValue(work.listFd, name, &value); code != 0) {
      if (code == ENODATA) continue;  // removed since the names were read
      return fail(work.why, "cannot read its extended attributes", code);
    }
    if (kind == AttributeKind::AccessAcl && !work.groupKept &&
        !narrowOwningGroup(&value, &work.aclHasMask)) {
      return fail(work.why, attributeFailure(name), EINVAL);
    }
    if (contains(work.copyNames, name) && attributeValue(work.copyFd, name, &present) == 0 &&
        present == value) {
      continue;
    }
    if (fsetxattr(work.copyFd, name.c_str(), value.data(), value.size(), 0) != 0) {
      return fail(work.why, attributeFailure(name), errno);
    }
    work.aclChanged = work.aclChanged || kind == AttributeKind::AccessAcl;
  }
  return 0;
}

// Gives the copy the list's permission bits, less what an owner or group it could not keep
// costs: the bits that agree with the access control list just set, whose mask entry, where it
// has one, is the group bits.
int carryOverMode(Carrying& work, const FileState& list, const FileState& copy) {
  mode_t mode = list.permissions;
  if (!work.ownerKept) mode &= ~static_cast<mode_t>(S_ISUID);
  if (!work.groupKept) {
    mode &= ~static_cast<mode_t>(S_ISGID);
    if (!work.aclHasMask) mode &= ~static_cast<mode_t>(S_IRWXG) | ((mode & S_IRWXO) << 3);
  }
  mode_t present = copy.permissions;
  if (work.aclChanged) {
    struct stat now {};
    if (fstat(work.copyFd, &now) != 0) {
      return fail(work.why, "cannot read its owner and permissions", errno);
    }
    present = now.st_mode & 07777;
  }
  if (present != mode && fchmod(work.copyFd, mode) != 0) {
    return fail(work.why, "cannot carry over its permissions", errno);
  }
  return 0;
}

constexpr std::string_view TemporaryLetters =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
constexpr std::size_t TemporaryRandomLength = 6;

// Random bytes for a temporary name. Only uniqueness matters (the file is created exclusively);
// the kernel's generator makes the names hard to occupy in advance.
void fillRandom(unsigned char* bytes, std::size_t count) {
  if (getrandom(bytes, count, GRND_NONBLOCK) == static_cast<ssize_t>(count)) return;
  thread_local std::uint64_t counter = 0;
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  std::uint64_t state = static_cast<std::uint64_t>(now.tv_nsec) ^
                        (static_cast<std::uint64_t>(getpid()) << 32) ^
                        (++counter * 0x9E3779B97F4A7C15u);
  for (std::size_t i = 0; i < count; ++i) {
    state ^= state >> 33;
    state *= 0xFF51AFD7ED558CCDu;
    state ^= state >> 29;
    bytes[i] = static_cast<unsigned char>(state);
  }
}

}  // namespace

int carryOverMetadata(int copyFd,
                      const FileState& copy,
                      int listFd,
                      const FileState& list,
                      bool copyMayHaveAttributes,
                      std::string& why) {
  Carrying carrying{copyFd, listFd, why};
  carrying.copyMayHaveAttributes = copyMayHaveAttributes;
  int code = carryOverOwner(carrying, list, copy);
  if (code == 0) code = readAttributeNames(carrying);
  if (code == 0) code = removeOwnAttributes(carrying);
  if (code == 0) code = carryOverAttributes(carrying);
  if (code == 0) code = carryOverMode(carrying, list, copy);
  return code;
}

std::string newCopyTemporaryName() {
  unsigned char random[TemporaryRandomLength];
  fillRandom(random, sizeof random);
  std::string name(CopyTemporaryPrefix);
  for (unsigned char byte : random) name += TemporaryLetters[byte % TemporaryLetters.size()];
  return name;
}

int syncDirectory(int directory) {
  int fd = openat(directory, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return errno;
  int code;
  do {
    code = fsync(fd) == 0 ? 0 : errno;
  } while (code == EINTR);
  close(fd);
  // Some file systems cannot sync a directory; the rename is then as durable as they allow.
  return code == EINVAL || code == EROFS ? 0 : code;
}
