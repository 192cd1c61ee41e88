// varno-inspect end to end: the real executable on store files made by
// varno-storegen, its JSON parsed back and compared field by field with what
// the files were built with; salvaged files read back by verify and by the
// utility's menu 2.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <iostream>
#include <nlohmann/json.hpp>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "fileaccess/file_access.h"
#include "messaging/varno.h"
#include "platform/platform.h"
#include "storeformat/store_header.h"
#include "tests/e2e/store_files.h"
#include "tests/e2e/transcript.h"
#include "tests/support/bytes.h"
#include "tests/support/test_support.h"

namespace {

using Json = nlohmann::json;
using testsupport::RunResult;

constexpr int64_t kStart = 1700000000;  // message 1's time stamp; message k is a minute later each

class Inspect : public ::testing::Test {
 protected:
  void SetUp() override { std::filesystem::current_path(dir.path); }
  // Out of the directory, which is removed next.
  void TearDown() override {
    std::filesystem::current_path(std::filesystem::temp_directory_path());
  }
  std::string home() const { return dir.path + "/home/"; }
  void make(const std::string& name, const std::vector<std::string>& options) {
    storefiles::generate(home(), dir.file(name), options);
  }
  RunResult inspect(const std::vector<std::string>& args) {
    return testsupport::run(testsupport::binary("varno-inspect"), args, "",
                            {"VARNO_HOME=" + home(), "TZ=UTC"});
  }
  // One JSON value per line of `text`.
  static std::vector<Json> lines(const std::string& text) {
    std::vector<Json> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) out.push_back(Json::parse(line));
    return out;
  }
  // A refusal or failure: exit 2, nothing on standard output, one line on
  // standard error that names `file`.
  static void expect_failure(const RunResult& r, const std::string& file, const std::string& why) {
    EXPECT_EQ(r.exit_code, 2) << r.err;
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err.find('\n'), r.err.size() - 1) << r.err;
    EXPECT_EQ(r.err.rfind("varno-inspect: " + file + ": ", 0), 0u) << r.err;
    EXPECT_NE(r.err.find(why), std::string::npos) << r.err;
  }
  testsupport::ScratchDir dir;
};

// What varno-storegen writes as message k with `tags` tags.
void expect_message(const Json& j, uint32_t k, int tags) {
  SCOPED_TRACE("message " + std::to_string(k));
  EXPECT_EQ(j["defect"], nullptr);
  EXPECT_EQ(j["marker_ok"], true);
  EXPECT_EQ(j["header_checksum_ok"], true);
  EXPECT_EQ(j["message_size"], 384 + 16 * tags);
  EXPECT_EQ(j["signature"], 0x5A5A);
  EXPECT_EQ(j["transaction"], k);
  EXPECT_EQ(j["body_checksum"], 0);
  EXPECT_EQ(j["request_source"], Json::array({"REQNODE", "REQDLGP"}));
  EXPECT_EQ(j["reply_dest"], Json::array({"REPNODE", "REPDLGP"}));
  EXPECT_EQ(j["message_source"], Json::array({"SRCNODE", "SRCDLGP"}));
  EXPECT_EQ(j["message_dest"], Json::array({"DSTNODE", "DSTDLGP"}));
  const Json& body = j["body"];
  EXPECT_EQ(body["transaction_type"], k % 2 == 1 ? 1 : 2);
  EXPECT_EQ(body["interpreted"], true);
  EXPECT_EQ(body["list_id"], 100 + k);
  EXPECT_EQ(body["frequency_tenths"], 25 * k);
  EXPECT_EQ(body["tag_count"], tags);
  EXPECT_EQ(body["error_code"], 0);
  if (tags > 0) {
    EXPECT_EQ(body["first_time"]["seconds"], kStart + 60 * (k - 1));
  } else {
    EXPECT_EQ(body["first_time"], nullptr);
  }
}

TEST_F(Inspect, HeaderShowsEveryFieldAsStoregenWroteIt) {
  for (int type : {0, 1, 2}) {
    SCOPED_TRACE("type " + std::to_string(type));
    make("h.store", {"--type", std::to_string(type), "--messages", "5", "--forwarded", "2"});
    const RunResult r = inspect({"header", "--json", "h.store"});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.err, "");
    const Json j = Json::parse(r.out);
    const uint32_t block = type == 0 ? 64 : type == 1 ? 68 : 92;
    EXPECT_EQ(j["file"], "h.store");
    EXPECT_EQ(j["file_size"], 192 + 5 * 412);
    EXPECT_EQ(j["type"], type);
    EXPECT_EQ(j["block_size"], block);
    EXPECT_EQ(j["revision_names_type"], type != 0);
    EXPECT_EQ(j["block_status"], "ok");
    EXPECT_EQ(j["chosen"], "primary");
    EXPECT_EQ(j["copies"][1]["offset"], block + 4);
    for (int copy = 0; copy < 2; ++copy) {
      EXPECT_EQ(j["copies"][copy]["ok"], true);
      EXPECT_EQ(j["copies"][copy]["stored_checksum"], j["copies"][copy]["computed_checksum"]);
    }
    const Json& h = j["header"];
    EXPECT_EQ(h["signature"], 0x5A5AA5A5u);
    EXPECT_EQ(h["revision"], type);
    EXPECT_EQ(h["message_count"], 5);
    EXPECT_EQ(h["forwarded_count"], 2);
    EXPECT_EQ(h["oldest_offset"], 192);
    EXPECT_EQ(h["newest_offset"], 1840);
    EXPECT_EQ(h["current_offset"], 192);  // the file is full: the next record wraps
    EXPECT_EQ(h["last_offset"], 1840);
    EXPECT_EQ(h["forward_offset"], 1016);
    EXPECT_EQ(h["last_message_size"], 400);
    EXPECT_EQ(h["oldest_time"]["seconds"], kStart);
    EXPECT_EQ(h["oldest_time"]["iso"], "2023-11-14T22:13:20Z");
    EXPECT_EQ(h["newest_time"]["seconds"], kStart + 240);
    EXPECT_EQ(h["newest_time"]["iso"], "2023-11-14T22:17:20Z");
  }
  // A bad copy: shown, and exit status 1; the other copy is used.
  make("d.store", {"--messages", "2", "--damage", "primary"});
  RunResult r = inspect({"header", "--json", "d.store"});
  EXPECT_EQ(r.exit_code, 1);
  Json j = Json::parse(r.out);
  EXPECT_EQ(j["block_status"], "primary_bad");
  EXPECT_EQ(j["copies"][0]["ok"], false);
  EXPECT_EQ(j["chosen"], "backup");
  EXPECT_EQ(j["header"]["message_count"], 2);
  // No known layout: what was read, and no header.
  testsupport::write_file(dir.file("zeros.store"), std::string(500, '\0'));
  r = inspect({"header", "--json", "zeros.store"});
  EXPECT_EQ(r.exit_code, 1);
  j = Json::parse(r.out);
  EXPECT_EQ(j["type"], nullptr);
  EXPECT_EQ(j["bytes_read"], 392);
  EXPECT_EQ(j["header"], nullptr);
  r = inspect({"header", "h.store"});
  EXPECT_NE(r.out.find("forward offset    1016\n"), std::string::npos) << r.out;
}

