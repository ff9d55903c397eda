#include "platform/event_source/fanotify/MountTable.h"

#include <array>

namespace zorva {
namespace {

// Fields of a mountinfo line before its optional ones, which end at a "-".
constexpr size_t kOptionalFields = 6;

std::string unescape(std::string_view field) {
  auto isOctal = [&](size_t at) { return field[at] >= '0' && field[at] <= '7'; };
  std::string text;
  text.reserve(field.size());
  for (size_t i = 0; i < field.size(); ++i) {
    if (field[i] == '\\' && i + 3 < field.size() && isOctal(i + 1) && isOctal(i + 2) &&
        isOctal(i + 3)) {
      text.push_back(static_cast<char>((field[i + 1] - '0') * 64 + (field[i + 2] - '0') * 8 +
                                       (field[i + 3] - '0')));
      i += 3;
      continue;
    }
    text.push_back(field[i]);
  }
  return text;
}

std::vector<std::string_view> split(std::string_view line) {
  std::vector<std::string_view> fields;
  size_t start = 0;
  while (start < line.size()) {
    size_t end = line.find(' ', start);
    if (end == std::string_view::npos) end = line.size();
    if (end > start) fields.push_back(line.substr(start, end - start));
    start = end + 1;
  }
  return fields;
}

}  // namespace

std::vector<Mount> parseMountInfo(std::string_view text) {
  std::vector<Mount> mounts;
  while (!text.empty()) {
    size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    // id parent major:minor root mount-point options [optional fields...] - type source options
    std::vector<std::string_view> fields = split(line);
    size_t separator = kOptionalFields;
    while (separator < fields.size() && fields[separator] != "-") ++separator;
    if (fields.size() < kOptionalFields || separator + 1 >= fields.size()) continue;
    mounts.push_back(
        {unescape(fields[4]), std::string(fields[separator + 1]), unescape(fields[3])});
  }
  return mounts;
}

std::string pathMapping(const Mount& mount) {
  // Views of the mount's own strings: a conditional with "" would make a temporary string.
  const std::string_view point =
      mount.mountPoint == "/" ? std::string_view() : std::string_view(mount.mountPoint);
  const std::string_view root =
      mount.root == "/" ? std::string_view() : std::string_view(mount.root);
  // Both are absolute: a matching end starts at a '/', so it is whole names.
  if (point.ends_with(root))
    return "under " + std::string(point.substr(0, point.size() - root.size()));
  return std::string(root) + " at " + std::string(point);
}

bool canHoldUserFiles(std::string_view fsType) {
  static constexpr std::array<std::string_view, 22> kPseudo = {
      "proc",       "sysfs",      "cgroup",    "cgroup2",     "devpts", "devtmpfs",
      "securityfs", "debugfs",    "tracefs",   "pstore",      "bpf",    "mqueue",
      "hugetlbfs",  "configfs",   "fusectl",   "binfmt_misc", "autofs", "efivarfs",
      "nsfs",       "rpc_pipefs", "selinuxfs", "ramfs"};
  for (std::string_view pseudo : kPseudo) {
    if (fsType == pseudo) return false;
  }
  return true;
}

}  // namespace zorva
