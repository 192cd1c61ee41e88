// Every reader beside a service that writes all the time: varno-storegen
// --serve appends a message and forwards one every millisecond while the
// utility's menus 2 and 5, varno-inspect list and verify run on the same file
// in turn, for about ten seconds. The store file lock keeps each of them to
// one consistent state of the file.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <memory>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "tests/e2e/store_files.h"
#include "tests/e2e/transcript.h"
#include "tests/support/test_support.h"

namespace {

using testsupport::RunResult;

// The transaction numbers menu 2 listed, and the header count it showed.
void read_menu2(const std::string& out, std::vector<int>* transactions, int* count) {
  const std::string counted = "Messages forwarded: ";
  const size_t at = out.find(counted);
  *count = at == std::string::npos ? -1 : std::stoi(out.substr(out.find(" of ", at) + 4));
  const std::string key = "transaction number ";
  for (size_t k = out.find(key); k != std::string::npos; k = out.find(key, k + 1)) {
    transactions->push_back(std::stoi(out.substr(k + key.size())));
  }
}

TEST(LiveWriter, EveryReaderSeesOneWholeStateAndEveryResetLands) {
  testsupport::ScratchDir dir;
  const std::string home = dir.path + "/home/";
  const std::string file = dir.file("live.DEV1");
  // Room for about 2,500 messages; once full the service only forwards.
  storefiles::generate(home, file, {"--messages", "5", "--capacity", "1048576"});
  const std::vector<std::string> env = {"VARNO_HOME=" + home, "TZ=UTC"};
  auto service = std::make_unique<testsupport::Interactive>(
      testsupport::binary("varno-storegen"),
      std::vector<std::string>{file, "--serve", "--interval", "1"}, env);

  // Its step lines are read all the time: a full pipe would stop it while it
  // holds the lock, and every reader with it.
  struct Drain {
    std::atomic<bool> stop{false};
    std::thread thread;
    void end() {
      stop = true;
      if (thread.joinable()) thread.join();
    }
    ~Drain() { end(); }
  } drain;
  drain.thread = std::thread([&] {
    while (!drain.stop) service->read_for(20);
  });

  const auto inspect = [&](const std::vector<std::string>& args) {
    return testsupport::run(testsupport::binary("varno-inspect"), args, "", env);
  };
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  int loops = 0;
  int resets = 0;
  int last_count = 0;
  while (std::chrono::steady_clock::now() < deadline) {
    ++loops;

    const RunResult menu2 = transcript::run_utility(home, "5000\n2\n" + file + "\nS\n\nx\n");
    std::vector<int> transactions;
    int count = 0;
    read_menu2(menu2.out, &transactions, &count);
    ASSERT_GE(count, last_count);
    ASSERT_EQ(static_cast<int>(transactions.size()), count) << "loop " << loops;
    for (int k = 0; k < count; ++k) ASSERT_EQ(transactions[k], k + 1) << "loop " << loops;
    last_count = count;

    const RunResult list = inspect({"list", "--json", file});
    ASSERT_EQ(list.exit_code, 0) << list.err;
    std::istringstream lines(list.out);
    int record = 0;
    for (std::string line; std::getline(lines, line);) {
      ++record;
      ASSERT_EQ(nlohmann::json::parse(line)["transaction"], record) << "loop " << loops;
    }
    ASSERT_GE(record, last_count);

    const RunResult verify = inspect({"verify", file});
    ASSERT_EQ(verify.exit_code, 0) << verify.out;

    const RunResult reset = transcript::run_utility(home, "5000\n5\nY\n" + file + "\nS\n\nx\n");
    ASSERT_NE(reset.out.find("Messages forwarded: 0 of "), std::string::npos) << reset.out;
    ASSERT_NE(reset.out.find("The Forward offset has been changed to 192 where"), std::string::npos)
        << reset.out;
    ++resets;
  }
  drain.end();
  const size_t last_step = service->out.rfind("step ");
  ASSERT_NE(last_step, std::string::npos) << "the service never wrote";
  const int steps = std::stoi(service->out.substr(last_step + 5));
  // Ended between two of its steps or inside one, the file is whole either way.
  service.reset();
  const RunResult verify = inspect({"verify", file});
  EXPECT_EQ(verify.exit_code, 0) << verify.out;
  std::printf("live writer: %d service steps, %d loops, %d resets, %d messages at the end\n", steps,
              loops, resets, last_count);
}

}  // namespace