TEST_F(Inspect, BacklogAsJsonPrometheusAndText) {
  make("a.store", {"--messages", "5", "--forwarded", "2"});
  make("b.store", {"--messages", "6", "--wrap", "--forwarded", "6", "--start-time", "1600000000"});
  const int64_t before = std::time(nullptr);
  RunResult r = inspect({"backlog", "--json", "a.store", "b.store"});
  const int64_t after = std::time(nullptr);
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.err, "");
  const Json files = Json::parse(r.out)["files"];
  ASSERT_EQ(files.size(), 2u);
  const struct {
    const char* file;
    int messages, forwarded, pending;
    int64_t oldest, newest, size;
  } expected[] = {{"a.store", 5, 2, 3, kStart, kStart + 240, 192 + 5 * 412},
                  {"b.store", 6, 6, 0, 1600000000, 1600000300, 192 + 7 * 412 + 100}};
  for (size_t i = 0; i < 2; ++i) {
    const Json& f = files[i];
    EXPECT_EQ(f["file"], expected[i].file);
    EXPECT_EQ(f["ok"], true);
    EXPECT_EQ(f["messages"], expected[i].messages);
    EXPECT_EQ(f["forwarded"], expected[i].forwarded);
    EXPECT_EQ(f["pending"], expected[i].pending);
    EXPECT_EQ(f["oldest_time"]["seconds"], expected[i].oldest);
    EXPECT_EQ(f["newest_time"]["seconds"], expected[i].newest);
    EXPECT_EQ(f["file_size"], expected[i].size);
    EXPECT_GE(f["oldest_age_seconds"].get<int64_t>(), before - expected[i].oldest);
    EXPECT_LE(f["oldest_age_seconds"].get<int64_t>(), after - expected[i].oldest);
  }

  EXPECT_EQ(files[0]["oldest_pending_time"]["seconds"], kStart + 120);
  EXPECT_EQ(files[1]["oldest_pending_time"], nullptr);
  EXPECT_EQ(files[1]["oldest_pending_age_seconds"], 0);
  EXPECT_EQ(Json::parse(r.out)["run"]["named"], 2);

  // A file that cannot be read: its own line on standard error, exit 2, and
  // the figures of the others all the same; a file named twice shows once.
  r = inspect({"backlog", "--prometheus", "a.store", "missing.store", "a.store"});
  EXPECT_EQ(r.exit_code, 2);
  EXPECT_EQ(r.err, "varno-inspect: missing.store: opening failed: " +
                       testsupport::system_words(platform::kErrorNotFound) +
                       " (recorded: (13, 13161))\n");
  // A sample per file that was read, in the order of the families; their
  // HELP and TYPE lines are promtool's to check (scripts/check_prometheus.sh).
  std::istringstream exposition(r.out);
  std::vector<std::string> samples;
  for (std::string line; std::getline(exposition, line);) {
    if (line[0] != '#') samples.push_back(line);
  }
  ASSERT_EQ(samples.size(), 19u);
  const auto value = [&](size_t i) { return samples[i].substr(samples[i].find(' ') + 1); };
  const int64_t waited = std::stoll(value(7)), age = std::stoll(value(10));
  const int64_t run = std::stoll(value(15));
  EXPECT_GE(run, before);
  EXPECT_EQ(waited, run - (kStart + 120));
  EXPECT_EQ(age, run - kStart);
  const std::string a = "{file=\"a.store\"} ";
  EXPECT_EQ(samples,
            (std::vector<std::string>{
                "varno_store_up" + a + "1", "varno_store_up{file=\"missing.store\"} 0",
                "varno_store_down_reason{file=\"missing.store\",reason=\"missing\"} 1",
                "varno_store_messages" + a + "5", "varno_store_forwarded" + a + "2",
                "varno_store_pending" + a + "3",
                "varno_store_oldest_pending_timestamp_seconds" + a + "1700000120",
                "varno_store_oldest_pending_age_seconds" + a + std::to_string(waited),
                "varno_store_oldest_timestamp_seconds" + a + "1700000000",
                "varno_store_newest_timestamp_seconds" + a + "1700000240",
                "varno_store_oldest_age_seconds" + a + std::to_string(age),
                "varno_store_ring_used_bytes" + a + "2060", "varno_store_ring_free_bytes" + a + "0",
                "varno_store_header_degraded" + a + "0", "varno_store_file_size_bytes" + a + "2252",
                "varno_inspect_last_run_timestamp_seconds " + std::to_string(run),
                "varno_inspect_files{state=\"named\"} 2", "varno_inspect_files{state=\"read\"} 1",
                "varno_inspect_files{state=\"down\"} 1"}));

  r = inspect({"backlog", "a.store"});
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.out.substr(0, 45), "FILE     MESSAGES  FORWARDED  PENDING  OLDEST");
  EXPECT_NE(r.out.find("a.store         5          2        3  2023-11-14T22:13:20Z  "
                       "2023-11-14T22:17:20Z"),
            std::string::npos)
      << r.out;
}

// Every store file of a folder, labelled by its node and DLGP, into a file
// that is replaced whole; a run that cannot write it leaves it as it was.
TEST_F(Inspect, BacklogOfAFolderIntoAFileReplacedWhole) {
  std::filesystem::create_directory("store");
  make("store/VARNO_STORE_plant_a.DEV1", {"--messages", "2"});
  make("store/VARNO_STORE_line2.DEV2", {"--messages", "1", "--damage", "both"});
  make("store/VARNO_STORE_LIST.DEV1", {"--messages", "1"});  // the service's list, no store
  testsupport::write_file(dir.file("store/notes.txt"), "x");
  RunResult r = inspect({"backlog", "--prometheus", "--dir", "store", "--output", "varno.prom"});
  EXPECT_EQ(r.exit_code, 2);
  EXPECT_EQ(r.out, "");
  const std::string sep = testsupport::kCrLfText ? "\\\\" : "/";
  const std::string metrics = testsupport::read_file(dir.file("varno.prom"));
  EXPECT_NE(metrics.find("varno_store_up{file=\"store" + sep +
                         "VARNO_STORE_line2.DEV2\",node=\"line2\",dlgp=\"DEV2\"} 0\n"
                         "varno_store_up{file=\"store" +
                         sep + "VARNO_STORE_plant_a.DEV1\",node=\"plant_a\",dlgp=\"DEV1\"} 1\n"),
            std::string::npos)
      << metrics;
  EXPECT_NE(metrics.find("varno_inspect_files{state=\"named\"} 2\n"), std::string::npos);

  r = inspect({"backlog", "--dir", "store", "--output", "gone/varno.prom"});
  EXPECT_EQ(r.exit_code, 2);
  EXPECT_NE(r.err.find("varno-inspect: gone/varno.prom: creating gone/varno.prom."),
            std::string::npos)
      << r.err;
  EXPECT_NE(r.err.find("; gone/varno.prom keeps its last content\n"), std::string::npos) << r.err;
  // A folder that cannot be listed names nothing, which the output says.
  r = inspect({"backlog", "--prometheus", "--dir", "nothing", "--output", "varno.prom"});
  EXPECT_EQ(r.exit_code, 2);
  EXPECT_EQ(r.err.rfind("varno-inspect: nothing: listing failed: ", 0), 0u) << r.err;
  EXPECT_NE(testsupport::read_file(dir.file("varno.prom"))
                .find("varno_inspect_files{state=\"named\"} 0\n"),
            std::string::npos);
}

// The transaction numbers of menu 2's listing of `file`, in its order.
std::vector<int> menu2_transactions(const std::string& home, const std::string& file) {
  const RunResult r = transcript::run_utility(home, "5000\n2\n" + file + "\nS\n\nx\n");
  std::vector<int> out;
  const std::string key = "transaction number ";
  for (size_t at = r.out.find(key); at != std::string::npos; at = r.out.find(key, at + 1)) {
    out.push_back(std::stoi(r.out.substr(at + key.size())));
  }
  return out;
}

