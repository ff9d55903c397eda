#include "service/ProcessFilter.h"

#include <array>
#include <exception>
#include <span>
#include <string_view>

#include "platform/log/Log.h"
#include "platform/text/Utf8.h"

namespace zorva {
namespace {

// The client application's own install locations; its file activity is the product's own.
constexpr std::array<std::string_view, 2> kClientPrefixes = {"/Applications/Zorva Client.app",
                                                             "/opt/zorva-client/"};

struct IgnoreRule {
  std::string_view prefix;
  std::span<const std::string_view> suffixes;
};

constexpr std::string_view kBackupSuffixes[] = {"backupd"};
constexpr std::string_view kFrameworkSuffixes[] = {
    "mds_stores",         "mds",      "mdworker_shared", "com.apple.quicklook.ThumbnailsAgent",
    "QuickLookSatellite", "fseventsd"};
constexpr std::string_view kLibexecSuffixes[] = {"promotedcontentd"};
constexpr std::string_view kSbinSuffixes[] = {"cupsd"};

// Platform daemons whose file activity is noise: indexing, thumbnails, backups, printing. Tried
// in order; a suffix counts only together with its own prefix.
constexpr IgnoreRule kIgnoreTable[] = {
    {"/System/Library/CoreServices/TimeMachine", kBackupSuffixes},
    {"/System/Library/Frameworks/", kFrameworkSuffixes},
    {"/usr/libexec", kLibexecSuffixes},
    {"/usr/sbin", kSbinSuffixes},
};

bool matchesIgnoreTable(std::string_view path) {
  for (const IgnoreRule& rule : kIgnoreTable) {
    if (!path.starts_with(rule.prefix)) continue;
    for (std::string_view suffix : rule.suffixes) {
      if (path.ends_with(suffix)) return true;
    }
  }
  return false;
}

}  // namespace

bool ignoreProcess(const es_process_t& process, std::optional<std::string>* executablePath) {
  try {
    const es_string_token_t& bytes = process.executable->path;
    *executablePath = decodeUtf8(std::string_view(bytes.data, bytes.length));
    // A path that is not UTF-8 matches no prefix, so such a process is never ignored.
    if (!*executablePath) return false;
    std::string_view path = **executablePath;
    if (!process.is_platform_binary) {
      for (std::string_view prefix : kClientPrefixes) {
        if (path.starts_with(prefix)) return true;
      }
      return false;
    }
    return matchesIgnoreTable(path);
  } catch (const std::exception& error) {
    ZorvaLog("IgnoreProcess threw: %@, %@", error.what(), exceptionDescription(error));
    return false;
  }
}

}  // namespace zorva
