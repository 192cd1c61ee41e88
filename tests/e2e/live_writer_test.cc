// Every reader beside a service that writes all the time: varno-storegen
// --serve appends a message and forwards one every millisecond while the
// utility's menus 2 and 5, varno-inspect list and verify run on the same file
// in turn, for about ten seconds, while the ring fills and wraps. The store
// file lock keeps each of them to one whole state of the file.
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "tests/e2e/store_files.h"
#include "tests/e2e/transcript.h"
#include "tests/support/test_support.h"

namespace {

// The numbers that follow each `key` in `text`.
std::vector<int> numbers_after(const std::string& text, const std::string& key) {
  std::vector<int> out;
  for (size_t at = text.find(key); at != std::string::npos; at = text.find(key, at + 1)) {
    out.push_back(std::stoi(text.substr(at + key.size())));
  }
  return out;
}

// k, k + 1, k + 2, ... as a listing meets the records of storegen's files,
// from the oldest the ring still holds.
bool in_order(const std::vector<int>& transactions) {
  for (size_t i = 1; i < transactions.size(); ++i) {
    if (transactions[i] != transactions[i - 1] + 1) return false;
  }
  return !transactions.empty();
}

TEST(LiveWriter, EveryReaderSeesOneWholeStateAndEveryResetLands) {
  testsupport::ScratchDir dir;
  const std::string home = dir.path + "/home/";
  const std::string file = dir.file("live.DEV1");
  // Room for about 630 messages, full within seconds; then the service drops
  // the oldest forwarded ones and the ring wraps, again and again. The last
  // record before the end of the file is stretched: 332 bytes would be left.
  storefiles::generate(home, file, {"--messages", "5", "--capacity", "262144"});
  const std::vector<std::string> env = {"VARNO_HOME=" + home, "TZ=UTC"};
  auto service = std::make_unique<testsupport::Interactive>(
      testsupport::binary("varno-storegen"),
      std::vector<std::string>{file, "--serve", "--interval", "1"}, env);
  // Its step lines are read all the time: a full pipe would stop it while it
  // holds the lock, and every reader with it.
  std::jthread drain([&](std::stop_token stop) {
    while (!stop.stop_requested()) service->read_for(20);
  });

  const auto run = [&](const char* program, const std::vector<std::string>& args,
                       const std::string& input) {
    return testsupport::run(testsupport::binary(program), args, input, env);
  };
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  int loops = 0;
  size_t last_count = 0;
  bool whole = true;
  while (whole && std::chrono::steady_clock::now() < deadline) {
    ++loops;
    const std::string menu2 = run("varno-analyze", {}, "5000\n2\n" + file + "\nS\n\nx\n").out;
    const std::vector<int> listed = numbers_after(menu2, "transaction number ");
    const std::string list = run("varno-inspect", {"list", "--json", file}, "").out;
    const std::vector<int> json = numbers_after(list, "\"transaction\":");
    const std::string reset = run("varno-analyze", {}, "5000\n5\nY\n" + file + "\nS\n\nx\n").out;
    // Menu 2 lists 1, 2, ... up to the count it showed; list as many or more.
    whole = in_order(listed) && in_order(json) && listed.size() >= last_count &&
            json.size() >= listed.size() &&
            numbers_after(menu2, "Messages forwarded: ").size() == 1 &&
            menu2.find(" of " + std::to_string(listed.size()) + "\n") != std::string::npos &&
            run("varno-inspect", {"verify", file}, "").exit_code == 0 &&
            reset.find("Messages forwarded: 0 of ") != std::string::npos &&
            reset.find("The Forward offset has been changed to the Oldest offset location.\n") !=
                std::string::npos;
    EXPECT_TRUE(whole) << "loop " << loops << ":\n"
                       << menu2.substr(0, 2000) << list.substr(0, 500) << reset.substr(0, 2000);
    last_count = listed.size();
  }
  drain.request_stop();
  drain.join();
  const int steps = numbers_after(service->out, "step ").back();
  // Ended between two of its steps or inside one, the file is whole either way.
  service.reset();
  EXPECT_EQ(run("varno-inspect", {"verify", file}, "").exit_code, 0);
  std::printf("live writer: %d service steps, %d loops, %zu messages at the end\n", steps, loops,
              last_count);
}

}  // namespace