TEST_F(Inspect, ListVisitsTheRecordsAsMenu2Does) {
  make("w.store", {"--messages", "7", "--wrap", "--tags", "2"});
  make("over.store", {"--messages", "3", "--count", "5"});
  // Wrapped: the oldest four records of 428 bytes lie at the top of the
  // file, 100 bytes before its end, the rest from 192.
  const int64_t top = 192 + 4 * 428;
  const struct {
    const char* file;
    std::vector<int> transactions;
    std::vector<int64_t> offsets;
    const char* err;
  } cases[] = {
      {"w.store",
       {1, 2, 3, 4, 5, 6, 7},
       {top, top + 428, top + 856, top + 1284, 192, 620, 1048},
       ""},
      // More counted than the ring holds: after the newest record the walk
      // wraps and shows records again, up to the count, and says so.
      {"over.store",
       {1, 2, 3, 1, 2},
       {192, 604, 1016, 192, 604},
       "varno-inspect: over.store: listed 2 records past the newest record the header names "
       "(offset 1016): the header counts more than its ring holds\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.file);
    const RunResult r = inspect({"list", "--json", c.file});
    EXPECT_EQ(r.exit_code, c.err[0] == '\0' ? 0 : 1);
    EXPECT_EQ(r.err, c.err);
    const std::vector<Json> records = lines(r.out);
    ASSERT_EQ(records.size(), c.transactions.size());
    for (size_t i = 0; i < records.size(); ++i) {
      EXPECT_EQ(records[i]["record"], i + 1);
      EXPECT_EQ(records[i]["offset"], c.offsets[i]);
      expect_message(records[i], c.transactions[i], c.file[0] == 'w' ? 2 : 1);
    }
    EXPECT_EQ(menu2_transactions(home(), c.file), c.transactions);
  }

  // A window of the listing.
  RunResult r = inspect({"list", "--json", "w.store", "--from", "3", "--count", "2"});
  std::vector<Json> records = lines(r.out);
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[0]["record"], 3);
  EXPECT_EQ(records[1]["record"], 4);
  EXPECT_EQ(records[1]["transaction"], 4);

  // A record the walk cannot step over ends the listing, as it ends menu 2's.
  make("size.store", {"--messages", "3", "--damage", "record-size:2"});
  r = inspect({"list", "--json", "size.store"});
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(r.err,
            "varno-inspect: size.store: listing stopped at record 2, offset 604: "
            "message_size_past_end\n");
  records = lines(r.out);
  ASSERT_EQ(records.size(), 2u);
  expect_message(records[0], 1, 1);
  EXPECT_EQ(records[1]["defect"], "message_size_past_end");
  EXPECT_EQ(records[1]["body"], nullptr);
  EXPECT_EQ(menu2_transactions(home(), "size.store"), (std::vector<int>{1, 2}));

  r = inspect({"list", "w.store", "--count", "1"});
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.out.substr(0, r.out.find('\n')),
            "record 1  offset " + std::to_string(top) +
                "  message size 416 bytes  header checksum ok  marker ok");
  EXPECT_NE(r.out.find("  body            type 1, list id 101, frequency 2.5 s, 2 tags, error "
                       "code 0, first time stamp 2023-11-14T22:13:20Z\n"),
            std::string::npos)
      << r.out;
}

// The filters of list choose records and never renumber them: each row's
// records, as text and as JSON, are exactly those blocks and lines of the
// unfiltered listing. Message k's first time stamp is T + 60 (k - 1).
TEST_F(Inspect, ListFiltersChooseRecordsUnderTheirRingNumbers) {
  make("f.store", {"--messages", "6", "--wrap", "--forwarded", "2"});
  make("none.store", {"--messages", "6", "--forwarded", "6"});
  make("all.store", {"--messages", "6"});
  make("notime.store", {"--messages", "3", "--tags", "0"});
  const std::string t3 = std::to_string(kStart + 120);
  const std::string t5 = std::to_string(kStart + 240);
  using V = std::vector<int>;
  const V every = {1, 2, 3, 4, 5, 6};
  const struct {
    const char* file;
    std::vector<std::string> args;
    V records;
  } rows[] = {
      {"f.store", {}, every},
      // --since is inclusive, --until exclusive, in seconds or as UTC.
      {"f.store", {"--since", "@" + t3}, {3, 4, 5, 6}},
      {"f.store", {"--since", std::to_string(kStart + 119)}, {3, 4, 5, 6}},
      {"f.store", {"--since", std::to_string(kStart + 121)}, {4, 5, 6}},
      {"f.store", {"--until", "@" + t3}, {1, 2}},
      {"f.store", {"--until", std::to_string(kStart + 121)}, {1, 2, 3}},
      {"f.store", {"--since", "2023-11-14T22:15:20Z"}, {3, 4, 5, 6}},
      {"f.store", {"--since", "2023-11-14 22:15:21"}, {4, 5, 6}},
      {"f.store", {"--until", "2023-11-14T22:15"}, {1, 2}},
      {"f.store", {"--since", "2023-11-15"}, {}},
      {"f.store", {"--until", "2023-11-15"}, every},
      {"f.store", {"--since", "2023-11-14", "--until", "2023-11-14"}, {}},
      // Records not forwarded yet, on a ring that wraps.
      {"f.store", {"--pending"}, {3, 4, 5, 6}},
      {"none.store", {"--pending"}, {}},
      {"all.store", {"--pending"}, every},
      {"f.store", {"--tail", "0"}, {}},
      {"f.store", {"--tail", "2"}, {5, 6}},
      {"f.store", {"--tail", "7"}, every},
      {"f.store", {"--node", "REQNODE"}, every},
      {"f.store", {"--node", "REPDLGP"}, every},
      {"f.store", {"--node", "DSTNODE"}, every},
      {"f.store", {"--node", "REQNOD"}, {}},
      {"f.store", {"--node", "srcnode"}, {}},
      // Together, each narrowing what the others leave.
      {"f.store",
       {"--pending", "--since", std::to_string(kStart + 60), "--until", "@" + t5, "--tail", "1"},
       {4}},
      {"f.store", {"--from", "2", "--count", "2", "--pending"}, {3, 4}},
      {"f.store", {"--tail", "3", "--count", "2"}, {4, 5}},
      {"f.store", {"--node", "SRCDLGP", "--until", "@" + t3, "--from", "2"}, {2}},
      // A message without a time stamp fails every time filter.
      {"notime.store", {}, {1, 2, 3}},
      {"notime.store", {"--since", "0"}, {}},
      {"notime.store", {"--until", "@9999999999"}, {}},
      {"notime.store", {"--pending", "--tail", "1"}, {3}},
      // --follow takes them too, and ends after --count records in all.
      {"f.store", {"--follow", "--pending", "--count", "4"}, {3, 4, 5, 6}},
      {"f.store", {"--follow", "--tail", "2", "--count", "2"}, {5, 6}},
      {"f.store", {"--follow", "--since", "@" + t5, "--count", "2"}, {5, 6}},
  };
  // Each record's text block and JSON line in the unfiltered listing.
  const auto pieces = [&](const std::string& file, bool json) {
    const RunResult r = inspect(json ? std::vector<std::string>{"list", "--json", file}
                                     : std::vector<std::string>{"list", file});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    std::vector<std::string> out;
    size_t at = 0;
    while (at < r.out.size()) {
      size_t next = r.out.find(json ? "\n{" : "\nrecord ", at);
      next = next == std::string::npos ? r.out.size() : next + 1;
      out.push_back(r.out.substr(at, next - at));
      at = next;
    }
    return out;
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(std::string(row.file) + " " + testing::PrintToString(row.args));
    for (bool json : {false, true}) {
      const std::vector<std::string> all = pieces(row.file, json);
      std::string expected;
      for (int n : row.records) expected += all.at(static_cast<size_t>(n - 1));
      std::vector<std::string> args = {"list", row.file, "--interval", "0.01"};
      if (std::find(row.args.begin(), row.args.end(), "--follow") == row.args.end()) {
        args.resize(2);
      }
      if (json) args.push_back("--json");
      args.insert(args.end(), row.args.begin(), row.args.end());
      const RunResult r = inspect(args);
      EXPECT_EQ(r.exit_code, 0) << r.err;
      EXPECT_EQ(r.err, "");
      EXPECT_EQ(r.out, expected);
    }
  }

  // Times that name no moment are refused, with what is taken.
  for (const std::string bad : {"2023-02-29", "2023-11-14T24:00", "2023-11-14Z", "yesterday", "@-5",
                                "2023-11-14T22:15:60"}) {
    const RunResult r = inspect({"list", "f.store", "--since", bad});
    EXPECT_EQ(r.exit_code, 2) << bad;
    EXPECT_EQ(r.err,
              "varno-inspect: --since: expects a UTC time as YYYY-MM-DD, "
              "YYYY-MM-DDTHH:MM[:SS][Z] or seconds since 1970 (@N or N), not '" +
                  bad + "' (see --help)\n");
  }
}

