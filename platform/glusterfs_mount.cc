// Reading the mount table and a GlusterFS client's command line, the same on
// every system (only Linux has them to read), and the tests' answer.
#include "platform/glusterfs_mount.h"

#include <atomic>
#include <cstdlib>
#include <mutex>
#include <vector>

#include "platform/environment.h"

namespace platform {

namespace {

std::vector<std::string_view> Split(std::string_view text, char separator) {
  std::vector<std::string_view> parts;
  std::size_t start = 0;
  for (std::size_t end = text.find(separator); end != std::string_view::npos;
       end = text.find(separator, start)) {
    parts.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  if (start < text.size()) parts.push_back(text.substr(start));
  return parts;
}

bool IsOctal(char c) { return c >= '0' && c <= '7'; }

// The mount table writes a blank, tab, line end and backslash of a path as
// "\" and three octal digits.
std::string Unescape(std::string_view field) {
  std::string text;
  for (std::size_t i = 0; i < field.size(); ++i) {
    if (field[i] == '\\' && i + 3 < field.size() && IsOctal(field[i + 1]) &&
        IsOctal(field[i + 2]) && IsOctal(field[i + 3])) {
      text.push_back(static_cast<char>((field[i + 1] - '0') * 64 + (field[i + 2] - '0') * 8 +
                                       (field[i + 3] - '0')));
      i += 3;
    } else {
      text.push_back(field[i]);
    }
  }
  return text;
}

std::string_view WithoutTrailingSlashes(std::string_view path) {
  while (path.size() > 1 && path.back() == '/') path.remove_suffix(1);
  return path;
}

bool Holds(std::string_view mount_point, std::string_view path) {
  if (mount_point == "/") return true;
  return path.starts_with(mount_point) &&
         (path.size() == mount_point.size() || path[mount_point.size()] == '/');
}

// "0", "00", "0.0": a timeout of none.
bool IsZero(std::string_view value) {
  bool digit = false;
  for (char c : value) {
    if (c == '0') {
      digit = true;
    } else if (c != '.') {
      return false;
    }
  }
  return digit;
}

// The cache timeouts a client's arguments set; each a second unless given.
struct Timeouts {
  bool entry_zero = false;
  bool attribute_zero = false;

  // Takes "entry-timeout" or "attribute-timeout" and its value; false for
  // another name.
  bool Take(std::string_view name, std::string_view value) {
    if (name == "entry-timeout") {
      entry_zero = IsZero(value);
    } else if (name == "attribute-timeout") {
      attribute_zero = IsZero(value);
    } else {
      return false;
    }
    return true;
  }
};

std::mutex g_answer_mutex;
std::atomic<bool> g_answer_used{false};
std::optional<GlusterFsMount> g_answer;

}  // namespace

std::optional<MountEntry> MountHolding(std::string_view mountinfo, std::string_view path) {
  path = WithoutTrailingSlashes(path);
  if (!path.starts_with('/')) return std::nullopt;
  std::optional<MountEntry> best;
  for (std::string_view line : Split(mountinfo, '\n')) {
    // ID, parent ID, device, root, mount point, options, optional fields,
    // "-", type, source, super block options.
    const std::vector<std::string_view> fields = Split(line, ' ');
    if (fields.size() < 7) continue;
    std::size_t separator = 6;
    while (separator < fields.size() && fields[separator] != "-") ++separator;
    if (separator + 1 >= fields.size()) continue;
    std::string mount_point = Unescape(fields[4]);
    if (!Holds(mount_point, path)) continue;
    if (best && mount_point.size() < best->mount_point.size()) continue;
    best = MountEntry{std::move(mount_point), Unescape(fields[separator + 1])};
  }
  return best;
}

ClientCaching GlusterFsClientCaching(std::string_view cmdline, std::string_view mount_point) {
  const std::vector<std::string_view> arguments = Split(cmdline, '\0');
  if (arguments.empty()) return ClientCaching::kOtherProcess;
  std::string_view program = arguments[0];
  if (const std::size_t slash = program.rfind('/'); slash != std::string_view::npos) {
    program.remove_prefix(slash + 1);
  }
  if (program != "glusterfs") return ClientCaching::kOtherProcess;
  mount_point = WithoutTrailingSlashes(mount_point);
  bool serves_mount = false;
  Timeouts timeouts;
  for (std::size_t i = 1; i < arguments.size(); ++i) {
    std::string_view argument = arguments[i];
    if (WithoutTrailingSlashes(argument) == mount_point) serves_mount = true;
    if (argument.starts_with("--")) {
      argument.remove_prefix(2);
      const std::size_t equals = argument.find('=');
      if (equals != std::string_view::npos) {
        timeouts.Take(argument.substr(0, equals), argument.substr(equals + 1));
      } else if (i + 1 < arguments.size() && timeouts.Take(argument, arguments[i + 1])) {
        ++i;
      }
      continue;
    }
    // Mount options as fstab gives them: "entry-timeout=0,attribute-timeout=0".
    for (std::string_view option : Split(argument, ',')) {
      const std::size_t equals = option.find('=');
      if (equals != std::string_view::npos) {
        timeouts.Take(option.substr(0, equals), option.substr(equals + 1));
      }
    }
  }
  if (!serves_mount) return ClientCaching::kOtherProcess;
  return timeouts.entry_zero && timeouts.attribute_zero ? ClientCaching::kCachesOff
                                                        : ClientCaching::kCachesOn;
}

GlusterFsMount GlusterFsMountOf(const std::string& directory) {
  if (g_answer_used.load(std::memory_order_acquire)) {
    std::lock_guard<std::mutex> lock(g_answer_mutex);
    if (g_answer) return *g_answer;
  }
  return ReadGlusterFsMount(directory, "/proc");
}

bool CachedSpoolAccepted() { return EnvironmentSwitchOn(kAcceptCachedSpoolVariable); }

namespace testing {

void SetGlusterFsMountAnswer(std::optional<GlusterFsMount> answer) {
  std::lock_guard<std::mutex> lock(g_answer_mutex);
  g_answer = std::move(answer);
  g_answer_used.store(true, std::memory_order_release);
}

}  // namespace testing

}  // namespace platform
