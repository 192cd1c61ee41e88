// Writing a document in place of a file in one step.
#include "tools/inspect/output_file.h"

#include <cerrno>

#include "platform/platform.h"

namespace inspect {

namespace {

// The new file until it takes the place of the old one: removed unless it did.
// Each step keeps the failure it met.
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
    failure_ = platform::create_readable_file(path_.c_str(), &fd_);
    if (failure_.code == platform::kErrorAlreadyExists) {
      // Left by a run of an earlier process of this number, which ended
      // before it could remove it.
      platform::remove_file(path_.c_str());
      failure_ = platform::create_readable_file(path_.c_str(), &fd_);
    }
    created_ = failure_.ok();
    return created_;
  }
  bool write(std::string_view text) {
    while (!text.empty()) {
      uint32_t done = 0;
      failure_ = platform::write(fd_, text.data(), static_cast<uint32_t>(text.size()), &done);
      // A write that moves nothing has no reason of the system's.
      if (failure_.ok() && done == 0) failure_ = platform::Status::failure(EIO, 0);
      if (!failure_.ok()) return false;
      text.remove_prefix(done);
    }
    return true;
  }
  bool sync() {
    failure_ = platform::sync(fd_);
    return failure_.ok();
  }
  bool close() {
    failure_ = platform::close_file(fd_);
    fd_ = -1;
    return failure_.ok();
  }
  void commit() { committed_ = true; }
  const std::string& path() const { return path_; }
  const platform::Status& failure() const { return failure_; }

 private:
  std::string path_;
  int fd_ = -1;
  bool created_ = false;
  bool committed_ = false;
  platform::Status failure_;
};

}  // namespace

bool write_replacing(const std::string& path, const std::function<bool(const TextSink&)>& produce,
                     std::string* error) {
  Temporary temporary(path + "." + std::to_string(platform::process_id()) + ".tmp");
  const auto failed = [&](const std::string& step, const platform::Status& why) {
    *error = step + " failed: " + platform::describe_error(why) + "; " + path +
             " keeps its last content";
    return false;
  };
  if (!temporary.create()) return failed("creating " + temporary.path(), temporary.failure());
  if (!produce([&](std::string_view text) { return temporary.write(text); })) {
    // The producer may give up without a write having failed.
    const platform::Status why =
        temporary.failure().ok() ? platform::Status::failure(EIO, 0) : temporary.failure();
    return failed("writing " + temporary.path(), why);
  }
  if (!temporary.sync()) return failed("syncing " + temporary.path(), temporary.failure());
  if (!temporary.close()) return failed("closing " + temporary.path(), temporary.failure());
  if (platform::interrupted()) {
    *error = "interrupted; " + path + " keeps its last content";
    return false;
  }
  if (const platform::Status replaced =
          platform::replace_file(temporary.path().c_str(), path.c_str());
      !replaced.ok()) {
    if (!platform::same_file(temporary.path().c_str(), temporary.path().c_str())) {
      // The rename was done; only the folder's sync failed.
      temporary.commit();
      *error = "syncing the folder of " + path + " failed: " + platform::describe_error(replaced) +
               "; " + path + " holds the new content, perhaps not yet on the disk";
      return false;
    }
    return failed("renaming " + temporary.path() + " to " + path, replaced);
  }
  temporary.commit();
  return true;
}

}  // namespace inspect