TEST_F(Inspect, VerifyReportsAsJsonOrAsTextWithItsExitStatus) {
  make("v.store", {"--messages", "5", "--damage", "record-byte:3"});
  RunResult r = inspect({"verify", "--json", "v.store"});
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(r.err, "");
  const Json j = Json::parse(r.out);
  EXPECT_EQ(j["clean"], false);
  EXPECT_EQ(j["problems"],
            Json::parse(R"([{"kind":"record_header_checksum","offset":1016,"record":3,)"
                        R"("expected":1670691758,"found":2557817919,)"
                        R"("text":"header checksum 0x9875343F stored, 0x6394BBAE computed"}])"));
  EXPECT_EQ(j["counts"], Json::parse(R"({"record_header_checksum":1})"));
  // The text ends in one summary line.
  r = inspect({"verify", "v.store"});
  EXPECT_EQ(
      r.out.substr(r.out.find("\nverify:") + 1),
      "verify: v.store: 1 problem (1 record_header_checksum); 5 records in the ring (4 intact, "
      "1648 bytes)\n");
  make("s.store", {"--messages", "5"});
  EXPECT_EQ(inspect({"verify", "s.store"}).exit_code, 0);
}

TEST_F(Inspect, SalvageKeepsEveryIntactRecordOfADamagedWrappedRing) {
  // Ring order: records 1 to 5 at the top of the file, 6 to 9 from 192.
  // Record 4 runs past the end of the file, record 7's header is damaged.
  make("d.store", {"--messages", "9", "--wrap", "--forwarded", "5", "--damage", "record-size:4",
                   "--damage", "record-byte:7"});
  const std::string before = testsupport::read_file(dir.file("d.store"));
  RunResult r = inspect({"salvage", "--json", "d.store", "out.store"});
  EXPECT_EQ(r.exit_code, 1) << "records were lost";
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(testsupport::read_file(dir.file("d.store")), before) << "FILE is only read";
  const Json j = Json::parse(r.out);
  const int64_t size = 192 + 10 * 412 + 100;
  const int64_t top = size - 100 - 5 * 412;
  EXPECT_EQ(j["kept"]["records"], 7);
  EXPECT_EQ(j["kept"]["bytes"], 7 * 412);
  EXPECT_EQ(j["kept"]["forwarded"], 3)
      << "records 1 to 3 lay before the forward offset; behind the damage nothing is known";
  EXPECT_EQ(j["lost"]["records"], 2);
  EXPECT_EQ(j["lost"]["ranges"], Json::parse("[{\"start\":" + std::to_string(top + 3 * 412) +
                                             ",\"end\":" + std::to_string(top + 4 * 412) +
                                             ",\"bytes\":412},{\"start\":604,\"end\":1016,"
                                             "\"bytes\":412}]"));
  EXPECT_EQ(j["out_size"], size);

  r = inspect({"verify", "out.store"});
  EXPECT_EQ(r.exit_code, 0) << r.out;
  const std::vector<int> kept = {1, 2, 3, 5, 6, 8, 9};
  r = inspect({"list", "--json", "out.store"});
  const std::vector<Json> records = lines(r.out);
  ASSERT_EQ(records.size(), kept.size());
  for (size_t i = 0; i < kept.size(); ++i) {
    EXPECT_EQ(records[i]["offset"], 192 + 412 * static_cast<int64_t>(i));
    expect_message(records[i], kept[i], 1);
  }
  r = inspect({"header", "--json", "out.store"});
  const Json h = Json::parse(r.out)["header"];
  EXPECT_EQ(h["message_count"], 7);
  EXPECT_EQ(h["forwarded_count"], 3);
  EXPECT_EQ(h["forward_offset"], 192 + 3 * 412);
  EXPECT_EQ(h["newest_offset"], 192 + 6 * 412);
  EXPECT_EQ(h["oldest_time"]["seconds"], kStart);
  EXPECT_EQ(h["newest_time"]["seconds"], kStart + 8 * 60);
  EXPECT_EQ(menu2_transactions(home(), "out.store"), kept);
  const RunResult menu1 = transcript::run_utility(home(), "5000\n1\nout.store\nS\n\nx\n");
  EXPECT_NE(menu1.out.find("Header read in ok.\nProcessing file header type 2\n"),
            std::string::npos);
  EXPECT_NE(menu1.out.find("Messages forwarded: 3 of 7\n"), std::string::npos) << menu1.out;
}

TEST_F(Inspect, SalvageOfACleanFileKeepsItAsItWas) {
  // Unwrapped, in each header type: OUT is FILE byte for byte.
  for (int type : {0, 1, 2}) {
    make("c.store", {"--type", std::to_string(type), "--messages", "4", "--forwarded", "1"});
    const std::string out = "c" + std::to_string(type) + ".out";
    const RunResult r = inspect({"salvage", "c.store", out});
    EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
    EXPECT_EQ(testsupport::read_file(dir.file(out)), testsupport::read_file(dir.file("c.store")))
        << "type " << type;
  }
  // Wrapped: the same records in ring order, the same counts.
  make("w.store", {"--messages", "6", "--wrap", "--forwarded", "4"});
  RunResult r = inspect({"salvage", "w.store", "w.out"});
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.out.substr(r.out.find("kept")),
            "kept              6 records, 2472 bytes; 4 forwarded\n"
            "lost              0 damaged stretches, 0 bytes; the "
            "header counted 6, 0 not recovered\n");
  const std::vector<Json> from = lines(inspect({"list", "--json", "w.store"}).out);
  const std::vector<Json> to = lines(inspect({"list", "--json", "w.out"}).out);
  ASSERT_EQ(from.size(), to.size());
  for (size_t i = 0; i < from.size(); ++i) {
    EXPECT_EQ(to[i]["transaction"], from[i]["transaction"]);
    EXPECT_EQ(to[i]["body"], from[i]["body"]);
  }
  const Json a = Json::parse(inspect({"backlog", "--json", "w.store"}).out)["files"][0];
  const Json b = Json::parse(inspect({"backlog", "--json", "w.out"}).out)["files"][0];
  for (const char* key : {"messages", "forwarded", "pending", "oldest_time", "newest_time"}) {
    EXPECT_EQ(a[key], b[key]) << key;
  }
}

TEST_F(Inspect, SalvageRefusesAndNeverTouchesAnExistingFile) {
  make("f.store", {"--messages", "2"});
  testsupport::write_file(dir.file("taken.store"), "someone else's\n");
  std::filesystem::create_hard_link(dir.file("f.store"), dir.file("alias"));
  ASSERT_TRUE(std::filesystem::create_directory(dir.file("folder")));
  const std::string before = testsupport::read_file(dir.file("f.store"));

  expect_failure(inspect({"salvage", "f.store", "taken.store"}), "taken.store",
                 "refused: it exists");
  EXPECT_EQ(testsupport::read_file(dir.file("taken.store")), "someone else's\n");
  for (const std::string& spelled : {std::string("f.store"), std::string("./f.store"),
                                     dir.file("f.store"), std::string("alias")}) {
    expect_failure(inspect({"salvage", "f.store", spelled}), spelled, "is the store file");
  }
  EXPECT_EQ(testsupport::read_file(dir.file("f.store")), before);
  expect_failure(inspect({"salvage", "folder", "x.store"}), "folder",
                 testsupport::system_words(testsupport::kErrorOpenDirectory));
  expect_failure(inspect({"salvage", "f.store", "folder"}), "folder", "refused: it exists");
  expect_failure(inspect({"salvage", "missing.store", "y.store"}), "missing.store",
                 testsupport::system_words(platform::kErrorNotFound));
  for (const char* never : {"x.store", "y.store"}) {
    EXPECT_FALSE(testsupport::file_exists(dir.file(never))) << never;
  }
  for (const char* command : {"header", "verify", "list"}) {
    expect_failure(inspect({command, "missing.store"}), "missing.store",
                   testsupport::system_words(platform::kErrorNotFound));
    expect_failure(inspect({command, "folder"}), "folder",
                   testsupport::system_words(testsupport::kErrorOpenDirectory));
  }
}

