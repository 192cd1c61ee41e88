// Writing a document in place of a file in one step.
#include "tools/inspect/output_file.h"

#include <cerrno>

#include "platform/platform.h"

namespace inspect {

namespace {

// The new file until it takes the place of the old one: removed unless it did.
class Temporary {
 public:
  explicit Temporary(std::string path) : path_(std::move(path)) {}
  ~Temporary() {
    if (fd_ >= 0) platform::close_file(fd_);
    if (created_ && !committed_) platform::remove_file(path_.c_str());
  }
  Temporary(const Temporary&) = delete;
  Temporary& operator=(const Temporary&) = delete;

  bool create() {
    fd_ = platform::create_readable_file(path_.c_str());
    if (fd_ < 0 && platform::last_error() == platform::kErrorAlreadyExists) {
      // Left by a run of an earlier process of this number, which ended
      // before it could remove it.
      platform::remove_file(path_.c_str());
      fd_ = platform::create_readable_file(path_.c_str());
    }
    created_ = fd_ >= 0;
    return created_;
  }
  bool write(std::string_view text) {
    while (!text.empty()) {
      errno = 0;
      const int64_t n = platform::io().write(fd_, text.data(), static_cast<uint32_t>(text.size()));
      if (n <= 0) {
        if (n == 0) errno = EIO;
        return false;
      }
      text.remove_prefix(static_cast<size_t>(n));
    }
    return true;
  }
  bool sync() {
    errno = 0;
    return platform::io().sync(fd_) == 0;
  }
  bool close() {
    errno = 0;
    const int result = platform::close_file(fd_);
    fd_ = -1;
    return result == 0;
  }
  void commit() { committed_ = true; }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
  int fd_ = -1;
  bool created_ = false;
  bool committed_ = false;
};

}  // namespace

bool write_replacing(const std::string& path, const std::function<bool(const TextSink&)>& produce,
                     std::string* error) {
  Temporary temporary(path + "." + std::to_string(platform::process_id()) + ".tmp");
  const auto failed = [&](const std::string& step) {
    *error = step + " failed: " + platform::describe_errno(errno) + "; " + path +
             " keeps its last content";
    return false;
  };
  if (!temporary.create()) return failed("creating " + temporary.path());
  errno = 0;
  if (!produce([&](std::string_view text) { return temporary.write(text); })) {
    if (errno == 0) errno = EIO;
    return failed("writing " + temporary.path());
  }
  if (!temporary.sync()) return failed("syncing " + temporary.path());
  if (!temporary.close()) return failed("closing " + temporary.path());
  if (platform::interrupted()) {
    *error = "interrupted; " + path + " keeps its last content";
    return false;
  }
  errno = 0;
  if (platform::replace_file(temporary.path().c_str(), path.c_str()) != 0) {
    const int saved = errno;
    if (!platform::same_file(temporary.path().c_str(), temporary.path().c_str())) {
      // The rename was done; only the folder's sync failed.
      temporary.commit();
      *error = "syncing the folder of " + path + " failed: " + platform::describe_errno(saved) +
               "; " + path + " holds the new content, perhaps not yet on the disk";
      return false;
    }
    errno = saved;
    return failed("renaming " + temporary.path() + " to " + path);
  }
  temporary.commit();
  return true;
}

}  // namespace inspect