TEST_F(Inspect, CommandLine) {
  const std::vector<std::vector<std::string>> bad = {
      {},
      {"frobnicate", "f.store"},
      {"header"},
      {"salvage", "f.store"},
      {"list", "f.store", "--from", "0"},
      {"list", "f.store", "--count", "x"},
      {"backlog", "--json", "--prometheus", "f.store"},
      {"backlog", "--json"},
      {"verify", "f.store", "--colour"},
  };
  for (const auto& args : bad) {
    const RunResult r = inspect(args);
    EXPECT_EQ(r.exit_code, 2) << testing::PrintToString(args);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err.rfind("varno-inspect: ", 0), 0u) << r.err;
    EXPECT_EQ(r.err.find('\n'), r.err.size() - 1) << r.err;
  }
  RunResult r = inspect({"--version"});
  EXPECT_EQ(r.out, std::string("varno-inspect ") + VARNO_SERVER_VERSION() + "\n");
  r = inspect({"--help"});
  EXPECT_EQ(r.exit_code, 0);
  for (const char* command : {"header", "backlog", "list", "verify", "salvage"}) {
    EXPECT_NE(r.out.find(command), std::string::npos) << command;
  }
  r = inspect({"verify", "--help"});
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_NE(r.out.find("Message bodies carry no checksum"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("held only while it reads"), std::string::npos) << r.out;
  // backlog says it reads without the lock, and not that it waits for it.
  r = inspect({"backlog", "--help"});
  EXPECT_NE(r.out.find("read without the store file lock"), std::string::npos) << r.out;
  EXPECT_EQ(r.out.find("waits for the store"), std::string::npos) << r.out;
}

TEST_F(Inspect, FilesBeyondFourGibibytes) {
  // A sparse 5 GiB file whose oldest records lie past 4 GiB.
  const int64_t size = int64_t{5} << 30;
  make("big.store", {"--messages", "4", "--wrap", "--capacity", std::to_string(size)});
  const int64_t top = size - 303 - 2 * 412;
  const std::vector<Json> records = lines(inspect({"list", "--json", "big.store"}).out);
  const std::vector<int64_t> offsets = {top, top + 412, 192, 604};
  ASSERT_EQ(records.size(), offsets.size());
  for (size_t i = 0; i < offsets.size(); ++i) EXPECT_EQ(records[i]["offset"], offsets[i]);
  const RunResult r = inspect({"verify", "--json", "big.store"});
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(Json::parse(r.out)["records"], 4);
  EXPECT_EQ(Json::parse(inspect({"header", "--json", "big.store"}).out)["header"]["oldest_offset"],
            top);
}

// Damage a campaign of damaged files found salvage mishandling, each made
// from a varno-storegen file: what salvage keeps (by transaction number, in
// OUT's order), the bytes it reports lost, the records it calls forwarded;
// OUT verifies clean and salvages to itself.
TEST_F(Inspect, SalvageKeepsEveryIntactRecordAndNoForwardingItCannotKnow) {
  struct Edit {
    enum Kind { kZero, kTruncate, kDelete, kSize, kForward } kind;
    int64_t a;  // first byte, new length, record offset, or forward offset
    int64_t b;  // end of the range, or the record's new message size
  };
  const auto upto = [](int first, int last, std::vector<int> skip = {}) {
    std::vector<int> v;
    for (int k = first; k <= last; ++k) {
      if (std::find(skip.begin(), skip.end(), k) == skip.end()) v.push_back(k);
    }
    return v;
  };
  const struct {
    const char* name;
    std::vector<std::string> options;
    std::vector<Edit> edits;
    int exit_code;
    std::vector<int> kept;
    int64_t lost_bytes;
    int forwarded;
    std::vector<std::pair<int64_t, int64_t>> ranges = {};  // when not empty: the lost ranges
  } cases[] = {
      // A block of zeros has checksum 0: it is no header without the signature.
      {"zeroed header", {"--messages", "3"}, {{Edit::kZero, 40, 192}}, 1, upto(1, 3), 0, 0},
      {"zeroed primary",
       {"--messages", "3", "--forwarded", "1"},
       {{Edit::kZero, 0, 96}},
       0,
       upto(1, 3),
       0,
       1},
      // The oldest records are cut off: nothing kept lies before a known
      // forward pointer.
      {"truncated ring",
       {"--messages", "10", "--wrap", "--forwarded", "2"},
       {{Edit::kTruncate, 2252, 0}},
       1,
       upto(6, 10),
       0,
       0},
      // 475 of record 6's 476 bytes gone: offsets behind it moved.
      {"deleted range",
       {"--type", "1", "--messages", "46", "--tags", "5", "--forwarded", "19", "--capacity",
        "23149"},
       {{Edit::kDelete, 2572, 3047}},
       1,
       upto(1, 46, {6}),
       1,
       5},
      // Record 3's size, its checksum fixed, spans records 4 to 6 or ends
      // inside record 4.
      {"size over whole records",
       {"--messages", "10"},
       {{Edit::kSize, 1016, 4 * 412 - 12}},
       1,
       upto(1, 10, {3}),
       412,
       0,
       {{1016, 1428}}},
      {"size into a record",
       {"--messages", "10"},
       {{Edit::kSize, 1016, 600}},
       1,
       upto(1, 10, {3}),
       412,
       0},
      // Without a header the wrapped ring's layout gives its order; the free
      // space between its parts is no damage.
      {"wrapped, no header",
       {"--messages", "4", "--wrap", "--damage", "both"},
       {},
       1,
       upto(1, 4),
       0,
       0},
      // The header counts fewer messages than its ring holds: all are kept,
      // and only the three both witnesses show forwarded count.
      {"count below the ring",
       {"--messages", "5", "--count", "3", "--forwarded", "3"},
       {},
       0,
       upto(1, 5),
       0,
       3},
      // The forward offset names record 2 while the count says 3: only the
      // one record both show forwarded counts.
      {"forward offset and count disagree",
       {"--messages", "5", "--forwarded", "3"},
       {{Edit::kForward, 604, 0}},
       1,
       upto(1, 5),
       0,
       1},
      {"one record", {"--messages", "1", "--capacity", "4000"}, {}, 0, {1}, 0, 0},
      // Record 2's tag time stamp zeroed (a body has no checksum): the header
      // of OUT keeps within FILE's times.
      {"damaged time stamp",
       {"--messages", "3", "--damage", "record-byte:3"},
       {{Edit::kZero, 604 + 12 + 388, 604 + 12 + 392}},
       1,
       upto(1, 2),
       412,
       0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    make("f.store", c.options);
    std::string bytes = testsupport::read_file(dir.file("f.store"));
    for (const Edit& e : c.edits) {
      switch (e.kind) {
        case Edit::kZero:
          bytes.replace(e.a, e.b - e.a, e.b - e.a, '\0');
          break;
        case Edit::kTruncate:
          bytes.resize(e.a);
          break;
        case Edit::kDelete:
          bytes.erase(e.a, e.b - e.a);
          break;
        case Edit::kSize:
          testsupport::put32(bytes, e.a + 16, static_cast<uint32_t>(e.b));
          testsupport::put32(bytes, e.a + 4, testsupport::checksum_of(bytes, e.a + 12, 292));
          break;
        case Edit::kForward: {
          CommonHeader h{};
          decode_common_header(reinterpret_cast<const unsigned char*>(bytes.data()), &h);
          h.forward_offset = e.a;
          unsigned char region[192];
          build_header_region(h, 2, region);
          bytes.replace(0, 192, reinterpret_cast<const char*>(region), 192);
          break;
        }
      }
    }
    testsupport::write_file(dir.file("f.store"), bytes);
    std::filesystem::remove("out.store");
    std::filesystem::remove("again.store");
    const RunResult r = inspect({"salvage", "--json", "f.store", "out.store"});
    ASSERT_EQ(r.exit_code, c.exit_code) << r.out << r.err;
    const Json j = Json::parse(r.out);
    EXPECT_EQ(j["lost"]["bytes"], c.lost_bytes);
    EXPECT_EQ(j["kept"]["forwarded"], c.forwarded);
    if (!c.ranges.empty()) {
      std::vector<std::pair<int64_t, int64_t>> ranges;
      for (const Json& range : j["lost"]["ranges"])
        ranges.emplace_back(range["start"], range["end"]);
      EXPECT_EQ(ranges, c.ranges);
    }
    std::vector<int> kept;
    for (const Json& record : lines(inspect({"list", "--json", "out.store"}).out)) {
      kept.push_back(record["transaction"]);
    }
    EXPECT_EQ(kept, c.kept);
    const RunResult v = inspect({"verify", "out.store"});
    EXPECT_EQ(v.exit_code, 0) << v.out;
    EXPECT_EQ(inspect({"salvage", "out.store", "again.store"}).exit_code, 0);
    EXPECT_EQ(testsupport::read_file(dir.file("again.store")),
              testsupport::read_file(dir.file("out.store")));
  }
}

TEST_F(Inspect, WhatHoldsNoStoreIsRefusedAndAShortWalkIsAProblem) {
  make("f.store", {"--messages", "2"});
  std::string bytes = testsupport::read_file(dir.file("f.store"));
  testsupport::write_file(dir.file("short.store"), bytes.substr(0, 192 + 303));
  expect_failure(inspect({"salvage", "short.store", "out.store"}), "short.store",
                 "refused: 495 bytes hold no record");
  expect_failure(inspect({"salvage", testsupport::kNullDevice, "out.store"}),
                 testsupport::kNullDevice, "not a regular file");
  EXPECT_FALSE(testsupport::file_exists(dir.file("out.store")));
  // The file ends before the header's count: listed, and exit status 1.
  make("w.store", {"--messages", "4", "--wrap"});
  std::filesystem::resize_file("w.store", 1016);
  const RunResult r = inspect({"list", "w.store"});
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(r.err, "varno-inspect: w.store: the file ends after record 0; the header counts 4\n");
}

// Records of 412 bytes. Unwrapped, record k lies at 192 + 412 (k - 1); six
// wrapped records lie as 1, 2, 3 at 1840, 2252, 2664 and 4, 5, 6 from 192.
TEST_F(Inspect, RewindMovesTheForwardPointerBackAndOnlyWithExecute) {
  const struct {
    const char* type;
    bool wrap;
    std::vector<std::string> target;
    int64_t offset;
    int forwarded;
  } cases[] = {
      {"2", false, {"--to-record", "2"}, 604, 1}, {"1", false, {"--last", "2"}, 1840, 4},
      {"0", true, {"--to-record", "5"}, 604, 4},  {"2", true, {"--to-oldest"}, 1840, 0},
      {"1", true, {"--last", "3"}, 192, 3},       {"0", false, {"--to-oldest"}, 192, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string("type ") + c.type + (c.wrap ? ", wrapped " : " ") + c.target[0]);
    std::vector<std::string> options = {"--type", c.type, "--messages", "6", "--forwarded", "5"};
    if (c.wrap) options.push_back("--wrap");
    make("r.store", options);
    const std::string before = testsupport::read_file(dir.file("r.store"));
    std::vector<std::string> args = {"rewind", "r.store", "--json"};
    args.insert(args.end(), c.target.begin(), c.target.end());
    RunResult r = inspect(args);
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(Json::parse(r.out)["forward_offset"]["to"], c.offset);
    EXPECT_EQ(testsupport::read_file(dir.file("r.store")), before) << "a dry run writes nothing";
    args.push_back("--execute");
    r = inspect(args);
    EXPECT_EQ(r.exit_code, 0) << r.err;
    const Json header = Json::parse(r.out)["header"];
    EXPECT_EQ(header["forward_offset"], c.offset);
    EXPECT_EQ(header["forwarded_count"], c.forwarded);
    EXPECT_EQ(inspect({"verify", "r.store"}).exit_code, 0);
    const RunResult menu1 = transcript::run_utility(home(), "5000\n1\nr.store\nS\n\nx\n");
    EXPECT_NE(menu1.out.find("Messages forwarded: " + std::to_string(c.forwarded) + " of 6\n"),
              std::string::npos);
    EXPECT_NE(menu1.out.find("Forward offset: " + std::to_string(c.offset) + "\n"),
              std::string::npos);
  }

  // Refusals write nothing: no such record, not back, damage on the way.
  make("r.store", {"--messages", "6", "--forwarded", "2", "--damage", "record-byte:2"});
  const std::string before = testsupport::read_file(dir.file("r.store"));
  const struct {
    std::vector<std::string> target;
    int exit_code;
    const char* why;
  } refusals[] = {
      {{"--to-record", "7"}, 2, "there is no record 7; the ring holds 6 (the header counts 6)"},
      {{"--last", "7"}, 2, "there are no last 7 records"},
      {{"--to-record", "3"}, 2, "record 3 is not before the forward pointer (2 forwarded)"},
      {{"--last", "4"}, 2, "record 3 is not before the forward pointer"},
      {{"--to-record", "2"},
       1,
       "record 2 is damaged, or lies behind damage that hides its number: "
       "the ring is damaged from offset 604 (record 2)"},
  };
  for (const auto& c : refusals) {
    std::vector<std::string> args = {"rewind", "r.store", "--execute"};
    args.insert(args.end(), c.target.begin(), c.target.end());
    const RunResult r = inspect(args);
    EXPECT_EQ(r.exit_code, c.exit_code) << c.why;
    EXPECT_NE(r.err.find(c.why), std::string::npos) << r.err;
    EXPECT_EQ(r.out, "");
  }
  EXPECT_EQ(testsupport::read_file(dir.file("r.store")), before);

  // Where the header contradicts the records about where forwarding stands,
  // nothing moves: 6 records, 2 forwarded (the forward offset at 1016).
  const struct {
    void (*edit)(CommonHeader& h);
    std::vector<std::string> target;
    const char* why;
  } contradictions[] = {
      {[](CommonHeader& h) { h.forward_offset = 700; },
       {"--to-oldest"},
       "the forward offset 700 is no record of the ring"},
      {[](CommonHeader& h) { h.forwarded_count = 3; },
       {"--last", "1"},
       "the forward offset 1016 lies behind 2 records of the ring, but the header counts 3"},
      {[](CommonHeader& h) { h.oldest_offset = 1428; },
       {"--to-oldest"},
       "the oldest offset 1428 is not the ring's first record, which the records show at 192"},
  };
  for (const auto& c : contradictions) {
    make("c.store", {"--messages", "6", "--forwarded", "2"});
    std::string bytes = testsupport::read_file(dir.file("c.store"));
    CommonHeader h{};
    decode_common_header(reinterpret_cast<const unsigned char*>(bytes.data()), &h);
    c.edit(h);
    unsigned char region[192];
    ASSERT_EQ(build_header_region(h, 2, region), 192u);
    bytes.replace(0, 192, reinterpret_cast<const char*>(region), 192);
    testsupport::write_file(dir.file("c.store"), bytes);
    std::vector<std::string> args = {"rewind", "c.store", "--execute"};
    args.insert(args.end(), c.target.begin(), c.target.end());
    const RunResult r = inspect(args);
    EXPECT_EQ(r.exit_code, 1) << c.why;
    EXPECT_NE(r.err.find(c.why), std::string::npos) << r.err;
    EXPECT_EQ(testsupport::read_file(dir.file("c.store")), bytes) << c.why;
  }
}

// An executed rewind saves the header region it replaces beside the debug log
// and says what it did there and in the system's log; --undo puts the region
// back only while the ring stands as the rewind left it. A dry run leaves no
// trace.
TEST_F(Inspect, AnExecutedRewindIsOnRecordAndUndoneOnlyWhileTheRingStands) {
  make("r.store", {"--messages", "5", "--forwarded", "4"});
  const std::string original = testsupport::read_file(dir.file("r.store"));
  const std::string log = home() + "varno_debug.log";
  const auto saved_files = [&] {
    std::vector<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(home())) {
      const std::string name = e.path().filename().string();
      if (name.rfind("rewind-", 0) == 0) names.push_back(name);
    }
    std::sort(names.begin(), names.end());
    return names;
  };
  const std::string log_before = testsupport::read_text_file(log);
  RunResult r = inspect({"rewind", "r.store", "--to-record", "2"});
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(testsupport::read_text_file(log), log_before) << "a dry run logs nothing";
  EXPECT_EQ(saved_files(), std::vector<std::string>{}) << "a dry run saves nothing";

  // Whether this machine's system log takes an entry decides the one line
  // the rewind says about it.
  const bool system_log = platform::system_log("varno-inspect-test", "probe").ok();
  const auto unlogged = [&](const std::string& what) {
    return system_log ? std::string()
                      : "varno-inspect: r.store: the system's log did not take the record of "
                        "this " +
                            what + "\n";
  };
  const std::string file =
      (std::filesystem::current_path() / "r.store").lexically_normal().string();
  const std::string user = platform::current_user();
  const int64_t started = std::time(nullptr);
  r = inspect({"rewind", "r.store", "--to-record", "2", "--execute"});
  const int64_t ended = std::time(nullptr);
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(r.err, unlogged("rewind"));
  const std::string rewound = testsupport::read_file(dir.file("r.store"));
  const std::vector<std::string> names = saved_files();
  ASSERT_EQ(names.size(), 1u);
  std::smatch m;
  ASSERT_TRUE(
      std::regex_match(names[0], m, std::regex(R"(rewind-r\.store-(\d{8}T\d{6}Z)\.region)")))
      << names[0];
  const std::string saved_path = home() + names[0];
  const std::string saved = testsupport::read_file(saved_path);
  std::smatch t;
  ASSERT_TRUE(
      std::regex_search(saved, t, std::regex(R"(\ntime (\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ)\n)")));
  const std::string time = t[1];
  std::string compact = time;
  compact.erase(
      std::remove_if(compact.begin(), compact.end(), [](char c) { return c == '-' || c == ':'; }),
      compact.end());
  EXPECT_EQ(m[1].str(), compact) << "the name carries the time of the rewind";
  int y = 0, mo = 0, d = 0, hh = 0, mi = 0, ss = 0;
  ASSERT_EQ(std::sscanf(time.c_str(), "%d-%d-%dT%d:%d:%dZ", &y, &mo, &d, &hh, &mi, &ss), 6);
  const std::chrono::sys_days day{std::chrono::year{y} / mo / d};
  const int64_t at = day.time_since_epoch().count() * int64_t{86400} + hh * 3600 + mi * 60 + ss;
  EXPECT_GE(at, started);
  EXPECT_LE(at, ended);
  EXPECT_EQ(saved, "varno-inspect saved header region\nfile " + file + "\ntime " + time +
                       "\nuser " + user +
                       "\noldest_offset 192\nnewest_offset 1840\nmessages 5\nforward_offset "
                       "1840 604\nforwarded 4 1\nregion 192\n\n" +
                       original.substr(0, 192))
      << "the region saved byte for byte";
  const auto last_log_line = [&] {
    const std::string text = testsupport::read_text_file(log);
    const size_t end = text.find_last_of('\n');
    return text.substr(text.find_last_of('\n', end - 1) + 1,
                       end - text.find_last_of('\n', end - 1) - 1);
  };
  const std::string logged = last_log_line();
  const std::string prefix = R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} \[\d+\] )";
  ASSERT_TRUE(std::regex_search(logged, std::regex("^" + prefix))) << logged;
  EXPECT_EQ(logged.substr(logged.find("] ") + 2),
            "[varno-inspect] [rewind of " + file + " by " + user + " at " + time +
                ": forward offset 1840 -> 604, forwarded 4 -> 1 (oldest offset 192, newest "
                "offset 1840, 5 messages); header region saved in " +
                saved_path + "]");

  // Whatever moved since, undo names it and leaves the file alone.
  const struct {
    void (*edit)(CommonHeader& h);
    const char* moved;
  } moves[] = {
      {[](CommonHeader& h) {
         h.forward_offset = 1016;
         h.forwarded_count = 2;
       },
       "forward offset 604 -> 1016, forwarded 1 -> 2"},
      {[](CommonHeader& h) {
         h.newest_offset = 2252;
         h.message_count = 6;
       },
       "newest offset 1840 -> 2252, messages 5 -> 6"},
      {[](CommonHeader& h) { h.oldest_offset = 604; }, "oldest offset 192 -> 604"},
  };
  for (const auto& move : moves) {
    std::string bytes = rewound;
    CommonHeader h{};
    decode_common_header(reinterpret_cast<const unsigned char*>(bytes.data()), &h);
    move.edit(h);
    unsigned char region[192];
    ASSERT_EQ(build_header_region(h, 2, region), 192u);
    bytes.replace(0, 192, reinterpret_cast<const char*>(region), 192);
    testsupport::write_file(dir.file("r.store"), bytes);
    r = inspect({"rewind", "--undo", "r.store"});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "varno-inspect: r.store: refused: the ring moved since the rewind of " + time +
                         " (" + move.moved + "); " + saved_path +
                         " not put back, nothing written\n");
    EXPECT_EQ(testsupport::read_file(dir.file("r.store")), bytes);
  }

  // As the rewind left it, the file gets its header back byte for byte.
  testsupport::write_file(dir.file("r.store"), rewound);
  r = inspect({"rewind", "--undo", "r.store", "--json"});
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(r.err, unlogged("undo"));
  EXPECT_EQ(Json::parse(r.out)["saved_region"], saved_path);
  EXPECT_EQ(testsupport::read_file(dir.file("r.store")), original);
  const std::string undo_line = last_log_line();
  EXPECT_NE(undo_line.find("[varno-inspect] [undo of a rewind of " + file + " by " + user + " at "),
            std::string::npos)
      << undo_line;
  EXPECT_NE(undo_line.find(": forward offset 604 -> 1840, forwarded 1 -> 4 (oldest offset 192, "
                           "newest offset 1840, 5 messages); header region put back from " +
                           saved_path + "]"),
            std::string::npos)
      << undo_line;
  EXPECT_EQ(saved_files().size(), 1u);

  // Rewinds in a row keep every region (one in the same second gets a
  // number of its own), and undo takes the last.
  EXPECT_EQ(inspect({"rewind", "r.store", "--to-record", "3", "--execute"}).exit_code, 0);
  const std::string third = testsupport::read_file(dir.file("r.store"));
  EXPECT_EQ(inspect({"rewind", "r.store", "--to-record", "1", "--execute"}).exit_code, 0);
  EXPECT_EQ(saved_files().size(), 3u);
  EXPECT_EQ(inspect({"rewind", "--undo", "r.store"}).exit_code, 0);
  EXPECT_EQ(testsupport::read_file(dir.file("r.store")), third);

  // The older layouts come back byte for byte too.
  for (const char* type : {"0", "1"}) {
    SCOPED_TRACE(std::string("type ") + type);
    make("o.store", {"--type", type, "--messages", "6", "--forwarded", "5", "--wrap"});
    const std::string before = testsupport::read_file(dir.file("o.store"));
    EXPECT_EQ(inspect({"rewind", "o.store", "--last", "3", "--execute"}).exit_code, 0);
    EXPECT_NE(testsupport::read_file(dir.file("o.store")), before);
    EXPECT_EQ(inspect({"rewind", "--undo", "o.store"}).exit_code, 0);
    EXPECT_EQ(testsupport::read_file(dir.file("o.store")), before);
  }
}

// Follows a file the service writes to while the utility resets the forward
// pointer and varno-inspect rewinds it: every stored record once, in order,
// across the wrap of the ring (the newest record at the top of the file, the
// next stored at 192, between two looks); both moves said on standard error,
// and nothing else there, idle or busy.
TEST_F(Inspect, FollowShowsEveryStoredRecordOnceAndSaysWhenThePointerMovesBack) {
  constexpr int kSteps = 60;
  constexpr int64_t kRing = 5 + 2 * kSteps;  // records that fill the file
  make("f.store", {"--messages", "5", "--capacity", std::to_string(192 + kRing * 412 + 100)});
  constexpr size_t kShown = 5 + 3 * kSteps;
  testsupport::Interactive follow(testsupport::binary("varno-inspect"),
                                  {"list", "--follow", "--json", "--interval", "0.05", "--count",
                                   std::to_string(kShown), "f.store"},
                                  {"VARNO_HOME=" + home()}, dir.file("follow.err"));
  // Its output is read all the time: a full pipe would stop it while it holds
  // the lock, and the service with it.
  std::jthread drain([&](std::stop_token stop) {
    while (!stop.stop_requested()) follow.read_for(20);
  });
  // Several looks at a file that does not change.
  const auto idle = [] { std::this_thread::sleep_for(std::chrono::milliseconds(300)); };
  const auto serve = [&] {
    const RunResult r = testsupport::run(
        testsupport::binary("varno-storegen"),
        {"f.store", "--serve", "--steps", std::to_string(kSteps), "--interval", "10"}, "",
        {"VARNO_HOME=" + home()});
    EXPECT_EQ(r.exit_code, 0) << r.err;
  };
  idle();
  serve();
  transcript::run_utility(home(), "5000\n5\nY\nf.store\nS\n\nx\n");
  serve();
  const Json full = Json::parse(inspect({"header", "--json", "f.store"}).out);
  ASSERT_EQ(full["header"]["message_count"], kRing);
  ASSERT_EQ(full["header"]["current_offset"], 192) << "the newest record is not at the top";
  EXPECT_EQ(inspect({"rewind", "f.store", "--to-record", "10", "--execute"}).exit_code, 0);
  idle();
  serve();
  drain.request_stop();
  drain.join();
  // A follow that lost its way would never reach the count: end it then.
  const auto shown = [&] {
    return static_cast<size_t>(std::count(follow.out.begin(), follow.out.end(), '\n'));
  };
  for (int waited = 0; shown() < kShown && waited < 20000; waited += 50) follow.read_for(50);
  if (shown() < kShown) follow.interrupt();
  EXPECT_EQ(follow.finish(), 0);
  const std::string err = testsupport::read_text_file(dir.file("follow.err"));
  const std::vector<Json> records = lines(follow.out);
  ASSERT_EQ(records.size(), kShown) << err;
  for (size_t i = 0; i < records.size(); ++i) {
    EXPECT_EQ(records[i]["record"], i + 1);
    EXPECT_EQ(records[i]["transaction"], i + 1);
  }
  EXPECT_EQ(records[kRing - 1]["offset"], 192 + (kRing - 1) * 412);
  EXPECT_EQ(records[kRing]["offset"], 192);
  std::istringstream notes(err);
  size_t moves = 0;
  for (std::string line; std::getline(notes, line); ++moves) {
    EXPECT_EQ(line.rfind("varno-inspect: f.store: the forward pointer moved back: ", 0), 0u)
        << line;
  }
  EXPECT_EQ(moves, 2u) << err;
}

// Ctrl+C ends a follow with exit 0, every record shown before it whole on
// standard output, each as soon as it was found.
TEST_F(Inspect, FollowEndsCleanlyOnAnInterrupt) {
  make("i.store", {"--messages", "3"});
  testsupport::Interactive follow(testsupport::binary("varno-inspect"),
                                  {"list", "--follow", "--json", "--interval", "0.05", "i.store"},
                                  {"VARNO_HOME=" + home()});
  // The three records arrive while it runs: each is flushed as it is shown.
  const auto shown = [&] { return std::count(follow.out.begin(), follow.out.end(), '\n'); };
  for (int waited = 0; shown() < 3 && waited < 10000; waited += 50) follow.read_for(50);
  ASSERT_EQ(shown(), 3) << follow.out;
  std::this_thread::sleep_for(std::chrono::milliseconds(200));  // while it waits
  if (!follow.interrupt()) GTEST_SKIP() << "this system cannot send the program an interrupt";
  EXPECT_EQ(follow.finish(), 0);
  const std::vector<Json> records = lines(follow.out);
  ASSERT_EQ(records.size(), 3u) << follow.out;
  for (size_t i = 0; i < records.size(); ++i) EXPECT_EQ(records[i]["transaction"], i + 1);
}

// Child: holds the store file lock of args[0] until its input ends.
VARNO_TEST_CHILD(hold_lock) {
  VARNO_STATUS s;
  const int32_t fd = varno_s_file_open(args.at(0).c_str(), kOpenReadOnly, &s);
  std::printf("holding\n");
  std::fflush(stdout);
  std::string line;
  std::getline(std::cin, line);
  varno_s_file_close(fd, &s);
  return 0;
}

TEST_F(Inspect, MonitoringNeverWaitsBehindTheLockAndOtherCommandsGiveUpWhenTold) {
  make("m.DEV7", {"--messages", "3", "--forwarded", "1"});
  make("h.DEV7", {"--messages", "3", "--damage", "both"});
  testsupport::Interactive holder(testsupport::self_path(),
                                  testsupport::child_args("hold_lock", {dir.file("m.DEV7")}),
                                  {"VARNO_HOME=" + home()});
  ASSERT_TRUE(holder.read_until("holding\n"));
  RunResult r = inspect({"backlog", "--prometheus", "m.DEV7"});
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_NE(r.out.find("varno_store_pending{file=\"m.DEV7\"} 2\n"), std::string::npos) << r.out;
  // A header no read can use, its lock held elsewhere: down with its reason
  // at once, never a wait for the lock.
  const auto begun = std::chrono::steady_clock::now();
  r = inspect({"backlog", "h.DEV7", "m.DEV7"});
  EXPECT_LT(std::chrono::steady_clock::now() - begun, std::chrono::seconds(1));
  EXPECT_EQ(r.exit_code, 2);
  EXPECT_EQ(r.err,
            "varno-inspect: h.DEV7: the header cannot be used: both header blocks are bad\n");
  EXPECT_NE(r.out.find("\nh.DEV7 "), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("(header_bad: the header cannot be used: both header blocks are bad)\n"),
            std::string::npos)
      << r.out;
  // Asked to, it waits for the lock as long as it was told.
  r = inspect({"backlog", "--json", "--lock-timeout", "0.2", "h.DEV7"});
  EXPECT_EQ(r.exit_code, 2);
  EXPECT_EQ(Json::parse(r.out)["files"][0]["reason"], "lock_held") << r.out;
  // The option is in seconds: 0.2 waits about 200 ms, neither 0.2 ms nor a
  // whole second. The run without the lock is what starting takes.
  const auto timed = [this] {
    const auto start = std::chrono::steady_clock::now();
    RunResult run = inspect({"verify", "--lock-timeout", "0.2", "m.DEV7"});
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    return std::pair(std::move(run), took.count());
  };
  const auto [held, waited] = timed();
  expect_failure(held, "m.DEV7",
                 "the store file lock DEV7 is held by another program; gave up after 0.2 s");
  holder.send("\n");
  EXPECT_EQ(holder.finish(), 0);
  const auto [unlocked, started] = timed();
  EXPECT_EQ(unlocked.exit_code, 0) << unlocked.err;
  EXPECT_GE(waited, 0.15);
  EXPECT_LT(waited - started, 0.7)
      << waited << " s with the lock held, " << started << " s without";
}

TEST_F(Inspect, SalvageOfAnOldLayoutStaysWithinItsThirtyTwoBitOffsets) {
  make("old.store", {"--type", "1", "--messages", "3"});
  std::filesystem::resize_file("old.store", int64_t{5} << 30);
  const RunResult r = inspect({"salvage", "--json", "old.store", "out.store"});
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(std::filesystem::file_size("out.store"), 0xFFFFFFFFu);
  EXPECT_EQ(Json::parse(r.out)["kept"]["records"], 3);
  EXPECT_EQ(inspect({"verify", "out.store"}).exit_code, 0);
}

}  // namespace
